// Replacing a file that another program holds open, as a virus scanner or
// the search indexer does for a moment with what was just written: Windows
// (and Wine) refuse the replacement while it is open, with any sharing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <windows.h>

#include "qxfile.h"
#include "qxlimits.h"
#include "qxsys.h"
#include "testkit.h"

namespace
{

// Let go after the given number of pauses (the commit's tries), or never: the
// new bytes are in place once it is let go within the tries, the old ones
// and nothing else otherwise.
TEST(QxFileWin, AHeldTargetIsReplacedOnceLetGoWithinTheBound)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string target = dir.file("out.bin");
    const int never = QXFILE_REPLACE_TRIES;
    for (int pauses : {0, 1, QXFILE_REPLACE_TRIES - 1, never}) {
        SCOPED_TRACE(pauses);
        {
            std::ofstream(target, std::ios::binary) << "old";
        }
        HANDLE held = CreateFileW(qx_wide(target.c_str()).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        VirtualClock clock;
        clock.on_sleep = [&](uint32_t) {
            if ((int)clock.sleeps().size() == pauses && held != INVALID_HANDLE_VALUE) {
                CloseHandle(held);
                held = INVALID_HANDLE_VALUE;
            }
        };
        QxFileOut out;
        std::string problem;
        ASSERT_EQ(0, qxfile_create(&out, target.c_str(), &problem)) << problem;
        ASSERT_EQ(0, qxfile_write(&out, "new", 3));
        if (pauses == 0) {
            CloseHandle(held);
            held = INVALID_HANDLE_VALUE;
        }
        const int r = qxfile_commit(&out, &problem);
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        if (pauses < never) {
            EXPECT_EQ(0, r) << problem;
            EXPECT_EQ("new", read_text(target));
            EXPECT_EQ(std::vector<uint32_t>(pauses, QXFILE_REPLACE_PAUSE_MS), clock.sleeps());
        } else {
            EXPECT_EQ(1, r);
            EXPECT_EQ("Permission denied (another program may have it open, or it is read-only)",
                      problem);
            EXPECT_EQ("old", read_text(target));
            EXPECT_EQ(std::vector<uint32_t>(QXFILE_REPLACE_TRIES - 1, QXFILE_REPLACE_PAUSE_MS),
                      clock.sleeps());
        }
        // Nothing but the target is left in the folder.
        int files = 0;
        for (const auto &e : std::filesystem::directory_iterator(dir.path())) {
            (void)e;
            files++;
        }
        EXPECT_EQ(1, files);
    }
}

} // namespace
