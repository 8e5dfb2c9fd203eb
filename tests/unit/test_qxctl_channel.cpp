// Control channel and transactions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "qxctl.h"
#include "qxsys.h"
#include "testkit.h"

namespace
{

const char L46[] = "..\\qxtest\\qxctl:46:ERROR\n";
const char L55[] = "..\\qxtest\\qxctl:55:ERROR\n";
const char L62[] = "..\\qxtest\\qxctl:62:ERROR\n";
const char L79[] = "..\\qxtest\\qxctl:79:ERROR\n";
const char L86[] = "..\\qxtest\\qxctl:86:ERROR\n";
const char L169[] = "..\\qxtest\\qxctl:169:ERROR\n";
const char L216[] = "..\\qxtest\\qxctl:216:ERROR\n";

uint32_t u32_at(const std::vector<uint8_t> &v, size_t at)
{
    return v[at] | v[at + 1] << 8 | v[at + 2] << 16 | (uint32_t)v[at + 3] << 24;
}

// An opened channel over a scripted backend, with a virtual clock and the
// output captured.
struct Channel : ::testing::Test {
    ScriptedBackend dev;
    VirtualClock clock;
    OutputCapture out;
    QxCtl ctl;
    QxChannel ch = nullptr;

    void SetUp() override
    {
        memset(&ctl, 0, sizeof ctl);
        ASSERT_EQ(0, qxctl_init(&ctl));
        ASSERT_EQ(0, qxctl_open(&ctl, &ch));
        ASSERT_EQ(&ctl, ch);
        dev.calls.clear();
        out.clear();
    }
};

} // namespace

// --- opening ---

TEST(QxCtlOpen, FindsDeviceZero)
{
    ScriptedBackend dev;
    QxCtl ctl;
    memset(&ctl, 0xAB, sizeof ctl);
    ASSERT_EQ(0, qxctl_clear(&ctl));
    for (const auto &d : ctl.devices)
        for (uint16_t u : d.path)
            ASSERT_EQ(0, u);
    ASSERT_EQ(0, qxctl_init(&ctl));
    EXPECT_EQ(0, ctl.ndev);
    QxChannel ch = nullptr;
    ASSERT_EQ(0, qxctl_open(&ctl, &ch));
    EXPECT_EQ(&ctl, ch);
    EXPECT_EQ(1, ctl.ndev);
    EXPECT_NE(0, ctl.devices[0].path[0]);
    EXPECT_EQ(0, ctl.devices[1].path[0]);
    EXPECT_TRUE(dev.calls.empty());
}

TEST(QxCtlOpen, NoDeviceLeavesNdevAtTen)
{
    ScriptedBackend dev;
    dev.device_present = false;
    QxCtl ctl;
    memset(&ctl, 0, sizeof ctl);
    qxctl_init(&ctl);
    QxChannel ch = nullptr;
    EXPECT_EQ(1, qxctl_open(&ctl, &ch));
    EXPECT_EQ(nullptr, ch);
    EXPECT_EQ(10, ctl.ndev);
    EXPECT_TRUE(dev.calls.empty());
}

TEST(QxCtlOpen, SecondOpenWithoutInitFails)
{
    ScriptedBackend dev;
    QxCtl ctl;
    memset(&ctl, 0, sizeof ctl);
    qxctl_init(&ctl);
    QxChannel ch = nullptr;
    ASSERT_EQ(0, qxctl_open(&ctl, &ch));
    QxChannel ch2 = nullptr;
    EXPECT_EQ(1, qxctl_open(&ctl, &ch2));
    EXPECT_EQ(nullptr, ch2);
    EXPECT_EQ(10, ctl.ndev);
    // After init it succeeds again.
    qxctl_init(&ctl);
    EXPECT_EQ(0, qxctl_open(&ctl, &ch2));
    EXPECT_EQ(1, ctl.ndev);
}

TEST(QxCtlOpen, NullArgumentsFail)
{
    ScriptedBackend dev;
    EXPECT_EQ(1, qxctl_clear(nullptr));
    EXPECT_EQ(1, qxctl_init(nullptr));
    EXPECT_EQ(1, qxctl_open(nullptr, nullptr));
}

TEST(QxCtlNoChannel, OperationsFailWithoutIo)
{
    ScriptedBackend dev;
    VirtualClock clock;
    uint8_t buf[64] = {1, 1};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    m.pos = 2;
    QxChannel none = nullptr;
    for (QxChannel *ch : {(QxChannel *)nullptr, &none}) {
        EXPECT_EQ(1, qxctl_send(ch, &m));
        EXPECT_EQ(1, qxctl_recv(ch, &m));
        EXPECT_EQ(1, qxctl_wait_ready(ch));
        EXPECT_EQ(1, qxctl_send_alt(ch, &m));
        EXPECT_EQ(1, qxctl_recv_alt(ch, &m));
        EXPECT_EQ(1, qxctl_wait_ready_alt(ch));
    }
    EXPECT_TRUE(dev.calls.empty());
    EXPECT_TRUE(clock.sleeps().empty());
}

// --- sending ---

TEST_F(Channel, SendWritesPosBytesWithRequest29)
{
    uint8_t buf[64] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    qxmsg_put(&m, 49, QXMSG_EMPTY, 0, 0);
    qxmsg_put(&m, 0, QXMSG_END, 0, 0);
    ASSERT_EQ(0, qxctl_send(&ch, &m));
    ASSERT_EQ(1u, dev.calls.size());
    const IoCall &c = dev.calls[0];
    EXPECT_TRUE(c.is_write());
    EXPECT_EQ((unsigned)QXREQ_SEND, c.request());
    ASSERT_EQ(20u, c.in.size()); // never fewer than 20 bytes
    EXPECT_EQ(0u, u32_at(c.in, 0));
    EXPECT_EQ(4u, u32_at(c.in, 4));
    EXPECT_EQ(23, c.in[8] | c.in[9] << 8);
    EXPECT_EQ(0, c.in[10] | c.in[11] | c.in[12] | c.in[13] | c.in[14]);
    EXPECT_EQ((std::vector<uint8_t>{0x31, 0x01, 0x00, 0x00}), c.payload());
    EXPECT_EQ(0u, c.out_size);
    EXPECT_EQ("", out.text());
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(Channel, SendSixtyFourBytes)
{
    uint8_t buf[80];
    for (int i = 0; i < 80; i++)
        buf[i] = (uint8_t)i;
    QxMsg m;
    qxmsg_init(&m, buf, 80);
    m.pos = 64;
    ASSERT_EQ(0, qxctl_send(&ch, &m));
    ASSERT_EQ(1u, dev.calls.size());
    EXPECT_EQ(80u, dev.calls[0].in.size());
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 64), dev.calls[0].payload());
}

TEST_F(Channel, SendSixtyFiveBytesRefusedBeforeAnyWrite)
{
    uint8_t buf[80] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 80);
    m.pos = 65;
    EXPECT_EQ(1, qxctl_send(&ch, &m));
    EXPECT_EQ(L46, out.text());
    EXPECT_TRUE(dev.calls.empty());
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(Channel, SendRetriesAfterFailedWrites)
{
    for (int i = 0; i < 9; i++)
        dev.fail();
    uint8_t buf[64] = {0x31, 1};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    m.pos = 4;
    EXPECT_EQ(0, qxctl_send(&ch, &m));
    EXPECT_EQ(10u, dev.calls.size());
    EXPECT_EQ(9u, out.count(L55));
    EXPECT_EQ(0u, out.count(L62));
    EXPECT_EQ(std::vector<uint32_t>(9, 5), clock.sleeps());
}

TEST_F(Channel, SendGivesUpAfterTenTries)
{
    dev.fallback = [](const IoCall &) { return ScriptedBackend::failure_reply(); };
    uint8_t buf[64] = {0x31, 1};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    m.pos = 4;
    EXPECT_EQ(1, qxctl_send(&ch, &m));
    EXPECT_EQ(10u, dev.calls.size());
    EXPECT_EQ(10u, out.count(L55));
    EXPECT_EQ(1u, out.count(L62));
    // The last line is the give-up line.
    const std::string &t = out.text();
    EXPECT_EQ(t.size() - strlen(L62), t.rfind(L62));
    EXPECT_EQ(50u, clock.now_ms());
}

TEST_F(Channel, SendAltUsesRequest45AndItsLines)
{
    uint8_t buf[80] = {0x31, 1};
    QxMsg m;
    qxmsg_init(&m, buf, 80);
    m.pos = 4;
    dev.fail();
    ASSERT_EQ(0, qxctl_send_alt(&ch, &m));
    ASSERT_EQ(2u, dev.calls.size());
    EXPECT_EQ((unsigned)QXREQ_SEND_ALT, dev.calls[1].request());
    EXPECT_EQ(1u, out.count("..\\qxtest\\qxctl:111:ERROR\n"));

    out.clear();
    m.pos = 65;
    EXPECT_EQ(1, qxctl_send_alt(&ch, &m));
    EXPECT_EQ("..\\qxtest\\qxctl:102:ERROR\n", out.text());

    out.clear();
    m.pos = 4;
    dev.fallback = [](const IoCall &) { return ScriptedBackend::failure_reply(); };
    EXPECT_EQ(1, qxctl_send_alt(&ch, &m));
    EXPECT_EQ(10u, out.count("..\\qxtest\\qxctl:111:ERROR\n"));
    EXPECT_EQ(1u, out.count("..\\qxtest\\qxctl:118:ERROR\n"));
}

// --- receiving ---

TEST_F(Channel, RecvReadsSixtyFourBytesAndRewinds)
{
    dev.answer(tlv({item_u8(161, 1)}));
    uint8_t buf[64];
    memset(buf, 0xCC, sizeof buf);
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    m.pos = 30;
    ASSERT_EQ(0, qxctl_recv(&ch, &m));
    EXPECT_EQ(0, m.pos);
    ASSERT_EQ(1u, dev.calls.size());
    const IoCall &c = dev.calls[0];
    EXPECT_FALSE(c.is_write());
    EXPECT_EQ((unsigned)QXREQ_RECV, c.request());
    EXPECT_EQ(64u, c.out_size);
    ASSERT_EQ(20u, c.in.size());
    EXPECT_EQ(1u, u32_at(c.in, 0));
    EXPECT_EQ(0u, u32_at(c.in, 4));
    EXPECT_EQ(0u, u32_at(c.in, 16));
    EXPECT_EQ(161, buf[0]);
    EXPECT_EQ(0, buf[3]); // zero-padded answer
}

TEST_F(Channel, RecvCapacityAboveSixtyFourReadsSixtyFour)
{
    uint8_t buf[100] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 100);
    ASSERT_EQ(0, qxctl_recv(&ch, &m));
    EXPECT_EQ(L79, out.text());
    ASSERT_EQ(1u, dev.calls.size());
    EXPECT_EQ(64u, dev.calls[0].out_size);
}

TEST_F(Channel, RecvSmallCapacityReadsCapacity)
{
    uint8_t buf[10] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 10);
    ASSERT_EQ(0, qxctl_recv(&ch, &m));
    ASSERT_EQ(1u, dev.calls.size());
    EXPECT_EQ(10u, dev.calls[0].out_size);
    EXPECT_EQ("", out.text());
}

TEST_F(Channel, RecvFailsOnceWithoutRetry)
{
    dev.fail();
    uint8_t buf[64] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    EXPECT_EQ(1, qxctl_recv(&ch, &m));
    EXPECT_EQ(1u, dev.calls.size());
    EXPECT_EQ(1u, out.count(L86));
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(Channel, RecvShortAnswerFails)
{
    ScriptedBackend::Reply r;
    r.out.assign(63, 0);
    r.exact = false;
    dev.script.push_back(r);
    uint8_t buf[64] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    EXPECT_EQ(1, qxctl_recv(&ch, &m));
    EXPECT_EQ(1u, out.count("..\\qxtest\\usbdevs_win:228:ERROR\n"));
    EXPECT_EQ(1u, out.count(L86));
}

TEST_F(Channel, RecvAltUsesRequest46AndItsLines)
{
    uint8_t buf[100] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 100);
    ASSERT_EQ(0, qxctl_recv_alt(&ch, &m));
    ASSERT_EQ(1u, dev.calls.size());
    EXPECT_EQ((unsigned)QXREQ_RECV_ALT, dev.calls[0].request());
    EXPECT_EQ(64u, dev.calls[0].out_size);
    EXPECT_EQ("..\\qxtest\\qxctl:135:ERROR\n", out.text());
    out.clear();
    dev.fail();
    EXPECT_EQ(1, qxctl_recv_alt(&ch, &m));
    EXPECT_EQ(1u, out.count("..\\qxtest\\qxctl:142:ERROR\n"));
}

// --- waiting until ready ---

TEST_F(Channel, ZeroAnswerCountsAsReady)
{
    EXPECT_EQ(0, qxctl_wait_ready(&ch));
    EXPECT_EQ(1u, dev.calls.size());
    EXPECT_EQ((unsigned)QXREQ_RECV, dev.calls[0].request());
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(Channel, AnswerWithoutReadyItemCountsAsReady)
{
    dev.answer(tlv({item_u8(50, 0), item_blob(18, "busy?")}));
    EXPECT_EQ(0, qxctl_wait_ready(&ch));
    EXPECT_EQ(1u, dev.calls.size());
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(Channel, FirstNonZeroReadyWins)
{
    dev.answer(tlv({item_u8(161, 0), item_u8(161, 1)}));
    EXPECT_EQ(0, qxctl_wait_ready(&ch));
    EXPECT_EQ(1u, dev.calls.size());
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(Channel, BusyThenReady)
{
    dev.answer(tlv({item_u8(161, 0)}));
    dev.answer(tlv({item_u16(161, 0), item_u8(161, 0)}));
    dev.answer(tlv({item_u32(161, 0)}));
    dev.answer(tlv({item_u8(161, 7)}));
    EXPECT_EQ(0, qxctl_wait_ready(&ch));
    EXPECT_EQ(4u, dev.calls.size());
    EXPECT_EQ((std::vector<uint32_t>{2, 3, 4}), clock.sleeps());
}

TEST_F(Channel, AlwaysBusyGivesUpAfterThousandCycles)
{
    dev.fallback = [](const IoCall &) {
        return ScriptedBackend::answer_reply(tlv({item_u8(161, 0)}));
    };
    EXPECT_EQ(1, qxctl_wait_ready(&ch));
    EXPECT_EQ(1000u, dev.calls.size());
    const auto &s = clock.sleeps();
    ASSERT_EQ(1000u, s.size());
    for (size_t i = 0; i < s.size(); i++)
        ASSERT_EQ(i < 19 ? 2 + i : 20u, s[i]) << i;
    EXPECT_EQ(19829u, clock.now_ms());
    EXPECT_EQ("", out.text());
}

TEST_F(Channel, FailedReadsDoNotEndTheWait)
{
    dev.fallback = [](const IoCall &) { return ScriptedBackend::failure_reply(); };
    EXPECT_EQ(1, qxctl_wait_ready(&ch));
    EXPECT_EQ(1000u, dev.calls.size());
    EXPECT_EQ(1000u, out.count(std::string(L86) + L169 + "wait 1\n"));
    EXPECT_EQ(1000u, out.count(L169));
    EXPECT_EQ(1000u, out.count("wait 1\n"));
    EXPECT_EQ(19829u, clock.now_ms());
}

TEST_F(Channel, FailedReadThenReady)
{
    dev.fail();
    EXPECT_EQ(0, qxctl_wait_ready(&ch));
    EXPECT_EQ(2u, dev.calls.size());
    EXPECT_EQ(1u, out.count(L169));
    EXPECT_EQ((std::vector<uint32_t>{2}), clock.sleeps());
}

TEST_F(Channel, WaitReadyAltAlwaysBusy)
{
    dev.fallback = [](const IoCall &) {
        return ScriptedBackend::answer_reply(tlv({item_u8(161, 0)}));
    };
    EXPECT_EQ(1, qxctl_wait_ready_alt(&ch));
    EXPECT_EQ(100u, dev.calls.size());
    for (const auto &c : dev.calls)
        ASSERT_EQ((unsigned)QXREQ_RECV_ALT, c.request());
    EXPECT_EQ(std::vector<uint32_t>(100, 5), clock.sleeps());
    EXPECT_EQ("", out.text());
}

TEST_F(Channel, WaitReadyAltFailsAtFirstFailedRead)
{
    dev.fallback = [](const IoCall &) { return ScriptedBackend::failure_reply(); };
    EXPECT_EQ(1, qxctl_wait_ready_alt(&ch));
    EXPECT_EQ(1u, dev.calls.size());
    EXPECT_EQ(1u, out.count("..\\qxtest\\qxctl:142:ERROR\n"));
    EXPECT_EQ(1u, out.count(L216));
    EXPECT_EQ(0u, out.count("wait 1"));
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(Channel, WaitReadyAltReady)
{
    dev.answer(tlv({item_u8(161, 0)}));
    dev.answer(tlv({item_u8(161, 1)}));
    EXPECT_EQ(0, qxctl_wait_ready_alt(&ch));
    EXPECT_EQ(2u, dev.calls.size());
    EXPECT_EQ((std::vector<uint32_t>{5}), clock.sleeps());
}

TEST_F(Channel, MalformedAnswersStayBounded)
{
    // A bad type code ends the parse of an answer: no tag-161 item seen, so ready.
    dev.answer({161, 9, 0});
    EXPECT_EQ(0, qxctl_wait_ready(&ch));
    EXPECT_EQ(1u, out.count("..\\qxtest\\qxmsg:177:ERROR 0x9\n"));
    // Busy, then a blob whose length points past the answer ends the parse;
    // the next answer is ready.
    dev.answer({161, 2, 0, 18, 5, 250});
    dev.answer({161, 2, 1});
    EXPECT_EQ(0, qxctl_wait_ready(&ch));
}

// A stop asked for during the first call ends each loop there: no pause,
// no further try (the transport refuses calls once a stop is asked for, so
// the lines tell a loop that went on).
TEST_F(Channel, AStopEndsTheRetriesAndTheReadyWaitsAtOnce)
{
    struct Row {
        const char *name;
        bool busy; // answers busy instead of failing
        int (*run)(QxChannel *);
        std::string lines;
    };
    const std::string failed =
        "..\\qxtest\\usbdevs_win:222:ERROR\n..\\qxtest\\usbdevs_win:35:GetLastError() = 0x1f\n";
    static QxMsg msg;
    static uint8_t buf[64] = {0x31, 1};
    const Row rows[] = {
        {"send", false,
         [](QxChannel *c) {
             qxmsg_init(&msg, buf, 64);
             msg.pos = 4;
             return qxctl_send(c, &msg);
         },
         failed + L55 + L62},
        {"ready wait", false, qxctl_wait_ready, failed + L86 + L169 + "wait 1\n"},
        {"ready wait, busy", true, qxctl_wait_ready, ""},
        {"alternate ready wait, busy", true, qxctl_wait_ready_alt,
         "..\\qxtest\\qxctl:142:ERROR\n" + std::string(L216)},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        dev.calls.clear();
        out.clear();
        clock.clear();
        const bool busy = r.busy;
        dev.fallback = [busy](const IoCall &) {
            qx_request_stop();
            return busy ? ScriptedBackend::answer_reply(tlv({item_u8(161, 0)}))
                        : ScriptedBackend::failure_reply();
        };
        EXPECT_EQ(1, r.run(&ch));
        qx_clear_stop();
        EXPECT_EQ(1u, dev.calls.size());
        EXPECT_EQ(r.lines, out.text());
        EXPECT_TRUE(clock.sleeps().empty());
    }
}

// The real pause, outside the virtual clock: never shorter than asked, not
// much longer (loose bounds for a loaded machine), and cut short by a stop
// within one slice.
TEST(QxSleep, RealPauseLastsAsAskedAndAStopEndsIt)
{
    using Clock = std::chrono::steady_clock;
    auto took_ms = [](uint32_t ms) {
        auto t0 = Clock::now();
        qx_sleep_ms(ms);
        return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    };
    // A loaded machine only adds to a pause: the shortest of a few tries is
    // the pause itself, and one that always lasts too long is a fault.
    const int tries = 5;
    for (uint32_t ms : {1u, 75u}) {
        double shortest = 1e9;
        for (int i = 0; i < tries; i++) {
            double t = took_ms(ms);
            EXPECT_GE(t, ms);
            shortest = std::min(shortest, t);
        }
        EXPECT_LT(shortest, ms + 40.0);
    }
    // Stopped 10 ms into a 2 s pause: over within a slice (50 ms), with room
    // for a loaded machine.
    double shortest = 1e9;
    for (int i = 0; i < tries; i++) {
        std::thread stopper([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            qx_request_stop();
        });
        double t = took_ms(2000);
        stopper.join();
        qx_clear_stop();
        EXPECT_GE(t, 10.0);
        EXPECT_LT(t, 2000.0) << "the stop did not end the pause";
        shortest = std::min(shortest, t);
    }
    EXPECT_LT(shortest, 10.0 + 50.0 + 100.0);
    // A pause asked for after the stop does not wait at all.
    shortest = 1e9;
    for (int i = 0; i < tries; i++) {
        qx_request_stop();
        shortest = std::min(shortest, took_ms(2000));
        qx_clear_stop();
    }
    EXPECT_LT(shortest, 20.0);
}

// --- printing ---

TEST(QxCtlPrint, PrintTextStopsAtNulAndCount)
{
    OutputCapture out;
    qxctl_print_text("hello", 3);
    EXPECT_EQ("hel", out.text());
    out.clear();
    qxctl_print_text("ab\0cd", 5);
    EXPECT_EQ("ab", out.text());
    out.clear();
    qxctl_print_text("abc", 0);
    qxctl_print_text("abc", -4);
    qxctl_print_text(nullptr, 3);
    EXPECT_EQ("", out.text());
}

// --- the process-wide hooks ---

// A waiting thread and a test that swaps the sleep and the output sink under
// it: once a swap has returned, the replaced hook is no longer running, so
// its owner may go away at once.
TEST(QxHooks, SwapWaitsForTheReplacedHookToReturn)
{
    struct Hooked {
        std::atomic<int> inside{0};
        static void sleep(void *self, uint32_t)
        {
            auto *h = static_cast<Hooked *>(self);
            h->inside.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            h->inside.fetch_sub(1);
        }
        static void out(void *self, const char *, size_t) { sleep(self, 0); }
    };
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
        while (!stop.load()) {
            qx_sleep_ms(0);
            qx_write("", 0);
        }
    });
    for (int round = 0; round < 200; ++round) {
        Hooked a, b;
        qx_set_sleep(&Hooked::sleep, &a);
        qx_set_output(&Hooked::out, &b);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        qx_set_sleep(nullptr, nullptr);
        qx_set_output(nullptr, nullptr);
        if (a.inside.load() || b.inside.load()) {
            ADD_FAILURE() << "a replaced hook still runs after the swap, round " << round;
            break;
        }
    }
    stop = true;
    waiter.join();
}
