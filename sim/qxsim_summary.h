// qxsim's summary of a run as JSON: calls, breaches by kind and in full,
// the device's own service time. Shared by the Linux and the Windows server.
#pragma once

#include <cstdint>
#include <string>

#include "qxsim_device.h"

int qxsim_summary_write(const std::string &path, uint64_t calls, uint64_t service_ns,
                        const QxSimDevice &dev);
