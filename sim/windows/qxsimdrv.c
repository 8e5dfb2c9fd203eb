/* qxsimdrv: a test driver that puts the simulated device behind the
 * system's own device path. A WDM function driver for a root-enumerated
 * device: it registers the audio render interface with the device's
 * reference string, and hands every I/O-control call over a named pipe to a
 * user-mode process (qxsim.exe), completing the call with that process's
 * status and byte count (qxpipe.h has the framing).
 *
 * Every wait has a bound: nobody serving the pipe, or a server that died,
 * completes a call at once with STATUS_DEVICE_NOT_CONNECTED; a server that
 * takes a call and never answers costs that one call the bound
 * (STATUS_IO_TIMEOUT), after which the pipe is opened afresh.
 *
 * Two settings make it as hostile as a real device can be: "QxInterfaces"
 * (1 to 3) registers that many render interfaces on the one device, told
 * apart by their reference strings, as an audio interface with several
 * endpoints has; "QxPending" = 1 leaves every call pending until its caller
 * cancels it, as a driver whose device stalls its control endpoint does. */
#include <ntifs.h>

#include "qxpipe.h"

#define QXDRV_IOCTL 0x222000u /* IOCTL_QX_CONTROL of the device's interface */
#define QXDRV_REFERENCE L"qx-10_20"
/* The render interfaces of a device with several: the control interface's
 * reference string and two more, which sort after it, so that the last one
 * enumerated is not the control interface. */
#define QXDRV_MAX_INTERFACES 3
static const WCHAR *const qxdrv_references[QXDRV_MAX_INTERFACES] = {QXDRV_REFERENCE, L"wave2",
                                                                    L"wave3"};
#define QXDRV_RENDER_CLASS L"{65e8773e-8f56-11d0-a3b9-00a0c9223196}"
#define QXDRV_TAG 0x6d537851u /* "QxSm" in pool dumps */
/* The lower drivers' share of a start. */
#define QXDRV_START_TIMEOUT_MS 10000
/* After a call's bound ran out and its pipe was closed, how long the
 * cancelled transfer may take to let go of its buffer. */
#define QXDRV_DRAIN_MS 1000
#define QXDRV_TEXT 512
/* Between opens of a pipe whose one instance is busy. */
#define QXDRV_BUSY_PAUSE_MS 5

static const GUID qxdrv_render_class = {
    0x65e8773e, 0x8f56, 0x11d0, {0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}};

enum { START_WAITING, START_DONE, START_GAVE_UP };

typedef struct QxDev {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT lower;
    /* Each interface's symbolic link, from the system. */
    UNICODE_STRING link[QXDRV_MAX_INTERFACES];
    int links;
    BOOLEAN enabled[QXDRV_MAX_INTERFACES]; /* by IoSetDeviceInterfaceState */
    BOOLEAN by_hand[QXDRV_MAX_INTERFACES]; /* by enable_by_hand */
    /* enable_by_hand's directory, kept while the device is. */
    HANDLE link_dir[QXDRV_MAX_INTERFACES];
    BOOLEAN pending; /* calls wait until cancelled */
    KEVENT lock;     /* one call on the pipe at a time */
    HANDLE pipe;     /* null while closed */
    WCHAR pipe_text[16 + QXPIPE_NAME_MAX];
    UNICODE_STRING pipe_name;
    ULONG timeout_ms;
    BOOLEAN gone; /* the device was unplugged */
    volatile LONG start_state;
    KEVENT started;
} QxDev;

/* One call's memory: the transfer's status block lives here, so that a
 * transfer cancelled late still writes into memory of its own. */
typedef struct QxCall {
    IO_STATUS_BLOCK iosb;
    HANDLE event;
    UCHAR buf[1];
} QxCall;

static LONGLONG now_ms(void)
{
    LARGE_INTEGER freq;
    LARGE_INTEGER c = KeQueryPerformanceCounter(&freq);
    if (freq.QuadPart <= 0)
        return 0;
    return c.QuadPart / freq.QuadPart * 1000 + c.QuadPart % freq.QuadPart * 1000 / freq.QuadPart;
}

static LARGE_INTEGER relative_ms(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -(ms < 0 ? 0 : ms) * 10000;
    return t;
}

static ULONG get_u32(const UCHAR *p)
{
    return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
}

static void put_u32(UCHAR *p, ULONG v)
{
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)(v >> 16);
    p[3] = (UCHAR)(v >> 24);
}

/* Appends n characters of s (n < 0: up to its NUL); 1 when out of room. */
static int append(WCHAR *buf, USHORT *len, const WCHAR *s, int n)
{
    if (n < 0)
        for (n = 0; s[n]; ++n)
            ;
    if (*len + n >= QXDRV_TEXT)
        return 1;
    RtlCopyMemory(buf + *len, s, n * sizeof(WCHAR));
    *len = (USHORT)(*len + n);
    buf[*len] = 0;
    return 0;
}

static int last_backslash(const UNICODE_STRING *s)
{
    int at = -1;
    for (int i = 0; i < s->Length / (int)sizeof(WCHAR); ++i)
        if (s->Buffer[i] == L'\\')
            at = i;
    return at;
}

/* A DWORD setting under key; fallback when there is none. */
static ULONG read_dword(HANDLE key, const WCHAR *name, ULONG fallback)
{
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8];
    } v;
    ULONG got = 0;
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, name);
    if (NT_SUCCESS(ZwQueryValueKey(key, &value, KeyValuePartialInformation, &v, sizeof v, &got)) &&
        v.info.Type == REG_DWORD && v.info.DataLength == 4)
        return get_u32(v.info.Data);
    return fallback;
}

/* A DWORD under the device's hardware key, or fallback. */
static ULONG read_device_dword(PDEVICE_OBJECT pdo, const WCHAR *name, ULONG fallback)
{
    HANDLE key;
    ULONG v = fallback;
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
        v = read_dword(key, name, fallback);
        ZwClose(key);
    }
    return v;
}

/* How many render interfaces the device has ("QxInterfaces", 1 unless
 * set), read when the device is added. */
static int read_interfaces(PDEVICE_OBJECT pdo)
{
    ULONG n = read_device_dword(pdo, L"QxInterfaces", 1);
    return n >= 1 && n <= QXDRV_MAX_INTERFACES ? (int)n : 1;
}

/* Whether calls are left pending ("QxPending" = 1). */
static BOOLEAN read_pending(PDEVICE_OBJECT pdo)
{
    return read_device_dword(pdo, L"QxPending", 0) == 1;
}

/* The device's settings: the pipe's name ("QxPipe") and the per-call bound
 * ("QxTimeoutMs"), both under the device's hardware key. */
static void read_settings(QxDev *d)
{
    const WCHAR *prefix = L"\\??\\pipe\\";
    WCHAR name[QXPIPE_NAME_MAX + 1];
    int n = 0;
    for (const char *p = QXPIPE_DEFAULT_NAME; *p; ++p)
        name[n++] = (WCHAR)*p;
    name[n] = 0;
    d->timeout_ms = QXPIPE_CALL_TIMEOUT_MS;

    HANDLE key;
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(d->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
        union {
            KEY_VALUE_PARTIAL_INFORMATION info;
            UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 2 * QXPIPE_NAME_MAX + 4];
        } v;
        ULONG got = 0;
        UNICODE_STRING value;
        RtlInitUnicodeString(&value, L"QxPipe");
        if (NT_SUCCESS(
                ZwQueryValueKey(key, &value, KeyValuePartialInformation, &v, sizeof v, &got)) &&
            v.info.Type == REG_SZ) {
            const WCHAR *s = (const WCHAR *)v.info.Data;
            int len = 0;
            int ok = 1;
            while (len < (int)(v.info.DataLength / sizeof(WCHAR)) && s[len]) {
                if (s[len] == L'\\' || s[len] == L'/' || len >= QXPIPE_NAME_MAX)
                    ok = 0;
                ++len;
            }
            if (ok && len > 0) {
                RtlCopyMemory(name, s, len * sizeof(WCHAR));
                name[len] = 0;
            } else {
                DbgPrint("qxsimdrv: QxPipe is not a pipe name; using " QXPIPE_DEFAULT_NAME "\n");
            }
        }
        RtlInitUnicodeString(&value, L"QxTimeoutMs");
        if (NT_SUCCESS(
                ZwQueryValueKey(key, &value, KeyValuePartialInformation, &v, sizeof v, &got)) &&
            v.info.Type == REG_DWORD && v.info.DataLength == 4) {
            ULONG ms = get_u32(v.info.Data);
            if (ms >= 1 && ms <= 60000)
                d->timeout_ms = ms;
        }
        ZwClose(key);
    }
    USHORT len = 0;
    d->pipe_text[0] = 0;
    int n1 = 0;
    for (; prefix[n1]; ++n1)
        d->pipe_text[len++] = prefix[n1];
    for (int i = 0; name[i]; ++i)
        d->pipe_text[len++] = name[i];
    d->pipe_text[len] = 0;
    RtlInitUnicodeString(&d->pipe_name, d->pipe_text);
}

/* The interface key's "Control" subkey, where the system records that an
 * interface is enabled ("Linked"): the name is the link's, "\??\" turned
 * into "##?#", cut at the reference string. */
static NTSTATUS set_linked(const UNICODE_STRING *link, ULONG linked)
{
    WCHAR buf[QXDRV_TEXT];
    USHORT len = 0;
    int cut = last_backslash(link);
    int units = link->Length / (int)sizeof(WCHAR);
    if (cut < 4 ||
        append(buf, &len,
               L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\"
               L"DeviceClasses\\" QXDRV_RENDER_CLASS L"\\##?#",
               -1) ||
        append(buf, &len, link->Buffer + 4, cut - 4) || append(buf, &len, L"\\#", -1) ||
        append(buf, &len, link->Buffer + cut + 1, units - cut - 1) ||
        append(buf, &len, L"\\Control", -1))
        return STATUS_NAME_TOO_LONG;
    UNICODE_STRING name = {len * sizeof(WCHAR), sizeof buf, buf};
    OBJECT_ATTRIBUTES attr;
    InitializeObjectAttributes(&attr, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE key;
    NTSTATUS st = ZwCreateKey(&key, KEY_SET_VALUE, &attr, 0, NULL, REG_OPTION_VOLATILE, NULL);
    if (!NT_SUCCESS(st))
        return st;
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, L"Linked");
    st = ZwSetValueKey(key, &value, 0, REG_DWORD, &linked, sizeof linked);
    ZwClose(key);
    return st;
}

/* What IoSetDeviceInterfaceState(TRUE) does, for a system whose call cannot
 * find the key of an interface with a reference string: the link's
 * directory, the link to the physical device, and "Linked". */
static NTSTATUS enable_by_hand(QxDev *d, int i)
{
    const UNICODE_STRING *link = &d->link[i];
    int cut = last_backslash(link);
    if (cut <= 0)
        return STATUS_OBJECT_NAME_INVALID;
    UNICODE_STRING dir = {(USHORT)(cut * sizeof(WCHAR)), (USHORT)(cut * sizeof(WCHAR)),
                          link->Buffer};
    OBJECT_ATTRIBUTES attr;
    InitializeObjectAttributes(&attr, &dir, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE | OBJ_OPENIF,
                               NULL, NULL);
    /* The interfaces of one device share the directory: each keeps it open. */
    NTSTATUS st = ZwCreateDirectoryObject(&d->link_dir[i], DIRECTORY_ALL_ACCESS, &attr);
    if (!NT_SUCCESS(st))
        return st;
    WCHAR target[QXDRV_TEXT];
    ULONG got = 0;
    st = IoGetDeviceProperty(d->pdo, DevicePropertyPhysicalDeviceObjectName, sizeof target - 2,
                             target, &got);
    if (NT_SUCCESS(st)) {
        UNICODE_STRING t;
        target[got / sizeof(WCHAR) < QXDRV_TEXT ? got / sizeof(WCHAR) : QXDRV_TEXT - 1] = 0;
        RtlInitUnicodeString(&t, target);
        st = IoCreateSymbolicLink((PUNICODE_STRING)link, &t);
    }
    if (NT_SUCCESS(st)) {
        st = set_linked(link, 1);
        if (!NT_SUCCESS(st))
            IoDeleteSymbolicLink((PUNICODE_STRING)link);
    }
    if (!NT_SUCCESS(st)) {
        ZwClose(d->link_dir[i]);
        d->link_dir[i] = NULL;
        return st;
    }
    d->by_hand[i] = TRUE;
    return STATUS_SUCCESS;
}

static NTSTATUS enable_interfaces(QxDev *d)
{
    for (int i = 0; i < d->links; ++i) {
        NTSTATUS st = IoSetDeviceInterfaceState(&d->link[i], TRUE);
        if (NT_SUCCESS(st)) {
            d->enabled[i] = TRUE;
            continue;
        }
        if (st != STATUS_OBJECT_NAME_NOT_FOUND)
            return st;
        DbgPrint("qxsimdrv: the system cannot enable interface %d (0x%08lx); enabling it by "
                 "hand\n",
                 i, (unsigned long)st);
        st = enable_by_hand(d, i);
        if (!NT_SUCCESS(st))
            return st;
    }
    return STATUS_SUCCESS;
}

/* Takes the interfaces away: later opens of their paths fail as for a
 * device that was pulled out. */
static void disable_interfaces(QxDev *d)
{
    for (int i = 0; i < d->links; ++i) {
        if (d->enabled[i]) {
            IoSetDeviceInterfaceState(&d->link[i], FALSE);
            d->enabled[i] = FALSE;
        }
        if (d->by_hand[i]) {
            set_linked(&d->link[i], 0);
            IoDeleteSymbolicLink(&d->link[i]);
            d->by_hand[i] = FALSE;
        }
    }
}

static void close_pipe(QxDev *d)
{
    if (d->pipe) {
        ZwClose(d->pipe);
        d->pipe = NULL;
    }
}

static NTSTATUS open_pipe(QxDev *d, QxCall *c)
{
    OBJECT_ATTRIBUTES attr;
    InitializeObjectAttributes(&attr, &d->pipe_name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL,
                               NULL);
    /* Asynchronous (no FILE_SYNCHRONOUS_IO_*), so that each transfer can be
     * waited for with a bound. An open of a pipe never waits. */
    return ZwCreateFile(&d->pipe, GENERIC_READ | GENERIC_WRITE, &attr, &c->iosb, NULL, 0, 0,
                        FILE_OPEN, FILE_NON_DIRECTORY_FILE, NULL, 0);
}

/* Moves len bytes to or from the pipe by the deadline. *stuck is set when a
 * transfer is still under way on return. */
static NTSTATUS transfer(QxDev *d, QxCall *c, BOOLEAN write, UCHAR *p, ULONG len, LONGLONG deadline,
                         BOOLEAN *stuck)
{
    while (len) {
        if (now_ms() >= deadline)
            return STATUS_IO_TIMEOUT;
        LARGE_INTEGER at;
        at.QuadPart = 0;
        NTSTATUS st = write
                          ? ZwWriteFile(d->pipe, c->event, NULL, NULL, &c->iosb, p, len, &at, NULL)
                          : ZwReadFile(d->pipe, c->event, NULL, NULL, &c->iosb, p, len, &at, NULL);
        if (st == STATUS_PENDING) {
            LARGE_INTEGER t = relative_ms(deadline - now_ms());
            st = ZwWaitForSingleObject(c->event, FALSE, &t);
            if (st != STATUS_SUCCESS) {
                *stuck = TRUE;
                return STATUS_IO_TIMEOUT;
            }
            st = c->iosb.Status;
        }
        if (!NT_SUCCESS(st))
            return st;
        ULONG n = (ULONG)c->iosb.Information;
        if (n == 0 || n > len)
            return STATUS_PIPE_BROKEN; /* end of file: the server closed */
        p += n;
        len -= n;
    }
    return STATUS_SUCCESS;
}

/* The status a server's error code stands for: the device's codes are
 * system error codes, which the NT status of facility 7 carries whole back
 * to the caller's GetLastError. */
static NTSTATUS status_of(ULONG code)
{
    if (code == 0)
        return STATUS_SUCCESS;
    if (code == 1167)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (code <= 0xffff)
        return (NTSTATUS)(0xC0070000u | code);
    return STATUS_UNSUCCESSFUL;
}

/* One call through the pipe; lock held. On success *count output bytes are
 * in out. */
static NTSTATUS call_server(QxDev *d, QxCall *c, const UCHAR *in, ULONG in_size, UCHAR *out,
                            ULONG out_size, ULONG *count, BOOLEAN *stuck)
{
    LONGLONG deadline = now_ms() + d->timeout_ms;
    UCHAR *req = c->buf;
    ULONG req_len = QXPIPE_PREFIX_BYTES + 8 + in_size;
    put_u32(req, 8 + in_size);
    put_u32(req + 4, QXDRV_IOCTL);
    put_u32(req + 8, out_size);
    RtlCopyMemory(req + 12, in, in_size);

    NTSTATUS st = STATUS_PIPE_BROKEN;
    /* A pipe kept from an earlier server is broken; the request never left,
     * so one fresh open may send it again. */
    for (int tries = 0; tries < 2 && !NT_SUCCESS(st); ++tries) {
        BOOLEAN fresh = FALSE;
        if (!d->pipe) {
            /* Settings written since the start (an installer run once the
             * session was up) hold from the next connection on. */
            read_settings(d);
            if (tries == 0)
                deadline = now_ms() + d->timeout_ms;
            /* A server that is still letting go of the last connection
             * (its one instance busy) comes back within moments; a pipe
             * that is not there at all means nobody serves. */
            NTSTATUS o;
            while ((o = open_pipe(d, c)) == STATUS_PIPE_BUSY || o == STATUS_PIPE_NOT_AVAILABLE ||
                   o == STATUS_INSTANCE_NOT_AVAILABLE) {
                d->pipe = NULL;
                if (now_ms() + QXDRV_BUSY_PAUSE_MS >= deadline)
                    return STATUS_DEVICE_NOT_CONNECTED;
                LARGE_INTEGER pause = relative_ms(QXDRV_BUSY_PAUSE_MS);
                KeDelayExecutionThread(KernelMode, FALSE, &pause);
            }
            if (!NT_SUCCESS(o)) {
                d->pipe = NULL;
                return STATUS_DEVICE_NOT_CONNECTED;
            }
            fresh = TRUE;
        }
        st = transfer(d, c, TRUE, req, req_len, deadline, stuck);
        if (*stuck || st == STATUS_IO_TIMEOUT)
            return STATUS_IO_TIMEOUT;
        if (!NT_SUCCESS(st)) {
            close_pipe(d);
            if (fresh)
                return STATUS_DEVICE_NOT_CONNECTED;
        }
    }
    if (!NT_SUCCESS(st))
        return STATUS_DEVICE_NOT_CONNECTED;

    UCHAR head[QXPIPE_REPLY_PREFIX_BYTES];
    st = transfer(d, c, FALSE, head, sizeof head, deadline, stuck);
    if (NT_SUCCESS(st)) {
        ULONG n = get_u32(head);
        ULONG flags = get_u32(head + 4);
        if (n < 4 || n - 4 > out_size) {
            DbgPrint("qxsimdrv: a reply of %lu bytes to a call for %lu\n", (unsigned long)n,
                     (unsigned long)out_size);
            close_pipe(d);
            return STATUS_DEVICE_PROTOCOL_ERROR;
        }
        st = transfer(d, c, FALSE, c->buf, n, deadline, stuck);
        if (NT_SUCCESS(st)) {
            st = status_of(get_u32(c->buf));
            *count = NT_SUCCESS(st) ? n - 4 : 0;
            RtlCopyMemory(out, c->buf + 4, *count);
            if (flags & QXPIPE_UNPLUGGED) {
                DbgPrint("qxsimdrv: the device was unplugged\n");
                d->gone = TRUE;
                disable_interfaces(d);
                close_pipe(d);
            }
            return st;
        }
    }
    if (*stuck || st == STATUS_IO_TIMEOUT) {
        DbgPrint("qxsimdrv: no answer within %lu ms\n", (unsigned long)d->timeout_ms);
        return STATUS_IO_TIMEOUT;
    }
    close_pipe(d); /* the server went away mid-call */
    return STATUS_DEVICE_NOT_CONNECTED;
}

static NTSTATUS complete(PIRP irp, NTSTATUS st, ULONG_PTR info)
{
    irp->IoStatus.Status = st;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

static void on_cancel(PDEVICE_OBJECT dev, PIRP irp)
{
    (void)dev;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    DbgPrint("qxsimdrv: a pending call was cancelled\n");
    complete(irp, STATUS_CANCELLED, 0);
}

/* A call the device never answers: it stays pending until its caller
 * cancels it, and nothing else ever completes it. */
static NTSTATUS leave_pending(PIRP irp)
{
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, on_cancel);
    /* Cancelled before the routine was in place: nobody else will end it. */
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    return STATUS_PENDING;
}

static NTSTATUS on_control(QxDev *d, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_size = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_size = sp->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR *buf = (UCHAR *)irp->AssociatedIrp.SystemBuffer;
    if (code != QXDRV_IOCTL)
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (in_size > QXPIPE_MAX_REQUEST - 8 || out_size > QXPIPE_MAX_REPLY - 4 ||
        ((in_size || out_size) && !buf))
        return complete(irp, STATUS_INVALID_PARAMETER, 0);

    /* A setting written since the start (an installer run once the session
     * was up) holds from the next connection on. */
    if (!d->pipe)
        d->pending = read_pending(d->pdo);
    if (d->pending)
        return leave_pending(irp);

    LARGE_INTEGER t = relative_ms(d->timeout_ms);
    if (KeWaitForSingleObject(&d->lock, Executive, KernelMode, FALSE, &t) != STATUS_SUCCESS)
        return complete(irp, STATUS_IO_TIMEOUT, 0);
    if (d->gone) {
        KeSetEvent(&d->lock, IO_NO_INCREMENT, FALSE);
        return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    ULONG room = in_size + 8 > out_size + 4 ? in_size + 8 : out_size + 4;
    QxCall *c = (QxCall *)ExAllocatePoolWithTag(
        NonPagedPoolNx, sizeof(QxCall) + QXPIPE_PREFIX_BYTES + room, QXDRV_TAG);
    NTSTATUS st = STATUS_INSUFFICIENT_RESOURCES;
    ULONG count = 0;
    BOOLEAN stuck = FALSE;
    if (c) {
        OBJECT_ATTRIBUTES attr;
        InitializeObjectAttributes(&attr, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
        st = ZwCreateEvent(&c->event, EVENT_ALL_ACCESS, &attr, NotificationEvent, FALSE);
        if (NT_SUCCESS(st)) {
            st = call_server(d, c, buf, in_size, buf, out_size, &count, &stuck);
            if (stuck && d->pipe) {
                IO_STATUS_BLOCK io;
                ZwCancelIoFile(d->pipe, &io);
            }
            if (stuck || st == STATUS_IO_TIMEOUT)
                close_pipe(d); /* cancels what is still under way */
            BOOLEAN freed = TRUE;
            if (stuck) {
                LARGE_INTEGER drain = relative_ms(QXDRV_DRAIN_MS);
                /* A transfer that never lets go keeps its memory: freeing
                 * it would let the late completion write into another
                 * allocation. */
                freed = ZwWaitForSingleObject(c->event, FALSE, &drain) == STATUS_SUCCESS;
            }
            ZwClose(c->event);
            if (freed)
                ExFreePoolWithTag(c, QXDRV_TAG);
        } else {
            ExFreePoolWithTag(c, QXDRV_TAG);
        }
    }
    KeSetEvent(&d->lock, IO_NO_INCREMENT, FALSE);
    return complete(irp, st, NT_SUCCESS(st) ? count : 0);
}

/* The file name of an open: empty, or the reference string. */
static NTSTATUS on_create(QxDev *d, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    UNICODE_STRING ref;
    RtlInitUnicodeString(&ref, L"\\" QXDRV_REFERENCE);
    PUNICODE_STRING name = sp->FileObject ? &sp->FileObject->FileName : NULL;
    if (d->gone)
        return complete(irp, STATUS_NO_SUCH_DEVICE, 0);
    if (name && name->Length && !RtlEqualUnicodeString(name, &ref, TRUE))
        return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS on_start_done(PDEVICE_OBJECT dev, PIRP irp, PVOID ctx)
{
    QxDev *d = (QxDev *)ctx;
    (void)dev;
    if (InterlockedExchange(&d->start_state, START_DONE) == START_GAVE_UP) {
        /* Too late: the device stays without its interface. The start
         * returned pending when it gave up. */
        if (irp->PendingReturned)
            IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_IO_TIMEOUT;
        return STATUS_CONTINUE_COMPLETION;
    }
    KeSetEvent(&d->started, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* The lower drivers start first; the interface is enabled once they have.
 * Completed before returning, with its own status: Wine 8.0 waits for a
 * start that returned pending without ever being told that it completed,
 * which holds up the start of the driver's next device. */
static NTSTATUS on_start(QxDev *d, PIRP irp)
{
    InterlockedExchange(&d->start_state, START_WAITING);
    KeClearEvent(&d->started);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, on_start_done, d, TRUE, TRUE, TRUE);
    IoCallDriver(d->lower, irp);
    LARGE_INTEGER t = relative_ms(QXDRV_START_TIMEOUT_MS);
    if (KeWaitForSingleObject(&d->started, Executive, KernelMode, FALSE, &t) != STATUS_SUCCESS &&
        InterlockedExchange(&d->start_state, START_GAVE_UP) == START_WAITING) {
        DbgPrint("qxsimdrv: the lower drivers did not start the device within %d ms\n",
                 QXDRV_START_TIMEOUT_MS);
        return STATUS_PENDING;
    }
    NTSTATUS st = irp->IoStatus.Status;
    if (NT_SUCCESS(st)) {
        read_settings(d);
        st = enable_interfaces(d);
        if (!NT_SUCCESS(st))
            DbgPrint("qxsimdrv: cannot enable the interface: 0x%08lx\n", (unsigned long)st);
    }
    irp->IoStatus.Status = st;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

static NTSTATUS pass_down(QxDev *d, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(d->lower, irp);
}

static NTSTATUS on_pnp(QxDev *d, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return on_start(d, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        disable_interfaces(d);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return pass_down(d, irp);
    case IRP_MN_REMOVE_DEVICE: {
        disable_interfaces(d);
        close_pipe(d);
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS st = pass_down(d, irp);
        for (int i = 0; i < d->links; ++i) {
            if (d->link_dir[i])
                ZwClose(d->link_dir[i]);
            RtlFreeUnicodeString(&d->link[i]);
        }
        IoDetachDevice(d->lower);
        IoDeleteDevice(d->self);
        return st;
    }
    default:
        return pass_down(d, irp);
    }
}

static NTSTATUS dispatch(PDEVICE_OBJECT dev, PIRP irp)
{
    QxDev *d = (QxDev *)dev->DeviceExtension;
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
        return on_create(d, irp);
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        return on_control(d, irp);
    case IRP_MJ_PNP:
        return on_pnp(d, irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(d->lower, irp);
    default:
        return pass_down(d, irp);
    }
}

static NTSTATUS add_device(PDRIVER_OBJECT drv, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo;
    NTSTATUS st = IoCreateDevice(drv, sizeof(QxDev), NULL, FILE_DEVICE_UNKNOWN,
                                 FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(st))
        return st;
    QxDev *d = (QxDev *)fdo->DeviceExtension;
    RtlZeroMemory(d, sizeof *d);
    d->self = fdo;
    d->pdo = pdo;
    KeInitializeEvent(&d->lock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&d->started, NotificationEvent, FALSE);
    d->timeout_ms = QXPIPE_CALL_TIMEOUT_MS;
    d->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!d->lower) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    int want = read_interfaces(pdo);
    for (int i = 0; i < want; ++i) {
        UNICODE_STRING ref;
        RtlInitUnicodeString(&ref, qxdrv_references[i]);
        st = IoRegisterDeviceInterface(pdo, &qxdrv_render_class, &ref, &d->link[i]);
        if (!NT_SUCCESS(st)) {
            DbgPrint("qxsimdrv: cannot register interface %d: 0x%08lx\n", i, (unsigned long)st);
            for (int k = 0; k < i; ++k)
                RtlFreeUnicodeString(&d->link[k]);
            IoDetachDevice(d->lower);
            IoDeleteDevice(fdo);
            return st;
        }
        d->links = i + 1;
    }
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void unload(PDRIVER_OBJECT drv)
{
    (void)drv;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT drv, PUNICODE_STRING registry)
{
    (void)registry;
    drv->DriverExtension->AddDevice = add_device;
    drv->DriverUnload = unload;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        drv->MajorFunction[i] = dispatch;
    return STATUS_SUCCESS;
}
