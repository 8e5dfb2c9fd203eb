// Child processes for the end-to-end tests and the benchmarks: qxtool runs
// with its output captured, qxsim daemons in private device directories.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

// A fresh mode-0700 directory under the system temp folder, removed with
// everything in it.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

struct ProcResult {
    int status = -1; // exit status, or 128 + signal
    bool timed_out = false;
    std::string out;
    std::string err;
    double seconds = 0; // wall time
};

// Environment changes for a child: a null value removes the variable.
typedef std::vector<std::pair<std::string, const char *>> EnvChanges;

// Runs argv[0] with standard input from input_text (empty: /dev/null),
// output captured, killed after timeout_s.
ProcResult proc_run(const std::vector<std::string> &argv, const EnvChanges &env,
                    double timeout_s = 60, const std::string &input_text = "");

// A run in the background, for what happens while it runs: started, looked
// at, signalled, then waited for.
class ProcRun
{
  public:
    ProcRun() = default;
    ~ProcRun(); // kills and reaps a run still going
    ProcRun(const ProcRun &) = delete;
    ProcRun &operator=(const ProcRun &) = delete;
    bool start(const std::vector<std::string> &argv, const EnvChanges &env);
    int pid() const { return pid_; }
    // Standard output so far.
    std::string out() const;
    // Waits (at most timeout_s, then kills) until standard output holds
    // text; false when the run ended or the time ran out first.
    bool wait_for_output(const std::string &text, double timeout_s = 60);
    void signal(int sig);
    ProcResult wait(double timeout_s = 60);

  private:
    int pid_ = -1;
    bool json_ = false;
    TempDir io_;
    std::chrono::steady_clock::time_point started_;
};

// A run on a terminal of its own.
struct PtyResult {
    ProcResult proc;        // out: everything the terminal showed; err stays empty
    bool mode_kept = false; // the terminal's settings at the end are those it started with
};

// Runs argv with a new pseudo-terminal of the given width as its controlling
// terminal and as its standard input, output and error. input_text is typed
// as soon as the terminal shows type_on (at once when that is empty); "\x03"
// is Ctrl+C, "\x04" Ctrl+D.
PtyResult proc_run_pty(const std::vector<std::string> &argv, const EnvChanges &env,
                       double timeout_s, unsigned short columns, const std::string &input_text,
                       const std::string &type_on = "");

// A qxsim serving in a directory of its own until stopped. The device is
// strict: every call of the host that breaks the device contract is a
// failure of the running test when the daemon stops (in the benchmarks, a
// line on standard error), unless the test breaks the contract on purpose
// and says so with expect_breaches().
class SimDaemon
{
  public:
    SimDaemon() = default;
    ~SimDaemon();
    SimDaemon(const SimDaemon &) = delete;
    SimDaemon &operator=(const SimDaemon &) = delete;
    // Starts qxsim with --dir dir, --summary in dir, and args; true once it
    // listens.
    bool start(const std::string &qxsim, const std::string &dir,
               const std::vector<std::string> &args);
    // SIGTERM (or sig), then waits; the daemon's exit status and output.
    // SIGKILL leaves its endpoint behind, as a crash would.
    ProcResult stop(int sig = 15);
    bool running() const { return pid_ > 0; }
    void expect_breaches() { breaches_expected_ = true; }
    // After stop(): the breaches qxsim reported, one line each, and its
    // --summary file.
    const std::vector<std::string> &breaches() const { return breaches_; }
    const std::string &summary_path() const { return summary_path_; }

  private:
    int pid_ = -1;
    std::string out_path_;
    std::string err_path_;
    std::string summary_path_;
    bool breaches_expected_ = false;
    std::vector<std::string> breaches_;
};

// Every JSON line the runs printed: a run whose command line holds --json
// (proc_run, ProcRun) and every qxsim --summary are kept, and checked in one
// go against schemas/qxtool.schema.json. "" when every line follows it (or
// none was kept), else the validator's report. The kept lines are dropped.
std::string json_check_seen();

std::string read_text_file(const std::string &path);
bool write_text_file(const std::string &path, const std::string &text);
