// qxsim's recording of the calls it serves and its replay of a recorded run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qxtrace.h"
#include "qxtrace_read.h"
#include "qxwire.h"

// A recorded run answered call by call; after the first difference every
// call fails, so the client stops soon and the difference stays the first.
struct QxSimReplay {
    std::vector<QxTraceCall> calls;
    size_t next = 0;
    bool differed = false;
};

// Answers from the recording; returns the status, *returned output bytes.
uint32_t qxsim_replay_answer(QxSimReplay &r, const QxWireRequest &req, uint8_t *out,
                             uint32_t *returned);
// Appends one served call to the device's trace; t0 is when it arrived.
void qxsim_record_call(QxTrace *record, const QxWireRequest &req, uint32_t status,
                       const uint8_t *out, uint32_t returned, uint64_t t0);
// At the end of a replay: 0 when every recorded call was asked for as
// recorded, else 3 (said on standard error).
int qxsim_replay_end(const QxSimReplay &r);
