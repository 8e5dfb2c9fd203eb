// qxsim's server: serves one simulated device on the Linux device endpoint,
// one connection per I/O-control call.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "qxsim_device.h"
#include "qxsim_record.h"

struct QxSimServer {
    QxSimDevice *dev = nullptr;
    std::string path;
    int fd = -1;
    dev_t st_dev = 0;
    ino_t st_ino = 0;
    bool endpoint_removed = false;
    bool verbose = false;
    uint32_t latency_us = 0;
    QxTrace *record = nullptr;
    QxSimReplay *replay = nullptr;
    int64_t stop_answering_after = -1;
    // Connections answered (or left unanswered on purpose), closed only once
    // the host has hung up: a close right behind the reply could reach the
    // host's receive before the reply does, which then reads end-of-file.
    std::vector<int> open_calls;
    // What went over the wire, and the device's own time for it.
    uint64_t received = 0;
    uint64_t replied = 0;
    uint64_t undelivered = 0;
    uint64_t unanswered = 0;
    uint64_t abandoned = 0;
    uint64_t service_ns = 0;
    std::vector<uint8_t> request = std::vector<uint8_t>(QXWIRE_MAX_REQUEST + 1);
    std::vector<uint8_t> reply = std::vector<uint8_t>(QXWIRE_MAX_REPLY);
    uint64_t calls = 0; // requests answered, delivered or not
};

// Creates dir (mode 0700) when missing, checks that only the user can write
// to it, and listens on the endpoint in it (QXWIRE_ENDPOINT, or the name
// endpoint gives); SIGINT, SIGTERM and SIGHUP end
// qxsim_run from then on. 1 (said on standard error) when it cannot serve.
int qxsim_listen(QxSimServer &s, std::string dir, const std::string &endpoint = "");
// Serves calls until a stop signal; 1 on a failure of the socket itself.
int qxsim_run(QxSimServer &s);
// Removes the endpoint if it is still the one this process bound: a newer
// daemon's endpoint at the same path is left alone.
void qxsim_close_endpoint(QxSimServer &s);
// The run in numbers: calls, breaches by kind and in full, service time.
int qxsim_write_summary(const std::string &path, const QxSimServer &s, const QxSimDevice &dev);
