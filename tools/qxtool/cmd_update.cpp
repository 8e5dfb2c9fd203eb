// qxtool update: the window's update request and worker, on a terminal.
// The checks, texts and the update itself are the shared update rules; this
// file only chooses the image, asks, and shows progress, as texts or as
// JSON lines.
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "catalogue.h"
#include "console.h"
#include "jsonout.h"
#include "prgdecode.h"
#include "qxlimits.h"
#include "qxpanel.h"
#include "qxsys.h"
#include "qxtool.h"
#include "updatehistory.h"
#include "updatejson.h"
#include "updaterules.h"

#include <csignal>
#ifdef _WIN32
#include <windows.h>
#endif

namespace
{

// This run's record in the update history, and the texts of its end when
// it ends before the update itself.
updatehistory::Attempt g_attempt;
std::string g_end_error;
std::string g_end_cause;

} // namespace

namespace
{

using Clock = std::chrono::steady_clock;

// --- a clean stop: a signal never ends the tool in the middle of a call ---

// The first stop signal; its number makes the exit status (128 + signal).
// Lock-free, as the handler may run on either thread.
std::atomic<int> g_signal{0};

#ifdef _WIN32
// Signalled once the update has ended and its result is out; the status
// it ended with. A closing console waits for them.
HANDLE g_ended = nullptr;
std::atomic<int> g_end_status{0};
// Set while a handler of the console's close, a log-off or a shutdown waits
// to end the program.
std::atomic<bool> g_console_ending{false};

BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    const bool ending = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
    if (ending)
        g_console_ending.store(true);
    int none = 0;
    g_signal.compare_exchange_strong(none, SIGINT);
    qx_request_stop();
    if (!ending)
        return TRUE;
    // Windows ends the process as soon as this returns (or when its few
    // seconds are up): first let the update reach its call boundary, say
    // where it stopped and give the device back.
    if (g_ended && WaitForSingleObject(g_ended, QXTOOL_CONSOLE_END_WAIT_MS) == WAIT_OBJECT_0)
        ExitProcess((UINT)g_end_status.load());
    return TRUE;
}

void catch_stop_signals()
{
    if (!g_ended)
        g_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

// The update's end, for a console handler waiting on it.
int update_ended(int status)
{
    g_end_status.store(status);
    if (g_ended)
        SetEvent(g_ended);
    // The handler ends the program with this status. Were this thread to end
    // it, the handler's thread would be gone before the program, and the
    // system, seeing the handler done, would end the program with a status
    // of its own (0xC000013A) while it closes.
    if (g_console_ending.load())
        Sleep(QXTOOL_CONSOLE_END_WAIT_MS);
    return status;
}
#else
void on_stop_signal(int sig)
{
    int none = 0;
    g_signal.compare_exchange_strong(none, sig);
    qx_request_stop();
}

void catch_stop_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    // Two stop signals pending at once run their handlers last first unless
    // each holds the others back: the first is the one the status tells.
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT);
    sigaddset(&sa.sa_mask, SIGTERM);
    sigaddset(&sa.sa_mask, SIGHUP);
    // No SA_RESTART: the question on the terminal must give up its read.
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

int update_ended(int status)
{
    return status;
}
#endif

const char *signal_name(int sig)
{
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
#ifdef SIGHUP
    case SIGHUP:
        return "SIGHUP";
#endif
    }
    return "signal";
}

const char *stop_phase_name(updaterules::FailureCause::Stop stop)
{
    switch (stop) {
    case updaterules::FailureCause::Stop::BeforeSending:
        return "before sending";
    case updaterules::FailureCause::Stop::Transfer:
        return "transfer";
    case updaterules::FailureCause::Stop::Check:
        return "check";
    case updaterules::FailureCause::Stop::None:
        break;
    }
    return "";
}

// A word of a command line as a shell takes it back: quoted when it holds
// anything beyond the plain characters of a path or an option.
std::string shell_word(const std::string &word)
{
#ifdef _WIN32
    const char *plain_marks = "_./:=+,-@%\\"; // a backslash separates folders
#else
    const char *plain_marks = "_./:=+,-@%"; // a backslash escapes in a shell
#endif
    bool plain = !word.empty();
    for (unsigned char c : word)
        if (!(isalnum(c) || strchr(plain_marks, c)))
            plain = false;
    if (plain)
        return word;
#ifdef _WIN32
    return "\"" + word + "\"";
#else
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
#endif
}

// The command that writes the image again over whatever an early end left:
// the same image and device, and the rules lifted that the half-written
// device could fall foul of (it may report the new version already, or
// still the older one that was being reinstalled over).
std::string again_command(const UpdateArgs &a)
{
    std::string cmd = "qxtool update";
    if (a.yes)
        cmd += " --yes";
    if (a.allow_older)
        cmd += " --allow-older";
    cmd += " --allow-reinstall";
    if (!a.device.empty())
        cmd += " --device " + shell_word(a.device);
    if (!a.image.empty())
        cmd += " " + shell_word(a.image);
    return cmd;
}

// What the device holds and what to run about it: a line of advice on
// standard error (none when the device is as it was or updated), and the
// same in the result object.
void tell_device_state(Json *j, updaterules::DeviceState state, const std::string &again)
{
    const std::string step = updaterules::next_step_text(state, "Run " + again);
    if (!step.empty())
        console_error(step);
    if (!j)
        return;
    (*j)["device_state"] = updaterules::device_state_name(state);
    if (!step.empty())
        (*j)["next_command"] = again;
}

// The end of a stopped run: where it stopped and what the device holds, on
// standard error and, with --json, as the result object. The status is
// 128 + the signal, as the shell reports a program the signal ended.
int stopped(bool json, const updaterules::FailureCause &cause, const std::string &again)
{
    const int sig = g_signal.load() ? g_signal.load() : SIGINT;
    const int status = QXTOOL_STOPPED + sig;
    const std::string text = updaterules::error_text(updaterules::UpdateResult::Stopped);
    g_end_error = text;
    g_end_cause = cause.text;
    console_error(text);
    console_error(cause.text);
    Json j;
    tell_device_state(json ? &j : nullptr, cause.device_state, again);
    if (json) {
        j["event"] = "result";
        j["result"] = "stopped";
        j["status"] = status;
        j["error"] = text;
        j["signal"] = signal_name(sig);
        Json where;
        where["phase"] = stop_phase_name(cause.stop);
        where["position"] = cause.position;
        where["length"] = cause.length;
        where["text"] = cause.text;
        j["stop"] = where;
        json_line(j);
    }
    return status;
}

// A stop before the transfer: nothing of the image reached the device.
int stopped_before_sending(bool json, uint32_t length)
{
    updaterules::FailureCause cause;
    cause.stop = updaterules::FailureCause::Stop::BeforeSending;
    cause.length = length;
    cause.text = updaterules::stop_text(cause);
    return stopped(json, cause, "");
}

int exit_status(updaterules::RequestResult r)
{
    switch (r) {
    case updaterules::RequestResult::Ok:
        return QXTOOL_OK;
    case updaterules::RequestResult::NotConnected:
        return QXTOOL_NO_DEVICE;
    case updaterules::RequestResult::ChecksumError:
        return QXTOOL_BAD_FILE;
    case updaterules::RequestResult::NoProduct:
    case updaterules::RequestResult::NoVersion:
    case updaterules::RequestResult::NoBuild:
    case updaterules::RequestResult::NoChecksum:
    case updaterules::RequestResult::NoLock:
        // The device did not answer: the same status as info and checksum.
        return QXTOOL_FAILED;
    case updaterules::RequestResult::DeviceBusy:
        return QXTOOL_BUSY;
    default:
        return QXTOOL_REFUSED;
    }
}

// The end of a run that did not get to the update: the user's text on
// standard error (and why, when the device did not answer), and with
// --json the result object.
int give_up(bool json, int status, const std::string &text, const std::string &problem = "",
            const updaterules::FailureCause *cause = nullptr)
{
    g_end_error = text;
    g_end_cause = problem.empty() && cause ? cause->text : problem;
    if (problem.empty())
        console_error(text);
    else
        console_problem(problem);
    if (cause && !cause->text.empty())
        console_error(cause->text);
    if (json) {
        Json j;
        j["event"] = "result";
        j.update(json_failure(status, text, cause));
        json_line(j);
    }
    return status;
}

std::string product_of(const unsigned char *image)
{
    PrgHeader hdr;
    prg_copy_header(&hdr, image);
    char buf[16] = {};
    prg_get_product(&hdr, buf, sizeof buf);
    return buf;
}

// Like the window's catalogue: the built-in image whose product is the
// device's, else the first one (which the product check then refuses).
int choose_builtin(UpdateContext &ctx, std::vector<uint8_t> *data, std::string *name, bool json)
{
    using updaterules::RequestResult;
    if (!ctx.open_device()) {
        updaterules::FailureCause cause = updaterules::absence_cause();
        return give_up(json, QXTOOL_NO_DEVICE,
                       updaterules::refusal_text(RequestResult::NotConnected), "", &cause);
    }
    // Held from this first query to the last check reading.
    if (!ctx.lock_device()) {
        RequestResult r = ctx.lock_holder.held ? RequestResult::DeviceBusy : RequestResult::NoLock;
        updaterules::FailureCause cause = updaterules::lock_cause(ctx);
        return give_up(json, exit_status(r), updaterules::refusal_text(r), "", &cause);
    }
    std::string device;
    if (!ctx.device_product(device)) {
        // Cut short by a stop: the caller tells that, and nothing else.
        if (qx_stop_requested())
            return QXTOOL_FAILED;
        updaterules::FailureCause cause = updaterules::device_cause(ctx);
        return give_up(json, QXTOOL_FAILED, updaterules::refusal_text(RequestResult::NoProduct), "",
                       &cause);
    }
    const CatalogueImage *chosen = nullptr;
    for (unsigned i = 0; i < qxtool_catalogue_count; ++i) {
        const CatalogueImage &c = qxtool_catalogue[i];
        if (c.size < PRG_HEADER_SIZE || prg_verify(c.data, (int32_t)c.size) != 0)
            continue;
        if (!chosen || product_of(c.data) == device)
            chosen = &c;
        if (product_of(c.data) == device)
            break;
    }
    if (!chosen)
        return give_up(json, QXTOOL_BAD_FILE, "no valid built-in firmware image",
                       "no valid built-in firmware image");
    data->assign(chosen->data, chosen->data + chosen->size);
    *name = std::string(chosen->name) + " (built-in)";
    return QXTOOL_OK;
}

const char *phase_name(updaterules::Phase phase)
{
    return phase == updaterules::Phase::Stability ? "stability" : "check";
}

// Runs the update on a thread of its own, as the window does, while this
// thread draws the progress bar or, with --json, writes the progress.
int run(UpdateContext &ctx, const std::vector<uint8_t> &image, bool json, const std::string &again)
{
    using updaterules::Stage;
    const bool bar = !json && console_error_is_terminal();
    const int64_t length = (int64_t)image.size();
    QxProgress progress{0};
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    bool sending = false;
    Clock::time_point started;
    int64_t reported = -1; // the position of the last progress line
    Clock::time_point reported_at;
    auto draw = [&]() { // lock held
        double s = std::chrono::duration<double>(Clock::now() - started).count();
        console_progress(progress.load(), length, s);
    };
    // A line when the position moved: at most every 100 ms, and at every
    // stage change whatever the time.
    auto progress_line = [&](bool stage_change) { // lock held
        int64_t position = progress.load();
        Clock::time_point now = Clock::now();
        if (position == reported ||
            (!stage_change && now - reported_at < std::chrono::milliseconds(100)))
            return;
        reported = position;
        reported_at = now;
        Json j;
        j["event"] = "progress";
        j["position"] = position;
        j["length"] = length;
        json_line(j);
    };

    updaterules::UpdateReport report;
    report.stage = [&](Stage stage, const std::string &text) {
        std::lock_guard<std::mutex> hold(lock);
        if (sending && bar) {
            draw();
            console_progress_end();
        }
        if (sending && json)
            progress_line(true);
        // The transfer runs between these stages and the check.
        sending = stage == Stage::Sending || stage == Stage::Retrying;
        started = Clock::now();
        if (json) {
            Json j;
            j["event"] = "stage";
            j["stage"] = updaterules::stage_name(stage);
            j["text"] = text;
            json_line(j);
        } else {
            console_text(text);
        }
    };
    report.reading = [&](updaterules::Phase phase, int attempt, bool answered, uint32_t value) {
        if (!json)
            return;
        Json j;
        j["event"] = "reading";
        j["phase"] = phase_name(phase);
        j["attempt"] = attempt + 1;
        j["answered"] = answered;
        if (answered)
            j["checksum"] = value;
        std::lock_guard<std::mutex> hold(lock);
        json_line(j);
    };
    report.error = [&](const std::string &text) {
        std::lock_guard<std::mutex> hold(lock);
        if (sending && bar)
            console_progress_end();
        if (sending && json)
            progress_line(true);
        sending = false;
        // A stop is told with where it stopped, once the update has ended.
        if (!qx_stop_requested())
            console_error(text);
    };

    updaterules::UpdateResult result = updaterules::UpdateResult::NoImage;
    updaterules::FailureCause cause;
    // The stop signals go to this thread alone, where their handler holds
    // the others back: with a second thread free to take one, two signals
    // sent one after the other could be handled at once, the later first.
    qx_hold_stop_signals();
    std::thread worker([&]() {
        std::string problem;
        result = updatehistory::run_recorded(&g_attempt, &ctx, image.data(), (uint32_t)image.size(),
                                             &progress, report, &cause, &problem);
        if (!problem.empty())
            console_problem("note: the update history was not written: " + problem);
        std::lock_guard<std::mutex> hold(lock);
        done = true;
        wake.notify_all();
    });
    qx_release_stop_signals();
    {
        std::unique_lock<std::mutex> hold(lock);
        while (!done) {
            // A screen refresh, not a device wait: it ends as soon as the
            // update does.
            wake.wait_for(hold, std::chrono::milliseconds(100));
            if (done || !sending)
                continue;
            if (bar)
                draw();
            if (json)
                progress_line(false);
        }
    }
    worker.join();

    if (result == updaterules::UpdateResult::Stopped)
        return stopped(json, cause, again);
    bool ok = result == updaterules::UpdateResult::Completed;
    int status = ok ? QXTOOL_OK : QXTOOL_FAILED;
    // Under the user's text, why: the device's part of it.
    if (!ok && !cause.text.empty())
        console_error(cause.text);
    Json j;
    tell_device_state(json ? &j : nullptr, cause.device_state, again);
    if (json) {
        j["event"] = "result";
        if (ok) {
            j["result"] = "completed";
            j["status"] = status;
            j["text"] = updaterules::stage_text(Stage::Completed);
        } else {
            j.update(json_failure(status, updaterules::error_text(result), &cause));
        }
        json_line(j);
    }
    return status;
}

int update(const UpdateArgs &a)
{
    // The settings panel holds the device while it runs: the system's own
    // taskkill.exe ends it, and one that survives (started as
    // administrator) keeps the device, so nothing is sent. A stop asked for
    // meanwhile is the stop's, said at the first device call.
    int panel = qxpanel_end();
    if (panel != 0 && !qx_stop_requested())
        return give_up(a.json, QXTOOL_BUSY, updaterules::panel_refusal_text(panel));
    std::vector<uint8_t> image;
    std::string name = a.image;
    // A bad file is refused before the device is addressed.
    if (!a.image.empty()) {
        std::string problem;
        int rc = qxtool_load_image(a.image, &image, &problem);
        updatehistory::set_image(&g_attempt, image.data(), (uint32_t)image.size(), a.image, false);
        if (rc != QXTOOL_OK) {
            g_end_error = problem;
            if (a.json) {
                Json j;
                j["event"] = "result";
                j.update(json_failure(rc, problem));
                json_line(j);
            }
            return rc;
        }
    }
    if (qx_stop_requested())
        return stopped_before_sending(a.json, (uint32_t)image.size());
    UpdateContext ctx;
    {
        // Which device, before anything reaches one: with several and no
        // --device, none is updated.
        std::string text;
        int rc = qxtool_use_device(ctx, a.device, true, &text);
        if (rc != QXTOOL_OK) {
            if (a.json) {
                Json j;
                j["event"] = "result";
                j.update(json_failure(rc, text));
                if (rc == QXTOOL_REFUSED) {
                    Json devices = Json::array();
                    for (const QxtoolDevice &d : qxtool_devices())
                        devices.push_back({{"id", d.id}, {"path", d.path}});
                    j["devices"] = devices;
                }
                json_line(j);
            }
            return rc;
        }
    }
    if (a.image.empty()) {
        int rc = choose_builtin(ctx, &image, &name, a.json);
        if (rc == QXTOOL_OK)
            updatehistory::set_image(&g_attempt, image.data(), (uint32_t)image.size(), name, true);
        // A query cut short by a stop failed for that reason alone.
        if (qx_stop_requested())
            return stopped_before_sending(a.json, (uint32_t)image.size());
        if (rc != QXTOOL_OK)
            return rc;
    }

    updaterules::RequestOptions options;
    options.downgrade_rule = !a.allow_older;
    options.installed_test = !a.allow_reinstall;
    options.same_allowed = a.allow_reinstall;
    updaterules::RequestCheck check =
        updaterules::check_request(ctx, image.data(), (uint32_t)image.size(), name, options);
    if (!check.device.product.empty()) {
        char path[USBDEVS_PATH_UNITS * 3 + 1] = {};
        usbdevs_path_to_utf8(path, sizeof path, ctx.ctl.devices[0].path);
        updatehistory::set_device(&g_attempt, ctx, check.device, qxtool_device_name(path));
    }
    if (qx_stop_requested())
        return stopped_before_sending(a.json, (uint32_t)image.size());
    if (check.result != updaterules::RequestResult::Ok) {
        // What lifts the rule.
        using updaterules::RequestResult;
        bool same =
            check.image.version == check.device.version && check.image.build == check.device.build;
        if (check.result == RequestResult::AlreadyUpdated ||
            (check.result == RequestResult::Downgrade && same))
            check.cause.text += " (--allow-reinstall installs it again)";
        else if (check.result == RequestResult::Downgrade)
            check.cause.text += " (--allow-older installs it)";
        return give_up(a.json, exit_status(check.result), check.text, "", &check.cause);
    }

    std::string question = updaterules::confirmation_text(check.device, check.image);
    if (a.json) {
        Json j;
        j["event"] = "request";
        j["image"] = name;
        j["from"] = updatehistory::identity_json(check.device);
        j["to"] = updatehistory::identity_json(check.image);
        j["text"] = question;
        json_line(j);
    } else {
        console_text(question);
    }
    if (!a.yes) {
        if (!console_input_is_terminal())
            return give_up(a.json, QXTOOL_REFUSED, "not confirmed",
                           "not confirmed: standard input is not a terminal "
                           "(give --yes to update without asking)");
        if (a.json)
            console_error(question);
        bool yes = console_ask("Update the device? [y/N] ");
        if (qx_stop_requested())
            return stopped_before_sending(a.json, (uint32_t)image.size());
        if (!yes)
            return give_up(a.json, QXTOOL_REFUSED, "Cancelled.");
    }
    return run(ctx, image, a.json, again_command(a));
}

} // namespace

// Every attempt leaves a record in the update history, whatever its end; a
// history that cannot be written is only noted.
int qxtool_update(const UpdateArgs &a)
{
    catch_stop_signals();
    updatehistory::begin(&g_attempt, "qxtool", QXTOOL_VERSION);
    g_attempt.image = a.image;
    int rc = update(a);
    if (!g_attempt.finished) {
        std::string problem;
        const char *outcome = rc >= QXTOOL_STOPPED ? "stopped" : "refused";
        if (updatehistory::finish(&g_attempt, outcome, g_end_error, g_end_cause, "unchanged",
                                  &problem))
            console_problem("note: the update history was not written: " + problem);
    }
    return update_ended(rc);
}
