// The Windows backend of device access: SetupAPI discovery of the driver's
// interface and one DeviceIoControl per call. Every system call sits behind a
// helper named for its job; the table of helpers can be replaced so that the
// discovery and I/O logic runs against fakes.
#pragma once

#include <windows.h>

#include <setupapi.h>

#include "usbdevs.h"

// Present devices only, device interfaces (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE).
#define USBDEVS_WIN_SET_FLAGS 0x12u
// The service name is read into a zeroed buffer of 256 bytes with 2 bytes
// kept back, so that the name always ends in a NUL.
#define USBDEVS_WIN_SERVICE_BYTES 256
#define USBDEVS_WIN_SERVICE_READ 254

// The class of audio render interfaces (KSCATEGORY_RENDER).
extern const GUID usbdevs_win_render_class;

// Helpers that succeed or fail return nonzero on success, as the system does.
typedef struct UsbdevsWinApi {
    // The set of present interfaces of a class; INVALID_HANDLE_VALUE on failure.
    HDEVINFO (*get_device_set)(const GUID *cls, DWORD flags);
    // Device number index of the set; 0 past the last one.
    int (*get_device)(HDEVINFO set, DWORD index, SP_DEVINFO_DATA *dev);
    // The device's driver service name (SPDRP_SERVICE), UTF-16, into size bytes of buf.
    int (*read_service_name)(HDEVINFO set, SP_DEVINFO_DATA *dev, BYTE *buf, DWORD size);
    // Interface number index of class on dev; 0 past the last one.
    int (*get_interface)(HDEVINFO set, SP_DEVINFO_DATA *dev, const GUID *cls, DWORD index,
                         SP_DEVICE_INTERFACE_DATA *ifc);
    // Bytes the interface's detail record needs; 0 when the system cannot say.
    DWORD (*get_interface_detail_size)(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *ifc);
    // Fills the detail record (cbSize already set) of size bytes.
    int (*get_interface_detail)(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *ifc,
                                SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail, DWORD size);
    void *(*alloc_detail)(size_t size);
    void (*free_detail)(void *detail);
    void (*free_device_set)(HDEVINFO set);
    // Opens a control-interface path for reading and writing; INVALID_HANDLE_VALUE on failure.
    HANDLE (*open_control_interface)(const wchar_t *path);
    // Committed read-write memory for a write's input buffer; null on failure.
    void *(*alloc_buffer)(size_t size);
    void (*free_buffer)(void *buf);
    // One I/O-control call; blocks until the driver completes it.
    int (*control_call)(HANDLE h, DWORD code, void *in, DWORD in_size, void *out, DWORD out_size,
                        DWORD *returned);
    void (*close_handle)(HANDLE h);
    // The calling thread's last system error.
    DWORD (*last_error)(void);
    // The system's text for an error code, or null when it has none; release
    // it with free_error_text.
    wchar_t *(*get_error_text)(DWORD code);
    void (*free_error_text)(wchar_t *text);
    // The clock of the calls' bounds, in milliseconds from any origin.
    uint64_t (*now_ms)(void);
    // Waits up to ms milliseconds for the event (the watchdog's pause
    // between deadlines).
    void (*wait_event)(HANDLE event, DWORD ms);
    // Cancels the synchronous call under way on the thread (a handle with
    // THREAD_TERMINATE access); nonzero when there was one.
    int (*cancel_call)(HANDLE thread);
} UsbdevsWinApi;

// Replaces the helpers (for tests); null restores the system's.
void usbdevs_win_set_api(const UsbdevsWinApi *api);
const UsbdevsWinApi *usbdevs_win_api(void);
const UsbdevsWinApi *usbdevs_win_system_api(void);

// The backend's operations, reachable directly for tests.
int usbdevs_win_find(const char *service, uint16_t *path, size_t cap, int *copy_status);
// Every matching interface in enumeration order (the backend's list).
unsigned usbdevs_win_list(const char *service, QxDevice *devices, unsigned cap);
// Opens the control interface of the device at path; INVALID_HANDLE_VALUE
// after printing the failure.
HANDLE usbdevs_win_open(const uint16_t *path);
// A call the driver has not completed within its bound is cancelled from a
// watchdog thread and fails with ERROR_SEM_TIMEOUT (0x79), as an unanswered
// call does on Linux; later calls to that device then fail at once, but for
// one per QXWIRE_PROBE_INTERVAL_MS, bounded by QXWIRE_PROBE_TIMEOUT_MS, until
// the device answers again.
int usbdevs_win_ioctl(const uint16_t *path, const uint8_t *in, uint32_t in_size, uint8_t *out,
                      uint32_t out_size, uint32_t *returned, uint32_t *error);
// Forgets a silent device (tests start each case from a device that answers).
void usbdevs_win_forget_silence(void);
