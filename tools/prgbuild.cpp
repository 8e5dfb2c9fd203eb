#include "prgbuild.h"

#include <cstdlib>
#include <cstring>

#include "prgdecode.h"

#define PRG_PRODUCT_LEN 8

static void put_be16(uint8_t *p, unsigned v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

static void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

uint8_t *prg_build_image(const PrgImageInfo *info, const uint8_t *body, uint32_t body_len,
                         uint32_t *out_len)
{
    if (!info || (!body && body_len > 0))
        return nullptr;
    const char *nul = (const char *)memchr(info->product, '\0', sizeof info->product);
    size_t product_len = nul ? (size_t)(nul - info->product) : sizeof info->product;
    if (product_len == 0 || product_len > PRG_PRODUCT_LEN)
        return nullptr;
    // The reader takes the file length as a signed 32-bit value.
    if (body_len > (uint32_t)INT32_MAX - PRG_OVERHEAD)
        return nullptr;

    uint32_t total = body_len + PRG_OVERHEAD;
    uint8_t *image = (uint8_t *)calloc(total, 1);
    if (!image)
        return nullptr;

    uint32_t sum = 0;
    for (uint32_t i = 0; i < body_len; i++)
        sum += body[i];

    memcpy(image, info->product, product_len); // rest stays NUL
    put_be16(image + 8, info->version);
    put_be16(image + 10, info->build);
    put_be16(image + 12, info->year);
    image[14] = info->month;
    image[15] = info->day;
    put_be32(image + 16, sum);
    put_be32(image + 20, total);
    // 24..31 reserved, left zero.

    if (body_len)
        prg_scramble(image + PRG_HEADER_SIZE, body, body_len);
    uint8_t trailer[PRG_TRAILER_SIZE];
    put_be32(trailer, sum);
    prg_scramble(image + PRG_HEADER_SIZE + body_len, trailer, PRG_TRAILER_SIZE);

    if (out_len)
        *out_len = total;
    return image;
}

void prg_fill_body(uint8_t *body, uint32_t len, uint32_t pattern)
{
    // xorshift32; zero is its fixed point, so it gets a stand-in state.
    uint32_t x = pattern ? pattern : 0x9e3779b9u;
    uint32_t i = 0;
    while (i < len) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        for (int k = 0; k < 4 && i < len; k++, i++)
            body[i] = (uint8_t)(x >> (8 * k));
    }
}

int prg_date_exists(unsigned year, unsigned month, unsigned day)
{
    static const unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1)
        return 0;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    unsigned last = days[month - 1] + (month == 2 && leap ? 1 : 0);
    return day <= last ? 1 : 0;
}
