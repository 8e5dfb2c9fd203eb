// TLV message codec.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qxmsg.h"
#include "testkit.h"

namespace
{

std::vector<uint8_t> bytes(const QxMsg &m, unsigned n)
{
    return {m.buf, m.buf + n};
}

struct Parsed {
    unsigned tag = 0xFFFF, type = 0xFFFF, size = 0xFFFF;
    uintptr_t value = 0xDEAD;
};

} // namespace

TEST(QxMsg, InitSetsFieldsWithoutClearing)
{
    uint8_t buf[8];
    memset(buf, 0xAA, sizeof buf);
    QxMsg m;
    m.pos = 5;
    EXPECT_EQ(0, qxmsg_init(&m, buf, sizeof buf));
    EXPECT_EQ(buf, m.buf);
    EXPECT_EQ(8, m.cap);
    EXPECT_EQ(0, m.pos);
    EXPECT_EQ(0xAA, buf[0]);
    m.pos = 3;
    EXPECT_EQ(0, qxmsg_rewind(&m));
    EXPECT_EQ(0, m.pos);
}

TEST(QxMsg, RoomForBlob)
{
    uint8_t buf[64] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    EXPECT_EQ(61u, qxmsg_room_for_blob(&m));
    m.pos = 61;
    EXPECT_EQ(0u, qxmsg_room_for_blob(&m));
    m.pos = 62;
    EXPECT_EQ(0u, qxmsg_room_for_blob(&m));
    m.pos = 64;
    EXPECT_EQ(0u, qxmsg_room_for_blob(&m));
}

TEST(QxMsg, EmptyItemAndEndMarkerIsFourBytes)
{
    uint8_t buf[64] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    ASSERT_EQ(0, qxmsg_put(&m, 49, QXMSG_EMPTY, 0, 0));
    ASSERT_EQ(0, qxmsg_put(&m, 0, QXMSG_END, 0, 0));
    EXPECT_EQ(4, m.pos);
    EXPECT_EQ((std::vector<uint8_t>{0x31, 0x01, 0x00, 0x00}), bytes(m, 4));
}

TEST(QxMsg, PutU32IsLittleEndian)
{
    uint8_t buf[64] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    ASSERT_EQ(0, qxmsg_put(&m, 0x27, QXMSG_U32, 1000, 0));
    EXPECT_EQ(6, m.pos);
    EXPECT_EQ((std::vector<uint8_t>{0x27, 0x04, 0xE8, 0x03, 0x00, 0x00}), bytes(m, 6));
}

TEST(QxMsg, PutU8AndU16TakeLowBits)
{
    uint8_t buf[64] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    ASSERT_EQ(0, qxmsg_put(&m, 1, QXMSG_U8, 0x1234, 0));
    ASSERT_EQ(0, qxmsg_put(&m, 2, QXMSG_U16, 0x123456, 0));
    EXPECT_EQ(7, m.pos);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 0x34, 2, 3, 0x56, 0x34}), bytes(m, 7));
}

TEST(QxMsg, PutBlobCopiesPayload)
{
    uint8_t buf[64] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    const char text[] = "QX-10";
    ASSERT_EQ(0, qxmsg_put(&m, 52, QXMSG_BLOB, (uintptr_t)text, 5));
    EXPECT_EQ(8, m.pos);
    EXPECT_EQ(item_blob(52, "QX-10"), bytes(m, 8));
}

TEST(QxMsg, ReserveHandsOutPayload)
{
    uint8_t buf[64] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    uint8_t *p = (uint8_t *)1;
    unsigned n = 99;
    ASSERT_EQ(0, qxmsg_reserve(&m, 7, QXMSG_EMPTY, 0, &p, &n));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(0u, n);
    ASSERT_EQ(0, qxmsg_reserve(&m, 8, QXMSG_U16, 0, &p, &n));
    EXPECT_EQ(buf + 4, p);
    EXPECT_EQ(2u, n);
    ASSERT_EQ(0, qxmsg_reserve(&m, 9, QXMSG_BLOB, 10, &p, &n));
    EXPECT_EQ(buf + 9, p);
    EXPECT_EQ(10u, n);
    EXPECT_EQ(19, m.pos);
    EXPECT_EQ(10, buf[8]);
    // Out-parameters may be null.
    EXPECT_EQ(0, qxmsg_reserve(&m, 9, QXMSG_U32, 0, nullptr, nullptr));
    EXPECT_EQ(25, m.pos);
}

TEST(QxMsg, TwoBytesOfRoom)
{
    OutputCapture out;
    uint8_t buf[8] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 8);
    m.pos = 6;
    EXPECT_EQ(1, qxmsg_put(&m, 5, QXMSG_U8, 1, 0));
    EXPECT_EQ("..\\qxtest\\qxmsg:84:ERROR\n", out.text());
    EXPECT_EQ(6, m.pos);
    EXPECT_EQ(1, qxmsg_put(&m, 5, QXMSG_U16, 1, 0));
    EXPECT_EQ(1, qxmsg_put(&m, 5, QXMSG_U32, 1, 0));
    EXPECT_EQ(1, out.count(":93:ERROR\n"));
    EXPECT_EQ(1, out.count(":102:ERROR\n"));
    EXPECT_EQ(6, m.pos);

    out.clear();
    EXPECT_EQ(0, qxmsg_put(&m, 5, QXMSG_EMPTY, 0, 0));
    EXPECT_EQ(8, m.pos);
    EXPECT_EQ(5, buf[6]);
    EXPECT_EQ(1, buf[7]);
    // Full: an end marker succeeds without writing, anything else fails quietly.
    EXPECT_EQ(0, qxmsg_put(&m, 0, QXMSG_END, 0, 0));
    EXPECT_EQ(1, qxmsg_put(&m, 5, QXMSG_EMPTY, 0, 0));
    EXPECT_EQ(1, qxmsg_put(&m, 5, QXMSG_U32, 7, 0));
    EXPECT_EQ(1, qxmsg_put(&m, 5, 9, 7, 0));
    EXPECT_EQ(8, m.pos);
    EXPECT_EQ("", out.text());
}

TEST(QxMsg, OneByteOfRoomIsFull)
{
    OutputCapture out;
    uint8_t buf[5] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 5);
    m.pos = 4;
    EXPECT_EQ(0, qxmsg_put(&m, 0, QXMSG_END, 0, 0));
    EXPECT_EQ(1, qxmsg_put(&m, 3, QXMSG_EMPTY, 0, 0));
    EXPECT_EQ(4, m.pos);
    EXPECT_EQ(0, buf[4]);
    EXPECT_EQ("", out.text());
}

TEST(QxMsg, BlobSizeZeroWithTwoBytesOfRoomFailsInBounds)
{
    OutputCapture out;
    // A guard byte behind the message's capacity must stay untouched.
    uint8_t buf[9];
    memset(buf, 0xEE, sizeof buf);
    QxMsg m;
    qxmsg_init(&m, buf, 8);
    m.pos = 6;
    uint8_t *p = (uint8_t *)1;
    unsigned n = 77;
    EXPECT_EQ(1, qxmsg_reserve(&m, 5, QXMSG_BLOB, 0, &p, &n));
    EXPECT_EQ(6, m.pos);
    EXPECT_EQ(0xEE, buf[6]);
    EXPECT_EQ(0xEE, buf[7]);
    EXPECT_EQ(0xEE, buf[8]);
    EXPECT_EQ(1, out.count("..\\qxtest\\qxmsg:115:ERROR\n"));
    EXPECT_EQ(1, qxmsg_put(&m, 5, QXMSG_BLOB, (uintptr_t) "abc", 0));
    EXPECT_EQ(6, m.pos);
    EXPECT_EQ(0xEE, buf[8]);
}

TEST(QxMsg, BlobSizeZeroTakesAllTheRoom)
{
    uint8_t buf[20] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 20);
    m.pos = 10;
    uint8_t *p = nullptr;
    unsigned n = 0;
    ASSERT_EQ(0, qxmsg_reserve(&m, 18, QXMSG_BLOB, 0, &p, &n));
    EXPECT_EQ(7u, n);
    EXPECT_EQ(7, buf[12]);
    EXPECT_EQ(buf + 13, p);
    EXPECT_EQ(20, m.pos);
}

TEST(QxMsg, BlobSizeZeroWithThreeBytesOfRoomIsEmptyBlob)
{
    uint8_t buf[10] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 10);
    m.pos = 7;
    unsigned n = 99;
    ASSERT_EQ(0, qxmsg_reserve(&m, 18, QXMSG_BLOB, 0, nullptr, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(10, m.pos);
    EXPECT_EQ(0, buf[9]);
}

TEST(QxMsg, BlobTooLargeFails)
{
    OutputCapture out;
    std::vector<uint8_t> big(300, 0x55);
    uint8_t buf[255] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 255);
    // 252 fits an empty 255-byte message exactly.
    EXPECT_EQ(0, qxmsg_put(&m, 1, QXMSG_BLOB, (uintptr_t)big.data(), QXMSG_MAX_BLOB));
    EXPECT_EQ(255, m.pos);
    qxmsg_rewind(&m);
    for (unsigned size : {253u, 254u, 255u, 256u, 1000u, 0xFFFFFFFFu, 0xFFFFFFFDu}) {
        out.clear();
        EXPECT_EQ(1, qxmsg_put(&m, 1, QXMSG_BLOB, (uintptr_t)big.data(), size)) << size;
        EXPECT_EQ(0, m.pos);
        EXPECT_EQ("..\\qxtest\\qxmsg:115:ERROR\n", out.text()) << size;
    }
    // One byte more than the room.
    uint8_t small[10] = {};
    qxmsg_init(&m, small, 10);
    EXPECT_EQ(1, qxmsg_put(&m, 1, QXMSG_BLOB, (uintptr_t)big.data(), 8));
    EXPECT_EQ(0, m.pos);
    EXPECT_EQ(0, qxmsg_put(&m, 1, QXMSG_BLOB, (uintptr_t)big.data(), 7));
    EXPECT_EQ(10, m.pos);
}

TEST(QxMsg, BadTypeAndTaggedEndMarker)
{
    OutputCapture out;
    uint8_t buf[16] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 16);
    EXPECT_EQ(1, qxmsg_put(&m, 1, 6, 0, 0));
    EXPECT_EQ("..\\qxtest\\qxmsg:64:ERROR\n", out.text());
    out.clear();
    EXPECT_EQ(1, qxmsg_put(&m, 1, QXMSG_END, 0, 0));
    EXPECT_EQ("..\\qxtest\\qxmsg:69:ERROR\n", out.text());
    EXPECT_EQ(0, m.pos);
    EXPECT_EQ(0, buf[0]);
}

TEST(QxMsg, ParseU16)
{
    uint8_t buf[64] = {0x50, 0x03, 0x34, 0x12};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    Parsed p;
    ASSERT_EQ(0, qxmsg_next(&m, &p.tag, &p.type, &p.value, &p.size));
    EXPECT_EQ(0x50u, p.tag);
    EXPECT_EQ((unsigned)QXMSG_U16, p.type);
    EXPECT_EQ(0x1234u, p.value);
    EXPECT_EQ(2u, p.size);
    EXPECT_EQ(4, m.pos);
    EXPECT_EQ(1, qxmsg_next(&m, &p.tag, &p.type, &p.value, &p.size));
    EXPECT_EQ(4, m.pos);
}

TEST(QxMsg, RoundTripAllTypes)
{
    uint8_t buf[64] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    ASSERT_EQ(0, qxmsg_put(&m, 1, QXMSG_EMPTY, 0, 0));
    ASSERT_EQ(0, qxmsg_put(&m, 2, QXMSG_U8, 0xAB, 0));
    ASSERT_EQ(0, qxmsg_put(&m, 3, QXMSG_U16, 0xBEEF, 0));
    ASSERT_EQ(0, qxmsg_put(&m, 4, QXMSG_U32, 0xCAFEF00D, 0));
    ASSERT_EQ(0, qxmsg_put(&m, 5, QXMSG_BLOB, (uintptr_t) "hi", 2));
    ASSERT_EQ(0, qxmsg_put(&m, 0, QXMSG_END, 0, 0));
    uint8_t end = m.pos;
    qxmsg_rewind(&m);

    Parsed p;
    ASSERT_EQ(0, qxmsg_next(&m, &p.tag, &p.type, &p.value, &p.size));
    EXPECT_EQ(1u, p.tag);
    EXPECT_EQ((unsigned)QXMSG_EMPTY, p.type);
    EXPECT_EQ(0u, p.value);
    EXPECT_EQ(0u, p.size);
    ASSERT_EQ(0, qxmsg_next(&m, &p.tag, &p.type, &p.value, &p.size));
    EXPECT_EQ(0xABu, p.value);
    EXPECT_EQ(1u, p.size);
    ASSERT_EQ(0, qxmsg_next(&m, &p.tag, &p.type, &p.value, &p.size));
    EXPECT_EQ(0xBEEFu, p.value);
    ASSERT_EQ(0, qxmsg_next(&m, &p.tag, &p.type, &p.value, &p.size));
    EXPECT_EQ(0xCAFEF00Du, p.value);
    EXPECT_EQ(4u, p.size);
    ASSERT_EQ(0, qxmsg_next(&m, &p.tag, &p.type, &p.value, &p.size));
    EXPECT_EQ(5u, p.tag);
    EXPECT_EQ((unsigned)QXMSG_BLOB, p.type);
    EXPECT_EQ(2u, p.size);
    EXPECT_EQ((uintptr_t)(buf + 18), p.value);
    EXPECT_EQ(0, memcmp((const void *)p.value, "hi", 2));
    // The end marker stays put.
    uint8_t at = m.pos;
    EXPECT_EQ(1, qxmsg_next(&m, &p.tag, &p.type, &p.value, &p.size));
    EXPECT_EQ(at, m.pos);
    EXPECT_EQ(1, qxmsg_next(&m, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(at, m.pos);
    EXPECT_EQ(end, at + 2);
}

TEST(QxMsg, ZeroFilledBufferHoldsNoItem)
{
    uint8_t buf[64] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    EXPECT_EQ(1, qxmsg_next(&m, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, m.pos);
}

TEST(QxMsg, EndMarkerWithTagStillEnds)
{
    uint8_t buf[8] = {7, 0, 1, 1};
    QxMsg m;
    qxmsg_init(&m, buf, 8);
    EXPECT_EQ(1, qxmsg_next(&m, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, m.pos);
}

TEST(QxMsg, BadTypeWhileParsingPrintsHex)
{
    OutputCapture out;
    uint8_t buf[64] = {0x10, 9};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    EXPECT_EQ(1, qxmsg_next(&m, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ("..\\qxtest\\qxmsg:177:ERROR 0x9\n", out.text());
    EXPECT_EQ(0, m.pos);
    out.clear();
    buf[1] = 0xFF;
    EXPECT_EQ(1, qxmsg_next(&m, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ("..\\qxtest\\qxmsg:177:ERROR 0xff\n", out.text());
}

TEST(QxMsg, TruncatedItemsYieldNothingQuietly)
{
    OutputCapture out;
    struct Case {
        std::vector<uint8_t> bytes;
    } cases[] = {
        {{1, QXMSG_U8}},
        {{1, QXMSG_U16, 0}},
        {{1, QXMSG_U32, 0, 0, 0}},
        {{1, QXMSG_BLOB}},
        {{1, QXMSG_BLOB, 3, 'a', 'b'}},
        {{1, QXMSG_BLOB, 255, 'a', 'b'}},
    };
    for (const auto &c : cases) {
        // Heap copy of exactly cap bytes, so sanitizers see any overread.
        std::vector<uint8_t> buf(c.bytes);
        QxMsg m;
        qxmsg_init(&m, buf.data(), (uint8_t)buf.size());
        Parsed p;
        EXPECT_EQ(1, qxmsg_next(&m, &p.tag, &p.type, &p.value, &p.size));
        EXPECT_EQ(0, m.pos);
        EXPECT_EQ(0xFFFFu, p.tag); // out-parameters untouched
    }
    EXPECT_EQ("", out.text());
}

TEST(QxMsg, BlobPointingPastCapLeavesPos)
{
    std::vector<uint8_t> buf = {1, QXMSG_EMPTY, 18, QXMSG_BLOB, 60, 'x', 'y', 'z'};
    QxMsg m;
    qxmsg_init(&m, buf.data(), (uint8_t)buf.size());
    ASSERT_EQ(0, qxmsg_next(&m, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(2, m.pos);
    EXPECT_EQ(1, qxmsg_next(&m, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(2, m.pos);
}

TEST(QxMsg, MessageFillingBufferEndsWithoutMarker)
{
    std::vector<uint8_t> buf = {1, QXMSG_U8, 5, 2, QXMSG_EMPTY, 3};
    QxMsg m;
    qxmsg_init(&m, buf.data(), (uint8_t)buf.size());
    unsigned tag = 0;
    ASSERT_EQ(0, qxmsg_next(&m, &tag, nullptr, nullptr, nullptr));
    EXPECT_EQ(1u, tag);
    ASSERT_EQ(0, qxmsg_next(&m, &tag, nullptr, nullptr, nullptr));
    EXPECT_EQ(2u, tag);
    EXPECT_EQ(5, m.pos);
    EXPECT_EQ(1, qxmsg_next(&m, &tag, nullptr, nullptr, nullptr));
    EXPECT_EQ(5, m.pos);
}

TEST(QxMsg, RepeatedTagsAreKeptInOrder)
{
    uint8_t buf[64] = {};
    QxMsg m;
    qxmsg_init(&m, buf, 64);
    for (unsigned v = 1; v <= 3; v++)
        ASSERT_EQ(0, qxmsg_put(&m, 161, QXMSG_U8, v, 0));
    qxmsg_rewind(&m);
    uintptr_t v = 0;
    for (unsigned want = 1; want <= 3; want++) {
        ASSERT_EQ(0, qxmsg_next(&m, nullptr, nullptr, &v, nullptr));
        EXPECT_EQ(want, v);
    }
}

TEST(QxMsg, PosBeyondCapNeverTouchesMemory)
{
    OutputCapture out;
    std::vector<uint8_t> buf(4, 0);
    QxMsg m;
    qxmsg_init(&m, buf.data(), 4);
    m.pos = 10; // broken invariant
    EXPECT_EQ(1, qxmsg_put(&m, 1, QXMSG_U32, 1, 0));
    EXPECT_EQ(1, qxmsg_next(&m, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, qxmsg_room_for_blob(&m));
    EXPECT_EQ(10, m.pos);
}

// Every byte pattern of a small buffer parses within bounds and terminates.
TEST(QxMsg, ArbitraryBytesParseWithinBounds)
{
    OutputCapture out;
    uint32_t state = 12345;
    for (int round = 0; round < 2000; round++) {
        size_t cap = 1 + round % 20;
        std::vector<uint8_t> buf(cap);
        for (auto &b : buf) {
            state = state * 1103515245u + 12345u;
            b = (uint8_t)(state >> 16);
            if ((round & 1) && (b & 0x80))
                b &= 0x05; // more valid type codes
        }
        QxMsg m;
        qxmsg_init(&m, buf.data(), (uint8_t)cap);
        unsigned type, size;
        uintptr_t value;
        int items = 0;
        while (qxmsg_next(&m, nullptr, &type, &value, &size) == 0) {
            ASSERT_LE(m.pos, cap);
            if (type == QXMSG_BLOB) {
                ASSERT_GE(value, (uintptr_t)buf.data());
                ASSERT_LE(value + size, (uintptr_t)(buf.data() + cap));
            }
            ASSERT_LT(++items, 20);
        }
    }
}
