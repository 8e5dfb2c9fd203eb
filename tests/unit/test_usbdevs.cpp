// The shared device-access framing: input buffers, the exact-length rule,
// the diagnostic lines, probing and the control-interface path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qxsys.h"
#include "testkit.h"
#include "usbdevs.h"

namespace
{

const std::string kSrc = "..\\qxtest\\usbdevs_win:";

std::string line(int n)
{
    return kSrc + std::to_string(n) + ":ERROR\n";
}

std::vector<uint16_t> u16(const std::string &s)
{
    std::vector<uint16_t> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

std::string ascii(const uint16_t *p)
{
    std::string s;
    for (; *p; ++p)
        s.push_back((char)*p);
    return s;
}

// A backend that counts what it is asked and finds what the test says.
struct CountingBackend {
    int inits = 0;
    int finds = 0;
    int ioctls = 0;
    std::string last_service;
    // Path handed out by find, and how the copy behaves.
    std::vector<uint16_t> path;
    bool found = true;
    bool bounded_copy = true; // false: fills cap units without a terminator
    UsbdevsBackend backend;

    CountingBackend()
    {
        backend.init = [](void *self) {
            static_cast<CountingBackend *>(self)->inits++;
            return 0;
        };
        backend.find = &CountingBackend::find;
        backend.ioctl = [](void *self, const uint16_t *, const uint8_t *, uint32_t, uint8_t *,
                           uint32_t, uint32_t *returned, uint32_t *) {
            static_cast<CountingBackend *>(self)->ioctls++;
            *returned = 0;
            return (int)USBDEVS_OK;
        };
        backend.print_error = [](void *, uint32_t) {};
        backend.self = this;
        usbdevs_set_backend(&backend);
    }
    ~CountingBackend() { usbdevs_set_backend(nullptr); }

    static int find(void *self, const char *service, uint16_t *out, size_t cap, int *status)
    {
        auto *b = static_cast<CountingBackend *>(self);
        b->finds++;
        b->last_service = service ? service : "";
        if (!b->found)
            return 0;
        // Like a bounded string copy: as much as fits, then a failure status.
        size_t len = b->path.size() - 1;
        if (len < cap) {
            memcpy(out, b->path.data(), (len + 1) * sizeof(uint16_t));
            *status = 0;
        } else if (b->bounded_copy) {
            memcpy(out, b->path.data(), (cap - 1) * sizeof(uint16_t));
            out[cap - 1] = 0;
            *status = 1;
        } else {
            memcpy(out, b->path.data(), cap * sizeof(uint16_t));
            *status = 0; // claims success but leaves no terminator
        }
        return 1;
    }
};

} // namespace

struct WriteSizeCase {
    unsigned n;
    size_t in_size;
};

TEST(UsbdevsWrite, InputBufferIsHeaderPlusPayloadWithZeroTail)
{
    const WriteSizeCase cases[] = {{1, 20}, {2, 20}, {3, 20}, {4, 20}, {5, 21}, {61, 77}, {64, 80}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.n);
        ScriptedBackend sb;
        QxDevice dev = {};
        std::vector<uint8_t> data(c.n);
        for (unsigned i = 0; i < c.n; ++i)
            data[i] = (uint8_t)(0xa0 + i);
        ASSERT_EQ(0, usbdevs_write(&dev, 29, 0, 0, c.n, data.data()));
        ASSERT_EQ(1u, sb.calls.size());
        const IoCall &call = sb.calls[0];
        EXPECT_EQ(c.in_size, call.in.size());
        EXPECT_EQ(c.in_size, usbdevs_write_size(c.n));
        EXPECT_EQ(0u, call.out_size);
        EXPECT_EQ(data, std::vector<uint8_t>(call.in.begin() + 16, call.in.begin() + 16 + c.n));
        for (size_t i = 16 + c.n; i < call.in.size(); ++i)
            EXPECT_EQ(0, call.in[i]) << "tail byte " << i;
    }
}

TEST(UsbdevsWrite, HeaderBytesAreExact)
{
    ScriptedBackend sb;
    QxDevice dev = {};
    const uint8_t data[3] = {0x31, 0x01, 0x00};
    ASSERT_EQ(0, usbdevs_write(&dev, 29, 0x1234, 0xabcd, 3, data));
    ASSERT_EQ(1u, sb.calls.size());
    const std::vector<uint8_t> want = {0x00, 0x00, 0x00, 0x00, // direction: write
                                       0x03, 0x00, 0x00, 0x00, // length
                                       0x17, 0x00,             // kind 23
                                       0x34, 0x12,             // value
                                       0xcd, 0xab,             // index
                                       0x00,                   // reserved
                                       0x1d,                   // request 29
                                       0x31, 0x01, 0x00, 0x00};
    EXPECT_EQ(want, sb.calls[0].in);
}

TEST(UsbdevsWrite, LengthIsTakenAsSixteenBits)
{
    ScriptedBackend sb;
    OutputCapture out;
    QxDevice dev = {};
    std::vector<uint8_t> data(2, 0x55);
    // 0x10000 is 0 bytes; 0x10001 is one.
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 0x10000, data.data()));
    EXPECT_EQ(line(243), out.text());
    EXPECT_TRUE(sb.calls.empty());
    ASSERT_EQ(0, usbdevs_write(&dev, 29, 0, 0, 0x10001, data.data()));
    ASSERT_EQ(1u, sb.calls.size());
    EXPECT_EQ(20u, sb.calls[0].in.size());
    EXPECT_EQ(1u, sb.calls[0].payload().size());
}

TEST(UsbdevsWrite, RefusalsBeforeAnyCall)
{
    ScriptedBackend sb;
    OutputCapture out;
    QxDevice dev = {};
    const uint8_t data[1] = {1};
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 0, data));
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 4, nullptr));
    EXPECT_EQ(line(243) + line(244), out.text());
    EXPECT_TRUE(sb.calls.empty());
}

TEST(UsbdevsRead, SendsTwentyBytesAndDeliversTheAnswer)
{
    ScriptedBackend sb;
    QxDevice dev = {};
    sb.answer(tlv({item_u16(50, 220), item_u16(51, 50)}));
    uint8_t dst[64];
    memset(dst, 0xee, sizeof dst);
    ASSERT_EQ(0, usbdevs_read(&dev, 30, 0, 0, 64, dst));
    ASSERT_EQ(1u, sb.calls.size());
    const std::vector<uint8_t> want = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x17, 0x00,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x1e, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(want, sb.calls[0].in);
    EXPECT_EQ(64u, sb.calls[0].out_size);
    const uint8_t head[8] = {50, 3, 220, 0, 51, 3, 50, 0};
    EXPECT_EQ(0, memcmp(dst, head, sizeof head));
    EXPECT_EQ(0, dst[63]);
}

// The exact-length rule: a call succeeds only with exactly out_size bytes.
struct LengthCase {
    const char *name;
    bool write;
    unsigned n;
    size_t delivered;
};

TEST(UsbdevsFraming, ExactLengthRule)
{
    const LengthCase cases[] = {
        {"read 63 of 64", false, 64, 63},
        {"read 0 of 64", false, 64, 0},
        {"read 0 of 1", false, 1, 0},
        {"write answered with 1 byte", true, 8, 1},
        {"write answered with 64", true, 8, 64},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBackend sb;
        OutputCapture out;
        ScriptedBackend::Reply r;
        r.out.assign(c.delivered, 0x11);
        r.exact = c.write; // a write's reply hands out all its bytes
        sb.script.push_back(r);
        QxDevice dev = {};
        std::vector<uint8_t> buf(c.n, 0);
        int rc = c.write ? usbdevs_write(&dev, 29, 0, 0, c.n, buf.data())
                         : usbdevs_read(&dev, 30, 0, 0, c.n, buf.data());
        EXPECT_EQ(1, rc);
        EXPECT_EQ(line(228), out.text());
    }
}

TEST(UsbdevsFraming, CallFailurePrintsLineThenErrorReport)
{
    for (bool write : {true, false}) {
        SCOPED_TRACE(write ? "write" : "read");
        ScriptedBackend sb;
        OutputCapture out;
        sb.fail(USBDEVS_ERROR_GEN_FAILURE);
        QxDevice dev = {};
        uint8_t buf[64] = {1};
        int rc =
            write ? usbdevs_write(&dev, 29, 0, 0, 2, buf) : usbdevs_read(&dev, 30, 0, 0, 64, buf);
        EXPECT_EQ(1, rc);
        EXPECT_EQ(line(222) + kSrc + "35:GetLastError() = 0x1f\n", out.text());
    }
}

TEST(UsbdevsFraming, OpenFailureIsLine247ForWritesOnly)
{
    ScriptedBackend sb;
    OutputCapture out;
    ScriptedBackend::Reply open_failed;
    open_failed.result = USBDEVS_ERR_OPEN;
    sb.script.push_back(open_failed);
    sb.script.push_back(open_failed);
    QxDevice dev = {};
    uint8_t buf[64] = {1};
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 2, buf));
    EXPECT_EQ(line(247), out.text());
    out.clear();
    // The open has reported itself; a read adds nothing.
    EXPECT_EQ(1, usbdevs_read(&dev, 30, 0, 0, 64, buf));
    EXPECT_EQ("", out.text());
}

TEST(UsbdevsFraming, BackendOutOfMemoryIsLine258)
{
    ScriptedBackend sb;
    OutputCapture out;
    ScriptedBackend::Reply r;
    r.result = USBDEVS_ERR_NOMEM;
    sb.script.push_back(r);
    QxDevice dev = {};
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 4, buf));
    EXPECT_EQ(line(258), out.text());
}

TEST(UsbdevsFraming, ReadWithoutDestinationNeverReachesTheDevice)
{
    ScriptedBackend sb;
    OutputCapture out;
    QxDevice dev = {};
    EXPECT_EQ(1, usbdevs_read(&dev, 30, 0, 0, 64, nullptr));
    EXPECT_TRUE(sb.calls.empty());
    EXPECT_EQ(line(228), out.text());
}

TEST(UsbdevsProbe, OnlyDeviceZeroAndNeverTouchesTheBackendOtherwise)
{
    CountingBackend cb;
    cb.path = u16("\\\\?\\usb#vid_1234#5\\global");
    QxDevice table[QXCTL_MAX_DEVICES];
    usbdevs_clear(table);
    QxDevice *entry = nullptr;
    for (unsigned n = 1; n < QXCTL_MAX_DEVICES + 2; ++n)
        EXPECT_EQ(1, usbdevs_probe(table, n, &entry)) << n;
    EXPECT_EQ(0, cb.finds);
    EXPECT_EQ(nullptr, entry);

    ASSERT_EQ(0, usbdevs_probe(table, 0, &entry));
    EXPECT_EQ(&table[0], entry);
    EXPECT_EQ(1, cb.finds);
    EXPECT_EQ(USBDEVS_SERVICE, cb.last_service);
    EXPECT_EQ("\\\\?\\usb#vid_1234#5\\global", ascii(table[0].path));
    EXPECT_EQ(0, usbdevs_probe(table, 0, nullptr));

    cb.found = false;
    entry = nullptr;
    EXPECT_EQ(1, usbdevs_probe(table, 0, &entry));
    EXPECT_EQ(nullptr, entry);
    EXPECT_EQ(0, cb.ioctls);
}

TEST(UsbdevsFind, PathThatDoesNotFitCountsAsNotFound)
{
    for (bool bounded : {true, false}) {
        SCOPED_TRACE(bounded ? "copy reports failure" : "copy leaves no terminator");
        CountingBackend cb;
        cb.path = u16(std::string(300, 'p'));
        cb.bounded_copy = bounded;
        QxDevice table[QXCTL_MAX_DEVICES];
        usbdevs_clear(table);
        uint16_t path[USBDEVS_PATH_UNITS];
        int status = 0;
        EXPECT_EQ(0, usbdevs_find(USBDEVS_SERVICE, path, USBDEVS_PATH_UNITS, &status));
        EXPECT_NE(0, status);
        EXPECT_EQ(0, path[0]);
        QxDevice *entry = nullptr;
        EXPECT_EQ(1, usbdevs_probe(table, 0, &entry));
        EXPECT_EQ(nullptr, entry);
        EXPECT_EQ(0, table[0].path[0]);
    }
}

TEST(UsbdevsFind, LongestPathThatFitsIsFound)
{
    CountingBackend cb;
    cb.path = u16(std::string(USBDEVS_PATH_UNITS - 1, 'p'));
    QxDevice table[QXCTL_MAX_DEVICES];
    usbdevs_clear(table);
    QxDevice *entry = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &entry));
    EXPECT_EQ((size_t)USBDEVS_PATH_UNITS - 1, usbdevs_wcslen(table[0].path, USBDEVS_PATH_UNITS));
}

struct ControlPathCase {
    const char *name;
    std::string in;
    size_t cap;
    int rc;
    std::string out;
};

TEST(UsbdevsControlPath, Rewrites)
{
    const std::string ref = "\\qx-10_20";
    const std::string fits(USBDEVS_PATH_UNITS - 1 - ref.size(), 'a');
    const ControlPathCase cases[] = {
        {"reference string replaced", "\\\\?\\usb#vid_1234&pid_0001#5&1&0#{65e8773e}\\global",
         USBDEVS_PATH_UNITS, 0, "\\\\?\\usb#vid_1234&pid_0001#5&1&0#{65e8773e}\\qx-10_20"},
        {"only the last part goes", "a\\b\\c", USBDEVS_PATH_UNITS, 0, "a\\b\\qx-10_20"},
        {"trailing backslash", "dev\\", USBDEVS_PATH_UNITS, 0, "dev\\qx-10_20"},
        {"no backslash: appended whole", "devicepath", USBDEVS_PATH_UNITS, 0,
         "devicepath\\qx-10_20"},
        {"empty", "", USBDEVS_PATH_UNITS, 0, "\\qx-10_20"},
        {"just fits", fits, USBDEVS_PATH_UNITS, 0, fits + ref},
        {"one unit too long", fits + "a", USBDEVS_PATH_UNITS, 1, ""},
        {"cut still too long", fits + "a\\zzzz", USBDEVS_PATH_UNITS, 1, ""},
        {"cut part long", fits + "\\zzzzzzzzzzzzzzzzzzzz", USBDEVS_PATH_UNITS, 0, fits + ref},
        {"tiny buffer", "x", 10, 1, ""},
        {"tiny buffer that fits", "", 10, 0, "\\qx-10_20"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint16_t> in = u16(c.in);
        std::vector<uint16_t> out(c.cap, 0x7777);
        EXPECT_EQ(c.rc, usbdevs_control_path(in.data(), out.data(), c.cap));
        EXPECT_EQ(c.out, ascii(out.data()));
    }
}

TEST(UsbdevsControlPath, InPlace)
{
    std::vector<uint16_t> p = u16("a\\b\\global");
    p.resize(USBDEVS_PATH_UNITS, 0);
    ASSERT_EQ(0, usbdevs_control_path(p.data(), p.data(), p.size()));
    EXPECT_EQ("a\\b\\qx-10_20", ascii(p.data()));
}

TEST(UsbdevsText, Utf16Conversions)
{
    uint16_t w[16];
    char s[16];
    // U+00E9, U+20AC, U+1F600 (a surrogate pair).
    const char *text = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80!";
    ASSERT_EQ(0, usbdevs_path_from_utf8(w, 16, text));
    const uint16_t want[] = {0xe9, 0x20ac, 0xd83d, 0xde00, '!', 0};
    EXPECT_EQ(0, memcmp(w, want, sizeof want));
    EXPECT_EQ(5u, usbdevs_wcslen(w, 16));
    ASSERT_EQ(0, usbdevs_path_to_utf8(s, sizeof s, w));
    EXPECT_STREQ(text, s);

    // Exactly fits with its terminator; one more does not.
    EXPECT_EQ(0, usbdevs_path_from_utf8(w, 4, "abc"));
    EXPECT_EQ(1, usbdevs_path_from_utf8(w, 3, "abc"));
    EXPECT_EQ(0, w[0]);
    // A surrogate pair needs both units.
    EXPECT_EQ(1, usbdevs_path_from_utf8(w, 2, "\xf0\x9f\x98\x80"));
    const uint16_t euro[] = {0x20ac, 0};
    EXPECT_EQ(0, usbdevs_path_to_utf8(s, 4, euro));
    EXPECT_STREQ("\xe2\x82\xac", s);
    EXPECT_EQ(1, usbdevs_path_to_utf8(s, 3, euro));
    EXPECT_STREQ("", s);

    const char *bad[] = {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"};
    for (const char *b : bad)
        EXPECT_EQ(1, usbdevs_path_from_utf8(w, 16, b)) << (unsigned char)b[0];
    const uint16_t lone_high[] = {'a', 0xd800, 'b', 0};
    const uint16_t lone_low[] = {0xdc00, 0};
    EXPECT_EQ(1, usbdevs_path_to_utf8(s, sizeof s, lone_high));
    EXPECT_EQ(1, usbdevs_path_to_utf8(s, sizeof s, lone_low));
    EXPECT_EQ(3u, usbdevs_wcslen(lone_high, 2 + 1));
    EXPECT_EQ(2u, usbdevs_wcslen(lone_high, 2));

    // The same path whatever an entry holds after its NUL; a prefix is another.
    QxDevice a, b;
    memset(&a, 0, sizeof a);
    memset(&b, 0x55, sizeof b);
    usbdevs_path_from_utf8(a.path, USBDEVS_PATH_UNITS, "/qx/qx-10_20");
    usbdevs_path_from_utf8(b.path, USBDEVS_PATH_UNITS, "/qx/qx-10_20");
    EXPECT_EQ(1, usbdevs_same_path(a.path, b.path));
    usbdevs_path_from_utf8(b.path, USBDEVS_PATH_UNITS, "/qx/qx-10_20.2");
    EXPECT_EQ(0, usbdevs_same_path(a.path, b.path));
    EXPECT_EQ(0, usbdevs_same_path(b.path, a.path));
    EXPECT_EQ(0, usbdevs_same_path(a.path, nullptr));
    // An entry without its NUL names no path, not even its own.
    memset(&b, 0x55, sizeof b);
    EXPECT_EQ(0, usbdevs_same_path(b.path, b.path));

    // The same device: an empty or unterminated path is none. Here one
    // endpoint is one device, its key its path, which needs its room.
    uint16_t key[USBDEVS_PATH_UNITS];
    EXPECT_EQ(1, usbdevs_device_key(b.path, key, USBDEVS_PATH_UNITS));
    EXPECT_EQ(0, usbdevs_same_device(b.path, b.path));
#ifndef _WIN32
    EXPECT_EQ(1, usbdevs_device_key(a.path, key, 12));
    ASSERT_EQ(0, usbdevs_device_key(a.path, key, 13));
    EXPECT_EQ(1, usbdevs_same_path(a.path, key));
    EXPECT_EQ(1, usbdevs_same_device(a.path, key));
#endif
    usbdevs_path_from_utf8(b.path, USBDEVS_PATH_UNITS, "/qx/qx-10_20.2");
    EXPECT_EQ(0, usbdevs_same_device(a.path, b.path));
    EXPECT_EQ(0, usbdevs_same_device(b.path, a.path));
    EXPECT_EQ(0, usbdevs_same_device(a.path, nullptr));
    const uint16_t empty[1] = {0};
    EXPECT_EQ(0, usbdevs_same_device(empty, empty));
}

TEST(UsbdevsBackendSelection, NullRestoresThePlatformBackend)
{
    const UsbdevsBackend *platform = usbdevs_platform_backend();
    ASSERT_NE(nullptr, platform);
    EXPECT_EQ(platform, usbdevs_backend());
    {
        ScriptedBackend sb;
        EXPECT_NE(platform, usbdevs_backend());
    }
    EXPECT_EQ(platform, usbdevs_backend());
}

TEST(UsbdevsErrorReport, StartsWithTheSourceLineAndCode)
{
    OutputCapture out;
    usbdevs_print_error(USBDEVS_ERROR_DEVICE_NOT_CONNECTED);
    const std::string head = kSrc + "35:GetLastError() = 0x48f\n";
    ASSERT_GE(out.text().size(), head.size());
    EXPECT_EQ(head, out.text().substr(0, head.size()));
}
