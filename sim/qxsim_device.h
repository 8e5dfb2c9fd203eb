// The simulated QX device: the device's side of the control contract
// (readiness, info, transfer with room and offset, checksum over the stored
// descrambled body, debug text, alternate pair, raw status byte), with knobs
// for identity, room, latency and injected faults. It is as strict as the
// real device and driver: a call they would not take is refused with status
// 31 and recorded as a breach of the contract. Thread-safe: every call takes
// the device's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct UsbdevsBackend;

struct QxSimConfig {
    std::string product = "QX-20";
    uint16_t version = 220;
    uint16_t build = 50;
    // Installed image as stored (header + scrambled body + trailer). Empty:
    // the device builds one from product, version and build.
    std::vector<uint8_t> firmware;
    uint32_t room = 256;     // bytes announced per status answer
    uint32_t latency_us = 0; // real time each call takes (daemon only)
    std::string debug_text;  // when set, info answers also carry it (tag 18)

    // Faults.
    uint32_t busy_answers = 0;        // the first N reads answer busy (161 = 0)
    uint32_t busy_after_write = 0;    // N busy reads after every accepted write
    uint32_t offset_lag = 0;          // after a burst, N status answers still report the old offset
    uint32_t room_zero_answers = 0;   // after a burst, N status answers report room 0
    uint32_t fail_writes = 0;         // the next N writes fail with status 31
    uint32_t fail_write_every = 0;    // every Nth write fails with status 31
    uint32_t drop_read_every = 0;     // every Nth read fails with status 31
    uint32_t short_read_every = 0;    // every Nth read returns one byte too few
    uint32_t split_status_answer = 0; // room and offset arrive in separate answers
    int64_t checksum_offset = 0;      // added to every checksum reading
    uint32_t checksum_jitter = 0;     // readings vary by up to +/- this (reproducibly)
    std::vector<uint32_t> checksum_script; // readings answered in order before computed ones
    bool checksum_silent = false;          // checksum queries are never answered
    bool never_complete = false;           // the end of a transfer is never confirmed
    uint32_t fail_transfer = 0;            // from the Nth begin on, data writes fail (status 31)
    int64_t unplug_after = -1;             // vanishes once this many image bytes were taken
    bool info_silent = false;              // info requests are never answered
};

struct QxSimStats {
    uint64_t calls = 0;
    uint64_t writes = 0;
    uint64_t reads = 0;
    uint64_t begins = 0;
    uint64_t chunks = 0;
    uint64_t completed = 0; // transfers confirmed complete
    uint64_t breaches = 0;  // calls refused as breaches of the contract
};

// One call that the real device or its driver would not take. Kinds:
//   "ioctl-code"          an I/O-control code other than the device's
//   "header"              kind not 23, non-zero value, index or reserved, an
//                         unknown direction or request, a read with a length
//   "read-size"           a read on 30/46 of other than 64 bytes, on 28 of other than 1
//   "read-input"          a read input that is not 20 bytes, or non-zero behind the header
//   "write-input"         a write input that is not max(16 + n, 20) bytes,
//                         non-zero padding, or a message outside 1..64 bytes
//   "chunk-before-begin"  image data without a transfer begun
//   "chunk-size"          a tag-37 chunk of other than 61 bytes, a tag-38 chunk
//                         outside 1..61, a chunk that is no blob
//   "burst-offset"        a burst without a status answer, or not at the announced offset
//   "burst-room"          a burst past the announced room or the image length
//   "begin-type"          a begin item that is not a 32-bit number
//   "write-busy"          a write while the device reports busy
//   "write-unready"       a write after an accepted write with no ready read between
struct QxSimBreach {
    uint64_t call = 0; // number of the call, from 1
    std::string kind;
    std::string text;
};

class QxSimDevice
{
  public:
    explicit QxSimDevice(QxSimConfig config = QxSimConfig());

    // One I/O-control call as the driver receives it: code, the input buffer
    // (16-byte header + payload), room for out_size output bytes. Returns 0 or
    // a Windows-style error code; *returned = output bytes written.
    uint32_t ioctl(uint32_t code, const uint8_t *in, size_t in_size, uint8_t *out,
                   uint32_t out_size, uint32_t *returned);

    bool present() const;
    void unplug();
    void replug();
    // Sum of the stored, descrambled body bytes over length (clamped).
    uint32_t checksum(uint32_t length) const;
    std::vector<uint8_t> stored_image() const; // the image as last stored
    std::vector<uint8_t> firmware() const;     // the installed image
    uint16_t version() const;
    uint16_t build() const;
    QxSimStats stats() const;
    // Every message written on either pair, in order (request code, bytes).
    std::vector<std::pair<unsigned, std::vector<uint8_t>>> writes_log() const;
    void clear_log();
    QxSimConfig config() const;
    void set_config(const QxSimConfig &config); // keeps the stored image and state

    // Breaches so far: the first ones in full (up to a thousand), and a
    // count per kind of all of them.
    std::vector<QxSimBreach> breaches() const;
    std::map<std::string, uint64_t> breach_counts() const;
    // Called for every breach as it happens, under the device's lock: it
    // must not call the device.
    void on_breach(std::function<void(const QxSimBreach &)> listener);

  private:
    struct Impl;
    std::shared_ptr<Impl> d;
};

// In-process backend bound to a device: usbdevs_set_backend(&b) routes all
// device access of this process to it.
UsbdevsBackend qxsim_backend(QxSimDevice *dev);

// Builds an image for the simulated device's installed firmware.
std::vector<uint8_t> qxsim_make_image(const std::string &product, uint16_t version, uint16_t build,
                                      uint32_t size, uint32_t pattern);
