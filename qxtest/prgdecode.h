// Firmware image files: 32-byte big-endian header, scrambled body, scrambled
// 4-byte trailer. Reading, header fields, descrambling, checksum test, dump
// and extract. Failures print "..\qxtest\prgdecode:<line>:ERROR".
#pragma once

#include <cstddef>
#include <cstdint>

#define PRG_HEADER_SIZE 32
#define PRG_TRAILER_SIZE 4
#define PRG_OVERHEAD 36 // header + trailer: size - 36 is the check size

// The first 32 bytes of an image, held verbatim.
typedef struct PrgHeader {
    uint8_t raw[PRG_HEADER_SIZE];
} PrgHeader;

extern const uint8_t prg_descramble_table[256];
// The inverse of prg_descramble_table, for building images.
extern const uint8_t prg_scramble_table[256];

// Whole file in a new buffer (free() it), or null.
uint8_t *prg_read_file(const char *path, int32_t *length);
int prg_read_header(PrgHeader *dst, const char *path);
int prg_copy_header(PrgHeader *dst, const uint8_t *src);
int prg_get_product(const PrgHeader *hdr, char *dst, int capacity);
unsigned prg_get_version(const PrgHeader *hdr);
unsigned prg_get_build(const PrgHeader *hdr);
unsigned prg_get_year(const PrgHeader *hdr);
unsigned prg_get_month(const PrgHeader *hdr);
unsigned prg_get_day(const PrgHeader *hdr);
uint32_t prg_get_checksum(const PrgHeader *hdr);
uint32_t prg_get_size(const PrgHeader *hdr);
int32_t prg_get_check_size(const PrgHeader *hdr);
void prg_descramble(uint8_t *dst, const uint8_t *src, size_t count);
void prg_scramble(uint8_t *dst, const uint8_t *src, size_t count);
int prg_verify(const uint8_t *image, int32_t length);
int prg_verify_file(const char *path);
// 0, or 1; when the output could not be created or written, errno says why.
int prg_extract(const char *path);
int prg_dump(const char *path);
