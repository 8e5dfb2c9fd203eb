#include "qxproc.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#ifdef QXPROC_GTEST
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#endif

extern char **environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

TempDir::TempDir()
{
    std::random_device rd;
    for (int i = 0; i < 100 && path_.empty(); ++i) {
        fs::path p = fs::temp_directory_path() / ("qxe2e-" + std::to_string(rd()));
        if (mkdir(p.c_str(), 0700) == 0)
            path_ = p.string();
    }
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!path_.empty())
        fs::remove_all(path_, ec);
}

std::string read_text_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool write_text_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    return (bool)out;
}

namespace
{

std::vector<std::string> environment(const EnvChanges &changes)
{
    std::map<std::string, std::string> env;
    for (char **e = environ; *e; ++e) {
        const char *eq = strchr(*e, '=');
        if (eq)
            env[std::string(*e, (size_t)(eq - *e))] = eq + 1;
    }
    // A trace asked for by whoever runs the tests must not catch the children.
    env.erase("QX_TRACE");
    for (const auto &c : changes) {
        if (c.second)
            env[c.first] = c.second;
        else
            env.erase(c.first);
    }
    std::vector<std::string> out;
    for (const auto &kv : env)
        out.push_back(kv.first + "=" + kv.second);
    return out;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> p;
    for (auto &s : strings)
        p.push_back(&s[0]);
    p.push_back(nullptr);
    return p;
}

// Spawns with stdin, stdout and stderr from the given files; extra_fd (when
// >= 0) is passed on as fd 3. Returns the pid or -1.
int spawn(const std::vector<std::string> &argv, const EnvChanges &env, const std::string &in,
          const std::string &out, const std::string &err, int extra_fd)
{
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = environment(env);
    std::vector<char *> pargs = pointers(args);
    std::vector<char *> penv = pointers(envs);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (extra_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, extra_fd, 3);
    pid_t pid = -1;
    int r = posix_spawn(&pid, pargs[0], &fa, nullptr, pargs.data(), penv.data());
    posix_spawn_file_actions_destroy(&fa);
    return r == 0 ? (int)pid : -1;
}

int decode_status(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

// Waits for pid up to timeout_s, then kills it. Returns the decoded status.
int wait_for(int pid, double timeout_s, bool *timed_out)
{
    auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    int st = 0;
    for (;;) {
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid)
            return decode_status(st);
        if (r < 0 && errno != EINTR)
            return -1;
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            if (timed_out)
                *timed_out = true;
            return decode_status(st);
        }
        // Process supervision, not a device wait: the child runs in real time.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string g_json_seen;

bool asks_for_json(const std::vector<std::string> &argv)
{
    for (const auto &a : argv)
        if (a == "--json")
            return true;
    return false;
}

// Kept for the tests' check only; the benchmarks keep nothing.
void json_seen(const std::string &text)
{
#ifndef QXPROC_GTEST
    return;
#endif
    g_json_seen += text;
    if (!text.empty() && text.back() != '\n')
        g_json_seen += '\n';
}

} // namespace

std::string json_check_seen()
{
    std::string lines;
    lines.swap(g_json_seen);
    if (lines.empty())
        return "";
#ifdef QXPROC_GTEST
    ProcResult r =
        proc_run({"/usr/bin/env", "python3", QXJSON_CHECK, QXJSON_SCHEMA}, {}, 120, lines);
    if (r.status == 0)
        return "";
    return "JSON that does not follow " QXJSON_SCHEMA ":\n" + r.out + r.err;
#else
    return "";
#endif
}

ProcResult proc_run(const std::vector<std::string> &argv, const EnvChanges &env, double timeout_s,
                    const std::string &input_text)
{
    ProcResult res;
    TempDir io;
    std::string in = "/dev/null";
    if (!input_text.empty()) {
        in = io.file("stdin");
        write_text_file(in, input_text);
    }
    auto t0 = Clock::now();
    int pid = spawn(argv, env, in, io.file("stdout"), io.file("stderr"), -1);
    if (pid < 0) {
        res.err = "cannot start " + argv[0];
        return res;
    }
    res.status = wait_for(pid, timeout_s, &res.timed_out);
    res.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    res.out = read_text_file(io.file("stdout"));
    res.err = read_text_file(io.file("stderr"));
    if (asks_for_json(argv))
        json_seen(res.out);
    return res;
}

ProcRun::~ProcRun()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool ProcRun::start(const std::vector<std::string> &argv, const EnvChanges &env)
{
    started_ = Clock::now();
    json_ = asks_for_json(argv);
    pid_ = spawn(argv, env, "/dev/null", io_.file("stdout"), io_.file("stderr"), -1);
    return pid_ > 0;
}

std::string ProcRun::out() const
{
    return read_text_file(io_.file("stdout"));
}

bool ProcRun::wait_for_output(const std::string &text, double timeout_s)
{
    auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    while (Clock::now() < deadline) {
        if (out().find(text) != std::string::npos)
            return true;
        // Ended? Asked without reaping it, so that wait() still gets its status.
        siginfo_t info = {};
        if (pid_ <= 0 || (waitid(P_PID, (id_t)pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                          info.si_pid == pid_))
            return out().find(text) != std::string::npos;
        // Process supervision, not a device wait: the child runs in real time.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

void ProcRun::signal(int sig)
{
    if (pid_ > 0)
        kill(pid_, sig);
}

ProcResult ProcRun::wait(double timeout_s)
{
    ProcResult res;
    if (pid_ <= 0)
        return res;
    res.status = wait_for(pid_, timeout_s, &res.timed_out);
    pid_ = -1;
    res.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    res.out = read_text_file(io_.file("stdout"));
    res.err = read_text_file(io_.file("stderr"));
    if (json_)
        json_seen(res.out);
    return res;
}

namespace
{

bool same_mode(const struct termios &a, const struct termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

} // namespace

PtyResult proc_run_pty(const std::vector<std::string> &argv, const EnvChanges &env,
                       double timeout_s, unsigned short columns, const std::string &input_text,
                       const std::string &type_on)
{
    PtyResult res;
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        if (master >= 0)
            close(master);
        res.proc.err = "no pseudo-terminal";
        return res;
    }
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        close(master);
        res.proc.err = "cannot open the pseudo-terminal";
        return res;
    }
    struct winsize ws = {};
    ws.ws_row = 24;
    ws.ws_col = columns;
    ioctl(slave, TIOCSWINSZ, &ws);
    struct termios before = {};
    tcgetattr(slave, &before);

    // Everything the child needs is made before fork: after it, only calls
    // that are safe in a child of a threaded process.
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = environment(env);
    std::vector<char *> pargs = pointers(args);
    std::vector<char *> penv = pointers(envs);
    auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        if (slave > 2)
            close(slave);
        execve(pargs[0], pargs.data(), penv.data());
        _exit(127);
    }
    close(slave);
    if (pid < 0) {
        close(master);
        res.proc.err = "cannot start " + argv[0];
        return res;
    }
    bool typed = input_text.empty();
    auto type = [&]() {
        if (write(master, input_text.data(), input_text.size()) != (ssize_t)input_text.size())
            res.proc.err = "cannot type into the terminal";
        typed = true;
    };
    if (!typed && type_on.empty())
        type();

    // Read until the child's side of the terminal is closed (EIO) or the
    // time is up.
    auto deadline = t0 + std::chrono::duration<double>(timeout_s);
    for (;;) {
        int left_ms =
            (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                .count();
        if (left_ms <= 0) {
            kill(pid, SIGKILL);
            res.proc.timed_out = true;
            break;
        }
        struct pollfd p = {master, POLLIN, 0};
        int r = poll(&p, 1, left_ms < 100 ? left_ms : 100);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        res.proc.out.append(buf, (size_t)n);
        if (!typed && res.proc.out.find(type_on) != std::string::npos)
            type();
    }
    int st = 0;
    waitpid(pid, &st, 0);
    res.proc.status = decode_status(st);
    res.proc.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    struct termios after = {};
    res.mode_kept = tcgetattr(master, &after) == 0 && same_mode(before, after);
    close(master);
    return res;
}

SimDaemon::~SimDaemon()
{
    if (pid_ > 0)
        stop();
}

bool SimDaemon::start(const std::string &qxsim, const std::string &dir,
                      const std::vector<std::string> &args)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return false;
    // A second daemon in the directory serves another endpoint: its files
    // take that endpoint's name.
    std::string files = dir + "/qxsim";
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--endpoint")
            files = dir + "/qxsim." + args[i + 1];
    summary_path_ = files + ".summary.json";
    breaches_.clear();
    std::vector<std::string> argv = {qxsim, "--dir",     dir,          "--ready-fd",
                                     "3",   "--summary", summary_path_};
    argv.insert(argv.end(), args.begin(), args.end());
    out_path_ = files + ".out";
    err_path_ = files + ".err";
    pid_ = spawn(argv, {}, "/dev/null", out_path_, err_path_, ready[1]);
    close(ready[1]);
    if (pid_ < 0) {
        close(ready[0]);
        return false;
    }
    // The daemon writes its endpoint and closes the pipe once it listens;
    // a daemon that fails to start closes it without a word.
    struct pollfd p = {ready[0], POLLIN, 0};
    char buf[256];
    ssize_t n = 0;
    if (poll(&p, 1, 10000) > 0)
        n = read(ready[0], buf, sizeof buf);
    close(ready[0]);
    if (n <= 0) {
        stop();
        return false;
    }
    return true;
}

ProcResult SimDaemon::stop(int sig)
{
    ProcResult res;
    if (pid_ <= 0)
        return res;
    kill(pid_, sig);
    res.status = wait_for(pid_, 10, &res.timed_out);
    pid_ = -1;
    res.out = read_text_file(out_path_);
    res.err = read_text_file(err_path_);
#ifdef QXPROC_GTEST
    // The summary is one document over several lines: one line for the check.
    std::string summary = read_text_file(summary_path_);
    if (!summary.empty()) {
        try {
            json_seen(nlohmann::json::parse(summary).dump());
        } catch (const nlohmann::json::exception &) {
            json_seen(summary);
        }
    }
#endif
    const std::string mark = "qxsim: breach: ";
    std::istringstream err(res.err);
    std::string line;
    std::string all;
    while (std::getline(err, line))
        if (line.compare(0, mark.size(), mark) == 0) {
            breaches_.push_back(line);
            all += line + "\n";
        }
    if (!breaches_.empty() && !breaches_expected_) {
#ifdef QXPROC_GTEST
        ADD_FAILURE() << "the host broke the device contract:\n" << all;
#else
        fprintf(stderr, "the host broke the device contract:\n%s", all.c_str());
#endif
    }
    return res;
}
