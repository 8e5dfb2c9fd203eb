#include "prgdecode.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qxfile.h"
#include "qxsites.h"
#include "qxsys.h"

// Header field offsets.
#define PRG_OFF_PRODUCT 0
#define PRG_OFF_VERSION 8
#define PRG_OFF_BUILD 10
#define PRG_OFF_YEAR 12
#define PRG_OFF_MONTH 14
#define PRG_OFF_DAY 15
#define PRG_OFF_CHECKSUM 16
#define PRG_OFF_SIZE 20
#define PRG_PRODUCT_LEN 8

// 35 bytes or fewer cannot hold a header, a trailer and any sensible size field.
#define PRG_MIN_IMAGE 36

// Longest input path kept in an extract output name, before ".bin".
#define PRG_EXTRACT_PATH_MAX 511

static unsigned be16(const uint8_t *p)
{
    return ((unsigned)p[0] << 8) | p[1];
}

static uint32_t be32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

static void fail(int line)
{
    qx_error_line(PRG_SRC, line);
}

// Looked at before the open: a FIFO would block it, a device or a folder is
// no image. Either is a file that cannot be opened.
static FILE *open_regular(const char *path)
{
    std::string problem;
    if (!path || qxfile_check_input(path, &problem))
        return nullptr;
    return qx_fopen(path, "rb");
}

uint8_t *prg_read_file(const char *path, int32_t *length)
{
    FILE *f = open_regular(path);
    if (!f) {
        fail(PRG_LINE_READ_OPEN);
        return nullptr;
    }
    if (fseek(f, 0, SEEK_END) != 0) {
        fail(PRG_LINE_READ_SEEK_END);
        fclose(f);
        return nullptr;
    }
    // An end the position cannot report, or beyond a 32-bit length, counts
    // as a failed seek: the caller's length could not describe the file.
    long end = ftell(f);
    if (end < 0 || end > (long)INT32_MAX) {
        fail(PRG_LINE_READ_SEEK_END);
        fclose(f);
        return nullptr;
    }
    int32_t len = (int32_t)end;
    if (len == 0) {
        fail(PRG_LINE_READ_EMPTY);
        fclose(f);
        return nullptr;
    }
    if (fseek(f, 0, SEEK_SET) != 0) {
        fail(PRG_LINE_READ_SEEK_SET);
        fclose(f);
        return nullptr;
    }
    uint8_t *buf = (uint8_t *)malloc((size_t)len);
    if (!buf) {
        fail(PRG_LINE_READ_NOMEM);
        fclose(f);
        return nullptr;
    }
    if (fread(buf, (size_t)len, 1, f) != 1) {
        fail(PRG_LINE_READ_DATA);
        free(buf);
        fclose(f);
        return nullptr;
    }
    fclose(f);
    if (length)
        *length = len;
    return buf;
}

int prg_read_header(PrgHeader *dst, const char *path)
{
    // Without a destination the call still tells whether the file has a header.
    PrgHeader scratch;
    if (!dst)
        dst = &scratch;
    memset(dst->raw, 0, sizeof dst->raw);
    FILE *f = open_regular(path);
    if (!f) {
        fail(PRG_LINE_HEADER_OPEN);
        return 1;
    }
    if (fread(dst->raw, PRG_HEADER_SIZE, 1, f) != 1) {
        fail(PRG_LINE_HEADER_READ);
        fclose(f);
        return 1;
    }
    fclose(f);
    return 0;
}

int prg_copy_header(PrgHeader *dst, const uint8_t *src)
{
    if (src && dst)
        memcpy(dst->raw, src, PRG_HEADER_SIZE);
    return PRG_HEADER_SIZE;
}

int prg_get_product(const PrgHeader *hdr, char *dst, int capacity)
{
    // A null destination is allowed (nothing is copied); a null header has
    // no product to give.
    if (!hdr || capacity <= PRG_PRODUCT_LEN) {
        fail(PRG_LINE_PRODUCT_CAPACITY);
        return -1;
    }
    if (!dst)
        return 0;
    memcpy(dst, hdr->raw + PRG_OFF_PRODUCT, PRG_PRODUCT_LEN);
    dst[PRG_PRODUCT_LEN] = '\0';
    return 0;
}

unsigned prg_get_version(const PrgHeader *hdr)
{
    return be16(hdr->raw + PRG_OFF_VERSION);
}

unsigned prg_get_build(const PrgHeader *hdr)
{
    return be16(hdr->raw + PRG_OFF_BUILD);
}

unsigned prg_get_year(const PrgHeader *hdr)
{
    return be16(hdr->raw + PRG_OFF_YEAR);
}

unsigned prg_get_month(const PrgHeader *hdr)
{
    return hdr->raw[PRG_OFF_MONTH];
}

unsigned prg_get_day(const PrgHeader *hdr)
{
    return hdr->raw[PRG_OFF_DAY];
}

uint32_t prg_get_checksum(const PrgHeader *hdr)
{
    return be32(hdr->raw + PRG_OFF_CHECKSUM);
}

uint32_t prg_get_size(const PrgHeader *hdr)
{
    return be32(hdr->raw + PRG_OFF_SIZE);
}

int32_t prg_get_check_size(const PrgHeader *hdr)
{
    return (int32_t)(prg_get_size(hdr) - PRG_OVERHEAD);
}

void prg_descramble(uint8_t *dst, const uint8_t *src, size_t count)
{
    for (size_t i = 0; i < count; i++)
        dst[i] = prg_descramble_table[src[i]];
}

void prg_scramble(uint8_t *dst, const uint8_t *src, size_t count)
{
    for (size_t i = 0; i < count; i++)
        dst[i] = prg_scramble_table[src[i]];
}

int prg_verify(const uint8_t *image, int32_t length)
{
    if (!image || length < 0) {
        fail(PRG_LINE_VERIFY_ARGS);
        return 1;
    }
    // Too short to hold the size field: nothing more can be read from it.
    if (length < PRG_OFF_SIZE + 4) {
        fail(PRG_LINE_VERIFY_SHORT);
        qx_printf("check size = %ld, fw_size = %ld\n", 0L, (long)length);
        return 1;
    }
    uint32_t size = be32(image + PRG_OFF_SIZE);
    if (size == 0) {
        fail(PRG_LINE_VERIFY_NO_SIZE);
        return 1;
    }
    if ((uint32_t)length < size) {
        fail(PRG_LINE_VERIFY_TRUNCATED);
        return 1;
    }
    if (length < PRG_MIN_IMAGE) {
        fail(PRG_LINE_VERIFY_SHORT);
        qx_printf("check size = %ld, fw_size = %ld\n", 0L, (long)length);
        return 1;
    }
    // A size field that leaves no room for header and trailer inside a
    // longer file.
    if (size < PRG_MIN_IMAGE) {
        fail(PRG_LINE_VERIFY_SMALL_SIZE);
        qx_printf("check size = %ld, fw_size = %ld\n", (long)size - PRG_OVERHEAD, (long)length);
        return 1;
    }
    uint8_t *plain = (uint8_t *)malloc(size);
    if (!plain) {
        fail(PRG_LINE_VERIFY_NOMEM);
        return 1;
    }
    // The first 32 bytes of plain stay unused so that offsets match the image.
    prg_descramble(plain + PRG_HEADER_SIZE, image + PRG_HEADER_SIZE, size - PRG_HEADER_SIZE);

    int32_t check_size = (int32_t)(size - PRG_OVERHEAD);
    uint32_t sum = 0;
    for (uint32_t i = PRG_HEADER_SIZE; i < size - PRG_TRAILER_SIZE; i++)
        sum += plain[i];

    uint32_t hdr_sum = be32(image + PRG_OFF_CHECKSUM);
    if (sum != hdr_sum) {
        fail(PRG_LINE_VERIFY_CHECKSUM);
        qx_printf("check_size = %ld, real sum = %#lx, hdr sum = %#lx\n", (long)check_size,
                  (unsigned long)sum, (unsigned long)hdr_sum);
        free(plain);
        return 1;
    }
    uint32_t trailer = be32(plain + size - PRG_TRAILER_SIZE);
    if (trailer != sum) {
        fail(PRG_LINE_VERIFY_TRAILER);
        qx_printf("check_size = %ld, real sum = %#lx, hdr sum = %#lx\n", (long)check_size,
                  (unsigned long)trailer, (unsigned long)hdr_sum);
        free(plain);
        return 1;
    }
    free(plain);
    return 0;
}

int prg_verify_file(const char *path)
{
    int32_t length = 0;
    uint8_t *image = prg_read_file(path, &length);
    if (!image) {
        fail(PRG_LINE_VERIFY_FILE_READ);
        return 1;
    }
    int result = prg_verify(image, length);
    free(image);
    return result;
}

int prg_extract(const char *path)
{
    int32_t length = 0;
    uint8_t *image = prg_read_file(path, &length);
    if (!image) {
        fail(PRG_LINE_EXTRACT_READ);
        return 1;
    }

    // The extension is appended, never substituted.
    char out_name[PRG_EXTRACT_PATH_MAX + sizeof ".bin"];
    snprintf(out_name, sizeof out_name, "%.511s.bin", path);

    // A file shorter than its header has no body to allocate.
    if (length < PRG_HEADER_SIZE) {
        fail(PRG_LINE_EXTRACT_BODY);
        free(image);
        return 1;
    }
    size_t body_len = (size_t)length - PRG_HEADER_SIZE;
    uint8_t *body = (uint8_t *)malloc(body_len ? body_len : 1);
    if (!body) {
        fail(PRG_LINE_EXTRACT_BODY);
        free(image);
        return 1;
    }
    prg_descramble(body, image + PRG_HEADER_SIZE, body_len);

    // The system's reason for an output that cannot be written is the
    // caller's to tell: errno survives the diagnostic line and the frees.
    // The bytes take the output's name only when whole, so a failed write
    // leaves no part of a body and whatever was there before.
    QxFileOut out;
    std::string problem;
    if (qxfile_create(&out, out_name, &problem)) {
        int err = errno;
        fail(PRG_LINE_EXTRACT_OPEN);
        free(body);
        free(image);
        errno = err;
        return 1;
    }
    int result = 0;
    qxfile_write(&out, body, body_len);
    if (qxfile_commit(&out, &problem)) {
        int err = errno;
        fail(PRG_LINE_EXTRACT_WRITE);
        errno = err;
        result = 1;
    }
    free(body);
    free(image);
    return result;
}

int prg_dump(const char *path)
{
    qx_printf("filename: %s\n", path ? path : "");
    PrgHeader hdr;
    if (prg_read_header(&hdr, path) != 0) {
        fail(PRG_LINE_DUMP_HEADER);
        return -1;
    }
    const uint8_t *raw = hdr.raw;
    char product[PRG_PRODUCT_LEN + 1];
    memcpy(product, raw + PRG_OFF_PRODUCT, PRG_PRODUCT_LEN);
    product[PRG_PRODUCT_LEN] = '\0';
    qx_printf("product: %s\n", product);
    qx_printf("version: %u\n", be16(raw + PRG_OFF_VERSION));
    qx_printf("build: %u\n", be16(raw + PRG_OFF_BUILD));
    qx_printf("date: %u/%u/%u\n", be16(raw + PRG_OFF_YEAR), (unsigned)raw[PRG_OFF_MONTH],
              (unsigned)raw[PRG_OFF_DAY]);
    qx_printf("checksum: %#lx\n", (unsigned long)be32(raw + PRG_OFF_CHECKSUM));
    qx_printf("size: %lu\n", (unsigned long)be32(raw + PRG_OFF_SIZE));
    qx_printf("test checksum...\n");
    if (prg_verify_file(path) != 0) {
        qx_printf("NG\n");
        fail(PRG_LINE_DUMP_VERIFY);
        return -1;
    }
    qx_printf("OK\n");
    return 0;
}
