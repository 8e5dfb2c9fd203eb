#include "fuzz_support.h"

#include "qxsys.h"

static void fuzz_sleep(void *, uint32_t) {}
static void fuzz_out(void *, const char *, size_t) {}

void fuzz_quiet(void)
{
    qx_set_sleep(&fuzz_sleep, nullptr);
    qx_set_output(&fuzz_out, nullptr);
}
