// Several devices: the list, the short ids, and which device a command
// talks to.
#include <cstdio>
#include <cstring>

#include "console.h"
#include "jsonout.h"
#include "qxlock.h"
#include "qxtool.h"
#include "updaterules.h"

namespace
{

std::string path_text(const uint16_t *path)
{
    char buf[USBDEVS_PATH_UNITS * 3 + 1];
    usbdevs_path_to_utf8(buf, sizeof buf, path);
    return buf;
}

// "qxtool (process 4242)" while another program holds the device; the
// record in *record when given.
std::string holder_text(const QxDevice &dev, bool *busy, QxLockHolder *record = nullptr)
{
    QxLockHolder holder;
    memset(&holder, 0, sizeof holder);
    *busy = qxlock_holder(dev.path, &holder) == 0;
    if (record)
        *record = holder;
    if (!*busy)
        return "";
    char text[QXLOCK_NAME_SIZE + 64];
    qxlock_holder_text(&holder, text, sizeof text);
    return text;
}

std::string short_line(const QxtoolDevice &d)
{
    bool busy = false;
    std::string holder = holder_text(d.dev, &busy);
    return "  " + d.id + "  " + d.path + (busy ? "  (in use by " + holder + ")" : "");
}

} // namespace

std::string qxtool_device_name(const std::string &path)
{
    std::string name;
    // A Windows interface path: \\?\usb#vid_..&pid_..#<instance>#{class}\...
    // The instance part is what tells two of one model apart.
    size_t first = path.find('#');
    size_t second = first == std::string::npos ? first : path.find('#', first + 1);
    size_t third = second == std::string::npos ? second : path.find('#', second + 1);
    if (third != std::string::npos && third > second + 1) {
        name = path.substr(second + 1, third - second - 1);
    } else {
        // A Linux endpoint: its file name.
        size_t cut = path.find_last_of("/\\");
        name = cut == std::string::npos ? path : path.substr(cut + 1);
    }
    // Typed on any shell without quotes: "5&1a2b&0" becomes "5-1a2b-0".
    for (char &c : name) {
        bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                     c == '.' || c == '_' || c == '-';
        if (!plain)
            c = '-';
    }
    return name;
}

std::vector<QxtoolDevice> qxtool_devices()
{
    QxDevice found[QXCTL_MAX_DEVICES];
    unsigned n = usbdevs_list(found, QXCTL_MAX_DEVICES);
    std::vector<QxtoolDevice> list;
    for (unsigned i = 0; i < n; ++i) {
        QxtoolDevice d;
        d.place = i + 1;
        d.dev = found[i];
        d.path = path_text(found[i].path);
        d.name = qxtool_device_name(d.path);
        d.id = std::to_string(d.place) + ":" + d.name;
        list.push_back(d);
    }
    return list;
}

int qxtool_use_device(UpdateContext &ctx, const std::string &id, bool refuse_several,
                      std::string *text)
{
    text->clear();
    std::vector<QxtoolDevice> list = qxtool_devices();
    if (!id.empty()) {
        // The whole id or a path of the device (any of its interfaces'); the
        // name alone while no other device has it.
        uint16_t given[USBDEVS_PATH_UNITS] = {};
        bool is_path = usbdevs_path_from_utf8(given, USBDEVS_PATH_UNITS, id.c_str()) == 0;
        const QxtoolDevice *match = nullptr;
        int named = 0;
        for (const QxtoolDevice &d : list) {
            if (d.id == id || d.path == id || (is_path && usbdevs_same_device(d.dev.path, given)))
                match = &d;
            if (d.name == id)
                named++;
        }
        if (!match && named == 1) {
            for (const QxtoolDevice &d : list)
                if (d.name == id)
                    match = &d;
        }
        if (match) {
            ctx.choose_device(match->dev.path);
            return QXTOOL_OK;
        }
        *text = "No connected device has the id " + id + ".";
        console_error(*text);
        if (list.empty()) {
            console_error(updaterules::refusal_text(updaterules::RequestResult::NotConnected));
        } else {
            console_error(named > 1 ? "More than one device has that name; give the whole id:"
                                    : "The devices connected now:");
            for (const QxtoolDevice &d : list)
                console_error(short_line(d));
        }
        return QXTOOL_NO_DEVICE;
    }
    if (list.size() == 1) {
        ctx.choose_device(list[0].dev.path);
        return QXTOOL_OK;
    }
    if (list.empty())
        return QXTOOL_OK; // the command's own open says that none is there
    if (refuse_several) {
        *text = "Several devices are connected: choose one with --device ID (qxtool list "
                "shows each one's product and version).";
        console_error(*text);
        for (const QxtoolDevice &d : list)
            console_error(short_line(d));
        return QXTOOL_REFUSED;
    }
    // The device the window would take, and the user told which one it is.
    QxDevice probed;
    memset(&probed, 0, sizeof probed);
    int status = 0;
    const QxtoolDevice *used = &list.back();
    if (usbdevs_find(USBDEVS_SERVICE, probed.path, USBDEVS_PATH_UNITS, &status)) {
        for (const QxtoolDevice &d : list)
            if (usbdevs_same_device(d.dev.path, probed.path))
                used = &d;
    }
    ctx.choose_device(used->dev.path);
    console_error("qxtool: " + std::to_string(list.size()) + " devices are connected; this is " +
                  used->id + " (" + used->path + "); --device ID chooses another (qxtool list)");
    return QXTOOL_OK;
}

int qxtool_list(bool json)
{
    std::vector<QxtoolDevice> list = qxtool_devices();
    if (list.empty()) {
        std::string text = updaterules::refusal_text(updaterules::RequestResult::NotConnected);
        updaterules::FailureCause cause = updaterules::absence_cause();
        console_error(text);
        if (!cause.text.empty())
            console_error(cause.text);
        if (json)
            json_line(Json::array());
        return QXTOOL_NO_DEVICE;
    }
    Json all = Json::array();
    for (const QxtoolDevice &d : list) {
        bool busy = false;
        QxLockHolder record;
        std::string holder = holder_text(d.dev, &busy, &record);
        updaterules::Identity identity;
        std::string problem;
        bool known = false;
        if (!busy) {
            // Each device under its own lock, given back before the next.
            UpdateContext ctx;
            ctx.choose_device(d.dev.path);
            updaterules::RequestResult r = updaterules::device_identity(ctx, &identity);
            known = r == updaterules::RequestResult::Ok;
            if (r == updaterules::RequestResult::DeviceBusy) {
                busy = true;
                char text[QXLOCK_NAME_SIZE + 64];
                qxlock_holder_text(&ctx.lock_holder, text, sizeof text);
                holder = text;
                record = ctx.lock_holder;
            } else if (!known) {
                problem = updaterules::refusal_text(r);
            }
        }
        if (json) {
            Json j;
            j["id"] = d.id;
            j["place"] = d.place;
            j["name"] = d.name;
            j["product"] = known ? Json(identity.product) : Json(nullptr);
            j["version"] = known ? Json(identity.version) : Json(nullptr);
            j["version_text"] =
                known ? Json(updaterules::version_text(identity.version)) : Json(nullptr);
            j["build"] = known ? Json(identity.build) : Json(nullptr);
            j["path"] = d.path;
            j["busy"] = busy;
            if (busy)
                j["holder"] = json_holder(record);
            if (!problem.empty())
                j["error"] = problem;
            all.push_back(j);
            continue;
        }
        std::string line = d.id + "  ";
        if (known)
            line += identity.product + "  version " + updaterules::version_text(identity.version) +
                    "  build " + updaterules::build_text(identity.build);
        else
            line += "?";
        line += busy ? "  in use by " + holder : "  idle";
        if (!problem.empty())
            line += "  (" + problem + ")";
        console_text(line + "  " + d.path);
    }
    if (json)
        json_line(all);
    return QXTOOL_OK;
}
