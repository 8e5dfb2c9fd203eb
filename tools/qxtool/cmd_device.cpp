// Commands that only read from the device: info and checksum.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "console.h"
#include "qxtool.h"
#include "updaterules.h"

using Json = nlohmann::ordered_json;

namespace
{

// Device products are bytes; invalid UTF-8 is shown replaced, not refused.
std::string dump(const Json &j)
{
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

int qxtool_info(bool json)
{
    UpdateContext ctx;
    updaterules::Identity device;
    updaterules::RequestResult r = updaterules::device_identity(ctx, &device);
    switch (r) {
    case updaterules::RequestResult::Ok:
        break;
    case updaterules::RequestResult::NotConnected:
        console_error("Supported hardware is not connected.");
        return QXTOOL_NO_DEVICE;
    case updaterules::RequestResult::NoProduct:
        console_error("Cannot get connected hardware product");
        return QXTOOL_FAILED;
    case updaterules::RequestResult::NoVersion:
        console_error("Cannot get connected hardware version");
        return QXTOOL_FAILED;
    default:
        console_error("Cannot get connected hardware build");
        return QXTOOL_FAILED;
    }
    if (json) {
        Json j;
        j["product"] = device.product;
        j["version"] = device.version;
        j["version_text"] = updaterules::version_text(device.version);
        j["build"] = device.build;
        console_text(dump(j));
    } else {
        console_text("product: " + device.product);
        console_text("version: " + updaterules::version_text(device.version));
        console_text("build: " + updaterules::build_text(device.build));
    }
    return QXTOOL_OK;
}

int qxtool_checksum(const std::string &length_text, bool json)
{
    uint64_t length = 0;
    std::string problem;
    if (qxtool_parse_number(length_text, 1, QXTOOL_MAX_IMAGE, &length, &problem)) {
        console_problem("checksum: LENGTH " + problem);
        return QXTOOL_USAGE;
    }
    UpdateContext ctx;
    if (!ctx.open_device()) {
        console_error("Supported hardware is not connected.");
        return QXTOOL_NO_DEVICE;
    }
    uint32_t sum = 0;
    if (!ctx.device_checksum((uint32_t)length, &sum)) {
        console_error("Cannot get hardware checksum");
        return QXTOOL_FAILED;
    }
    if (json) {
        Json j;
        j["length"] = length;
        j["checksum"] = sum;
        console_text(dump(j));
    } else {
        char text[64];
        snprintf(text, sizeof text, "checksum: 0x%08x", (unsigned)sum);
        console_text(text);
        console_text("length: " + std::to_string(length));
    }
    return QXTOOL_OK;
}
