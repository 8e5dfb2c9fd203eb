// qxtool's commands: each takes its parsed arguments and returns the
// process's exit status. Messages go to standard error, results to standard
// output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usbdevs.h"

class UpdateContext;

#define QXTOOL_VERSION "1.0.0"

// Exit statuses, also listed in --help and the README.
enum {
    QXTOOL_OK = 0,
    QXTOOL_FAILED = 1,    // the update failed, or the device did not answer
    QXTOOL_USAGE = 2,     // unknown command or option, bad or missing argument
    QXTOOL_REFUSED = 3,   // the update request was refused or not confirmed
    QXTOOL_NO_DEVICE = 4, // no supported device is connected
    QXTOOL_BAD_FILE = 5,  // image or body file missing, unreadable, too large or corrupt
    QXTOOL_BUSY = 6,      // another program (or the settings panel) holds the device; nothing sent
    // update stopped by a signal at a call boundary: 128 + the signal (130
    // for SIGINT, 143 for SIGTERM, 129 for SIGHUP)
    QXTOOL_STOPPED = 128,
};

extern const char *const qxtool_exit_help;

// The largest image: the window's image buffer and the device's flash.
#define QXTOOL_MAX_IMAGE 1048576u

struct UpdateArgs {
    std::string image; // empty: the built-in image for the device's product
    bool allow_older = false;
    bool allow_reinstall = false;
    bool yes = false;
    bool json = false;  // JSON lines on standard output, one an event
    std::string device; // --device: empty for the only device
};

struct MkimageArgs {
    std::string product;
    std::string version;
    std::string build;
    std::string date;
    std::string body;
    std::string output;
};

int qxtool_info(bool json, const std::string &device);
int qxtool_checksum(const std::string &length, bool json, const std::string &device);
int qxtool_list(bool json);
int qxtool_update(const UpdateArgs &args);
int qxtool_verify(const std::string &path, bool json);
int qxtool_dump(const std::string &path, bool json);
int qxtool_extract(const std::string &path);
int qxtool_mkimage(const MkimageArgs &args);
// The newest count records of the update history, of one device when given.
int qxtool_history(bool json, unsigned count, const std::string &device);
// The support report to path ("-": standard output).
int qxtool_report(const std::string &path);

// --- helpers shared by the commands ---

// One connected device as qxtool names it: its place in the list (from 1),
// a name taken from its path, and the id "<place>:<name>" that --device takes.
struct QxtoolDevice {
    unsigned place = 0;
    std::string name;
    std::string id;
    std::string path;
    QxDevice dev{};
};
// The connected devices, in the device layer's order (usbdevs_list).
std::vector<QxtoolDevice> qxtool_devices();
// "qx-10_20.2" for /run/user/1000/qx/qx-10_20.2; a Windows interface path's
// instance part.
std::string qxtool_device_name(const std::string &path);
// Which device ctx talks to: the one id names (its id, its path, or its name
// while no other has it), else the only one. With several and no id, an
// update is refused (QXTOOL_REFUSED) and any other command takes the one the
// probe finds and says so. QXTOOL_OK, or the status after the message on
// standard error (its first sentence also in *text).
int qxtool_use_device(UpdateContext &ctx, const std::string &id, bool refuse_several,
                      std::string *text);

// Reads an image file of at most QXTOOL_MAX_IMAGE bytes. 0, or 1 with
// *problem naming what is wrong ("No such file or directory", "too large
// ...").
int qxtool_read_file(const std::string &path, uint32_t max, std::vector<uint8_t> *data,
                     std::string *problem);
// Reads and checks an image: size, checksum test. QXTOOL_OK or
// QXTOOL_BAD_FILE after a message naming the file and the problem (also
// left in *message when given).
int qxtool_load_image(const std::string &path, std::vector<uint8_t> *data,
                      std::string *message = nullptr);

// Why an image of at least a header's length fails the checksum test: a
// file shorter than its header's size, or longer with the test failed, gives
// both sizes.
std::string qxtool_image_problem(const std::vector<uint8_t> &data);

// Plain decimal (or 0x hex) number within [min, max]; 0, or 1 with *problem.
int qxtool_parse_number(const std::string &text, uint64_t min, uint64_t max, uint64_t *value,
                        std::string *problem);

// "2026-11-02"
std::string qxtool_date_text(unsigned year, unsigned month, unsigned day);
