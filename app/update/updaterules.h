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
};

struct RequestOptions {
    bool downgrade_rule = true; // refuse an image not newer than the device's
    bool installed_test = true; // refuse an image whose checksum the device already has
};

struct RequestCheck {
    RequestResult result = RequestResult::Ok;
    std::string text; // the refusal text; empty when result is Ok
    Identity device;  // as far as it was read
    Identity image;
};

// 230 -> "2.30", 5 -> "0.05", 1000 -> "10.00".
std::string version_text(unsigned version);
std::string build_text(unsigned build);

// Product, version and build from the context's header.
bool image_identity(const UpdateContext &ctx, Identity *image);
// Opens the device and reads product, version and build, in that order;
// Ok or the first read that failed.
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
};

struct UpdateReport {
    std::function<void(const std::string &)> process_text;
    std::function<void(const std::string &)> error; // at most once, last
};

// Runs one update: three device checksum readings over the image length
// that must agree within 256, then up to three transfers, each preceded by a
// one-second pause and followed by up to ten checksum readings one second
// apart that must come within 15 of the header's checksum. progress (may be
// null) receives the transfer position. Every wait goes through qx_sleep_ms.
UpdateResult run_update(UpdateContext *ctx, const uint8_t *image, uint32_t size,
                        QxProgress *progress, const UpdateReport &report);

} // namespace updaterules
