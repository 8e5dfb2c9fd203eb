// Ending the settings panel: the look for a panel that survived the kill is
// bounded, pinned in virtual time. Runs on Linux and, under Wine, on
// Windows; tests/win/test_qxpanel_win.cpp tries the system's side.
#include <gtest/gtest.h>

#include <vector>

#include "qxlimits.h"
#include "qxpanel.h"
#include "testkit.h"

namespace
{

// Answers in turn, the last one from then on.
struct Probe {
    std::vector<int> answers;
    size_t asked = 0;
    static int answer(void *self)
    {
        Probe *p = static_cast<Probe *>(self);
        size_t i = p->asked < p->answers.size() ? p->asked : p->answers.size() - 1;
        p->asked++;
        return p->answers[i];
    }
};

TEST(Panel, WaitGoneLooksWithinItsBound)
{
    const int last = QXPANEL_GONE_CHECKS;
    std::vector<int> gone_at_last(last, 1);
    gone_at_last.back() = 0;
    struct {
        const char *what;
        std::vector<int> answers;
        int result;
        int looks;
    } const rows[] = {
        {"none running", {0}, 0, 1},
        {"gone at the second look", {1, 0}, 0, 2},
        {"gone at the last look", gone_at_last, 0, last},
        {"never gone", {1}, 1, last},
        {"the list cannot be read", {-1}, -1, last},
        {"gone, then the list fails", {1, -1}, -1, last},
    };
    for (const auto &row : rows) {
        VirtualClock clock;
        Probe probe{row.answers};
        qxpanel_set_probe(Probe::answer, &probe);
        EXPECT_EQ(row.result, qxpanel_wait_gone()) << row.what;
        qxpanel_set_probe(nullptr, nullptr);
        EXPECT_EQ((size_t)row.looks, probe.asked) << row.what;
        EXPECT_EQ(std::vector<uint32_t>(row.looks - 1, QXPANEL_GONE_PAUSE_MS), clock.sleeps())
            << row.what;
    }
}

} // namespace
