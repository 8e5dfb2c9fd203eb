// The answer to one request packet, the same from every endpoint: from the
// device or the replay, held for the device's latency, recorded.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "qxsim_device.h"
#include "qxsim_record.h"

struct QxSimAnswer {
    QxSimDevice *dev = nullptr;
    QxSimReplay *replay = nullptr; // answers instead of dev when set
    QxTrace *record = nullptr;
    uint32_t latency_us = 0;
};

// Answers the n-byte packet into out (room for QXWIRE_MAX_REPLY bytes);
// returns the status, *req the decoded request, *returned the bytes written. A packet that does not
// decode gets QXWIRE_ERROR_INVALID_PARAMETER, a zeroed *req and no bytes.
uint32_t qxsim_answer(const QxSimAnswer &a, const uint8_t *packet, size_t n,
                      std::chrono::steady_clock::time_point arrived, QxWireRequest *req,
                      uint8_t *out, uint32_t *returned);
