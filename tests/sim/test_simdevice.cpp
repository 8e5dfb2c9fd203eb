// The simulated device driven with raw I/O-control buffers, the way the
// driver receives them: answers, transfer, checksum, every fault knob, and
// every breach of the device contract refused and counted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "prgdecode.h"
#include "qxctl.h"
#include "qxmsg.h"
#include "qxsim_device.h"
#include "testkit.h"
#include "usbdevs.h"

namespace
{

constexpr uint32_t kOk = 0, kInvalidFunction = 1, kGenFailure = 31, kInvalidParameter = 87,
                   kNotConnected = 1167;

struct Item {
    unsigned tag = 0, type = 0;
    uint32_t value = 0; // numbers
    std::string blob;   // blobs
};
using Answer = std::vector<Item>;

// Host side of one device: raw buffers in, parsed answers out. Its writes
// keep the contract as the host does (a ready read on the pair first), its
// raw writes do not.
struct Wire {
    QxSimDevice &dev;

    // Reads on the pair until an answer is not busy (at most 100 reads).
    void ready(unsigned read_request)
    {
        for (int i = 0; i < 100; i++) {
            std::vector<uint8_t> out;
            uint32_t n = 0;
            if (read_raw(read_request, out, 64, &n) != kOk)
                return;
            Answer a = parse(out);
            if (n == 64 && !(a.size() == 1 && a[0].tag == 161 && a[0].value == 0))
                return;
        }
    }
    uint32_t write(unsigned request, const std::vector<uint8_t> &msg, uint32_t *returned = nullptr)
    {
        ready(request + 1);
        return raw_write(request, msg, returned);
    }
    uint32_t raw_write(unsigned request, const std::vector<uint8_t> &msg,
                       uint32_t *returned = nullptr)
    {
        std::vector<uint8_t> in(usbdevs_write_size(unsigned(msg.size())));
        usbdevs_build_write(in.data(), request, 0, 0, unsigned(msg.size()), msg.data());
        uint32_t ret = 99;
        uint32_t status = dev.ioctl(IOCTL_QX_CONTROL, in.data(), in.size(), nullptr, 0, &ret);
        if (returned)
            *returned = ret;
        return status;
    }
    // As the host frames a message: the end marker goes when it fits.
    static std::vector<uint8_t> ended(std::vector<uint8_t> msg)
    {
        if (msg.size() <= 62)
            msg.insert(msg.end(), {0, 0});
        return msg;
    }
    uint32_t send(const std::vector<uint8_t> &msg) { return write(29, ended(msg)); }

    uint32_t read_raw(unsigned request, std::vector<uint8_t> &out, uint32_t out_size,
                      uint32_t *returned)
    {
        uint8_t in[USBDEVS_MIN_INPUT];
        usbdevs_build_read(in, request, 0, 0);
        out.assign(out_size, 0xEE);
        return dev.ioctl(IOCTL_QX_CONTROL, in, sizeof in, out.data(), out_size, returned);
    }

    // One 64-byte answer; fails the test if the read does not deliver it whole.
    Answer read(unsigned request = 30)
    {
        std::vector<uint8_t> out;
        uint32_t n = 0;
        EXPECT_EQ(kOk, read_raw(request, out, 64, &n));
        EXPECT_EQ(64u, n);
        return parse(out);
    }

    static Answer parse(std::vector<uint8_t> bytes)
    {
        Answer a;
        QxMsg m;
        qxmsg_init(&m, bytes.data(), uint8_t(bytes.size()));
        unsigned tag, type, size;
        uintptr_t value;
        while (!qxmsg_next(&m, &tag, &type, &value, &size)) {
            Item it;
            it.tag = tag;
            it.type = type;
            if (type == QXMSG_BLOB)
                it.blob.assign(reinterpret_cast<const char *>(value), size);
            else
                it.value = uint32_t(value);
            a.push_back(it);
        }
        return a;
    }

    // Status query; returns {room, offset} from the next answers (follows a split).
    std::pair<uint32_t, uint32_t> status()
    {
        EXPECT_EQ(kOk, send(tlv({item_empty(34)})));
        int64_t room = -1, offset = -1;
        for (int i = 0; i < 4 && (room < 0 || offset < 0); i++)
            for (const Item &it : read()) {
                if (it.tag == 35)
                    room = it.value;
                if (it.tag == 36)
                    offset = it.value;
            }
        EXPECT_GE(room, 0);
        EXPECT_GE(offset, 0);
        return {uint32_t(room), uint32_t(offset)};
    }

    // A status query and the burst after it as the host sends it: full
    // chunks tagged 37, the last one 38. Returns the announced room and offset.
    std::pair<uint32_t, uint32_t> burst(const std::vector<uint8_t> &image)
    {
        auto announced = status();
        uint32_t room = announced.first, offset = announced.second;
        while (offset < image.size() && room > 0) {
            uint32_t n = std::min<uint32_t>(uint32_t(image.size()) - offset, room);
            unsigned tag = 38;
            if (n > 61) {
                tag = 37;
                n = 61;
            }
            std::string bytes(image.begin() + offset, image.begin() + offset + n);
            EXPECT_EQ(kOk, send(tlv({item_blob(tag, bytes)})));
            offset += n;
            room -= n;
        }
        return announced;
    }

    uint32_t checksum_reading(uint32_t length)
    {
        EXPECT_EQ(kOk, send(tlv({item_u32(39, length)})));
        for (const Item &it : read())
            if (it.tag == 40)
                return it.value;
        ADD_FAILURE() << "no checksum answer";
        return 0;
    }
};

const Item *find(const Answer &a, unsigned tag)
{
    for (const Item &it : a)
        if (it.tag == tag)
            return &it;
    return nullptr;
}

bool is_ready(const Answer &a, unsigned v)
{
    return a.size() == 1 && a[0].tag == 161 && a[0].type == QXMSG_U8 && a[0].value == v;
}

uint32_t header_checksum(const std::vector<uint8_t> &image)
{
    PrgHeader h;
    prg_copy_header(&h, image.data());
    return prg_get_checksum(&h);
}

uint32_t check_size(const std::vector<uint8_t> &image)
{
    PrgHeader h;
    prg_copy_header(&h, image.data());
    return uint32_t(prg_get_check_size(&h));
}

// --- answers ---

TEST(SimDevice, IdleReadAnswersReadyAndStatusByte)
{
    QxSimDevice dev;
    Wire w{dev};
    EXPECT_TRUE(is_ready(w.read(), 1));
    EXPECT_TRUE(is_ready(w.read(46), 1));

    std::vector<uint8_t> out;
    uint32_t n = 0;
    ASSERT_EQ(kOk, w.read_raw(28, out, 1, &n));
    EXPECT_EQ(1u, n);
    EXPECT_EQ(0x01, out[0]);
}

TEST(SimDevice, InfoAnswersVersionBuildProduct)
{
    QxSimConfig c;
    c.product = "QX-10";
    c.version = 230;
    c.build = 61;
    QxSimDevice dev(c);
    Wire w{dev};
    ASSERT_EQ(kOk, w.send(tlv({item_empty(49)})));
    Answer a = w.read();
    ASSERT_EQ(3u, a.size());
    EXPECT_EQ(50u, a[0].tag);
    EXPECT_EQ(unsigned(QXMSG_U16), a[0].type);
    EXPECT_EQ(230u, a[0].value);
    EXPECT_EQ(51u, a[1].tag);
    EXPECT_EQ(unsigned(QXMSG_U16), a[1].type);
    EXPECT_EQ(61u, a[1].value);
    EXPECT_EQ(52u, a[2].tag);
    EXPECT_EQ(unsigned(QXMSG_BLOB), a[2].type);
    EXPECT_EQ("QX-10", a[2].blob);
    EXPECT_TRUE(is_ready(w.read(), 1)); // nothing more queued

    // The installed image is built from the same identity.
    std::vector<uint8_t> fw = dev.firmware();
    ASSERT_EQ(315424u, fw.size());
    EXPECT_EQ(0, prg_verify(fw.data(), int32_t(fw.size())));
    EXPECT_EQ(0, std::memcmp(fw.data(), "QX-10", 6));
}

TEST(SimDevice, InfoOnAlternatePairStaysThere)
{
    QxSimDevice dev;
    Wire w{dev};
    ASSERT_EQ(kOk, w.write(45, Wire::ended(tlv({item_empty(49)}))));
    EXPECT_TRUE(is_ready(w.read(30), 1));
    Answer a = w.read(46);
    ASSERT_NE(nullptr, find(a, 50));
    EXPECT_EQ(220u, find(a, 50)->value);
    EXPECT_EQ("QX-20", find(a, 52)->blob);
}

TEST(SimDevice, DebugTextLeadsInfoAndLongTextSplitsWholeItems)
{
    QxSimConfig c;
    c.debug_text = "boot ok";
    QxSimDevice dev(c);
    Wire w{dev};
    ASSERT_EQ(kOk, w.send(tlv({item_empty(49)})));
    Answer a = w.read();
    ASSERT_EQ(4u, a.size());
    EXPECT_EQ(18u, a[0].tag);
    EXPECT_EQ("boot ok", a[0].blob);
    EXPECT_EQ(52u, a[3].tag);

    c.debug_text = std::string(100, 'x');
    dev.set_config(c);
    ASSERT_EQ(kOk, w.send(tlv({item_empty(49)})));
    std::string text;
    Answer all;
    for (int i = 0; i < 4; i++) {
        Answer part = w.read();
        if (is_ready(part, 1))
            break;
        all.insert(all.end(), part.begin(), part.end());
    }
    for (const Item &it : all)
        if (it.tag == 18)
            text += it.blob;
    EXPECT_EQ(c.debug_text, text);
    ASSERT_NE(nullptr, find(all, 50));
    ASSERT_NE(nullptr, find(all, 52));
    EXPECT_EQ("QX-20", find(all, 52)->blob);
}

TEST(SimDevice, SettersFeedGettersAndAddressedValues)
{
    QxSimDevice dev;
    Wire w{dev};
    ASSERT_EQ(kOk,
              w.send(tlv({item_u32(23, 1000), item_u8(25, 7), item_u8(19, 1), item_u8(137, 9)})));
    struct {
        unsigned request, answer, value;
    } rows[] = {{24, 24, 1000}, {26, 26, 7}, {20, 21, 1}, {27, 27, 9}};
    for (const auto &r : rows) {
        ASSERT_EQ(kOk, w.send(tlv({item_empty(r.request)})));
        Answer a = w.read();
        const Item *it = find(a, r.answer);
        ASSERT_NE(nullptr, it) << r.request;
        EXPECT_EQ(r.value, it->value) << r.request;
    }

    ASSERT_EQ(kOk, w.send(tlv({item_u8(97, 3), item_u8(98, 1), item_u8(131, 0x10)})));
    ASSERT_EQ(kOk, w.send(tlv({item_u8(97, 3), item_u8(98, 1), item_empty(177)})));
    Answer a = w.read();
    ASSERT_EQ(3u, a.size());
    EXPECT_EQ(97u, a[0].tag);
    EXPECT_EQ(3u, a[0].value);
    EXPECT_EQ(98u, a[1].tag);
    EXPECT_EQ(1u, a[1].value);
    EXPECT_EQ(178u, a[2].tag);
    EXPECT_EQ(0x10u, a[2].value);

    ASSERT_EQ(kOk, w.send(tlv({item_empty(113)})));
    a = w.read();
    ASSERT_EQ(3u, a.size());
    EXPECT_EQ(97u, a[0].tag);
    EXPECT_EQ(114u, a[2].tag);
    EXPECT_EQ(0x10u, a[2].value);

    ASSERT_EQ(kOk, w.send(tlv({item_empty(28)})));
    a = w.read();
    ASSERT_EQ(1u, a.size());
    EXPECT_EQ(28u, a[0].tag);
    EXPECT_EQ(unsigned(QXMSG_BLOB), a[0].type);
    EXPECT_FALSE(a[0].blob.empty());
}

TEST(SimDevice, ListSpreadsEntriesOverAnswersWithoutSplittingOne)
{
    QxSimDevice dev;
    Wire w{dev};
    for (unsigned i = 0; i < 20; i++)
        ASSERT_EQ(kOk, w.send(tlv({item_u8(97, i), item_u8(98, 0), item_u8(129, i + 1)})));
    ASSERT_EQ(kOk, w.send(tlv({item_empty(113)})));
    unsigned entries = 0;
    for (Answer a = w.read(); !is_ready(a, 1); a = w.read()) {
        ASSERT_EQ(0u, a.size() % 3);
        for (size_t i = 0; i < a.size(); i += 3) {
            EXPECT_EQ(97u, a[i].tag);
            EXPECT_EQ(98u, a[i + 1].tag);
            EXPECT_EQ(114u, a[i + 2].tag);
            EXPECT_EQ(a[i].value + 1, a[i + 2].value);
            entries++;
        }
    }
    EXPECT_EQ(20u, entries);
}

// --- transfer and checksum ---

TEST(SimDevice, TransferInBurstsInstallsImageAndReportsItsVersion)
{
    QxSimDevice dev;
    Wire w{dev};
    std::vector<uint8_t> image = qxsim_make_image("QX-20", 231, 77, 1000, 5);
    ASSERT_EQ(1000u, image.size());

    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 1000)})));
    EXPECT_TRUE(dev.stored_image().empty());
    std::vector<uint8_t> out;
    uint32_t n;
    ASSERT_EQ(kOk, w.read_raw(28, out, 1, &n));
    EXPECT_EQ(0x02, out[0]); // updating

    std::vector<uint32_t> offsets;
    for (int guard = 0; guard < 10; guard++) {
        auto [room, offset] = w.burst(image);
        offsets.push_back(offset);
        if (room == 0)
            break;
        EXPECT_EQ(std::min<uint32_t>(256, 1000 - offset), room);
    }
    EXPECT_EQ((std::vector<uint32_t>{0, 256, 512, 768, 1000}), offsets);
    EXPECT_EQ(image, dev.stored_image());
    EXPECT_EQ(image, dev.firmware());
    EXPECT_EQ(231, dev.version());
    EXPECT_EQ(77, dev.build());
    QxSimStats s = dev.stats();
    EXPECT_EQ(1u, s.begins);
    EXPECT_EQ(1u, s.completed);
    EXPECT_EQ(19u, s.chunks); // 3 bursts of 4 + 1 chunks, then 3 + 1 for the last 232 bytes

    ASSERT_EQ(kOk, w.send(tlv({item_empty(49)})));
    Answer a = w.read();
    EXPECT_EQ(231u, find(a, 50)->value);
    EXPECT_EQ(77u, find(a, 51)->value);
    ASSERT_EQ(kOk, w.read_raw(28, out, 1, &n));
    EXPECT_EQ(0x01, out[0]);
}

TEST(SimDevice, BurstChunkTagsAsTheHostSendsThem)
{
    QxSimDevice dev;
    Wire w{dev};
    std::vector<uint8_t> image = qxsim_make_image("QX-20", 1, 1, 300, 1);
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 300)})));
    dev.clear_log();
    w.burst(image);
    auto log = dev.writes_log();
    ASSERT_EQ(6u, log.size());
    EXPECT_EQ(34, log[0].second[0]);
    for (int i = 1; i < 5; i++) {
        EXPECT_EQ(29u, log[i].first);
        EXPECT_EQ(64u, log[i].second.size());
        EXPECT_EQ(37, log[i].second[0]);
    }
    EXPECT_EQ(38, log[5].second[0]);
    EXPECT_EQ(12, log[5].second[2]);
    EXPECT_EQ(17u, log[5].second.size());
    EXPECT_EQ(std::make_pair(uint32_t(44), uint32_t(256)), w.status());
}

TEST(SimDevice, ChecksumOverCheckSizeEqualsHeaderChecksum)
{
    std::vector<uint8_t> image = qxsim_make_image("QX-10", 300, 2, 20000, 42);
    ASSERT_EQ(0, prg_verify(image.data(), int32_t(image.size())));
    QxSimConfig c;
    c.firmware = image;
    QxSimDevice dev(c);
    Wire w{dev};
    EXPECT_EQ(header_checksum(image), w.checksum_reading(check_size(image)));
    EXPECT_EQ(header_checksum(image), dev.checksum(check_size(image)));

    // Longer lengths stop at the stored end (the trailer counts then).
    std::vector<uint8_t> plain(image.size() - 32);
    prg_descramble(plain.data(), image.data() + 32, plain.size());
    uint32_t all = 0;
    for (uint8_t b : plain)
        all += b;
    EXPECT_EQ(all, w.checksum_reading(0xFFFFFFFFu));
    EXPECT_EQ(uint32_t(plain[0] + plain[1] + plain[2]), w.checksum_reading(3));
    EXPECT_EQ(0u, w.checksum_reading(0));
}

TEST(SimDevice, ChecksumFollowsTheStoredImageDuringATransfer)
{
    QxSimDevice dev;
    Wire w{dev};
    std::vector<uint8_t> image = qxsim_make_image("QX-20", 240, 3, 600, 9);
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 600)})));
    EXPECT_EQ(0u, w.checksum_reading(568));
    w.burst(image);
    uint32_t part = 0;
    for (size_t i = 32; i < 256; i++)
        part += prg_descramble_table[image[i]];
    EXPECT_EQ(part, w.checksum_reading(568));
    EXPECT_EQ(220, dev.version()); // not installed yet
}

TEST(SimDevice, HeaderlessImageKeepsTheIdentity)
{
    QxSimDevice dev;
    Wire w{dev};
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 4)})));
    w.burst({'a', 'b', 'c', 'd'});
    EXPECT_EQ(std::vector<uint8_t>({'a', 'b', 'c', 'd'}), dev.stored_image());
    EXPECT_EQ(std::make_pair(uint32_t(0), uint32_t(4)), w.status());
    EXPECT_EQ(1u, dev.stats().completed);
    EXPECT_EQ(220, dev.version());
}

TEST(SimDevice, ZeroLengthTransferCompletesAtOnce)
{
    QxSimDevice dev;
    Wire w{dev};
    std::vector<uint8_t> fw = dev.firmware();
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 0)})));
    EXPECT_EQ(std::make_pair(uint32_t(0), uint32_t(0)), w.status());
    EXPECT_EQ(1u, dev.stats().completed);
    EXPECT_EQ(fw, dev.firmware());
}

// --- faults ---

TEST(SimDeviceFaults, BusyAnswersThenReady)
{
    QxSimConfig c;
    c.busy_answers = 3;
    QxSimDevice dev(c);
    Wire w{dev};
    std::vector<uint8_t> out;
    uint32_t n;
    ASSERT_EQ(kOk, w.read_raw(28, out, 1, &n));
    EXPECT_EQ(0x00, out[0]);
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(is_ready(w.read(), 0)) << i;
    EXPECT_TRUE(is_ready(w.read(), 1));
}

TEST(SimDeviceFaults, BusyAfterEveryWriteHoldsTheAnswerBack)
{
    QxSimConfig c;
    c.busy_after_write = 2;
    QxSimDevice dev(c);
    Wire w{dev};
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(kOk, w.send(tlv({item_empty(49)})));
        EXPECT_TRUE(is_ready(w.read(), 0));
        EXPECT_TRUE(is_ready(w.read(), 0));
        EXPECT_NE(nullptr, find(w.read(), 50));
    }
}

TEST(SimDeviceFaults, OffsetLagAndRoomZeroAfterABurst)
{
    QxSimConfig c;
    c.offset_lag = 2;
    c.room_zero_answers = 1;
    QxSimDevice dev(c);
    Wire w{dev};
    std::vector<uint8_t> image = qxsim_make_image("QX-20", 1, 1, 600, 1);
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 600)})));
    EXPECT_EQ(std::make_pair(uint32_t(256), uint32_t(0)), w.burst(image)); // no burst before
    EXPECT_EQ(std::make_pair(uint32_t(0), uint32_t(0)), w.status());
    EXPECT_EQ(std::make_pair(uint32_t(256), uint32_t(0)), w.status());
    EXPECT_EQ(std::make_pair(uint32_t(256), uint32_t(256)), w.status());
    EXPECT_EQ(std::make_pair(uint32_t(256), uint32_t(256)), w.status());
}

TEST(SimDeviceFaults, SplitStatusAnswer)
{
    QxSimConfig c;
    c.split_status_answer = 1;
    QxSimDevice dev(c);
    Wire w{dev};
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 100)})));
    ASSERT_EQ(kOk, w.send(tlv({item_empty(34)})));
    Answer first = w.read(), second = w.read();
    ASSERT_EQ(1u, first.size());
    EXPECT_EQ(35u, first[0].tag);
    EXPECT_EQ(100u, first[0].value);
    ASSERT_EQ(1u, second.size());
    EXPECT_EQ(36u, second[0].tag);
    EXPECT_EQ(0u, second[0].value);

    // The closing answer comes whole, or the host could never see the end.
    ASSERT_EQ(kOk, w.send(tlv({item_blob(37, std::string(61, 'z'))})));
    ASSERT_EQ(kOk, w.send(tlv({item_blob(38, std::string(39, 'z'))})));
    ASSERT_EQ(kOk, w.send(tlv({item_empty(34)})));
    Answer last = w.read();
    ASSERT_EQ(2u, last.size());
    EXPECT_EQ(0u, last[0].value);
    EXPECT_EQ(100u, last[1].value);
}

TEST(SimDeviceFaults, FailedWritesChangeNothing)
{
    QxSimConfig c;
    c.fail_writes = 2;
    QxSimDevice dev(c);
    Wire w{dev};
    EXPECT_EQ(kGenFailure, w.send(tlv({item_empty(49)})));
    EXPECT_EQ(kGenFailure, w.send(tlv({item_empty(49)})));
    EXPECT_TRUE(is_ready(w.read(), 1));
    EXPECT_TRUE(dev.writes_log().empty());
    EXPECT_EQ(kOk, w.send(tlv({item_empty(49)})));
    EXPECT_NE(nullptr, find(w.read(), 50));
    EXPECT_EQ(1u, dev.writes_log().size());

    c.fail_writes = 0;
    c.fail_write_every = 3;
    dev.set_config(c);
    std::vector<uint32_t> results;
    for (int i = 0; i < 7; i++)
        results.push_back(w.send(tlv({item_u8(19, 1)})));
    EXPECT_EQ((std::vector<uint32_t>{0, 0, 31, 0, 0, 31, 0}), results);
}

TEST(SimDeviceFaults, DroppedReadKeepsTheAnswerShortReadLosesIt)
{
    QxSimConfig c;
    c.drop_read_every = 2;
    QxSimDevice dev(c);
    Wire w{dev};
    std::vector<uint8_t> out;
    uint32_t n = 0;
    ASSERT_EQ(kOk, w.send(tlv({item_empty(49)})));       // its ready read is read 1
    EXPECT_EQ(kGenFailure, w.read_raw(30, out, 64, &n)); // read 2
    EXPECT_EQ(0u, n);
    EXPECT_NE(nullptr, find(w.read(), 50)); // read 3: still there

    c.drop_read_every = 0;
    c.short_read_every = 2;
    dev.set_config(c);
    ASSERT_EQ(kOk, w.send(tlv({item_empty(49)}))); // read 1 whole
    ASSERT_EQ(kOk, w.read_raw(30, out, 64, &n));
    EXPECT_EQ(63u, n);
    EXPECT_EQ(50, out[0]); // the answer went out, one byte short
    ASSERT_EQ(kOk, w.read_raw(28, out, 1, &n));
    EXPECT_EQ(1u, n);
    ASSERT_EQ(kOk, w.read_raw(28, out, 1, &n));
    EXPECT_EQ(0u, n);
}

TEST(SimDeviceFaults, ChecksumOffsetScriptSilent)
{
    QxSimConfig c;
    c.checksum_offset = -5;
    c.checksum_script = {7, 8};
    QxSimDevice dev(c);
    Wire w{dev};
    uint32_t true_sum = dev.checksum(1000);
    EXPECT_EQ(7u, w.checksum_reading(1000));
    EXPECT_EQ(8u, w.checksum_reading(1000));
    EXPECT_EQ(true_sum - 5, w.checksum_reading(1000));

    c.checksum_silent = true;
    dev.set_config(c);
    ASSERT_EQ(kOk, w.send(tlv({item_u32(39, 1000)})));
    EXPECT_TRUE(is_ready(w.read(), 1));
}

TEST(SimDeviceFaults, ChecksumJitterStaysInBoundsAndRepeats)
{
    QxSimConfig c;
    c.checksum_jitter = 10;
    QxSimDevice a(c), b(c);
    Wire wa{a}, wb{b};
    uint32_t sum = a.checksum(5000);
    std::vector<int64_t> deltas;
    for (int i = 0; i < 50; i++) {
        uint32_t ra = wa.checksum_reading(5000);
        EXPECT_EQ(ra, wb.checksum_reading(5000));
        int64_t delta = int32_t(ra - sum);
        EXPECT_LE(delta, 10);
        EXPECT_GE(delta, -10);
        deltas.push_back(delta);
    }
    std::sort(deltas.begin(), deltas.end());
    EXPECT_LT(deltas.front(), deltas.back()); // it does vary
}

TEST(SimDeviceFaults, NeverCompleteKeepsOneByteOfRoom)
{
    QxSimConfig c;
    c.never_complete = true;
    QxSimDevice dev(c);
    Wire w{dev};
    std::vector<uint8_t> image = qxsim_make_image("QX-20", 250, 1, 200, 3);
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 200)})));
    EXPECT_EQ(std::make_pair(uint32_t(200), uint32_t(0)), w.burst(image));
    EXPECT_EQ(std::make_pair(uint32_t(1), uint32_t(200)), w.status());
    EXPECT_EQ(std::make_pair(uint32_t(1), uint32_t(200)), w.status());
    EXPECT_EQ(image, dev.stored_image());
    EXPECT_EQ(220, dev.version());
    EXPECT_EQ(0u, dev.stats().completed);
}

TEST(SimDeviceFaults, FailTransferFromTheNthBegin)
{
    QxSimConfig c;
    c.fail_transfer = 2;
    QxSimDevice dev(c);
    Wire w{dev};
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 10)})));
    w.status();
    EXPECT_EQ(kOk, w.send(tlv({item_blob(38, "12345")})));
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 10)})));
    w.status();
    EXPECT_EQ(kGenFailure, w.send(tlv({item_blob(38, "12345")})));
    EXPECT_EQ(kGenFailure, w.send(tlv({item_blob(38, "12345")})));
    EXPECT_EQ(std::make_pair(uint32_t(10), uint32_t(0)), w.status()); // the rest still works
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 10)})));
    w.status();
    EXPECT_EQ(kGenFailure, w.send(tlv({item_blob(38, "12345")})));
    EXPECT_EQ(0u, dev.stats().breaches);
}

TEST(SimDeviceFaults, UnplugMidTransferThenReplug)
{
    QxSimConfig c;
    c.unplug_after = 512;
    QxSimDevice dev(c);
    Wire w{dev};
    UsbdevsBackend b = qxsim_backend(&dev);
    usbdevs_set_backend(&b);
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    EXPECT_EQ(0, usbdevs_probe(table, 0, nullptr));

    std::vector<uint8_t> image = qxsim_make_image("QX-20", 1, 1, 2000, 1);
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 2000)})));
    w.burst(image);
    w.burst(image);
    EXPECT_FALSE(dev.present());
    EXPECT_EQ(512u, dev.stored_image().size());
    std::vector<uint8_t> out;
    uint32_t n = 7;
    EXPECT_EQ(kNotConnected, w.read_raw(30, out, 64, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(kNotConnected, w.send(tlv({item_empty(34)})));
    EXPECT_EQ(kNotConnected, dev.ioctl(0x1234, nullptr, 0, nullptr, 0, &n));
    EXPECT_EQ(1, usbdevs_probe(table, 0, nullptr));

    dev.replug();
    EXPECT_EQ(0, usbdevs_probe(table, 0, nullptr));
    EXPECT_EQ(std::make_pair(uint32_t(0), uint32_t(0)), w.status()); // transfer gone
    // It vanishes once per configuration: a second attempt gets through.
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 2000)})));
    for (uint32_t off = 0; off < 2000; off += 256)
        w.burst(image);
    EXPECT_TRUE(dev.present());
    EXPECT_EQ(image, dev.firmware());
    usbdevs_set_backend(nullptr);
}

TEST(SimDeviceFaults, InfoSilent)
{
    QxSimConfig c;
    c.info_silent = true;
    QxSimDevice dev(c);
    Wire w{dev};
    ASSERT_EQ(kOk, w.send(tlv({item_empty(49)})));
    EXPECT_TRUE(is_ready(w.read(), 1));
    EXPECT_EQ(1u, dev.writes_log().size());
}

TEST(SimDevice, SetConfigKeepsAnInstalledUpdate)
{
    QxSimDevice dev;
    Wire w{dev};
    std::vector<uint8_t> image = qxsim_make_image("QX-10", 400, 9, 300, 2);
    ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 300)})));
    w.burst(image);
    w.burst(image);
    ASSERT_EQ(400, dev.version());
    QxSimConfig c = dev.config();
    c.latency_us = 1500;
    c.busy_answers = 1;
    dev.set_config(c);
    EXPECT_EQ(1500u, dev.config().latency_us);
    EXPECT_EQ(400, dev.version());
    EXPECT_EQ(image, dev.stored_image());
    EXPECT_TRUE(is_ready(w.read(), 0));
    ASSERT_EQ(kOk, w.send(tlv({item_empty(49)})));
    EXPECT_EQ("QX-10", find(w.read(), 52)->blob);
}

// --- malformed input ---

// Every call that the real device or its driver would not take is refused
// with status 31 (an unknown code with 1), changes nothing and counts as a
// breach of its kind; the calls the host makes are taken. These calls break
// the contract on purpose.
TEST(SimDeviceInput, RefusesAndCountsEveryBreach)
{
    const std::vector<uint8_t> info = {49, 1, 0, 0};
    auto write_in = [](std::vector<uint8_t> msg) {
        std::vector<uint8_t> in(usbdevs_write_size(unsigned(msg.size())));
        usbdevs_build_write(in.data(), 29, 0, 0, unsigned(msg.size()), msg.data());
        return in;
    };
    auto read_in = [](unsigned request) {
        std::vector<uint8_t> in(USBDEVS_MIN_INPUT);
        usbdevs_build_read(in.data(), request, 0, 0);
        return in;
    };
    auto edit = [](std::vector<uint8_t> in, size_t at, uint8_t v) {
        in[at] = v;
        return in;
    };
    auto resized = [](std::vector<uint8_t> in, size_t n) {
        in.resize(n);
        return in;
    };
    auto chunk = [](unsigned tag, size_t n) { return tlv({item_blob(tag, std::string(n, 'x'))}); };
    std::vector<uint8_t> image = qxsim_make_image("QX-20", 1, 1, 1000, 3);
    auto begun = [](Wire &w) { ASSERT_EQ(kOk, w.send(tlv({item_u32(33, 1000)}))); };
    auto announced = [&](Wire &w) {
        begun(w);
        w.status();
    };
    auto one_burst = [&](Wire &w) {
        begun(w);
        w.burst(image);
    };
    QxSimConfig plain, room_100, lag, room_zero, busy, busy_after, fail_once, short_reads;
    room_100.room = 100;
    lag.offset_lag = 1;
    room_zero.room_zero_answers = 1;
    busy.busy_answers = 2;
    busy_after.busy_after_write = 1;
    fail_once.fail_writes = 1;
    short_reads.short_read_every = 2;
    auto none = [](Wire &) {};

    struct Case {
        const char *name;
        QxSimConfig config;
        std::function<void(Wire &)> before;
        uint32_t code;
        std::vector<uint8_t> in; // empty: the last message of 'message' written raw
        uint32_t out_size;
        uint32_t status;
        const char *kind; // null: taken
        std::vector<uint8_t> message = {};
    } cases[] = {
        {"sound write", plain, none, IOCTL_QX_CONTROL, write_in(info), 0, kOk, nullptr},
        {"sound read", plain, none, IOCTL_QX_CONTROL, read_in(30), 64, kOk, nullptr},
        {"sound status read", plain, none, IOCTL_QX_CONTROL, read_in(28), 1, kOk, nullptr},
        {"other code", plain, none, 0x222004, write_in(info), 0, kInvalidFunction, "ioctl-code"},
        {"read of 32 on 30", plain, none, IOCTL_QX_CONTROL, read_in(30), 32, kGenFailure,
         "read-size"},
        {"read of 63 on 46", plain, none, IOCTL_QX_CONTROL, read_in(46), 63, kGenFailure,
         "read-size"},
        {"read of 64 on 28", plain, none, IOCTL_QX_CONTROL, read_in(28), 64, kGenFailure,
         "read-size"},
        {"no header", plain, none, IOCTL_QX_CONTROL, resized(write_in(info), 15), 0, kGenFailure,
         "header"},
        {"kind", plain, none, IOCTL_QX_CONTROL, edit(write_in(info), 8, 24), 0, kGenFailure,
         "header"},
        {"value", plain, none, IOCTL_QX_CONTROL, edit(read_in(30), 10, 1), 64, kGenFailure,
         "header"},
        {"index", plain, none, IOCTL_QX_CONTROL, edit(write_in(info), 13, 1), 0, kGenFailure,
         "header"},
        {"reserved", plain, none, IOCTL_QX_CONTROL, edit(read_in(30), 14, 1), 64, kGenFailure,
         "header"},
        {"direction 2", plain, none, IOCTL_QX_CONTROL, edit(write_in(info), 0, 2), 0, kGenFailure,
         "header"},
        {"write on a read code", plain, none, IOCTL_QX_CONTROL, edit(write_in(info), 15, 30), 0,
         kGenFailure, "header"},
        {"read on a write code", plain, none, IOCTL_QX_CONTROL, read_in(29), 64, kGenFailure,
         "header"},
        {"read with a length", plain, none, IOCTL_QX_CONTROL, edit(read_in(30), 4, 4), 64,
         kGenFailure, "header"},
        {"read input of 24", plain, none, IOCTL_QX_CONTROL, resized(read_in(30), 24), 64,
         kGenFailure, "read-input"},
        {"read input of 16", plain, none, IOCTL_QX_CONTROL, resized(read_in(30), 16), 64,
         kGenFailure, "read-input"},
        {"read input not zero behind the header", plain, none, IOCTL_QX_CONTROL,
         edit(read_in(30), 19, 1), 64, kGenFailure, "read-input"},
        {"write input longer than the message", plain, none, IOCTL_QX_CONTROL,
         resized(write_in(info), 24), 0, kGenFailure, "write-input"},
        {"write input of 19 for 3 bytes", plain, none, IOCTL_QX_CONTROL,
         resized(write_in({49, 1, 0}), 19), 0, kGenFailure, "write-input"},
        {"length past the input", plain, none, IOCTL_QX_CONTROL, edit(write_in(info), 4, 5), 0,
         kGenFailure, "write-input"},
        {"non-zero padding", plain, none, IOCTL_QX_CONTROL, edit(write_in({49, 1}), 19, 1), 0,
         kGenFailure, "write-input"},
        {"message of 0 bytes", plain, none, IOCTL_QX_CONTROL, edit(write_in(info), 4, 0), 0,
         kGenFailure, "write-input"},
        {"message of 65 bytes", plain, none, IOCTL_QX_CONTROL,
         write_in(std::vector<uint8_t>(65, 0)), 0, kGenFailure, "write-input"},
        {"chunk before a begin",
         plain,
         none,
         IOCTL_QX_CONTROL,
         {},
         0,
         kGenFailure,
         "chunk-before-begin",
         chunk(38, 3)},
        {"tag-37 chunk of 40",
         plain,
         announced,
         IOCTL_QX_CONTROL,
         {},
         0,
         kGenFailure,
         "chunk-size",
         chunk(37, 40)},
        {"tag-37 chunk of 61",
         plain,
         announced,
         IOCTL_QX_CONTROL,
         {},
         0,
         kOk,
         nullptr,
         chunk(37, 61)},
        {"tag-38 chunk of 0",
         plain,
         announced,
         IOCTL_QX_CONTROL,
         {},
         0,
         kGenFailure,
         "chunk-size",
         chunk(38, 0)},
        {"tag-38 chunk of 61",
         plain,
         announced,
         IOCTL_QX_CONTROL,
         {},
         0,
         kOk,
         nullptr,
         chunk(38, 61)},
        {"chunk that is no blob",
         plain,
         announced,
         IOCTL_QX_CONTROL,
         {},
         0,
         kGenFailure,
         "chunk-size",
         tlv({item_u8(38, 1)})},
        {"burst without a status answer",
         plain,
         begun,
         IOCTL_QX_CONTROL,
         {},
         0,
         kGenFailure,
         "burst-offset",
         chunk(38, 3)},
        {"burst in the same message as its query",
         plain,
         begun,
         IOCTL_QX_CONTROL,
         {},
         0,
         kGenFailure,
         "burst-offset",
         tlv({item_empty(34), item_blob(38, "abc")})},
        {"burst at a lagging offset",
         lag,
         [&](Wire &w) {
             one_burst(w);
             w.status();
         },
         IOCTL_QX_CONTROL,
         {},
         0,
         kGenFailure,
         "burst-offset",
         chunk(38, 3)},
        {"burst past the room",
         room_100,
         [&](Wire &w) {
             announced(w);
             w.send(chunk(37, 61));
         },
         IOCTL_QX_CONTROL,
         {},
         0,
         kGenFailure,
         "burst-room",
         chunk(38, 40)},
        {"burst up to the room",
         room_100,
         [&](Wire &w) {
             announced(w);
             w.send(chunk(37, 61));
         },
         IOCTL_QX_CONTROL,
         {},
         0,
         kOk,
         nullptr,
         chunk(38, 39)},
        {"second burst without a query",
         plain,
         one_burst,
         IOCTL_QX_CONTROL,
         {},
         0,
         kGenFailure,
         "burst-room",
         chunk(38, 1)},
        {"burst into room 0",
         room_zero,
         [&](Wire &w) {
             one_burst(w);
             w.status();
         },
         IOCTL_QX_CONTROL,
         {},
         0,
         kGenFailure,
         "burst-room",
         chunk(38, 1)},
        {"begin of 16 bits",
         plain,
         none,
         IOCTL_QX_CONTROL,
         {},
         0,
         kGenFailure,
         "begin-type",
         tlv({item_u16(33, 1000)})},
        {"write while busy", busy, none, IOCTL_QX_CONTROL, write_in(info), 0, kGenFailure,
         "write-busy"},
        {"write after a write", plain, [&](Wire &w) { w.raw_write(29, info); }, IOCTL_QX_CONTROL,
         write_in(info), 0, kGenFailure, "write-unready"},
        {"write after a write on the other pair", plain, [&](Wire &w) { w.raw_write(45, info); },
         IOCTL_QX_CONTROL, write_in(info), 0, kOk, nullptr},
        {"a busy answer is no ready read", busy_after,
         [&](Wire &w) {
             w.send(info);
             w.read();
         },
         IOCTL_QX_CONTROL, write_in(info), 0, kGenFailure, "write-unready"},
        {"a short answer is no ready read", short_reads,
         [&](Wire &w) {
             w.send(info);
             std::vector<uint8_t> out;
             uint32_t n;
             w.read_raw(30, out, 64, &n);
         },
         IOCTL_QX_CONTROL, write_in(info), 0, kGenFailure, "write-unready"},
        {"a retry after a refused write", fail_once, [&](Wire &w) { w.raw_write(29, info); },
         IOCTL_QX_CONTROL, write_in(info), 0, kOk, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QxSimDevice dev(c.config);
        Wire w{dev};
        c.before(w);
        ASSERT_EQ(0u, dev.stats().breaches);
        std::vector<uint8_t> in = c.in;
        if (in.empty()) {
            w.ready(30);
            in = write_in(c.message);
        }
        uint64_t writes = dev.stats().writes;
        std::vector<uint8_t> stored = dev.stored_image();
        uint8_t out[64];
        uint32_t n = 5;
        EXPECT_EQ(c.status, dev.ioctl(c.code, in.data(), in.size(), out, c.out_size, &n));
        if (!c.kind) {
            EXPECT_EQ(0u, dev.stats().breaches);
            continue;
        }
        EXPECT_EQ(0u, n);
        EXPECT_EQ(writes, dev.stats().writes);
        EXPECT_EQ(stored, dev.stored_image());
        EXPECT_EQ(1u, dev.stats().breaches);
        EXPECT_EQ((std::map<std::string, uint64_t>{{c.kind, 1}}), dev.breach_counts());
        ASSERT_EQ(1u, dev.breaches().size());
        EXPECT_EQ(dev.stats().calls, dev.breaches()[0].call);
    }
}

TEST(SimDeviceInput, GarbageMessagesAndBuffersNeverCrashOrPrint)
{
    OutputCapture cap;
    QxSimDevice dev;
    std::mt19937 rng(1234);
    std::vector<uint8_t> out(80);
    for (int i = 0; i < 3000; i++) {
        size_t len = rng() % 90;
        std::vector<uint8_t> in(len);
        for (auto &b : in)
            b = uint8_t(rng());
        uint32_t out_size = uint32_t(rng() % (out.size() + 1));
        if (len >= 16 && rng() % 2) {
            // Mostly sound calls, so that the message parser sees the garbage.
            uint8_t n = uint8_t(1 + rng() % 64);
            unsigned direction = rng() % 2;
            unsigned request = direction ? std::vector<unsigned>{28, 30, 46}[rng() % 3]
                                         : std::vector<unsigned>{29, 45}[rng() % 2];
            in.resize(direction ? 20 : usbdevs_write_size(n));
            std::memset(&in[0], 0, 16);
            in[0] = uint8_t(direction);
            in[4] = direction ? 0 : n;
            in[8] = 23;
            in[15] = uint8_t(request);
            std::fill(in.begin() + (direction ? 16 : 16 + n), in.end(), 0);
            if (direction)
                out_size = request == 28 ? 1 : 64;
        }
        uint32_t n = 0;
        dev.ioctl(IOCTL_QX_CONTROL, in.data(), in.size(), out.data(), out_size, &n);
        EXPECT_LE(n, out_size);
    }
    EXPECT_GT(dev.stats().writes, 100u);
    EXPECT_GT(dev.stats().breaches, 100u);
    EXPECT_EQ("", cap.text());
}

TEST(SimDeviceInput, BadTypeEndsTheMessageQuietly)
{
    OutputCapture cap;
    QxSimDevice dev;
    Wire w{dev};
    ASSERT_EQ(kOk, w.send({49, 1, 34, 9, 0, 0}));
    EXPECT_NE(nullptr, find(w.read(), 50)); // the item before it still counts
    EXPECT_TRUE(is_ready(w.read(), 1));
    EXPECT_EQ("", cap.text());
}

// --- backend ---

TEST(SimBackend, RoutesDeviceAccessToTheModel)
{
    OutputCapture cap;
    QxSimDevice dev;
    UsbdevsBackend b = qxsim_backend(&dev);
    usbdevs_set_backend(&b);

    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *entry = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &entry));
    ASSERT_EQ(&table[0], entry);
    char path[USBDEVS_PATH_UNITS];
    ASSERT_EQ(0, usbdevs_path_to_utf8(path, sizeof path, entry->path));
    EXPECT_EQ("\\\\?\\sim#qx-10_20#" + std::to_string(getpid()) + "\\global", std::string(path));
    uint16_t p[8];
    int status = -1;
    EXPECT_EQ(0, b.find(b.self, "other", p, 8, &status));
    EXPECT_EQ(0, b.find(b.self, USBDEVS_SERVICE, p, 8, &status)); // path does not fit
    EXPECT_NE(0, status);

    const uint8_t info[4] = {49, 1, 0, 0};
    ASSERT_EQ(0, usbdevs_write(entry, 29, 0, 0, 4, info));
    uint8_t answer[64];
    ASSERT_EQ(0, usbdevs_read(entry, 30, 0, 0, 64, answer));
    EXPECT_EQ(50, answer[0]);
    EXPECT_EQ(1u, dev.stats().writes);

    uint8_t in[20];
    usbdevs_build_read(in, 30, 0, 0);
    uint32_t returned = 9, error = 0;
    dev.unplug();
    EXPECT_EQ(USBDEVS_ERR_CALL,
              b.ioctl(b.self, entry->path, in, 20, answer, 64, &returned, &error));
    EXPECT_EQ(kNotConnected, error);
    EXPECT_EQ(0u, returned);
    EXPECT_EQ(1, usbdevs_read(entry, 30, 0, 0, 64, answer));
    EXPECT_NE(std::string::npos, cap.text().find("..\\qxtest\\usbdevs_win:222:ERROR"));

    dev.replug();
    EXPECT_EQ(USBDEVS_OK, b.ioctl(b.self, entry->path, in, 20, answer, 64, &returned, &error));
    EXPECT_EQ(64u, returned);
    usbdevs_set_backend(nullptr);
}

// Every command of the host, on both pairs, against a device that answers
// busy after each write and splits its status answers: nothing it does
// breaks the contract.
TEST(SimBackend, HostCommandsKeepTheContractOnBothPairs)
{
    VirtualClock clock;
    OutputCapture cap;
    QxSimConfig c;
    c.busy_after_write = 1;
    c.split_status_answer = 1;
    QxSimDevice dev(c);
    UsbdevsBackend b = qxsim_backend(&dev);
    usbdevs_set_backend(&b);
    QxCtl ctl = {};
    QxChannel ch = nullptr;
    qxctl_clear(&ctl);
    qxctl_init(&ctl);
    ASSERT_EQ(0, qxctl_open(&ctl, &ch));
    std::vector<uint8_t> image = qxsim_make_image("QX-20", 240, 3, 1000, 4);
    uint16_t u16;
    int16_t i16;
    uint32_t u32;
    uint8_t u8;
    char text[64];
    unsigned n;
    QxListEntry entries[1];
    EXPECT_EQ(0, qxctl_get_version(&ch, &u16));
    EXPECT_EQ(0, qxctl_get_build(&ch, &u16));
    EXPECT_EQ(0, qxctl_get_product(&ch, text, sizeof text, &n));
    EXPECT_EQ(0, qxctl_set_23(&ch, 1000));
    EXPECT_EQ(0, qxctl_get_24(&ch, &u32));
    EXPECT_EQ(0, qxctl_get_20(&ch, &u8));
    EXPECT_EQ(0, qxctl_set_131(&ch, 3, 1, 16));
    EXPECT_EQ(0, qxctl_get_value(&ch, 3, 1, &i16));
    EXPECT_EQ(0, qxctl_list_113(&ch, entries, 1, &n));
    EXPECT_EQ(0, qxctl_get_blob_28(&ch, text, sizeof text, &n));
    EXPECT_EQ(0, qxctl_read_debug_text(&ch, text, sizeof text, &n));
    EXPECT_EQ(0, qxctl_read_status(&ch, &u32));
    EXPECT_EQ(0, qxctl_get_version_alt(&ch, &i16));
    EXPECT_EQ(0, qxctl_get_build_alt(&ch, &i16));
    EXPECT_EQ(0, qxctl_get_checksum(&ch, 968, &u32));
    EXPECT_EQ(0, qxctl_get_checksum_alt(&ch, 968, &u32));
    EXPECT_EQ(0, qxctl_update_firmware(&ch, image.data(), uint32_t(image.size()), nullptr));
    // The alternate finish reads one answer per query, which a busy answer
    // would take every time.
    c.busy_after_write = 0;
    dev.set_config(c);
    EXPECT_EQ(0, qxctl_update_firmware_alt(&ch, image.data(), uint32_t(image.size()), nullptr));
    usbdevs_set_backend(nullptr);
    EXPECT_EQ(image, dev.firmware());
    EXPECT_EQ(2u, dev.stats().completed);
    EXPECT_EQ(0u, dev.stats().breaches);
    for (const QxSimBreach &br : dev.breaches())
        ADD_FAILURE() << "call " << br.call << ": " << br.kind << ": " << br.text;
}

TEST(SimDevice, ConcurrentCallersSeeWholeAnswers)
{
    QxSimDevice dev;
    auto worker = [&dev](unsigned write_code, unsigned read_code) {
        Wire w{dev};
        for (int i = 0; i < 300; i++) {
            ASSERT_EQ(kOk, w.write(write_code, tlv({item_empty(49)})));
            Answer a = w.read(read_code);
            ASSERT_EQ(3u, a.size());
            EXPECT_EQ(220u, a[0].value);
        }
    };
    std::thread t1(worker, 29, 30), t2(worker, 45, 46);
    t1.join();
    t2.join();
    EXPECT_EQ(1800u, dev.stats().calls); // a ready read, the request and its answer
    EXPECT_EQ(0u, dev.stats().breaches);
}

} // namespace
