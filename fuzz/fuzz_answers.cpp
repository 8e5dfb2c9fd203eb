// Runs device commands against a device whose every answer is fuzz bytes.
#include <cstring>

#include "fuzz_support.h"
#include "qxctl.h"

namespace
{
struct FuzzDevice {
    const uint8_t *data;
    size_t size;
    size_t at;
};
FuzzDevice g_dev;

int fz_init(void *)
{
    return 0;
}
int fz_find(void *, const char *, uint16_t *path, size_t cap, int *status)
{
    usbdevs_path_from_utf8(path, cap, "fuzz");
    if (status)
        *status = 0;
    return 1;
}
// Each read takes its answer from the input: one length byte (so short
// and long answers happen too), then that many bytes.
int fz_ioctl(void *, const uint16_t *, const uint8_t *in, uint32_t in_size, uint8_t *out,
             uint32_t out_size, uint32_t *returned, uint32_t *error)
{
    if (in_size < 16) {
        *error = 87;
        return USBDEVS_ERR_CALL;
    }
    if (in[0] == 0) { // a write
        *returned = 0;
        return USBDEVS_OK;
    }
    if (g_dev.at >= g_dev.size) {
        *error = USBDEVS_ERROR_DEVICE_NOT_CONNECTED;
        return USBDEVS_ERR_CALL;
    }
    uint32_t n = g_dev.data[g_dev.at++];
    if (n > 64)
        n = out_size; // most answers are well formed in length
    if (n > g_dev.size - g_dev.at)
        n = (uint32_t)(g_dev.size - g_dev.at);
    uint32_t copy = n < out_size ? n : out_size;
    if (copy)
        memcpy(out, g_dev.data + g_dev.at, copy);
    g_dev.at += n;
    *returned = n;
    return USBDEVS_OK;
}
void fz_print_error(void *, uint32_t) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet();
    if (size < 1)
        return 0;
    static UsbdevsBackend b = {fz_init, fz_find, fz_ioctl, fz_print_error, nullptr};
    usbdevs_set_backend(&b);
    g_dev = {data + 1, size - 1, 0};

    QxCtl ctl;
    memset(&ctl, 0, sizeof ctl);
    QxChannel ch = nullptr;
    qxctl_init(&ctl);
    if (qxctl_open(&ctl, &ch))
        return 0;

    uint16_t u16;
    int16_t i16;
    uint32_t u32;
    uint8_t u8;
    char text[64];
    unsigned size_out = 0;
    QxListEntry entries[4];
    static uint8_t image[300];
    QxProgress progress{0};
    switch (data[0] % 16) {
    case 0:
        qxctl_get_version(&ch, &u16);
        break;
    case 1:
        qxctl_get_build(&ch, &u16);
        break;
    case 2:
        qxctl_get_product(&ch, text, sizeof text, &size_out);
        break;
    case 3:
        qxctl_get_product(&ch, text, 4, &size_out);
        break;
    case 4:
        qxctl_get_value(&ch, 3, 1, &i16);
        break;
    case 5:
        qxctl_list_113(&ch, entries, 4, &size_out);
        break;
    case 6:
        qxctl_get_blob_28(&ch, text, 8, &size_out);
        break;
    case 7:
        qxctl_read_debug_text(&ch, text, 63, &size_out);
        break;
    case 8:
        qxctl_get_checksum(&ch, 1000, &u32);
        break;
    case 9:
        qxctl_get_checksum_alt(&ch, 1000, &u32);
        break;
    case 10:
        qxctl_update_firmware(&ch, image, sizeof image, &progress);
        break;
    case 11:
        qxctl_update_firmware_alt(&ch, image, sizeof image, &progress);
        break;
    case 12:
        qxctl_get_version_alt(&ch, &i16);
        break;
    case 13:
        qxctl_get_20(&ch, &u8);
        break;
    case 14:
        qxctl_read_status(&ch, &u32);
        break;
    default:
        qxctl_get_24(&ch, &u32);
        break;
    }
    if (progress.load() < 0 || progress.load() > (int32_t)sizeof image)
        __builtin_trap();
    usbdevs_set_backend(nullptr);
    return 0;
}
