// The built-in firmware images, the same ones the window embeds; generated
// into the tool at build time.
#pragma once

#include <cstdint>

struct CatalogueImage {
    const char *name; // file name, e.g. "update20.bin"
    const unsigned char *data;
    uint32_t size;
};

extern const CatalogueImage qxtool_catalogue[];
extern const unsigned qxtool_catalogue_count;
