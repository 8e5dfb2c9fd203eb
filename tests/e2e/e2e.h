// Shared fixture of the end-to-end tests: a private device directory that a
// qxsim may serve, a work folder, and qxtool runs against them.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qxproc.h"

// The update's one-second pauses become a millisecond: the device sees the
// same calls, only sooner.
#define E2E_SLEEP_SCALE "0.001"

// argv under a file-size limit of blocks.
inline std::vector<std::string> limited(unsigned blocks, const std::vector<std::string> &argv)
{
    std::vector<std::string> out = {
        "/bin/sh", "-c", "ulimit -f " + std::to_string(blocks) + " && exec \"$@\"", "sh"};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

struct E2e : ::testing::Test {
    TempDir dev_dir;
    TempDir work;
    SimDaemon sim; // strict: a breach of the device contract fails the test
    // The virtual time the last tool() run waited (its pauses as asked for,
    // in milliseconds), or -1.
    long long waited_ms = -1;
    // Non-zero: tool() runs under this file-size limit (ulimit -f, in the
    // shell's blocks of 512 or 1024 bytes), so that a write fails midway.
    unsigned file_limit_blocks = 0;

    // The update history of every run goes to the work folder.
    E2e() { setenv("QXUPDATER_STATE_DIR", work.file("state").c_str(), 1); }
    std::string history_file() const { return work.file("state/history.jsonl"); }

    // Every JSON line of the test's runs follows the schema.
    void TearDown() override
    {
        sim.stop();
        EXPECT_EQ("", json_check_seen());
    }

    void serve(const std::vector<std::string> &args = {})
    {
        ASSERT_TRUE(sim.start(QXSIM_PATH, dev_dir.path(), args))
            << read_text_file(dev_dir.file("qxsim.err"));
    }

    ProcResult tool(const std::vector<std::string> &args, EnvChanges extra = {},
                    const std::string &input = "")
    {
        std::vector<std::string> argv = {QXTOOL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        if (file_limit_blocks)
            argv = limited(file_limit_blocks, argv);
        std::string log = work.file("waited.ms");
        remove(log.c_str());
        EnvChanges env = {{"QX_DEVICE_DIR", dev_dir.path().c_str()},
                          {"QX_TEST_SLEEP_SCALE", E2E_SLEEP_SCALE},
                          {"QX_TEST_SLEEP_LOG", log.c_str()}};
        env.insert(env.end(), extra.begin(), extra.end());
        ProcResult r = proc_run(argv, env, 90, input);
        std::string text = read_text_file(log);
        waited_ms = text.empty() ? -1 : std::stoll(text);
        return r;
    }

    // An image built by qxtool mkimage from a patterned body.
    std::string image(const std::string &name, const std::string &product, unsigned version,
                      unsigned build, size_t body_size = 4000)
    {
        std::string body(body_size, '\0');
        for (size_t i = 0; i < body_size; ++i)
            body[i] = (char)(i * 7 + version + build);
        std::string body_path = work.file(name + ".body");
        write_text_file(body_path, body);
        std::string path = work.file(name);
        ProcResult r =
            tool({"mkimage", "--product", product, "--version", std::to_string(version), "--build",
                  std::to_string(build), "--date", "2026-11-02", "--body", body_path, "-o", path});
        EXPECT_EQ(0, r.status) << r.err;
        return path;
    }
};

// The texts the update printed after the confirmation text, one a line
// (a text with blank lines in it spans several).
inline std::string after_confirmation(const std::string &out)
{
    const std::string mark = "Are you sure?\n";
    size_t at = out.find(mark);
    return at == std::string::npos ? std::string() : out.substr(at + mark.size());
}

inline std::string lines(const std::vector<std::string> &texts)
{
    std::string s;
    for (const auto &t : texts)
        s += t + "\n";
    return s;
}
