// Image builder: the inverse of the image reader. Takes a plain body and the
// header fields and produces a file the reader accepts.
#pragma once

#include <cstdint>

typedef struct PrgImageInfo {
    char product[9]; // up to 8 characters, NUL-padded in the header
    uint16_t version;
    uint16_t build;
    uint16_t year;
    uint8_t month;
    uint8_t day;
} PrgImageInfo;

// New buffer (free() it) holding header, scrambled body and scrambled
// trailer: body_len + 36 bytes, stored in *out_len. Null on bad arguments
// (product empty or longer than 8, body too large for a 32-bit size).
uint8_t *prg_build_image(const PrgImageInfo *info, const uint8_t *body, uint32_t body_len,
                         uint32_t *out_len);
// 1 when the date exists in the Gregorian calendar (month 1 to 12, the day
// within its month, 29 February only in a leap year), 0 otherwise.
int prg_date_exists(unsigned year, unsigned month, unsigned day);
// Fills a body with deterministic bytes derived from pattern (test and demo images).
void prg_fill_body(uint8_t *body, uint32_t len, uint32_t pattern);
