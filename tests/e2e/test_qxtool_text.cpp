// qxtool's own rules for numbers on the command line and for the progress
// bar's text; its refusal while the settings panel holds the device.
#include <algorithm>

#include <gtest/gtest.h>

#include "console.h"
#include "qxlimits.h"
#include "qxpanel.h"
#include "qxtool.h"
#include "testkit.h"
#include "updaterules.h"

namespace
{

TEST(QxtoolNumber, AcceptsPlainDecimalAndHexWithinRange)
{
    struct {
        const char *text;
        uint64_t min, max;
        bool ok;
        uint64_t value;
        const char *problem;
    } const rows[] = {
        {"1", 1, 10, true, 1, ""},
        {"10", 1, 10, true, 10, ""},
        {"0x10", 1, 100, true, 16, ""},
        {"0XfF", 1, 1000, true, 255, ""},
        {"0", 1, 10, false, 0, "0 is out of range (1 to 10)"},
        {"11", 1, 10, false, 0, "11 is out of range (1 to 10)"},
        {"18446744073709551616", 0, UINT64_MAX, false, 0,
         "18446744073709551616 is out of range (0 to 18446744073709551615)"},
        {"", 0, 10, false, 0, "'' is not a number"},
        {"-1", 0, 10, false, 0, "'-1' is not a number"},
        {"+1", 0, 10, false, 0, "'+1' is not a number"},
        {" 1", 0, 10, false, 0, "' 1' is not a number"},
        {"1k", 0, 10, false, 0, "'1k' is not a number"},
        {"0x", 0, 10, false, 0, "'0x' is not a number"},
        {"1.5", 0, 10, false, 0, "'1.5' is not a number"},
        {"12ab", 0, 100000, false, 0, "'12ab' is not a number"},
    };
    for (const auto &row : rows) {
        uint64_t v = 12345;
        std::string problem;
        int r = qxtool_parse_number(row.text, row.min, row.max, &v, &problem);
        EXPECT_EQ(row.ok ? 0 : 1, r) << row.text;
        if (row.ok) {
            EXPECT_EQ(row.value, v) << row.text;
        } else {
            EXPECT_EQ(row.problem, problem) << row.text;
            EXPECT_EQ(12345u, v) << row.text;
        }
    }
}

TEST(QxtoolProgress, LineShowsPercentBytesRateAndTimeLeft)
{
    struct {
        int64_t pos, max;
        double seconds;
        const char *line;
    } const rows[] = {
        {0, 315424, 0.0,
         "  0% [>                             ] 0 of 315,424 bytes  -- KiB/s  -:-- left"},
        {157712, 315424, 2.0,
         " 50% [===============>              ] 157,712 of 315,424 bytes  77.0 KiB/s  0:02 left"},
        {315424, 315424, 4.0,
         "100% [==============================] 315,424 of 315,424 bytes  77.0 KiB/s  0:00 left"},
        // Slow: minutes left.
        {1024, 315424, 10.0,
         "  0% [>                             ] 1,024 of 315,424 bytes  0.1 KiB/s  51:10 left"},
        // Fast: MiB/s.
        {1048576, 1048576, 0.5,
         "100% [==============================] 1,048,576 of 1,048,576 bytes  2.0 MiB/s  0:00 "
         "left"},
        // Out-of-range positions are held to the bar.
        {-5, 100, 1.0, "  0% [>                             ] 0 of 100 bytes  -- KiB/s  -:-- left"},
        {500, 100, 1.0,
         "100% [==============================] 100 of 100 bytes  0.1 KiB/s  0:00 left"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.line, console_progress_line(row.pos, row.max, row.seconds)) << row.pos;
}

// A line as wide as the terminal wraps, and every redraw then leaves a copy
// of the bar behind: the line keeps the last column free, narrowing the bar
// first, then leaving it out, then the rate, the time left and the bytes
// as whole parts, and only at last cutting the text.
TEST(QxtoolProgress, LineFitsTheTerminal)
{
    const std::string full =
        " 50% [===============>              ] 157,712 of 315,424 bytes  77.0 KiB/s  0:02 left";
    struct {
        int columns;
        const char *line;
    } const rows[] = {
        {0, full.c_str()},
        {200, full.c_str()},
        {86, full.c_str()},
        {85,
         " 50% [==============>              ] 157,712 of 315,424 bytes  77.0 KiB/s  0:02 left"},
        {80, " 50% [============>           ] 157,712 of 315,424 bytes  77.0 KiB/s  0:02 left"},
        {60, " 50% 157,712 of 315,424 bytes  77.0 KiB/s  0:02 left"},
        {53, " 50% 157,712 of 315,424 bytes  77.0 KiB/s  0:02 left"},
        {52, " 50% 157,712 of 315,424 bytes  0:02 left"},
        {50, " 50% 157,712 of 315,424 bytes  0:02 left"},
        {41, " 50% 157,712 of 315,424 bytes  0:02 left"},
        {40, " 50% 157,712 of 315,424 bytes"},
        {30, " 50% 157,712 of 315,424 bytes"},
        {29, " 50%"},
        {5, " 50%"},
        {4, " 50"},
        {1, ""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.line, console_progress_line(157712, 315424, 2.0, row.columns)) << row.columns;

    // No word is ever cut while the percentage fits: every word of a
    // narrow line is one of the whole line's (the bar aside).
    auto words = [](const std::string &line) {
        std::vector<std::string> out;
        size_t at = 0;
        while ((at = line.find_first_not_of(' ', at)) != std::string::npos) {
            size_t end = line.find(' ', at);
            std::string w = line.substr(at, end == std::string::npos ? end : end - at);
            if (w.find_first_of("[=>]") == std::string::npos)
                out.push_back(w);
            at = end;
        }
        return out;
    };
    for (int64_t pos : {0, 1024, 157712, 315424}) {
        const std::vector<std::string> whole = words(console_progress_line(pos, 315424, 10.0));
        for (int columns = 6; columns <= 120; ++columns)
            for (const std::string &w : words(console_progress_line(pos, 315424, 10.0, columns)))
                EXPECT_NE(whole.end(), std::find(whole.begin(), whole.end(), w))
                    << columns << " " << pos << " " << w;
    }

    // Every position and width stays within the line.
    for (int columns = 1; columns <= 120; ++columns)
        for (int64_t pos : {0, 1024, 157712, 315424})
            EXPECT_LT(console_progress_line(pos, 315424, 10.0, columns).size(), (size_t)columns)
                << columns << " " << pos;
}

TEST(QxtoolDevice, NameTakenFromThePath)
{
    const struct {
        const char *path;
        const char *name;
    } rows[] = {
        {"/run/user/1000/qx/qx-10_20", "qx-10_20"},
        {"/run/user/1000/qx/qx-10_20.2", "qx-10_20.2"},
        {"/tmp/qx/qx-10_20.a b", "qx-10_20.a-b"},
        {"\\\\?\\usb#vid_1234&pid_0010#5&1a2b&0&1#{65e8773e-8f56-11d0-a3b9-00a0c9223196}\\global",
         "5-1a2b-0-1"},
        {"\\\\?\\root#media#0001#{65e8773e-8f56-11d0-a3b9-00a0c9223196}\\global", "0001"},
        {"\\\\?\\odd#path\\global", "global"},
        {"qx-10_20", "qx-10_20"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.name, qxtool_device_name(row.path)) << row.path;
}

TEST(QxtoolDate, FourDigitYearAndTwoDigitMonthAndDay)
{
    EXPECT_EQ("2026-11-02", qxtool_date_text(2026, 11, 2));
    EXPECT_EQ("0999-01-31", qxtool_date_text(999, 1, 31));
}

// A panel that outlives its kill keeps the device, and one that cannot be
// looked for may: update refuses with 6 before it reads the image or asks
// any device.
TEST(QxtoolUpdate, RefusedWhileTheSettingsPanelRuns)
{
    for (int running : {1, -1}) {
        ScriptedBackend device;
        VirtualClock clock;
        qxpanel_set_probe([](void *self) { return *static_cast<int *>(self); }, &running);
        UpdateArgs args;
        args.yes = true;
        args.image = "no-such-folder/update20.bin";
        testing::internal::CaptureStderr();
        int rc = qxtool_update(args);
        std::string err = testing::internal::GetCapturedStderr();
        qxpanel_set_probe(nullptr, nullptr);
        EXPECT_EQ(QXTOOL_BUSY, rc) << running;
        EXPECT_EQ(updaterules::panel_refusal_text(running) + "\n", err);
        EXPECT_TRUE(device.calls.empty()) << running;
        EXPECT_EQ((size_t)QXPANEL_GONE_CHECKS - 1, clock.sleeps().size()) << running;
    }
}

} // namespace
