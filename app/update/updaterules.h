// The update rules, shared by the window and the command-line tool: the
// checks in front of an update, the texts shown for them, and the worker's
// algorithm (stability readings, transfer attempts, checksum check phase).
// Toolkit-free; texts are UTF-8 byte strings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "updatecontext.h"

namespace updaterules
{

// Product name as the device or the header holds it (compared byte for byte),
// version and build numbers.
struct Identity {
    std::string product;
    unsigned version = 0;
    unsigned build = 0;
};

enum class RequestResult {
    Ok, // every check passed: ask the user
    ChecksumError,
    NotConnected,
    NoProduct,
    NoVersion,
    NoBuild,
    ProductMismatch,
    Downgrade,
    NoChecksum,
    AlreadyUpdated,
    DeviceBusy, // another program holds the device's lock: nothing was sent
    NoLock,     // the device's lock could not be made: nothing was sent
};

struct RequestOptions {
    bool downgrade_rule = true; // refuse an image not newer than the device's
    bool installed_test = true; // refuse an image whose checksum the device already has
    // The downgrade rule lets the device's own version and build through
    // (a reinstall), refusing only an older image.
    bool same_allowed = false;
};

// What the device holds when an update ends: its firmware as before (the
// transfer never began), part of the image, the whole image without a
// check reading that matched, or the new image checked.
enum class DeviceState {
    Unchanged,
    Incomplete,
    WrittenNotVerified,
    Updated,
};

// A fixed name for machine-readable output and records: "unchanged",
// "incomplete", "written-not-verified", "updated".
const char *device_state_name(DeviceState state);
// The same in a sentence's words: "the device holds an incomplete image".
std::string device_state_text(DeviceState state);
// The next step a person takes, or "" when there is none to take: how is
// the imperative that runs the update again ("Run qxtool update
// --allow-reinstall", "Press Firmware Update again").
std::string next_step_text(DeviceState state, const std::string &how);

// Why a device operation failed, beyond the text the user is shown.
struct FailureCause {
    std::string text;        // "the device stopped answering at byte 87,541 of 315,424 ..."
    bool has_record = false; // record holds the control channel's record of the failure
    QxFailure record{};
    bool has_holder = false; // the device's lock was held: holder says by whom
    QxLockHolder holder{};
    // A stopped update (UpdateResult::Stopped): where it stopped.
    enum class Stop {
        None,
        BeforeSending, // nothing of the image was sent: the device is unchanged
        Transfer,      // at byte position of length: the device holds an incomplete image
        Check,         // the whole image was sent, its check readings were not all made
    } stop = Stop::None;
    uint32_t position = 0;
    uint32_t length = 0;
    // What an update that ended early left in the device (run_update sets
    // it on every path; Unchanged elsewhere).
    DeviceState device_state = DeviceState::Unchanged;
};

struct RequestCheck {
    RequestResult result = RequestResult::Ok;
    std::string text; // the refusal text; empty when result is Ok
    Identity device;  // as far as it was read
    Identity image;
    // When the device did not answer a read; for a product mismatch or a
    // downgrade, the names and numbers compared (text only).
    FailureCause cause;
};

// The refusal text of a result as the window shows it; "" for Ok. The
// checksum error is followed by the image's path, the downgrade by the two
// versions ("Cannot downgrade from 2.30 to 2.30").
const char *refusal_text(RequestResult result);

// The control channel's record as a sentence: what the device did, where,
// in which attempt when it was not the first, and the error code with its
// text.
std::string failure_text(const QxFailure &failure);

// The channel's last failure as a cause, when the context has one; attempt
// (from 1) is the transfer's, 0 keeps the record's own.
FailureCause device_cause(const UpdateContext &ctx, int attempt = 0);

// Why the context's last lock_device failed: who holds the device ("the
// device is held by qxtool (process 4242)"), or why the lock could not be
// made.
FailureCause lock_cause(const UpdateContext &ctx);

// Why the last open_device of this thread found no device, when the device
// access can say more than that ("the device directory ... is ignored:
// others can write to it (chmod 700 ...)"); an empty text otherwise.
FailureCause absence_cause();

// With several devices connected, which one ctx opened and that the others
// are there ("2 devices are connected: this one is ..., the others ..."),
// for a program that updates only the one the probe finds; empty with one
// device or none.
std::string other_devices_text(const UpdateContext &ctx);

// 315424 -> "315,424": byte counts read at a glance.
std::string grouped_text(uint64_t n);

// 230 -> "2.30", 5 -> "0.05", 1000 -> "10.00".
std::string version_text(unsigned version);
std::string build_text(unsigned build);

// Product, version and build from the context's header.
bool image_identity(const UpdateContext &ctx, Identity *image);
// Opens the device, takes its lock (kept by the context) and reads product,
// version and build, in that order; Ok or the first step that failed.
RequestResult device_identity(UpdateContext &ctx, Identity *device);

// Everything between loading the image and asking the user: takes the
// image's header into the context, tests its checksum, reads both
// identities and applies the product check, then, as options ask, the
// downgrade rule and the already-installed test. path only names the image
// in the checksum refusal.
RequestCheck check_request(UpdateContext &ctx, const uint8_t *image, uint32_t size,
                           const std::string &path, const RequestOptions &options);

// The question put to the user before an update.
std::string confirmation_text(const Identity &device, const Identity &image);

enum class UpdateResult {
    Completed,
    NoImage,        // no context or an empty image
    NoChecksum,     // a stability reading was not answered
    Unstable,       // the stability readings spread over 256
    TransferFailed, // a transfer failed; no further attempt
    NotEqual,       // three check phases failed
    Stopped,        // a stop was asked for (qx_request_stop); the cause says where
};

// The stages of an update, in the order they are reported.
enum class Stage {
    Preparing, // the stability readings
    Sending,   // the first transfer
    Retrying,  // a further transfer
    Checking,  // the check readings after a transfer
    Completed,
};

// The stage's text as the window shows it; retry counts the transfers
// before this one ("Retrying... 1/2").
std::string stage_text(Stage stage, int retry = 0);
// A fixed lower-case name for machine-readable output ("sending").
const char *stage_name(Stage stage);

// Where a stop landed and what it left behind: "Stopped at byte 94,627 of
// 315,424: the device holds an incomplete image." (next_step_text says
// what to do about it).
std::string stop_text(const FailureCause &cause);

// The failure text of a result as the window shows it; "" for Completed.
std::string error_text(UpdateResult result);

enum class Phase {
    Stability, // before the first transfer
    Check,     // after a transfer
};

struct UpdateReport {
    std::function<void(Stage stage, const std::string &text)> stage;
    std::function<void(const std::string &)> error; // at most once, last
    // Every device checksum reading: its phase, the transfer it follows
    // (0 for the first and for the stability readings), whether the device
    // answered, and the reading.
    std::function<void(Phase phase, int attempt, bool answered, uint32_t value)> reading;
};

// Why the machine is held up during an update, naming the product: "Updating
// the firmware of the QX-20: an interruption could leave it unusable".
std::string power_reason(const UpdateContext &ctx);

// Runs one update: three device checksum readings over the image length
// that must agree within 256, then up to three transfers, each preceded by a
// one-second pause and followed by up to ten checksum readings one second
// apart that must come within 15 of the header's checksum. progress (may be
// null) receives the transfer position. Every wait goes through qx_sleep_ms.
// The machine is held up (qxpower) from the first transfer to the end.
// cause (may be null) receives why a failed update failed and, on every
// path, what the device holds. A stop asked for with qx_request_stop ends
// it at the next call boundary with Stopped.
UpdateResult run_update(UpdateContext *ctx, const uint8_t *image, uint32_t size,
                        QxProgress *progress, const UpdateReport &report,
                        FailureCause *cause = nullptr);

} // namespace updaterules
