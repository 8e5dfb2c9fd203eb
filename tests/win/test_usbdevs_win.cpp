// The Windows backend against a fake system (discovery, framing, the
// exact-length rule, the diagnostics, every handle and buffer given back),
// then against the real system calls of the running Windows (or Wine).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_win.h"
#include "qxlimits.h"
#include "qxwire.h"
#include "testkit.h"
#include "usbdevs.h"
#include "usbdevs_win.h"

namespace
{

const std::string kSrc = "..\\qxtest\\usbdevs_win";
const std::wstring kQx = L"qx-10_20";
const std::wstring kEntry =
    L"\\\\?\\usb#vid_1234&pid_0010#5&1#{65e8773e-8f56-11d0-a3b9-00a0c9223196}\\global";
const std::wstring kControl =
    L"\\\\?\\usb#vid_1234&pid_0010#5&1#{65e8773e-8f56-11d0-a3b9-00a0c9223196}\\qx-10_20";

// The interface paths of two devices, up to their reference strings.
const std::wstring kStem = L"\\\\?\\root#qxsim#0000#{65e8773e-8f56-11d0-a3b9-00a0c9223196}\\";
const std::wstring kStem2 = L"\\\\?\\ROOT#QXSIM#0001#{65e8773e-8f56-11d0-a3b9-00a0c9223196}\\";

std::string error_line(int line)
{
    return kSrc + ":" + std::to_string(line) + ":ERROR\n";
}
std::string report(const std::string &code)
{
    return kSrc + ":35:GetLastError() = " + code + "\n";
}

void set_path(QxDevice *dev, const std::wstring &p)
{
    memset(dev->path, 0, sizeof dev->path);
    for (size_t i = 0; i < p.size() && i + 1 < USBDEVS_PATH_UNITS; ++i)
        dev->path[i] = (uint16_t)p[i];
}

std::wstring wide(const uint16_t *p)
{
    std::wstring s;
    for (size_t i = 0; i < USBDEVS_PATH_UNITS && p[i]; ++i)
        s += (wchar_t)p[i];
    return s;
}

FakeDevice device(const std::wstring &service, std::vector<std::wstring> paths)
{
    FakeDevice d;
    d.service = service;
    for (auto &p : paths)
        d.interfaces.push_back(FakeInterface{p});
    return d;
}

class WinBackend : public ::testing::Test
{
  protected:
    FakeWin sys;
    OutputCapture out;
    QxDevice dev = {};

    void SetUp() override
    {
        usbdevs_win_forget_silence();
        set_path(&dev, kEntry);
        sys.texts = {
            {ERROR_GEN_FAILURE, L"A device attached to the system is not functioning.\r\n"},
            {ERROR_ACCESS_DENIED, L"Access is denied.\r\n"},
            {ERROR_SEM_TIMEOUT, L"The semaphore timeout period has expired.\r\n"}};
    }

    void TearDown() override
    {
        // Whatever path a call took, it gave back all it was handed.
        EXPECT_EQ(sys.sets, sys.sets_freed);
        EXPECT_EQ(sys.details, sys.details_freed);
        EXPECT_EQ(sys.handles, sys.handles_closed);
        EXPECT_EQ(sys.buffers, sys.buffers_freed);
        EXPECT_EQ(sys.error_texts, sys.error_texts_freed);
        EXPECT_EQ(0, sys.foreign_frees);
        EXPECT_EQ(0, sys.bad_detail_headers);
        EXPECT_EQ(0, sys.dirty_service_buffers);
    }

    // Runs the discovery for the service; returns the path found ("" for none).
    std::wstring find(const char *service, int *found, int *status = nullptr)
    {
        uint16_t path[USBDEVS_PATH_UNITS];
        memset(path, 0x55, sizeof path);
        *found = usbdevs_find(service, path, USBDEVS_PATH_UNITS, status);
        return wide(path);
    }
};

// --- framing ---

TEST_F(WinBackend, WriteSendsHeaderPayloadAndTwentyByteMinimum)
{
    const struct {
        unsigned n;
        size_t size;
    } cases[] = {{1, 20}, {2, 20}, {3, 20}, {4, 20}, {5, 21}, {61, 77}, {64, 80}};
    for (const auto &c : cases) {
        SCOPED_TRACE("n=" + std::to_string(c.n));
        sys.calls.clear();
        std::vector<uint8_t> data(c.n);
        for (unsigned i = 0; i < c.n; ++i)
            data[i] = (uint8_t)(0x80 + i);
        ASSERT_EQ(0, usbdevs_write(&dev, 29, 0x1234, 0xbeef, c.n, data.data()));
        ASSERT_EQ(1u, sys.calls.size());
        const FakeCall &call = sys.calls[0];
        EXPECT_EQ(0x222000u, call.code);
        EXPECT_EQ(0u, call.out_size);
        EXPECT_TRUE(call.in_own_buffer) << "a write travels in memory allocated for it";
        ASSERT_EQ(c.size, call.in.size());
        const std::vector<uint8_t> header = {0,    0, 0,    0,    (uint8_t)c.n, 0,    0, 0,
                                             0x17, 0, 0x34, 0x12, 0xef,         0xbe, 0, 29};
        EXPECT_EQ(header, std::vector<uint8_t>(call.in.begin(), call.in.begin() + 16));
        EXPECT_EQ(data, std::vector<uint8_t>(call.in.begin() + 16, call.in.begin() + 16 + c.n));
        for (size_t i = 16 + c.n; i < call.in.size(); ++i)
            EXPECT_EQ(0, call.in[i]) << "byte " << i << " behind the payload";
        EXPECT_EQ(kControl, sys.opened.back());
    }
    EXPECT_EQ("", out.text());
}

TEST_F(WinBackend, ReadSendsTwentyByteRequestAndTakesTheAnswer)
{
    const struct {
        unsigned request, n;
    } cases[] = {{28, 1}, {30, 64}, {46, 64}};
    sys.reply.resize(64);
    for (size_t i = 0; i < 64; ++i)
        sys.reply[i] = (uint8_t)(i * 3 + 1);
    for (const auto &c : cases) {
        SCOPED_TRACE("request " + std::to_string(c.request));
        sys.calls.clear();
        std::vector<uint8_t> dst(c.n, 0xee);
        ASSERT_EQ(0, usbdevs_read(&dev, c.request, 0x0102, 0x0304, c.n, dst.data()));
        ASSERT_EQ(1u, sys.calls.size());
        const std::vector<uint8_t> in = {
            1, 0, 0, 0, 0, 0, 0, 0, 0x17, 0, 2, 1, 4, 3, 0, (uint8_t)c.request, 0, 0, 0, 0};
        EXPECT_EQ(in, sys.calls[0].in);
        EXPECT_EQ(0x222000u, sys.calls[0].code);
        EXPECT_EQ(c.n, sys.calls[0].out_size);
        EXPECT_EQ(std::vector<uint8_t>(sys.reply.begin(), sys.reply.begin() + c.n), dst);
    }
    EXPECT_EQ(3, sys.handles);
    EXPECT_EQ("", out.text());
}

TEST_F(WinBackend, ExactLengthRuleAndFailedCalls)
{
    const std::string gen_failure =
        report("0x1f") + "A device attached to the system is not functioning.\r\n";
    const struct {
        const char *what;
        bool write;
        unsigned n;
        long long returned; // -1: exactly what was asked
        bool call_fails;
        int result;
        std::string text;
    } cases[] = {
        {"read answered in full", false, 64, -1, false, 0, ""},
        {"read one byte short", false, 64, 63, false, 1, error_line(228)},
        {"status read answered with nothing", false, 1, 0, false, 1, error_line(228)},
        {"write without output", true, 4, -1, false, 0, ""},
        {"write answered with output", true, 4, 1, false, 1, error_line(228)},
        {"read call fails", false, 64, -1, true, 1, error_line(222) + gen_failure},
        {"write call fails", true, 64, -1, true, 1, error_line(222) + gen_failure},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        out.clear();
        sys.reply_count = c.returned;
        sys.call_fails = c.call_fails;
        uint8_t buf[64] = {1, 2, 3, 4};
        int r = c.write ? usbdevs_write(&dev, 29, 0, 0, c.n, buf)
                        : usbdevs_read(&dev, 30, 0, 0, c.n, buf);
        EXPECT_EQ(c.result, r);
        EXPECT_EQ(c.text, out.text());
    }
}

// A driver that never completes a call: the call is cancelled at its bound
// and fails as unanswered (0x79); the device's later calls fail at once but
// for one probe a second with the short bound, until it answers again.
TEST_F(WinBackend, ACallThatNeverReturnsIsCancelledAtItsBound)
{
    const std::string timeout =
        error_line(222) + report("0x79") + "The semaphore timeout period has expired.\r\n";
    uint8_t buf[64] = {1, 2, 3, 4};
    sys.never_returns = true;
    EXPECT_EQ(1, usbdevs_read(&dev, 30, 0, 0, 64, buf));
    EXPECT_EQ((uint64_t)USBDEVS_WIN_CALL_BOUND_MS, sys.clock_ms.load()) << "not before, not after";
    EXPECT_EQ(1, sys.cancels.load());
    EXPECT_EQ(timeout, out.text());
    EXPECT_EQ(ERROR_SEM_TIMEOUT, usbdevs_last_error(nullptr));

    // Silent now: refused without a call until a probe interval has passed.
    const uint64_t t0 = sys.clock_ms;
    out.clear();
    sys.clock_ms = t0 + QXWIRE_PROBE_INTERVAL_MS - 1;
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 4, buf));
    EXPECT_EQ(1u, sys.calls.size());
    EXPECT_EQ(timeout, out.text());
    // Another device is not held up by it.
    QxDevice other = {};
    set_path(&other, L"\\\\?\\usb#vid_1234&pid_0010#5&2#{x}\\global");
    sys.never_returns = false;
    EXPECT_EQ(0, usbdevs_read(&other, 30, 0, 0, 64, buf));
    EXPECT_EQ(2u, sys.calls.size());

    // The probe: made, with the short bound.
    sys.never_returns = true;
    sys.clock_ms = t0 + QXWIRE_PROBE_INTERVAL_MS;
    EXPECT_EQ(1, usbdevs_read(&dev, 30, 0, 0, 64, buf));
    EXPECT_EQ(3u, sys.calls.size());
    EXPECT_EQ(t0 + QXWIRE_PROBE_INTERVAL_MS + QXWIRE_PROBE_TIMEOUT_MS, sys.clock_ms.load());
    // A probe answered: the device is no longer silent.
    sys.never_returns = false;
    sys.clock_ms += QXWIRE_PROBE_INTERVAL_MS;
    EXPECT_EQ(0, usbdevs_read(&dev, 30, 0, 0, 64, buf));
    EXPECT_EQ(0, usbdevs_read(&dev, 30, 0, 0, 64, buf));
    EXPECT_EQ(5u, sys.calls.size());
    EXPECT_EQ(2, sys.cancels.load());
}

TEST_F(WinBackend, WriteRefusesEmptyOrMissingDataWithoutOpening)
{
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 0, data));
    EXPECT_EQ(error_line(243), out.text());
    out.clear();
    // The length is taken as 16 bits: 0x10000 is 0.
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 0x10000, data));
    EXPECT_EQ(error_line(243), out.text());
    out.clear();
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 4, nullptr));
    EXPECT_EQ(error_line(244), out.text());
    EXPECT_TRUE(sys.opened.empty());
}

TEST_F(WinBackend, OpenFailureReportsTheSystemErrorThenStep199)
{
    sys.open_fails = true;
    const std::string open_failed = report("0x5") + "Access is denied.\r\nERROR : 199\n";
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 4, data));
    EXPECT_EQ(open_failed + error_line(247), out.text());
    out.clear();
    uint8_t dst[64];
    EXPECT_EQ(1, usbdevs_read(&dev, 30, 0, 0, 64, dst));
    EXPECT_EQ(open_failed, out.text()) << "a read adds nothing of its own";
    EXPECT_TRUE(sys.calls.empty());
    EXPECT_EQ(0, sys.buffers);
}

TEST_F(WinBackend, NoMemoryForTheWriteBufferClosesTheHandle)
{
    sys.buffer_fails = true;
    const uint8_t data[8] = {};
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 8, data));
    EXPECT_EQ(error_line(258), out.text());
    EXPECT_EQ(1, sys.handles);
    EXPECT_TRUE(sys.calls.empty());
}

TEST_F(WinBackend, ControlPathReplacesTheLastComponent)
{
    const struct {
        std::wstring entry, opened;
    } cases[] = {
        {kEntry, kControl},           {L"\\\\?\\a\\b\\c", L"\\\\?\\a\\b\\qx-10_20"},
        {L"dev\\", L"dev\\qx-10_20"}, {L"noslash", L"noslash\\qx-10_20"},
        {L"", L"\\qx-10_20"},
    };
    for (const auto &c : cases) {
        set_path(&dev, c.entry);
        uint8_t byte = 0;
        EXPECT_EQ(0, usbdevs_read(&dev, 28, 0, 0, 1, &byte));
        EXPECT_EQ(c.opened, sys.opened.back());
    }
    EXPECT_EQ("", out.text());
}

TEST_F(WinBackend, ControlPathTooLongIsNotOpened)
{
    // 258 units without a backslash leave no room for "\qx-10_20".
    set_path(&dev, std::wstring(258, L'a'));
    uint8_t byte = 0;
    EXPECT_EQ(1, usbdevs_read(&dev, 28, 0, 0, 1, &byte));
    EXPECT_EQ(report("0xce") + "ERROR : 199\n", out.text());
    EXPECT_TRUE(sys.opened.empty());
}

// --- discovery ---

TEST_F(WinBackend, DiscoveryAsksForPresentRenderInterfacesAndReadsServiceNames)
{
    sys.devices = {device(L"usbaudio", {L"\\\\?\\a\\global"}), device(kQx, {kEntry})};
    int found = 0;
    EXPECT_EQ(kEntry, find("qx-10_20", &found));
    EXPECT_EQ(1, found);
    const GUID render = {
        0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
    EXPECT_EQ(0, memcmp(&render, &sys.set_class, sizeof render));
    EXPECT_EQ(0x12u, sys.set_flags);
    EXPECT_EQ(std::vector<DWORD>(2, 254), sys.service_sizes);
    EXPECT_EQ(1, sys.sets_freed);
}

TEST_F(WinBackend, DiscoveryMatchesServiceExactlyAndTheLastMatchWins)
{
    const struct {
        const char *what;
        std::vector<FakeDevice> devices;
        std::wstring path; // empty: not found
        std::string text;
        std::vector<std::wstring> list; // every match, in enumeration order
    } cases[] = {
        {"the only device has another service",
         {device(L"usbaudio", {L"\\\\?\\a\\x"})},
         L"",
         "",
         {}},
        {"near names and other cases never match",
         {device(L"QX-10_20", {L"A"}), device(L"Qx-10_20", {L"B"}), device(L"qx-10_2", {L"C"}),
          device(L"qx-10_20x", {L"D"}), device(L"qx-10_20 ", {L"E"}), device(L"", {L"F"})},
         L"",
         "",
         {}},
        {"a service name filling its buffer",
         {device(std::wstring(126, L'q'), {L"A"})},
         L"",
         "",
         {}},
        {"matching device without interfaces", {device(kQx, {})}, L"", "", {}},
        {"last interface of the last matching device",
         {device(kQx, {L"b1", L"b2"}), device(L"usbaudio", {L"c"}), device(kQx, {L"d1", L"d2"}),
          device(L"HdAudAddService", {L"e"})},
         L"d2",
         "",
         {L"b1", L"b2", L"d1", L"d2"}},
        {"one device's three render interfaces are one device, listed by its last",
         {device(kQx, {kStem + L"qx-10_20", kStem + L"wave2", kStem + L"WAVE3"})},
         kStem + L"WAVE3",
         "",
         {kStem + L"WAVE3"}},
        {"two such devices are two, in the order of their first interfaces",
         {device(kQx, {kStem2 + L"wave2", kStem2 + L"qx-10_20"}),
          device(kQx, {kStem + L"qx-10_20", kStem + L"wave2", kStem + L"wave3"}),
          device(L"usbaudio", {kStem2 + L"other"})},
         kStem + L"wave3",
         "",
         {kStem2 + L"qx-10_20", kStem + L"wave3"}},
        {"an unreadable service name never matches, the search goes on",
         {FakeDevice{kQx, true, {FakeInterface{L"x"}}}, device(kQx, {L"y"})},
         L"y",
         "ERROR : 93\n",
         {L"y"}},
        {"the last device unreadable: the earlier match stays",
         {device(kQx, {L"y"}), FakeDevice{kQx, true, {FakeInterface{L"x"}}}},
         L"y",
         "ERROR : 93\n",
         {L"y"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        out.clear();
        sys.devices = c.devices;
        int found = -1;
        EXPECT_EQ(c.path, find(USBDEVS_SERVICE, &found));
        EXPECT_EQ(c.path.empty() ? 0 : 1, found);
        EXPECT_EQ(c.text, out.text());
        out.clear();
        QxDevice list[QXCTL_MAX_DEVICES];
        unsigned n = usbdevs_list(list, QXCTL_MAX_DEVICES);
        std::vector<std::wstring> got;
        for (unsigned i = 0; i < n; ++i)
            got.push_back(wide(list[i].path));
        EXPECT_EQ(c.list, got);
        EXPECT_EQ(c.text, out.text()) << "the list walks the same steps";
    }
    // No more than the room given, the first ones first.
    sys.devices = {device(kQx, {L"b1", L"b2"}), device(kQx, {L"d1"})};
    QxDevice two[2];
    ASSERT_EQ(2u, usbdevs_list(two, 2));
    EXPECT_EQ(L"b1", wide(two[0].path));
    EXPECT_EQ(L"b2", wide(two[1].path));
}

TEST_F(WinBackend, DiscoveryGoesOnAfterEachFailingStep)
{
    FakeInterface no_size{L"s"}, too_small{L"t"}, no_memory{L"m"}, no_detail{L"d"};
    no_size.no_size = true;
    too_small.size_override = 4; // less than the record's fixed part
    no_memory.alloc_fails = true;
    no_detail.detail_fails = true;
    const struct {
        const char *what;
        std::vector<FakeInterface> interfaces;
        std::wstring path;
        std::string text;
    } cases[] = {
        {"detail size 0", {no_size, FakeInterface{L"ok"}}, L"ok", "ERROR : 128\n"},
        {"detail size below the fixed part",
         {too_small, FakeInterface{L"ok"}},
         L"ok",
         "ERROR : 128\n"},
        {"no memory for the detail", {no_memory, FakeInterface{L"ok"}}, L"ok", "ERROR : 134\n"},
        {"detail fetch fails", {no_detail, FakeInterface{L"ok"}}, L"ok", "ERROR : 146\n"},
        {"a failure after the match keeps it",
         {FakeInterface{L"ok"}, no_detail},
         L"ok",
         "ERROR : 146\n"},
        {"every interface fails",
         {no_size, no_memory, no_detail},
         L"",
         "ERROR : 128\nERROR : 134\nERROR : 146\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        out.clear();
        sys.devices = {device(L"usbaudio", {L"other"}), FakeDevice{kQx, false, c.interfaces}};
        int found = -1;
        EXPECT_EQ(c.path, find(USBDEVS_SERVICE, &found));
        EXPECT_EQ(c.path.empty() ? 0 : 1, found);
        EXPECT_EQ(c.text, out.text());
    }

    // All of them in one search, ahead of the device that matches.
    out.clear();
    sys.devices = {FakeDevice{kQx, true, {FakeInterface{L"x"}}},
                   FakeDevice{kQx, false, {no_size, no_memory, no_detail}}, device(kQx, {L"last"})};
    int found = 0;
    EXPECT_EQ(L"last", find(USBDEVS_SERVICE, &found));
    EXPECT_EQ(1, found);
    EXPECT_EQ("ERROR : 93\nERROR : 128\nERROR : 134\nERROR : 146\n", out.text());
}

TEST_F(WinBackend, DiscoveryWithoutTheDeviceSetStopsAtStep72)
{
    sys.set_fails = true;
    sys.devices = {device(kQx, {kEntry})};
    int found = -1;
    EXPECT_EQ(L"", find(USBDEVS_SERVICE, &found));
    EXPECT_EQ(0, found);
    EXPECT_EQ("ERROR : 72\n", out.text());
    EXPECT_EQ(0, sys.sets_freed);
    QxDevice list[QXCTL_MAX_DEVICES];
    EXPECT_EQ(0u, usbdevs_list(list, QXCTL_MAX_DEVICES));
}

TEST_F(WinBackend, NoServiceNameMatchesNothing)
{
    sys.devices = {device(L"", {L"a"}), FakeDevice{L"", true, {FakeInterface{L"b"}}},
                   device(kQx, {L"c"})};
    int found = -1;
    uint16_t path[USBDEVS_PATH_UNITS] = {'x', 0};
    EXPECT_EQ(0, usbdevs_find(nullptr, path, USBDEVS_PATH_UNITS, nullptr));
    EXPECT_EQ(L"", find("", &found));
    EXPECT_EQ(0, found);
}

TEST_F(WinBackend, PathLongerThanAnEntryIsNotFound)
{
    const struct {
        size_t units;
        bool found;
    } cases[] = {{258, true}, {259, true}, {260, false}, {400, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE("path of " + std::to_string(c.units) + " units");
        std::wstring p(c.units, L'p');
        sys.devices = {device(kQx, {p})};
        int found = -1, status = -1;
        std::wstring got = find(USBDEVS_SERVICE, &found, &status);
        EXPECT_EQ(c.found ? 1 : 0, found);
        EXPECT_EQ(c.found ? p : L"", got);
        if (c.found)
            EXPECT_EQ(0, status);
        else
            EXPECT_NE(0, status) << "the failed copy is reported";
    }

    // A match whose path does not fit hides no earlier one behind a stale path.
    sys.devices = {device(kQx, {L"short"}), device(kQx, {std::wstring(300, L'p')})};
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *entry = nullptr;
    EXPECT_EQ(1, usbdevs_probe(table, 0, &entry));
    EXPECT_EQ(nullptr, entry);
    EXPECT_EQ(L"", wide(table[0].path));
    // The list leaves that one out and keeps the one that fits.
    ASSERT_EQ(1u, usbdevs_list(table, QXCTL_MAX_DEVICES));
    EXPECT_EQ(L"short", wide(table[0].path));
}

TEST_F(WinBackend, UnterminatedDetailPathIsNotFound)
{
    // The size the system reports for the detail record, in path units
    // after its fixed part: a path that fills the record exactly, with no
    // room for its terminator, is as cut short as one it does not hold.
    const std::wstring p = L"\\\\?\\long#path\\global";
    const struct {
        const char *name;
        size_t bytes; // after the fixed part
        bool found;
    } cases[] = {
        {"path and terminator", (p.size() + 1) * sizeof(wchar_t), true},
        {"a unit to spare", (p.size() + 2) * sizeof(wchar_t), true},
        {"half a unit short", (p.size() + 1) * sizeof(wchar_t) - 1, false},
        {"the path fills it exactly", p.size() * sizeof(wchar_t), false},
        {"six units", 6 * sizeof(wchar_t), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FakeInterface ifc{p};
        ifc.size_override =
            (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + c.bytes);
        sys.devices = {FakeDevice{kQx, false, {ifc}}};
        int found = -1, status = -1;
        std::wstring got = find(USBDEVS_SERVICE, &found, &status);
        EXPECT_EQ(c.found ? p : L"", got);
        EXPECT_EQ(c.found ? 1 : 0, found);
        EXPECT_EQ(c.found ? 0 : 1, status);
    }
}

TEST_F(WinBackend, ProbeFillsEntryZeroOnly)
{
    sys.devices = {device(kQx, {kEntry})};
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *entry = nullptr;
    EXPECT_EQ(1, usbdevs_probe(table, 1, &entry));
    EXPECT_EQ(0, sys.sets) << "device 1 does not exist: the system is not asked";
    EXPECT_EQ(0, usbdevs_probe(table, 0, &entry));
    EXPECT_EQ(&table[0], entry);
    EXPECT_EQ(kEntry, wide(table[0].path));
    EXPECT_EQ(0, usbdevs_init());
}

// --- the last-error report ---

TEST_F(WinBackend, ErrorReportPrintsCodeAndSystemText)
{
    const struct {
        uint32_t code;
        std::string text;
    } cases[] = {
        {ERROR_GEN_FAILURE,
         report("0x1f") + "A device attached to the system is not functioning.\r\n"},
        {ERROR_INVALID_PARAMETER, report("0x57")}, // no text: nothing further
        {0, report("0")},
    };
    for (const auto &c : cases) {
        out.clear();
        usbdevs_print_error(c.code);
        EXPECT_EQ(c.text, out.text());
    }
    EXPECT_EQ(1, sys.error_texts);

    out.clear();
    sys.last_error = ERROR_ACCESS_DENIED;
    usbdevs_print_last_error();
    EXPECT_EQ(report("0x5") + "Access is denied.\r\n", out.text());
}

// --- the real system ---

class RealSystem : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        usbdevs_win_set_api(nullptr);
        usbdevs_set_backend(nullptr);
    }
    OutputCapture out;
};

TEST_F(RealSystem, DiscoveryFindsNoDevice)
{
    uint16_t path[USBDEVS_PATH_UNITS] = {'x', 0};
    int status = -1;
    EXPECT_EQ(0, usbdevs_find(USBDEVS_SERVICE, path, USBDEVS_PATH_UNITS, &status));
    EXPECT_EQ(0, path[0]);
    EXPECT_EQ(0u, out.count("ERROR : 72")) << out.text();
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *entry = nullptr;
    EXPECT_EQ(1, usbdevs_probe(table, 0, &entry));
    EXPECT_EQ(nullptr, entry);
}

TEST_F(RealSystem, LastErrorReportCarriesTheSystemText)
{
    SetLastError(ERROR_FILE_NOT_FOUND);
    usbdevs_print_last_error();
    const std::string head = report("0x2");
    const std::string &text = out.text();
    ASSERT_EQ(head, text.substr(0, head.size()));
    const std::string rest = text.substr(head.size());
    EXPECT_GT(rest.size(), 2u) << "the system's own text follows";
    EXPECT_EQ('\n', rest.back());
}

TEST_F(RealSystem, MissingControlInterfaceFailsTheOpen)
{
    QxDevice dev = {};
    set_path(&dev, L"C:\\windows\\global"); // opens C:\windows\qx-10_20
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 4, data));
    EXPECT_EQ(0, out.text().rfind(report("0x2"), 0)) << out.text();
    EXPECT_EQ(1u, out.count("ERROR : 199\n"));
    EXPECT_EQ(1u, out.count(error_line(247)));
}

TEST_F(RealSystem, CallOnSomethingElseFailsAndClosesItsHandle)
{
    // A plain file named like the control interface: it opens, but refuses
    // the driver's I/O-control code.
    wchar_t tmp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, tmp));
    std::wstring dir = std::wstring(tmp) + L"qx-win-test-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    std::wstring file = dir + L"\\qx-10_20";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);

    QxDevice dev = {};
    set_path(&dev, dir + L"\\global");
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 4, data));
    uint8_t dst[64];
    EXPECT_EQ(1, usbdevs_read(&dev, 30, 0, 0, 64, dst));
    EXPECT_EQ(2u, out.count(error_line(222))) << out.text();
    EXPECT_EQ(2u, out.count(kSrc + ":35:GetLastError() = 0x"));
    EXPECT_EQ(0u, out.count("ERROR : 199"));

    // Opened without delete sharing: this fails while a handle is left open.
    EXPECT_TRUE(DeleteFileW(file.c_str())) << GetLastError();
    EXPECT_TRUE(RemoveDirectoryW(dir.c_str()));
}

} // namespace
