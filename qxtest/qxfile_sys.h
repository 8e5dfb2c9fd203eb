// The system's part of qxfile_commit, one of each in qxfile_linux.cpp and
// qxfile_win.cpp. Each gives 0 or the errno of its failure.
#pragma once

#include <cstdio>
#include <string>

#include "qxfile.h"

// The written bytes on the disk.
int qxfile_sync(FILE *file);
// The temporary file under the target's name, replacing a file there; why
// takes what the system's reason alone does not say.
int qxfile_rename(const QxFileOut *out, std::string *why);
// The new name on the disk, where the system needs it.
void qxfile_sync_folder(const std::string &target);
