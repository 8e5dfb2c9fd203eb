// The update history's file: appends under the lock from several threads at
// once lose no record, the bound keeps the newest records, a cut line is
// skipped and not glued onto.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "testkit.h"
#include "updatehistory.h"

namespace
{

std::string record(const std::string &tag, size_t pad = 0)
{
    return "{\"record\":\"update\",\"tag\":\"" + tag + "\",\"pad\":\"" + std::string(pad, 'x') +
           "\"}";
}

TEST(History, AppendsAtOnceWhileTrimmingLoseNoRecord)
{
    TempDir dir;
    const std::string path = dir.file("history.jsonl");
    // Just under the bound: the first appends below trim it, while the
    // other threads append.
    const std::string old = record("old", 1000) + "\n";
    std::string filler;
    while (filler.size() + old.size() < QXHISTORY_MAX_BYTES - 500)
        filler += old;
    {
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        fwrite(filler.data(), 1, filler.size(), f);
        fclose(f);
    }
    const int threads = 4, each = 20;
    std::vector<std::thread> run;
    for (int t = 0; t < threads; ++t)
        run.emplace_back([&, t]() {
            for (int i = 0; i < each; ++i) {
                std::string problem;
                EXPECT_EQ(0,
                          updatehistory::append_line(
                              path, record(std::to_string(t) + "-" + std::to_string(i)), &problem))
                    << problem;
            }
        });
    for (auto &t : run)
        t.join();

    std::vector<std::string> lines;
    std::string problem;
    ASSERT_EQ(0, updatehistory::read_records(path, &lines, &problem)) << problem;
    int fresh = 0, kept_old = 0;
    for (const auto &l : lines)
        (l.find("\"tag\":\"old\"") != std::string::npos ? kept_old : fresh)++;
    EXPECT_EQ(threads * each, fresh) << "every new record is there";
    // Trimmed to three quarters of the bound, the newest old ones kept.
    EXPECT_LE(read_text(path).size(), QXHISTORY_MAX_BYTES / 4 * 3 + threads * each * 60);
    EXPECT_GT(kept_old, 0);
    EXPECT_LT((size_t)kept_old * old.size(), filler.size());
}

TEST(History, CutLineIsSkippedAndNotGluedOnto)
{
    TempDir dir;
    const std::string path = dir.file("history.jsonl");
    {
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        std::string text = record("a") + "\nnot json\n" + "{\"record\":\"upd";
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    std::string problem;
    ASSERT_EQ(0, updatehistory::append_line(path, record("b"), &problem)) << problem;
    std::vector<std::string> lines;
    ASSERT_EQ(0, updatehistory::read_records(path, &lines, &problem)) << problem;
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(record("a"), lines[0]);
    EXPECT_EQ(record("b"), lines[1]);
    const std::string tail = "\nnot json\n{\"record\":\"upd\n" + record("b") + "\n";
    const std::string text = read_text(path);
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
    // No history yet is an empty one.
    ASSERT_EQ(0, updatehistory::read_records(dir.file("none.jsonl"), &lines, &problem));
    EXPECT_TRUE(lines.empty());
}

} // namespace
