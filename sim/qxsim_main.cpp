// qxsim: serves a simulated QX device on the Linux device endpoint, so that
// the updater, the tools and the tests meet it over the real transport; on
// Windows on the pipe of the test driver (sim/windows/), so that they meet
// it through the system's own device path.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#ifdef _WIN32
#include "qxsim_pipe.h"
#else
#include <fcntl.h>
#include <unistd.h>

#include "qxsim_server.h"
#endif

#include "qxfile.h"
#include "qxsim_device.h"
#include "qxsim_options.h"
#include "qxsim_record.h"
#include "qxtrace.h"

namespace
{

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

} // namespace

int main(int argc, char **argv)
{
    QxSimOptions o;
    if (qxsim_parse_args(argc, argv, o))
        return 2;
    if (o.help) {
        qxsim_usage(stdout);
        return 0;
    }
    if (o.show_version) {
        printf("qxsim %s\n", QX_VERSION);
        return 0;
    }
    if (!o.firmware_file.empty() && read_file(o.firmware_file, o.config.firmware)) {
        fprintf(stderr, "qxsim: cannot read %s: %s\n", o.firmware_file.c_str(), strerror(errno));
        return 1;
    }
    QxSimReplay replay;
    if (!o.replay_file.empty()) {
        std::string why;
        if (qxtrace_load(o.replay_file.c_str(), &replay.calls, &why)) {
            fprintf(stderr, "qxsim: cannot replay: %s\n", why.c_str());
            return 1;
        }
    }
    if (!o.summary_file.empty()) {
        // Tried now, so that a bad path stops the start rather than the end;
        // the file itself is left as it is until the summary replaces it.
        QxFileOut out;
        std::string problem;
        if (qxfile_create(&out, o.summary_file.c_str(), &problem)) {
            fprintf(stderr, "qxsim: cannot create %s: %s\n", o.summary_file.c_str(),
                    problem.c_str());
            return 1;
        }
        qxfile_discard(&out);
    }
#ifdef _WIN32
    if (o.ready_fd >= 0 || !o.dir.empty() || o.endpoint != QXWIRE_ENDPOINT) {
        fprintf(stderr, "qxsim: --ready-fd, --dir and --endpoint are for the Linux endpoint; "
                        "on Windows the device is served on --pipe\n");
        return 2;
    }
#else
    if (o.ready_fd >= 0 && fcntl(o.ready_fd, F_GETFD) < 0) {
        fprintf(stderr, "qxsim: --ready-fd %d is not open\n", o.ready_fd);
        return 2;
    }
#endif

    QxSimServer s;
    s.verbose = o.verbose;
#ifdef _WIN32
    if (qxsim_listen(s, o.pipe))
#else
    if (qxsim_listen(s, o.dir, o.endpoint))
#endif
        return 1;

    if (!o.record_file.empty()) {
        s.record = qxtrace_open(o.record_file.c_str(), "device");
        if (!s.record) {
            fprintf(stderr, "qxsim: cannot create %s: %s\n", o.record_file.c_str(),
                    strerror(errno));
            qxsim_close_endpoint(s);
#ifndef _WIN32
            close(s.fd);
#endif
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
               o.replay_file.c_str(), s.path.c_str());
    else
        printf("qxsim: serving %s version %u.%02u build %u on %s\n", cfg.product.c_str(),
               version / 100, version % 100, (unsigned)dev.build(), s.path.c_str());
    fflush(stdout);
#ifndef _WIN32
    if (o.ready_fd >= 0) {
        std::string line = s.path + "\n";
        (void)!write(o.ready_fd, line.data(), line.size());
        close(o.ready_fd);
    }
#endif

    int rc = qxsim_run(s);
    if (s.verbose)
        fprintf(stderr,
                "qxsim: %llu calls received, %llu replies sent, %llu not delivered, "
                "%llu given up by the host, %llu left unanswered; %.6f s of service\n",
                (unsigned long long)s.received, (unsigned long long)s.replied,
                (unsigned long long)s.undelivered, (unsigned long long)s.abandoned,
                (unsigned long long)s.unanswered, (double)s.service_ns * 1e-9);
    if (s.record)
        qxtrace_close(s.record);
    if (s.replay && rc == 0)
        rc = qxsim_replay_end(replay);
    qxsim_close_endpoint(s);
#ifndef _WIN32
    close(s.fd);
#endif
    if (!o.summary_file.empty() && qxsim_write_summary(o.summary_file, s, dev)) {
        fprintf(stderr, "qxsim: cannot write %s: %s\n", o.summary_file.c_str(), strerror(errno));
        if (rc == 0)
            rc = 1;
    }
    return rc;
}
