// Device traces: the recording decorator, the process-wide trace behind
// every usbdevs call, and reading traces back for replay.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "qxsys.h"
#include "qxtrace_read.h"
#include "testkit.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace
{

class TempFile
{
  public:
    TempFile()
    {
        std::random_device rd;
        path_ =
            (fs::temp_directory_path() / ("qxtrace-" + std::to_string(rd()) + ".jsonl")).string();
    }
    ~TempFile()
    {
        std::error_code ec;
        fs::remove(path_, ec);
    }
    const char *c_str() const { return path_.c_str(); }
    std::string text() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::stringstream s(text());
        for (std::string l; std::getline(s, l);)
            out.push_back(l);
        return out;
    }
    void write(const std::string &text) const
    {
        std::ofstream out(path_, std::ios::binary);
        out << text;
    }

  private:
    std::string path_;
};

// A backend whose next answer the test sets; it records what it was asked.
struct FakeBackend {
    int result = USBDEVS_OK;
    uint32_t status = 0;
    Bytes answer;          // copied into the output buffer (cut to its size)
    uint32_t returned = 0; // reported count
    bool found = true;
    Bytes last_in;
    UsbdevsBackend backend;

    FakeBackend()
    {
        backend.init = nullptr;
        backend.find = [](void *self, const char *, uint16_t *path, size_t cap, int *status) {
            auto *f = static_cast<FakeBackend *>(self);
            if (!f->found)
                return 0;
            usbdevs_path_from_utf8(path, cap, "/run/qx/qx-10_20");
            if (status)
                *status = 0;
            return 1;
        };
        backend.ioctl = [](void *self, const uint16_t *, const uint8_t *in, uint32_t in_size,
                           uint8_t *out, uint32_t out_size, uint32_t *returned, uint32_t *error) {
            auto *f = static_cast<FakeBackend *>(self);
            f->last_in.assign(in, in + in_size);
            if (f->result != USBDEVS_OK) {
                *error = f->status;
                return f->result;
            }
            size_t n = f->answer.size() < out_size ? f->answer.size() : out_size;
            if (n)
                memcpy(out, f->answer.data(), n);
            *returned = f->returned;
            return (int)USBDEVS_OK;
        };
        backend.print_error = [](void *, uint32_t error) {
            qx_printf("error %u\n", (unsigned)error);
        };
        backend.self = this;
    }
};

Bytes read_request()
{
    Bytes in(USBDEVS_MIN_INPUT);
    usbdevs_build_read(in.data(), 30, 0, 0);
    return in;
}

TEST(QxTraceTap, RecordsEachCallAndPassesItsResultThrough)
{
    TempFile file;
    FakeBackend fake;
    QxTrace *trace = qxtrace_open(file.c_str(), "host");
    ASSERT_NE(nullptr, trace);
    QxTraceTap tap;
    qxtrace_tap(&tap, trace, &fake.backend);

    struct Row {
        const char *name;
        int result;
        uint32_t status;
        Bytes answer;
        uint32_t returned;
        uint32_t out_size;
        Bytes recorded_out; // what the trace must hold
    } rows[] = {
        {"full answer", USBDEVS_OK, 0, {0xa1, 0x02, 0x01}, 3, 3, {0xa1, 0x02, 0x01}},
        {"short answer", USBDEVS_OK, 0, {0x11, 0x22}, 2, 64, {0x11, 0x22}},
        // The peer sent more than asked: only out_size bytes reached the buffer.
        {"long answer", USBDEVS_OK, 0, {1, 2, 3, 4, 5}, 5, 2, {1, 2}},
        {"failed call", USBDEVS_ERR_CALL, 31, {}, 0, 64, {}},
        {"no device", USBDEVS_ERR_OPEN, 0, {}, 0, 64, {}},
    };
    Bytes in = read_request();
    for (const Row &row : rows) {
        fake.result = row.result;
        fake.status = row.status;
        fake.answer = row.answer;
        fake.returned = row.returned;
        uint8_t out[64] = {};
        uint32_t returned = 77, error = 77;
        int r = tap.backend.ioctl(tap.backend.self, nullptr, in.data(), (uint32_t)in.size(), out,
                                  row.out_size, &returned, &error);
        EXPECT_EQ(row.result, r) << row.name;
        EXPECT_EQ(in, fake.last_in) << row.name;
        if (row.result == USBDEVS_OK) {
            EXPECT_EQ(row.returned, returned) << row.name;
        }
        if (row.result == USBDEVS_ERR_CALL) {
            EXPECT_EQ(row.status, error) << row.name;
        }
    }
    qxtrace_close(trace);

    std::vector<QxTraceCall> calls;
    std::string err;
    ASSERT_EQ(0, qxtrace_load(file.c_str(), &calls, &err)) << err;
    ASSERT_EQ(std::size(rows), calls.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        const Row &row = rows[i];
        const QxTraceCall &c = calls[i];
        EXPECT_EQ(i + 1, c.seq) << row.name;
        EXPECT_EQ(IOCTL_QX_CONTROL, c.code) << row.name;
        EXPECT_EQ(in, c.in) << row.name;
        EXPECT_EQ(row.out_size, c.out_size) << row.name;
        EXPECT_EQ(row.result, c.result) << row.name;
        EXPECT_EQ(row.status, c.status) << row.name;
        EXPECT_EQ(row.result == USBDEVS_OK ? row.returned : 0u, c.returned) << row.name;
        EXPECT_EQ(row.recorded_out, c.out) << row.name;
        if (i) {
            EXPECT_GE(c.t_us, calls[i - 1].t_us) << row.name;
        }
    }
}

TEST(QxTraceTap, LinesAreReadableJsonWithHexBytes)
{
    TempFile file;
    FakeBackend fake;
    QxTrace *trace = qxtrace_open(file.c_str(), "device");
    ASSERT_NE(nullptr, trace);
    QxTraceTap tap;
    qxtrace_tap(&tap, trace, &fake.backend);
    uint16_t path[USBDEVS_PATH_UNITS];
    int status = 1;
    EXPECT_EQ(1, tap.backend.find(tap.backend.self, "qx-10_20", path, USBDEVS_PATH_UNITS, &status));
    EXPECT_EQ(0, status);
    fake.answer = {0xab, 0xcd};
    fake.returned = 2;
    Bytes in = read_request();
    uint8_t out[2];
    uint32_t returned = 0, error = 0;
    tap.backend.ioctl(tap.backend.self, path, in.data(), (uint32_t)in.size(), out, 2, &returned,
                      &error);
    qxtrace_close(trace);

    auto lines = file.lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("{\"op\":\"start\",\"format\":1,\"origin\":\"device\"}", lines[0]);
    EXPECT_NE(std::string::npos, lines[1].find("\"op\":\"find\""));
    EXPECT_NE(std::string::npos, lines[1].find("\"path\":\"/run/qx/qx-10_20\""));
    EXPECT_NE(std::string::npos, lines[2].find("\"request\":30"));
    EXPECT_NE(std::string::npos, lines[2].find("\"code\":2236416"));
    EXPECT_NE(std::string::npos,
              lines[2].find("\"in\":\"0100000000000000170000000000001e00000000\""));
    EXPECT_NE(std::string::npos, lines[2].find("\"out\":\"abcd\""));
}

TEST(QxTraceProcess, StartRecordsEveryUsbdevsCallUntilStop)
{
    ScriptedBackend dev;
    OutputCapture printed;
    TempFile file;
    ASSERT_EQ(0, qxtrace_start(file.c_str()));
    const uint8_t msg[3] = {0x31, 0x01, 0x00};
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *entry = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &entry));
    EXPECT_EQ(0, usbdevs_write(entry, 29, 0, 0, sizeof msg, msg));
    uint8_t answer[64];
    EXPECT_EQ(0, usbdevs_read(entry, 30, 0, 0, sizeof answer, answer));
    dev.fail(31);
    EXPECT_EQ(1, usbdevs_read(entry, 30, 0, 0, sizeof answer, answer));
    // The decorator keeps the failure's report intact.
    EXPECT_TRUE(printed.contains("..\\qxtest\\usbdevs_win:222:ERROR\n"));
    qxtrace_stop();
    // After the stop the calls still work but leave no trace.
    EXPECT_EQ(0, usbdevs_write(entry, 29, 0, 0, sizeof msg, msg));

    std::vector<QxTraceCall> calls;
    std::string err;
    ASSERT_EQ(0, qxtrace_load(file.c_str(), &calls, &err)) << err;
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(dev.calls[0].in, calls[0].in);
    EXPECT_EQ(20u, calls[0].in.size()); // a 3-byte write still sends 20 bytes
    EXPECT_EQ(0u, calls[0].out_size);
    EXPECT_EQ(64u, calls[1].out_size);
    EXPECT_EQ(Bytes(64, 0), calls[1].out);
    EXPECT_EQ(USBDEVS_ERR_CALL, calls[2].result);
    EXPECT_EQ(31u, calls[2].status);
    EXPECT_NE(std::string::npos, file.text().find("\"op\":\"find\""));
    EXPECT_EQ(4u, dev.calls.size());
}

TEST(QxTraceProcess, UncreatableFileRecordsNothing)
{
    ScriptedBackend dev;
    EXPECT_EQ(1, qxtrace_start("/nonexistent-dir/qx/trace.jsonl"));
    const UsbdevsBackend *b = usbdevs_backend();
    // No decorator in between: the calls reach the backend directly.
    EXPECT_EQ(b, qxtrace_wrap(b));
    qxtrace_stop();
    // The same for a trace of its own (qxsim --record), which must not touch
    // its freed lock on the way out.
    EXPECT_EQ(nullptr, qxtrace_open("/nonexistent-dir/qx/trace.jsonl", "device"));
}

TEST(QxTraceRead, RejectsLinesThatAreNotTraceLines)
{
    TempFile file;
    const std::string good =
        "{\"op\":\"ioctl\",\"seq\":1,\"t_us\":5,\"code\":2236416,\"in\":\"00\",\"out_size\":0,"
        "\"result\":0,\"status\":0,\"returned\":0,\"out\":\"\"}";
    struct Row {
        const char *name;
        std::string text;
        int ok;          // 0 = loads
        size_t calls;    // when it loads
        const char *err; // when it does not
    } rows[] = {
        {"one call", good + "\n", 0, 1, ""},
        {"no final newline", good, 0, 1, ""},
        {"crlf and blank lines", "\r\n" + good + "\r\n\n", 0, 1, ""},
        {"other ops skipped", "{\"op\":\"start\"}\n{\"op\":\"find\"}\n" + good, 0, 1, ""},
        {"not json", good + "\n{\"op\":\n", 1, 0, ":2: not a trace line"},
        {"odd hex",
         "{\"op\":\"ioctl\",\"seq\":1,\"t_us\":5,\"code\":1,\"in\":\"0\",\"out_size\":0,"
         "\"result\":0,\"status\":0,\"returned\":0,\"out\":\"\"}",
         1, 0, ":1: not a trace line"},
        {"negative size",
         "{\"op\":\"ioctl\",\"seq\":1,\"t_us\":5,\"code\":1,\"in\":\"\","
         "\"out_size\":-1,\"result\":0,\"status\":0,\"returned\":0,\"out\":\"\"}",
         1, 0, ":1: not a trace line"},
        {"unknown result",
         "{\"op\":\"ioctl\",\"seq\":1,\"t_us\":5,\"code\":1,\"in\":\"\","
         "\"out_size\":0,\"result\":9,\"status\":0,\"returned\":0,\"out\":\"\"}",
         1, 0, ":1: not a trace line"},
        {"missing field", "{\"op\":\"ioctl\",\"seq\":1}", 1, 0, ":1: not a trace line"},
        {"array", "[1,2]", 1, 0, ":1: not a trace line"},
    };
    for (const Row &row : rows) {
        file.write(row.text);
        std::vector<QxTraceCall> calls;
        std::string err;
        EXPECT_EQ(row.ok, qxtrace_load(file.c_str(), &calls, &err)) << row.name;
        if (row.ok == 0) {
            EXPECT_EQ(row.calls, calls.size()) << row.name;
        } else {
            EXPECT_NE(std::string::npos, err.find(row.err)) << row.name << ": " << err;
        }
    }
    std::string err;
    EXPECT_EQ(1, qxtrace_load("/nonexistent-dir/t.jsonl", nullptr, &err));
    EXPECT_NE(std::string::npos, err.find("cannot open"));
}

TEST(QxTraceRead, RequestComparisonNamesTheFirstDifference)
{
    QxTraceCall rec;
    rec.code = IOCTL_QX_CONTROL;
    rec.in = read_request();
    rec.out_size = 64;
    Bytes same = rec.in;
    Bytes other_byte = rec.in;
    other_byte[15] = 46;
    Bytes longer = rec.in;
    longer.push_back(0);
    struct Row {
        const char *name;
        uint32_t code;
        Bytes in;
        uint32_t out_size;
        bool same;
        const char *says;
    } rows[] = {
        {"identical", IOCTL_QX_CONTROL, same, 64, true, "the same request as recorded"},
        {"code", 0x222004, same, 64, false, "code 0x222004, recorded 0x222000"},
        {"output size", IOCTL_QX_CONTROL, same, 63, false, "output size 63, recorded 64"},
        {"byte", IOCTL_QX_CONTROL, other_byte, 64, false, "input byte 15 is 2e, recorded 1e"},
        {"length", IOCTL_QX_CONTROL, longer, 64, false, "input of 21 bytes, recorded 20"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(row.same, qxtrace_same_request(&rec, row.code, row.in.data(),
                                                 (uint32_t)row.in.size(), row.out_size))
            << row.name;
        std::string d = qxtrace_describe_difference(&rec, row.code, row.in.data(),
                                                    (uint32_t)row.in.size(), row.out_size);
        EXPECT_EQ(0u, d.find(row.says)) << row.name << ": " << d;
    }
    EXPECT_FALSE(qxtrace_same_request(nullptr, IOCTL_QX_CONTROL, same.data(), 20, 64));
    EXPECT_EQ("a call beyond the end of the recording",
              qxtrace_describe_difference(nullptr, IOCTL_QX_CONTROL, same.data(), 20, 64));
}

TEST(QxTraceRead, HexRoundTripAndBadDigits)
{
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = (uint8_t)i;
    Bytes back;
    ASSERT_EQ(0, qxtrace_unhex(qxtrace_hex(all.data(), all.size()), &back));
    EXPECT_EQ(all, back);
    EXPECT_EQ(0, qxtrace_unhex("ABcd", &back));
    EXPECT_EQ(Bytes({0xab, 0xcd}), back);
    for (const char *bad : {"a", "0g", "0 ", "-1", "\xff\xff"})
        EXPECT_EQ(1, qxtrace_unhex(bad, &back)) << bad;
}

} // namespace
