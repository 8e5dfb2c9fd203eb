#include "updaterules.h"

#include <cstdio>

#include "qxsys.h"

namespace updaterules
{

namespace
{

const uint32_t k_max_spread = 256;    // readings of an unchanged device wander by less
const int64_t k_checksum_margin = 15; // the device's sum may still settle after a write
const int k_check_readings = 10;
const int k_retries = 2;
const uint32_t k_pause_ms = 1000;

const char *refusal(RequestResult result)
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
    }
    return "";
}

RequestCheck refuse(RequestCheck check, RequestResult result)
{
    check.result = result;
    check.text = refusal(result);
    return check;
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
    if (read != RequestResult::Ok)
        return refuse(check, read);
    if (check.device.product != check.image.product)
        return refuse(check, RequestResult::ProductMismatch);

    if (options.downgrade_rule) {
        bool newer =
            check.image.version > check.device.version || check.image.build > check.device.build;
        if (!newer) {
            check = refuse(check, RequestResult::Downgrade);
            check.text +=
                version_text(check.device.version) + " to " + version_text(check.image.version);
            return check;
        }
    }
    if (options.installed_test) {
        uint32_t installed = 0;
        if (!ctx.device_checksum((uint32_t)ctx.fw_check_size(), &installed))
            return refuse(check, RequestResult::NoChecksum);
        if (installed == ctx.fw_checksum())
            return refuse(check, RequestResult::AlreadyUpdated);
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

UpdateResult run_update(UpdateContext *ctx, const uint8_t *image, uint32_t size,
                        QxProgress *progress, const UpdateReport &report)
{
    auto say = [&report](const std::string &text) {
        if (report.process_text)
            report.process_text(text);
    };
    auto fail = [&report](const std::string &text, UpdateResult result) {
        if (report.error)
            report.error(text);
        return result;
    };

    if (!ctx || !image || size == 0)
        return fail("ERROR", UpdateResult::NoImage);
    say("Preparing...");

    // The installed firmware must read the same, give or take, three times
    // in a row; a device that wanders more is not in a state to be written.
    // A reading of 0 is a reading like any other.
    uint32_t lowest = 0;
    uint32_t highest = 0;
    for (int i = 0; i < 3; i++) {
        uint32_t reading = 0;
        if (!ctx->device_checksum(size, &reading))
            return fail("Cannot Get Hardware Checksum", UpdateResult::NoChecksum);
        if (i == 0 || reading < lowest)
            lowest = reading;
        if (i == 0 || reading > highest)
            highest = reading;
    }
    if (highest - lowest > k_max_spread)
        return fail("Hardware checksum is not valid.", UpdateResult::Unstable);

    for (int64_t attempt = 0;;) {
        qx_sleep_ms(k_pause_ms);
        if (attempt == 0)
            say("Sending and Updating...");
        else
            say("Retrying... " + std::to_string(attempt) + "/" + std::to_string(k_retries));
        if (!ctx->update_firmware(image, size, progress))
            return fail("Firmware Update Failed", UpdateResult::TransferFailed);
        say("Checking...");

        uint32_t check_size = (uint32_t)ctx->fw_check_size();
        int64_t expected = ctx->fw_checksum();
        for (int tries = k_check_readings; tries > 0; tries--) {
            qx_sleep_ms(k_pause_ms);
            // An unanswered reading costs one try; the phase goes on.
            uint32_t reading = 0;
            if (!ctx->device_checksum(check_size, &reading))
                continue;
            int64_t diff = (int64_t)reading - expected;
            if (diff >= -k_checksum_margin && diff <= k_checksum_margin) {
                say("Completed.\n\nPlease turn the device's power on again.");
                return UpdateResult::Completed;
            }
        }

        attempt++;
        if (attempt == k_retries + 1)
            return fail("Hardware checksum is not equal to firmware.\n\n"
                        "Please contact the technical support.",
                        UpdateResult::NotEqual);
    }
}

} // namespace updaterules
