// The UTF-16 text of device paths (the Windows form, kept on every platform)
// and its conversion from and to UTF-8.
#include "usbdevs.h"

size_t usbdevs_wcslen(const uint16_t *s, size_t cap)
{
    if (!s)
        return 0;
    size_t n = 0;
    while (n < cap && s[n])
        ++n;
    return n;
}

int usbdevs_same_path(const uint16_t *a, const uint16_t *b)
{
    if (!a || !b)
        return 0;
    // Up to the NUL: what an entry holds after it is not part of its path.
    for (size_t i = 0; i < USBDEVS_PATH_UNITS; ++i) {
        if (a[i] != b[i])
            return 0;
        if (a[i] == 0)
            return 1;
    }
    return 0;
}

int usbdevs_same_device(const uint16_t *a, const uint16_t *b)
{
    uint16_t ka[USBDEVS_PATH_UNITS];
    uint16_t kb[USBDEVS_PATH_UNITS];
    if (!a || !b || !a[0] || !b[0] || usbdevs_device_key(a, ka, USBDEVS_PATH_UNITS) ||
        usbdevs_device_key(b, kb, USBDEVS_PATH_UNITS))
        return 0;
    for (size_t i = 0; i < USBDEVS_PATH_UNITS; ++i) {
        uint16_t x = ka[i];
        uint16_t y = kb[i];
#ifdef _WIN32
        // The system's paths name the same object in any case of letters.
        if (x >= 'A' && x <= 'Z')
            x = (uint16_t)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = (uint16_t)(y - 'A' + 'a');
#endif
        if (x != y)
            return 0;
        if (x == 0)
            return 1;
    }
    return 0;
}

int usbdevs_path_from_utf8(uint16_t *dst, size_t cap, const char *src)
{
    if (!dst || cap == 0)
        return 1;
    if (!src) {
        dst[0] = 0;
        return 0;
    }
    const unsigned char *s = (const unsigned char *)src;
    size_t o = 0;
    while (*s) {
        uint32_t c;
        int more;
        if (*s < 0x80) {
            c = *s;
            more = 0;
        } else if ((*s & 0xe0) == 0xc0) {
            c = *s & 0x1f;
            more = 1;
        } else if ((*s & 0xf0) == 0xe0) {
            c = *s & 0x0f;
            more = 2;
        } else if ((*s & 0xf8) == 0xf0) {
            c = *s & 0x07;
            more = 3;
        } else {
            goto fail;
        }
        ++s;
        for (int i = 0; i < more; ++i, ++s) {
            if ((*s & 0xc0) != 0x80)
                goto fail;
            c = c << 6 | (*s & 0x3f);
        }
        // Overlong forms, surrogates and values past Unicode are not text.
        if ((more == 1 && c < 0x80) || (more == 2 && c < 0x800) || (more == 3 && c < 0x10000) ||
            (c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff)
            goto fail;
        if (c >= 0x10000) {
            if (o + 2 >= cap)
                goto fail;
            c -= 0x10000;
            dst[o++] = (uint16_t)(0xd800 | (c >> 10));
            dst[o++] = (uint16_t)(0xdc00 | (c & 0x3ff));
        } else {
            if (o + 1 >= cap)
                goto fail;
            dst[o++] = (uint16_t)c;
        }
    }
    dst[o] = 0;
    return 0;
fail:
    dst[0] = 0;
    return 1;
}

int usbdevs_path_to_utf8(char *dst, size_t cap, const uint16_t *src)
{
    if (!dst || cap == 0)
        return 1;
    if (!src) {
        dst[0] = 0;
        return 0;
    }
    size_t o = 0;
    for (size_t i = 0; src[i]; ++i) {
        uint32_t c = src[i];
        if (c >= 0xd800 && c <= 0xdbff) {
            uint32_t lo = src[i + 1];
            if (lo < 0xdc00 || lo > 0xdfff)
                goto fail;
            c = 0x10000 + ((c - 0xd800) << 10) + (lo - 0xdc00);
            ++i;
        } else if (c >= 0xdc00 && c <= 0xdfff) {
            goto fail;
        }
        size_t need = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (o + need >= cap)
            goto fail;
        if (need == 1) {
            dst[o++] = (char)c;
        } else if (need == 2) {
            dst[o++] = (char)(0xc0 | c >> 6);
            dst[o++] = (char)(0x80 | (c & 0x3f));
        } else if (need == 3) {
            dst[o++] = (char)(0xe0 | c >> 12);
            dst[o++] = (char)(0x80 | ((c >> 6) & 0x3f));
            dst[o++] = (char)(0x80 | (c & 0x3f));
        } else {
            dst[o++] = (char)(0xf0 | c >> 18);
            dst[o++] = (char)(0x80 | ((c >> 12) & 0x3f));
            dst[o++] = (char)(0x80 | ((c >> 6) & 0x3f));
            dst[o++] = (char)(0x80 | (c & 0x3f));
        }
    }
    dst[o] = 0;
    return 0;
fail:
    dst[0] = 0;
    return 1;
}
