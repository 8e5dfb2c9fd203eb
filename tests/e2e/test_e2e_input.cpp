// qxtool's commands besides update, and bad input: every mistake on the
// command line or in a file is named, ends with its own status, and sends
// nothing to the device (a recording qxsim proves it).
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "e2e.h"
#include "qxtrace_read.h"

namespace
{

const char *const k_exit_help = "Exit status:\n"
                                "  0  success\n"
                                "  1  the update failed, the device did not answer, or a file "
                                "could not be written\n"
                                "  2  bad usage: unknown command or option, missing or bad "
                                "argument\n"
                                "  3  the update was refused (product, older or installed image) "
                                "or not confirmed, or\n"
                                "     several devices are connected and --device chose none "
                                "(nothing was sent)\n"
                                "  4  no supported device is connected, or none has the --device "
                                "id\n"
                                "  5  the image or body file is missing, unreadable, too large or "
                                "corrupt\n";

TEST_F(E2e, VersionAndHelp)
{
    ProcResult r = tool({"--version"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("qxtool 1.0.0\n", r.out);
    r = tool({"--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find(k_exit_help)) << r.out;
    for (const char *cmd : {"info", "list", "update", "verify", "dump", "extract", "checksum",
                            "mkimage", "history", "report"})
        EXPECT_NE(std::string::npos, r.out.find(std::string("  ") + cmd + " ")) << cmd;
    r = tool({"update", "--help"});
    EXPECT_EQ(0, r.status);
    for (const char *opt : {"--allow-older", "--allow-reinstall", "--yes", "--device", "IMAGE"})
        EXPECT_NE(std::string::npos, r.out.find(opt)) << opt;
}

TEST_F(E2e, InfoAndChecksumReadTheDevice)
{
    serve({"--version", "102", "--build", "7"});
    ProcResult r = tool({"info"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("product: QX-20\nversion: 1.02\nbuild: 7\n", r.out);
    r = tool({"info", "--json"});
    EXPECT_EQ("{\"product\":\"QX-20\",\"version\":102,\"version_text\":\"1.02\",\"build\":7}\n",
              r.out);
    r = tool({"checksum", "--json", "100"});
    ASSERT_EQ(0, r.status) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(100, j["length"]);
    char text[64];
    snprintf(text, sizeof text, "checksum: 0x%08x\nlength: 100\n", (unsigned)j["checksum"]);
    r = tool({"checksum", "0x64"});
    EXPECT_EQ(text, r.out);
}

// Why no device was found: an empty device directory, a daemon gone.
const char *const kEmpty = "no device is served in %D (there is no %D/qx-10_20)";
const char *const kGone = "nothing serves %D/qx-10_20 (connection refused): the device has gone "
                          "and left its endpoint behind";

TEST_F(E2e, DeviceCommandsWithoutAnAnswer)
{
    struct {
        std::vector<std::string> sim; // empty: no device at all
        std::vector<std::string> args;
        const char *err;
        const char *cause; // the line under err, or null
        int status;
        const char *result; // with --json
        bool killed;        // the daemon is killed, leaving its endpoint behind
    } const rows[] = {
        // %D stands for the device directory.
        {{}, {"info"}, "Supported hardware is not connected.", kEmpty, 4, "no device", false},
        {{},
         {"checksum", "10"},
         "Supported hardware is not connected.",
         kEmpty,
         4,
         "no device",
         false},
        // Known at once, without a single call.
        {{"--product", "QX-20"},
         {"info"},
         "Supported hardware is not connected.",
         kGone,
         4,
         "no device",
         true},
        {{"--product", "QX-20"},
         {"update", "--yes"},
         "Supported hardware is not connected.",
         kGone,
         4,
         "no device",
         true},
        {{"--info-silent"},
         {"info"},
         "Cannot get connected hardware product",
         "the device did not answer when asked for its product name",
         1,
         "failed",
         false},
        {{"--checksum-silent"},
         {"checksum", "10"},
         "Cannot get hardware checksum",
         "the device did not answer the checksum query over 10 bytes",
         1,
         "failed",
         false},
        // The update says the same with the same status.
        {{},
         {"update", "--yes"},
         "Supported hardware is not connected.",
         kEmpty,
         4,
         "no device",
         false},
        {{"--info-silent"},
         {"update", "--yes"},
         "Cannot get connected hardware product",
         "the device did not answer when asked for its product name",
         1,
         "failed",
         false},
    };
    for (const auto &row : rows) {
        SimDaemon d;
        TempDir dir;
        if (!row.sim.empty()) {
            ASSERT_TRUE(d.start(QXSIM_PATH, dir.path(), row.sim));
        }
        if (row.killed)
            d.stop(SIGKILL);
        std::string cause = row.cause ? row.cause : "";
        for (size_t at; (at = cause.find("%D")) != std::string::npos;)
            cause.replace(at, 2, dir.path());
        std::string err = std::string(row.err) + "\n";
        if (row.cause)
            err += cause + "\n";
        std::vector<std::string> argv = {QXTOOL_PATH};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        ProcResult r = proc_run(argv, {{"QX_DEVICE_DIR", dir.path().c_str()},
                                       {"QX_TEST_SLEEP_SCALE", E2E_SLEEP_SCALE}});
        EXPECT_EQ(row.status, r.status) << row.args[0];
        EXPECT_EQ(err, r.err) << row.args[0];
        EXPECT_EQ("", r.out) << row.args[0];
        if (row.killed) {
            // The status and text above say it was known at discovery; this
            // keeps out a wait on the device, with room for a loaded machine.
            EXPECT_LT(r.seconds, 5.0) << "a device that is gone is known at once";
        }

        // --json answers the failure with one object, the same status and
        // the same texts on standard error.
        argv.push_back("--json");
        r = proc_run(argv, {{"QX_DEVICE_DIR", dir.path().c_str()},
                            {"QX_TEST_SLEEP_SCALE", E2E_SLEEP_SCALE}});
        EXPECT_EQ(row.status, r.status) << row.args[0];
        EXPECT_EQ(err, r.err) << row.args[0];
        EXPECT_EQ(r.out.size() - 1, r.out.find('\n')) << "one line: " << r.out;
        auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(row.result, j["result"]) << r.out;
        EXPECT_EQ(row.status, j["status"]) << r.out;
        EXPECT_EQ(row.err, j["error"]) << r.out;
        if (row.cause)
            EXPECT_EQ(cause, j["cause"]["text"]) << r.out;
        else
            EXPECT_FALSE(j.contains("cause")) << r.out;
    }
}

TEST_F(E2e, ImageCommands)
{
    std::string fw = image("fw.bin", "QX-10", 1000, 0, 4000);
    ProcResult r = tool({"verify", fw});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find(fw + ": valid firmware image\nproduct: QX-10\nversion: 10.00\n"
                                  "build: 0\ndate: 2026-11-02\nsize: 4036\nchecksum: 0x"))
        << r.out;

    // dump shows the fields as verify does, with its verdict under them.
    ProcResult verified = r;
    r = tool({"dump", fw});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    const std::string fields = verified.out.substr(verified.out.find('\n') + 1);
    EXPECT_EQ("filename: " + fw + "\n" + fields + "test checksum...\nOK\n", r.out);
    // Checksums with their leading zeros.
    EXPECT_NE(std::string::npos, fields.find("checksum: 0x000")) << fields;

    // A header's bytes never reach the terminal as control characters.
    std::string evil = image("evil.bin", "QX\x1b[J\x07\xff", 240, 3);
    for (const char *cmd : {"dump", "verify"}) {
        ProcResult e = tool({cmd, evil});
        EXPECT_EQ(0, e.status) << cmd << e.err;
        EXPECT_NE(std::string::npos, e.out.find("product: QX\\x1b[J\\x07\\xff\nversion: 2.40\n"))
            << cmd << e.out;
        EXPECT_EQ(std::string::npos, e.out.find('\x1b')) << cmd;
    }
    // Nor do they in any other text: a name given on the command line.
    ProcResult named = tool({"verify", work.file("a\x1b]0;b.bin")});
    EXPECT_EQ(5, named.status);
    EXPECT_NE(std::string::npos, named.err.find("a\\x1b]0;b.bin: No such file")) << named.err;
    EXPECT_EQ(std::string::npos, named.err.find('\x1b'));

    r = tool({"dump", "--json", fw});
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ("QX-10", j["product"]);
    EXPECT_EQ(true, j["valid"]);
    EXPECT_EQ(4036, j["size"]);

    // The extracted file is the body given to mkimage and the checksum
    // behind it, big-endian.
    r = tool({"extract", fw});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("wrote " + fw + ".bin (4004 bytes)\n", r.out);
    std::string body = read_text_file(work.file("fw.bin.body"));
    std::string plain = read_text_file(fw + ".bin");
    ASSERT_EQ(body.size() + 4, plain.size());
    EXPECT_EQ(body, plain.substr(0, body.size()));
    uint32_t sum = j["checksum"];
    std::string trailer = {(char)(sum >> 24), (char)(sum >> 16), (char)(sum >> 8), (char)sum};
    EXPECT_EQ(trailer, plain.substr(body.size()));

    // A result that never reached its file.
    r = proc_run({"/bin/sh", "-c", "exec \"$0\" dump \"$1\" > /dev/full", QXTOOL_PATH, fw}, {});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("qxtool: cannot write standard output: No space left on device\n", r.err);
}

TEST_F(E2e, CorruptImageIsNamedByEveryCommand)
{
    std::string fw = image("fw.bin", "QX-20", 230, 57);
    std::string data = read_text_file(fw);
    data[100] ^= 0x5a;
    write_text_file(fw, data);
    const std::string why =
        "qxtool: " + fw + ": not a valid firmware image (checksum test failed)\n";
    for (const char *cmd : {"verify", "extract", "dump"}) {
        ProcResult r = tool({cmd, fw});
        EXPECT_EQ(5, r.status) << cmd;
        EXPECT_EQ(why, r.err) << cmd;
    }
    // The verdict ends the report; the module's diagnostic lines go where
    // verify's go (standard error with --verbose), never into it.
    ProcResult r = tool({"dump", fw});
    EXPECT_NE(std::string::npos, r.out.find("\ntest checksum...\nNG\n")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("ERROR")) << r.out;
    r = tool({"-v", "dump", fw});
    EXPECT_EQ(std::string::npos, r.out.find("ERROR")) << r.out;
    EXPECT_NE(std::string::npos, r.err.find("prgdecode:191:ERROR")) << r.err;
    EXPECT_EQ(r.err, tool({"-v", "verify", fw}).err);
    r = tool({"verify", "--json", fw});
    EXPECT_EQ(false, nlohmann::json::parse(r.out)["valid"]);
}

// "@" stands for the work folder.
std::string expand(const std::string &s, const std::string &dir)
{
    std::string out;
    for (char c : s) {
        if (c == '@')
            out += dir;
        else
            out.push_back(c);
    }
    return out;
}

TEST_F(E2e, MkimageChecksItsArguments)
{
    write_text_file(work.file("body"), "plain body");
    ASSERT_EQ(0, mkfifo(work.file("fifo").c_str(), 0600));
    std::string out = work.file("out.bin");
    struct {
        std::vector<std::string> change; // option and value replacing the default
        const char *err;
        int status;
    } const rows[] = {
        {{"--product", ""}, "qxtool: mkimage: product '' must have 1 to 8 characters\n", 2},
        {{"--product", "QX-20-LONG"},
         "qxtool: mkimage: product 'QX-20-LONG' must have 1 to 8 characters\n",
         2},
        {{"--version", "65536"},
         "qxtool: mkimage: --version 65536 is out of range (0 to 65535)\n",
         2},
        {{"--build", "seven"}, "qxtool: mkimage: --build 'seven' is not a number\n", 2},
        {{"--date", "2026-13-01"},
         "qxtool: mkimage: --date '2026-13-01' is not a date (YYYY-MM-DD)\n",
         2},
        {{"--date", "26-1-1"}, "qxtool: mkimage: --date '26-1-1' is not a date (YYYY-MM-DD)\n", 2},
        {{"--date", "2026-02-29"},
         "qxtool: mkimage: --date '2026-02-29' is not a date (YYYY-MM-DD)\n",
         2},
        {{"--body", "/nonexistent/body"},
         "qxtool: /nonexistent/body: No such file or directory\n",
         5},
        {{"--body", "@/fifo"}, "qxtool: @/fifo: a FIFO, not a regular file\n", 5},
        {{"-o", "/nonexistent/out.bin"},
         "qxtool: cannot write /nonexistent/out.bin: No such file or directory\n",
         1},
    };
    for (const auto &row : rows) {
        std::vector<std::string> args = {
            "mkimage", "--product",  "QX-20",  "--version",       "230", "--build", "57",
            "--date",  "2026-11-02", "--body", work.file("body"), "-o",  out};
        for (size_t i = 1; i < args.size(); i += 2)
            if (args[i] == row.change[0])
                args[i + 1] = expand(row.change[1], work.path());
        ProcResult r = tool(args);
        EXPECT_EQ(row.status, r.status) << row.change[0];
        EXPECT_EQ(expand(row.err, work.path()), r.err) << row.change[0];
    }
    ProcResult r = tool({"mkimage", "--product", "QX-20", "--version", "230", "--build", "57",
                         "--date", "2026-11-02", "--body", work.file("body"), "-o", out});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("wrote " + out + ": QX-20, version 2.30, build 57, 46 bytes\n", r.out);
    EXPECT_EQ(0, tool({"verify", out}).status);
}

// The names in a folder.
std::set<std::string> names_in(const std::string &dir)
{
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

// Every program that writes a file, onto one target: the image builders,
// extract (whose target is its image's name with ".bin") and a trace.
struct Writer {
    const char *name;
    std::vector<std::string> argv; // "@" the work folder; T the target
    int status;                    // when the target is refused
    const char *said;              // before "T: " on standard error
    bool over_limit = true;        // writes more than the file-size limit of 1 KiB
};

const Writer k_writers[] = {
    {"mkimage",
     {QXTOOL_PATH, "mkimage", "--product", "QX-20", "--version", "230", "--build", "57", "--date",
      "2026-11-02", "--body", "@/fw.bin", "-o", "T"},
     1,
     "qxtool: cannot write "},
    {"qxmkimage",
     {QXMKIMAGE_PATH, "--product", "QX-20", "--fw-version", "230", "--build", "57", "--date",
      "2026-11-02", "--size", "5000", "-o", "T"},
     1,
     "qxmkimage: cannot write "},
    {"extract", {QXTOOL_PATH, "extract", "@/fw.bin"}, 1, "qxtool: cannot write "},
    {"trace", {QXTOOL_PATH, "--trace", "T", "info"}, 2, "qxtool: cannot create trace file "},
    {"report", {QXTOOL_PATH, "report", "T"}, 1, "qxtool: cannot write ", false},
};

TEST_F(E2e, OutputsThatAreNotRegularFilesAreLeftAsTheyWere)
{
    image("fw.bin", "QX-20", 230, 57, 5000);
    const std::string target = work.file("fw.bin.bin");
    serve();
    struct {
        const char *name;
        const char *said;
        int (*make)(const std::string &path);
    } const targets[] = {
        {"fifo", "a FIFO", [](const std::string &p) { return mkfifo(p.c_str(), 0600); }},
        {"folder", "a directory", [](const std::string &p) { return mkdir(p.c_str(), 0700); }},
        {"link to /dev/full", "a character device",
         [](const std::string &p) { return symlink("/dev/full", p.c_str()); }},
        // The node of /dev/full, which a root run of the old code deleted.
        {"device node", "a character device",
         [](const std::string &p) { return mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 7)); }},
    };
    for (const auto &t : targets) {
        remove(target.c_str());
        if (t.make(target) != 0) {
            ASSERT_EQ(std::string("device node"), t.name) << strerror(errno);
            std::cout << "no device node without the right to make one\n";
            continue;
        }
        struct stat before;
        ASSERT_EQ(0, lstat(target.c_str(), &before));
        const std::set<std::string> names = names_in(work.path());
        for (const auto &w : k_writers) {
            std::vector<std::string> argv;
            for (const auto &a : w.argv)
                argv.push_back(a == "T" ? target : expand(a, work.path()));
            ProcResult r = proc_run(argv, {{"QX_DEVICE_DIR", dev_dir.path().c_str()}}, 30);
            EXPECT_EQ(w.status, r.status) << w.name << " onto " << t.name;
            EXPECT_EQ(std::string(w.said) + target + ": " + t.said + ", not a regular file\n",
                      r.err)
                << w.name << " onto " << t.name;
            struct stat after;
            ASSERT_EQ(0, lstat(target.c_str(), &after)) << w.name << " onto " << t.name;
            EXPECT_EQ(before.st_mode, after.st_mode) << w.name << " onto " << t.name;
            EXPECT_EQ(before.st_rdev, after.st_rdev) << w.name << " onto " << t.name;
            EXPECT_EQ(names, names_in(work.path())) << w.name << " onto " << t.name;
        }
    }
    remove(target.c_str());

    // A write that fails midway (a file-size limit) leaves the file that was
    // there and nothing beside it; one that succeeds through a link writes
    // the linked file and keeps the link.
    for (const auto &w : k_writers) {
        std::vector<std::string> argv;
        for (const auto &a : w.argv)
            argv.push_back(a == "T" ? target : expand(a, work.path()));
        write_text_file(target, "an earlier file\n");
        const std::set<std::string> names = names_in(work.path());
        ProcResult r = proc_run(limited(2, argv), {{"QX_DEVICE_DIR", dev_dir.path().c_str()}}, 30);
        bool trace = std::string(w.name) == "trace";
        // A report of an empty history may fit within the limit.
        if (w.over_limit) {
            EXPECT_EQ(trace ? 0 : 1, r.status) << w.name << r.err;
            EXPECT_NE(std::string::npos, r.err.find(target + ": File too large\n")) << r.err;
            EXPECT_EQ("an earlier file\n", read_text_file(target)) << w.name;
            EXPECT_EQ(names, names_in(work.path())) << w.name;
        }

        std::string real = work.file("real.bin");
        remove(real.c_str());
        remove(target.c_str());
        write_text_file(real, "an earlier file\n");
        ASSERT_EQ(0, symlink("real.bin", target.c_str()));
        r = proc_run(argv, {{"QX_DEVICE_DIR", dev_dir.path().c_str()}}, 30);
        EXPECT_EQ(0, r.status) << w.name << r.err;
        struct stat st;
        ASSERT_EQ(0, lstat(target.c_str(), &st));
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << w.name;
        EXPECT_GT(read_text_file(real).size(), 100u) << w.name;
        remove(target.c_str());
        remove(real.c_str());
    }
}

struct BadInput {
    const char *name;
    std::vector<std::string> args; // "@" stands for the work folder
    const char *err;               // a part of standard error
    int status;
    const char *json = nullptr; // standard output holds the failure as a JSON object: its result
};

const BadInput k_bad_inputs[] = {
    {"MissingImage",
     {"update", "--yes", "@/missing.bin"},
     "@/missing.bin: No such file or directory\n",
     5},
    {"ImageIsAFolder", {"update", "--yes", "@"}, ": a directory, not a regular file\n", 5},
    // Refused before the open, which would wait for a writer.
    {"ImageIsAFifo", {"update", "--yes", "@/fifo"}, "@/fifo: a FIFO, not a regular file\n", 5},
    {"ImageIsADevice",
     {"verify", "--json", "/dev/zero"},
     "/dev/zero: a character device, not a regular file\n",
     5,
     "bad image"},
    {"OversizedImage",
     {"update", "--yes", "@/big.bin"},
     "@/big.bin: too large (more than 1048576 bytes)\n",
     5},
    {"ShortImage",
     {"update", "--yes", "@/short.bin"},
     "@/short.bin: too short for a firmware image (10 bytes)\n",
     5},
    {"CorruptImage",
     {"update", "--yes", "@/corrupt.bin"},
     "@/corrupt.bin: not a valid firmware image (checksum test failed)\n",
     5},
    {"UnknownCommand", {"frobnicate"}, "frobnicate", 2},
    {"NoCommand", {}, "qxtool: a command is needed", 2},
    {"UnknownOption", {"update", "--force"}, "--force", 2},
    // --json answers a bad image and a bad command line with an object.
    {"JsonForExtract", {"extract", "--json", "@/short.bin"}, "--json", 2, "usage"},
    {"ChecksumNotANumberJson",
     {"checksum", "--json", "abc"},
     "qxtool: checksum: LENGTH 'abc' is not a number\n",
     2,
     "usage"},
    {"TraceNotCreatableJson",
     {"--trace", "@/no/such/dir/t.jsonl", "info", "--json"},
     "qxtool: cannot create trace file @/no/such/dir/t.jsonl: No such file or directory\n",
     2,
     "usage"},
    {"CorruptImageJson",
     {"update", "--yes", "--json", "@/corrupt.bin"},
     "@/corrupt.bin: not a valid firmware image (checksum test failed)\n",
     5,
     "bad image"},
    {"MissingImageVerifyJson",
     {"verify", "--json", "@/missing.bin"},
     "@/missing.bin: No such file or directory\n",
     5,
     "bad image"},
    {"ShortImageDumpJson",
     {"dump", "--json", "@/short.bin"},
     "@/short.bin: too short for a firmware image (10 bytes)\n",
     5,
     "bad image"},
    {"ChecksumNotANumber",
     {"checksum", "12ab"},
     "qxtool: checksum: LENGTH '12ab' is not a number\n",
     2},
    {"ChecksumNegative", {"checksum", "-1"}, "-1", 2},
    {"ChecksumZero", {"checksum", "0"}, "LENGTH 0 is out of range (1 to 1048576)\n", 2},
    {"ChecksumTooLarge",
     {"checksum", "1048577"},
     "LENGTH 1048577 is out of range (1 to 1048576)\n",
     2},
    {"ChecksumMissing", {"checksum"}, "LENGTH is required", 2},
    {"TwoImages", {"update", "@/a.bin", "@/b.bin"}, "@/b.bin", 2},
    {"TraceNotCreatable",
     {"--trace", "@/no/such/dir/t.jsonl", "info"},
     "qxtool: cannot create trace file @/no/such/dir/t.jsonl: No such file or directory\n",
     2},
    // A file that is not as long as its header says is named with both
    // sizes, cut short or with bytes after the image.
    {"CutShortImage",
     {"update", "--yes", "@/cut.bin"},
     "@/cut.bin: not a valid firmware image: cut short, the file has 4,000 bytes, its header "
     "says 4,036\n",
     5},
    {"LongerCorruptImageDumpJson",
     {"dump", "--json", "@/long.bin"},
     "@/long.bin: not a valid firmware image (checksum test failed); the file has 4,046 bytes, "
     "its header says 4,036\n",
     5,
     "bad image"},
};

// Rows print as their names in test listings.
void PrintTo(const BadInput &row, std::ostream *os)
{
    *os << row.name;
}

struct BadInputTest : E2e, ::testing::WithParamInterface<BadInput> {
};

TEST_P(BadInputTest, IsNamedAndNothingReachesTheDevice)
{
    const BadInput &row = GetParam();
    write_text_file(work.file("big.bin"), std::string(1048577, 'x'));
    write_text_file(work.file("short.bin"), "0123456789");
    std::string fw = image("corrupt.bin", "QX-20", 230, 57);
    std::string data = read_text_file(fw);
    write_text_file(work.file("cut.bin"), data.substr(0, data.size() - 36));
    data[40] ^= 1;
    write_text_file(fw, data);
    write_text_file(work.file("long.bin"), data + "0123456789");
    ASSERT_EQ(0, mkfifo(work.file("fifo").c_str(), 0600));
    std::string rec = work.file("device.jsonl");
    serve({"--record", rec});

    std::vector<std::string> args;
    for (const auto &a : row.args)
        args.push_back(expand(a, work.path()));
    ProcResult r = tool(args);
    EXPECT_EQ(row.status, r.status) << r.err;
    EXPECT_LT(r.seconds, 30.0) << "nothing waits for a writer";
    EXPECT_NE(std::string::npos, r.err.find(expand(row.err, work.path()))) << r.err;
    if (row.json) {
        auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(row.json, j["result"]) << r.out;
        EXPECT_EQ(row.status, j["status"]) << r.out;
        // The text names the file and the problem, as on standard error.
        EXPECT_NE(std::string::npos, r.err.find(j["error"].get<std::string>())) << r.err;
    } else {
        EXPECT_EQ("", r.out);
    }

    sim.stop();
    std::vector<QxTraceCall> calls;
    std::string why;
    ASSERT_EQ(0, qxtrace_load(rec.c_str(), &calls, &why)) << why;
    EXPECT_EQ(0u, calls.size());
}

INSTANTIATE_TEST_SUITE_P(Qxtool, BadInputTest, ::testing::ValuesIn(k_bad_inputs),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
