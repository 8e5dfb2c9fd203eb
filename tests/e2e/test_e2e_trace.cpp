// Traces: a run recorded by qxtool (--trace, QX_TRACE) and by qxsim
// (--record) agree call by call, and qxsim --replay answers a recorded run
// so that the same command meets no difference, while another command is
// stopped at its first difference.
#include <sstream>

#include "e2e.h"
#include "qxtrace_read.h"

namespace
{

std::vector<QxTraceCall> load(const std::string &path)
{
    std::vector<QxTraceCall> calls;
    std::string why;
    EXPECT_EQ(0, qxtrace_load(path.c_str(), &calls, &why)) << why;
    return calls;
}

// The first `keep` calls of a trace, as a trace file of their own.
void truncate_trace(const std::string &from, const std::string &to, size_t keep)
{
    std::stringstream in(read_text_file(from));
    std::string out;
    size_t calls = 0;
    for (std::string line; std::getline(in, line);) {
        int kind = qxtrace_parse_line(line, nullptr);
        if (kind == 1 && calls++ >= keep)
            break;
        out += line + "\n";
    }
    write_text_file(to, out);
}

// Index of the n-th write (n from 1): a message sent to the device.
size_t nth_write(const std::vector<QxTraceCall> &calls, int n)
{
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].in.size() >= 16 && calls[i].in[0] == 0 && --n == 0)
            return i;
    return calls.size();
}

struct Trace : E2e {
    std::string fw;
    void SetUp() override { fw = image("fw.bin", "QX-20", 230, 57, 20000); }

    // qxsim --replay in a directory of its own, one qxtool run against it.
    ProcResult replay(const std::string &trace, const std::vector<std::string> &args,
                      ProcResult *daemon)
    {
        TempDir dir;
        SimDaemon d;
        EXPECT_TRUE(d.start(QXSIM_PATH, dir.path(), {"--replay", trace}));
        std::vector<std::string> argv = {QXTOOL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcResult r = proc_run(argv, {{"QX_DEVICE_DIR", dir.path().c_str()},
                                       {"QX_TEST_SLEEP_SCALE", E2E_SLEEP_SCALE}});
        *daemon = d.stop();
        return r;
    }
};

TEST_F(Trace, HostAndDeviceRecordTheSameCallsAndAReplayMeetsNoDifference)
{
    std::string host = work.file("host.jsonl");
    std::string device = work.file("device.jsonl");
    serve({"--record", device});
    ProcResult first = tool({"--trace", host, "update", "--yes", fw});
    ASSERT_EQ(0, first.status) << first.err;
    sim.stop();

    std::vector<QxTraceCall> h = load(host);
    std::vector<QxTraceCall> d = load(device);
    ASSERT_GT(h.size(), 100u);
    ASSERT_EQ(h.size(), d.size());
    for (size_t i = 0; i < h.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i + 1));
        EXPECT_EQ(i + 1, h[i].seq);
        EXPECT_EQ(h[i].code, d[i].code);
        EXPECT_EQ(h[i].in, d[i].in);
        EXPECT_EQ(h[i].out_size, d[i].out_size);
        EXPECT_EQ(h[i].status, d[i].status);
        EXPECT_EQ(h[i].out, d[i].out);
        if (::testing::Test::HasFailure())
            break;
    }

    ProcResult daemon;
    ProcResult again = replay(host, {"update", "--yes", fw}, &daemon);
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_EQ(first.out, again.out);
    EXPECT_EQ(0, daemon.status) << daemon.err;
    EXPECT_EQ("qxsim: replay: all " + std::to_string(h.size()) +
                  " recorded calls answered as recorded\n",
              daemon.err);
}

TEST_F(Trace, ReplayReportsTheFirstDifference)
{
    std::string host = work.file("host.jsonl");
    serve();
    ASSERT_EQ(0, tool({"--trace", host, "update", "--yes", fw}).status);
    std::vector<QxTraceCall> h = load(host);

    // Without the already-installed test the first checksum query asks for
    // the whole image instead of the check size: the fourth message.
    ProcResult daemon;
    ProcResult r = replay(host, {"update", "--yes", "--allow-reinstall", fw}, &daemon);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Cannot Get Hardware Checksum\n"
              "the device failed a request during the checksum query over 20,036 bytes: "
              "error 0x1f, the device reported a failure\n",
              r.err);
    EXPECT_EQ(3, daemon.status);
    size_t at = nth_write(h, 4);
    EXPECT_EQ(0u, daemon.err.find("qxsim: replay: call " + std::to_string(at + 1) +
                                  " differs from the recording: input byte "))
        << daemon.err;

    // A run that asks for less than the recording holds.
    r = replay(host, {"info"}, &daemon);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(3, daemon.status);
    EXPECT_NE(std::string::npos, daemon.err.find("qxsim: replay: only ")) << daemon.err;
}

// A recording cut short fails the device at the point where it ends: the
// version and build refusals, which no fault of the simulated device gives.
TEST_F(Trace, RecordingCutShortRefusesVersionAndBuild)
{
    std::string host = work.file("info.jsonl");
    serve();
    ASSERT_EQ(0, tool({"--trace", host, "info"}).status);
    std::vector<QxTraceCall> h = load(host);
    struct {
        int write; // the recording ends before this message
        const char *err;
    } const rows[] = {
        {2, "Cannot get connected hardware version\nthe device failed a request when asked for "
            "its version: error 0x1f, the device reported a failure\n"},
        {3, "Cannot get connected hardware build\nthe device failed a request when asked for "
            "its build: error 0x1f, the device reported a failure\n"},
    };
    for (const auto &row : rows) {
        std::string cut = work.file("cut" + std::to_string(row.write) + ".jsonl");
        truncate_trace(host, cut, nth_write(h, row.write));
        ProcResult daemon;
        ProcResult r = replay(cut, {"update", "--yes", fw}, &daemon);
        EXPECT_EQ(1, r.status) << row.err;
        EXPECT_EQ(row.err, r.err);
        EXPECT_NE(std::string::npos, daemon.err.find("a call beyond the end of the recording"))
            << daemon.err;
    }
}

TEST_F(Trace, EnvironmentVariableRecordsAnyRun)
{
    std::string path = work.file("env.jsonl");
    serve();
    ProcResult r = tool({"info"}, {{"QX_TRACE", path.c_str()}});
    ASSERT_EQ(0, r.status) << r.err;
    std::vector<QxTraceCall> calls = load(path);
    // Three info requests: product, version and build.
    EXPECT_EQ(nth_write(calls, 3) < calls.size(), true);
    EXPECT_EQ(calls.size(), nth_write(calls, 4));
    EXPECT_NE(std::string::npos, read_text_file(path).find("{\"op\":\"find\""));

    // --trace wins over the variable.
    std::string other = work.file("option.jsonl");
    r = tool({"--trace", other, "info"}, {{"QX_TRACE", path.c_str()}});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(calls.size(), load(other).size());
}

// A trace asked for through the variable that cannot be written is said,
// and the device is not addressed; commands that never reach the device
// leave the variable's file alone.
TEST_F(Trace, EnvironmentVariableNamingAnUncreatableFile)
{
    std::string rec = work.file("device.jsonl");
    serve({"--record", rec});
    std::string bad = work.file("no/such/dir/t.jsonl");
    for (const char *cmd : {"info", "checksum"}) {
        std::vector<std::string> args = {cmd};
        if (std::string(cmd) == "checksum")
            args.push_back("10");
        ProcResult r = tool(args, {{"QX_TRACE", bad.c_str()}});
        EXPECT_EQ(2, r.status) << cmd;
        EXPECT_EQ("qxtool: cannot create trace file " + bad +
                      " (QX_TRACE): No such file or directory\n",
                  r.err)
            << cmd;
        EXPECT_EQ("", r.out) << cmd;
    }
    ProcResult r = tool({"update", "--yes", fw}, {{"QX_TRACE", bad.c_str()}});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("qxtool: cannot create trace file " + bad +
                  " (QX_TRACE): No such file or directory\n",
              r.err);
    sim.stop();
    EXPECT_EQ(0u, load(rec).size());

    // A trace that loses its lines says why at the end, and the file keeps
    // what it held; a device is not a file to write a trace into.
    serve();
    std::string kept = work.file("kept.jsonl");
    write_text_file(kept, "an earlier run\n");
    file_limit_blocks = 2;
    r = tool({"--trace", kept, "info"});
    file_limit_blocks = 0;
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("qxtool: device calls were lost: cannot write trace file " + kept +
                  ": File too large\n",
              r.err);
    EXPECT_EQ("an earlier run\n", read_text_file(kept));
    r = tool({"--trace", "/dev/full", "info"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("qxtool: cannot create trace file /dev/full: a character device, not a regular "
              "file\n",
              r.err);
    sim.stop();

    EXPECT_EQ(0, tool({"verify", fw}, {{"QX_TRACE", kept.c_str()}}).status);
    EXPECT_EQ("an earlier run\n", read_text_file(kept));
}

TEST_F(Trace, ReplayRefusesAFileThatIsNotATrace)
{
    std::string bad = work.file("bad.jsonl");
    write_text_file(bad, "{\"op\":\"start\"}\nnot json\n");
    EXPECT_FALSE(sim.start(QXSIM_PATH, dev_dir.path(), {"--replay", bad}));
    EXPECT_EQ("qxsim: cannot replay: " + bad + ":2: not a trace line\n",
              read_text_file(dev_dir.file("qxsim.err")));
}

} // namespace
