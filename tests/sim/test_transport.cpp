// The Linux transport: the wire format, discovery of the endpoint, one
// connection per I/O-control call, and the qxsim daemon as a process.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "qxctl.h"
#include "qxsim_device.h"
#include "qxsys.h"
#include "qxwire.h"
#include "testkit.h"
#include "usbdevs.h"

#ifndef QXSIM_BIN
#define QXSIM_BIN "qxsim"
#endif

namespace
{

const std::string kSrc = "..\\qxtest\\usbdevs_win:";

std::string line(int n)
{
    return kSrc + std::to_string(n) + ":ERROR\n";
}

std::string path_of(const QxDevice &dev)
{
    char s[1024];
    if (usbdevs_path_to_utf8(s, sizeof s, dev.path))
        return "<bad>";
    return s;
}

int remove_one(const char *p, const struct stat *, int, struct FTW *)
{
    return remove(p);
}

// A private device directory, installed as $QX_DEVICE_DIR while it lives.
struct DeviceDir {
    std::string root, dir, endpoint;
    DeviceDir()
    {
        char tmpl[] = "/tmp/qxt-XXXXXX";
        root = mkdtemp(tmpl);
        dir = root + "/dev";
        mkdir(dir.c_str(), 0700);
        endpoint = dir + "/" QXWIRE_ENDPOINT;
        setenv("QX_DEVICE_DIR", dir.c_str(), 1);
    }
    ~DeviceDir()
    {
        unsetenv("QX_DEVICE_DIR");
        chmod(dir.c_str(), 0700);
        nftw(root.c_str(), remove_one, 8, FTW_DEPTH | FTW_PHYS);
    }
};

bool exists(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

// A socket bound at path; listening only when asked.
int bind_socket(const std::string &path, bool listening)
{
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0)
        return -1;
    if (listening && listen(fd, 8) != 0)
        return -1;
    return fd;
}

// A stale endpoint: the socket file of a daemon that is gone.
void make_stale(const std::string &path)
{
    int fd = bind_socket(path, false);
    ASSERT_GE(fd, 0);
    close(fd);
}

// An in-process endpoint: each connection gets one request, handed to the
// handler, whose packet goes back; a null packet closes without a reply.
class WireServer
{
  public:
    using Handler = std::function<bool(const std::vector<uint8_t> &req, std::vector<uint8_t> &rep)>;

    WireServer(const std::string &path, Handler handler) : path_(path), handler_(handler)
    {
        fd_ = bind_socket(path, true);
        if (pipe2(stop_, O_CLOEXEC) != 0)
            stop_[0] = stop_[1] = -1;
        if (fd_ >= 0 && stop_[0] >= 0)
            thread_ = std::thread([this] { run(); });
    }
    ~WireServer()
    {
        if (stop_[1] >= 0)
            (void)!write(stop_[1], "x", 1);
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
        close(stop_[0]);
        close(stop_[1]);
        unlink(path_.c_str());
    }
    bool ok() const { return thread_.joinable(); }
    std::vector<std::vector<uint8_t>> requests()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

  private:
    void run()
    {
        std::vector<uint8_t> buf(QXWIRE_MAX_REQUEST + 1);
        for (;;) {
            struct pollfd p[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 && errno != EINTR)
                return;
            if (p[1].revents)
                return;
            if (!(p[0].revents & POLLIN))
                continue;
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            ssize_t n = recv(c, buf.data(), buf.size(), 0);
            if (n > 0) {
                std::vector<uint8_t> req(buf.begin(), buf.begin() + n), rep;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    requests_.push_back(req);
                }
                if (handler_(req, rep))
                    send(c, rep.data(), rep.size(), MSG_NOSIGNAL);
            }
            close(c);
        }
    }

    std::string path_;
    Handler handler_;
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> requests_;
};

// A strict simulated device in this process: every breach of the device
// contract fails the test when it goes.
struct StrictSim : QxSimDevice {
    using QxSimDevice::QxSimDevice;
    ~StrictSim()
    {
        for (const QxSimBreach &b : breaches())
            ADD_FAILURE() << "the host broke the device contract: call " << b.call << ": " << b.kind
                          << ": " << b.text;
    }
};

// Answers every call from a simulated device in this process.
WireServer::Handler device_handler(QxSimDevice *dev)
{
    return [dev](const std::vector<uint8_t> &pkt, std::vector<uint8_t> &rep) {
        QxWireRequest req;
        std::vector<uint8_t> out(QXWIRE_MAX_OUTPUT);
        uint32_t status = QXWIRE_ERROR_INVALID_PARAMETER, returned = 0;
        if (qxwire_decode_request(pkt.data(), pkt.size(), &req) == 0)
            status = dev->ioctl(req.code, req.in, req.in_size, out.data(), req.out_size, &returned);
        rep.resize(QXWIRE_MAX_REPLY);
        size_t len = 0;
        qxwire_encode_reply(rep.data(), rep.size(), status, out.data(), status ? 0 : returned,
                            &len);
        rep.resize(len);
        return true;
    };
}

// Answers every call with a fixed packet (status and output bytes).
WireServer::Handler fixed_handler(std::vector<uint8_t> packet, bool reply = true)
{
    return [packet, reply](const std::vector<uint8_t> &, std::vector<uint8_t> &rep) {
        rep = packet;
        return reply;
    };
}

std::vector<uint8_t> reply_packet(uint32_t status, size_t count, uint8_t fill = 0x42)
{
    std::vector<uint8_t> p(4 + count, fill);
    qxwire_put_u32(p.data(), status);
    return p;
}

int find_device(std::string *found = nullptr)
{
    QxDevice dev = {};
    int status = -1;
    int r = usbdevs_find(USBDEVS_SERVICE, dev.path, USBDEVS_PATH_UNITS, &status);
    if (found)
        *found = path_of(dev);
    return r;
}

} // namespace

// --- wire format ---

TEST(QxWire, RequestRoundTripAndLimits)
{
    uint8_t in[USBDEVS_MIN_INPUT];
    usbdevs_build_read(in, 30, 0, 0);
    std::vector<uint8_t> pkt(QXWIRE_MAX_REQUEST + 1);
    size_t len = 0;
    ASSERT_EQ(0, qxwire_encode_request(pkt.data(), pkt.size(), IOCTL_QX_CONTROL, 64, in, sizeof in,
                                       &len));
    ASSERT_EQ(28u, len);
    const uint8_t head[8] = {0x00, 0x20, 0x22, 0x00, 64, 0, 0, 0};
    EXPECT_EQ(0, memcmp(pkt.data(), head, 8));
    QxWireRequest req;
    ASSERT_EQ(0, qxwire_decode_request(pkt.data(), len, &req));
    EXPECT_EQ(IOCTL_QX_CONTROL, req.code);
    EXPECT_EQ(64u, req.out_size);
    EXPECT_EQ(20u, req.in_size);
    EXPECT_EQ(0, memcmp(req.in, in, sizeof in));

    // Shorter than the code, the size and a 20-byte input buffer.
    EXPECT_EQ(1, qxwire_decode_request(pkt.data(), 27, &req));
    // An output size no read can ask for.
    qxwire_put_u32(pkt.data() + 4, QXWIRE_MAX_OUTPUT + 1);
    EXPECT_EQ(1, qxwire_decode_request(pkt.data(), len, &req));
    qxwire_put_u32(pkt.data() + 4, QXWIRE_MAX_OUTPUT);
    EXPECT_EQ(0, qxwire_decode_request(pkt.data(), len, &req));
    // The largest write fits; one byte more does not.
    EXPECT_EQ(0, qxwire_decode_request(pkt.data(), QXWIRE_MAX_REQUEST, &req));
    EXPECT_EQ(1, qxwire_decode_request(pkt.data(), QXWIRE_MAX_REQUEST + 1, &req));
    EXPECT_EQ(1, qxwire_encode_request(pkt.data(), 27, IOCTL_QX_CONTROL, 64, in, sizeof in, &len));
    EXPECT_EQ(1, qxwire_encode_request(pkt.data(), pkt.size(), IOCTL_QX_CONTROL, 0, pkt.data(),
                                       QXWIRE_MAX_INPUT + 1, &len));
}

TEST(QxWire, ReplyRoundTripAndLimits)
{
    uint8_t out[3] = {7, 8, 9};
    uint8_t pkt[8];
    size_t len = 0;
    ASSERT_EQ(0, qxwire_encode_reply(pkt, sizeof pkt, 1167, out, 3, &len));
    ASSERT_EQ(7u, len);
    const uint8_t want[7] = {0x8f, 0x04, 0, 0, 7, 8, 9};
    EXPECT_EQ(0, memcmp(pkt, want, 7));
    QxWireReply rep;
    ASSERT_EQ(0, qxwire_decode_reply(pkt, len, &rep));
    EXPECT_EQ(1167u, rep.status);
    EXPECT_EQ(3u, rep.out_count);
    EXPECT_EQ(pkt + 4, rep.out);
    ASSERT_EQ(0, qxwire_decode_reply(pkt, 4, &rep));
    EXPECT_EQ(0u, rep.out_count);
    EXPECT_EQ(1, qxwire_decode_reply(pkt, 3, &rep));
    EXPECT_EQ(1, qxwire_encode_reply(pkt, 6, 0, out, 3, &len));
}

struct DirCase {
    const char *qx, *xdg;
    unsigned uid;
    const char *want;
};

TEST(QxWire, DeviceDirectory)
{
    const DirCase cases[] = {
        {"/srv/dev", "/run/user/7", 7, "/srv/dev"},
        {"", "/run/user/7", 7, "/run/user/7/qx"},
        {nullptr, "/run/user/7", 7, "/run/user/7/qx"},
        {nullptr, "", 1000, "/tmp/qx-1000"},
        {nullptr, nullptr, 0, "/tmp/qx-0"},
    };
    for (const auto &c : cases) {
        char dir[64];
        ASSERT_EQ(0, qxwire_device_dir_from(dir, sizeof dir, c.qx, c.xdg, c.uid));
        EXPECT_STREQ(c.want, dir);
    }
    char small[8];
    EXPECT_EQ(1, qxwire_device_dir_from(small, sizeof small, nullptr, "/run/user/7", 7));
}

TEST(QxWire, EndpointPathFitsASocketAddress)
{
    char p[256];
    // 98 + "/qx-10_20" is 107 bytes: the most sun_path takes.
    std::string dir98 = "/" + std::string(97, 'd');
    ASSERT_EQ(0, qxwire_endpoint_in(p, sizeof p, dir98.c_str()));
    EXPECT_EQ(107u, strlen(p));
    EXPECT_EQ(1, qxwire_endpoint_in(p, sizeof p, (dir98 + "d").c_str()));
    ASSERT_EQ(0, qxwire_endpoint_in(p, sizeof p, "/run/qx//"));
    EXPECT_STREQ("/run/qx/qx-10_20", p);
}

// --- discovery ---

struct NotADeviceCase {
    const char *name;
    std::function<void(DeviceDir &)> setup;
    bool root_only;
    bool found;
    const char *reason; // part of what usbdevs_absence says
};

TEST(Transport, DiscoveryAcceptsOnlyAPrivateSocket)
{
    // Each refusal names its reason for the user.
    const NotADeviceCase cases[] = {
        {"private directory, live socket", [](DeviceDir &) {}, false, true, ""},
        // A daemon killed without removing its endpoint: nothing serves it.
        {"socket nobody listens on",
         [](DeviceDir &d) {
             unlink(d.endpoint.c_str());
             make_stale(d.endpoint);
         },
         false, false, "qx-10_20 (connection refused): the device has gone"},
        {"no endpoint", [](DeviceDir &d) { unlink(d.endpoint.c_str()); }, false, false,
         "no device is served in "},
        {"regular file",
         [](DeviceDir &d) {
             unlink(d.endpoint.c_str());
             close(open(d.endpoint.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
         },
         false, false, "qx-10_20 is ignored: it is not a socket"},
        {"directory",
         [](DeviceDir &d) {
             unlink(d.endpoint.c_str());
             mkdir(d.endpoint.c_str(), 0700);
         },
         false, false, "qx-10_20 is ignored: it is not a socket"},
        {"link to a socket",
         [](DeviceDir &d) {
             std::string real = d.dir + "/real";
             rename(d.endpoint.c_str(), real.c_str());
             (void)!symlink(real.c_str(), d.endpoint.c_str());
         },
         false, false, "qx-10_20 is ignored: it is not a socket"},
        {"directory writable by others", [](DeviceDir &d) { chmod(d.dir.c_str(), 0703); }, false,
         false, "is ignored: others can write to it (chmod 700 "},
        {"directory writable by group", [](DeviceDir &d) { chmod(d.dir.c_str(), 0770); }, false,
         false, "is ignored: others can write to it (chmod 700 "},
        {"directory readable by others", [](DeviceDir &d) { chmod(d.dir.c_str(), 0755); }, false,
         true, ""},
        {"no directory",
         [](DeviceDir &d) { setenv("QX_DEVICE_DIR", (d.root + "/none").c_str(), 1); }, false, false,
         "/none cannot be used: No such file or directory"},
        {"directory is a file",
         [](DeviceDir &d) {
             std::string file = d.root + "/file";
             close(open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
             setenv("QX_DEVICE_DIR", file.c_str(), 1);
         },
         false, false, "/file is not a directory"},
        {"socket of another user",
         [](DeviceDir &d) { (void)!lchown(d.endpoint.c_str(), 4242, 4242); }, true, false,
         "qx-10_20 is ignored: it belongs to user 4242, not to you"},
        {"directory of another user", [](DeviceDir &d) { (void)!chown(d.dir.c_str(), 4242, 4242); },
         true, false, "is ignored: it belongs to user 4242, not to you"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.root_only && geteuid() != 0)
            continue; // only root can hand files to someone else
        DeviceDir d;
        WireServer server(d.endpoint, fixed_handler(reply_packet(0, 0)));
        ASSERT_TRUE(server.ok());
        c.setup(d);
        std::string found;
        EXPECT_EQ(c.found ? 1 : 0, find_device(&found));
        if (c.found) {
            EXPECT_EQ(d.endpoint, found);
        }
        char reason[512];
        EXPECT_EQ(c.found ? 1 : 0, usbdevs_absence(reason, sizeof reason));
        EXPECT_NE(nullptr, strstr(reason, c.reason)) << reason;
        QxDevice table[QXCTL_MAX_DEVICES] = {};
        EXPECT_EQ(c.found ? 0 : 1, usbdevs_probe(table, 0, nullptr));
    }
}

TEST(Transport, DiscoveryWantsTheServiceNameAndARoomyEntry)
{
    DeviceDir d;
    WireServer server(d.endpoint, fixed_handler(reply_packet(0, 0)));
    ASSERT_TRUE(server.ok());
    uint16_t path[USBDEVS_PATH_UNITS];
    int status = 0;
    EXPECT_EQ(0, usbdevs_find("QX-10_20", path, USBDEVS_PATH_UNITS, &status));
    EXPECT_EQ(0, usbdevs_find(nullptr, path, USBDEVS_PATH_UNITS, &status));
    EXPECT_EQ(0, usbdevs_find(USBDEVS_SERVICE, path, 8, &status));
    EXPECT_NE(0, status);
}

TEST(Transport, ListTakesEveryServedEndpointInNameOrder)
{
    DeviceDir d;
    // Served: a listening socket, as a daemon keeps; the rest are no devices.
    std::vector<int> fds;
    for (const char *name : {"qx-10_20.2", "qx-10_20", "qx-10_20.10", "qx-10_20x", "qx-10_20."}) {
        fds.push_back(bind_socket(d.dir + "/" + name, true));
        ASSERT_GE(fds.back(), 0) << name;
    }
    make_stale(d.dir + "/qx-10_20.3");
    close(open((d.dir + "/qx-10_20.lock").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    close(open((d.dir + "/qx-10_20.4").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    QxDevice list[QXCTL_MAX_DEVICES];
    ASSERT_EQ(3u, usbdevs_list(list, QXCTL_MAX_DEVICES));
    EXPECT_EQ(d.dir + "/qx-10_20", path_of(list[0]));
    EXPECT_EQ(d.dir + "/qx-10_20.10", path_of(list[1]));
    EXPECT_EQ(d.dir + "/qx-10_20.2", path_of(list[2]));
    // No more than the room given.
    QxDevice two[2];
    ASSERT_EQ(2u, usbdevs_list(two, 2));
    EXPECT_EQ(d.dir + "/qx-10_20.10", path_of(two[1]));
    // The probe still finds only the first device's endpoint.
    std::string found;
    EXPECT_EQ(1, find_device(&found));
    EXPECT_EQ(d.endpoint, found);
    // Only a second device served: the list has it, the probe does not.
    close(fds[1]);
    unlink(d.endpoint.c_str());
    ASSERT_EQ(2u, usbdevs_list(list, QXCTL_MAX_DEVICES));
    EXPECT_EQ(d.dir + "/qx-10_20.10", path_of(list[0]));
    EXPECT_EQ(0, find_device());
    // None served: the reason, as for a find.
    for (int fd : fds)
        close(fd);
    EXPECT_EQ(0u, usbdevs_list(list, QXCTL_MAX_DEVICES));
    char reason[512];
    EXPECT_EQ(0, usbdevs_absence(reason, sizeof reason));
    EXPECT_NE(nullptr, strstr(reason, "(connection refused)")) << reason;
    // A directory others can write to holds no device at all.
    fds.clear();
    fds.push_back(bind_socket(d.dir + "/qx-10_20.5", true));
    EXPECT_EQ(1u, usbdevs_list(list, QXCTL_MAX_DEVICES));
    chmod(d.dir.c_str(), 0770);
    EXPECT_EQ(0u, usbdevs_list(list, QXCTL_MAX_DEVICES));
    EXPECT_EQ(0, usbdevs_absence(reason, sizeof reason));
    EXPECT_NE(nullptr, strstr(reason, "others can write to it")) << reason;
    close(fds[0]);
    // Left with nothing but a lock file: no device is served, not a bad one.
    chmod(d.dir.c_str(), 0700);
    for (const char *name : {"qx-10_20.2", "qx-10_20", "qx-10_20.10", "qx-10_20x", "qx-10_20.",
                             "qx-10_20.3", "qx-10_20.4", "qx-10_20.5"})
        unlink((d.dir + "/" + name).c_str());
    EXPECT_EQ(0u, usbdevs_list(list, QXCTL_MAX_DEVICES));
    EXPECT_EQ(0, usbdevs_absence(reason, sizeof reason));
    EXPECT_EQ("no device is served in " + d.dir + " (there is no " + d.endpoint + ")",
              std::string(reason));
}

// --- calls ---

TEST(Transport, OneCallIsOnePacketEachWay)
{
    DeviceDir d;
    std::vector<uint8_t> answer = reply_packet(0, 64, 0);
    answer[4] = 50;
    answer[5] = 3;
    answer[6] = 220;
    WireServer server(d.endpoint, [&](const std::vector<uint8_t> &req, std::vector<uint8_t> &rep) {
        // Writes get no output, reads their answer.
        rep = req[8] == 0 ? reply_packet(0, 0) : answer;
        return true;
    });
    ASSERT_TRUE(server.ok());
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *dev = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &dev));
    OutputCapture out;
    const uint8_t msg[2] = {49, 1};
    ASSERT_EQ(0, usbdevs_write(dev, 29, 0, 0, sizeof msg, msg));
    uint8_t dst[64];
    memset(dst, 0xee, sizeof dst);
    ASSERT_EQ(0, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst));
    EXPECT_EQ("", out.text());
    EXPECT_EQ(0, memcmp(dst, answer.data() + 4, sizeof dst));

    auto reqs = server.requests();
    ASSERT_EQ(2u, reqs.size());
    uint8_t in[USBDEVS_MIN_INPUT];
    usbdevs_build_write(in, 29, 0, 0, sizeof msg, msg);
    std::vector<uint8_t> want = {0x00, 0x20, 0x22, 0x00, 0, 0, 0, 0};
    want.insert(want.end(), in, in + sizeof in);
    EXPECT_EQ(want, reqs[0]);
    usbdevs_build_read(in, 30, 0, 0);
    want = {0x00, 0x20, 0x22, 0x00, 64, 0, 0, 0};
    want.insert(want.end(), in, in + sizeof in);
    EXPECT_EQ(want, reqs[1]);
}

struct ReplyCase {
    const char *name;
    bool write;
    std::vector<uint8_t> packet;
    bool reply;
    std::string printed; // beginning of the output
    std::string code;    // the error report's code line, if any
};

TEST(Transport, FailedAndMisshapenReplies)
{
    const std::string report = kSrc + "35:GetLastError() = ";
    const ReplyCase cases[] = {
        {"read answered one byte short", false, reply_packet(0, 63), true, line(228), ""},
        {"read answered one byte long", false, reply_packet(0, 65), true, line(228), ""},
        {"write answered with output", true, reply_packet(0, 1), true, line(228), ""},
        {"device failure", false, reply_packet(31, 0), true, line(222), report + "0x1f\n"},
        {"device gone", true, reply_packet(1167, 0), true, line(222), report + "0x48f\n"},
        {"status cut short", false, {0, 0}, true, line(222), report + "0x1f\n"},
        {"no reply at all", true, {}, false, line(222), report + "0x1f\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DeviceDir d;
        WireServer server(d.endpoint, fixed_handler(c.packet, c.reply));
        ASSERT_TRUE(server.ok());
        QxDevice table[QXCTL_MAX_DEVICES] = {};
        QxDevice *dev = nullptr;
        ASSERT_EQ(0, usbdevs_probe(table, 0, &dev));
        OutputCapture out;
        uint8_t buf[80];
        memset(buf, 0xee, sizeof buf);
        int rc =
            c.write ? usbdevs_write(dev, 29, 0, 0, 2, buf) : usbdevs_read(dev, 30, 0, 0, 64, buf);
        EXPECT_EQ(1, rc);
        EXPECT_EQ(c.printed, out.text().substr(0, c.printed.size()));
        if (!c.code.empty()) {
            EXPECT_TRUE(out.contains(c.code)) << out.text();
        }
        // Never more than asked for lands in the destination.
        EXPECT_EQ(0xee, buf[64]);
    }
}

// A short bound in place of the real one, so that hung peers cost little time.
struct ShortTimeout {
    ShortTimeout() { qxwire_set_timeout_ms(100); }
    ~ShortTimeout() { qxwire_set_timeout_ms(0); }
};

TEST(Transport, SilentDeviceCostsOneBoundUntilItAnswersAgain)
{
    ShortTimeout bound;
    DeviceDir d;
    // Listens but never accepts: the first connection waits in the backlog
    // with its request unread, and its reply never comes.
    int fd = bind_socket(d.endpoint, false);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, listen(fd, 4));
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *dev = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &dev));
    const std::string timed_out = kSrc + "35:GetLastError() = 0x79\n";
    const std::string report =
        line(222) + timed_out + "The semaphore timeout period has expired.\n";
    const uint64_t timeouts = qxwire_counted(QXWIRE_COUNT_TIMEOUTS);
    const uint64_t refused = qxwire_counted(QXWIRE_COUNT_REFUSED);
    uint8_t dst[64];
    OutputCapture out;
    EXPECT_EQ(1, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst));
    EXPECT_EQ(report, out.text());
    EXPECT_EQ(timeouts + 1, qxwire_counted(QXWIRE_COUNT_TIMEOUTS));

    // The next calls fail at once, reported as timed out, and never reach it.
    out.clear();
    const uint8_t msg[2] = {49, 1};
    EXPECT_EQ(1, usbdevs_write(dev, 29, 0, 0, sizeof msg, msg));
    EXPECT_EQ(1, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst));
    EXPECT_EQ(report + report, out.text());
    EXPECT_EQ(refused + 2, qxwire_counted(QXWIRE_COUNT_REFUSED));
    EXPECT_EQ(timeouts + 1, qxwire_counted(QXWIRE_COUNT_TIMEOUTS));
    // First in the queue: the discovery's look at the endpoint, which asks
    // nothing.
    int probe = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(probe, 0);
    uint8_t nothing[8];
    EXPECT_EQ(0, recv(probe, nothing, sizeof nothing, MSG_DONTWAIT));
    close(probe);
    int held = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(held, 0) << "the unanswered call";
    // Given up by the host: after its request comes its end (a half-close),
    // so that a daemon that serves it late drops it rather than apply it.
    uint8_t request[QXWIRE_MAX_REQUEST];
    EXPECT_GT(recv(held, request, sizeof request, 0), 0);
    EXPECT_EQ(0, recv(held, request, sizeof request, MSG_DONTWAIT));
    struct pollfd more = {fd, POLLIN, 0};
    EXPECT_EQ(0, poll(&more, 1, 0)) << "no call after it";

    // The device answers the old call late: the next call reaches it again.
    std::vector<uint8_t> rep = reply_packet(0, 64);
    ASSERT_EQ((ssize_t)rep.size(), send(held, rep.data(), rep.size(), MSG_NOSIGNAL));
    close(held);
    close(fd);
    unlink(d.endpoint.c_str());
    QxSimDevice sim{QxSimConfig()};
    WireServer server(d.endpoint, device_handler(&sim));
    ASSERT_TRUE(server.ok());
    out.clear();
    EXPECT_EQ(0, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst));
    EXPECT_EQ("", out.text());
    EXPECT_EQ(1u, server.requests().size());
}

std::atomic<uint64_t> g_wire_ms{0};

uint64_t wire_clock()
{
    return g_wire_ms.load();
}

// The transport's probe clock, stepped by hand.
struct WireClock {
    WireClock()
    {
        g_wire_ms = 1000000;
        qxwire_set_clock(wire_clock);
    }
    ~WireClock() { qxwire_set_clock(nullptr); }
    void advance(uint64_t ms) { g_wire_ms += ms; }
};

// Real milliseconds a call took: the transport's bounds are the socket's.
template <class F> double real_ms(F call)
{
    auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// A spell of silence, rule by rule: the call that times out costs the whole
// bound (kept to the millisecond below and above a second); then, until the
// probe interval has passed, every call fails at once without being sent;
// at the interval exactly one call goes as a probe under the probe's short
// bound, and the interval starts again from it. Only the last unanswered
// call stays open, half-closed; a reply on it, even one the daemon sends
// just before it closes, ends the silence, and the next call reaches the
// device at once.
TEST(Transport, SilenceCostsOneBoundAndEndsWithTheHeldCallsReply)
{
    WireClock clock;
    ShortTimeout restore;
    qxwire_set_timeout_ms(1400);
    DeviceDir d;
    int fd = bind_socket(d.endpoint, false);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, listen(fd, 8));
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *dev = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &dev));
    // Discovery's own connection, which carries no request.
    close(accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
    OutputCapture out;
    uint8_t dst[64];
    auto read = [&] { EXPECT_EQ(1, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst)); };
    auto timeouts = [] { return qxwire_counted(QXWIRE_COUNT_TIMEOUTS); };
    auto refused = [] { return qxwire_counted(QXWIRE_COUNT_REFUSED); };
    const uint64_t t0 = timeouts(), r0 = refused(), sent0 = qxwire_counted(QXWIRE_COUNT_REQUESTS);

    double first = real_ms(read);
    EXPECT_GE(first, 1390.0) << "a bound of 1.4 s is not one of 1 s";
    EXPECT_LT(first, 2500.0);
    EXPECT_EQ(t0 + 1, timeouts());

    clock.advance(QXWIRE_PROBE_INTERVAL_MS - 1);
    // Refused unsent (the count says so), not after the bound: far under it,
    // with room for a loaded machine.
    EXPECT_LT(real_ms(read), 400.0);
    EXPECT_EQ(r0 + 1, refused());

    clock.advance(1);
    double probe = real_ms(read);
    EXPECT_EQ(t0 + 2, timeouts()) << "the probe at the interval";
    EXPECT_GE(probe, QXWIRE_PROBE_TIMEOUT_MS - 5.0);
    EXPECT_LT(probe, 400.0) << "the probe keeps its own bound";

    read();
    clock.advance(QXWIRE_PROBE_INTERVAL_MS - 1);
    read();
    EXPECT_EQ(r0 + 3, refused()) << "the interval runs from the probe";
    EXPECT_EQ(t0 + 2, timeouts());
    clock.advance(1);
    read();
    EXPECT_EQ(t0 + 3, timeouts());
    EXPECT_EQ(sent0 + 3, qxwire_counted(QXWIRE_COUNT_REQUESTS)) << "refused calls are not sent";

    // The first call and the first probe were closed when a later call took
    // their place; the last probe is held open, its writing side shut.
    int calls[3];
    for (int &c : calls) {
        struct pollfd waiting = {fd, POLLIN, 0};
        ASSERT_EQ(1, poll(&waiting, 1, 0)) << "three calls were made";
        c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(c, 0);
    }
    const uint8_t byte = 0;
    for (int i = 0; i < 2; ++i) {
        errno = 0;
        EXPECT_EQ(-1, send(calls[i], &byte, 1, MSG_NOSIGNAL)) << i;
        EXPECT_EQ(EPIPE, errno) << i;
        close(calls[i]);
    }
    uint8_t request[QXWIRE_MAX_REQUEST];
    EXPECT_GT(recv(calls[2], request, sizeof request, 0), 0);
    EXPECT_EQ(0, recv(calls[2], request, sizeof request, MSG_DONTWAIT));

    // The reply comes late, and the daemon closes at once behind it.
    std::vector<uint8_t> rep = reply_packet(0, 64);
    ASSERT_EQ((ssize_t)rep.size(), send(calls[2], rep.data(), rep.size(), MSG_NOSIGNAL));
    close(calls[2]);
    close(fd);
    unlink(d.endpoint.c_str());
    QxSimDevice sim{QxSimConfig()};
    WireServer server(d.endpoint, device_handler(&sim));
    ASSERT_TRUE(server.ok());
    out.clear();
    EXPECT_EQ(0, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst)) << "no wait for the interval";
    EXPECT_EQ("", out.text());
    EXPECT_EQ(1u, server.requests().size());
    EXPECT_EQ(r0 + 3, refused());
}

// A device that comes back without ever answering the call it was given
// up on: the probe at the interval reaches it, and its answer ends the
// silence and closes the held call, which the daemon then cannot answer.
TEST(Transport, SilenceEndsAtAnAnsweredProbeAndClosesTheHeldCall)
{
    WireClock clock;
    ShortTimeout bound;
    DeviceDir d;
    int fd = bind_socket(d.endpoint, false);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, listen(fd, 4));
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *dev = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &dev));
    // Discovery's own connection, which carries no request.
    close(accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
    OutputCapture out;
    uint8_t dst[64];
    EXPECT_EQ(1, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst));
    int held = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(held, 0);
    close(fd);
    unlink(d.endpoint.c_str());
    QxSimDevice sim{QxSimConfig()};
    WireServer server(d.endpoint, device_handler(&sim));
    ASSERT_TRUE(server.ok());

    // Whether the host has closed the held call, seen without sending on
    // it: a byte there would end the silence by itself.
    auto held_closed = [&] {
        struct pollfd p = {held, POLLIN, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
    };

    clock.advance(QXWIRE_PROBE_INTERVAL_MS - 1);
    EXPECT_EQ(1, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst));
    EXPECT_EQ(0u, server.requests().size());
    EXPECT_FALSE(held_closed()) << "still held";

    clock.advance(1);
    EXPECT_EQ(0, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst));
    EXPECT_EQ(1u, server.requests().size());
    EXPECT_TRUE(held_closed()) << "closed once the device answered";
    // The next call goes at once, the interval not passed: the probe's
    // answer alone ended the silence.
    EXPECT_EQ(0, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst));
    EXPECT_EQ(2u, server.requests().size());
    close(held);
}

// A spell of silence belongs to the endpoint that went silent, and starts
// as well when the connection itself times out (the daemon's queue stays
// full): the next call there fails at once, while another device's calls
// go through.
TEST(Transport, SilenceStartsAtAConnectionTimeoutAndStaysWithItsDevice)
{
    WireClock clock;
    ShortTimeout bound;
    DeviceDir d;
    // Listens, never accepts, with no room in its queue once one waits.
    int fd = bind_socket(d.endpoint, false);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, listen(fd, 0));
    std::vector<int> queued;
    for (int i = 0; i < 8; i++) {
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, d.endpoint.c_str(), sizeof addr.sun_path - 1);
        int c = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (connect(c, (struct sockaddr *)&addr, sizeof addr) != 0) {
            close(c);
            break;
        }
        queued.push_back(c);
    }
    ASSERT_FALSE(queued.empty());
    ASSERT_LT(queued.size(), 8u) << "the queue fills";
    QxSimDevice sim{QxSimConfig()};
    WireServer other(d.endpoint + ".2", device_handler(&sim));
    ASSERT_TRUE(other.ok());
    QxDevice silent = {}, served = {};
    ASSERT_EQ(0, usbdevs_path_from_utf8(silent.path, USBDEVS_PATH_UNITS, d.endpoint.c_str()));
    ASSERT_EQ(0,
              usbdevs_path_from_utf8(served.path, USBDEVS_PATH_UNITS, (d.endpoint + ".2").c_str()));
    OutputCapture out;
    uint8_t dst[64];
    const uint64_t t0 = qxwire_counted(QXWIRE_COUNT_TIMEOUTS);
    const uint64_t r0 = qxwire_counted(QXWIRE_COUNT_REFUSED);
    const uint64_t sent0 = qxwire_counted(QXWIRE_COUNT_REQUESTS);
    EXPECT_EQ(1, usbdevs_read(&silent, 30, 0, 0, sizeof dst, dst));
    EXPECT_EQ(t0 + 1, qxwire_counted(QXWIRE_COUNT_TIMEOUTS));
    EXPECT_EQ(sent0, qxwire_counted(QXWIRE_COUNT_REQUESTS)) << "never connected";
    EXPECT_EQ(0, usbdevs_read(&served, 30, 0, 0, sizeof dst, dst)) << out.text();
    EXPECT_EQ(1u, other.requests().size());
    EXPECT_EQ(1, usbdevs_read(&silent, 30, 0, 0, sizeof dst, dst));
    EXPECT_EQ(r0 + 1, qxwire_counted(QXWIRE_COUNT_REFUSED)) << "refused at once";
    EXPECT_EQ(t0 + 1, qxwire_counted(QXWIRE_COUNT_TIMEOUTS));
    for (int c : queued)
        close(c);
    close(fd);
}

// The ready wait over a device that stops answering: its 1000 reads and
// 19,829 ms of pauses stay as they are, but only the first read waits out
// the bound, so the wait ends in one bound plus its pauses.
TEST(Transport, ReadyWaitOnASilentDeviceCostsOneBound)
{
    ShortTimeout bound;
    DeviceDir d;
    int fd = bind_socket(d.endpoint, false);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, listen(fd, 4));
    QxCtl ctl = {};
    QxChannel ch = nullptr;
    ASSERT_EQ(0, qxctl_init(&ctl));
    ASSERT_EQ(0, qxctl_open(&ctl, &ch));
    const uint64_t timeouts = qxwire_counted(QXWIRE_COUNT_TIMEOUTS);
    const uint64_t refused = qxwire_counted(QXWIRE_COUNT_REFUSED);
    VirtualClock clock;
    OutputCapture out;
    EXPECT_EQ(1, qxctl_wait_ready(&ch));
    EXPECT_EQ(1000u, out.count("wait 1\n"));
    EXPECT_EQ(1000u, clock.sleeps().size());
    EXPECT_EQ(19829u, clock.now_ms());
    // Probes (one a second of real time) may add a few more bounded calls.
    const uint64_t waited = qxwire_counted(QXWIRE_COUNT_TIMEOUTS) - timeouts;
    EXPECT_GE(waited, 1u);
    EXPECT_LE(waited, 3u);
    EXPECT_EQ(1000u, waited + qxwire_counted(QXWIRE_COUNT_REFUSED) - refused);
    close(fd);
}

TEST(Transport, OpenFailureReportsTheSystemError)
{
    DeviceDir d;
    QxDevice dev = {};
    usbdevs_path_from_utf8(dev.path, USBDEVS_PATH_UNITS, d.endpoint.c_str());
    const uint8_t msg[2] = {49, 1};
    uint8_t dst[64];
    const std::string report = kSrc + "35:GetLastError() = ";
    {
        OutputCapture out;
        EXPECT_EQ(1, usbdevs_write(&dev, 29, 0, 0, 2, msg));
        EXPECT_EQ(0u, out.text().find(report + "0x2\n")) << out.text();
        EXPECT_TRUE(out.contains("ERROR : 199\n" + line(247))) << out.text();
        out.clear();
        EXPECT_EQ(1, usbdevs_read(&dev, 30, 0, 0, 64, dst));
        EXPECT_EQ(0u, out.text().find(report + "0x2\n")) << out.text();
        EXPECT_EQ(1u, out.count("ERROR : 199\n"));
        EXPECT_EQ(0u, out.count(":ERROR\n")) << out.text();
    }
    // A socket file without its daemon: the device is not connected.
    make_stale(d.endpoint);
    OutputCapture out;
    EXPECT_EQ(1, usbdevs_read(&dev, 30, 0, 0, 64, dst));
    EXPECT_EQ(0u, out.text().find(report + "0x48f\n")) << out.text();
}

TEST(Transport, SimulatedDeviceAnswersTheInfoRequest)
{
    DeviceDir d;
    QxSimConfig cfg;
    cfg.version = 231;
    cfg.build = 9;
    StrictSim sim(cfg);
    WireServer server(d.endpoint, device_handler(&sim));
    ASSERT_TRUE(server.ok());
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *dev = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &dev));
    const uint8_t msg[2] = {49, 1};
    ASSERT_EQ(0, usbdevs_write(dev, 29, 0, 0, sizeof msg, msg));
    uint8_t dst[64];
    ASSERT_EQ(0, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst));
    const std::vector<uint8_t> head = tlv({item_u16(50, 231), item_u16(51, 9)});
    EXPECT_EQ(head, std::vector<uint8_t>(dst, dst + head.size()));
    EXPECT_EQ(2u, sim.stats().calls);
}

// --- the daemon ---

namespace
{

std::string read_all(int fd, int timeout_ms)
{
    std::string s;
    char buf[4096];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return s;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return s;
        s.append(buf, (size_t)n);
    }
}

// qxsim as a child process, with its standard output and error captured.
// Every breach of the device contract that it reports fails the test,
// unless the test breaks the contract on purpose (expect_breaches).
class Qxsim
{
  public:
    ~Qxsim()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            stderr_ += read_all(err_, 100);
        }
        close(out_);
        close(err_);
        if (!breaches_expected_ && stderr_.find("qxsim: breach: ") != std::string::npos)
            ADD_FAILURE() << "the host broke the device contract:\n" << stderr_;
    }
    void expect_breaches() { breaches_expected_ = true; }

    // Starts qxsim; true once it reports its endpoint. False when it ended
    // without (see wait()).
    bool start(std::vector<std::string> args)
    {
        int ready[2], out[2], err[2];
        if (pipe2(ready, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
            return false;
        args.insert(args.begin(), {QXSIM_BIN, "--ready-fd", std::to_string(ready[1])});
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            fcntl(ready[1], F_SETFD, 0);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(ready[1]);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        ready_ = read_all(ready[0], 10000);
        close(ready[0]);
        if (ready_.empty())
            return false;
        // Printed before the endpoint is reported, so it is there already.
        stdout_ = read_line();
        return true;
    }

    // Waits for the end (10 s at most); the exit status, or -1.
    int wait()
    {
        stdout_ += read_all(out_, 10000); // EOF once it has ended
        stderr_ += read_all(err_, 1000);
        int st = 0;
        if (pid_ <= 0 || waitpid(pid_, &st, 0) != pid_)
            return -1;
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    int stop(int sig = SIGTERM)
    {
        if (pid_ > 0)
            kill(pid_, sig);
        return wait();
    }

    // SIGSTOP returns once the daemon has stopped.
    void signal(int sig)
    {
        if (pid_ <= 0)
            return;
        kill(pid_, sig);
        int st = 0;
        if (sig == SIGSTOP)
            waitpid(pid_, &st, WUNTRACED);
    }
    const std::string &ready() const { return ready_; }
    const std::string &out() const { return stdout_; }
    const std::string &err() const { return stderr_; }

  private:
    std::string read_line()
    {
        std::string s;
        char c;
        struct pollfd p = {out_, POLLIN, 0};
        while (poll(&p, 1, 10000) > 0 && read(out_, &c, 1) == 1) {
            s.push_back(c);
            if (c == '\n')
                break;
        }
        return s;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    std::string ready_, stdout_, stderr_;
    bool breaches_expected_ = false;
};

// One call in the wire format, by hand.
bool wire_call(const std::string &path, const uint8_t *in, uint32_t in_size, uint32_t out_size,
               uint32_t *status, std::vector<uint8_t> *out)
{
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        close(fd);
        return false;
    }
    std::vector<uint8_t> pkt(QXWIRE_REQUEST_HEADER + in_size);
    size_t len = 0;
    qxwire_encode_request(pkt.data(), pkt.size(), IOCTL_QX_CONTROL, out_size, in, in_size, &len);
    std::vector<uint8_t> rep(QXWIRE_MAX_REPLY);
    bool ok = send(fd, pkt.data(), len, MSG_NOSIGNAL) == (ssize_t)len;
    ssize_t n = ok ? recv(fd, rep.data(), rep.size(), 0) : -1;
    close(fd);
    QxWireReply r;
    if (n < 0 || qxwire_decode_reply(rep.data(), (size_t)n, &r))
        return false;
    *status = r.status;
    out->assign(r.out, r.out + r.out_count);
    return true;
}

} // namespace

TEST(Qxsim, AnswersAnInfoRequestAndCleansUp)
{
    DeviceDir d;
    Qxsim sim;
    ASSERT_TRUE(sim.start({})) << sim.err();
    EXPECT_EQ(d.endpoint + "\n", sim.ready());
    EXPECT_EQ("qxsim: serving QX-20 version 2.20 build 50 on " + d.endpoint + "\n", sim.out());

    const uint8_t msg[2] = {49, 1};
    uint8_t in[USBDEVS_MIN_INPUT];
    usbdevs_build_write(in, 29, 0, 0, sizeof msg, msg);
    uint32_t status = 99;
    std::vector<uint8_t> out;
    ASSERT_TRUE(wire_call(d.endpoint, in, sizeof in, 0, &status, &out));
    EXPECT_EQ(0u, status);
    EXPECT_TRUE(out.empty());
    usbdevs_build_read(in, 30, 0, 0);
    ASSERT_TRUE(wire_call(d.endpoint, in, sizeof in, 64, &status, &out));
    EXPECT_EQ(0u, status);
    ASSERT_EQ(64u, out.size());
    const std::vector<uint8_t> head =
        tlv({item_u16(50, 220), item_u16(51, 50), item_blob(52, "QX-20")});
    EXPECT_EQ(head, std::vector<uint8_t>(out.begin(), out.begin() + head.size()));

    // The daemon leaves the closing of a call to the host: a close right
    // behind its reply could make the host's receive report end-of-file
    // while the reply is still queued.
    {
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, d.endpoint.c_str(), sizeof addr.sun_path - 1);
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        ASSERT_EQ(0, connect(fd, (struct sockaddr *)&addr, sizeof addr));
        std::vector<uint8_t> pkt(QXWIRE_REQUEST_HEADER + sizeof in);
        size_t len = 0;
        qxwire_encode_request(pkt.data(), pkt.size(), IOCTL_QX_CONTROL, 64, in, sizeof in, &len);
        ASSERT_EQ((ssize_t)len, send(fd, pkt.data(), len, MSG_NOSIGNAL));
        std::vector<uint8_t> rep(QXWIRE_MAX_REPLY);
        EXPECT_EQ(68, recv(fd, rep.data(), rep.size(), 0));
        struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
        EXPECT_EQ(0, poll(&p, 1, 100)) << "closed by the daemon";
        close(fd);
    }

    // A request that is no I/O-control call is refused, not served.
    ASSERT_TRUE(wire_call(d.endpoint, in, 4, 64, &status, &out));
    EXPECT_EQ(QXWIRE_ERROR_INVALID_PARAMETER, status);

    EXPECT_EQ(1, find_device());
    EXPECT_EQ(0, sim.stop(SIGTERM));
    EXPECT_FALSE(exists(d.endpoint));
    EXPECT_EQ(0, find_device());
}

TEST(Qxsim, OptionsSetTheIdentity)
{
    DeviceDir d;
    std::string other = d.root + "/other";
    const std::string trace = d.root + "/calls.trace";
    Qxsim sim;
    ASSERT_TRUE(sim.start({"--dir", other, "--product", "QX-10", "--fw-version", "231", "--build",
                           "7", "--latency-us", "20000", "--record", trace}))
        << sim.err();
    EXPECT_EQ("qxsim: serving QX-10 version 2.31 build 7 on " + other + "/qx-10_20\n", sim.out());
    struct stat st;
    ASSERT_EQ(0, stat(other.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    // Found through the updater's own path.
    setenv("QX_DEVICE_DIR", other.c_str(), 1);
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *dev = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &dev));
    const uint8_t msg[2] = {49, 1};
    uint8_t dst[64];
    ASSERT_EQ(0, usbdevs_write(dev, 29, 0, 0, sizeof msg, msg));
    ASSERT_EQ(0, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst));
    const std::vector<uint8_t> head =
        tlv({item_u16(50, 231), item_u16(51, 7), item_blob(52, "QX-10")});
    EXPECT_EQ(head, std::vector<uint8_t>(dst, dst + head.size()));
    EXPECT_EQ(0, sim.stop(SIGINT));
    EXPECT_FALSE(exists(other + "/qx-10_20"));
    // Each recorded call lasts as long as the device was told to take.
    std::string calls = read_text(trace);
    int recorded = 0;
    for (size_t at = 0; (at = calls.find("\"dur_us\":", at)) != std::string::npos; recorded++) {
        at += 9;
        EXPECT_GE(std::stoull(calls.substr(at)), 19000u) << calls;
    }
    EXPECT_EQ(2, recorded) << calls;

    // The old spelling of the firmware version, still used by scripts.
    for (std::vector<std::string> spelling :
         {std::vector<std::string>{"--version", "232"}, {"--version=232"}}) {
        DeviceDir d2;
        Qxsim old;
        spelling.insert(spelling.begin(), {"--dir", d2.dir});
        ASSERT_TRUE(old.start(spelling)) << old.err();
        EXPECT_EQ("qxsim: serving QX-20 version 2.32 build 50 on " + d2.endpoint + "\n", old.out());
    }
}

TEST(Qxsim, RefusesToStartOverALiveEndpoint)
{
    DeviceDir d;
    Qxsim first;
    ASSERT_TRUE(first.start({})) << first.err();
    Qxsim second;
    EXPECT_FALSE(second.start({}));
    EXPECT_EQ(1, second.wait());
    EXPECT_NE(std::string::npos, second.err().find("already served")) << second.err();
    // The first one still serves.
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *dev = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &dev));
    uint8_t dst[64];
    EXPECT_EQ(0, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst));
    EXPECT_EQ(0, first.stop());
}

TEST(Qxsim, RefusesToStartOverAnEndpointWithAFullQueue)
{
    DeviceDir d;
    // A daemon that no longer accepts, its queue filled by one caller.
    int listener = bind_socket(d.endpoint, false);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(0, listen(listener, 0));
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, d.endpoint.c_str(), sizeof addr.sun_path - 1);
    int caller = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, connect(caller, (struct sockaddr *)&addr, sizeof addr));
    Qxsim sim;
    EXPECT_FALSE(sim.start({}));
    // Killed if it is still waiting to connect: then no exit status of its own.
    EXPECT_EQ(1, sim.stop(SIGKILL));
    EXPECT_NE(std::string::npos, sim.err().find("already served")) << sim.err();
    EXPECT_TRUE(exists(d.endpoint));
    close(caller);
    close(listener);
}

TEST(Qxsim, ReplacesAStaleEndpoint)
{
    DeviceDir d;
    make_stale(d.endpoint);
    Qxsim sim;
    ASSERT_TRUE(sim.start({})) << sim.err();
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *dev = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &dev));
    uint8_t dst[64];
    EXPECT_EQ(0, usbdevs_read(dev, 30, 0, 0, sizeof dst, dst));
    EXPECT_EQ(0, sim.stop());
    EXPECT_FALSE(exists(d.endpoint));
}

struct RefusalCase {
    const char *name;
    std::function<void(DeviceDir &)> setup;
    std::vector<std::string> args;
    int status;
};

TEST(Qxsim, Refusals)
{
    const RefusalCase cases[] = {
        {"regular file at the endpoint",
         [](DeviceDir &d) { close(open(d.endpoint.c_str(), O_CREAT | O_WRONLY, 0600)); },
         {},
         1},
        {"directory open to others", [](DeviceDir &d) { chmod(d.dir.c_str(), 0777); }, {}, 1},
        {"endpoint path too long",
         [](DeviceDir &) {},
         {"--dir", "/tmp/" + std::string(100, 'x')},
         1},
        {"unknown option", [](DeviceDir &) {}, {"--frobnicate"}, 2},
        {"bad number", [](DeviceDir &) {}, {"--fw-version", "70000"}, 2},
        {"bad number, old spelling", [](DeviceDir &) {}, {"--version", "70000"}, 2},
        {"negative count", [](DeviceDir &) {}, {"--busy", "-1"}, 2},
        {"missing value", [](DeviceDir &) {}, {"--room"}, 2},
        {"value for a flag", [](DeviceDir &) {}, {"--info-silent=1"}, 2},
        {"missing firmware file", [](DeviceDir &) {}, {"--firmware", "/nonexistent/fw.bin"}, 1},
        // Names the updater would not take for a device, or its lock file's.
        {"endpoint of another name", [](DeviceDir &) {}, {"--endpoint", "qx-30"}, 2},
        {"endpoint with an empty suffix", [](DeviceDir &) {}, {"--endpoint", "qx-10_20."}, 2},
        {"endpoint in another folder", [](DeviceDir &) {}, {"--endpoint", "qx-10_20.a/b"}, 2},
        {"endpoint named as a lock", [](DeviceDir &) {}, {"--endpoint", "qx-10_20.2.lock"}, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DeviceDir d;
        c.setup(d);
        struct stat before;
        bool had = lstat(d.endpoint.c_str(), &before) == 0;
        Qxsim sim;
        EXPECT_FALSE(sim.start(c.args));
        EXPECT_EQ(c.status, sim.wait());
        EXPECT_FALSE(sim.err().empty());
        // Whatever was there is left alone.
        struct stat after;
        EXPECT_EQ(had, lstat(d.endpoint.c_str(), &after) == 0);
        if (had) {
            EXPECT_TRUE(S_ISREG(after.st_mode));
        }
    }
}

TEST(Qxsim, UnpluggedDeviceLeavesDiscovery)
{
    DeviceDir d;
    Qxsim sim;
    ASSERT_TRUE(sim.start({"--unplug-after", "4"})) << sim.err();
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *dev = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &dev));
    // Begin, status query and the first chunk of its burst, each write after
    // a ready read as the host sends them.
    const std::vector<std::vector<uint8_t>> msgs = {tlv({item_u32(33, 100)}), tlv({item_empty(34)}),
                                                    tlv({item_blob(38, "12345678")})};
    uint8_t answer[64];
    OutputCapture out;
    for (const auto &msg : msgs) {
        ASSERT_EQ(0, usbdevs_read(dev, 30, 0, 0, sizeof answer, answer));
        ASSERT_EQ(0, usbdevs_write(dev, 29, 0, 0, (unsigned)msg.size(), msg.data()));
    }
    EXPECT_FALSE(exists(d.endpoint));
    EXPECT_EQ(0, find_device());
    EXPECT_EQ(0, sim.stop());
}

// The device refuses what the real one would not take, says so on standard
// error and counts it in the summary. This test breaks the contract on purpose.
TEST(Qxsim, ReportsBreachesAndWritesASummary)
{
    DeviceDir d;
    std::string summary = d.root + "/summary.json";
    Qxsim sim;
    sim.expect_breaches();
    ASSERT_TRUE(sim.start({"--summary", summary})) << sim.err();
    QxDevice table[QXCTL_MAX_DEVICES] = {};
    QxDevice *dev = nullptr;
    ASSERT_EQ(0, usbdevs_probe(table, 0, &dev));
    uint8_t dst[64];
    OutputCapture out;
    EXPECT_EQ(1, usbdevs_read(dev, 30, 0, 0, 32, dst)); // a 32-byte read on 30
    EXPECT_NE(std::string::npos, out.text().find("GetLastError() = 0x1f")) << out.text();
    EXPECT_EQ(0, usbdevs_read(dev, 30, 0, 0, 64, dst));
    const std::vector<uint8_t> chunk = tlv({item_blob(37, std::string(40, 'x'))});
    const std::vector<uint8_t> begin = tlv({item_u32(33, 100)});
    EXPECT_EQ(0, usbdevs_write(dev, 29, 0, 0, (unsigned)begin.size(), begin.data()));
    EXPECT_EQ(0, usbdevs_read(dev, 30, 0, 0, 64, dst));
    EXPECT_EQ(1, usbdevs_write(dev, 29, 0, 0, (unsigned)chunk.size(), chunk.data()));
    EXPECT_EQ(0, sim.stop());
    EXPECT_EQ("qxsim: breach: call 1: read-size: read of 32 bytes on request 30 (64 expected)\n"
              "qxsim: breach: call 5: chunk-size: tag-37 chunk of 40 bytes (61 expected)\n",
              sim.err());
    std::string json = read_text(summary);
    for (const char *part :
         {"\"calls\": 5,", "\"count\": 2,", "\"chunk-size\": 1", "\"read-size\": 1",
          "{\"call\": 1, \"kind\": \"read-size\", \"text\": \"read of 32 bytes on request 30 "
          "(64 expected)\"}",
          "\"service_us\": "})
        EXPECT_NE(std::string::npos, json.find(part)) << part << "\n" << json;

    // A summary that cannot be made stops the start.
    Qxsim bad;
    EXPECT_FALSE(bad.start({"--summary", d.root + "/missing/summary.json"}));
    EXPECT_EQ(1, bad.wait());
    EXPECT_NE(std::string::npos, bad.err().find("cannot create")) << bad.err();
}

// A daemon held up past the host's bound: the host has given the call up
// (half-closed, as the transport does, still watching for the answer), so
// applying it would put the device a step ahead of the host.
TEST(Qxsim, CallGivenUpByTheHostIsNotApplied)
{
    DeviceDir d;
    Qxsim sim;
    ASSERT_TRUE(sim.start({"--verbose"})) << sim.err();
    sim.signal(SIGSTOP);
    int fd = -1;
    {
        const uint8_t msg[2] = {49, 1};
        uint8_t in[USBDEVS_MIN_INPUT];
        usbdevs_build_write(in, 29, 0, 0, sizeof msg, msg);
        std::vector<uint8_t> pkt(QXWIRE_REQUEST_HEADER + sizeof in);
        size_t len = 0;
        qxwire_encode_request(pkt.data(), pkt.size(), IOCTL_QX_CONTROL, 0, in, sizeof in, &len);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, d.endpoint.c_str(), sizeof addr.sun_path - 1);
        fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        ASSERT_EQ(0, connect(fd, (struct sockaddr *)&addr, sizeof addr));
        ASSERT_EQ((ssize_t)len, send(fd, pkt.data(), len, MSG_NOSIGNAL));
        shutdown(fd, SHUT_WR);
    }
    sim.signal(SIGCONT);
    uint8_t in[USBDEVS_MIN_INPUT];
    usbdevs_build_read(in, 30, 0, 0);
    uint32_t status = 99;
    std::vector<uint8_t> out;
    ASSERT_TRUE(wire_call(d.endpoint, in, sizeof in, 64, &status, &out));
    EXPECT_EQ(0u, status);
    ASSERT_EQ(64u, out.size());
    EXPECT_NE(50, out[0]) << "the info request was applied";
    // Dropped and closed: the host learns that the device answers again.
    uint8_t byte;
    EXPECT_EQ(0, recv(fd, &byte, 1, MSG_DONTWAIT));
    close(fd);
    EXPECT_EQ(0, sim.stop());
    EXPECT_NE(std::string::npos, sim.err().find("call 1 was given up by the host")) << sim.err();
    EXPECT_NE(std::string::npos, sim.err().find("2 calls received, 1 replies sent, 0 not "
                                                "delivered, 1 given up by the host"))
        << sim.err();
}

// A product name as an image header holds it, as qxmkimage takes it.
TEST(Qxsim, ProductNameHasOneToEightCharacters)
{
    char dir[] = "/tmp/qxsim-name-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    for (const char *name : {"", "QX-20-LON"}) {
        Qxsim sim;
        if (sim.start({"--dir", dir, "--product", name})) {
            ADD_FAILURE() << "served as '" << name << "'";
            sim.stop();
            continue;
        }
        EXPECT_EQ(2, sim.wait()) << name;
        EXPECT_EQ(std::string("qxsim: bad value '") + name +
                      "' for --product: a product name has 1 to 8 characters\n",
                  sim.err());
    }
    Qxsim eight;
    EXPECT_TRUE(eight.start({"--dir", dir, "--product", "QX-20-LO"})) << eight.err();
    EXPECT_EQ(0, eight.stop());
    rmdir(dir);
}

TEST(Qxsim, HelpNamesEveryOption)
{
    Qxsim sim;
    EXPECT_FALSE(sim.start({"--help"}));
    EXPECT_EQ(0, sim.wait());
    const char *names[] = {
        "--product",
        "--fw-version",
        "--build",
        "--firmware",
        "--room",
        "--latency-us",
        "--debug-text",
        "--busy",
        "--busy-after-write",
        "--offset-lag",
        "--room-zero",
        "--fail-writes",
        "--fail-write-every",
        "--drop-read-every",
        "--short-read-every",
        "--split-status",
        "--checksum-offset",
        "--checksum-jitter",
        "--checksum-script",
        "--checksum-silent",
        "--never-complete",
        "--fail-transfer",
        "--unplug-after",
        "--info-silent",
        "--summary",
        "--dir",
        "--ready-fd",
        "--help",
        "--version",
    };
    for (const char *n : names)
        EXPECT_NE(std::string::npos, sim.out().find(std::string(" ") + n)) << n;
    // Each option line is its name (and argument), then at least two
    // spaces and its text, within 80 columns: man pages are made from it.
    const std::regex option_line("  -[^ ]+(, -[^ ]+)?( [A-Z][A-Z,.]*)?(  +[^ ].*)?");
    std::istringstream lines(sim.out());
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80u) << line;
        if (line.compare(0, 3, "  -") == 0) {
            EXPECT_TRUE(std::regex_match(line, option_line)) << line;
        }
    }

    Qxsim version;
    EXPECT_FALSE(version.start({"--version"}));
    EXPECT_EQ(0, version.wait());
    EXPECT_EQ("qxsim 1.0.0\n", version.out());
}
