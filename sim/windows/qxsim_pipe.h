// qxsim's server on Windows: serves one simulated device on a named pipe,
// to the test driver (qxsimdrv.sys) that passes it the calls made on the
// device's interface. The counterpart of qxsim_server.h's Linux endpoint,
// with the same counts and summary.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qxsim_device.h"
#include "qxsim_record.h"

struct QxSimServer {
    QxSimDevice *dev = nullptr;
    std::string path; // \\.\pipe\<name>
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE io = nullptr;   // the pipe's overlapped transfers
    HANDLE stop = nullptr; // set by Ctrl-C (SIGINT under Wine)
    bool connected = false;
    bool endpoint_removed = false;
    bool unplugged = false; // the driver was told; the pipe goes when it lets go
    bool verbose = false;
    uint32_t latency_us = 0;
    QxTrace *record = nullptr;
    QxSimReplay *replay = nullptr;
    int64_t stop_answering_after = -1;
    uint64_t received = 0;
    uint64_t replied = 0;
    uint64_t undelivered = 0;
    uint64_t unanswered = 0;
    uint64_t abandoned = 0;
    uint64_t service_ns = 0;
    std::vector<uint8_t> request = std::vector<uint8_t>(QXWIRE_MAX_REQUEST);
    std::vector<uint8_t> reply = std::vector<uint8_t>(8 + QXWIRE_MAX_REPLY);
    uint64_t calls = 0;
};

// Creates the pipe \\.\pipe\<name> (name empty: qx-10_20); Ctrl-C ends
// qxsim_run from then on. 1 (said on standard error) when it cannot serve,
// also when another process serves that name.
int qxsim_listen(QxSimServer &s, std::string name);
// Serves calls until a stop; 1 on a failure of the pipe itself.
int qxsim_run(QxSimServer &s);
// Closes the pipe: the driver finds nobody serving from then on.
void qxsim_close_endpoint(QxSimServer &s);
int qxsim_write_summary(const std::string &path, const QxSimServer &s, const QxSimDevice &dev);
