// qxsim's server: the endpoint, one connection per call, the device's
// latency, and what went over the wire.
#include "qxsim_server.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "qxsim_answer.h"
#include "qxsim_summary.h"
#include "qxtrace.h"
#include "usbdevs.h"

namespace
{

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

// Keeps conn open until the host hangs up (watched by run); the oldest
// goes when too many hosts keep theirs.
void hold_open(QxSimServer &s, int conn)
{
    const size_t max_open = 64;
    if (s.open_calls.size() >= max_open) {
        close(s.open_calls.front());
        s.open_calls.erase(s.open_calls.begin());
    }
    s.open_calls.push_back(conn);
}

void serve_one(QxSimServer &s, int conn)
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
    QxWireRequest req;
    uint32_t returned;
    const uint32_t status =
        qxsim_answer({s.dev, s.replay, s.record, s.latency_us}, s.request.data(), (size_t)n,
                     arrived, &req, s.reply.data() + QXWIRE_REPLY_HEADER, &returned);
    if (!s.dev->present() && !s.endpoint_removed) {
        // An unplugged device disappears from discovery.
        qxsim_close_endpoint(s);
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

} // namespace

// Removes the endpoint if it is still the one this process bound: a newer
// daemon's endpoint at the same path is left alone.
void qxsim_close_endpoint(QxSimServer &s)
{
    if (s.endpoint_removed)
        return;
    s.endpoint_removed = true;
    struct stat st;
    if (lstat(s.path.c_str(), &st) == 0 && st.st_dev == s.st_dev && st.st_ino == s.st_ino)
        unlink(s.path.c_str());
}

int qxsim_listen(QxSimServer &s, std::string dir, const std::string &endpoint)
{
    char dirbuf[4096];
    if (dir.empty()) {
        if (qxwire_device_dir(dirbuf, sizeof dirbuf)) {
            fprintf(stderr, "qxsim: device directory name too long\n");
            return 1;
        }
        dir = dirbuf;
    }
    char ep[QXWIRE_MAX_PATH + 1];
    if (qxwire_endpoint_in(ep, sizeof ep, dir.c_str())) {
        fprintf(stderr, "qxsim: endpoint path in %s is longer than %d bytes\n", dir.c_str(),
                QXWIRE_MAX_PATH);
        return 1;
    }
    if (!endpoint.empty() && endpoint != QXWIRE_ENDPOINT) {
        // Another device's endpoint beside the first one's.
        std::string named =
            std::string(ep).substr(0, strlen(ep) - strlen(QXWIRE_ENDPOINT)) + endpoint;
        if (named.size() > QXWIRE_MAX_PATH) {
            fprintf(stderr, "qxsim: endpoint path %s is longer than %d bytes\n", named.c_str(),
                    QXWIRE_MAX_PATH);
            return 1;
        }
        snprintf(ep, sizeof ep, "%s", named.c_str());
    }
    if (make_dirs(dir)) {
        fprintf(stderr, "qxsim: cannot create %s: %s\n", dir.c_str(), strerror(errno));
        return 1;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "qxsim: %s is not a directory\n", dir.c_str());
        return 1;
    }
    // The updater ignores endpoints in a directory others could write to.
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        fprintf(stderr,
                "qxsim: %s must belong to you and not be writable by group or others "
                "(chmod 700)\n",
                dir.c_str());
        return 1;
    }

    s.path = ep;
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
        qxsim_close_endpoint(s);
        close(s.fd);
        return 1;
    }

    if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror("qxsim: pipe");
        qxsim_close_endpoint(s);
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

    return 0;
}

// The run in numbers: calls, breaches by kind and in full, service time.
int qxsim_write_summary(const std::string &path, const QxSimServer &s, const QxSimDevice &dev)
{
    return qxsim_summary_write(path, s.calls, s.service_ns, dev);
}

int qxsim_run(QxSimServer &s)
{
    std::vector<struct pollfd> fds;
    while (!g_stop) {
        fds.assign(2 + s.open_calls.size(), pollfd{-1, 0, 0});
        fds[0] = {s.fd, POLLIN, 0};
        fds[1] = {g_wake[0], POLLIN, 0};
        // Held calls wait for the host's close alone: a host that has only
        // given its call up (half-closed) still watches it for an answer.
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
        // A host that has hung up is done with its call.
        std::vector<int> still;
        for (size_t i = 0; i < s.open_calls.size(); ++i) {
            if (fds[2 + i].revents & (POLLHUP | POLLERR | POLLNVAL))
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
