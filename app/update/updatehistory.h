// What an update leaves behind: one record per update attempt of the window
// or qxtool (completed, refused, failed, stopped) in a per-user history of
// JSON lines, so that a failed update can be looked at later and sent to
// support. Toolkit-free, beside the rules that know the outcome, so that both
// programs write the same records.
//
// The history: $XDG_STATE_HOME/qxupdater/history.jsonl (default
// ~/.local/state/qxupdater/) on Linux, %LOCALAPPDATA%\qxupdater\history.jsonl
// on Windows; QXUPDATER_STATE_DIR names another folder (tests). Appends are
// made under an advisory lock on history.jsonl.lock beside it, so that two
// programs lose no record; the file keeps the newest records within
// QXHISTORY_MAX_BYTES (trimmed under the lock to three quarters of it,
// through a new file renamed into place). A line cut by a crash is skipped by
// readers, and the next append starts on a line of its own.
//
// A history that cannot be written never fails or delays an update: the
// problem is handed back for a note.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "updaterules.h"

// The bound of the history file: about a thousand records.
#define QXHISTORY_MAX_BYTES (4u * 1024u * 1024u)
// The diagnostic lines kept with a record: the last ones, within this many
// bytes.
#define QXHISTORY_MAX_DIAGNOSTICS 16384u
#define QXHISTORY_STATE_ENV "QXUPDATER_STATE_DIR"
// The last update's device trace, kept beside the history when the program
// records no trace of its own: its first calls within this many bytes (a
// whole update takes about 5 MiB).
#define QXHISTORY_MAX_TRACE_BYTES (16u * 1024u * 1024u)

namespace updatehistory
{

// "2026-12-09T14:20:00Z": the time as the records and the report give it.
std::string utc_text(std::chrono::system_clock::time_point tp);

// One update attempt while it runs; filled in as the facts become known.
struct Attempt {
    std::string program;
    std::string program_version;
    std::chrono::system_clock::time_point started;
    std::chrono::steady_clock::time_point stage_started;
    bool has_device = false;
    std::string device_id; // qxtool's id, "" from the window
    std::string device_path;
    updaterules::Identity device;
    bool has_image = false;
    std::string image; // the file's path, or "update20.bin (built-in)"
    bool builtin = false;
    updaterules::Identity image_identity;
    uint32_t image_size = 0;
    uint32_t image_checksum = 0;                        // the header's
    int attempts = 0;                                   // transfers made
    std::string stage;                                  // the stage under way, "" before the first
    std::vector<std::pair<std::string, double>> stages; // name, seconds
    std::string diagnostics;                            // the run's diagnostic lines, bounded
    bool recording = false;                             // the diagnostic lines are being kept
    bool tracing = false;                               // the device calls go to last_trace_path()
    bool finished = false;
};

// Starts an attempt: the time, the program, and from now on the diagnostic
// lines of the device and image modules are kept for it (and still go where
// they went). Unless the program records a trace of its own, the device
// calls are recorded as the last update's trace until finish.
void begin(Attempt *a, const std::string &program, const std::string &version);
void set_image(Attempt *a, const uint8_t *image, uint32_t size, const std::string &name,
               bool builtin);
void set_device(Attempt *a, const UpdateContext &ctx, const updaterules::Identity &device,
                const std::string &id = "");
// Marks the start of a stage (the time of the one before it is taken).
void stage(Attempt *a, const std::string &name);

// "updated", "unchanged", "incomplete", "written-not-verified": what the
// device holds after an update that ran, as the update rules report it.
const char *device_state(updaterules::UpdateResult result, const updaterules::FailureCause &cause);

// run_update, with the stages timed, the transfers counted and the record
// appended at its end (outcome completed, failed or stopped). problem
// receives why the history could not be written, "" when it was.
updaterules::UpdateResult run_recorded(Attempt *a, UpdateContext *ctx, const uint8_t *image,
                                       uint32_t size, QxProgress *progress,
                                       const updaterules::UpdateReport &report,
                                       updaterules::FailureCause *cause, std::string *problem);

// Ends the attempt and appends its record: outcome "completed", "refused",
// "failed" or "stopped", the user's text and the cause under it, the
// device's state. 0, or 1 with the problem (the attempt ends all the same).
int finish(Attempt *a, const std::string &outcome, const std::string &error,
           const std::string &cause, const std::string &state, std::string *problem);

// The record as one JSON line (no newline).
std::string record_line(const Attempt &a, const std::string &outcome, const std::string &error,
                        const std::string &cause, const std::string &state);

// The state folder and the history file in it ("" when there is no home).
std::string state_dir();
std::string history_path();
// The last update's trace: last-update.trace.jsonl beside the history.
std::string last_trace_path();

// Appends one line under the lock, trimming the file to its bound. 0, or 1
// with the problem.
int append_line(const std::string &path, const std::string &line, std::string *problem);
// The whole records, oldest first (a cut or foreign line is skipped). 0, or
// 1 with the problem; a missing file is an empty history.
int read_records(const std::string &path, std::vector<std::string> *lines, std::string *problem);

// --- platform parts (updatehistory_linux.cpp, updatehistory_win.cpp) ---

// The per-user state folder before "qxupdater" ("" when unknown).
std::string platform_state_base();
// Creates folder and its parents; 0 or 1 with the problem.
int platform_make_dirs(const std::string &folder, std::string *problem);
// An exclusive advisory lock on path (created when missing), waited for;
// a handle for platform_unlock, or -1 with the problem.
intptr_t platform_lock(const std::string &path, std::string *problem);
void platform_unlock(intptr_t handle);
// The operating system, e.g. "Linux 6.1.0 x86_64" or "Windows 10.0.19045".
std::string platform_os();

} // namespace updatehistory
