// Firmware transfer and checksum query against a small fake device that
// takes chunks at its offset and answers every read with room and offset.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "qxctl.h"
#include "qxsys.h"
#include "testkit.h"

namespace
{

typedef std::vector<uint8_t> Bytes;
typedef std::pair<unsigned, unsigned> Chunk; // tag, payload length

std::string err(int line)
{
    return "..\\qxtest\\qxctl:" + std::to_string(line) + ":ERROR\n";
}

Bytes make_image(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = (uint8_t)(i * 7 + 3);
    return b;
}

uint32_t u32_at(const Bytes &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}

bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<uint32_t> repeat(uint32_t ms, size_t n)
{
    return std::vector<uint32_t>(n, ms);
}

// The record a failed operation leaves on the channel.
void expect_failure(const QxCtl &ctl, int op, int how, int line, uint32_t error, uint32_t position,
                    uint32_t length)
{
    QxFailure f;
    ASSERT_EQ(0, qxctl_last_failure(&ctl, &f));
    EXPECT_EQ(op, f.op);
    EXPECT_EQ(how, f.how);
    // A poll that runs out silently prints no line.
    EXPECT_STREQ(line ? "..\\qxtest\\qxctl" : nullptr, f.source);
    EXPECT_EQ(line, f.line);
    EXPECT_EQ(error, f.error);
    EXPECT_EQ(position, f.position);
    EXPECT_EQ(length, f.length);
    EXPECT_EQ(0u, f.attempts); // the retrying caller's to fill
}

// The device's side of the transfer: BEGIN resets it, chunks are stored at
// its offset, and each read answers room (while bytes are missing) and the
// offset. Faults are keyed to the number of messages it has accepted.
class FakeDevice
{
  public:
    FakeDevice()
    {
        backend.fallback = [this](const IoCall &c) { return handle(c); };
    }

    ScriptedBackend backend;
    bool alt = false;
    uint32_t room = 256;
    // Replaces the status answer; nth counts the reads since the last status
    // query (the poll reads first, then the ready wait of the next request).
    std::function<Bytes(unsigned nth)> answer;
    QxProgress *progress = nullptr;

    int fail_writes_after = -1; // every write fails once this many were accepted
    int busy_after = -1;        // answers say "busy" once this many were accepted
    int fail_read_after = -1;   // the first read after this many accepted fails

    uint32_t length = 0;
    uint32_t taken = 0;
    Bytes stored;
    std::vector<Bytes> sent;
    std::vector<Chunk> chunks;
    std::vector<int32_t> progress_at_chunk;
    std::vector<int32_t> progress_at_status;
    unsigned status_queries = 0;
    unsigned reads = 0;
    bool wrong_pair = false;

    Bytes status_items() const
    {
        return tlv({item_u32(QXTAG_FWUP_ROOM, taken < length ? room : 0),
                    item_u32(QXTAG_FWUP_OFFSET, taken)});
    }

  private:
    unsigned reads_since_status_ = 0;
    bool read_failed_ = false;

    ScriptedBackend::Reply handle(const IoCall &c)
    {
        ScriptedBackend::Reply r;
        unsigned want = c.is_write() ? (alt ? QXREQ_SEND_ALT : QXREQ_SEND)
                                     : (alt ? QXREQ_RECV_ALT : QXREQ_RECV);
        if (c.request() != want)
            wrong_pair = true;
        int accepted = (int)sent.size();
        if (c.is_write()) {
            if (fail_writes_after >= 0 && accepted >= fail_writes_after) {
                r.result = USBDEVS_ERR_CALL;
                r.error = USBDEVS_ERROR_GEN_FAILURE;
                return r;
            }
            take(c.payload());
            return r;
        }
        ++reads;
        if (fail_read_after == accepted && !read_failed_) {
            read_failed_ = true;
            r.result = USBDEVS_ERR_CALL;
            r.error = USBDEVS_ERROR_DEVICE_NOT_CONNECTED;
            return r;
        }
        Bytes msg = answer ? answer(++reads_since_status_) : status_items();
        if (busy_after >= 0 && accepted >= busy_after)
            msg.insert(msg.begin(), {QXTAG_READY, QXMSG_U8, 0});
        msg.resize(64, 0);
        r.out = msg;
        return r;
    }

    void take(const Bytes &p)
    {
        sent.push_back(p);
        switch (p.at(0)) {
        case QXTAG_FWUP_BEGIN:
            length = u32_at(p, 2);
            taken = 0;
            stored.clear();
            break;
        case QXTAG_FWUP_STATUS:
            ++status_queries;
            reads_since_status_ = 0;
            if (progress)
                progress_at_status.push_back(progress->load());
            break;
        case QXTAG_FWUP_DATA:
        case QXTAG_FWUP_DATA_LAST: {
            unsigned n = p.at(2);
            chunks.push_back({p[0], n});
            if (progress)
                progress_at_chunk.push_back(progress->load());
            stored.insert(stored.end(), p.begin() + 3, p.begin() + 3 + n);
            taken += n;
            break;
        }
        default:
            break;
        }
    }
};

class Fwup : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        qxctl_clear(&ctl);
        qxctl_init(&ctl);
        ASSERT_EQ(0, qxctl_open(&ctl, &ch));
    }

    int update(const Bytes &image, QxProgress *progress = nullptr)
    {
        dev.progress = progress;
        const uint8_t *data = image.empty() ? nullptr : image.data();
        return dev.alt ? qxctl_update_firmware_alt(&ch, data, (uint32_t)image.size(), progress)
                       : qxctl_update_firmware(&ch, data, (uint32_t)image.size(), progress);
    }

    VirtualClock clock;
    OutputCapture out;
    FakeDevice dev;
    QxCtl ctl = {};
    QxChannel ch = nullptr;
};

const Chunk D61 = {QXTAG_FWUP_DATA, 61};
Chunk last(unsigned n)
{
    return {QXTAG_FWUP_DATA_LAST, n};
}

TEST_F(Fwup, MessagesOfAThousandByteImage)
{
    Bytes image = make_image(1000);
    ASSERT_EQ(0, update(image));

    ASSERT_GE(dev.sent.size(), 8u);
    EXPECT_EQ(Bytes({0x21, 0x04, 0xE8, 0x03, 0x00, 0x00, 0x00, 0x00}), dev.sent[0]);
    EXPECT_EQ(Bytes({0x22, 0x01, 0x00, 0x00}), dev.sent[1]);

    Bytes full = {0x25, 0x05, 0x3D};
    full.insert(full.end(), image.begin(), image.begin() + 61);
    EXPECT_EQ(full, dev.sent[2]); // 64 bytes, no end marker

    Bytes last12 = {0x26, 0x05, 0x0C};
    last12.insert(last12.end(), image.begin() + 244, image.begin() + 256);
    last12.insert(last12.end(), {0x00, 0x00});
    EXPECT_EQ(last12, dev.sent[6]);
    EXPECT_EQ(Bytes({0x22, 0x01, 0x00, 0x00}), dev.sent[7]);

    EXPECT_EQ(image, dev.stored);
    EXPECT_EQ("287:pos = 0/1000\n"
              "287:pos = 256/1000\n"
              "287:pos = 512/1000\n"
              "287:pos = 768/1000\n"
              "418:pos = 1000/1000\n"
              "FWUP OK\n",
              out.text());
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_FALSE(dev.wrong_pair);
}

struct BurstCase {
    uint32_t length;
    uint32_t room;
    std::vector<Chunk> chunks;
};

TEST_F(Fwup, BurstsFollowRoomAndStopAtTheEnd)
{
    const BurstCase cases[] = {
        {300, 256, {D61, D61, D61, D61, last(12), last(44)}},
        {200, 122, {D61, last(61), D61, last(17)}},
        {10, 200, {last(10)}},
        {62, 1000, {D61, last(1)}},
        {61, 0xFFFFFFFFu, {last(61)}},
        {3, 1, {last(1), last(1), last(1)}},
    };
    for (const BurstCase &c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length) + ", room " + std::to_string(c.room));
        dev.room = c.room;
        dev.chunks.clear();
        Bytes image = make_image(c.length);
        EXPECT_EQ(0, update(image));
        EXPECT_EQ(c.chunks, dev.chunks);
        EXPECT_EQ(image, dev.stored);
    }
}

TEST_F(Fwup, EmptyImageGoesStraightToTheFinish)
{
    ASSERT_EQ(0, update(Bytes()));
    EXPECT_EQ(std::vector<Bytes>({{0x21, 0x04, 0, 0, 0, 0, 0, 0}, {0x22, 0x01, 0x00, 0x00}}),
              dev.sent);
    EXPECT_EQ("418:pos = 0/0\nFWUP OK\n", out.text());
}

TEST_F(Fwup, RoomWithoutOffsetWaitsForTheNextAnswer)
{
    // Room and offset in two answers: the room of the first one is kept.
    dev.answer = [this](unsigned nth) {
        if (dev.status_queries == 1 && nth == 1)
            return tlv({item_u32(QXTAG_FWUP_ROOM, 256)});
        if (dev.status_queries == 1 && nth == 2)
            return tlv({item_u32(QXTAG_FWUP_OFFSET, 0)});
        return dev.status_items();
    };
    Bytes image = make_image(100);
    ASSERT_EQ(0, update(image));
    EXPECT_EQ("287:pos = 0/100\nwait:346\n418:pos = 100/100\nFWUP OK\n", out.text());
    EXPECT_EQ(repeat(5, 1), clock.sleeps());
    EXPECT_EQ(2u, dev.status_queries); // the query is not sent again
    EXPECT_EQ(image, dev.stored);
}

// The device may send room, offset and checksum as numbers of any width.
TEST_F(Fwup, RoomOffsetAndChecksumAtAnyWidth)
{
    for (unsigned type : {QXMSG_U8, QXMSG_U16, QXMSG_U32}) {
        SCOPED_TRACE("type " + std::to_string(type));
        auto item = [type](unsigned tag, uint32_t v) {
            return type == QXMSG_U8    ? item_u8(tag, v)
                   : type == QXMSG_U16 ? item_u16(tag, v)
                                       : item_u32(tag, v);
        };
        FakeDevice d;
        d.room = 100;
        d.answer = [&](unsigned) {
            return tlv({item(QXTAG_FWUP_ROOM, d.taken < d.length ? d.room : 0),
                        item(QXTAG_FWUP_OFFSET, d.taken), item(QXTAG_CHECKSUM, 0xC7)});
        };
        Bytes image = make_image(250);
        EXPECT_EQ(0, qxctl_update_firmware(&ch, image.data(), 250, nullptr));
        EXPECT_EQ(image, d.stored);
        EXPECT_EQ(std::vector<Chunk>({D61, last(39), D61, last(39), last(50)}), d.chunks);
        uint32_t sum = 0;
        EXPECT_EQ(0, qxctl_get_checksum(&ch, 250, &sum));
        EXPECT_EQ(0xC7u, sum);
    }
}

TEST_F(Fwup, LaggingOffsetIsWaitedFor)
{
    int lagged = 0;
    dev.room = 61;
    dev.answer = [&](unsigned nth) {
        if (dev.taken == 61 && nth == 1 && lagged < 2) {
            ++lagged;
            return tlv({item_u32(QXTAG_FWUP_ROOM, 61), item_u32(QXTAG_FWUP_OFFSET, 0)});
        }
        return dev.status_items();
    };
    Bytes image = make_image(122);
    ASSERT_EQ(0, update(image));
    EXPECT_EQ("287:pos = 0/122\n"
              "287:pos = 61/122\n"
              "offset = 0, pos = 61\n"
              "287:pos = 61/122\n"
              "offset = 0, pos = 61\n"
              "287:pos = 61/122\n"
              "418:pos = 122/122\n"
              "FWUP OK\n",
              out.text());
    EXPECT_EQ(repeat(5, 2), clock.sleeps());
    // The host never goes back to the device's offset.
    EXPECT_EQ(std::vector<Chunk>({last(61), last(61)}), dev.chunks);
    EXPECT_EQ(image, dev.stored);
}

TEST_F(Fwup, ProgressShowsTheWholeImageOnlyOnceConfirmed)
{
    QxProgress progress(7); // left as the caller set it until a chunk moves it
    dev.room = 128;
    ASSERT_EQ(0, update(make_image(300), &progress));
    EXPECT_EQ(std::vector<int32_t>({7, 61, 122, 128, 189, 250, 256}), dev.progress_at_chunk);
    EXPECT_EQ(std::vector<int32_t>({7, 128, 256, 256}), dev.progress_at_status);
    EXPECT_EQ(300, progress.load());
}

TEST_F(Fwup, FinishRereadsBothValuesFromEachAnswer)
{
    // Room 0 alone leaves the offset at 0, the offset alone leaves room at
    // 255: neither confirms; the third answer does.
    dev.answer = [this](unsigned nth) {
        if (dev.status_queries < 2)
            return dev.status_items();
        if (nth == 1)
            return tlv({item_u32(QXTAG_FWUP_ROOM, 0)});
        if (nth == 2)
            return tlv({item_u32(QXTAG_FWUP_OFFSET, 100), item_blob(QXTAG_DEBUG, "ok")});
        return dev.status_items();
    };
    QxProgress progress(0);
    ASSERT_EQ(0, update(make_image(100), &progress));
    EXPECT_EQ(std::vector<uint32_t>({100, 100}), clock.sleeps());
    EXPECT_EQ(2u, dev.status_queries);
    EXPECT_EQ("287:pos = 0/100\n418:pos = 100/100\n\n\n--debug--\nok\n---------\nFWUP OK\n",
              out.text());
    EXPECT_EQ(100, progress.load());
}

TEST_F(Fwup, FinishGivesUpAfterTwentyCycles)
{
    dev.answer = [this](unsigned) {
        return dev.taken < dev.length
                   ? dev.status_items()
                   : tlv({item_u32(QXTAG_FWUP_ROOM, 1), item_u32(QXTAG_FWUP_OFFSET, dev.length)});
    };
    QxProgress progress(0);
    EXPECT_EQ(1, update(make_image(100), &progress));

    std::vector<uint32_t> cycle = repeat(100, 10);
    cycle.push_back(1000);
    std::vector<uint32_t> expected;
    for (int i = 0; i < 20; ++i)
        expected.insert(expected.end(), cycle.begin(), cycle.end());
    EXPECT_EQ(expected, clock.sleeps());
    EXPECT_EQ(21u, dev.status_queries);
    EXPECT_TRUE(ends_with(out.text(), "418:pos = 100/100\n" + err(485)));
    EXPECT_EQ(0u, out.count("FWUP OK"));
    EXPECT_EQ(61, progress.load()); // the offset before the chunk that completed the image
}

TEST_F(Fwup, DebugTextIsPrintedByteForByte)
{
    const std::string text("a\0b\n", 4);
    dev.answer = [&](unsigned nth) {
        Bytes m = tlv({item_u32(QXTAG_DEBUG, 5), item_blob(QXTAG_DEBUG, text)});
        if (dev.status_queries == 1 && nth == 1)
            return m; // neither value yet
        Bytes s = dev.status_items();
        m.insert(m.end(), s.begin(), s.end());
        return m;
    };
    ASSERT_EQ(0, update(make_image(10)));
    const std::string shown = "\n\n--debug--\n" + text + "\n---------\n";
    EXPECT_EQ("287:pos = 0/10\n" + shown + "wait:346\n" + shown + "418:pos = 10/10\n" + shown +
                  "FWUP OK\n",
              out.text());
}

TEST_F(Fwup, TagZeroEndsTheAnswer)
{
    dev.answer = [this](unsigned nth) {
        if (dev.status_queries == 1 && nth == 1)
            return tlv(
                {item_u32(QXTAG_FWUP_ROOM, 256), item_u8(0, 1), item_u32(QXTAG_FWUP_OFFSET, 0)});
        return dev.status_items();
    };
    ASSERT_EQ(0, update(make_image(10)));
    EXPECT_EQ(1u, out.count("wait:346\n"));
}

struct RetryCase {
    bool alt;
    uint32_t room;
    uint32_t offset;
    std::string per_check; // printed after each query besides the position
    int line;
    int timeout;
};

TEST_F(Fwup, TheTwoThousandAndFirstFailedCheckEndsTheTransfer)
{
    const RetryCase cases[] = {
        {false, 0, 0, "", 366, 356},
        {false, 10, 5, "offset = 5, pos = 0\n", 366, 358},
        // Room 0 is checked first: a wrong offset beside it is not reported.
        {false, 0, 5, "", 366, 356},
        {true, 0, 5, "", 620, 610},
        // An offset beyond the image is never sent from.
        {false, 0xFFFFFFFFu, 0xFFFFFFF0u, "offset = 4294967280, pos = 0\n", 366, 358},
        {true, 0, 0, "", 620, 610},
        {true, 10, 5, "offset = 5, pos = 0\n", 620, 612},
    };
    for (const RetryCase &c : cases) {
        SCOPED_TRACE("alt " + std::to_string(c.alt) + ", timeout " + std::to_string(c.timeout));
        FakeDevice d;
        d.alt = c.alt;
        d.answer = [&](unsigned) {
            return tlv({item_u32(QXTAG_FWUP_ROOM, c.room), item_u32(QXTAG_FWUP_OFFSET, c.offset)});
        };
        out.clear();
        clock.clear();
        Bytes image = make_image(100);
        int r = c.alt ? qxctl_update_firmware_alt(&ch, image.data(), 100, nullptr)
                      : qxctl_update_firmware(&ch, image.data(), 100, nullptr);
        EXPECT_EQ(1, r);
        EXPECT_EQ(2001u, d.status_queries);
        EXPECT_TRUE(d.chunks.empty());
        EXPECT_EQ(repeat(5, 2000), clock.sleeps());
        expect_failure(ctl, QXOP_TRANSFER, QXFAIL_NO_PROGRESS, c.line, 0, 0, 100);
        std::string check = (c.alt ? "pos = 0/100\n" : "287:pos = 0/100\n") + c.per_check;
        EXPECT_EQ(2001u, out.count(check));
        EXPECT_TRUE(ends_with(out.text(), check + err(c.line) +
                                              "timeout line:" + std::to_string(c.timeout) + "\n"));
        EXPECT_FALSE(d.wrong_pair);
    }
}

TEST_F(Fwup, ABurstRestartsTheRetryCount)
{
    int failed = 0;
    dev.room = 1;
    dev.answer = [&](unsigned nth) {
        if (nth == 1 && dev.taken < dev.length && failed < 2000) {
            ++failed;
            return tlv({item_u32(QXTAG_FWUP_ROOM, 0), item_u32(QXTAG_FWUP_OFFSET, dev.taken)});
        }
        if (nth == 1)
            failed = 0;
        return dev.status_items();
    };
    ASSERT_EQ(0, update(make_image(2)));
    EXPECT_EQ(2000u + 1 + 2000 + 1 + 1, dev.status_queries);
    EXPECT_EQ(repeat(5, 4000), clock.sleeps());
}

TEST_F(Fwup, AStatusQueryGetsTenThousandPolls)
{
    for (bool alt : {false, true}) {
        SCOPED_TRACE(alt ? "alternate pair" : "main pair");
        FakeDevice d;
        d.alt = alt;
        d.answer = [](unsigned) { return tlv({item_u32(QXTAG_FWUP_ROOM, 64)}); };
        out.clear();
        clock.clear();
        Bytes image = make_image(100);
        int r = alt ? qxctl_update_firmware_alt(&ch, image.data(), 100, nullptr)
                    : qxctl_update_firmware(&ch, image.data(), 100, nullptr);
        EXPECT_EQ(1, r);
        EXPECT_EQ(1u, d.status_queries);
        EXPECT_EQ(10000u + 2, d.reads); // two ready waits, then the polls
        EXPECT_EQ(repeat(5, 10000), clock.sleeps());
        EXPECT_EQ(alt ? 0u : 10000u, out.count("wait:346\n"));
        EXPECT_TRUE(ends_with(out.text(), err(alt ? 604 : 350)));
        expect_failure(ctl, QXOP_TRANSFER, QXFAIL_NO_ANSWER, alt ? 604 : 350, 0, 0, 100);
    }
}

TEST_F(Fwup, AlternatePairDifferences)
{
    dev.alt = true;
    Bytes image = make_image(100);
    dev.answer = [this](unsigned nth) {
        Bytes m = tlv({item_blob(QXTAG_DEBUG, "dbg")});
        if (dev.status_queries == 1 && nth == 1)
            return tlv({item_u32(QXTAG_FWUP_ROOM, 256)});
        // The finish reads room alone: the offset it names does not matter.
        Bytes s = dev.taken < dev.length
                      ? dev.status_items()
                      : tlv({item_u32(QXTAG_FWUP_ROOM, 0), item_u32(QXTAG_FWUP_OFFSET, 3)});
        m.insert(m.end(), s.begin(), s.end());
        return m;
    };
    QxProgress progress(0);
    ASSERT_EQ(0, update(image, &progress));
    EXPECT_EQ("pos = 0/100\n\n\n--debug--\ndbg\n---------\nFWUP OK\n", out.text());
    EXPECT_EQ(repeat(5, 1), clock.sleeps());
    EXPECT_EQ(image, dev.stored);
    EXPECT_EQ(100, progress.load());
    EXPECT_FALSE(dev.wrong_pair);
}

TEST_F(Fwup, AlternatePairFailsWhenTheDeviceNeverConfirms)
{
    dev.alt = true;
    dev.room = 64;
    dev.answer = [this](unsigned) {
        return dev.taken < dev.length ? dev.status_items() : tlv({item_u32(QXTAG_FWUP_ROOM, 5)});
    };
    QxProgress progress(0);
    EXPECT_EQ(1, update(make_image(100), &progress));
    EXPECT_EQ(0u, out.count("FWUP OK"));
    EXPECT_EQ("pos = 0/100\npos = 64/100\n" + err(706), out.text());
    EXPECT_EQ(repeat(1000, 10), clock.sleeps());
    EXPECT_EQ(2u + 10, dev.status_queries);
    EXPECT_EQ(64, progress.load());
}

enum Fault { WRITE_FAILS, BUSY, READ_FAILS };

struct FaultCase {
    bool alt;
    uint32_t length;
    Fault fault;
    int accepted; // messages the device took before the fault
    int line;
};

void arm(FakeDevice &d, Fault fault, int accepted)
{
    if (fault == WRITE_FAILS)
        d.fail_writes_after = accepted;
    else if (fault == BUSY)
        d.busy_after = accepted;
    else
        d.fail_read_after = accepted;
}

// What the record says for each fault.
int failure_how(Fault fault)
{
    return fault == BUSY ? QXFAIL_NOT_READY : QXFAIL_CALL;
}

uint32_t failure_error(Fault fault)
{
    return fault == WRITE_FAILS  ? USBDEVS_ERROR_GEN_FAILURE
           : fault == READ_FAILS ? USBDEVS_ERROR_DEVICE_NOT_CONNECTED
                                 : 0;
}

TEST_F(Fwup, EachFailureSiteHasItsLine)
{
    const FaultCase cases[] = {
        {false, 100, WRITE_FAILS, 0, 280},
        {false, 100, BUSY, 0, 276},
        {false, 100, WRITE_FAILS, 1, 305},
        {false, 100, BUSY, 1, 301},
        {false, 100, READ_FAILS, 2, 317},
        {false, 100, WRITE_FAILS, 2, 407},
        {false, 100, BUSY, 2, 403},
        {false, 0, WRITE_FAILS, 1, 436},
        {false, 0, BUSY, 1, 432},
        {false, 0, READ_FAILS, 2, 443},
        {true, 100, WRITE_FAILS, 0, 535},
        {true, 100, BUSY, 0, 531},
        {true, 100, WRITE_FAILS, 1, 560},
        {true, 100, BUSY, 1, 556},
        {true, 100, READ_FAILS, 2, 572},
        {true, 100, WRITE_FAILS, 2, 660},
        {true, 100, BUSY, 2, 656},
        {true, 0, WRITE_FAILS, 1, 688},
        {true, 0, BUSY, 1, 684},
        {true, 0, READ_FAILS, 2, 694},
        // The second chunk of a burst: the record holds the bytes sent.
        {false, 100, WRITE_FAILS, 3, 407},
        {true, 100, WRITE_FAILS, 3, 660},
    };
    for (const FaultCase &c : cases) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        FakeDevice d;
        d.alt = c.alt;
        arm(d, c.fault, c.accepted);
        out.clear();
        Bytes image = make_image(c.length);
        const uint8_t *data = c.length ? image.data() : nullptr;
        int r = c.alt ? qxctl_update_firmware_alt(&ch, data, c.length, nullptr)
                      : qxctl_update_firmware(&ch, data, c.length, nullptr);
        EXPECT_EQ(1, r);
        EXPECT_TRUE(ends_with(out.text(), err(c.line))) << out.text().substr(0, 200);
        EXPECT_EQ((size_t)c.accepted, d.sent.size()); // nothing is sent after a failure
        uint32_t sent = 0;
        for (const Chunk &chunk : d.chunks)
            sent += chunk.second;
        expect_failure(ctl, QXOP_TRANSFER, failure_how(c.fault), c.line, failure_error(c.fault),
                       sent, c.length);
    }
}

TEST_F(Fwup, ImageWithoutBytesIsRefusedBeforeTheDeviceHearsOfIt)
{
    EXPECT_EQ(1, qxctl_update_firmware(&ch, nullptr, 10, nullptr));
    EXPECT_EQ(1, qxctl_update_firmware_alt(&ch, nullptr, 10, nullptr));
    EXPECT_EQ(err(257) + err(512), out.text());
    EXPECT_TRUE(dev.sent.empty());
}

// --- checksum query ---

TEST_F(Fwup, ChecksumFoundBehindOtherItems)
{
    for (bool alt : {false, true}) {
        SCOPED_TRACE(alt ? "alternate pair" : "main pair");
        FakeDevice d;
        d.alt = alt;
        d.answer = [](unsigned nth) {
            if (nth < 3)
                return tlv({item_u8(QXTAG_FWUP_ROOM, 1)});
            return tlv({item_blob(QXTAG_DEBUG, "x"), item_u16(QXTAG_VERSION, 230),
                        item_u32(QXTAG_CHECKSUM, 0xDEADBEEF), item_u32(QXTAG_CHECKSUM, 1)});
        };
        out.clear();
        clock.clear();
        uint32_t sum = 0;
        EXPECT_EQ(0, alt ? qxctl_get_checksum_alt(&ch, 1000, &sum)
                         : qxctl_get_checksum(&ch, 1000, &sum));
        EXPECT_EQ(0xDEADBEEFu, sum);
        ASSERT_EQ(1u, d.sent.size());
        EXPECT_EQ(Bytes({0x27, 0x04, 0xE8, 0x03, 0x00, 0x00, 0x00, 0x00}), d.sent[0]);
        EXPECT_EQ(repeat(5, 1), clock.sleeps()); // ready wait, one empty poll, the answer
        EXPECT_EQ("", out.text());               // debug text is not shown here
        EXPECT_FALSE(d.wrong_pair);
        EXPECT_EQ(0, alt ? qxctl_get_checksum_alt(&ch, 1000, nullptr)
                         : qxctl_get_checksum(&ch, 1000, nullptr));
    }
}

TEST_F(Fwup, ChecksumPollsRunOutSilently)
{
    struct Case {
        bool alt;
        Bytes answer;
        size_t polls;
    };
    const Case cases[] = {
        {false, Bytes(), 6000},
        {true, Bytes(), 2000},
        // Reading stops at a tag-0 item; a blob is no number.
        {false, tlv({item_u8(0, 1), item_u32(QXTAG_CHECKSUM, 5)}), 6000},
        {false, tlv({item_blob(QXTAG_CHECKSUM, "abcd")}), 6000},
    };
    for (const Case &c : cases) {
        FakeDevice d;
        d.alt = c.alt;
        d.answer = [&](unsigned) { return c.answer; };
        out.clear();
        clock.clear();
        uint32_t sum = 77;
        EXPECT_EQ(1,
                  c.alt ? qxctl_get_checksum_alt(&ch, 4, &sum) : qxctl_get_checksum(&ch, 4, &sum));
        EXPECT_EQ(77u, sum);
        EXPECT_EQ(c.polls + 1, d.reads);
        EXPECT_EQ(repeat(5, c.polls), clock.sleeps());
        EXPECT_EQ("", out.text());
    }
}

TEST_F(Fwup, ChecksumFailureSites)
{
    const FaultCase cases[] = {
        {false, 0, WRITE_FAILS, 0, 755}, {false, 0, BUSY, 0, 751}, {false, 0, READ_FAILS, 1, 765},
        {true, 0, WRITE_FAILS, 0, 814},  {true, 0, BUSY, 0, 810},  {true, 0, READ_FAILS, 1, 824},
    };
    for (const FaultCase &c : cases) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        FakeDevice d;
        d.alt = c.alt;
        arm(d, c.fault, c.accepted);
        out.clear();
        uint32_t sum = 0;
        EXPECT_EQ(1,
                  c.alt ? qxctl_get_checksum_alt(&ch, 4, &sum) : qxctl_get_checksum(&ch, 4, &sum));
        EXPECT_TRUE(ends_with(out.text(), err(c.line))) << out.text().substr(0, 200);
        expect_failure(ctl, QXOP_CHECKSUM, failure_how(c.fault), c.line, failure_error(c.fault), 0,
                       4);
    }
}

// The record is the last failure's: a success leaves it, the next failure
// replaces it whole, and a fresh channel has none.
TEST_F(Fwup, TheLastFailureStaysUntilTheNextOne)
{
    QxCtl fresh = {};
    EXPECT_EQ(1, qxctl_last_failure(&fresh, nullptr));

    dev.fail_read_after = 1;
    EXPECT_EQ(1, qxctl_get_checksum(&ch, 4, nullptr));
    dev.fail_read_after = -1;
    ASSERT_EQ(0, update(make_image(100)));
    expect_failure(ctl, QXOP_CHECKSUM, QXFAIL_CALL, 765, USBDEVS_ERROR_DEVICE_NOT_CONNECTED, 0, 4);

    dev.answer = [](unsigned) { return Bytes(); };
    EXPECT_EQ(1, qxctl_get_checksum(&ch, 8, nullptr));
    expect_failure(ctl, QXOP_CHECKSUM, QXFAIL_NO_ANSWER, 0, 0, 0, 8);
}

} // namespace
