// Test fixtures shared by the suites: a virtual clock that records every
// sleep, a capture of the diagnostic output, and a scripted backend that
// answers a table of expected I/O-control calls.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "usbdevs.h"

// Installs itself as the modules' sleep for its lifetime; no real waiting.
class VirtualClock
{
  public:
    VirtualClock();
    ~VirtualClock();
    VirtualClock(const VirtualClock &) = delete;
    VirtualClock &operator=(const VirtualClock &) = delete;

    uint64_t now_ms() const { return now_; }
    const std::vector<uint32_t> &sleeps() const { return sleeps_; }
    void clear() { sleeps_.clear(); }
    // Called after every sleep (e.g. to let a simulated device change state).
    std::function<void(uint32_t)> on_sleep;

  private:
    static void hook(void *self, uint32_t ms);
    uint64_t now_ = 0;
    std::vector<uint32_t> sleeps_;
};

// Captures everything the modules print for its lifetime.
class OutputCapture
{
  public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    const std::string &text() const { return text_; }
    void clear() { text_.clear(); }
    // Number of times needle occurs in the captured text.
    size_t count(const std::string &needle) const;
    bool contains(const std::string &needle) const { return count(needle) > 0; }

  private:
    static void hook(void *self, const char *text, size_t len);
    std::string text_;
};

// One recorded I/O-control call as the backend saw it.
struct IoCall {
    std::vector<uint8_t> in; // header + payload
    uint32_t out_size = 0;
    unsigned request() const { return in.size() >= 16 ? in[15] : 0; }
    bool is_write() const { return in.size() >= 4 && in[0] == 0; }
    // The payload of a write (bytes after the header, as long as the header says).
    std::vector<uint8_t> payload() const;
};

// A backend that answers from a script: each reply is handed out in order;
// when the script is empty the fallback decides. Installs itself on
// construction and restores the platform backend on destruction.
class ScriptedBackend
{
  public:
    struct Reply {
        int result = USBDEVS_OK;  // USBDEVS_OK, USBDEVS_ERR_OPEN, USBDEVS_ERR_CALL
        uint32_t error = 0;       // system code with USBDEVS_ERR_CALL
        std::vector<uint8_t> out; // bytes delivered
        bool exact = true;        // deliver out_size bytes (out zero-padded/cut)
    };
    ScriptedBackend();
    ~ScriptedBackend();
    ScriptedBackend(const ScriptedBackend &) = delete;
    ScriptedBackend &operator=(const ScriptedBackend &) = delete;

    bool device_present = true;
    std::deque<Reply> script;
    // Used when the script is empty; default: writes succeed, reads answer
    // a zero-filled buffer (ready, nothing to say).
    std::function<Reply(const IoCall &)> fallback;
    std::vector<IoCall> calls;

    // A read answer holding these message bytes (zero-padded to 64), and a
    // failed call.
    static Reply answer_reply(const std::vector<uint8_t> &msg);
    static Reply failure_reply(uint32_t error = USBDEVS_ERROR_GEN_FAILURE);

    // Convenience: queue a read answer holding these message bytes (zero-padded to 64).
    void answer(const std::vector<uint8_t> &msg);
    void write_ok();
    void fail(uint32_t error = USBDEVS_ERROR_GEN_FAILURE);
    std::vector<IoCall> writes() const;

  private:
    static int find(void *self, const char *service, uint16_t *path, size_t cap, int *status);
    static int ioctl(void *self, const uint16_t *path, const uint8_t *in, uint32_t in_size,
                     uint8_t *out, uint32_t out_size, uint32_t *returned, uint32_t *error);
    static void print_error(void *self, uint32_t error);
    UsbdevsBackend backend_;
};

// A directory of its own under the system temp folder, removed afterwards.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    bool ok() const { return !path_.empty(); }
    const std::filesystem::path &path() const { return path_; }
    std::string file(const std::string &name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

bool write_file(const std::string &path, const std::vector<uint8_t> &data);
// The whole file as bytes in a string; "" when it cannot be read.
std::string read_text(const std::string &path);

// Bytes of a message built with the codec, for writing expectations.
std::vector<uint8_t> tlv(std::initializer_list<std::vector<uint8_t>> items);
std::vector<uint8_t> item_u8(unsigned tag, unsigned v);
std::vector<uint8_t> item_u16(unsigned tag, unsigned v);
std::vector<uint8_t> item_u32(unsigned tag, uint32_t v);
std::vector<uint8_t> item_empty(unsigned tag);
std::vector<uint8_t> item_blob(unsigned tag, const std::string &bytes);
