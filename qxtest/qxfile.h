// Files the programs write, so that nothing they did not make is lost: the
// bytes go to a new file beside the target and take its name only once they
// are whole and on the disk; a target that is not a regular file (a device,
// a FIFO, a directory, a socket, or a link to one) is refused before
// anything is written. Inputs are checked the same way before they are
// opened, so that a FIFO never blocks an open.
//
// Paths are UTF-8 on every platform. Problems are short texts for the
// caller to put after the path ("a FIFO, not a regular file", or the
// system's reason).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

enum QxFileKind {
    QXFILE_ABSENT,
    QXFILE_REGULAR,
    QXFILE_DIRECTORY,
    QXFILE_FIFO,
    QXFILE_CHAR_DEVICE,
    QXFILE_BLOCK_DEVICE,
    QXFILE_SOCKET,
    QXFILE_OTHER,
};

// What path names, links followed; QXFILE_ABSENT when nothing can be found
// there (*err then holds the system's reason, ENOENT when there is nothing).
int qxfile_kind(const char *path, int *err);
// "a FIFO", "a directory", ...; null for QXFILE_ABSENT and QXFILE_REGULAR.
const char *qxfile_kind_text(int kind);

// 1, with "<kind>, not a regular file" as the problem and errno set (EISDIR
// for a directory, else EINVAL) for callers that pass the system's reason on.
int qxfile_refuse_kind(int kind, std::string *problem);

// 0 when path names a regular file; 1 with the problem otherwise (what it
// is, or why it cannot be looked at). Nothing is opened.
int qxfile_check_input(const char *path, std::string *problem);

// One file being written. file takes the bytes (stdio, so fprintf works);
// nothing is under the target's name until qxfile_commit.
typedef struct QxFileOut {
    FILE *file;
    std::string target; // links resolved: the name the bytes will take
    std::string temp;   // the new file beside it
    int error;          // errno of the first failed write, 0 while none
} QxFileOut;

// Checks the target and creates the temporary file beside it. 0, or 1 with
// the problem (nothing is left then).
int qxfile_create(QxFileOut *out, const char *path, std::string *problem);
// Writes len bytes; 0, or 1 when they did not all go (remembered for the
// commit, which then fails).
int qxfile_write(QxFileOut *out, const void *data, size_t len);
// Flushes the bytes to the disk and gives the file the target's name
// (replacing a regular file there, keeping its permissions). 0, or 1 with
// the problem: the temporary file is then removed and the target is as it
// was.
int qxfile_commit(QxFileOut *out, std::string *problem);
// Gives up: the temporary file goes, the target stays as it was; errno is
// kept, since the caller took its reason before.
void qxfile_discard(QxFileOut *out);

// The whole of data as the file at path, through the steps above.
int qxfile_write_whole(const char *path, const void *data, size_t len, std::string *problem);
