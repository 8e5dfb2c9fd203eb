#include "updatecontext.h"

#include <cstdio>
#include <cstring>

UpdateContext::UpdateContext() : ctl(), lock(), chosen(), lock_holder(), channel(nullptr), header()
{
    qxlock_init(&lock);
}

UpdateContext::~UpdateContext()
{
    qxlock_release(&lock);
}

bool UpdateContext::close_device()
{
    channel = nullptr;
    return true;
}

bool UpdateContext::open_device()
{
    channel = nullptr;
    if (qxctl_init(&ctl) != 0)
        return false;
    // The probe first, also for a chosen device that it finds: the run
    // then looks as it does with one device (a trace shows its find).
    bool probed = qxctl_open(&ctl, &channel) == 0;
    if (chosen.path[0] == 0)
        return probed;
    if (probed && usbdevs_same_device(ctl.devices[0].path, chosen.path))
        return true;
    channel = nullptr;
    // Another device, while it is there: one that has gone is not talked
    // to through a path that may by now name another.
    QxDevice present[QXCTL_MAX_DEVICES];
    unsigned n = usbdevs_list(present, QXCTL_MAX_DEVICES);
    for (unsigned i = 0; i < n; ++i) {
        if (usbdevs_same_device(present[i].path, chosen.path)) {
            ctl.devices[0] = chosen;
            ctl.ndev = 1;
            channel = &ctl;
            return true;
        }
    }
    char path[USBDEVS_PATH_UNITS * 3 + 1];
    usbdevs_path_to_utf8(path, sizeof path, chosen.path);
    char text[USBDEVS_PATH_UNITS * 3 + 64];
    snprintf(text, sizeof text, "the device %s is no longer connected", path);
    usbdevs_set_absence(text);
    return false;
}

void UpdateContext::choose_device(const uint16_t *path)
{
    memset(&chosen, 0, sizeof chosen);
    if (path && usbdevs_wcslen(path, USBDEVS_PATH_UNITS) < USBDEVS_PATH_UNITS)
        memcpy(chosen.path, path, usbdevs_wcslen(path, USBDEVS_PATH_UNITS) * sizeof path[0]);
}

bool UpdateContext::init()
{
    file_path.clear();
    qxctl_clear(&ctl);
    return open_device();
}

bool UpdateContext::is_open() const
{
    return channel != nullptr;
}

bool UpdateContext::lock_device()
{
    memset(&lock_holder, 0, sizeof lock_holder);
    if (!channel) {
        snprintf(lock_holder.problem, sizeof lock_holder.problem, "no device is open");
        return false;
    }
    return qxlock_take(&lock, ctl.devices[0].path, &lock_holder) == 0;
}

void UpdateContext::unlock_device()
{
    qxlock_release(&lock);
}

bool UpdateContext::holds_device() const
{
    return lock.held != 0;
}

bool UpdateContext::device_text(std::string &text)
{
    if (!channel)
        return false;
    char buf[64] = {};
    unsigned size = 0;
    if (qxctl_read_debug_text(&channel, buf, 63, &size) != 0 || size == 0)
        return false;
    text.append(buf, size > 63 ? 63 : size);
    return true;
}

bool UpdateContext::device_product(std::string &product)
{
    if (!channel)
        return false;
    char buf[64] = {};
    unsigned size = 0;
    if (qxctl_get_product(&channel, buf, sizeof buf, &size) != 0)
        return false;
    if (size > sizeof buf)
        size = sizeof buf;
    product.append(buf, size);
    return true;
}

bool UpdateContext::device_version(uint16_t *version)
{
    if (!channel)
        return false;
    return qxctl_get_version(&channel, version) == 0;
}

bool UpdateContext::device_build(uint16_t *build)
{
    if (!channel)
        return false;
    return qxctl_get_build(&channel, build) == 0;
}

bool UpdateContext::run_command(int a, uint8_t s, uint8_t v, QxAddressedCmd command)
{
    if (!channel || !command)
        return false;
    return command(&channel, (unsigned)a, s, v) == 0;
}

bool UpdateContext::set_131(int a, uint8_t s, uint8_t v)
{
    if (!channel)
        return false;
    return qxctl_set_131(&channel, (unsigned)a, s, v) == 0;
}

bool UpdateContext::set_file_path(const std::string &path)
{
    file_path = path;
    if (prg_read_header(&header, file_path.c_str()) != 0) {
        file_path.clear();
        return false;
    }
    return true;
}

int UpdateContext::load_header(const uint8_t *image)
{
    if (image)
        prg_copy_header(&header, image);
    return PRG_HEADER_SIZE;
}

bool UpdateContext::verify_file()
{
    if (file_path.empty())
        return false;
    return prg_verify_file(file_path.c_str()) == 0;
}

bool UpdateContext::verify_image(const uint8_t *image, int32_t length)
{
    return prg_verify(image, length) == 0;
}

bool UpdateContext::fw_product(std::string &product) const
{
    char buf[64] = {};
    if (prg_get_product(&header, buf, sizeof buf) != 0)
        return false;
    product.append(buf, strnlen(buf, sizeof buf));
    return true;
}

unsigned UpdateContext::fw_version() const
{
    return prg_get_version(&header);
}

unsigned UpdateContext::fw_build() const
{
    return prg_get_build(&header);
}

int UpdateContext::fw_check_size() const
{
    return prg_get_check_size(&header);
}

uint32_t UpdateContext::fw_checksum() const
{
    return prg_get_checksum(&header);
}

bool UpdateContext::update_firmware(const uint8_t *image, uint32_t length, QxProgress *progress)
{
    if (!channel)
        return false;
    return qxctl_update_firmware(&channel, image, length, progress) == 0;
}

bool UpdateContext::device_checksum(uint32_t length, uint32_t *checksum)
{
    if (!channel)
        return false;
    return qxctl_get_checksum(&channel, length, checksum) == 0;
}

bool UpdateContext::set_19(unsigned value)
{
    if (!channel)
        return false;
    return qxctl_set_19(&channel, value) == 0;
}

bool UpdateContext::set_23(uint32_t value)
{
    if (!channel)
        return false;
    return qxctl_set_23(&channel, value) == 0;
}

bool UpdateContext::get_24(uint32_t *value)
{
    if (!channel)
        return false;
    return qxctl_get_24(&channel, value) == 0;
}

bool UpdateContext::get_20(bool *value)
{
    if (!channel)
        return false;
    uint8_t byte = 0;
    if (qxctl_get_20(&channel, &byte) != 0)
        return false;
    if (value)
        *value = byte != 0;
    return true;
}

bool UpdateContext::last_failure(QxFailure *failure) const
{
    return qxctl_last_failure(&ctl, failure) == 0;
}
