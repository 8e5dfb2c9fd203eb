// Image builder and the qxmkimage tool: the images they make must be
// exactly what the reader accepts, and the same inputs must give the same
// bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "prgbuild.h"
#include "prgdecode.h"
#include "testkit.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace
{

Bytes read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t be32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

PrgImageInfo info_of(const char *product, uint16_t version = 230, uint16_t build = 57)
{
    PrgImageInfo info;
    memset(&info, 0, sizeof info);
    strncpy(info.product, product, sizeof info.product);
    info.version = version;
    info.build = build;
    info.year = 2026;
    info.month = 11;
    info.day = 2;
    return info;
}

Bytes build(const PrgImageInfo &info, const Bytes &body)
{
    uint32_t len = 0;
    uint8_t *img = prg_build_image(&info, body.data(), (uint32_t)body.size(), &len);
    if (!img)
        return {};
    Bytes out(img, img + len);
    free(img);
    return out;
}

Bytes filled(uint32_t len, uint32_t pattern)
{
    Bytes b(len);
    prg_fill_body(b.data(), len, pattern);
    return b;
}

} // namespace

TEST(PrgBuild, HeaderLayout)
{
    const PrgImageInfo info = info_of("QX-20", 0x1234, 0xfedc);
    const Bytes body = {1, 2, 3, 250};
    const Bytes img = build(info, body);
    ASSERT_EQ(img.size(), 40u);
    const Bytes want_header = {'Q',  'X',  '-',  '2',  '0',  0,    0,  0,  // product
                               0x12, 0x34, 0xfe, 0xdc, 0x07, 0xea, 11, 2,  // ver, build, date
                               0,    0,    1,    0,    0,    0,    0,  40, // sum 256, size
                               0,    0,    0,    0,    0,    0,    0,  0}; // reserved
    EXPECT_EQ(Bytes(img.begin(), img.begin() + 32), want_header);
    for (size_t i = 0; i < body.size(); i++)
        EXPECT_EQ(img[32 + i], prg_scramble_table[body[i]]) << i;
    const uint8_t trailer[4] = {0, 0, 1, 0};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(img[36 + i], prg_scramble_table[trailer[i]]) << i;

    // The reader's own accessors agree.
    PrgHeader hdr;
    prg_copy_header(&hdr, img.data());
    char name[9];
    ASSERT_EQ(prg_get_product(&hdr, name, sizeof name), 0);
    EXPECT_STREQ(name, "QX-20");
    EXPECT_EQ(prg_get_version(&hdr), 0x1234u);
    EXPECT_EQ(prg_get_build(&hdr), 0xfedcu);
    EXPECT_EQ(prg_get_year(&hdr), 2026u);
    EXPECT_EQ(prg_get_checksum(&hdr), 256u);
    EXPECT_EQ(prg_get_check_size(&hdr), 4);
}

TEST(PrgBuild, EightCharacterProductHasNoNul)
{
    const Bytes img = build(info_of("ABCDEFGH"), {9});
    ASSERT_EQ(img.size(), 37u);
    EXPECT_EQ(memcmp(img.data(), "ABCDEFGH", 8), 0);
    EXPECT_EQ(img[8], 0) << "version high byte, not a spilled NUL";
    EXPECT_EQ(img[9], 230);
}

TEST(PrgBuild, RejectsBadArguments)
{
    uint8_t body[4] = {};
    uint32_t len = 12345;
    PrgImageInfo empty = info_of("");
    PrgImageInfo nine = info_of("QX-20");
    memcpy(nine.product, "ABCDEFGHI", 9); // no NUL anywhere
    PrgImageInfo ok = info_of("QX-10");

    EXPECT_EQ(prg_build_image(nullptr, body, 4, &len), nullptr);
    EXPECT_EQ(prg_build_image(&empty, body, 4, &len), nullptr);
    EXPECT_EQ(prg_build_image(&nine, body, 4, &len), nullptr);
    EXPECT_EQ(prg_build_image(&ok, nullptr, 4, &len), nullptr);
    // Refused from the length alone, before the body is touched.
    EXPECT_EQ(prg_build_image(&ok, body, (uint32_t)INT32_MAX - 35, &len), nullptr);
    EXPECT_EQ(prg_build_image(&ok, body, 0xffffffffu, &len), nullptr);
    EXPECT_EQ(len, 12345u) << "length untouched on failure";

    uint8_t *img = prg_build_image(&ok, nullptr, 0, nullptr); // empty body, no out length
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(prg_verify(img, 36), 0);
    free(img);
}

// build -> verify -> file -> extract gives back body + big-endian checksum.
TEST(PrgBuild, RoundTrip)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    OutputCapture out;
    const uint32_t sizes[] = {0, 1, 3, 61, 4096, 315424 - 36};
    for (uint32_t n : sizes) {
        SCOPED_TRACE(n);
        const Bytes body = filled(n, n + 7);
        const Bytes img = build(info_of("QX-10"), body);
        ASSERT_EQ(img.size(), n + 36u);
        EXPECT_EQ(prg_verify(img.data(), (int32_t)img.size()), 0);

        const std::string path = dir.file("img" + std::to_string(n) + ".prg");
        ASSERT_TRUE(write_file(path, img));
        EXPECT_EQ(prg_verify_file(path.c_str()), 0);
        ASSERT_EQ(prg_extract(path.c_str()), 0);

        uint32_t sum = 0;
        for (uint8_t b : body)
            sum += b;
        Bytes want = body;
        want.insert(want.end(), {(uint8_t)(sum >> 24), (uint8_t)(sum >> 16), (uint8_t)(sum >> 8),
                                 (uint8_t)sum});
        EXPECT_EQ(read_all(path + ".bin"), want);
        EXPECT_EQ(be32(&img[16]), sum);
    }
    EXPECT_EQ(out.text(), "");
}

TEST(PrgBuild, ChecksumWrapsAt32Bits)
{
    // 255 * 16843010 = 2^32 + 254.
    const Bytes body(16843010, 0xff);
    const Bytes img = build(info_of("QX-20"), body);
    ASSERT_EQ(img.size(), body.size() + 36);
    EXPECT_EQ(be32(&img[16]), 254u);
    EXPECT_EQ(prg_verify(img.data(), (int32_t)img.size()), 0);
}

TEST(PrgFill, DeterministicAndPatternDependent)
{
    EXPECT_EQ(filled(1000, 42), filled(1000, 42));
    EXPECT_NE(filled(1000, 42), filled(1000, 43));
    const Bytes longer = filled(1003, 42);
    EXPECT_EQ(Bytes(longer.begin(), longer.begin() + 1000), filled(1000, 42))
        << "a shorter fill is a prefix of a longer one";

    // Every pattern, zero included, yields varied bytes covering all values.
    for (uint32_t pattern : {0u, 1u, 0xffffffffu}) {
        const Bytes b = filled(65536, pattern);
        int seen[256] = {};
        for (uint8_t v : b)
            seen[v]++;
        for (int v = 0; v < 256; v++)
            ASSERT_GT(seen[v], 0) << "pattern " << pattern << " value " << v;
    }

    uint8_t guard[6] = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
    prg_fill_body(guard + 1, 3, 5);
    EXPECT_EQ(guard[0], 0xaa);
    EXPECT_EQ(guard[4], 0xaa) << "writes exactly len bytes";
    prg_fill_body(nullptr, 0, 5); // nothing to write
}

// The command-line tool, found beside this test in the build tree.
class MkImage : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.ok());
#ifdef _WIN32
        GTEST_SKIP() << "tool runs are checked on the build host";
#else
        std::error_code ec;
        fs::path self = fs::read_symlink("/proc/self/exe", ec);
        if (const char *env = std::getenv("QXMKIMAGE"))
            tool = env;
        else if (!ec)
            tool = (self.parent_path().parent_path() / "tools" / "qxmkimage").string();
        if (tool.empty() || !fs::exists(tool))
            GTEST_SKIP() << "qxmkimage not built next to the tests";
#endif
    }

    int run(const std::string &args)
    {
        std::string cmd = "\"" + tool + "\" " + args + " >\"" + dir.file("stdout") + "\" 2>\"" +
                          dir.file("stderr") + "\"";
        int rc = std::system(cmd.c_str());
#ifdef _WIN32
        return rc; // the exit status itself
#else
        if (rc == -1 || !WIFEXITED(rc))
            return -1;
        return WEXITSTATUS(rc);
#endif
    }
    std::string err_text() const
    {
        Bytes b = read_all(dir.file("stderr"));
        return std::string(b.begin(), b.end());
    }

    TempDir dir;
    std::string tool;
};

#ifndef _WIN32
TEST_F(MkImage, FilledImageMatchesBuilderAndIsRepeatable)
{
    const std::string a = dir.file("a.bin"), b = dir.file("b.bin");
    const std::string common = "--product QX-20 --build 57 --date 2026-11-02 --size 315424 "
                               "--pattern 20 ";
    ASSERT_EQ(run(common + "--fw-version 230 -o \"" + a + "\""), 0) << err_text();
    // The firmware version's old spelling, still used by scripts.
    ASSERT_EQ(run(common + "--version=230 --output=\"" + b + "\""), 0) << err_text();
    const Bytes img = read_all(a);
    ASSERT_EQ(img.size(), 315424u);
    EXPECT_EQ(read_all(b), img);
    EXPECT_EQ(img, build(info_of("QX-20"), filled(315424 - 36, 20)));
    OutputCapture out;
    EXPECT_EQ(prg_verify(img.data(), (int32_t)img.size()), 0);
}

TEST_F(MkImage, BodyFromFile)
{
    const std::string body = dir.file("body"), out = dir.file("img");
    const Bytes plain = filled(999, 3);
    ASSERT_TRUE(write_file(body, plain));
    // The old spelling of the firmware version with the number after it.
    ASSERT_EQ(run("--product QX-10 --version 105 --build 0 --date 2024-01-31 --body \"" + body +
                  "\" -o \"" + out + "\""),
              0)
        << err_text();
    PrgImageInfo info = info_of("QX-10", 105, 0);
    info.year = 2024;
    info.month = 1;
    info.day = 31;
    EXPECT_EQ(read_all(out), build(info, plain));
}

TEST_F(MkImage, CommandLineErrors)
{
    const std::string out = dir.file("x.img");
    const std::string o = " -o \"" + out + "\"";
    const std::string ok = "--product QX-20 --fw-version 230 --build 57 --date 2026-11-02 ";
    struct {
        const char *name;
        std::string args;
        int code;
    } const rows[] = {
        {"help", "--help", 0},
        {"version too big",
         "--product QX-20 --fw-version 65536 --build 1 --date 2026-11-02 "
         "--size 100" +
             o,
         2},
        {"version not a number, old spelling",
         "--product QX-20 --version 2.30 --build 1 --date 2026-11-02 "
         "--size 100" +
             o,
         2},
        {"version not a number",
         "--product QX-20 --fw-version 2.30 --build 1 --date 2026-11-02 "
         "--size 100" +
             o,
         2},
        {"negative build",
         "--product QX-20 --fw-version 1 --build -1 --date 2026-11-02 --size 100" + o, 2},
        {"month 13", "--product QX-20 --fw-version 1 --build 1 --date 2026-13-02 --size 100" + o,
         2},
        {"day 0", "--product QX-20 --fw-version 1 --build 1 --date 2026-11-00 --size 100" + o, 2},
        // Dates that do not exist, and the leap days that do.
        {"31 February", "--product QX-20 --fw-version 1 --build 1 --date 2026-02-31 --size 100" + o,
         2},
        {"31 April", "--product QX-20 --fw-version 1 --build 1 --date 2026-04-31 --size 100" + o,
         2},
        {"29 February, common year",
         "--product QX-20 --fw-version 1 --build 1 --date 2100-02-29 --size 100" + o, 2},
        // The leap days that do exist make an image.
        {"29 February, leap year",
         "--product QX-20 --fw-version 1 --build 1 --date 2000-02-29 --size 100" + o, 0},
        {"29 February, leap year too",
         "--product QX-20 --fw-version 1 --build 1 --date 2024-02-29 --size 100" + o, 0},
        {"date without day",
         "--product QX-20 --fw-version 1 --build 1 --date 2026-11 --size 100" + o, 2},
        {"product too long",
         "--product QX-20-LONG --fw-version 1 --build 1 --date 2026-11-02 "
         "--size 100" +
             o,
         2},
        {"size below 36", ok + "--size 35" + o, 2},
        {"size with suffix", ok + "--size 100k" + o, 2},
        {"pattern overflow", ok + "--size 100 --pattern 4294967296" + o, 2},
        {"pattern without size", ok + "--body x --pattern 3" + o, 2},
        {"body and size", ok + "--body x --size 100" + o, 2},
        {"neither body nor size", ok + o, 2},
        {"missing output", ok + "--size 100", 2},
        {"missing value", ok + "--size", 2},
        {"unknown option", ok + "--size 100 --colour red" + o, 2},
        {"missing body file", ok + "--body \"" + dir.file("nope") + "\"" + o, 1},
        {"unwritable output", ok + "--size 100 -o \"" + dir.file("no/such/dir/x") + "\"", 1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(run(r.args), r.code) << err_text();
        if (r.code != 0) {
            EXPECT_FALSE(err_text().empty()) << "a failure says why";
        }
        // Only a run that succeeds leaves an image.
        EXPECT_EQ(r.code == 0 && r.args.find(" -o ") != std::string::npos, fs::exists(out));
        fs::remove(out);
    }
    EXPECT_EQ(run("--version"), 0);
    const Bytes version = read_all(dir.file("stdout"));
    EXPECT_EQ(std::string(version.begin(), version.end()), "qxmkimage 1.0.0\n");
}
#endif
