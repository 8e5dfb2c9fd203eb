// Verifies arbitrary bytes as an image, and reads its header fields.
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "prgdecode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet();
    if (size > (1u << 20))
        return 0;
    // An exact-size copy so that any read past the end is caught.
    uint8_t *image = (uint8_t *)malloc(size ? size : 1);
    if (!image)
        return 0;
    if (size)
        memcpy(image, data, size);
    prg_verify(image, (int32_t)size);
    if (size >= PRG_HEADER_SIZE) {
        PrgHeader h;
        prg_copy_header(&h, image);
        char product[9];
        prg_get_product(&h, product, sizeof product);
        (void)prg_get_check_size(&h);
    }
    free(image);
    return 0;
}
