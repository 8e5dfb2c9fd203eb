// qxsim: serves a simulated QX device on the Linux device endpoint, so that
// the updater, the tools and the tests meet it over the real transport.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "qxsim_device.h"
#include "qxsys.h"
#include "qxtrace_read.h"
#include "qxwire.h"

namespace
{

// OPT_FLAG sets a bool, OPT_COUNT_FLAG sets a count field to 1.
enum OptKind { OPT_FLAG, OPT_COUNT_FLAG, OPT_U16, OPT_U32, OPT_I64, OPT_FD, OPT_TEXT, OPT_LIST };

struct Options {
    QxSimConfig config;
    std::string firmware_file;
    std::string record_file;
    std::string replay_file;
    std::string summary_file;
    std::string dir;
    int ready_fd = -1;
    int64_t stop_answering_after = -1;
    bool verbose = false;
    bool help = false;
};

struct OptDef {
    const char *name;
    OptKind kind;
    const char *arg;
    const char *help;
    void *(*field)(Options &o);
};

#define FIELD(expr) [](Options &o) -> void * { return &(expr); }

const OptDef g_opts[] = {
    {"--product", OPT_TEXT, "NAME", "product name the device reports (QX-20)",
     FIELD(o.config.product)},
    {"--version", OPT_U16, "N", "installed firmware version, 230 reads 2.30 (220)",
     FIELD(o.config.version)},
    {"--build", OPT_U16, "N", "installed firmware build (50)", FIELD(o.config.build)},
    {"--firmware", OPT_TEXT, "FILE",
     "installed image read from FILE (default: one built from\n"
     "                          product, version and build)",
     FIELD(o.firmware_file)},
    {"--room", OPT_U32, "N", "bytes announced per status answer (256)", FIELD(o.config.room)},
    {"--latency-us", OPT_U32, "N", "real time each call takes, microseconds (0)",
     FIELD(o.config.latency_us)},
    {"--debug-text", OPT_TEXT, "TEXT", "info answers also carry TEXT as debug text",
     FIELD(o.config.debug_text)},
    {"--busy", OPT_U32, "N", "the first N reads answer busy", FIELD(o.config.busy_answers)},
    {"--busy-after-write", OPT_U32, "N", "N busy reads after every accepted write",
     FIELD(o.config.busy_after_write)},
    {"--offset-lag", OPT_U32, "N", "after a burst, N status answers report the old offset",
     FIELD(o.config.offset_lag)},
    {"--room-zero", OPT_U32, "N", "after a burst, N status answers report room 0",
     FIELD(o.config.room_zero_answers)},
    {"--fail-writes", OPT_U32, "N", "the first N writes fail (status 31)",
     FIELD(o.config.fail_writes)},
    {"--fail-write-every", OPT_U32, "N", "every Nth write fails (status 31)",
     FIELD(o.config.fail_write_every)},
    {"--drop-read-every", OPT_U32, "N", "every Nth read fails (status 31)",
     FIELD(o.config.drop_read_every)},
    {"--short-read-every", OPT_U32, "N", "every Nth read returns one byte too few",
     FIELD(o.config.short_read_every)},
    {"--split-status", OPT_COUNT_FLAG, nullptr, "room and offset arrive in separate answers",
     FIELD(o.config.split_status_answer)},
    {"--checksum-offset", OPT_I64, "N", "added to every checksum reading (may be negative)",
     FIELD(o.config.checksum_offset)},
    {"--checksum-jitter", OPT_U32, "N", "checksum readings vary by up to +/- N",
     FIELD(o.config.checksum_jitter)},
    {"--checksum-script", OPT_LIST, "A,B,..", "checksum readings answered first, in order",
     FIELD(o.config.checksum_script)},
    {"--checksum-silent", OPT_FLAG, nullptr, "checksum queries are never answered",
     FIELD(o.config.checksum_silent)},
    {"--never-complete", OPT_FLAG, nullptr, "the end of a transfer is never confirmed",
     FIELD(o.config.never_complete)},
    {"--fail-transfer", OPT_U32, "N", "from the Nth transfer on, data writes fail",
     FIELD(o.config.fail_transfer)},
    {"--unplug-after", OPT_I64, "N", "the device vanishes once N image bytes were taken",
     FIELD(o.config.unplug_after)},
    {"--info-silent", OPT_FLAG, nullptr, "info requests are never answered",
     FIELD(o.config.info_silent)},
    {"--stop-answering-after", OPT_I64, "N",
     "after N calls the device takes every call and never\n"
     "                          answers it (the connection stays open)",
     FIELD(o.stop_answering_after)},
    {"--dir", OPT_TEXT, "DIR",
     "device directory (default: $QX_DEVICE_DIR, else\n"
     "                          $XDG_RUNTIME_DIR/qx, else /tmp/qx-<uid>)",
     FIELD(o.dir)},
    {"--ready-fd", OPT_FD, "N",
     "once listening, write the endpoint path and a newline to\n"
     "                          file descriptor N and close it",
     FIELD(o.ready_fd)},
    {"--verbose", OPT_FLAG, nullptr, "log every call to standard error", FIELD(o.verbose)},
    {"--record", OPT_TEXT, "FILE", "write every call and its answer to FILE (JSON lines)",
     FIELD(o.record_file)},
    {"--replay", OPT_TEXT, "FILE",
     "answer the calls of a recorded run (a trace of qxtool\n"
     "                          --trace, QX_TRACE or --record) instead of\n"
     "                          simulating; reports the first call that differs\n"
     "                          and answers it and every later one with status 31",
     FIELD(o.replay_file)},
    {"--summary", OPT_TEXT, "FILE",
     "on exit, write the calls, the breaches of the device\n"
     "                          contract (counts per kind and a list) and the\n"
     "                          device's own service time to FILE as JSON",
     FIELD(o.summary_file)},
};

void usage(FILE *f)
{
    fprintf(f, "Usage: qxsim [OPTION]...\n"
               "Serves a simulated QX-10/QX-20 audio interface on the device endpoint\n"
               "(a SOCK_SEQPACKET socket named " QXWIRE_ENDPOINT " in the device directory)\n"
               "until interrupted. Without options it is a QX-20 at version 2.20, build 50.\n"
               "\n"
               "The directory is created (mode 0700) when missing; it must belong to the\n"
               "user and must not be writable by others. qxsim refuses to start when a\n"
               "device is already served there, replaces an endpoint nobody listens on,\n"
               "and removes its endpoint when it ends (SIGINT, SIGTERM) or when the\n"
               "simulated device is unplugged; calls after that are answered with status\n"
               "1167 (device not connected).\n"
               "\n"
               "Once listening it prints\n"
               "  qxsim: serving <product> version <x.yy> build <n> on <endpoint>\n"
               "on standard output.\n"
               "\n"
               "The device is as strict as the real one: a call that breaks the device\n"
               "contract (wrong sizes or header fields, a chunk of the wrong size or out\n"
               "of its burst, a write without a ready read after the previous one, ...)\n"
               "is refused with status 31 and reported on standard error as\n"
               "  qxsim: breach: call <n>: <kind>: <what>\n"
               "\n"
               "Options (--name VALUE or --name=VALUE):\n");
    for (const OptDef &s : g_opts) {
        char left[64];
        snprintf(left, sizeof left, "%s%s%s", s.name, s.arg ? " " : "", s.arg ? s.arg : "");
        fprintf(f, "  %-24s%s\n", left, s.help);
    }
    fprintf(f, "  %-24s%s\n", "-h, --help", "show this text and exit");
    fprintf(f, "\nExit status: 0 after a clean stop, 1 when the endpoint cannot be served,\n"
               "2 on a usage error, 3 when a replay differed from its recording or\n"
               "ended before all of it was asked for.\n");
}

int parse_u64(const char *s, uint64_t max, uint64_t *v)
{
    if (!*s || *s == '-' || *s == '+')
        return 1;
    errno = 0;
    char *end = nullptr;
    unsigned long long x = strtoull(s, &end, 0);
    if (errno || *end || x > max)
        return 1;
    *v = x;
    return 0;
}

int parse_i64(const char *s, int64_t *v)
{
    if (!*s)
        return 1;
    errno = 0;
    char *end = nullptr;
    long long x = strtoll(s, &end, 0);
    if (errno || *end)
        return 1;
    *v = x;
    return 0;
}

int set_value(Options &o, const OptDef &s, const char *value)
{
    void *field = s.field(o);
    uint64_t u = 0;
    switch (s.kind) {
    case OPT_FLAG:
        *(bool *)field = true;
        return 0;
    case OPT_COUNT_FLAG:
        *(uint32_t *)field = 1;
        return 0;
    case OPT_U16:
        if (parse_u64(value, 0xffff, &u))
            return 1;
        *(uint16_t *)field = (uint16_t)u;
        return 0;
    case OPT_U32:
        if (parse_u64(value, 0xffffffffu, &u))
            return 1;
        *(uint32_t *)field = (uint32_t)u;
        return 0;
    case OPT_I64:
        return parse_i64(value, (int64_t *)field);
    case OPT_FD:
        if (parse_u64(value, 0x7fffffff, &u))
            return 1;
        *(int *)field = (int)u;
        return 0;
    case OPT_TEXT:
        *(std::string *)field = value;
        return 0;
    case OPT_LIST: {
        auto *list = (std::vector<uint32_t> *)field;
        list->clear();
        std::string all = value;
        size_t at = 0;
        for (;;) {
            size_t comma = all.find(',', at);
            std::string one = all.substr(at, comma == std::string::npos ? comma : comma - at);
            if (parse_u64(one.c_str(), 0xffffffffu, &u))
                return 1;
            list->push_back((uint32_t)u);
            if (comma == std::string::npos)
                return 0;
            at = comma + 1;
        }
    }
    }
    return 1;
}

// 0 parsed, 2 usage error (already reported).
int parse_args(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            continue;
        }
        std::string name = arg;
        const char *value = nullptr;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = argv[i] + eq + 1;
        }
        const OptDef *def = nullptr;
        for (const OptDef &s : g_opts)
            if (name == s.name)
                def = &s;
        if (!def) {
            fprintf(stderr, "qxsim: unknown option '%s'\nTry 'qxsim --help'.\n", arg.c_str());
            return 2;
        }
        if (def->kind == OPT_FLAG || def->kind == OPT_COUNT_FLAG) {
            if (value) {
                fprintf(stderr, "qxsim: %s takes no value\n", def->name);
                return 2;
            }
            set_value(o, *def, nullptr);
            continue;
        }
        if (!value) {
            if (i + 1 >= argc) {
                fprintf(stderr, "qxsim: %s needs a value\n", def->name);
                return 2;
            }
            value = argv[++i];
        }
        if (set_value(o, *def, value)) {
            fprintf(stderr, "qxsim: bad value '%s' for %s\n", value, def->name);
            return 2;
        }
    }
    return 0;
}

int read_file(const std::string &name, std::vector<uint8_t> &data)
{
    FILE *f = fopen(name.c_str(), "rb");
    if (!f)
        return 1;
    data.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    int bad = ferror(f);
    fclose(f);
    return bad ? 1 : 0;
}

// Creates dir and any missing parents with mode 0700.
int make_dirs(const std::string &dir)
{
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/')
            continue;
        std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return 1;
    }
    return 0;
}

volatile sig_atomic_t g_stop = 0;
int g_wake[2] = {-1, -1};

void on_signal(int)
{
    int saved = errno;
    g_stop = 1;
    if (g_wake[1] >= 0) {
        char c = 1;
        (void)!write(g_wake[1], &c, 1);
    }
    errno = saved;
}

void set_timeouts(int fd)
{
    struct timeval tv;
    tv.tv_sec = QXWIRE_TIMEOUT_MS / 1000;
    tv.tv_usec = (QXWIRE_TIMEOUT_MS % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int fill_addr(struct sockaddr_un *addr, const std::string &path)
{
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path)
        return 1;
    memcpy(addr->sun_path, path.data(), path.size());
    return 0;
}

// 1 when someone accepts connections at path.
bool endpoint_live(const std::string &path)
{
    struct sockaddr_un addr;
    if (fill_addr(&addr, path))
        return false;
    // Without waiting: a daemon whose queue is full would hold a blocking
    // connect for as long as it stays full.
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    int r;
    do {
        r = connect(fd, (struct sockaddr *)&addr, sizeof addr);
    } while (r != 0 && errno == EINTR);
    // A full queue is someone listening all the same.
    bool live = r == 0 || errno == EAGAIN;
    close(fd);
    return live;
}

// A recorded run answered call by call; after the first difference every
// call fails, so the client stops soon and the difference stays the first.
struct Replay {
    std::vector<QxTraceCall> calls;
    size_t next = 0;
    bool differed = false;
};

struct Server {
    QxSimDevice *dev = nullptr;
    std::string path;
    int fd = -1;
    dev_t st_dev = 0;
    ino_t st_ino = 0;
    bool endpoint_removed = false;
    bool verbose = false;
    uint32_t latency_us = 0;
    QxTrace *record = nullptr;
    Replay *replay = nullptr;
    int64_t stop_answering_after = -1;
    // Connections answered (or left unanswered on purpose), closed only once
    // the host has hung up: a close right behind the reply could reach the
    // host's receive before the reply does, which then reads end-of-file.
    std::vector<int> open_calls;
    // What went over the wire, and the device's own time for it.
    uint64_t received = 0;
    uint64_t replied = 0;
    uint64_t undelivered = 0;
    uint64_t unanswered = 0;
    uint64_t abandoned = 0;
    uint64_t service_ns = 0;
    std::vector<uint8_t> request = std::vector<uint8_t>(QXWIRE_MAX_REQUEST + 1);
    std::vector<uint8_t> reply = std::vector<uint8_t>(QXWIRE_MAX_REPLY);
    uint64_t calls = 0; // requests answered, delivered or not
};

// Removes the endpoint if it is still the one this process bound: a newer
// daemon's endpoint at the same path is left alone.
void remove_endpoint(Server &s)
{
    if (s.endpoint_removed)
        return;
    s.endpoint_removed = true;
    struct stat st;
    if (lstat(s.path.c_str(), &st) == 0 && st.st_dev == s.st_dev && st.st_ino == s.st_ino)
        unlink(s.path.c_str());
}

// Holds the reply until the call has taken us microseconds since its
// request arrived: sleeps until about a millisecond is left (a sleep
// overshoots by the scheduler's grain), then spins to the deadline.
void device_latency(std::chrono::steady_clock::time_point arrived, uint32_t us)
{
    using namespace std::chrono;
    const steady_clock::time_point due = arrived + microseconds(us);
    for (;;) {
        steady_clock::duration left = due - steady_clock::now();
        if (left <= steady_clock::duration::zero())
            return;
        if (left > milliseconds(2))
            std::this_thread::sleep_for(left - milliseconds(1));
    }
}

// Answers from the recording; returns the status, *returned output bytes.
uint32_t replay_answer(Replay &r, const QxWireRequest &req, uint8_t *out, uint32_t *returned)
{
    *returned = 0;
    size_t n = r.next++;
    const QxTraceCall *rec = n < r.calls.size() ? &r.calls[n] : nullptr;
    if (!r.differed &&
        (!rec || !qxtrace_same_request(rec, req.code, req.in, req.in_size, req.out_size))) {
        r.differed = true;
        fprintf(
            stderr, "qxsim: replay: call %zu differs from the recording: %s\n", n + 1,
            qxtrace_describe_difference(rec, req.code, req.in, req.in_size, req.out_size).c_str());
    }
    if (r.differed)
        return USBDEVS_ERROR_GEN_FAILURE;
    switch (rec->result) {
    case USBDEVS_OK: {
        // As many bytes as the device gave, even more than were asked for,
        // so that the host's exact-length check meets the same count.
        uint32_t count = rec->returned < QXWIRE_MAX_OUTPUT ? rec->returned : QXWIRE_MAX_OUTPUT;
        size_t have = rec->out.size() < count ? rec->out.size() : count;
        if (have)
            memcpy(out, rec->out.data(), have);
        memset(out + have, 0, count - have);
        *returned = count;
        return 0;
    }
    case USBDEVS_ERR_CALL:
        return rec->status ? rec->status : USBDEVS_ERROR_GEN_FAILURE;
    case USBDEVS_ERR_NOMEM:
        return 8; // ERROR_NOT_ENOUGH_MEMORY
    default:
        // The recorded host could not reach the device at all.
        return USBDEVS_ERROR_DEVICE_NOT_CONNECTED;
    }
}

void record_call(Server &s, const QxWireRequest &req, uint32_t status, const uint8_t *out,
                 uint32_t returned, uint64_t t0)
{
    QxTraceCall c;
    c.seq = 0;
    c.t_us = t0;
    c.dur_us = qxtrace_now_us(s.record) - t0;
    c.code = req.code;
    c.in.assign(req.in, req.in + req.in_size);
    c.out_size = req.out_size;
    c.result = status ? USBDEVS_ERR_CALL : USBDEVS_OK;
    c.status = status;
    c.returned = status ? 0 : returned;
    uint32_t kept = returned < req.out_size ? returned : req.out_size;
    if (!status)
        c.out.assign(out, out + kept);
    qxtrace_write_call(s.record, &c);
}

// Keeps conn open until the host hangs up (watched by run); the oldest
// goes when too many hosts keep theirs.
void hold_open(Server &s, int conn)
{
    const size_t max_open = 64;
    if (s.open_calls.size() >= max_open) {
        close(s.open_calls.front());
        s.open_calls.erase(s.open_calls.begin());
    }
    s.open_calls.push_back(conn);
}

void serve_one(Server &s, int conn)
{
    set_timeouts(conn);
    ssize_t n;
    do {
        n = recv(conn, s.request.data(), s.request.size(), MSG_TRUNC);
    } while (n < 0 && errno == EINTR && !g_stop);
    if (n <= 0) {
        close(conn); // nothing asked: a probe, a timeout or a stop
        return;
    }
    const auto arrived = std::chrono::steady_clock::now();
    ++s.received;
    // A host that has already given up (its bound ran out while this daemon
    // was held up) would never learn the answer: a write applied now would
    // put the device a step ahead of it.
    struct pollfd gone = {conn, POLLRDHUP, 0};
    if (poll(&gone, 1, 0) > 0 && (gone.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
        ++s.abandoned;
        fprintf(stderr,
                "qxsim: call %llu was given up by the host before it was served; "
                "not applied\n",
                (unsigned long long)s.received);
        close(conn);
        return;
    }
    if (s.stop_answering_after >= 0 && s.received > (uint64_t)s.stop_answering_after) {
        // Taken, never answered: the host learns it only from its own bound.
        ++s.unanswered;
        hold_open(s, conn);
        return;
    }
    // Zeroed: the log line below reads it even when the packet was refused.
    QxWireRequest req = {};
    uint32_t status;
    uint32_t returned = 0;
    uint8_t *out = s.reply.data() + QXWIRE_REPLY_HEADER;
    if ((size_t)n > QXWIRE_MAX_REQUEST ||
        qxwire_decode_request(s.request.data(), (size_t)n, &req)) {
        status = QXWIRE_ERROR_INVALID_PARAMETER;
    } else {
        uint64_t t0 = qxtrace_now_us(s.record);
        if (s.replay) {
            status = replay_answer(*s.replay, req, out, &returned);
        } else {
            status = s.dev->ioctl(req.code, req.in, req.in_size, out, req.out_size, &returned);
            if (status != 0 || returned > req.out_size)
                returned = status ? 0 : req.out_size;
        }
        device_latency(arrived, s.latency_us);
        if (s.record)
            record_call(s, req, status, out, returned, t0);
    }
    if (!s.dev->present() && !s.endpoint_removed) {
        // An unplugged device disappears from discovery.
        remove_endpoint(s);
        fprintf(stderr, "qxsim: device unplugged, %s removed\n", s.path.c_str());
    }
    qxwire_put_u32(s.reply.data(), status);
    size_t len = QXWIRE_REPLY_HEADER + returned;
    ssize_t w;
    do {
        w = send(conn, s.reply.data(), len, MSG_NOSIGNAL);
    } while (w < 0 && errno == EINTR && !g_stop);
    s.calls++;
    s.service_ns += (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - arrived)
                        .count();
    // Logged once the reply is out, so that the log does not delay it.
    if (s.verbose) {
        QxIoRequest h = {};
        if (n >= QXWIRE_REQUEST_HEADER + USBDEVS_HEADER_SIZE)
            usbdevs_get_header(s.request.data() + QXWIRE_REQUEST_HEADER,
                               (size_t)n - QXWIRE_REQUEST_HEADER, &h);
        fprintf(stderr, "qxsim: %s request %u, %u bytes -> status %u, %u bytes\n",
                h.direction ? "read" : "write", (unsigned)h.request,
                h.direction ? (unsigned)req.out_size : (unsigned)h.length, (unsigned)status,
                (unsigned)returned);
    }
    if (w == (ssize_t)len) {
        ++s.replied;
        hold_open(s, conn);
        return;
    }
    ++s.undelivered;
    fprintf(stderr,
            "qxsim: the reply to call %llu (status %u, %zu bytes) could not be delivered: %s\n",
            (unsigned long long)s.received, (unsigned)status, len,
            w < 0 ? strerror(errno) : "cut short");
    close(conn);
}

std::string json_text(const std::string &t)
{
    std::string out = "\"";
    for (unsigned char c : t) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

// The run in numbers: calls, breaches by kind and in full, service time.
int write_summary(const std::string &path, const Server &s, const QxSimDevice &dev)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        return 1;
    fprintf(f, "{\n  \"calls\": %llu,\n  \"service_us\": %llu,\n", (unsigned long long)s.calls,
            (unsigned long long)(s.service_ns / 1000));
    fprintf(f, "  \"breaches\": {\n    \"count\": %llu,\n    \"kinds\": {",
            (unsigned long long)dev.stats().breaches);
    const char *sep = "";
    for (const auto &k : dev.breach_counts()) {
        fprintf(f, "%s\n      %s: %llu", sep, json_text(k.first).c_str(),
                (unsigned long long)k.second);
        sep = ",";
    }
    fprintf(f, "%s},\n    \"list\": [", *sep ? "\n    " : "");
    sep = "";
    for (const auto &b : dev.breaches()) {
        fprintf(f, "%s\n      {\"call\": %llu, \"kind\": %s, \"text\": %s}", sep,
                (unsigned long long)b.call, json_text(b.kind).c_str(), json_text(b.text).c_str());
        sep = ",";
    }
    fprintf(f, "%s]\n  }\n}\n", *sep ? "\n    " : "");
    return fclose(f) ? 1 : 0;
}

int run(Server &s)
{
    std::vector<struct pollfd> fds;
    while (!g_stop) {
        fds.assign(2 + s.open_calls.size(), pollfd{-1, POLLIN, 0});
        fds[0].fd = s.fd;
        fds[1].fd = g_wake[0];
        for (size_t i = 0; i < s.open_calls.size(); ++i)
            fds[2 + i].fd = s.open_calls[i];
        int r = poll(fds.data(), fds.size(), -1);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            perror("qxsim: poll");
            return 1;
        }
        if (g_stop || fds[1].revents)
            break;
        // A host that has hung up (or sent anything more) is done with its call.
        std::vector<int> still;
        for (size_t i = 0; i < s.open_calls.size(); ++i) {
            if (fds[2 + i].revents)
                close(s.open_calls[i]);
            else
                still.push_back(s.open_calls[i]);
        }
        s.open_calls.swap(still);
        if (!(fds[0].revents & POLLIN))
            continue;
        int conn = accept4(s.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN)
                continue;
            perror("qxsim: accept");
            return 1;
        }
        serve_one(s, conn);
    }
    for (int fd : s.open_calls)
        close(fd);
    s.open_calls.clear();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (parse_args(argc, argv, o))
        return 2;
    if (o.help) {
        usage(stdout);
        return 0;
    }
    if (!o.firmware_file.empty() && read_file(o.firmware_file, o.config.firmware)) {
        fprintf(stderr, "qxsim: cannot read %s: %s\n", o.firmware_file.c_str(), strerror(errno));
        return 1;
    }
    Replay replay;
    if (!o.replay_file.empty()) {
        std::string why;
        if (qxtrace_load(o.replay_file.c_str(), &replay.calls, &why)) {
            fprintf(stderr, "qxsim: cannot replay: %s\n", why.c_str());
            return 1;
        }
    }
    if (!o.summary_file.empty()) {
        // Made now, so that a bad path stops the start rather than the end.
        FILE *f = fopen(o.summary_file.c_str(), "w");
        if (!f) {
            fprintf(stderr, "qxsim: cannot create %s: %s\n", o.summary_file.c_str(),
                    strerror(errno));
            return 1;
        }
        fclose(f);
    }
    if (o.ready_fd >= 0 && fcntl(o.ready_fd, F_GETFD) < 0) {
        fprintf(stderr, "qxsim: --ready-fd %d is not open\n", o.ready_fd);
        return 2;
    }

    char dirbuf[4096];
    if (o.dir.empty()) {
        if (qxwire_device_dir(dirbuf, sizeof dirbuf)) {
            fprintf(stderr, "qxsim: device directory name too long\n");
            return 1;
        }
        o.dir = dirbuf;
    }
    char ep[QXWIRE_MAX_PATH + 1];
    if (qxwire_endpoint_in(ep, sizeof ep, o.dir.c_str())) {
        fprintf(stderr, "qxsim: endpoint path in %s is longer than %d bytes\n", o.dir.c_str(),
                QXWIRE_MAX_PATH);
        return 1;
    }
    if (make_dirs(o.dir)) {
        fprintf(stderr, "qxsim: cannot create %s: %s\n", o.dir.c_str(), strerror(errno));
        return 1;
    }
    struct stat st;
    if (stat(o.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "qxsim: %s is not a directory\n", o.dir.c_str());
        return 1;
    }
    // The updater ignores endpoints in a directory others could write to.
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        fprintf(stderr,
                "qxsim: %s must belong to you and not be writable by group or others "
                "(chmod 700)\n",
                o.dir.c_str());
        return 1;
    }

    Server s;
    s.path = ep;
    s.verbose = o.verbose;
    if (lstat(ep, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            fprintf(stderr, "qxsim: %s exists and is not a socket\n", ep);
            return 1;
        }
        if (endpoint_live(s.path)) {
            fprintf(stderr, "qxsim: a device is already served on %s\n", ep);
            return 1;
        }
        // Left behind by a daemon that did not end cleanly.
        if (unlink(ep) != 0 && errno != ENOENT) {
            fprintf(stderr, "qxsim: cannot remove stale %s: %s\n", ep, strerror(errno));
            return 1;
        }
    }

    struct sockaddr_un addr;
    fill_addr(&addr, s.path);
    s.fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s.fd < 0) {
        perror("qxsim: socket");
        return 1;
    }
    mode_t old_mask = umask(077);
    int bound = bind(s.fd, (struct sockaddr *)&addr, sizeof addr);
    umask(old_mask);
    if (bound != 0) {
        fprintf(stderr, "qxsim: cannot bind %s: %s\n", ep, strerror(errno));
        close(s.fd);
        return 1;
    }
    if (lstat(ep, &st) == 0) {
        s.st_dev = st.st_dev;
        s.st_ino = st.st_ino;
    }
    if (listen(s.fd, 16) != 0) {
        perror("qxsim: listen");
        remove_endpoint(s);
        close(s.fd);
        return 1;
    }

    if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror("qxsim: pipe");
        remove_endpoint(s);
        close(s.fd);
        return 1;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!o.record_file.empty()) {
        s.record = qxtrace_open(o.record_file.c_str(), "device");
        if (!s.record) {
            fprintf(stderr, "qxsim: cannot create %s: %s\n", o.record_file.c_str(),
                    strerror(errno));
            remove_endpoint(s);
            close(s.fd);
            return 1;
        }
    }
    if (!o.replay_file.empty())
        s.replay = &replay;

    QxSimDevice dev(o.config);
    dev.on_breach([](const QxSimBreach &b) {
        fprintf(stderr, "qxsim: breach: call %llu: %s: %s\n", (unsigned long long)b.call,
                b.kind.c_str(), b.text.c_str());
    });
    s.dev = &dev;
    QxSimConfig cfg = dev.config();
    s.latency_us = cfg.latency_us;
    s.stop_answering_after = o.stop_answering_after;
    unsigned version = dev.version();
    if (s.replay)
        printf("qxsim: replaying %zu recorded calls from %s on %s\n", replay.calls.size(),
               o.replay_file.c_str(), ep);
    else
        printf("qxsim: serving %s version %u.%02u build %u on %s\n", cfg.product.c_str(),
               version / 100, version % 100, (unsigned)dev.build(), ep);
    fflush(stdout);
    if (o.ready_fd >= 0) {
        std::string line = s.path + "\n";
        (void)!write(o.ready_fd, line.data(), line.size());
        close(o.ready_fd);
    }

    int rc = run(s);
    if (s.verbose)
        fprintf(stderr,
                "qxsim: %llu calls received, %llu replies sent, %llu not delivered, "
                "%llu given up by the host, %llu left unanswered; %.6f s of service\n",
                (unsigned long long)s.received, (unsigned long long)s.replied,
                (unsigned long long)s.undelivered, (unsigned long long)s.abandoned,
                (unsigned long long)s.unanswered, (double)s.service_ns * 1e-9);
    if (s.record)
        qxtrace_close(s.record);
    if (s.replay && rc == 0) {
        if (replay.differed) {
            rc = 3;
        } else if (replay.next < replay.calls.size()) {
            fprintf(stderr, "qxsim: replay: only %zu of %zu recorded calls were made\n",
                    replay.next, replay.calls.size());
            rc = 3;
        } else {
            fprintf(stderr, "qxsim: replay: all %zu recorded calls answered as recorded\n",
                    replay.calls.size());
        }
    }
    remove_endpoint(s);
    close(s.fd);
    if (!o.summary_file.empty() && write_summary(o.summary_file, s, dev)) {
        fprintf(stderr, "qxsim: cannot write %s: %s\n", o.summary_file.c_str(), strerror(errno));
        if (rc == 0)
            rc = 1;
    }
    return rc;
}
