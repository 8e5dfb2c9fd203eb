// Image reader: header fields, descrambling, checksum test, whole-file
// reads, extract and dump, including malformed and hostile images.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "prgdecode.h"
#include "testkit.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace
{

std::string err(int line)
{
    return "..\\qxtest\\prgdecode:" + std::to_string(line) + ":ERROR\n";
}

Bytes read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// Built by hand from the table, so the reader is not checked against itself.
struct ImageSpec {
    Bytes body;
    bool sum_given = false;
    uint32_t checksum = 0;
    bool trailer_given = false;
    uint32_t trailer = 0;
    bool size_given = false;
    uint32_t size = 0;
};

Bytes make_image(const ImageSpec &s)
{
    uint32_t sum = 0;
    for (uint8_t b : s.body)
        sum += b;
    Bytes img(32, 0);
    img.reserve(32 + s.body.size() + 4);
    const char product[8] = {'Q', 'X', '-', '2', '0', 0, 0x5a, 0x13};
    memcpy(img.data(), product, 8);
    img[8] = 0x00, img[9] = 0xe6;   // version 230
    img[10] = 0x00, img[11] = 0x39; // build 57
    img[12] = 0x07, img[13] = 0xea; // 2026
    img[14] = 11, img[15] = 2;
    put_be32(&img[16], s.sum_given ? s.checksum : sum);
    put_be32(&img[20], s.size_given ? s.size : (uint32_t)(s.body.size() + 36));
    uint8_t trailer[4];
    put_be32(trailer, s.trailer_given ? s.trailer : sum);
    for (uint8_t b : s.body)
        img.push_back(prg_scramble_table[b]);
    for (uint8_t b : trailer)
        img.push_back(prg_scramble_table[b]);
    return img;
}

Bytes counting_body(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)(i * 7 + 3);
    return b;
}

Bytes with_size(Bytes img, uint32_t size)
{
    put_be32(&img[20], size);
    return img;
}

Bytes resized(Bytes img, size_t n, uint8_t fill = 0xa5)
{
    img.resize(n, fill);
    return img;
}

} // namespace

TEST(PrgTable, ScrambleIsTheInverseOfDescramble)
{
    int seen[256] = {};
    for (int b = 0; b < 256; b++) {
        EXPECT_EQ(prg_descramble_table[prg_scramble_table[b]], b);
        seen[prg_descramble_table[b]]++;
    }
    for (int b = 0; b < 256; b++)
        EXPECT_EQ(seen[b], 1) << "value " << b;
}

TEST(PrgTable, DescrambleMapsEachByteAndLeavesSourceAlone)
{
    Bytes src(512);
    for (size_t i = 0; i < src.size(); i++)
        src[i] = (uint8_t)i;
    const Bytes orig = src;
    Bytes dst(src.size() + 1, 0xee);
    prg_descramble(dst.data(), src.data(), src.size());
    EXPECT_EQ(src, orig);
    for (size_t i = 0; i < src.size(); i++)
        ASSERT_EQ(dst[i], prg_descramble_table[src[i]]) << i;
    EXPECT_EQ(dst.back(), 0xee);

    Bytes back(src.size());
    prg_scramble(back.data(), dst.data(), dst.size() - 1);
    EXPECT_EQ(back, orig);
}

TEST(PrgHeader, AccessorsDecodeBigEndianFields)
{
    const uint8_t raw[32] = {'Q',  'X',  '-',  '1',  '0',  0,    0x7f, 0x01, // product + junk
                             0xff, 0xfe, 0x12, 0x34, 0x07, 0xe9,             // version, build, year
                             12,   31,                                       // month, day
                             0xde, 0xad, 0xbe, 0xef,                         // checksum
                             0x00, 0x04, 0xd0, 0x20,                         // size 315424
                             1,    2,    3,    4,    5,    6,    7,    8};
    PrgHeader hdr;
    memset(&hdr, 0, sizeof hdr);
    EXPECT_EQ(prg_copy_header(&hdr, raw), 32);
    EXPECT_EQ(memcmp(hdr.raw, raw, 32), 0);

    char name[9];
    memset(name, 'x', sizeof name);
    EXPECT_EQ(prg_get_product(&hdr, name, sizeof name), 0);
    EXPECT_STREQ(name, "QX-10");
    EXPECT_EQ(memcmp(name, raw, 8), 0) << "all 8 bytes are copied";
    EXPECT_EQ(prg_get_version(&hdr), 65534u);
    EXPECT_EQ(prg_get_build(&hdr), 0x1234u);
    EXPECT_EQ(prg_get_year(&hdr), 2025u);
    EXPECT_EQ(prg_get_month(&hdr), 12u);
    EXPECT_EQ(prg_get_day(&hdr), 31u);
    EXPECT_EQ(prg_get_checksum(&hdr), 0xdeadbeefu);
    EXPECT_EQ(prg_get_size(&hdr), 315424u);
    EXPECT_EQ(prg_get_check_size(&hdr), 315388);
}

TEST(PrgHeader, CheckSizeIsSigned)
{
    struct {
        uint32_t size;
        int32_t check;
    } const rows[] = {{36, 0}, {37, 1}, {10, -26}, {0, -36}, {0x80000023u, INT32_MAX}};
    for (const auto &r : rows) {
        PrgHeader hdr;
        memset(&hdr, 0, sizeof hdr);
        put_be32(hdr.raw + 20, r.size);
        EXPECT_EQ(prg_get_check_size(&hdr), r.check) << "size " << r.size;
    }
}

TEST(PrgHeader, ProductNeedsNineBytes)
{
    PrgHeader hdr;
    memset(&hdr, 0, sizeof hdr);
    memcpy(hdr.raw, "ABCDEFGH", 8);
    OutputCapture out;

    char small[8] = {'z', 'z', 'z', 'z', 'z', 'z', 'z', 'z'};
    EXPECT_EQ(prg_get_product(&hdr, small, sizeof small), -1);
    EXPECT_EQ(out.text(), err(99));
    EXPECT_EQ(small[0], 'z') << "nothing written on failure";

    out.clear();
    char name[9];
    EXPECT_EQ(prg_get_product(&hdr, name, sizeof name), 0);
    EXPECT_STREQ(name, "ABCDEFGH");
    EXPECT_EQ(out.text(), "");

    // Null out-parameter: nothing copied, same verdict; no header: no product.
    EXPECT_EQ(prg_get_product(&hdr, nullptr, sizeof name), 0);
    EXPECT_EQ(prg_get_product(&hdr, nullptr, 8), -1);
    EXPECT_EQ(prg_get_product(nullptr, name, sizeof name), -1);
    EXPECT_EQ(out.text(), err(99) + err(99));
}

TEST(PrgHeader, CopyWithoutSourceOnlyReportsLength)
{
    PrgHeader hdr;
    memset(&hdr, 0x5c, sizeof hdr);
    EXPECT_EQ(prg_copy_header(&hdr, nullptr), 32);
    for (uint8_t b : hdr.raw)
        ASSERT_EQ(b, 0x5c);

    // Only the first 32 bytes of a longer source are taken.
    struct {
        PrgHeader h;
        uint8_t guard[4];
    } box;
    memset(&box, 0x11, sizeof box);
    Bytes src(40, 0x77);
    EXPECT_EQ(prg_copy_header(&box.h, src.data()), 32);
    for (uint8_t b : box.h.raw)
        ASSERT_EQ(b, 0x77);
    for (uint8_t b : box.guard)
        EXPECT_EQ(b, 0x11);
}

// Every row runs on a buffer of exactly the given length, so a read past
// the image is a read past the allocation.
TEST(PrgVerify, Table)
{
    ImageSpec plain;
    plain.body = counting_body(100);
    const Bytes good = make_image(plain);
    uint32_t sum = 0;
    for (uint8_t b : plain.body)
        sum += b;

    ImageSpec bad_sum = plain;
    bad_sum.sum_given = true;
    bad_sum.checksum = sum + 1;
    ImageSpec bad_trailer = plain;
    bad_trailer.trailer_given = true;
    bad_trailer.trailer = 0x12345678;
    ImageSpec bad_both = bad_sum;
    bad_both.trailer_given = true;
    bad_both.trailer = 0x12345678;

    ImageSpec zero36;
    ImageSpec zero36_trailer;
    zero36_trailer.trailer_given = true;
    zero36_trailer.trailer = 1;
    ImageSpec zero36_sum;
    zero36_sum.sum_given = true;
    zero36_sum.checksum = 5;

    char sum_msg[128];
    snprintf(sum_msg, sizeof sum_msg, "check_size = 100, real sum = %#lx, hdr sum = %#lx\n",
             (unsigned long)sum, (unsigned long)(sum + 1));
    char trailer_msg[128];
    snprintf(trailer_msg, sizeof trailer_msg,
             "check_size = 100, real sum = 0x12345678, hdr sum = %#lx\n", (unsigned long)sum);

    struct Row {
        const char *name;
        Bytes image;
        int result;
        std::string out;
    } const rows[] = {
        {"valid", good, 0, ""},
        {"longer than size", resized(good, good.size() + 50), 0, ""},
        {"size 0 on a long file", with_size(good, 0), 1, err(157)},
        {"shorter than size", resized(good, good.size() - 1), 1, err(161)},
        {"size far beyond file", with_size(good, 0xffffffffu), 1, err(161)},
        {"35 bytes, size 20", with_size(resized(good, 35), 20), 1,
         err(167) + "check size = 0, fw_size = 35\n"},
        {"30 bytes, size 30", with_size(resized(good, 30), 30), 1,
         err(167) + "check size = 0, fw_size = 30\n"},
        {"24 bytes, size 1", with_size(resized(good, 24), 1), 1,
         err(167) + "check size = 0, fw_size = 24\n"},
        {"24 bytes, size 0", with_size(resized(good, 24), 0), 1, err(157)},
        {"no room for size field", resized(good, 10), 1,
         err(167) + "check size = 0, fw_size = 10\n"},
        // 20 to 23 bytes end inside the size field: none of it is read (a
        // size taken from the bytes there and past the end would be refused
        // as larger than the file instead).
        {"20 bytes, size field missing", resized(with_size(good, 0x01010101u), 20), 1,
         err(167) + "check size = 0, fw_size = 20\n"},
        {"21 bytes, size field cut", resized(with_size(good, 0x01010101u), 21), 1,
         err(167) + "check size = 0, fw_size = 21\n"},
        {"22 bytes, size field cut", resized(with_size(good, 0x01010101u), 22), 1,
         err(167) + "check size = 0, fw_size = 22\n"},
        {"23 bytes, size field cut", resized(with_size(good, 0x01010101u), 23), 1,
         err(167) + "check size = 0, fw_size = 23\n"},
        {"24 bytes, size field whole", resized(with_size(good, 0x01010101u), 24), 1, err(161)},
        {"size 20 in a long file", with_size(good, 20), 1,
         err(170) + "check size = -16, fw_size = 136\n"},
        {"size 1 in a long file", with_size(good, 1), 1,
         err(170) + "check size = -35, fw_size = 136\n"},
        {"size 35 in a 36-byte file", with_size(resized(good, 36), 35), 1,
         err(170) + "check size = -1, fw_size = 36\n"},
        {"sum differs", make_image(bad_sum), 1, err(191) + sum_msg},
        {"trailer differs", make_image(bad_trailer), 1, err(199) + trailer_msg},
        // The trailer is compared only once the sum has matched.
        {"sum and trailer differ", make_image(bad_both), 1, err(191) + sum_msg},
        {"36 bytes, all zero sums", make_image(zero36), 0, ""},
        {"36 bytes, trailer 1", make_image(zero36_trailer), 1,
         err(199) + "check_size = 0, real sum = 0x1, hdr sum = 0\n"},
        {"36 bytes, checksum 5", make_image(zero36_sum), 1,
         err(191) + "check_size = 0, real sum = 0, hdr sum = 0x5\n"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        OutputCapture out;
        uint8_t *copy = (uint8_t *)malloc(r.image.size() ? r.image.size() : 1);
        ASSERT_NE(copy, nullptr);
        memcpy(copy, r.image.data(), r.image.size());
        EXPECT_EQ(prg_verify(copy, (int32_t)r.image.size()), r.result);
        EXPECT_EQ(out.text(), r.out);
        free(copy);
    }
}

TEST(PrgVerify, NullImageOrNegativeLength)
{
    const Bytes good = make_image(ImageSpec{counting_body(8)});
    OutputCapture out;
    EXPECT_EQ(prg_verify(nullptr, 100), 1);
    EXPECT_EQ(out.text(), err(151));
    out.clear();
    EXPECT_EQ(prg_verify(good.data(), -1), 1);
    EXPECT_EQ(out.text(), err(151));
    out.clear();
    EXPECT_EQ(prg_verify(good.data(), INT32_MIN), 1);
    EXPECT_EQ(out.text(), err(151));
}

TEST(PrgVerify, TrailerIsNotInTheSum)
{
    // A trailer byte changed while the body sum still matches must fail at
    // the trailer, not at the sum.
    ImageSpec s;
    s.body = counting_body(64);
    Bytes img = make_image(s);
    img[img.size() - 1] = prg_scramble_table[(uint8_t)(prg_descramble_table[img.back()] ^ 1)];
    OutputCapture out;
    EXPECT_EQ(prg_verify(img.data(), (int32_t)img.size()), 1);
    EXPECT_TRUE(out.contains(err(199))) << out.text();
}

TEST(PrgVerify, SumWrapsAt32Bits)
{
    // 255 * 16843010 = 2^32 + 254: the true sum needs 33 bits.
    ImageSpec s;
    s.body.assign(16843010, 0xff);
    s.sum_given = true;
    s.checksum = 254;
    s.trailer_given = true;
    s.trailer = 254;
    Bytes img = make_image(s);
    OutputCapture out;
    EXPECT_EQ(prg_verify(img.data(), (int32_t)img.size()), 0);
    EXPECT_EQ(out.text(), "");

    put_be32(&img[16], 255); // off by one after the wrap
    EXPECT_EQ(prg_verify(img.data(), (int32_t)img.size()), 1);
    EXPECT_EQ(out.text(), err(191) + "check_size = 16843010, real sum = 0xfe, hdr sum = 0xff\n");
}

class PrgFiles : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_FALSE(dir.path().empty()); }
    TempDir dir;
    OutputCapture out;
};

TEST_F(PrgFiles, ReadFileWholeContents)
{
    const std::string p = dir.file("a.bin");
    Bytes data = counting_body(1000);
    ASSERT_TRUE(write_file(p, data));
    int32_t len = -5;
    uint8_t *buf = prg_read_file(p.c_str(), &len);
    ASSERT_NE(buf, nullptr);
    ASSERT_EQ(len, 1000);
    EXPECT_EQ(Bytes(buf, buf + len), data);
    free(buf);

    buf = prg_read_file(p.c_str(), nullptr); // the length is optional
    ASSERT_NE(buf, nullptr);
    free(buf);
    EXPECT_EQ(out.text(), "");
}

TEST_F(PrgFiles, ReadFileFailures)
{
    const std::string empty = dir.file("empty");
    ASSERT_TRUE(write_file(empty, {}));
#ifndef _WIN32
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
#endif
    struct {
        const char *name;
        std::string path;
        int line;
    } const rows[] = {
        {"missing", dir.file("nope"), 23},
        {"empty", empty, 33},
        // Not regular files: refused before the open (a FIFO would block it).
        {"folder", dir.path().string(), 23},
#ifndef _WIN32
        {"fifo", fifo, 23},
#endif
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        out.clear();
        int32_t len = 77;
        EXPECT_EQ(prg_read_file(r.path.c_str(), &len), nullptr);
        EXPECT_EQ(len, 77) << "length untouched on failure";
        EXPECT_EQ(out.text(), err(r.line));
    }
    out.clear();
    EXPECT_EQ(prg_read_file(nullptr, nullptr), nullptr);
    EXPECT_EQ(out.text(), err(23));
}

TEST_F(PrgFiles, ReadFileRefusesLengthBeyond32Bits)
{
    // Sparse: costs no disk space and is refused before any allocation.
    const std::string p = dir.file("huge");
    ASSERT_TRUE(write_file(p, {1}));
    std::error_code ec;
    fs::resize_file(p, (uintmax_t)INT32_MAX + 1, ec);
    if (ec)
        GTEST_SKIP() << "cannot make a 2 GiB sparse file here: " << ec.message();
    int32_t len = 77;
    EXPECT_EQ(prg_read_file(p.c_str(), &len), nullptr);
    EXPECT_EQ(len, 77);
    EXPECT_EQ(out.text(), err(28));
}

TEST_F(PrgFiles, ReadHeader)
{
    const std::string full = dir.file("full");
    const std::string shortf = dir.file("short");
    Bytes img = make_image(ImageSpec{counting_body(10)});
    ASSERT_TRUE(write_file(full, img));
    ASSERT_TRUE(write_file(shortf, Bytes(img.begin(), img.begin() + 31)));

    PrgHeader hdr;
    memset(&hdr, 0xcc, sizeof hdr);
    EXPECT_EQ(prg_read_header(&hdr, full.c_str()), 0);
    EXPECT_EQ(Bytes(hdr.raw, hdr.raw + 32), Bytes(img.begin(), img.begin() + 32));
    EXPECT_EQ(out.text(), "");

    EXPECT_EQ(prg_read_header(&hdr, shortf.c_str()), 1);
    EXPECT_EQ(out.text(), err(77));

    out.clear();
    memset(&hdr, 0xcc, sizeof hdr);
    EXPECT_EQ(prg_read_header(&hdr, dir.file("nope").c_str()), 1);
    EXPECT_EQ(out.text(), err(73));
    for (uint8_t b : hdr.raw)
        ASSERT_EQ(b, 0) << "cleared before the open";

    // Without a destination it only tells whether the file has a header.
    out.clear();
    EXPECT_EQ(prg_read_header(nullptr, full.c_str()), 0);
    EXPECT_EQ(prg_read_header(nullptr, shortf.c_str()), 1);
    EXPECT_EQ(out.text(), err(77));
}

TEST_F(PrgFiles, VerifyFile)
{
    const std::string good = dir.file("good.img");
    const std::string bad = dir.file("bad.img");
    ImageSpec s;
    s.body = counting_body(300);
    ASSERT_TRUE(write_file(good, make_image(s)));
    s.sum_given = true;
    s.checksum = 1;
    ASSERT_TRUE(write_file(bad, make_image(s)));

    EXPECT_EQ(prg_verify_file(good.c_str()), 0);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(prg_verify_file(bad.c_str()), 1);
    EXPECT_TRUE(out.contains(err(191)));
    out.clear();
    EXPECT_EQ(prg_verify_file(dir.file("nope").c_str()), 1);
    EXPECT_EQ(out.text(), err(23) + err(220));
}

TEST_F(PrgFiles, ExtractAppendsBinAndWritesPlainBodyAndTrailer)
{
    const std::string p = dir.file("update20.img");
    ImageSpec s;
    s.body = counting_body(777);
    Bytes img = make_image(s);
    img.push_back(prg_scramble_table[0x42]); // trailing bytes are extracted too
    ASSERT_TRUE(write_file(p, img));

    EXPECT_EQ(prg_extract(p.c_str()), 0);
    EXPECT_EQ(out.text(), "");
    ASSERT_TRUE(fs::exists(p + ".bin"));
    EXPECT_FALSE(fs::exists(dir.file("update20.bin")));

    Bytes want = s.body;
    uint32_t sum = 0;
    for (uint8_t b : s.body)
        sum += b;
    want.insert(want.end(), {(uint8_t)(sum >> 24), (uint8_t)(sum >> 16), (uint8_t)(sum >> 8),
                             (uint8_t)sum, 0x42});
    EXPECT_EQ(read_all(p + ".bin"), want);
}

TEST_F(PrgFiles, ExtractEdges)
{
    const std::string header_only = dir.file("h");
    const std::string tiny = dir.file("t");
    const std::string blocked = dir.file("b");
    ASSERT_TRUE(write_file(header_only, Bytes(32, 1)));
    ASSERT_TRUE(write_file(tiny, Bytes(31, 1)));
    ASSERT_TRUE(write_file(blocked, Bytes(40, 1)));
    fs::create_directory(blocked + ".bin"); // output cannot be created

    EXPECT_EQ(prg_extract(header_only.c_str()), 0);
    EXPECT_TRUE(fs::exists(header_only + ".bin"));
    EXPECT_EQ(fs::file_size(header_only + ".bin"), 0u);
    EXPECT_EQ(out.text(), "");

    EXPECT_EQ(prg_extract(tiny.c_str()), 1);
    EXPECT_EQ(out.text(), err(261));
    EXPECT_FALSE(fs::exists(tiny + ".bin"));

    out.clear();
    EXPECT_EQ(prg_extract(blocked.c_str()), 1);
    EXPECT_EQ(out.text(), err(268));

    out.clear();
    EXPECT_EQ(prg_extract(dir.file("nope").c_str()), 1);
    EXPECT_EQ(out.text(), err(23) + err(246));
}

// Paths around the 511-character cut: the whole name up to 511, then ".bin".
TEST_F(PrgFiles, ExtractLongPaths)
{
    const size_t lengths[] = {507, 508, 510, 511, 512, 530};
    for (size_t total : lengths) {
        SCOPED_TRACE(total);
        // Two folders and a file, no component over 255; the cut at 511
        // falls inside the file name.
        const std::string top = dir.file(std::to_string(total));
        const size_t name_len = 200 + (total - 507);
        ASSERT_GT(total, top.size() + name_len + 3 + 2);
        const size_t rest = total - top.size() - name_len - 3;
        const std::string sub =
            top + "/" + std::string(rest / 2, 'd') + "/" + std::string(rest - rest / 2, 'e');
        std::error_code ec;
        fs::create_directories(sub, ec);
        const std::string p = sub + "/" + std::string(name_len, 'f');
        ASSERT_EQ(p.size(), total);
        if (!write_file(p, make_image(ImageSpec{counting_body(5)})))
            GTEST_SKIP() << "long paths not supported here";

        out.clear();
        EXPECT_EQ(prg_extract(p.c_str()), 0);
        EXPECT_EQ(out.text(), "");
        std::string want = p.substr(0, 511) + ".bin";
        EXPECT_TRUE(fs::exists(want));
        EXPECT_EQ(read_all(want).size(), 9u);
    }
}

TEST_F(PrgFiles, DumpPrintsHeaderAndVerdict)
{
    const std::string good = dir.file("good.img");
    ImageSpec s;
    s.body = Bytes(200, 3);
    ASSERT_TRUE(write_file(good, make_image(s)));

    EXPECT_EQ(prg_dump(good.c_str()), 0);
    EXPECT_EQ(out.text(), "filename: " + good +
                              "\n"
                              "product: QX-20\n"
                              "version: 230\n"
                              "build: 57\n"
                              "date: 2026/11/2\n"
                              "checksum: 0x258\n"
                              "size: 236\n"
                              "test checksum...\n"
                              "OK\n");

    const std::string bad = dir.file("bad.img");
    s.trailer_given = true;
    s.trailer = 0;
    ASSERT_TRUE(write_file(bad, make_image(s)));
    out.clear();
    EXPECT_EQ(prg_dump(bad.c_str()), -1);
    EXPECT_EQ(out.text(), "filename: " + bad +
                              "\n"
                              "product: QX-20\n"
                              "version: 230\n"
                              "build: 57\n"
                              "date: 2026/11/2\n"
                              "checksum: 0x258\n"
                              "size: 236\n"
                              "test checksum...\n" +
                              err(199) + "check_size = 200, real sum = 0, hdr sum = 0x258\n" +
                              "NG\n" + err(312));
}

TEST_F(PrgFiles, DumpOfUnreadableFile)
{
    const std::string shortf = dir.file("short");
    ASSERT_TRUE(write_file(shortf, Bytes(20, 0)));
    EXPECT_EQ(prg_dump(shortf.c_str()), -1);
    EXPECT_EQ(out.text(), "filename: " + shortf + "\n" + err(77) + err(293));
    out.clear();
    const std::string missing = dir.file("nope");
    EXPECT_EQ(prg_dump(missing.c_str()), -1);
    EXPECT_EQ(out.text(), "filename: " + missing + "\n" + err(73) + err(293));
}
