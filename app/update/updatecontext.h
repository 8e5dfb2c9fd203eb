// The one object through which the window and the worker reach the device
// and the firmware image: forwards to qxctl and prgdecode and turns their
// 0/1 results into bool. Toolkit-free so that a command-line tool can share it.
#pragma once

#include <cstdint>
#include <string>

#include "prgdecode.h"
#include "qxctl.h"
#include "qxlock.h"

class UpdateContext
{
  public:
    UpdateContext();
    ~UpdateContext();
    // The context holds the device's lock: a copy would hold it twice.
    UpdateContext(const UpdateContext &) = delete;
    UpdateContext &operator=(const UpdateContext &) = delete;

    bool close_device();
    // The device the probe finds, or the one choose_device named while it is
    // still connected (usbdevs_list); false when there is none.
    bool open_device();
    // Names the device open_device opens from now on (a path of
    // usbdevs_list); null or empty returns to the probe.
    void choose_device(const uint16_t *path);
    bool init();
    bool is_open() const;

    // One conversation with a device at a time, across programs: takes the
    // lock of the device open_device found (qxlock.h), without waiting; it
    // stays held until unlock_device or the context's end. Every query is
    // made under it, and an update holds it from its request's first query
    // to its last check reading. False when another program holds the device
    // or the lock cannot be made; lock_holder then says which.
    bool lock_device();
    void unlock_device();
    bool holds_device() const;

    bool device_text(std::string &text);
    bool device_product(std::string &product);
    bool device_version(uint16_t *version);
    bool device_build(uint16_t *build);
    bool run_command(int a, uint8_t s, uint8_t v, QxAddressedCmd command);
    bool set_131(int a, uint8_t s, uint8_t v);

    bool set_file_path(const std::string &path);
    int load_header(const uint8_t *image);
    bool verify_file();
    static bool verify_image(const uint8_t *image, int32_t length);
    bool fw_product(std::string &product) const;
    unsigned fw_version() const;
    unsigned fw_build() const;
    int fw_check_size() const;
    uint32_t fw_checksum() const;

    bool update_firmware(const uint8_t *image, uint32_t length, QxProgress *progress);
    bool device_checksum(uint32_t length, uint32_t *checksum);
    bool set_19(unsigned value);
    bool set_23(uint32_t value);
    bool get_24(uint32_t *value);
    bool get_20(bool *value);
    // Why the last failed identity read, checksum query or transfer since
    // open_device failed (the control channel's record); false when none has.
    bool last_failure(QxFailure *failure) const;

    QxCtl ctl;
    QxLock lock;
    QxDevice chosen;          // empty: the device the probe finds
    QxLockHolder lock_holder; // why the last lock_device failed
    // Null while no device is open, else &ctl; commands take its address.
    QxChannel channel;
    PrgHeader header;
    std::string file_path;
};

// The loaded image. The buffer is exactly 1 MiB: the largest image the
// device's flash takes, so loading never allocates.
struct FirmwareJob {
    static constexpr uint32_t capacity = 1048576;
    UpdateContext *ctx = nullptr;
    uint8_t data[capacity];
    uint32_t size = 0;
};

// Shared with the worker: the transfer writes value on the worker's thread,
// the window's timer reads it.
struct UpdateProgress {
    QxProgress value{0};
    int32_t maximum = 0;
    FirmwareJob *job = nullptr;
};
