#include "qxsim_record.h"

#include <cstdio>
#include <cstring>

#include "usbdevs.h"

uint32_t qxsim_replay_answer(QxSimReplay &r, const QxWireRequest &req, uint8_t *out,
                             uint32_t *returned)
{
    *returned = 0;
    size_t n = r.next++;
    const QxTraceCall *rec = n < r.calls.size() ? &r.calls[n] : nullptr;
    if (!r.differed &&
        (!rec || !qxtrace_same_request(rec, req.code, req.in, req.in_size, req.out_size))) {
        r.differed = true;
        fprintf(
            stderr, "qxsim: replay: call %zu differs from the recording: %s\n", n + 1,
            qxtrace_describe_difference(rec, req.code, req.in, req.in_size, req.out_size).c_str());
    }
    if (r.differed)
        return USBDEVS_ERROR_GEN_FAILURE;
    switch (rec->result) {
    case USBDEVS_OK: {
        // As many bytes as the device gave, even more than were asked for,
        // so that the host's exact-length check meets the same count.
        uint32_t count = rec->returned < QXWIRE_MAX_OUTPUT ? rec->returned : QXWIRE_MAX_OUTPUT;
        size_t have = rec->out.size() < count ? rec->out.size() : count;
        if (have)
            memcpy(out, rec->out.data(), have);
        memset(out + have, 0, count - have);
        *returned = count;
        return 0;
    }
    case USBDEVS_ERR_CALL:
        return rec->status ? rec->status : USBDEVS_ERROR_GEN_FAILURE;
    case USBDEVS_ERR_NOMEM:
        return 8; // ERROR_NOT_ENOUGH_MEMORY
    default:
        // The recorded host could not reach the device at all.
        return USBDEVS_ERROR_DEVICE_NOT_CONNECTED;
    }
}

void qxsim_record_call(QxTrace *record, const QxWireRequest &req, uint32_t status,
                       const uint8_t *out, uint32_t returned, uint64_t t0)
{
    QxTraceCall c;
    c.seq = 0;
    c.t_us = t0;
    c.dur_us = qxtrace_now_us(record) - t0;
    c.code = req.code;
    c.in.assign(req.in, req.in + req.in_size);
    c.out_size = req.out_size;
    c.result = status ? USBDEVS_ERR_CALL : USBDEVS_OK;
    c.status = status;
    c.returned = status ? 0 : returned;
    uint32_t kept = returned < req.out_size ? returned : req.out_size;
    if (!status)
        c.out.assign(out, out + kept);
    qxtrace_write_call(record, &c);
}

int qxsim_replay_end(const QxSimReplay &r)
{
    if (r.differed)
        return 3;
    if (r.next < r.calls.size()) {
        fprintf(stderr, "qxsim: replay: only %zu of %zu recorded calls were made\n", r.next,
                r.calls.size());
        return 3;
    }
    fprintf(stderr, "qxsim: replay: all %zu recorded calls answered as recorded\n", r.calls.size());
    return 0;
}
