// qxtool update on a terminal of its own (a pseudo-terminal): the question
// and its answers, the progress bar within the terminal's width, and Ctrl+C
// in the middle of a transfer.
#include <termios.h>

#include "e2e.h"

namespace
{

struct Terminal : E2e {
    PtyResult run(const std::vector<std::string> &args, unsigned short columns,
                  const std::string &input, const std::string &type_on = "",
                  const std::string &device_dir = "")
    {
        std::vector<std::string> argv = {QXTOOL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string &dir = device_dir.empty() ? dev_dir.path() : device_dir;
        return proc_run_pty(
            argv, {{"QX_DEVICE_DIR", dir.c_str()}, {"QX_TEST_SLEEP_SCALE", E2E_SLEEP_SCALE}}, 60,
            columns, input, type_on);
    }
};

// The pieces of terminal output between carriage returns and newlines: what
// each write left on one screen line.
std::vector<std::string> screen_pieces(const std::string &out)
{
    std::vector<std::string> pieces(1);
    for (char c : out) {
        if (c == '\r' || c == '\n')
            pieces.emplace_back();
        else
            pieces.back().push_back(c);
    }
    return pieces;
}

TEST_F(Terminal, AsksAndTakesOnlyYes)
{
    std::string fw = image("fw.bin", "QX-20", 230, 57);
    struct {
        const char *typed;
        int status;
        const char *shown; // after the question
    } const rows[] = {
        {"y\n", 0, "Update the device? [y/N] y\r\nPreparing...\r\n"},
        {"YES\n", 0, "Update the device? [y/N] YES\r\nPreparing...\r\n"},
        {"n\n", 3, "Update the device? [y/N] n\r\nCancelled.\r\n"},
        {"\n", 3, "Update the device? [y/N] \r\nCancelled.\r\n"},
        {"yess\n", 3, "Update the device? [y/N] yess\r\nCancelled.\r\n"},
        // Ctrl+D: the answer is no, on a line of its own.
        {"\x04", 3, "Update the device? [y/N] \r\nCancelled.\r\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.typed);
        TempDir dir;
        SimDaemon d;
        ASSERT_TRUE(d.start(QXSIM_PATH, dir.path(), {}));
        PtyResult r = run({"update", fw}, 120, row.typed, "[y/N] ", dir.path());
        EXPECT_EQ(row.status, r.proc.status) << r.proc.out;
        EXPECT_NE(std::string::npos, r.proc.out.find("Are you sure?\r\n" + std::string(row.shown)))
            << r.proc.out;
        bool done = r.proc.out.find("Completed.") != std::string::npos;
        EXPECT_EQ(row.status == 0, done) << r.proc.out;
    }
}

TEST_F(Terminal, ProgressBarStaysWithinTheLine)
{
    std::string fw = image("fw.bin", "QX-20", 230, 57, 20000);
    serve();
    for (unsigned short columns : {80, 200}) {
        SCOPED_TRACE(columns);
        PtyResult r =
            run({"update", "--yes", "--allow-older", "--allow-reinstall", fw}, columns, "");
        ASSERT_EQ(0, r.proc.status) << r.proc.out;
        const std::string &out = r.proc.out;
        // The last bar stays on screen, complete, before the next stage.
        size_t bar = out.find("100% [");
        ASSERT_NE(std::string::npos, bar) << out;
        size_t end = out.find("\r\n", bar);
        ASSERT_NE(std::string::npos, end) << out;
        std::string last = out.substr(bar, end - bar);
        EXPECT_NE(std::string::npos, last.find("] 20,036 of 20,036 bytes  ")) << last;
        EXPECT_NE(std::string::npos, last.find("iB/s  ")) << last;
        EXPECT_NE(std::string::npos, last.find(" left")) << last;
        if (columns == 200) {
            EXPECT_EQ(0u, last.find("100% [==============================] ")) << last;
        }
        EXPECT_EQ(end, out.find("\r\nChecking...\r\n", bar)) << out;
        for (const std::string &piece : screen_pieces(out))
            EXPECT_LT(piece.size(), (size_t)columns) << piece;
    }
}

// Ctrl+C during the transfer ends qxtool at the next call, says where and
// what to do, and leaves the terminal as it was; the device, left with half
// an image, takes the next update.
TEST_F(Terminal, InterruptedTransfer)
{
    std::string fw = image("fw.bin", "QX-20", 230, 57, 20000);
    serve({"--latency-us", "2000"});
    PtyResult r = run({"update", "--yes", fw}, 100, "\x03", "% [");
    EXPECT_EQ(128 + SIGINT, r.proc.status) << r.proc.out;
    EXPECT_FALSE(r.proc.timed_out);
    EXPECT_TRUE(r.mode_kept);
    EXPECT_EQ(std::string::npos, r.proc.out.find("Checking...")) << r.proc.out;
    // The bar ends on its own line, and the texts follow it.
    size_t at = r.proc.out.find("\r\nUpdate stopped.\r\nStopped at byte ");
    EXPECT_NE(std::string::npos, at) << r.proc.out;
    EXPECT_NE(std::string::npos,
              r.proc.out.find(" of 20,036: the device holds an incomplete image.\r\n"
                              "Run qxtool update --yes --allow-reinstall " +
                                  fw +
                                  " to write the whole image; until then the "
                                  "device may not work.\r\n",
                              at))
        << r.proc.out;

    ProcResult again = tool({"update", "--yes", "--allow-reinstall", fw});
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_NE(std::string::npos, again.out.find("Completed.")) << again.out;
}

} // namespace
