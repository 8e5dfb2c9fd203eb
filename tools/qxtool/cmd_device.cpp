// Commands that only read from the device: info and checksum.
#include <cstdio>

#include "console.h"
#include "jsonout.h"
#include "qxtool.h"
#include "updaterules.h"

namespace
{

// The device did not answer, or is not there: the user's text, why, and
// with --json the failure object.
int device_failed(const UpdateContext &ctx, updaterules::RequestResult r, bool json)
{
    using updaterules::RequestResult;
    int status = r == RequestResult::NotConnected ? QXTOOL_NO_DEVICE
                 : r == RequestResult::DeviceBusy ? QXTOOL_BUSY
                                                  : QXTOOL_FAILED;
    std::string text = updaterules::refusal_text(r);
    updaterules::FailureCause cause;
    if (r == RequestResult::DeviceBusy || r == RequestResult::NoLock)
        cause = updaterules::lock_cause(ctx);
    else if (r == RequestResult::NotConnected)
        cause = updaterules::absence_cause();
    else if (status == QXTOOL_FAILED)
        cause = updaterules::device_cause(ctx);
    console_error(text);
    if (!cause.text.empty())
        console_error(cause.text);
    if (json)
        json_line(json_failure(status, text, &cause));
    return status;
}

// The device a command talks to; a failure to choose one is answered here
// (with --json as an object).
int use_device(UpdateContext &ctx, const std::string &device_id, bool json)
{
    std::string text;
    int rc = qxtool_use_device(ctx, device_id, false, &text);
    if (rc != QXTOOL_OK && json)
        json_line(json_failure(rc, text));
    return rc;
}

} // namespace

int qxtool_info(bool json, const std::string &device_id)
{
    UpdateContext ctx;
    int rc = use_device(ctx, device_id, json);
    if (rc != QXTOOL_OK)
        return rc;
    updaterules::Identity device;
    updaterules::RequestResult r = updaterules::device_identity(ctx, &device);
    if (r != updaterules::RequestResult::Ok)
        return device_failed(ctx, r, json);
    if (json) {
        Json j;
        j["product"] = device.product;
        j["version"] = device.version;
        j["version_text"] = updaterules::version_text(device.version);
        j["build"] = device.build;
        json_line(j);
    } else {
        console_text("product: " + device.product);
        console_text("version: " + updaterules::version_text(device.version));
        console_text("build: " + updaterules::build_text(device.build));
    }
    return QXTOOL_OK;
}

int qxtool_checksum(const std::string &length_text, bool json, const std::string &device_id)
{
    uint64_t length = 0;
    std::string problem;
    if (qxtool_parse_number(length_text, 1, QXTOOL_MAX_IMAGE, &length, &problem))
        return json_usage_error("checksum: LENGTH " + problem);
    UpdateContext ctx;
    int rc = use_device(ctx, device_id, json);
    if (rc != QXTOOL_OK)
        return rc;
    if (!ctx.open_device())
        return device_failed(ctx, updaterules::RequestResult::NotConnected, json);
    if (!ctx.lock_device())
        return device_failed(ctx,
                             ctx.lock_holder.held ? updaterules::RequestResult::DeviceBusy
                                                  : updaterules::RequestResult::NoLock,
                             json);
    uint32_t sum = 0;
    if (!ctx.device_checksum((uint32_t)length, &sum))
        return device_failed(ctx, updaterules::RequestResult::NoChecksum, json);
    if (json) {
        Json j;
        j["length"] = length;
        j["checksum"] = sum;
        json_line(j);
    } else {
        char text[64];
        snprintf(text, sizeof text, "checksum: 0x%08x", (unsigned)sum);
        console_text(text);
        console_text("length: " + std::to_string(length));
    }
    return QXTOOL_OK;
}
