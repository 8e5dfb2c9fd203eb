// Reading device traces back, for the simulated device's replay, the tests
// and the benchmarks. The format and the recording are in qxtrace.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qxtrace.h"

// Reads the ioctl lines of a trace file in order. 0, or 1 with *error saying
// which line could not be understood.
int qxtrace_load(const char *path, std::vector<QxTraceCall> *calls, std::string *error);
// Parses one line; 1 = an ioctl call stored in *call, 0 = another kind of
// line, -1 = not a trace line.
int qxtrace_parse_line(const std::string &line, QxTraceCall *call);
// True when a request (code, input buffer, output size) is the one recorded.
bool qxtrace_same_request(const QxTraceCall *recorded, uint32_t code, const uint8_t *in,
                          uint32_t in_size, uint32_t out_size);
// One line saying how a request differs from the recorded one.
std::string qxtrace_describe_difference(const QxTraceCall *recorded, uint32_t code,
                                        const uint8_t *in, uint32_t in_size, uint32_t out_size);
