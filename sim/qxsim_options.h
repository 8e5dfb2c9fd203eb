// qxsim's command line: what it sets, its help text and its parsing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "qxsim_device.h"
#include "qxwire.h"

struct QxSimOptions {
    QxSimConfig config;
    std::string firmware_file;
    std::string record_file;
    std::string replay_file;
    std::string summary_file;
    std::string dir;
    std::string pipe; // Windows: the test driver's pipe name
    std::string endpoint = QXWIRE_ENDPOINT;
    int ready_fd = -1;
    int64_t stop_answering_after = -1;
    bool verbose = false;
    bool help = false;
    bool show_version = false;
};

void qxsim_usage(FILE *f);
// Whether the updater's discovery takes NAME for a device endpoint.
bool qxsim_endpoint_name_ok(const std::string &name);
// 0 parsed, 2 usage error (already reported).
int qxsim_parse_args(int argc, char **argv, QxSimOptions &o);
