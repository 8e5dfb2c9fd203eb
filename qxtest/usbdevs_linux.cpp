// Device access on Linux: the device is a SOCK_SEQPACKET endpoint in the
// device directory (qxwire.h), served by a daemon that speaks for the driver.
// Discovery checks the endpoint; each I/O-control call is one connection.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "qxsites.h"
#include "qxsys.h"
#include "qxwire.h"
#include "usbdevs.h"

namespace
{
// The last failure of this thread, kept like the system's last error.
thread_local uint32_t t_last_code = 0;
thread_local int t_last_errno = 0;

// The one place where a Linux error becomes a Windows-style code.
uint32_t windows_code(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return USBDEVS_ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return 5; // ERROR_ACCESS_DENIED
    case ENOMEM:
    case ENOBUFS:
        return 8; // ERROR_NOT_ENOUGH_MEMORY
    case EMFILE:
    case ENFILE:
        return 4; // ERROR_TOO_MANY_OPEN_FILES
    case ENAMETOOLONG:
        return 206; // ERROR_FILENAME_EXCED_RANGE
    case EAGAIN:
    case ETIMEDOUT:
        return 121; // ERROR_SEM_TIMEOUT
    case ECONNREFUSED:
        // A socket file with no daemon behind it: the device has gone.
        return USBDEVS_ERROR_DEVICE_NOT_CONNECTED;
    default:
        return USBDEVS_ERROR_GEN_FAILURE;
    }
}

void set_last_error(int err)
{
    t_last_errno = err;
    t_last_code = windows_code(err);
}

const char *code_text(uint32_t code)
{
    switch (code) {
    case 2:
        return "The system cannot find the file specified.";
    case 4:
        return "The system cannot open the file.";
    case 5:
        return "Access is denied.";
    case 8:
        return "Not enough memory resources are available to process this command.";
    case 31:
        return "A device attached to the system is not functioning.";
    case 87:
        return "The parameter is incorrect.";
    case 121:
        return "The semaphore timeout period has expired.";
    case 206:
        return "The filename or extension is too long.";
    case 995:
        return "The I/O operation has been aborted because of either a thread exit or an "
               "application request.";
    case 1167:
        return "The device is not connected.";
    default:
        return nullptr;
    }
}

// The same codes in the project's words, for the messages a user reads:
// the Windows system's sentences above stay in the diagnostic lines, where
// they match what the Windows build prints.
const char *plain_text(uint32_t code)
{
    switch (code) {
    case 2:
        return "the device's endpoint is not there";
    case 4:
        return "too many files are open";
    case 5:
        return "access to the device is denied";
    case 8:
        return "the system is out of memory";
    case 31:
        return "the device reported a failure";
    case 87:
        return "the request was not valid";
    case 121:
        return "the device did not answer in time";
    case 206:
        return "the device's path is too long";
    case 1167:
        return "the device is not connected";
    default:
        return nullptr;
    }
}

void set_timeouts(int fd, unsigned ms)
{
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool is_timeout(int err)
{
    return err == EAGAIN || err == ETIMEDOUT;
}

// Connects to the endpoint at path; -1 with the last error set.
int open_endpoint(const char *path, unsigned bound_ms)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len == 0 || len >= sizeof addr.sun_path) {
        set_last_error(len ? ENAMETOOLONG : ENOENT);
        return -1;
    }
    memcpy(addr.sun_path, path, len);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        set_last_error(errno);
        return -1;
    }
    set_timeouts(fd, bound_ms);
    int r;
    do {
        r = connect(fd, (struct sockaddr *)&addr, sizeof addr);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        set_last_error(errno);
        close(fd);
        return -1;
    }
    return fd;
}

// Sends the request packet; 0 when all of it went out, else the
// Windows-style code of the failure.
uint32_t send_request(int fd, const uint8_t *in, uint32_t in_size, uint32_t out_size)
{
    uint8_t head[QXWIRE_REQUEST_HEADER];
    qxwire_put_request_header(head, IOCTL_QX_CONTROL, out_size);
    struct iovec iov[2];
    iov[0].iov_base = head;
    iov[0].iov_len = sizeof head;
    iov[1].iov_base = (void *)in;
    iov[1].iov_len = in_size;
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    ssize_t n;
    do {
        n = sendmsg(fd, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        set_last_error(errno);
        return t_last_code;
    }
    qxwire_count(QXWIRE_COUNT_REQUESTS);
    return (size_t)n == sizeof head + in_size ? 0 : USBDEVS_ERROR_GEN_FAILURE;
}

// Receives the reply packet: status and at most out_size bytes into out.
// *count is the number of output bytes the peer sent, even beyond out_size.
// 0, or the Windows-style code of the failure.
uint32_t recv_reply(int fd, uint8_t *out, uint32_t out_size, uint32_t *status, uint32_t *count)
{
    uint8_t head[QXWIRE_REPLY_HEADER];
    struct iovec iov[2];
    iov[0].iov_base = head;
    iov[0].iov_len = sizeof head;
    iov[1].iov_base = out;
    iov[1].iov_len = out ? out_size : 0;
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    ssize_t n;
    do {
        n = recvmsg(fd, &msg, MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        // A timeout here is a device that took the request and never answered.
        set_last_error(errno);
        return t_last_code;
    }
    if (n == 0) {
        // The kernel may report the daemon's close while the reply it sent
        // just before is still queued (it checks the queue, then the
        // shutdown, without a lock between): look once more without waiting.
        do {
            n = recvmsg(fd, &msg, MSG_TRUNC | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n > 0)
            qxwire_count(QXWIRE_COUNT_LATE_REPLIES);
        else
            n = 0;
    }
    // No reply at all (the peer closed) or a packet without its status.
    if (n == 0)
        qxwire_count(QXWIRE_COUNT_NO_REPLY);
    if ((size_t)n < sizeof head || (size_t)n > QXWIRE_MAX_REPLY)
        return USBDEVS_ERROR_GEN_FAILURE;
    qxwire_count(QXWIRE_COUNT_REPLIES);
    *status = qxwire_get_u32(head);
    *count = (uint32_t)((size_t)n - sizeof head);
    return 0;
}

// A device that took a call and never answered it would cost the whole
// bound on every later call, and the waits above make up to a thousand calls
// in a row. So once a call has timed out the device counts as silent, and
// later calls to it fail at once, as timed out, without reaching it. It
// counts as answering again as soon as the unanswered call, kept open, gets
// its late reply or is closed by the daemon; and, in case it never will, one
// call a second goes through as a probe with a short bound.
struct Silence {
    std::mutex lock;
    bool silent = false;
    std::string path;
    int pending = -1;        // the connection of the unanswered call
    uint64_t last_probe = 0; // qxwire_now_ms
};

// Never destroyed: a worker thread may still make a call while the process
// exits.
Silence &g_silence = *new Silence;

enum CallKind { CALL_NORMAL, CALL_PROBE, CALL_REFUSE };

// Caller holds the lock.
void forget_silence(Silence &s)
{
    if (s.pending >= 0)
        close(s.pending);
    s.pending = -1;
    s.silent = false;
    s.path.clear();
}

CallKind silence_check(const char *path)
{
    Silence &s = g_silence;
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.silent || s.path != path)
        return CALL_NORMAL;
    if (s.pending >= 0) {
        struct pollfd pfd = {s.pending, POLLIN, 0};
        if (poll(&pfd, 1, 0) > 0 && pfd.revents) {
            forget_silence(s);
            return CALL_NORMAL;
        }
    }
    uint64_t now = qxwire_now_ms();
    if (now - s.last_probe >= QXWIRE_PROBE_INTERVAL_MS) {
        s.last_probe = now;
        return CALL_PROBE;
    }
    return CALL_REFUSE;
}

// A call to path timed out; fd (or -1) is its connection, kept open so that
// a late reply shows that the device answers again.
void silence_mark(const char *path, int fd)
{
    Silence &s = g_silence;
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.silent || s.path != path) {
        forget_silence(s);
        s.silent = true;
        s.path = path;
        s.last_probe = qxwire_now_ms();
    }
    if (fd >= 0) {
        // The call is given up: a daemon that has not served it yet sees the
        // half-close and drops it, rather than apply it a step ahead of us.
        shutdown(fd, SHUT_WR);
        if (s.pending >= 0)
            close(s.pending);
        s.pending = fd;
    }
}

// The device at path has answered a call.
void silence_clear(const char *path)
{
    Silence &s = g_silence;
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.silent && s.path == path)
        forget_silence(s);
}

int lx_init(void *)
{
    return 0;
}

// Whether anything serves the endpoint, asked without waiting and without a
// request: a daemon takes a connection that asks nothing as a probe. A
// socket file that a killed daemon left behind refuses the connection.
bool endpoint_served(const char *ep)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, ep, strlen(ep));
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return true; // cannot tell: the calls will say what is wrong
    int r;
    do {
        r = connect(fd, (struct sockaddr *)&addr, sizeof addr);
    } while (r != 0 && errno == EINTR);
    int err = r == 0 ? 0 : errno;
    close(fd);
    // A full queue (EAGAIN) is a daemon all the same.
    return !(err == ECONNREFUSED || err == ENOENT || err == ENOTSOCK);
}

// No device: the reason, for the user, and 0.
int absent(const char *fmt, ...) QX_PRINTF(1, 2);
int absent(const char *fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    usbdevs_set_absence(text);
    return 0;
}

// Whether the device directory may hold a device of ours: 0, or 1 after
// saying why not. Only a private directory of ours: anyone else could
// otherwise pose as the device.
int dir_refused(const char *dir)
{
    struct stat st;
    uid_t me = geteuid();
    if (stat(dir, &st) != 0)
        return !absent("the device directory %s cannot be used: %s (no device is served "
                       "there; QX_DEVICE_DIR names the directory of one that is)",
                       dir, strerror(errno));
    if (!S_ISDIR(st.st_mode))
        return !absent("the device directory %s is not a directory", dir);
    if (st.st_uid != me)
        return !absent("the device directory %s is ignored: it belongs to user %u, not to you "
                       "(user %u); use a directory of your own (QX_DEVICE_DIR)",
                       dir, (unsigned)st.st_uid, (unsigned)me);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return !absent("the device directory %s is ignored: others can write to it "
                       "(chmod 700 %s)",
                       dir, dir);
    return 0;
}

// Whether the endpoint ep in dir is a device: 0, or 1 after saying why not.
// Only a socket of ours that something serves.
int endpoint_refused(const char *ep, const char *dir)
{
    struct stat st;
    if (lstat(ep, &st) != 0)
        return !absent("no device is served in %s (there is no %s)", dir, ep);
    if (!S_ISSOCK(st.st_mode))
        return !absent("%s is ignored: it is not a socket", ep);
    if (st.st_uid != geteuid())
        return !absent("%s is ignored: it belongs to user %u, not to you", ep, (unsigned)st.st_uid);
    if (!endpoint_served(ep))
        return !absent("nothing serves %s (connection refused): the device has gone and "
                       "left its endpoint behind",
                       ep);
    return 0;
}

int lx_find(void *, const char *service, uint16_t *path, size_t cap, int *copy_status)
{
    // The endpoint carries the driver service's name; nothing else is the device.
    if (!service || strcmp(service, QXWIRE_ENDPOINT) != 0)
        return 0;
    char dir[4096];
    char ep[QXWIRE_MAX_PATH + 1];
    if (qxwire_device_dir(dir, sizeof dir))
        return absent("the device directory's name is too long");
    if (qxwire_endpoint_in(ep, sizeof ep, dir))
        return absent("the device directory %s is too long a path for a device endpoint "
                      "(at most %d bytes with /" QXWIRE_ENDPOINT "): set QX_DEVICE_DIR to a "
                      "shorter one",
                      dir, QXWIRE_MAX_PATH);
    if (dir_refused(dir) || endpoint_refused(ep, dir))
        return 0;
    int status = 0;
    if (path && cap)
        status = usbdevs_path_from_utf8(path, cap, ep);
    else if (path)
        status = 1;
    if (copy_status)
        *copy_status = status;
    return 1;
}

// An endpoint's name: QXWIRE_ENDPOINT, or QXWIRE_ENDPOINT "." and a suffix
// (a second device's endpoint beside the first). A lock file beside an
// endpoint matches too; it is no socket, so the endpoint checks drop it.
bool endpoint_name(const char *name)
{
    size_t n = strlen(QXWIRE_ENDPOINT);
    if (strncmp(name, QXWIRE_ENDPOINT, n) != 0)
        return false;
    return name[n] == 0 || (name[n] == '.' && name[n + 1] != 0);
}

unsigned lx_list(void *, const char *service, QxDevice *devices, unsigned cap)
{
    if (!service || strcmp(service, QXWIRE_ENDPOINT) != 0 || !devices)
        return 0;
    char dir[4096];
    if (qxwire_device_dir(dir, sizeof dir))
        return (unsigned)absent("the device directory's name is too long");
    if (dir_refused(dir))
        return 0;
    std::vector<std::string> names;
    if (DIR *d = opendir(dir)) {
        while (struct dirent *e = readdir(d)) {
            if (endpoint_name(e->d_name))
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    unsigned n = 0;
    // Why the first endpoint that is no device is none, for a list left empty.
    std::string refusal;
    for (const std::string &name : names) {
        if (n == cap)
            break;
        std::string ep = std::string(dir) + "/" + name;
        char why[512];
        if (ep.size() > QXWIRE_MAX_PATH || endpoint_refused(ep.c_str(), dir)) {
            // A lock file is no device and no reason worth telling.
            if (name.size() < 5 || name.compare(name.size() - 5, 5, ".lock") != 0) {
                if (ep.size() > QXWIRE_MAX_PATH)
                    absent("%s is ignored: longer than %d bytes", ep.c_str(), QXWIRE_MAX_PATH);
                if (refusal.empty() && usbdevs_absence(why, sizeof why) == 0)
                    refusal = why;
            }
            continue;
        }
        if (usbdevs_path_from_utf8(devices[n].path, USBDEVS_PATH_UNITS, ep.c_str()) == 0)
            n++;
    }
    if (n == 0)
        absent("%s", !refusal.empty() ? refusal.c_str()
                                      : ("no device is served in " + std::string(dir) +
                                         " (there is no " + dir + "/" QXWIRE_ENDPOINT ")")
                                            .c_str());
    return n;
}

int lx_ioctl(void *, const uint16_t *path, const uint8_t *in, uint32_t in_size, uint8_t *out,
             uint32_t out_size, uint32_t *returned, uint32_t *error)
{
    if (returned)
        *returned = 0;
    char p[QXWIRE_MAX_PATH + 1];
    int fd = -1;
    CallKind kind = CALL_NORMAL;
    if (!path || usbdevs_wcslen(path, USBDEVS_PATH_UNITS) >= USBDEVS_PATH_UNITS) {
        set_last_error(ENOENT);
    } else if (usbdevs_path_to_utf8(p, sizeof p, path)) {
        set_last_error(ENAMETOOLONG);
    } else if ((kind = silence_check(p)) == CALL_REFUSE) {
        qxwire_count(QXWIRE_COUNT_REFUSED);
        t_last_code = 121; // ERROR_SEM_TIMEOUT, as the call that went unanswered
        t_last_errno = 0;
        if (error)
            *error = t_last_code;
        return USBDEVS_ERR_CALL;
    } else {
        unsigned bound = qxwire_timeout_ms();
        if (kind == CALL_PROBE && bound > QXWIRE_PROBE_TIMEOUT_MS)
            bound = QXWIRE_PROBE_TIMEOUT_MS;
        fd = open_endpoint(p, bound);
        if (fd < 0 && is_timeout(t_last_errno)) {
            // Not even taken: the daemon's queue stays full.
            qxwire_count(QXWIRE_COUNT_TIMEOUTS);
            silence_mark(p, -1);
        }
    }
    if (fd < 0) {
        if (error)
            *error = t_last_code;
        usbdevs_print_last_error();
        qx_printf("ERROR : %d\n", 199);
        return USBDEVS_ERR_OPEN;
    }
    uint32_t code = USBDEVS_ERROR_GEN_FAILURE;
    uint32_t status = 0;
    uint32_t count = 0;
    int r = USBDEVS_ERR_CALL;
    bool answered = false;
    if (!in || in_size > QXWIRE_MAX_INPUT || out_size > QXWIRE_MAX_OUTPUT) {
        code = QXWIRE_ERROR_INVALID_PARAMETER;
    } else if ((code = send_request(fd, in, in_size, out_size)) == 0 &&
               (code = recv_reply(fd, out, out_size, &status, &count)) == 0) {
        answered = true;
        if (status == 0) {
            r = USBDEVS_OK;
            if (returned)
                *returned = count;
        } else {
            code = status;
        }
    }
    if (answered) {
        silence_clear(p);
        close(fd);
    } else if (code == 121 && is_timeout(t_last_errno)) {
        qxwire_count(QXWIRE_COUNT_TIMEOUTS);
        silence_mark(p, fd);
    } else {
        close(fd);
    }
    if (r != USBDEVS_OK) {
        t_last_code = code;
        t_last_errno = 0;
        if (error)
            *error = code;
    }
    return r;
}

void lx_print_error(void *, uint32_t error)
{
    usbdevs_print_error(error);
}
} // namespace

const UsbdevsBackend *usbdevs_platform_backend(void)
{
    static const UsbdevsBackend backend = {lx_init,        lx_find, lx_ioctl,
                                           lx_print_error, nullptr, lx_list};
    return &backend;
}

int usbdevs_device_key(const uint16_t *path, uint16_t *key, size_t cap)
{
    if (!key || cap == 0)
        return 1;
    key[0] = 0;
    // One endpoint is one device.
    size_t n = usbdevs_wcslen(path, USBDEVS_PATH_UNITS);
    if (n >= cap || n >= USBDEVS_PATH_UNITS)
        return 1;
    memcpy(key, path, n * sizeof *key);
    key[n] = 0;
    return 0;
}

void usbdevs_print_error(uint32_t error)
{
    qx_printf("%s:%d:", USBDEVS_SRC, USBDEVS_LINE_LAST_ERROR);
    qx_printf("GetLastError() = %#x\n", (unsigned)error);
    const char *text = code_text(error);
    if (text)
        qx_printf("%s\n", text);
}

void usbdevs_print_last_error(void)
{
    if (t_last_errno == 0) {
        usbdevs_print_error(t_last_code);
        return;
    }
    // The system's own text for what went wrong.
    qx_printf("%s:%d:", USBDEVS_SRC, USBDEVS_LINE_LAST_ERROR);
    qx_printf("GetLastError() = %#x\n", (unsigned)t_last_code);
    qx_printf("%s\n", strerror(t_last_errno));
}

int usbdevs_error_text(uint32_t error, char *buf, size_t cap)
{
    if (!buf || cap == 0)
        return 1;
    buf[0] = 0;
    const char *text = plain_text(error);
    if (!text)
        return 1;
    size_t n = strlen(text);
    if (n >= cap)
        n = cap - 1;
    memcpy(buf, text, n);
    buf[n] = 0;
    return 0;
}
