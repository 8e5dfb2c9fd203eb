// The machine held up on Windows, through the seam that records the calls
// (Wine's own execution state and shutdown list cannot be observed): the
// transfer's thread sets ES_CONTINUOUS | ES_SYSTEM_REQUIRED before the
// first chunk and clears it after the last check reading, on every way out;
// the window's reason goes to the system and comes back.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "qxlimits.h"
#include "qxpower.h"
#include "qxsim_device.h"
#include "qxsys.h"
#include "testkit.h"
#include "updatecontext.h"
#include "updaterules.h"

namespace
{

struct StateCall {
    uint32_t flags;
    DWORD thread;
    uint64_t chunks; // the device's chunks when it came
};
std::vector<StateCall> g_states;
std::vector<std::wstring> g_reasons; // "+why" registered, "-" destroyed
QxSimDevice *g_dev = nullptr;

uint32_t record_state(uint32_t flags)
{
    g_states.push_back({flags, GetCurrentThreadId(), g_dev->stats().chunks});
    return ES_CONTINUOUS;
}

int record_block(void *window, const wchar_t *why)
{
    g_reasons.push_back((window ? L"+" : L"?") + std::wstring(why));
    return 1;
}

int record_unblock(void *window)
{
    g_reasons.push_back(window ? L"-" : L"?");
    return 1;
}

struct PowerCase {
    const char *name;
    uint32_t unplug_after; // 0: a whole update
    bool stop;             // a stop at the first check reading
};

void PrintTo(const PowerCase &row, std::ostream *os)
{
    *os << row.name;
}

class PowerWin : public ::testing::TestWithParam<PowerCase>
{
};

TEST_P(PowerWin, HeldOnTheTransferThreadFromTheFirstChunkToTheEnd)
{
    const PowerCase &row = GetParam();
    VirtualClock clock;
    OutputCapture quiet;
    QxSimConfig config;
    if (row.unplug_after)
        config.unplug_after = row.unplug_after;
    QxSimDevice dev(config);
    g_dev = &dev;
    g_states.clear();
    UsbdevsBackend backend = qxsim_backend(&dev);
    usbdevs_set_backend(&backend);
    QxPowerSystem system = {};
    system.set_state = record_state;
    qxpower_set_system(&system);
    int pauses = 0;
    clock.on_sleep = [&](uint32_t ms) {
        if (row.stop && ms == QXUPDATE_PAUSE_MS && ++pauses == 2)
            qx_request_stop();
    };
    const std::vector<uint8_t> image = qxsim_make_image("QX-20", 230, 57, 1500, 9);
    DWORD transfer_thread = 0;
    updaterules::UpdateResult result = updaterules::UpdateResult::NoImage;
    std::thread worker([&] {
        transfer_thread = GetCurrentThreadId();
        UpdateContext ctx;
        ctx.init();
        updaterules::RequestCheck check = updaterules::check_request(
            ctx, image.data(), uint32_t(image.size()), "fw.bin", updaterules::RequestOptions());
        ASSERT_EQ(updaterules::RequestResult::Ok, check.result);
        result = updaterules::run_update(&ctx, image.data(), uint32_t(image.size()), nullptr,
                                         updaterules::UpdateReport());
    });
    worker.join();
    qxpower_set_system(nullptr);
    usbdevs_set_backend(nullptr);
    qx_clear_stop();

    ASSERT_EQ(2u, g_states.size());
    EXPECT_EQ(uint32_t(ES_CONTINUOUS | ES_SYSTEM_REQUIRED), g_states[0].flags);
    EXPECT_EQ(0u, g_states[0].chunks) << "held before the first chunk";
    EXPECT_EQ(uint32_t(ES_CONTINUOUS), g_states[1].flags);
    EXPECT_EQ(dev.stats().chunks, g_states[1].chunks) << "let go after the last call";
    EXPECT_EQ(transfer_thread, g_states[0].thread);
    EXPECT_EQ(transfer_thread, g_states[1].thread);
    EXPECT_EQ(0, qxpower_holds());
    if (row.unplug_after)
        EXPECT_EQ(updaterules::UpdateResult::TransferFailed, result);
    else if (row.stop)
        EXPECT_EQ(updaterules::UpdateResult::Stopped, result);
    else
        EXPECT_EQ(updaterules::UpdateResult::Completed, result);
}

const PowerCase k_power[] = {
    {"Completed", 0, false},
    {"DeviceGoneMidTransfer", 700, false},
    {"StoppedInTheCheckPhase", 0, true},
};

INSTANTIATE_TEST_SUITE_P(Update, PowerWin, ::testing::ValuesIn(k_power),
                         [](const auto &info) { return std::string(info.param.name); });

// The window's reason for refusing the session's end, in the system's
// wide text, and its removal.
TEST(PowerWinSession, ReasonRegisteredAndDestroyed)
{
    g_reasons.clear();
    QxPowerSystem system = {};
    system.block_reason = record_block;
    system.unblock_reason = record_unblock;
    qxpower_set_system(&system);
    int window = 0;
    EXPECT_EQ(0, qxpower_block_session_end(&window, "Updating the firmware of the QX-20 \xc3\xa9"));
    EXPECT_EQ(0, qxpower_unblock_session_end(&window));
    qxpower_set_system(nullptr);
    EXPECT_EQ((std::vector<std::wstring>{L"+Updating the firmware of the QX-20 \u00e9", L"-"}),
              g_reasons);
}

} // namespace
