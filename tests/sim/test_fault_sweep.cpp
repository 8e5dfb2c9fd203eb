// A fault at every call of a whole update (the request's queries, the
// stability readings, the transfer, the check readings), in-process against
// the simulated device in virtual time: the device goes, stops answering,
// gives one short answer, refuses every call, or a stop is asked for, right
// at call k. Every run must end within its bound, report the outcome and the
// device state that the device itself shows (what it took, whether it
// completed, its checksum), give back the machine's hold and the device's
// lock, and never breach the device's contract.
//
// The test command runs a stride of the injection points; QX_SWEEP_STRIDE=1
// runs every one and QX_SWEEP_TABLE=1 prints the table (scripts/fault-sweep).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "qxlimits.h"
#include "qxlock.h"
#include "qxpower.h"
#include "qxsim_device.h"
#include "qxsys.h"
#include "testkit.h"
#include "updatecontext.h"
#include "updaterules.h"

namespace
{

using updaterules::DeviceState;
using updaterules::UpdateResult;

enum class Fault { Gone, Silent, Short, Refusing, Stop };

const char *fault_name(Fault f)
{
    switch (f) {
    case Fault::Gone:
        return "device gone";
    case Fault::Silent:
        return "stops answering";
    case Fault::Short:
        return "short read";
    case Fault::Refusing:
        return "refuses all";
    case Fault::Stop:
        return "stop request";
    }
    return "";
}

const char *result_name(UpdateResult r)
{
    switch (r) {
    case UpdateResult::Completed:
        return "completed";
    case UpdateResult::NoImage:
        return "no image";
    case UpdateResult::NoChecksum:
        return "no checksum";
    case UpdateResult::Unstable:
        return "unstable";
    case UpdateResult::TransferFailed:
        return "transfer failed";
    case UpdateResult::NotEqual:
        return "not equal";
    case UpdateResult::Stopped:
        return "stopped";
    }
    return "";
}

// The injection, between the update and the device. Process-wide, as the
// decorator hook is.
struct Injection {
    Fault fault = Fault::Gone;
    int at = 0; // the call, from 1; 0: none
    int calls = 0;
    int after = 0;                // calls made after the fault took effect
    std::vector<int> begin_calls; // the calls whose answer came after a transfer's begin
    bool short_done = false;
    uint64_t waited_at_fault = 0;
    const UsbdevsBackend *inner = nullptr;
    QxSimDevice *dev = nullptr;
    VirtualClock *clock = nullptr;
    UsbdevsBackend outer{};
} g;

int inject(void *, const uint16_t *path, const uint8_t *in, uint32_t in_size, uint8_t *out,
           uint32_t out_size, uint32_t *returned, uint32_t *error)
{
    const int n = ++g.calls;
    const bool struck = g.at && n >= g.at;
    if (struck && n > g.at && g.fault != Fault::Short)
        g.after++;
    if (struck && g.fault == Fault::Gone && n == g.at) {
        g.dev->unplug();
        g.waited_at_fault = g.clock->now_ms();
    }
    if (struck && g.fault == Fault::Silent) {
        // The device takes call k and answers none from then on.
        if (n == g.at) {
            g.waited_at_fault = g.clock->now_ms();
            g.inner->ioctl(g.inner->self, path, in, in_size, out, out_size, returned, error);
        }
        *returned = 0;
        *error = 121; // the semaphore timeout, as the transport gives it
        return USBDEVS_ERR_CALL;
    }
    const uint64_t begins = g.dev->stats().begins;
    if (struck && g.fault == Fault::Refusing) {
        // From call k on the device refuses every call and takes none.
        *returned = 0;
        *error = USBDEVS_ERROR_GEN_FAILURE;
        return USBDEVS_ERR_CALL;
    }
    int rc = g.inner->ioctl(g.inner->self, path, in, in_size, out, out_size, returned, error);
    if (g.dev->stats().begins != begins)
        g.begin_calls.push_back(n);
    if (struck && g.fault == Fault::Short && !g.short_done && rc == USBDEVS_OK && *returned > 0) {
        // The first answer from call k on comes one byte short.
        (*returned)--;
        g.short_done = true;
    }
    if (struck && g.fault == Fault::Stop && n == g.at) {
        g.waited_at_fault = g.clock->now_ms();
        qx_request_stop();
    }
    return rc;
}

const UsbdevsBackend *decorate(const UsbdevsBackend *inner)
{
    g.inner = inner;
    g.outer = *inner;
    g.outer.ioctl = &inject;
    return &g.outer;
}

// The machine's hold, seen from the device: when it was taken and let go.
struct PowerLog {
    QxSimDevice *dev = nullptr;
    int holds = 0;
    uint64_t chunks_at_hold = 0;
    bool held_at_first_chunk = false;
} power;

int fake_hold(QxPower *p, const char *who, const char *why)
{
    (void)who;
    (void)why;
    power.holds++;
    power.chunks_at_hold = power.dev->stats().chunks;
    p->handle = 1;
    return 0;
}

void fake_release(QxPower *) {}

struct SweepRun {
    UpdateResult result = UpdateResult::NoImage;
    bool refused = false; // the request's checks ended it before the update
    updaterules::FailureCause cause;
    DeviceState truth = DeviceState::Unchanged;
    int calls = 0;
    std::vector<int> begin_calls;
    int after = 0;
    uint64_t waited = 0;
    uint64_t waited_after = 0;
    uint64_t breaches = 0;
    uint64_t chunks = 0; // that the device took
    int holds_left = 0;
    bool lock_free = false;
    uint32_t taken = 0; // image bytes the device stored
};

const uint16_t k_from_version = 220;

std::vector<uint8_t> sweep_image()
{
    // Big enough for several bursts under the default room, small enough
    // for a sweep of every call.
    return qxsim_make_image("QX-20", 230, 57, 1500, 9);
}

// never_matches: the device's check readings are always off, so every
// attempt is made and a later transfer starts over a whole image.
SweepRun run_once(Fault fault, int at, bool never_matches = false)
{
    const std::vector<uint8_t> image = sweep_image();
    SweepRun run;
    VirtualClock clock;
    OutputCapture quiet;
    QxSimDevice dev;
    if (never_matches) {
        QxSimConfig config = dev.config();
        config.checksum_offset = 100;
        dev.set_config(config);
    }
    UsbdevsBackend backend = qxsim_backend(&dev);
    usbdevs_set_backend(&backend);
    g = Injection();
    g.fault = fault;
    g.at = at;
    g.dev = &dev;
    g.clock = &clock;
    usbdevs_set_decorator(&decorate);
    power = PowerLog();
    power.dev = &dev;
    QxPowerSystem fake = {};
    fake.hold = fake_hold;
    fake.release = fake_release;
    qxpower_set_system(&fake);
    const uint32_t installed_sum = dev.checksum(uint32_t(image.size()));

    {
        UpdateContext ctx;
        ctx.init();
        updaterules::RequestCheck check = updaterules::check_request(
            ctx, image.data(), uint32_t(image.size()), "sweep.bin", updaterules::RequestOptions());
        if (check.result != updaterules::RequestResult::Ok) {
            run.refused = true;
        } else {
            QxProgress progress{0};
            run.result =
                updaterules::run_update(&ctx, image.data(), uint32_t(image.size()), &progress,
                                        updaterules::UpdateReport(), &run.cause);
        }
        ctx.unlock_device();
        uint16_t path[USBDEVS_PATH_UNITS] = {};
        memcpy(path, ctx.ctl.devices[0].path, sizeof path);
        run.lock_free = !path[0] || qxlock_holder(path, nullptr) == 1;
    }
    run.holds_left = qxpower_holds();
    qxpower_set_system(nullptr);
    usbdevs_set_decorator(nullptr);
    usbdevs_set_backend(nullptr);
    qx_clear_stop();

    run.calls = g.calls;
    run.begin_calls = g.begin_calls;
    run.after = g.after;
    run.waited = clock.now_ms();
    run.waited_after = g.at && g.calls >= g.at ? clock.now_ms() - g.waited_at_fault : 0;
    run.breaches = dev.stats().breaches;
    run.chunks = dev.stats().chunks;
    const std::vector<uint8_t> stored = dev.stored_image();
    run.taken = stored.size() > PRG_HEADER_SIZE ? uint32_t(stored.size()) : 0;
    // The device's own state: nothing begun and its checksum as it was, the
    // whole image stored (checked or not), or part of it.
    if (dev.stats().begins == 0 && dev.checksum(uint32_t(image.size())) == installed_sum)
        run.truth = DeviceState::Unchanged;
    else if (stored == image && dev.firmware() == image)
        run.truth = run.result == UpdateResult::Completed ? DeviceState::Updated
                                                          : DeviceState::WrittenNotVerified;
    else if (stored == image)
        run.truth = DeviceState::WrittenNotVerified; // all taken, the end not confirmed
    else
        run.truth = DeviceState::Incomplete;
    return run;
}

// The ready wait's bound: 1000 cycles whose pause grows by 1 ms from 2 ms
// to its ceiling of 20 ms. A device that no longer answers costs each
// operation this wait.
uint64_t ready_wait_ms()
{
    uint64_t ms = 0;
    uint32_t delay = QXCTL_READY_FIRST_PAUSE_MS;
    for (int c = 0; c < QXCTL_READY_CYCLES; c++) {
        ms += delay;
        if (delay < QXCTL_READY_LAST_PAUSE_MS)
            delay++;
    }
    return ms;
}

// An update's stated bound with one fault: its own pauses over three
// attempts, a ready wait for each of a check phase's readings and the two
// transfers around it, and the longest wait of one transfer (its finish:
// 20 cycles of ten answers 100 ms apart and a second).
const uint64_t k_bound_ms =
    (QXUPDATE_RETRIES + 1) * (QXUPDATE_PAUSE_MS + QXUPDATE_CHECK_READINGS * QXUPDATE_PAUSE_MS) +
    (QXUPDATE_CHECK_READINGS + 2) * ready_wait_ms() +
    QXCTL_FWUP_FINISH_CYCLES * (QXCTL_FWUP_FINISH_ANSWERS * QXCTL_FWUP_FINISH_ANSWER_PAUSE_MS +
                                QXCTL_FWUP_FINISH_CYCLE_PAUSE_MS);

// What every run must keep; "" when it does.
std::string judge(Fault fault, int at, const SweepRun &r)
{
    std::string why;
    auto fail = [&](const std::string &w) { why += (why.empty() ? "" : "; ") + w; };
    if (r.breaches)
        fail(std::to_string(r.breaches) + " breaches");
    if (r.holds_left)
        fail("the machine is still held");
    if (!r.lock_free)
        fail("the device is still locked");
    if (power.holds && power.chunks_at_hold != 0)
        fail("held only after chunks were sent");
    if (r.chunks && !power.holds)
        fail("nothing held the machine while the device took chunks");
    if (r.waited > k_bound_ms)
        fail("waited " + std::to_string(r.waited) + " ms");
    if (fault == Fault::Stop && (r.after || r.waited_after))
        fail("went on after the stop: " + std::to_string(r.after) + " calls, " +
             std::to_string(r.waited_after) + " ms");
    if (fault == Fault::Stop && !r.refused && r.result != UpdateResult::Stopped && at <= r.calls &&
        r.result != UpdateResult::Completed)
        fail(std::string("a stop ended as ") + result_name(r.result));
    if (r.refused) {
        if (r.truth != DeviceState::Unchanged)
            fail("refused, yet the device changed");
        return why;
    }
    if ((r.result == UpdateResult::Completed) != (r.truth == DeviceState::Updated))
        fail(std::string("ended as ") + result_name(r.result) + " with the device " +
             updaterules::device_state_name(r.truth));
    // A call whose answer never came may have been taken: the last chunk of
    // a transfer, say. The update cannot know, and tells the lesser state,
    // whose advice (write the whole image) is right for both.
    const bool unknowable = fault == Fault::Silent &&
                            r.cause.device_state == DeviceState::Incomplete &&
                            r.truth == DeviceState::WrittenNotVerified;
    if (r.cause.device_state != r.truth && !unknowable)
        fail(std::string("reported ") + updaterules::device_state_name(r.cause.device_state) +
             ", the device is " + updaterules::device_state_name(r.truth));
    if (r.cause.stop == updaterules::FailureCause::Stop::Transfer && r.cause.position > r.taken)
        fail("stopped at byte " + std::to_string(r.cause.position) + " of which the device took " +
             std::to_string(r.taken));
    return why;
}

int env_int(const char *name, int fallback)
{
    const char *v = getenv(name);
    return v && *v ? atoi(v) : fallback;
}

TEST(FaultSweep, EveryInjectionPointEndsRight)
{
    const SweepRun clean = run_once(Fault::Gone, 0);
    ASSERT_EQ(UpdateResult::Completed, clean.result);
    ASSERT_EQ(DeviceState::Updated, clean.cause.device_state);
    ASSERT_EQ("", judge(Fault::Gone, 0, clean));
    const int total = clean.calls;
    ASSERT_GT(total, 100);
    // A prime stride walks every phase without running every call.
    const int stride = env_int("QX_SWEEP_STRIDE", 7);
    const bool table = env_int("QX_SWEEP_TABLE", 0) != 0;
    std::map<std::string, int> totals;
    int runs = 0;
    int wrong = 0;
    if (table)
        printf("%-16s %6s  %-16s %-21s %s\n", "fault", "call", "outcome", "device state",
               "problem");
    for (Fault fault : {Fault::Gone, Fault::Silent, Fault::Short, Fault::Refusing, Fault::Stop}) {
        for (int at = 1; at <= total; at += stride) {
            const SweepRun r = run_once(fault, at);
            const std::string problem = judge(fault, at, r);
            const std::string outcome = r.refused ? "refused" : result_name(r.result);
            runs++;
            totals[std::string(fault_name(fault)) + ": " + outcome + ", " +
                   updaterules::device_state_name(r.cause.device_state)]++;
            if (!problem.empty())
                wrong++;
            const bool unseen = r.cause.device_state != r.truth && problem.empty();
            if (unseen)
                totals["(of these, the device held more than the update could know)"]++;
            if (table)
                printf("%-16s %6d  %-16s %-21s %s\n", fault_name(fault), at, outcome.c_str(),
                       updaterules::device_state_name(r.cause.device_state),
                       !problem.empty() ? problem.c_str()
                       : unseen         ? "(the device took the last chunk unseen)"
                                        : "-");
            EXPECT_EQ("", problem) << fault_name(fault) << " at call " << at << " of " << total;
        }
    }
    // A device whose check never matches: each fault around each transfer's
    // begin, where a later transfer's unsent begin leaves the whole image.
    const SweepRun unmatched = run_once(Fault::Gone, 0, true);
    ASSERT_EQ(UpdateResult::NotEqual, unmatched.result);
    ASSERT_EQ(size_t(QXUPDATE_RETRIES + 1), unmatched.begin_calls.size());
    for (int begin : unmatched.begin_calls)
        for (Fault fault : {Fault::Gone, Fault::Silent, Fault::Short, Fault::Refusing, Fault::Stop})
            for (int at = begin - 3; at <= begin + 1; at++) {
                const SweepRun r = run_once(fault, at, true);
                runs++;
                EXPECT_EQ("", judge(fault, at, r))
                    << fault_name(fault) << " at call " << at << ", a check that never matches";
            }
    if (table) {
        printf("\n%d calls in a whole update; %d injections, %d wrong\n", total, runs, wrong);
        for (const auto &t : totals)
            printf("%6d  %s\n", t.second, t.first.c_str());
    }
}

} // namespace
