#include "qxsim_answer.h"

#include <thread>

#include "qxtrace.h"

namespace
{

// Holds the reply until the call has taken us microseconds since its
// request arrived: sleeps until about a millisecond is left (a sleep
// overshoots by the scheduler's grain), then spins to the deadline.
void device_latency(std::chrono::steady_clock::time_point arrived, uint32_t us)
{
    using namespace std::chrono;
    const steady_clock::time_point due = arrived + microseconds(us);
    for (;;) {
        steady_clock::duration left = due - steady_clock::now();
        if (left <= steady_clock::duration::zero())
            return;
        if (left > milliseconds(2))
            std::this_thread::sleep_for(left - milliseconds(1));
    }
}

} // namespace

uint32_t qxsim_answer(const QxSimAnswer &a, const uint8_t *packet, size_t n,
                      std::chrono::steady_clock::time_point arrived, QxWireRequest *req,
                      uint8_t *out, uint32_t *returned)
{
    *returned = 0;
    *req = {};
    if (n > QXWIRE_MAX_REQUEST || qxwire_decode_request(packet, n, req))
        return QXWIRE_ERROR_INVALID_PARAMETER;
    uint64_t t0 = qxtrace_now_us(a.record);
    uint32_t status;
    if (a.replay) {
        status = qxsim_replay_answer(*a.replay, *req, out, returned);
    } else {
        status = a.dev->ioctl(req->code, req->in, req->in_size, out, req->out_size, returned);
        if (status != 0 || *returned > req->out_size)
            *returned = status ? 0 : req->out_size;
    }
    device_latency(arrived, a.latency_us);
    if (a.record)
        qxsim_record_call(a.record, *req, status, out, *returned, t0);
    return status;
}
