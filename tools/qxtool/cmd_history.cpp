// qxtool history: the update history that the window and qxtool keep.
#include "console.h"
#include "jsonout.h"
#include "qxtool.h"
#include "updatehistory.h"
#include "updatereport.h"

#include <cstdio>

namespace
{

std::string text_of(const Json &j, const char *key)
{
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
}

// "QX-20 2.20 build 50", or "?" when it was not read.
std::string identity_text(const Json &j)
{
    if (!j.is_object() || !j.contains("product"))
        return "?";
    return text_of(j, "product") + " " + text_of(j, "version_text") + " build " +
           std::to_string(j.value("build", 0u));
}

// A record as one line a person reads.
std::string record_text(const Json &r)
{
    std::string line =
        text_of(r, "time") + "  " + text_of(r, "program") + "  " + text_of(r, "outcome") + "  ";
    const Json &device = r.contains("device") ? r["device"] : Json();
    line += identity_text(device);
    if (device.is_object() && !text_of(device, "id").empty())
        line += " (" + text_of(device, "id") + ")";
    const Json &image = r.contains("image") ? r["image"] : Json();
    line += " <- " + (image.is_object() ? text_of(image, "name") : std::string("?"));
    if (image.is_object() && image.contains("product"))
        line += " " + identity_text(image);
    line += "  device " + text_of(r, "device_state");
    if (!text_of(r, "error").empty())
        line += "  " + text_of(r, "error");
    if (!text_of(r, "cause").empty())
        line += ": " + text_of(r, "cause");
    return line;
}

// The device the user named: its name, its path, or qxtool's id.
bool same_device(const Json &r, const std::string &id)
{
    if (!r.contains("device") || !r["device"].is_object())
        return false;
    const std::string name = text_of(r["device"], "id");
    const std::string path = text_of(r["device"], "path");
    if (id == path || (!name.empty() && id == name))
        return true;
    size_t colon = id.find(':');
    return !name.empty() && colon != std::string::npos && id.substr(colon + 1) == name;
}

} // namespace

int qxtool_history(bool json, unsigned count, const std::string &device)
{
    const std::string path = updatehistory::history_path();
    std::vector<std::string> lines;
    std::string problem;
    if (path.empty()) {
        console_problem("history: no folder for it (no home folder)");
        return QXTOOL_FAILED;
    }
    if (updatehistory::read_records(path, &lines, &problem)) {
        console_problem(path + ": " + problem);
        if (json)
            json_line(json_failure(QXTOOL_FAILED, path + ": " + problem));
        return QXTOOL_FAILED;
    }
    std::vector<Json> chosen;
    for (const std::string &l : lines) {
        Json r = Json::parse(l, nullptr, false);
        if (device.empty() || same_device(r, device))
            chosen.push_back(r);
    }
    size_t from = chosen.size() > count ? chosen.size() - count : 0;
    if (!json && chosen.empty())
        console_error("no update recorded in " + path);
    for (size_t i = from; i < chosen.size(); ++i) {
        if (json)
            json_line(chosen[i]);
        else
            console_text(record_text(chosen[i]));
    }
    return QXTOOL_OK;
}

int qxtool_report(const std::string &path)
{
    if (path == "-") {
        const std::string report = updatereport::text("qxtool", QXTOOL_VERSION);
        fwrite(report.data(), 1, report.size(), stdout);
        if (fflush(stdout) != 0 || ferror(stdout)) {
            console_problem("cannot write standard output");
            return QXTOOL_FAILED;
        }
        return QXTOOL_OK;
    }
    std::string problem;
    if (updatereport::write(path, "qxtool", QXTOOL_VERSION, &problem)) {
        console_problem("cannot write " + path + ": " + problem);
        return QXTOOL_FAILED;
    }
    console_text("wrote " + path + ": send it to support; nothing in it has left this machine");
    return QXTOOL_OK;
}
