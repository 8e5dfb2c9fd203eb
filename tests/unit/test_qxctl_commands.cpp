// Device commands.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "qxctl.h"
#include "testkit.h"

namespace
{

std::string line(int n)
{
    return "..\\qxtest\\qxctl:" + std::to_string(n) + ":ERROR\n";
}

// An opened channel over a scripted backend; the default fallback answers
// every read with a zero-filled (ready, empty) message and accepts writes.
struct Cmd : ::testing::Test {
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
        dev.calls.clear();
        out.clear();
    }

    // The readiness read and the write of a command.
    void ready_and_sent()
    {
        dev.answer({});
        dev.write_ok();
    }

    // The one request the command wrote.
    std::vector<uint8_t> request() const
    {
        auto w = dev.writes();
        EXPECT_EQ(1u, w.size());
        return w.empty() ? std::vector<uint8_t>{} : w[0].payload();
    }

    std::vector<unsigned> requests() const
    {
        std::vector<unsigned> r;
        for (const auto &c : dev.calls)
            r.push_back(c.request());
        return r;
    }

    void always_answer(const std::vector<uint8_t> &msg)
    {
        dev.fallback = [msg](const IoCall &c) {
            return c.is_write() ? ScriptedBackend::Reply() : ScriptedBackend::answer_reply(msg);
        };
    }
};

} // namespace

// --- the info query ---

TEST_F(Cmd, InfoRequestOnTheWire)
{
    ready_and_sent();
    dev.answer(tlv({item_u16(50, 230)}));
    uint16_t v = 0;
    ASSERT_EQ(0, qxctl_get_version(&ch, &v));
    EXPECT_EQ(230, v);
    EXPECT_EQ((std::vector<uint8_t>{0x31, 0x01, 0x00, 0x00}), request());
    EXPECT_EQ((std::vector<unsigned>{30, 29, 30}), requests());
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_EQ("", out.text());
}

TEST_F(Cmd, VersionAfterDebugText)
{
    ready_and_sent();
    dev.answer(tlv({item_blob(18, "boot ok"), item_u16(50, 0x0102)}));
    uint16_t v = 0;
    ASSERT_EQ(0, qxctl_get_version(&ch, &v));
    EXPECT_EQ(0x0102, v);
    EXPECT_EQ("\ndbg:boot ok\n", out.text());
}

TEST_F(Cmd, DebugTextStopsAtNul)
{
    ready_and_sent();
    dev.answer(tlv({item_blob(18, std::string("ab\0cd", 5)), item_u16(51, 7)}));
    uint16_t v = 0;
    ASSERT_EQ(0, qxctl_get_build(&ch, &v));
    EXPECT_EQ(7, v);
    EXPECT_EQ("\ndbg:ab\n", out.text());
}

TEST_F(Cmd, BuildSkipsOtherItemsAndPollsOn)
{
    ready_and_sent();
    dev.answer(tlv({item_u16(50, 1)}));
    dev.answer(tlv({item_u8(161, 1), item_u16(50, 2), item_u16(51, 0x1234)}));
    uint16_t v = 0;
    ASSERT_EQ(0, qxctl_get_build(&ch, &v));
    EXPECT_EQ(0x1234, v);
    EXPECT_EQ((std::vector<uint32_t>{5}), clock.sleeps());
}

TEST_F(Cmd, ProductCutToCapacity)
{
    ready_and_sent();
    dev.answer(tlv({item_blob(52, "QX-10")}));
    char buf[8];
    memset(buf, '#', sizeof buf);
    unsigned size = 0;
    ASSERT_EQ(0, qxctl_get_product(&ch, buf, 4, &size));
    EXPECT_EQ(4u, size);
    EXPECT_EQ(std::string("QX-1####"), std::string(buf, 8));
}

TEST_F(Cmd, ProductLongestName)
{
    std::string name(61, 'N');
    ready_and_sent();
    dev.answer(tlv({item_blob(52, name)}));
    char buf[64] = {};
    unsigned size = 0;
    ASSERT_EQ(0, qxctl_get_product(&ch, buf, 64, &size));
    EXPECT_EQ(61u, size);
    EXPECT_EQ(name, std::string(buf));
}

TEST_F(Cmd, ProductAsU8PrintsWrongTypeAndRunsOut)
{
    dev.answer({});
    dev.write_ok();
    always_answer(tlv({item_u8(52, 3)}));
    char buf[64] = {};
    unsigned size = 77;
    EXPECT_EQ(1, qxctl_get_product(&ch, buf, 64, &size));
    EXPECT_EQ(77u, size);
    EXPECT_EQ(100u, out.count(line(1539)));
    EXPECT_EQ(1u, out.count(line(1552)));
    EXPECT_EQ(102u, dev.calls.size());
    EXPECT_EQ(std::vector<uint32_t>(100, 5), clock.sleeps());
    // The give-up line comes last.
    EXPECT_EQ(out.text().size() - line(1552).size(), out.text().rfind(line(1552)));
}

TEST_F(Cmd, WrongTypeEndsTheCycle)
{
    ready_and_sent();
    // The U8 item ends this answer's parse: the blob behind it is not taken.
    dev.answer(tlv({item_u8(52, 3), item_blob(52, "QX-20")}));
    dev.answer(tlv({item_blob(52, "QX-10")}));
    char buf[64] = {};
    unsigned size = 0;
    ASSERT_EQ(0, qxctl_get_product(&ch, buf, 64, &size));
    EXPECT_EQ("QX-10", std::string(buf));
    EXPECT_EQ(1u, out.count(line(1539)));
}

TEST_F(Cmd, EmptyProductBlobDoesNotEndThePoll)
{
    ready_and_sent();
    dev.answer(tlv({item_blob(52, "")}));
    dev.answer(tlv({item_blob(52, "QX-20")}));
    char buf[64] = {};
    unsigned size = 99;
    ASSERT_EQ(0, qxctl_get_product(&ch, buf, 64, &size));
    EXPECT_EQ(5u, size);
    EXPECT_EQ("QX-20", std::string(buf));
    EXPECT_EQ((std::vector<uint32_t>{5}), clock.sleeps());
    EXPECT_EQ(4u, dev.calls.size());
}

TEST_F(Cmd, InfoWithoutDestination)
{
    ready_and_sent();
    dev.answer(tlv({item_blob(53, "xyz")}));
    unsigned size = 0;
    ASSERT_EQ(0, qxctl_get_info_53(&ch, nullptr, 64, &size));
    EXPECT_EQ(3u, size);
    ready_and_sent();
    dev.answer(tlv({item_u16(54, 0xBEEF)}));
    uint16_t v = 0;
    ASSERT_EQ(0, qxctl_get_info_54(&ch, &v, 2, &size));
    EXPECT_EQ(0xBEEF, v);
    EXPECT_EQ(2u, size);
}

TEST_F(Cmd, InfoCapacityZeroNeverCopies)
{
    dev.answer({});
    dev.write_ok();
    always_answer(tlv({item_blob(52, "QX-10")}));
    char guard = '#';
    unsigned size = 9;
    EXPECT_EQ(1, qxctl_get_product(&ch, &guard, 0, &size));
    EXPECT_EQ('#', guard);
    EXPECT_EQ(0u, size);
    EXPECT_EQ(1u, out.count(line(1552)));
}

TEST_F(Cmd, InfoTruncatedBlobIsNotRead)
{
    ready_and_sent();
    // Length byte 200 points far past the 64-byte answer.
    dev.answer({52, QXMSG_BLOB, 200, 'Q', 'X'});
    dev.answer(tlv({item_blob(52, "QX")}));
    char buf[64] = {};
    unsigned size = 0;
    ASSERT_EQ(0, qxctl_get_product(&ch, buf, 64, &size));
    EXPECT_EQ(2u, size);
}

TEST_F(Cmd, InfoFailureLines)
{
    uint16_t v;
    // Wait fails: 1000 failed readiness reads.
    dev.fallback = [](const IoCall &) { return ScriptedBackend::failure_reply(); };
    EXPECT_EQ(1, qxctl_get_version(&ch, &v));
    EXPECT_EQ(1u, out.count(line(1505)));
    EXPECT_TRUE(dev.writes().empty());

    // Send fails: ready, then 10 failed writes.
    dev.calls.clear();
    out.clear();
    dev.fallback = [](const IoCall &c) {
        return c.is_write() ? ScriptedBackend::failure_reply() : ScriptedBackend::answer_reply({});
    };
    EXPECT_EQ(1, qxctl_get_version(&ch, &v));
    EXPECT_EQ(1u, out.count(line(62)));
    EXPECT_EQ(1u, out.count(line(1509)));
    EXPECT_EQ(10u, dev.writes().size());

    // Receive fails in the poll.
    dev.calls.clear();
    out.clear();
    dev.fallback = nullptr;
    ready_and_sent();
    dev.fail();
    EXPECT_EQ(1, qxctl_get_version(&ch, &v));
    EXPECT_EQ(1u, out.count(line(86)));
    EXPECT_EQ(1u, out.count(line(1516)));
    EXPECT_EQ(3u, dev.calls.size());
}

// --- setters ---

TEST_F(Cmd, Set23SendsU32)
{
    ready_and_sent();
    ASSERT_EQ(0, qxctl_set_23(&ch, 1000));
    EXPECT_EQ((std::vector<uint8_t>{0x17, 0x04, 0xE8, 0x03, 0x00, 0x00, 0x00, 0x00}), request());
    EXPECT_EQ((std::vector<unsigned>{30, 29}), requests());
}

TEST_F(Cmd, SettersSendLowByte)
{
    struct {
        std::function<int()> run;
        std::vector<uint8_t> wire;
    } cases[] = {
        {[&] { return qxctl_set_19(&ch, 0x1FF); }, {19, 2, 0xFF, 0, 0}},
        {[&] { return qxctl_set_137(&ch, 5); }, {137, 2, 5, 0, 0}},
        {[&] { return qxctl_set_25(&ch, 256); }, {25, 2, 0, 0, 0}},
        {[&] { return qxctl_trigger_162(&ch); }, {162, 1, 0, 0}},
    };
    for (auto &c : cases) {
        dev.calls.clear();
        ASSERT_EQ(0, c.run());
        EXPECT_EQ(c.wire, request());
        EXPECT_EQ(2u, dev.calls.size());
    }
}

TEST_F(Cmd, SetterFailureLines)
{
    struct {
        std::function<int()> run;
        int wait, send;
    } cases[] = {
        {[&] { return qxctl_set_19(&ch, 1); }, 918, 922},
        {[&] { return qxctl_set_137(&ch, 1); }, 960, 964},
        {[&] { return qxctl_set_23(&ch, 1); }, 1002, 1006},
        {[&] { return qxctl_trigger_162(&ch); }, 1159, 1163},
        {[&] { return qxctl_set_25(&ch, 1); }, 1201, 1205},
    };
    for (auto &c : cases) {
        out.clear();
        dev.fallback = [](const IoCall &c) {
            return c.is_write() ? ScriptedBackend::failure_reply()
                                : ScriptedBackend::answer_reply({});
        };
        EXPECT_EQ(1, c.run());
        EXPECT_EQ(1u, out.count(line(c.send)));
        out.clear();
        dev.fallback = [](const IoCall &) { return ScriptedBackend::failure_reply(); };
        EXPECT_EQ(1, c.run());
        EXPECT_EQ(1u, out.count(line(c.wait)));
    }
}

// --- getters ---

TEST_F(Cmd, GettersTakeTheirAnswerTag)
{
    uint32_t v32 = 0;
    uint8_t v8 = 0;
    ready_and_sent();
    dev.answer(tlv({item_u32(23, 1), item_u32(24, 0xA1B2C3D4)}));
    ASSERT_EQ(0, qxctl_get_24(&ch, &v32));
    EXPECT_EQ(0xA1B2C3D4u, v32);
    EXPECT_EQ((std::vector<uint8_t>{24, 1, 0, 0}), request());

    dev.calls.clear();
    ready_and_sent();
    dev.answer(tlv({item_u16(196, 0x1234)}));
    ASSERT_EQ(0, qxctl_get_196(&ch, &v32));
    EXPECT_EQ(0x1234u, v32);

    dev.calls.clear();
    ready_and_sent();
    dev.answer(tlv({item_u8(26, 9)}));
    ASSERT_EQ(0, qxctl_get_26(&ch, &v32));
    EXPECT_EQ(9u, v32);

    dev.calls.clear();
    ready_and_sent();
    dev.answer(tlv({item_u32(27, 0x1FF)}));
    ASSERT_EQ(0, qxctl_get_27(&ch, &v8));
    EXPECT_EQ(0xFF, v8);

    dev.calls.clear();
    ready_and_sent();
    dev.answer(tlv({item_u32(193, 70000)}));
    ASSERT_EQ(0, qxctl_get_193(&ch, &v32));
    EXPECT_EQ(70000u, v32);

    // 20 is answered by 21; a 20 in the answer is not the answer.
    dev.calls.clear();
    ready_and_sent();
    dev.answer(tlv({item_u8(20, 5), item_u8(21, 1)}));
    ASSERT_EQ(0, qxctl_get_20(&ch, &v8));
    EXPECT_EQ(1, v8);
    EXPECT_EQ((std::vector<uint8_t>{20, 1, 0, 0}), request());
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(Cmd, GetterEmptyItemIsZeroBlobIsNoAnswer)
{
    uint32_t v = 99;
    ready_and_sent();
    dev.answer(tlv({item_empty(24)}));
    ASSERT_EQ(0, qxctl_get_24(&ch, &v));
    EXPECT_EQ(0u, v);

    v = 99;
    ready_and_sent();
    dev.answer(tlv({item_blob(24, "\x05\x06"), item_blob(18, "x")}));
    dev.answer(tlv({item_blob(24, ""), item_u8(24, 6)}));
    ASSERT_EQ(0, qxctl_get_24(&ch, &v));
    EXPECT_EQ(6u, v);
    EXPECT_EQ((std::vector<uint32_t>{5}), clock.sleeps());
    EXPECT_EQ("", out.text()); // getters do not print debug text
}

TEST_F(Cmd, GetterPollRunsOutSilently)
{
    dev.answer({});
    dev.write_ok();
    uint32_t v = 42;
    EXPECT_EQ(1, qxctl_get_26(&ch, &v));
    EXPECT_EQ(42u, v);
    EXPECT_EQ(102u, dev.calls.size());
    EXPECT_EQ(std::vector<uint32_t>(100, 5), clock.sleeps());
    EXPECT_EQ("", out.text());
}

TEST_F(Cmd, GetterReceiveFailureLines)
{
    struct {
        std::function<int()> run;
        int recv;
    } cases[] = {
        {[&] {
             uint32_t v;
             return qxctl_get_24(&ch, &v);
         },
         1053},
        {[&] {
             uint32_t v;
             return qxctl_get_196(&ch, &v);
         },
         1112},
        {[&] {
             uint32_t v;
             return qxctl_get_26(&ch, &v);
         },
         1252},
        {[&] {
             uint8_t v;
             return qxctl_get_27(&ch, &v);
         },
         1311},
        {[&] {
             uint32_t v;
             return qxctl_get_193(&ch, &v);
         },
         1371},
        {[&] {
             uint8_t v;
             return qxctl_get_20(&ch, &v);
         },
         1444},
    };
    for (auto &c : cases) {
        out.clear();
        ready_and_sent();
        dev.fail();
        EXPECT_EQ(1, c.run());
        EXPECT_EQ(1u, out.count(line(c.recv))) << c.recv;
    }
}

// A device that never gets ready, or refuses every write: each command that
// reads an answer names its own wait or send line, and reads no answer.
TEST_F(Cmd, AnsweredCommandWaitAndSendLines)
{
    struct {
        const char *name;
        std::function<int()> run;
        int wait, send;
        bool alt;
    } cases[] = {
        {"24",
         [&] {
             uint32_t v;
             return qxctl_get_24(&ch, &v);
         },
         1043, 1047, false},
        {"196",
         [&] {
             uint32_t v;
             return qxctl_get_196(&ch, &v);
         },
         1102, 1106, false},
        {"26",
         [&] {
             uint32_t v;
             return qxctl_get_26(&ch, &v);
         },
         1242, 1246, false},
        {"27",
         [&] {
             uint8_t v;
             return qxctl_get_27(&ch, &v);
         },
         1301, 1305, false},
        {"193",
         [&] {
             uint32_t v;
             return qxctl_get_193(&ch, &v);
         },
         1361, 1365, false},
        {"20",
         [&] {
             uint8_t v;
             return qxctl_get_20(&ch, &v);
         },
         1434, 1438, false},
        {"list",
         [&] {
             QxListEntry e[2];
             unsigned n;
             return qxctl_list_113(&ch, e, 2, &n);
         },
         1758, 1762, false},
        {"get_value",
         [&] {
             int16_t v;
             return qxctl_get_value(&ch, 1, 2, &v);
         },
         1892, 1896, false},
        {"blob_28",
         [&] {
             char b[8];
             unsigned n;
             return qxctl_get_blob_28(&ch, b, 8, &n);
         },
         1961, 1965, false},
        {"product",
         [&] {
             char b[8];
             unsigned n;
             return qxctl_get_product(&ch, b, 8, &n);
         },
         1505, 1509, false},
        {"version_alt",
         [&] {
             int16_t v;
             return qxctl_get_version_alt(&ch, &v);
         },
         1611, 1615, true},
        {"build_alt",
         [&] {
             int16_t v;
             return qxctl_get_build_alt(&ch, &v);
         },
         1684, 1688, true},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        const unsigned recv = c.alt ? QXREQ_RECV_ALT : QXREQ_RECV;
        const unsigned send = c.alt ? QXREQ_SEND_ALT : QXREQ_SEND;

        dev.calls.clear();
        out.clear();
        dev.fallback = [](const IoCall &c) {
            return c.is_write() ? ScriptedBackend::failure_reply()
                                : ScriptedBackend::answer_reply({});
        };
        EXPECT_EQ(1, c.run());
        EXPECT_EQ(1u, out.count(line(c.send)));
        EXPECT_EQ(1u, out.count(c.alt ? line(118) : line(62)));
        // The ready read, ten tries, and no answer read after them.
        ASSERT_EQ(11u, dev.calls.size());
        EXPECT_EQ(recv, dev.calls[0].request());
        for (size_t i = 1; i < dev.calls.size(); i++)
            EXPECT_EQ(send, dev.calls[i].request());

        dev.calls.clear();
        out.clear();
        dev.fallback = [](const IoCall &) { return ScriptedBackend::failure_reply(); };
        EXPECT_EQ(1, c.run());
        EXPECT_EQ(1u, out.count(line(c.wait)));
        EXPECT_TRUE(dev.writes().empty());
        // The alternate wait gives up at its first failed read.
        EXPECT_EQ(c.alt ? 1u : 1000u, dev.calls.size());
        EXPECT_EQ(out.text().size() - line(c.wait).size(), out.text().rfind(line(c.wait)));
    }
}

// --- addressed read ---

TEST_F(Cmd, GetValueIgnoresOtherAddress)
{
    ready_and_sent();
    dev.answer(tlv({item_u8(97, 3), item_u8(98, 2), item_u16(178, 0x7777)}));
    dev.answer(tlv({item_u8(97, 3), item_u8(98, 1), item_u16(178, 0x0010)}));
    int16_t v = 0;
    ASSERT_EQ(0, qxctl_get_value(&ch, 3, 1, &v));
    EXPECT_EQ(16, v);
    EXPECT_EQ((std::vector<uint8_t>{97, 2, 3, 98, 2, 1, 177, 1, 0, 0}), request());
    EXPECT_EQ((std::vector<uint32_t>{5}), clock.sleeps());
}

TEST_F(Cmd, GetValueAddressCarriesOverAnswers)
{
    ready_and_sent();
    dev.answer(tlv({item_u8(97, 3)}));
    dev.answer(tlv({item_u8(98, 1)}));
    dev.answer(tlv({item_u16(178, 0xFFFE)}));
    int16_t v = 0;
    ASSERT_EQ(0, qxctl_get_value(&ch, 3, 1, &v));
    EXPECT_EQ(-2, v);
}

TEST_F(Cmd, GetValueTrackedAddressStartsAtZero)
{
    ready_and_sent();
    dev.answer(tlv({item_u16(178, 5)}));
    int16_t v = 0;
    ASSERT_EQ(0, qxctl_get_value(&ch, 0, 0, &v));
    EXPECT_EQ(5, v);
}

TEST_F(Cmd, GetValueFailures)
{
    int16_t v = 0;
    dev.answer({});
    dev.write_ok();
    EXPECT_EQ(1, qxctl_get_value(&ch, 1, 1, &v));
    EXPECT_EQ("", out.text());
    EXPECT_EQ(102u, dev.calls.size());

    ready_and_sent();
    dev.fail();
    EXPECT_EQ(1, qxctl_get_value(&ch, 1, 1, &v));
    EXPECT_EQ(1u, out.count(line(1902)));
}

// --- list ---

TEST_F(Cmd, ListSpreadOverAnswersCountsBeyondCapacity)
{
    auto entry = [](unsigned a, unsigned s, unsigned v) {
        return tlv({item_u8(97, a), item_u8(98, s), item_u16(114, v)});
    };
    ready_and_sent();
    dev.answer(tlv({entry(1, 1, 10), entry(2, 2, 20)}));
    dev.answer(tlv({item_u8(161, 1)}));
    dev.answer(tlv({entry(3, 3, 30), entry(4, 4, 40), entry(5, 5, 50)}));
    QxListEntry e[5];
    memset(e, 0x5A, sizeof e);
    unsigned count = 0;
    ASSERT_EQ(0, qxctl_list_113(&ch, e, 4, &count));
    EXPECT_EQ(5u, count);
    for (unsigned i = 0; i < 4; i++) {
        EXPECT_EQ(i + 1, e[i].addr);
        EXPECT_EQ(i + 1, e[i].subaddr);
        EXPECT_EQ((int16_t)(10 * (i + 1)), e[i].value);
    }
    EXPECT_EQ(0x5A5A5A5Au, e[4].addr); // beyond the capacity: untouched
    EXPECT_EQ((std::vector<uint8_t>{113, 1, 0, 0}), request());
    EXPECT_EQ(5u, dev.calls.size());
    EXPECT_EQ((std::vector<uint32_t>{5}), clock.sleeps());
}

TEST_F(Cmd, ListEntryMayStraddleAnswers)
{
    ready_and_sent();
    dev.answer(tlv({item_u32(97, 70000), item_u8(98, 2)}));
    dev.answer(tlv({item_u16(114, 0x8000)}));
    QxListEntry e[1] = {};
    unsigned count = 0;
    ASSERT_EQ(0, qxctl_list_113(&ch, e, 1, &count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(70000u, e[0].addr);
    EXPECT_EQ(2, e[0].subaddr);
    EXPECT_EQ(-32768, e[0].value);
}

TEST_F(Cmd, ListCapacityZeroSendsButReadsNothing)
{
    ready_and_sent();
    unsigned count = 9;
    ASSERT_EQ(0, qxctl_list_113(&ch, nullptr, 0, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(2u, dev.calls.size());
    EXPECT_EQ(1u, dev.writes().size());
}

TEST_F(Cmd, ListRunsOutAfterHundredEmptyAnswers)
{
    dev.answer({});
    dev.write_ok();
    QxListEntry e[2];
    unsigned count = 9;
    EXPECT_EQ(1, qxctl_list_113(&ch, e, 2, &count));
    EXPECT_EQ(9u, count);
    EXPECT_EQ(1u, out.count(line(1801)));
    EXPECT_EQ(102u, dev.calls.size());
    EXPECT_EQ(std::vector<uint32_t>(100, 5), clock.sleeps());
}

TEST_F(Cmd, ListBudgetIsFreshAfterEachEntry)
{
    ready_and_sent();
    for (int i = 0; i < 99; i++)
        dev.answer({});
    dev.answer(tlv({item_u8(97, 1), item_u8(98, 1), item_u8(114, 1)}));
    for (int i = 0; i < 99; i++)
        dev.answer({});
    dev.answer(tlv({item_u8(97, 2), item_u8(98, 2), item_u8(114, 2)}));
    QxListEntry e[2];
    unsigned count = 0;
    ASSERT_EQ(0, qxctl_list_113(&ch, e, 2, &count));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(198u, clock.sleeps().size());
}

TEST_F(Cmd, ListReceiveFailure)
{
    ready_and_sent();
    dev.answer(tlv({item_u8(97, 1), item_u8(98, 1), item_u8(114, 1)}));
    dev.fail();
    QxListEntry e[4];
    unsigned count = 0;
    EXPECT_EQ(1, qxctl_list_113(&ch, e, 4, &count));
    EXPECT_EQ(1u, out.count(line(1774)));
}

// --- blob 28 ---

TEST_F(Cmd, Blob28TooBigCopiesNothing)
{
    ready_and_sent();
    dev.answer(tlv({item_blob(28, "0123456789")}));
    char buf[8];
    memset(buf, '#', sizeof buf);
    unsigned size = 0;
    ASSERT_EQ(0, qxctl_get_blob_28(&ch, buf, 8, &size));
    EXPECT_EQ(10u, size);
    EXPECT_EQ(std::string(8, '#'), std::string(buf, 8));
    EXPECT_EQ((std::vector<uint8_t>{28, 1, 0, 0}), request());
}

TEST_F(Cmd, Blob28FitsAndWrongTypeGoesOn)
{
    ready_and_sent();
    dev.answer(tlv({item_u8(28, 1), item_blob(28, "abc")}));
    char buf[8] = {};
    unsigned size = 0;
    ASSERT_EQ(0, qxctl_get_blob_28(&ch, buf, 8, &size));
    EXPECT_EQ(3u, size);
    EXPECT_EQ("abc", std::string(buf));
    EXPECT_EQ(line(1981), out.text());
}

TEST_F(Cmd, Blob28RunsOutSilentlyAndReceiveFailure)
{
    dev.answer({});
    dev.write_ok();
    unsigned size = 0;
    EXPECT_EQ(1, qxctl_get_blob_28(&ch, nullptr, 0, &size));
    EXPECT_EQ("", out.text());
    ready_and_sent();
    dev.fail();
    EXPECT_EQ(1, qxctl_get_blob_28(&ch, nullptr, 0, &size));
    EXPECT_EQ(1u, out.count(line(1971)));
}

// --- debug text and status ---

TEST_F(Cmd, ReadDebugTextLastOneWins)
{
    dev.answer(tlv({item_blob(18, "first"), item_u8(5, 1), item_blob(18, "second!")}));
    char buf[4];
    memset(buf, '#', sizeof buf);
    unsigned size = 0;
    ASSERT_EQ(0, qxctl_read_debug_text(&ch, buf, 4, &size));
    EXPECT_EQ(4u, size);
    EXPECT_EQ("seco", std::string(buf, 4));
    ASSERT_EQ(1u, dev.calls.size());
    EXPECT_EQ((unsigned)QXREQ_RECV, dev.calls[0].request());
    EXPECT_TRUE(dev.writes().empty());
    EXPECT_EQ("", out.text());
}

TEST_F(Cmd, ReadDebugTextNoneLeavesSize)
{
    dev.answer(tlv({item_u8(5, 1), item_empty(0), item_blob(18, "hidden")}));
    char buf[63] = {};
    unsigned size = 0;
    ASSERT_EQ(0, qxctl_read_debug_text(&ch, buf, 63, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(0, buf[0]);

    dev.fail();
    EXPECT_EQ(1, qxctl_read_debug_text(&ch, buf, 63, &size));
    EXPECT_EQ(1u, out.count(line(856)));
}

TEST_F(Cmd, ReadStatus)
{
    ScriptedBackend::Reply r;
    r.out = {0xC8};
    dev.script.push_back(r);
    uint32_t status = 0;
    ASSERT_EQ(0, qxctl_read_status(&ch, &status));
    EXPECT_EQ(0xC8u, status);
    ASSERT_EQ(1u, dev.calls.size());
    EXPECT_EQ((unsigned)QXREQ_STATUS, dev.calls[0].request());
    EXPECT_EQ(1u, dev.calls[0].out_size);
    EXPECT_FALSE(dev.calls[0].is_write());

    dev.fail();
    EXPECT_EQ(1, qxctl_read_status(&ch, &status));
    EXPECT_EQ(1u, out.count(line(2613)));
    EXPECT_EQ(2u, dev.calls.size());
    EXPECT_TRUE(clock.sleeps().empty());
}

// --- version and build on the alternate pair ---

TEST_F(Cmd, VersionAltTakesOnlyU16)
{
    ready_and_sent();
    dev.answer(tlv({item_u8(50, 9), item_blob(18, "hi"), item_u16(50, 0x0203)}));
    int16_t v = 0;
    ASSERT_EQ(0, qxctl_get_version_alt(&ch, &v));
    EXPECT_EQ(0x0203, v);
    EXPECT_EQ((std::vector<unsigned>{46, 45, 46}), requests());
    EXPECT_EQ((std::vector<uint8_t>{0x31, 0x01, 0x00, 0x00}), request());
    EXPECT_EQ("\ndbg:hi\n", out.text());
}

TEST_F(Cmd, BuildAltTakesAnyType)
{
    ready_and_sent();
    dev.answer(tlv({item_empty(51), item_u8(51, 99)}));
    dev.answer(tlv({item_u8(51, 42)}));
    int16_t v = 0;
    ASSERT_EQ(0, qxctl_get_build_alt(&ch, &v));
    EXPECT_EQ(42, v);
    EXPECT_EQ((std::vector<uint32_t>{5}), clock.sleeps());
}

TEST_F(Cmd, AltQueriesRunOut)
{
    dev.answer({});
    dev.write_ok();
    int16_t v = 0;
    EXPECT_EQ(1, qxctl_get_version_alt(&ch, &v));
    EXPECT_EQ(1u, out.count(line(1646)));
    EXPECT_EQ(102u, dev.calls.size());
    out.clear();
    dev.answer({});
    dev.write_ok();
    EXPECT_EQ(1, qxctl_get_build_alt(&ch, &v));
    EXPECT_EQ(1u, out.count(line(1719)));
}

TEST_F(Cmd, AltWaitFailsAtFirstFailedRead)
{
    dev.fail();
    int16_t v = 0;
    EXPECT_EQ(1, qxctl_get_version_alt(&ch, &v));
    EXPECT_EQ(1u, out.count(line(216)));
    EXPECT_EQ(1u, out.count(line(1611)));
    EXPECT_EQ(1u, dev.calls.size());
    // A failed answer read ends either query at once, with its own line.
    for (bool version : {true, false}) {
        SCOPED_TRACE(version ? "version" : "build");
        ready_and_sent();
        dev.fail();
        dev.calls.clear();
        out.clear();
        EXPECT_EQ(1, version ? qxctl_get_version_alt(&ch, &v) : qxctl_get_build_alt(&ch, &v));
        std::string tail = line(142) + line(version ? 1622 : 1695);
        EXPECT_EQ(out.text().size() - tail.size(), out.text().rfind(tail)) << out.text();
        EXPECT_EQ((std::vector<unsigned>{46, 45, 46}), requests());
    }
}

// --- addressed requests and builders ---

TEST_F(Cmd, AddressedCommandsOnTheWire)
{
    struct {
        std::function<int()> run;
        std::vector<uint8_t> wire;
    } cases[] = {
        {[&] { return qxctl_set_129(&ch, 1, 2, 3); }, {97, 2, 1, 98, 2, 2, 129, 2, 3, 0, 0}},
        {[&] { return qxctl_set_130(&ch, 1, 2, 3); }, {97, 2, 1, 98, 2, 2, 130, 2, 3, 0, 0}},
        {[&] { return qxctl_set_131(&ch, 1, 2, 3); }, {97, 2, 1, 98, 2, 2, 131, 2, 3, 0, 0}},
        {[&] { return qxctl_set_132(&ch, 1, 2, 3); }, {97, 2, 1, 98, 2, 2, 132, 2, 3, 0, 0}},
        {[&] { return qxctl_set_133(&ch, 0x101, 2, 3); }, {97, 2, 1, 98, 2, 2, 133, 2, 3, 0, 0}},
        {[&] { return qxctl_set_addressed(&ch, 4, 5, 7, 6); }, {97, 2, 4, 98, 2, 5, 7, 2, 6, 0, 0}},
        {[&] { return qxctl_cmd_67(&ch, 1, 2, 3, 4); },
         {97, 2, 1, 98, 2, 2, 65, 1, 97, 2, 3, 98, 2, 4, 66, 1, 67, 1, 0, 0}},
        {[&] { return qxctl_cmd_85(&ch, 1, 2, 9, 3, 4, 5, 6); },
         {97, 2, 1, 98, 2, 2, 81, 2, 3, 82, 2, 4, 83, 2, 5, 84, 2, 6, 85, 2, 9, 0, 0}},
        {[&] { return qxctl_cmd_151(&ch, 1, 2, 9, 3, 4, 5, 6, 7, 8); },
         {97,  2, 1, 98,  2, 2, 145, 2, 3, 146, 2, 4, 147, 2, 5,
          148, 2, 6, 149, 2, 7, 150, 2, 8, 151, 2, 9, 0,   0}},
    };
    for (auto &c : cases) {
        dev.calls.clear();
        ASSERT_EQ(0, c.run());
        EXPECT_EQ(c.wire, request());
        EXPECT_EQ(2u, dev.calls.size()); // no answer read
    }
    EXPECT_EQ("", out.text());
}

TEST_F(Cmd, AddressedCommandFailureLines)
{
    struct {
        std::function<int()> run;
        int wait, send;
    } cases[] = {
        {[&] { return qxctl_set_131(&ch, 1, 2, 3); }, 2798, 2802},
        {[&] { return qxctl_cmd_67(&ch, 1, 2, 3, 4); }, 2111, 2115},
        {[&] { return qxctl_cmd_85(&ch, 1, 2, 3, 4, 5, 6, 7); }, 2336, 2340},
        {[&] { return qxctl_cmd_151(&ch, 1, 2, 3, 4, 5, 6, 7, 8, 9); }, 2474, 2478},
    };
    for (auto &c : cases) {
        out.clear();
        dev.fallback = [](const IoCall &c) {
            return c.is_write() ? ScriptedBackend::failure_reply()
                                : ScriptedBackend::answer_reply({});
        };
        EXPECT_EQ(1, c.run());
        EXPECT_EQ(1u, out.count(line(c.send)));
        out.clear();
        dev.fallback = [](const IoCall &) { return ScriptedBackend::failure_reply(); };
        EXPECT_EQ(1, c.run());
        EXPECT_EQ(1u, out.count(line(c.wait)));
    }
}

TEST(QxCtlBuild, BuildersAppendTheirItems)
{
    struct {
        std::function<int(QxMsg *)> run;
        std::vector<uint8_t> wire;
    } cases[] = {
        {[](QxMsg *m) { return qxctl_build_cmd_70(m, 1, 2, 3, 4, 5, 6); },
         {97, 2, 1, 98, 2, 2, 65, 1, 97, 2, 3, 98, 2, 4, 66, 1, 68, 2, 5, 69, 2, 6, 70, 1}},
        {[](QxMsg *m) { return qxctl_build_cmd_213(m, 1, 2, 3, 4); },
         {209, 2, 1, 210, 2, 2, 211, 2, 3, 212, 2, 4, 213, 1}},
        {[](QxMsg *m) { return qxctl_build_cmd_76(m, 1, 2, 3); },
         {73, 2, 1, 74, 2, 2, 75, 2, 3, 76, 1}},
        {[](QxMsg *m) { return qxctl_build_cmd_72(m, 1, 2); }, {71, 2, 2, 72, 2, 1}},
        {[](QxMsg *m) { return qxctl_build_cmd_139(m, 1, 2, 3, 4); },
         {97, 2, 1, 98, 2, 2, 140, 2, 4, 139, 2, 3}},
        {[](QxMsg *m) { return qxctl_build_get_value(m, 0x1FF, 2); },
         {97, 2, 0xFF, 98, 2, 2, 177, 1}},
    };
    for (auto &c : cases) {
        uint8_t buf[64] = {};
        QxMsg m;
        qxmsg_init(&m, buf, 64);
        m.pos = 3; // appends behind what is there
        ASSERT_EQ(0, c.run(&m));
        EXPECT_EQ(c.wire.size() + 3, m.pos);
        EXPECT_EQ(c.wire, std::vector<uint8_t>(buf + 3, buf + m.pos));
    }
    for (auto &c : cases)
        EXPECT_EQ(1, c.run(nullptr));
}

// Every item of every builder: when it does not fit, the builder prints its
// own line, leaves pos where it was and writes nothing outside the message.
TEST(QxCtlBuild, FailingItemRestoresPos)
{
    struct Builder {
        const char *name;
        std::function<int(QxMsg *)> run;
        std::vector<unsigned> sizes; // item sizes: 3 for a value, 2 for a marker
        std::vector<int> lines;
    } builders[] = {
        {"get_value",
         [](QxMsg *m) { return qxctl_build_get_value(m, 1, 2); },
         {3, 3, 2},
         {1832, 1841, 1850}},
        {"67",
         [](QxMsg *m) { return qxctl_build_cmd_67(m, 1, 2, 3, 4); },
         {3, 3, 2, 3, 3, 2, 2},
         {2019, 2028, 2037, 2047, 2056, 2065, 2074}},
        {"70",
         [](QxMsg *m) { return qxctl_build_cmd_70(m, 1, 2, 3, 4, 5, 6); },
         {3, 3, 2, 3, 3, 2, 3, 3, 2},
         {2142, 2151, 2160, 2170, 2179, 2188, 2197, 2206, 2215}},
        {"85",
         [](QxMsg *m) { return qxctl_build_cmd_85(m, 1, 2, 3, 4, 5, 6, 7); },
         {3, 3, 3, 3, 3, 3, 3},
         {2246, 2255, 2264, 2273, 2282, 2291, 2300}},
        {"151",
         [](QxMsg *m) { return qxctl_build_cmd_151(m, 1, 2, 3, 4, 5, 6, 7, 8, 9); },
         {3, 3, 3, 3, 3, 3, 3, 3, 3},
         {2367, 2376, 2385, 2394, 2403, 2412, 2421, 2430, 2439}},
        {"213",
         [](QxMsg *m) { return qxctl_build_cmd_213(m, 1, 2, 3, 4); },
         {3, 3, 3, 3, 2},
         {2505, 2514, 2522, 2530, 2538}},
        {"76",
         [](QxMsg *m) { return qxctl_build_cmd_76(m, 1, 2, 3); },
         {3, 3, 3, 2},
         {2569, 2578, 2586, 2594}},
        {"72", [](QxMsg *m) { return qxctl_build_cmd_72(m, 1, 2); }, {3, 3}, {2642, 2650}},
        {"139",
         [](QxMsg *m) { return qxctl_build_cmd_139(m, 1, 2, 3, 4); },
         {3, 3, 3, 3},
         {2682, 2691, 2700, 2709}},
        {"addressed",
         [](QxMsg *m) { return qxctl_build_addressed(m, 1, 2, 131, 4); },
         {3, 3, 3},
         {2743, 2752, 2761}},
    };
    const unsigned start = 5;
    for (auto &b : builders) {
        ASSERT_EQ(b.sizes.size(), b.lines.size());
        unsigned before = start;
        for (size_t i = 0; i < b.sizes.size(); i++) {
            OutputCapture out;
            // Room for the items before i and one byte short for item i.
            unsigned cap = before + b.sizes[i] - 1;
            std::vector<uint8_t> buf(cap + 8, 0xEE);
            QxMsg m;
            qxmsg_init(&m, buf.data(), (uint8_t)cap);
            m.pos = start;
            EXPECT_EQ(1, b.run(&m)) << b.name << " item " << i;
            EXPECT_EQ(start, m.pos) << b.name << " item " << i;
            EXPECT_TRUE(out.contains(line(b.lines[i]))) << b.name << " item " << i << out.text();
            EXPECT_EQ(1u, out.count("qxctl:")) << b.name << " item " << i;
            for (size_t k = cap; k < buf.size(); k++)
                ASSERT_EQ(0xEE, buf[k]) << b.name << " item " << i;
            before += b.sizes[i];
        }
        // With exactly enough room it fits.
        std::vector<uint8_t> buf(before, 0);
        QxMsg m;
        qxmsg_init(&m, buf.data(), (uint8_t)before);
        m.pos = start;
        EXPECT_EQ(0, b.run(&m)) << b.name;
        EXPECT_EQ(before, m.pos) << b.name;
    }
}

TEST(QxCtlBuild, FifthItemDoesNotFit)
{
    OutputCapture out;
    uint8_t buf[32] = {};
    QxMsg m;
    // 2 bytes used, then room for four 3-byte items and 2 bytes more.
    qxmsg_init(&m, buf, 2 + 12 + 2);
    m.pos = 2;
    EXPECT_EQ(1, qxctl_build_cmd_85(&m, 1, 2, 3, 4, 5, 6, 7));
    EXPECT_EQ(2, m.pos);
    EXPECT_EQ("..\\qxtest\\qxmsg:84:ERROR\n" + line(2282), out.text());
}

// --- no channel ---

TEST(QxCtlNoChannel, CommandsFailWithoutIo)
{
    ScriptedBackend dev;
    VirtualClock clock;
    QxChannel none = nullptr;
    uint16_t u16;
    int16_t i16;
    uint32_t u32;
    uint8_t u8;
    char buf[8];
    unsigned size;
    QxListEntry e[2];
    for (QxChannel *ch : {(QxChannel *)nullptr, &none}) {
        EXPECT_EQ(1, qxctl_get_version(ch, &u16));
        EXPECT_EQ(1, qxctl_get_product(ch, buf, 8, &size));
        EXPECT_EQ(1, qxctl_set_19(ch, 1));
        EXPECT_EQ(1, qxctl_set_23(ch, 1));
        EXPECT_EQ(1, qxctl_trigger_162(ch));
        EXPECT_EQ(1, qxctl_get_24(ch, &u32));
        EXPECT_EQ(1, qxctl_get_20(ch, &u8));
        EXPECT_EQ(1, qxctl_set_131(ch, 1, 2, 3));
        EXPECT_EQ(1, qxctl_cmd_67(ch, 1, 2, 3, 4));
        EXPECT_EQ(1, qxctl_cmd_85(ch, 1, 2, 3, 4, 5, 6, 7));
        EXPECT_EQ(1, qxctl_cmd_151(ch, 1, 2, 3, 4, 5, 6, 7, 8, 9));
        EXPECT_EQ(1, qxctl_get_value(ch, 1, 2, &i16));
        EXPECT_EQ(1, qxctl_list_113(ch, e, 2, &size));
        EXPECT_EQ(1, qxctl_get_blob_28(ch, buf, 8, &size));
        EXPECT_EQ(1, qxctl_read_debug_text(ch, buf, 8, &size));
        EXPECT_EQ(1, qxctl_read_status(ch, &u32));
        EXPECT_EQ(1, qxctl_get_version_alt(ch, &i16));
        EXPECT_EQ(1, qxctl_get_build_alt(ch, &i16));
    }
    EXPECT_TRUE(dev.calls.empty());
    EXPECT_TRUE(clock.sleeps().empty());
}

// --- untrusted answers ---

// Random answer bytes never make a command read or write outside its
// buffers (run under the sanitizers) nor wait beyond its bounds.
TEST_F(Cmd, ArbitraryAnswersStayBounded)
{
    uint32_t state = 777;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return (uint8_t)(state >> 24);
    };
    dev.fallback = [&](const IoCall &c) {
        if (c.is_write())
            return ScriptedBackend::Reply();
        std::vector<uint8_t> a(64);
        for (auto &b : a) {
            b = next();
        }
        // Bias towards valid types and the tags the commands look for.
        static const uint8_t tags[] = {18, 28, 50, 51, 52, 97, 98, 114, 161, 178, 21, 24};
        for (size_t i = 0; i + 1 < a.size(); i += 3) {
            a[i] = tags[a[i] % sizeof tags];
            a[i + 1] %= 6;
        }
        return ScriptedBackend::answer_reply(a);
    };
    for (int round = 0; round < 30; round++) {
        uint64_t start = clock.now_ms();
        char small[3];
        unsigned size = 0;
        uint16_t u16;
        int16_t i16;
        uint32_t u32;
        QxListEntry e[1];
        qxctl_get_product(&ch, small, sizeof small, &size);
        EXPECT_LE(size, sizeof small);
        qxctl_get_version(&ch, &u16);
        qxctl_get_blob_28(&ch, small, sizeof small, &size);
        size = 0;
        qxctl_read_debug_text(&ch, small, sizeof small, &size);
        EXPECT_LE(size, sizeof small);
        qxctl_get_value(&ch, 1, 1, &i16);
        qxctl_list_113(&ch, e, 1, &size);
        qxctl_get_24(&ch, &u32);
        qxctl_get_build_alt(&ch, &i16);
        // Each command: at most 1000 readiness waits and 100 poll cycles.
        EXPECT_LE(clock.now_ms() - start, 8u * (19829u + 500u));
    }
}
