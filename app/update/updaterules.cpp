#include "updaterules.h"

#include <cstdio>
#include <cstring>

#include "qxlimits.h"
#include "qxlock.h"
#include "qxpower.h"
#include "qxsites.h"
#include "qxsys.h"

namespace updaterules
{

namespace
{

const int k_attempts = QXUPDATE_RETRIES + 1;

std::string hex32(uint32_t v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08x", (unsigned)v);
    return buf;
}

} // namespace

const char *refusal_text(RequestResult result)
{
    switch (result) {
    case RequestResult::Ok:
        return "";
    case RequestResult::ChecksumError:
        return "Checksum Error: ";
    case RequestResult::NotConnected:
        return "Supported hardware is not connected.";
    case RequestResult::NoProduct:
        return "Cannot get connected hardware product";
    case RequestResult::NoVersion:
        return "Cannot get connected hardware version";
    case RequestResult::NoBuild:
        return "Cannot get connected hardware build";
    case RequestResult::ProductMismatch:
        return "Product is not matching";
    case RequestResult::Downgrade:
        return "Cannot downgrade from ";
    case RequestResult::NoChecksum:
        return "Cannot get hardware checksum";
    case RequestResult::AlreadyUpdated:
        return "Already updated.";
    case RequestResult::DeviceBusy:
        return "Another program is updating the device.";
    case RequestResult::NoLock:
        return "Cannot lock the device for this program.";
    }
    return "";
}

namespace
{

RequestCheck refuse(RequestCheck check, RequestResult result)
{
    check.result = result;
    check.text = refusal_text(result);
    return check;
}

} // namespace

std::string failure_text(const QxFailure &f)
{
    std::string text;
    switch (f.how) {
    case QXFAIL_CALL:
        // A device that answers with a failure, or with an answer of the
        // wrong length (no code), is still there; one that times out or is
        // gone has stopped answering.
        if (f.error == USBDEVS_ERROR_GEN_FAILURE || f.error == 0)
            text = "the device failed a request";
        else
            text = "the device stopped answering";
        break;
    case QXFAIL_NOT_READY:
        text = "the device never reported ready";
        break;
    case QXFAIL_NO_ANSWER:
        text = "the device did not answer";
        break;
    case QXFAIL_NO_PROGRESS:
        text = "the device stopped taking data";
        break;
    case QXFAIL_NOT_CONFIRMED:
        text = "the device did not confirm the end of the transfer";
        break;
    case QXFAIL_STOPPED:
        text = "the update was stopped";
        break;
    default:
        text = "the request could not be made";
        break;
    }
    switch (f.op) {
    case QXOP_TRANSFER:
        if (f.how == QXFAIL_NOT_CONFIRMED)
            text += " of " + grouped_text(f.length) + " bytes";
        else
            text += " at byte " + grouped_text(f.position) + " of " + grouped_text(f.length);
        break;
    case QXOP_CHECKSUM:
        text += f.how == QXFAIL_NO_ANSWER ? " the checksum query" : " during the checksum query";
        text += " over " + grouped_text(f.length) + " bytes";
        break;
    case QXOP_INFO:
        if (f.item == QXTAG_PRODUCT)
            text += " when asked for its product name";
        else if (f.item == QXTAG_VERSION)
            text += " when asked for its version";
        else if (f.item == QXTAG_BUILD)
            text += " when asked for its build";
        else
            text += " to the info request for item " + std::to_string(f.item);
        break;
    default:
        break;
    }
    // A failed transfer ends the update, so a first attempt is the only
    // one: its number says something only once a check phase sent it again.
    if (f.attempts && f.attempt > 1)
        text +=
            " (attempt " + std::to_string(f.attempt) + " of " + std::to_string(f.attempts) + ")";
    if (f.error) {
        char code[32];
        snprintf(code, sizeof code, ": error 0x%x", (unsigned)f.error);
        text += code;
        char sys[256];
        if (usbdevs_error_text(f.error, sys, sizeof sys) == 0 && sys[0]) {
            // Lower case inside the sentence, unless the text starts with
            // a name ("USB ...").
            if (sys[0] >= 'A' && sys[0] <= 'Z' && !(sys[1] >= 'A' && sys[1] <= 'Z'))
                sys[0] = (char)(sys[0] - 'A' + 'a');
            text += ", ";
            text += sys;
        }
    }
    return text;
}

FailureCause device_cause(const UpdateContext &ctx, int attempt)
{
    FailureCause cause;
    if (!ctx.last_failure(&cause.record))
        return cause;
    cause.has_record = true;
    if (attempt) {
        cause.record.attempt = (unsigned)attempt;
        cause.record.attempts = (unsigned)k_attempts;
    }
    cause.text = failure_text(cause.record);
    return cause;
}

FailureCause lock_cause(const UpdateContext &ctx)
{
    FailureCause cause;
    if (ctx.lock_holder.held) {
        char who[QXLOCK_NAME_SIZE + 32];
        qxlock_holder_text(&ctx.lock_holder, who, sizeof who);
        cause.text = std::string("the device is held by ") + who;
        cause.has_holder = true;
        cause.holder = ctx.lock_holder;
    } else {
        cause.text = ctx.lock_holder.problem;
    }
    return cause;
}

FailureCause absence_cause()
{
    FailureCause cause;
    char text[512];
    if (usbdevs_absence(text, sizeof text) == 0)
        cause.text = text;
    return cause;
}

std::string other_devices_text(const UpdateContext &ctx)
{
    QxDevice present[QXCTL_MAX_DEVICES];
    unsigned n = usbdevs_list(present, QXCTL_MAX_DEVICES);
    if (n < 2 || !ctx.is_open())
        return "";
    char path[USBDEVS_PATH_UNITS * 3 + 1];
    usbdevs_path_to_utf8(path, sizeof path, ctx.ctl.devices[0].path);
    std::string others;
    for (unsigned i = 0; i < n; ++i) {
        if (usbdevs_same_device(present[i].path, ctx.ctl.devices[0].path))
            continue;
        char other[USBDEVS_PATH_UNITS * 3 + 1];
        usbdevs_path_to_utf8(other, sizeof other, present[i].path);
        others += std::string(others.empty() ? "" : ", ") + other;
    }
    return std::to_string(n) + " devices are connected: this one is " + path + "; the others (" +
           others +
           ") are left alone here (qxtool list shows them, qxtool update --device ID updates one)";
}

std::string stage_text(Stage stage, int retry)
{
    switch (stage) {
    case Stage::Preparing:
        return "Preparing...";
    case Stage::Sending:
        return "Sending and Updating...";
    case Stage::Retrying:
        return "Retrying... " + std::to_string(retry) + "/" + std::to_string(QXUPDATE_RETRIES);
    case Stage::Checking:
        return "Checking...";
    case Stage::Completed:
        return "Completed.\n\nPlease turn the device's power on again.";
    }
    return "";
}

const char *stage_name(Stage stage)
{
    switch (stage) {
    case Stage::Preparing:
        return "preparing";
    case Stage::Sending:
        return "sending";
    case Stage::Retrying:
        return "retrying";
    case Stage::Checking:
        return "checking";
    case Stage::Completed:
        return "completed";
    }
    return "";
}

std::string error_text(UpdateResult result)
{
    switch (result) {
    case UpdateResult::Completed:
        return "";
    case UpdateResult::NoImage:
        return "ERROR";
    case UpdateResult::NoChecksum:
        return "Cannot Get Hardware Checksum";
    case UpdateResult::Unstable:
        return "Hardware checksum is not valid.";
    case UpdateResult::TransferFailed:
        return "Firmware Update Failed";
    case UpdateResult::NotEqual:
        return "Hardware checksum is not equal to firmware.\n\n"
               "Please contact the technical support.";
    case UpdateResult::Stopped:
        return "Update stopped.";
    }
    return "";
}

const char *device_state_name(DeviceState state)
{
    switch (state) {
    case DeviceState::Unchanged:
        return "unchanged";
    case DeviceState::Incomplete:
        return "incomplete";
    case DeviceState::WrittenNotVerified:
        return "written-not-verified";
    case DeviceState::Updated:
        return "updated";
    }
    return "";
}

std::string device_state_text(DeviceState state)
{
    switch (state) {
    case DeviceState::Unchanged:
        return "the device is unchanged";
    case DeviceState::Incomplete:
        return "the device holds an incomplete image";
    case DeviceState::WrittenNotVerified:
        return "the device holds the whole image, but no check reading confirmed it";
    case DeviceState::Updated:
        return "the device is updated";
    }
    return "";
}

std::string next_step_text(DeviceState state, const std::string &how)
{
    switch (state) {
    case DeviceState::Incomplete:
        return how + " to write the whole image; until then the device may not work.";
    case DeviceState::WrittenNotVerified:
        return how + " to write it once more and check it.";
    case DeviceState::Unchanged:
    case DeviceState::Updated:
        break;
    }
    return "";
}

std::string stop_text(const FailureCause &cause)
{
    switch (cause.stop) {
    case FailureCause::Stop::None:
        return "";
    case FailureCause::Stop::BeforeSending:
        return "Stopped before anything was sent: the device is unchanged.";
    case FailureCause::Stop::Transfer:
        return "Stopped at byte " + grouped_text(cause.position) + " of " +
               grouped_text(cause.length) + ": " + device_state_text(cause.device_state) + ".";
    case FailureCause::Stop::Check:
        return "Stopped after all " + grouped_text(cause.length) +
               " bytes were sent, before a check reading matched: " +
               device_state_text(cause.device_state) + ".";
    }
    return "";
}

namespace
{

// What a failed or stopped transfer left behind. Its begin item clears what
// the device stored, so only a begin that never reached the device leaves
// it as it was (or as the earlier transfer of this update left it,
// written): one that failed before its send, or whose send was refused,
// found no device or was not made for a stop. A send that timed out may
// have been taken. A transfer that sent every byte left the whole image.
DeviceState transfer_state(const QxFailure &f, bool written)
{
    // A stop makes no further call: a send it ends was not made.
    const bool refused = f.how == QXFAIL_STOPPED || f.error == USBDEVS_ERROR_FILE_NOT_FOUND ||
                         f.error == USBDEVS_ERROR_DEVICE_NOT_CONNECTED ||
                         f.error == USBDEVS_ERROR_GEN_FAILURE;
    const bool begin_unsent =
        f.position == 0 &&
        (f.line == QXCTL_LINE_FWUP_BEGIN_ITEM || f.line == QXCTL_LINE_FWUP_BEGIN_END ||
         f.line == QXCTL_LINE_FWUP_BEGIN_WAIT || f.line == QXCTL_LINE_FWUP_ALT_BEGIN_ITEM ||
         f.line == QXCTL_LINE_FWUP_ALT_BEGIN_END || f.line == QXCTL_LINE_FWUP_ALT_BEGIN_WAIT ||
         ((f.line == QXCTL_LINE_FWUP_BEGIN_SEND || f.line == QXCTL_LINE_FWUP_ALT_BEGIN_SEND) &&
          refused));
    if (begin_unsent)
        return written ? DeviceState::WrittenNotVerified : DeviceState::Unchanged;
    if (f.how == QXFAIL_NOT_CONFIRMED || (f.length && f.position >= f.length))
        return DeviceState::WrittenNotVerified;
    return DeviceState::Incomplete;
}

} // namespace

std::string version_text(unsigned version)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%u.%02u", version / 100, version % 100);
    return buf;
}

std::string build_text(unsigned build)
{
    return std::to_string(build);
}

bool image_identity(const UpdateContext &ctx, Identity *image)
{
    image->product.clear();
    if (!ctx.fw_product(image->product))
        return false;
    image->version = ctx.fw_version();
    image->build = ctx.fw_build();
    return true;
}

RequestResult device_identity(UpdateContext &ctx, Identity *device)
{
    device->product.clear();
    if (!ctx.open_device())
        return RequestResult::NotConnected;
    // Nothing reaches a device that another program is talking to.
    if (!ctx.lock_device())
        return ctx.lock_holder.held ? RequestResult::DeviceBusy : RequestResult::NoLock;
    if (!ctx.device_product(device->product))
        return RequestResult::NoProduct;
    uint16_t value = 0;
    if (!ctx.device_version(&value))
        return RequestResult::NoVersion;
    device->version = value;
    if (!ctx.device_build(&value))
        return RequestResult::NoBuild;
    device->build = value;
    return RequestResult::Ok;
}

RequestCheck check_request(UpdateContext &ctx, const uint8_t *image, uint32_t size,
                           const std::string &path, const RequestOptions &options)
{
    RequestCheck check;
    ctx.load_header(image);
    if (!UpdateContext::verify_image(image, (int32_t)size)) {
        check = refuse(check, RequestResult::ChecksumError);
        check.text += path;
        return check;
    }
    // The caller has read the product from this header already.
    image_identity(ctx, &check.image);

    RequestResult read = device_identity(ctx, &check.device);
    if (read != RequestResult::Ok) {
        if (read == RequestResult::DeviceBusy || read == RequestResult::NoLock)
            check.cause = lock_cause(ctx);
        else if (read == RequestResult::NotConnected)
            check.cause = absence_cause();
        else
            check.cause = device_cause(ctx);
        return refuse(check, read);
    }
    if (check.device.product != check.image.product) {
        // Quoted: a case or a trailing space is the whole difference.
        check.cause.text = "the image is for \"" + check.image.product + "\", the device is \"" +
                           check.device.product + "\"";
        return refuse(check, RequestResult::ProductMismatch);
    }

    if (options.downgrade_rule) {
        bool newer =
            check.image.version > check.device.version || check.image.build > check.device.build;
        bool same =
            check.image.version == check.device.version && check.image.build == check.device.build;
        if (!newer && !(same && options.same_allowed)) {
            check = refuse(check, RequestResult::Downgrade);
            check.text +=
                version_text(check.device.version) + " to " + version_text(check.image.version);
            const std::string image = "version " + version_text(check.image.version) + " build " +
                                      build_text(check.image.build);
            if (same)
                check.cause.text = "the device already has " + image;
            else
                check.cause.text = "the image has " + image + ", the device " +
                                   version_text(check.device.version) + " build " +
                                   build_text(check.device.build) + ": the image is not newer";
            return check;
        }
    }
    if (options.installed_test) {
        uint32_t installed = 0;
        if (!ctx.device_checksum((uint32_t)ctx.fw_check_size(), &installed)) {
            check.cause = device_cause(ctx);
            return refuse(check, RequestResult::NoChecksum);
        }
        if (installed == ctx.fw_checksum()) {
            check.cause.text = "the device's checksum over " +
                               grouped_text((uint32_t)ctx.fw_check_size()) +
                               " bytes is the image's, " + hex32(installed);
            return refuse(check, RequestResult::AlreadyUpdated);
        }
    }
    return check;
}

std::string confirmation_text(const Identity &device, const Identity &image)
{
    std::string text = "Fimware Update\n\n";
    text += "From:\n";
    text += "  product:" + device.product + ", " + "version:" + version_text(device.version) +
            ", " + "build:" + build_text(device.build) + "\n";
    text += "\n";
    text += "To:\n";
    text += "  product:" + image.product + ", " + "version:" + version_text(image.version) + ", " +
            "build:" + build_text(image.build) + "\n";
    text += "\n";
    text += "Are you sure?";
    return text;
}

namespace
{

// The machine held up from the first transfer on, and let go on every way
// out of the update.
struct PowerHold {
    QxPower power;
    PowerHold() { qxpower_init(&power); }
    ~PowerHold() { qxpower_release(&power); }
    PowerHold(const PowerHold &) = delete;
    PowerHold &operator=(const PowerHold &) = delete;
};

} // namespace

std::string power_reason(const UpdateContext &ctx)
{
    std::string product;
    if (!ctx.fw_product(product) || product.empty())
        product = "device";
    return "Updating the firmware of the " + product + ": an interruption could leave it unusable";
}

UpdateResult run_update(UpdateContext *ctx, const uint8_t *image, uint32_t size,
                        QxProgress *progress, const UpdateReport &report, FailureCause *cause)
{
    auto say = [&report](Stage stage, int retry = 0) {
        if (report.stage)
            report.stage(stage, stage_text(stage, retry));
    };
    auto reading = [&report](Phase phase, int attempt, bool answered, uint32_t value) {
        if (report.reading)
            report.reading(phase, attempt, answered, value);
    };
    // Every end says what the device holds; a failure's cause says it too.
    auto fail = [&report, cause](UpdateResult result, FailureCause why,
                                 DeviceState state = DeviceState::Unchanged) {
        why.device_state = state;
        if (state != DeviceState::Unchanged && result != UpdateResult::Stopped)
            why.text += (why.text.empty() ? "" : "; ") + device_state_text(state);
        if (cause)
            *cause = why;
        if (report.error)
            report.error(error_text(result));
        return result;
    };
    auto because = [](std::string text) {
        FailureCause why;
        why.text = std::move(text);
        return why;
    };

    // A stop ends the update at the next call boundary; where it lands
    // decides what the device now holds.
    auto stopped = [&](FailureCause::Stop where, uint32_t position, DeviceState state) {
        FailureCause why;
        if (where == FailureCause::Stop::Transfer && ctx && ctx->last_failure(&why.record) &&
            why.record.op == QXOP_TRANSFER && why.record.how == QXFAIL_STOPPED)
            why.has_record = true;
        why.stop = where;
        why.position = position;
        why.length = size;
        why.device_state = state;
        why.text = stop_text(why);
        return fail(UpdateResult::Stopped, why, state);
    };
    const DeviceState unchanged = DeviceState::Unchanged;

    if (!ctx || !image || size == 0)
        return fail(UpdateResult::NoImage, because("no image to send"));
    if (qx_stop_requested())
        return stopped(FailureCause::Stop::BeforeSending, 0, unchanged);
    say(Stage::Preparing);

    // The installed firmware must read the same, give or take, several times
    // in a row; a device that wanders more is not in a state to be written.
    // A reading of 0 is a reading like any other.
    uint32_t lowest = 0;
    uint32_t highest = 0;
    for (int i = 0; i < QXUPDATE_STABILITY_READINGS; i++) {
        uint32_t value = 0;
        if (!ctx->device_checksum(size, &value)) {
            reading(Phase::Stability, 0, false, 0);
            if (qx_stop_requested())
                return stopped(FailureCause::Stop::BeforeSending, 0, unchanged);
            return fail(UpdateResult::NoChecksum, device_cause(*ctx));
        }
        reading(Phase::Stability, 0, true, value);
        if (i == 0 || value < lowest)
            lowest = value;
        if (i == 0 || value > highest)
            highest = value;
    }
    if (highest - lowest > QXUPDATE_MAX_SPREAD)
        return fail(UpdateResult::Unstable,
                    because("the device's checksum readings spread from " + hex32(lowest) + " to " +
                            hex32(highest) + ", more than " + std::to_string(QXUPDATE_MAX_SPREAD) +
                            " apart"));

    // Whether a transfer of this update sent the whole image: from then on
    // the device never again holds what it had.
    bool written = false;
    // From the first chunk to the last check reading: the readings before
    // change nothing, so a machine that sleeps through them loses nothing.
    PowerHold hold;
    for (int64_t attempt = 0;;) {
        qx_sleep_ms(QXUPDATE_PAUSE_MS);
        if (qx_stop_requested()) {
            // Before a further transfer the device holds the last one's
            // image, which did not pass its check.
            return attempt == 0
                       ? stopped(FailureCause::Stop::BeforeSending, 0, unchanged)
                       : stopped(FailureCause::Stop::Check, size, DeviceState::WrittenNotVerified);
        }
        say(attempt == 0 ? Stage::Sending : Stage::Retrying, (int)attempt);
        qxpower_hold(&hold.power, qxlock_program_name(), power_reason(*ctx).c_str());
        if (!ctx->update_firmware(image, size, progress)) {
            QxFailure f{};
            if (!ctx->last_failure(&f) || f.op != QXOP_TRANSFER) {
                // No record of where it failed: assume the worst.
                f = QxFailure{};
                f.length = size;
            }
            const DeviceState state = transfer_state(f, written);
            if (qx_stop_requested())
                return stopped(FailureCause::Stop::Transfer, f.position, state);
            return fail(UpdateResult::TransferFailed, device_cause(*ctx, (int)attempt + 1), state);
        }
        written = true;
        say(Stage::Checking);

        uint32_t check_size = (uint32_t)ctx->fw_check_size();
        int64_t expected = ctx->fw_checksum();
        bool answered = false;
        uint32_t last = 0;
        for (int tries = QXUPDATE_CHECK_READINGS; tries > 0; tries--) {
            qx_sleep_ms(QXUPDATE_PAUSE_MS);
            if (qx_stop_requested())
                return stopped(FailureCause::Stop::Check, size, DeviceState::WrittenNotVerified);
            // An unanswered reading costs one try; the phase goes on.
            uint32_t value = 0;
            if (!ctx->device_checksum(check_size, &value)) {
                reading(Phase::Check, (int)attempt, false, 0);
                continue;
            }
            reading(Phase::Check, (int)attempt, true, value);
            answered = true;
            last = value;
            int64_t diff = (int64_t)value - expected;
            if (diff >= -QXUPDATE_CHECKSUM_MARGIN && diff <= QXUPDATE_CHECKSUM_MARGIN) {
                if (cause) {
                    *cause = FailureCause();
                    cause->device_state = DeviceState::Updated;
                }
                say(Stage::Completed);
                return UpdateResult::Completed;
            }
        }

        attempt++;
        if (attempt == k_attempts) {
            FailureCause why;
            if (answered) {
                why = because("no checksum reading came within " +
                              std::to_string(QXUPDATE_CHECKSUM_MARGIN) + " of the image's " +
                              hex32((uint32_t)expected) + " after " + std::to_string(k_attempts) +
                              " transfers; the last read " + hex32(last));
            } else {
                why = device_cause(*ctx);
                why.text = "the device answered none of the last " +
                           std::to_string(QXUPDATE_CHECK_READINGS) + " checksum readings" +
                           (why.text.empty() ? "" : ": " + why.text);
            }
            return fail(UpdateResult::NotEqual, why, DeviceState::WrittenNotVerified);
        }
    }
}

std::string grouped_text(uint64_t n)
{
    std::string digits = std::to_string(n);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0)
            out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

} // namespace updaterules
