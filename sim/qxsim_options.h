// qxsim's command line: what it sets, its help text and its parsing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "qxsim_device.h"

struct QxSimOptions {
    QxSimConfig config;
    std::string firmware_file;
    std::string record_file;
    std::string replay_file;
    std::string summary_file;
    std::string dir;
    std::string pipe; // Windows: the test driver's pipe name
    int ready_fd = -1;
    int64_t stop_answering_after = -1;
    bool verbose = false;
    bool help = false;
    bool show_version = false;
};

void qxsim_usage(FILE *f);
// 0 parsed, 2 usage error (already reported).
int qxsim_parse_args(int argc, char **argv, QxSimOptions &o);
