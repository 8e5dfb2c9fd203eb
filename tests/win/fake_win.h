// A fake of the system calls behind the Windows backend: a scripted set of
// devices with their service names and interface paths, and a control
// interface that records every call. It counts every set, record, handle
// and buffer it hands out so that tests can see each one given back.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "usbdevs_win.h"

struct FakeInterface {
    std::wstring path;
    // How a step for this interface goes wrong.
    bool no_size = false;     // the detail size comes back 0
    DWORD size_override = 0;  // a detail size other than the path needs
    bool alloc_fails = false; // no memory for the detail record
    bool detail_fails = false;
};

struct FakeDevice {
    std::wstring service;
    bool service_fails = false;
    std::vector<FakeInterface> interfaces;
};

struct FakeCall {
    DWORD code = 0;
    std::vector<uint8_t> in;
    DWORD out_size = 0;
    bool in_own_buffer = false; // the input came from alloc_buffer
};

class FakeWin
{
  public:
    FakeWin();  // installs itself as the system
    ~FakeWin(); // restores the real system
    FakeWin(const FakeWin &) = delete;
    FakeWin &operator=(const FakeWin &) = delete;

    // Discovery.
    bool set_fails = false;
    std::vector<FakeDevice> devices;

    // The control interface.
    bool open_fails = false;
    DWORD open_error = ERROR_ACCESS_DENIED;
    bool buffer_fails = false;
    bool call_fails = false;
    DWORD call_error = ERROR_GEN_FAILURE;
    std::vector<uint8_t> reply;       // bytes the driver writes into the output
    long long reply_count = -1;       // bytes reported returned; -1: the output size
    std::vector<std::wstring> opened; // control paths opened, in order
    std::vector<FakeCall> calls;
    // A driver that never completes a call: it returns only when cancelled
    // (ERROR_OPERATION_ABORTED), and the bounds' clock runs at once to the
    // next deadline while it waits.
    std::atomic<bool> never_returns{false};
    std::atomic<uint64_t> clock_ms{0}; // the bounds' clock (virtual)
    std::atomic<int> cancels{0};       // calls cancelled

    // Error texts the system knows.
    std::vector<std::pair<DWORD, std::wstring>> texts;

    // What the backend passed in.
    GUID set_class = {};
    DWORD set_flags = 0;
    std::vector<DWORD> service_sizes;
    int dirty_service_buffers = 0; // service buffers not zeroed on entry
    int bad_detail_headers = 0;    // detail records with a wrong cbSize or dirty body

    // Counts of what was handed out and given back.
    int sets = 0, sets_freed = 0;
    int details = 0, details_freed = 0;
    int handles = 0, handles_closed = 0;
    int buffers = 0, buffers_freed = 0;
    int error_texts = 0, error_texts_freed = 0;
    int foreign_frees = 0; // anything given back that was not handed out (or twice)

    DWORD last_error = 0;

    static const UsbdevsWinApi api;

  private:
    HANDLE cancelled_; // set by a cancel, taken by the call it ends
    std::vector<void *> live_details_, live_buffers_, live_texts_;
    std::vector<HANDLE> live_handles_;
    const FakeInterface *asked_ = nullptr;
    static FakeWin *self();
    friend struct FakeWinCalls;
};
