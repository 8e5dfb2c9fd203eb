/* qxdevinst: installs the simulated device and its test driver the way a
 * driver package is installed (SetupAPI and newdev with qxsimdrv.inf), and
 * waits until SetupAPI lists it as present.
 *
 *   qxdevinst install [--instance N] [--pipe NAME] [--timeout-ms MS]
 *                     [--interfaces K] [--pending]
 *   qxdevinst present [--instance N] [--wait-ms MS]
 *   qxdevinst hold
 *
 * The INF and the driver are taken from this program's folder. Each
 * instance N is the root device ROOT\QXSIM\000N; its driver serves it on
 * the pipe NAME (default qx-10_20), so that one system can hold several
 * simulated devices, each behind a qxsim of its own. --interfaces gives the
 * device K render interfaces (1 to 3), --pending a driver that leaves every
 * call pending until it is cancelled; both hold from the device's next
 * start, and an install without them takes them back. */
#include <windows.h>

#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "qxpipe.h"

#define HARDWARE_ID L"ROOT\\QXSIM"
#define SERVICE L"qx-10_20"

static const GUID render_class = {
    0x65e8773e, 0x8f56, 0x11d0, {0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}};
static const GUID media_class = {
    0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

static void fail(const char *what)
{
    DWORD e = GetLastError();
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, e, 0, text,
                   sizeof text, NULL);
    size_t n = strlen(text);
    while (n && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        text[--n] = 0;
    fprintf(stderr, "qxdevinst: %s: error 0x%lx%s%s\n", what, (unsigned long)e, n ? ", " : "",
            text);
}

static void instance_id(wchar_t *id, size_t cap, unsigned n)
{
    swprintf(id, cap, L"%ls\\%04u", HARDWARE_ID, n);
}

typedef struct Settings {
    const wchar_t *pipe;
    DWORD timeout;    /* 0: the driver's own bound */
    DWORD interfaces; /* 1 to 3 */
    DWORD pending;    /* 0 or 1 */
} Settings;

static int set_settings(HDEVINFO set, SP_DEVINFO_DATA *dev, const Settings *o)
{
    const wchar_t *pipe = o->pipe;
    DWORD timeout = o->timeout;
    HKEY key = SetupDiCreateDevRegKeyW(set, dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
    if (key == INVALID_HANDLE_VALUE) {
        fail("cannot open the device's settings");
        return 1;
    }
    LONG r = RegSetValueExW(key, L"QxPipe", 0, REG_SZ, (const BYTE *)pipe,
                            (DWORD)((wcslen(pipe) + 1) * sizeof(wchar_t)));
    if (r == ERROR_SUCCESS) {
        if (timeout)
            r = RegSetValueExW(key, L"QxTimeoutMs", 0, REG_DWORD, (const BYTE *)&timeout,
                               sizeof timeout);
        else
            RegDeleteValueW(key, L"QxTimeoutMs");
    }
    if (r == ERROR_SUCCESS)
        r = RegSetValueExW(key, L"QxInterfaces", 0, REG_DWORD, (const BYTE *)&o->interfaces,
                           sizeof o->interfaces);
    if (r == ERROR_SUCCESS)
        r = RegSetValueExW(key, L"QxPending", 0, REG_DWORD, (const BYTE *)&o->pending,
                           sizeof o->pending);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) {
        SetLastError((DWORD)r);
        fail("cannot write the device's settings");
        return 1;
    }
    return 0;
}

static int install(unsigned n, const Settings *o)
{
    wchar_t inf[MAX_PATH];
    DWORD len = GetModuleFileNameW(NULL, inf, MAX_PATH);
    wchar_t *slash = len && len < MAX_PATH ? wcsrchr(inf, L'\\') : NULL;
    if (!slash || (size_t)(slash - inf) + 16 >= MAX_PATH) {
        fprintf(stderr, "qxdevinst: cannot tell this program's folder\n");
        return 1;
    }
    wcscpy(slash + 1, L"qxsimdrv.inf");
    if (GetFileAttributesW(inf) == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "qxdevinst: %ls is missing (it belongs beside qxdevinst.exe)\n", inf);
        return 1;
    }

    wchar_t id[64];
    instance_id(id, 64, n);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&media_class, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        fail("cannot make a device list");
        return 1;
    }
    SP_DEVINFO_DATA dev;
    memset(&dev, 0, sizeof dev);
    dev.cbSize = sizeof dev;
    int fresh = 0;
    if (SetupDiOpenDeviceInfoW(set, id, NULL, 0, &dev)) {
        printf("qxdevinst: %ls is installed already\n", id);
    } else if (!SetupDiCreateDeviceInfoW(set, id, &media_class, L"Simulated QX device", NULL, 0,
                                         &dev)) {
        fail("cannot create the device");
        SetupDiDestroyDeviceInfoList(set);
        return 1;
    } else {
        static const wchar_t hwid[] = HARDWARE_ID L"\0";
        if (!SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, (const BYTE *)hwid,
                                               sizeof hwid)) {
            fail("cannot set the device's hardware id");
            SetupDiDestroyDeviceInfoList(set);
            return 1;
        }
        if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev)) {
            fail("cannot register the device");
            SetupDiDestroyDeviceInfoList(set);
            return 1;
        }
        fresh = 1;
    }
    // Before the driver starts: it reads them when the device starts.
    int bad = set_settings(set, &dev, o);
    SetupDiDestroyDeviceInfoList(set);
    if (bad)
        return 1;
    if (fresh) {
        BOOL reboot = FALSE;
        if (!UpdateDriverForPlugAndPlayDevicesW(NULL, HARDWARE_ID, inf, INSTALLFLAG_FORCE,
                                                &reboot)) {
            fail("cannot install the driver from qxsimdrv.inf");
            return 1;
        }
        printf("qxdevinst: installed %ls with its driver, served on pipe %ls\n", id, o->pipe);
    }
    return 0;
}

// The interface path of instance n when SetupAPI lists it as present with
// the driver service; 0 when found.
static int find_present(unsigned n, wchar_t *path, size_t cap)
{
    wchar_t want[64];
    instance_id(want, 64, n);
    HDEVINFO set =
        SetupDiGetClassDevsW(&render_class, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return 1;
    int found = 1;
    SP_DEVINFO_DATA dev;
    memset(&dev, 0, sizeof dev);
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; found && SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        wchar_t id[256];
        wchar_t service[128] = L"";
        if (!SetupDiGetDeviceInstanceIdW(set, &dev, id, 256, NULL) || _wcsicmp(id, want) != 0)
            continue;
        if (!SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_SERVICE, NULL, (BYTE *)service,
                                               sizeof service - 2, NULL) ||
            wcscmp(service, SERVICE) != 0)
            continue;
        SP_DEVICE_INTERFACE_DATA ifc;
        memset(&ifc, 0, sizeof ifc);
        ifc.cbSize = sizeof ifc;
        if (!SetupDiEnumDeviceInterfaces(set, &dev, &render_class, 0, &ifc))
            continue;
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W d;
            BYTE bytes[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + 1024];
        } detail;
        detail.d.cbSize = sizeof detail.d;
        if (SetupDiGetDeviceInterfaceDetailW(set, &ifc, &detail.d, sizeof detail, NULL, NULL)) {
            wcsncpy(path, detail.d.DevicePath, cap - 1);
            path[cap - 1] = 0;
            found = 0;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

static int present(unsigned n, DWORD wait_ms)
{
    wchar_t path[512];
    DWORD start = GetTickCount();
    for (;;) {
        if (find_present(n, path, 512) == 0) {
            printf("%ls\n", path);
            return 0;
        }
        if (GetTickCount() - start >= wait_ms)
            break;
        Sleep(100);
    }
    wchar_t id[64];
    instance_id(id, 64, n);
    fprintf(stderr,
            "qxdevinst: SetupAPI lists no present %ls with driver service "
            "qx-10_20"
            " and a render interface after %lu ms\n",
            id, (unsigned long)wait_ms);
    return 1;
}

static void usage(FILE *f)
{
    fprintf(f,
            "Usage: qxdevinst install [--instance N] [--pipe NAME] [--timeout-ms MS]\n"
            "                         [--interfaces K] [--pending]\n"
            "       qxdevinst present [--instance N] [--wait-ms MS]\n"
            "       qxdevinst hold\n"
            "install: installs the simulated device ROOT\\QXSIM\\000N (N = 0 unless\n"
            "         given) with the driver of qxsimdrv.inf beside this program; its\n"
            "         driver hands calls to the qxsim serving pipe NAME (default\n"
            "         " QXPIPE_DEFAULT_NAME "), and gives each call MS milliseconds (default %u);\n"
            "         with K render interfaces (1 to 3, default 1: several, as a device\n"
            "         with several audio endpoints has), and with --pending a driver that\n"
            "         leaves every call pending until its caller cancels it.\n"
            "present: waits up to MS milliseconds (default 0) until SetupAPI lists the\n"
            "         device as present, then prints its interface path; exit 1 if not.\n"
            "hold:    waits until ended, so that the system's device services stay up.\n",
            QXPIPE_CALL_TIMEOUT_MS);
}

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    unsigned n = 0;
    Settings o = {L"" QXPIPE_DEFAULT_NAME, 0, 1, 0};
    DWORD wait_ms = 0;
    for (int i = 2; i < argc; ++i) {
        const wchar_t *a = argv[i];
        if (wcscmp(a, L"--pending") == 0) {
            o.pending = 1;
            continue;
        }
        const wchar_t *v = i + 1 < argc ? argv[i + 1] : NULL;
        wchar_t *end = NULL;
        if (!v) {
            fprintf(stderr, "qxdevinst: %ls needs a value\n", a);
            return 2;
        }
        if (wcscmp(a, L"--instance") == 0) {
            unsigned long x = wcstoul(v, &end, 10);
            if (*end || x > 9999) {
                fprintf(stderr, "qxdevinst: bad instance '%ls' (0 to 9999)\n", v);
                return 2;
            }
            n = (unsigned)x;
        } else if (wcscmp(a, L"--pipe") == 0) {
            if (!*v || wcslen(v) > QXPIPE_NAME_MAX || wcspbrk(v, L"\\/")) {
                fprintf(stderr, "qxdevinst: bad pipe name '%ls'\n", v);
                return 2;
            }
            o.pipe = v;
        } else if (wcscmp(a, L"--interfaces") == 0) {
            unsigned long x = wcstoul(v, &end, 10);
            if (*end || x < 1 || x > 3) {
                fprintf(stderr, "qxdevinst: bad interface count '%ls' (1 to 3)\n", v);
                return 2;
            }
            o.interfaces = (DWORD)x;
        } else if (wcscmp(a, L"--timeout-ms") == 0 || wcscmp(a, L"--wait-ms") == 0) {
            unsigned long x = wcstoul(v, &end, 10);
            if (*end || x < 1 || x > 600000) {
                fprintf(stderr, "qxdevinst: bad value '%ls' for %ls\n", v, a);
                return 2;
            }
            if (a[2] == L't' && x > 60000) {
                fprintf(stderr, "qxdevinst: --timeout-ms is at most 60000\n");
                return 2;
            }
            if (a[2] == L't')
                o.timeout = (DWORD)x;
            else
                wait_ms = (DWORD)x;
        } else {
            fprintf(stderr, "qxdevinst: unknown option '%ls'\n", a);
            return 2;
        }
        ++i;
    }
    if (wcscmp(argv[1], L"install") == 0)
        return install(n, &o);
    if (wcscmp(argv[1], L"present") == 0)
        return present(n, wait_ms);
    if (wcscmp(argv[1], L"hold") == 0) {
        for (;;)
            Sleep(INFINITE);
    }
    if (wcscmp(argv[1], L"--help") == 0 || wcscmp(argv[1], L"-h") == 0) {
        usage(stdout);
        return 0;
    }
    usage(stderr);
    return 2;
}
