#include "updatereport.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include <nlohmann/json.hpp>

#include "qxfile.h"
#include "qxsys.h"
#include "updatehistory.h"
#include "updaterules.h"

using Json = nlohmann::ordered_json;

namespace updatereport
{

namespace
{

// Every connected device: its path, who holds it, and its identity when
// it is free to be asked (each under its own lock, given back at once).
Json devices_json()
{
    QxDevice list[QXCTL_MAX_DEVICES];
    memset(list, 0, sizeof list);
    unsigned n = usbdevs_list(list, QXCTL_MAX_DEVICES);
    Json all = Json::array();
    for (unsigned i = 0; i < n; ++i) {
        char path[USBDEVS_PATH_UNITS * 3 + 1] = {};
        usbdevs_path_to_utf8(path, sizeof path, list[i].path);
        Json d;
        d["path"] = path;
        QxLockHolder holder;
        memset(&holder, 0, sizeof holder);
        bool busy = qxlock_holder(list[i].path, &holder) == 0;
        updaterules::Identity id;
        std::string problem;
        if (!busy) {
            UpdateContext ctx;
            ctx.choose_device(list[i].path);
            updaterules::RequestResult r = updaterules::device_identity(ctx, &id);
            if (r == updaterules::RequestResult::DeviceBusy) {
                busy = true;
                holder = ctx.lock_holder;
            } else if (r != updaterules::RequestResult::Ok) {
                problem = updaterules::refusal_text(r);
            }
        }
        bool known = !busy && problem.empty();
        d["product"] = known ? Json(id.product) : Json(nullptr);
        d["version"] = known ? Json(id.version) : Json(nullptr);
        d["version_text"] = known ? Json(updaterules::version_text(id.version)) : Json(nullptr);
        d["build"] = known ? Json(id.build) : Json(nullptr);
        d["busy"] = busy;
        if (busy)
            d["holder"] = {{"program", holder.program}, {"pid", holder.pid}};
        if (!problem.empty())
            d["error"] = problem;
        all.push_back(d);
    }
    return all;
}

std::string device_line(const Json &d)
{
    std::string line = "  " + d["path"].get<std::string>() + "  ";
    if (d["product"].is_string())
        line += d["product"].get<std::string>() + "  version " +
                d["version_text"].get<std::string>() + "  build " +
                std::to_string(d["build"].get<unsigned>());
    else
        line += "?";
    if (d["busy"].get<bool>())
        line += "  in use by " + d["holder"]["program"].get<std::string>() + " (process " +
                std::to_string(d["holder"]["pid"].get<unsigned long>()) + ")";
    if (d.contains("error"))
        line += "  (" + d["error"].get<std::string>() + ")";
    return line;
}

std::string record_line(const Json &r)
{
    std::string line = "  " + r.value("time", "") + "  " + r.value("program", "") + "  " +
                       r.value("outcome", "") + "  device " + r.value("device_state", "");
    if (!r.value("error", "").empty())
        line += "  " + r.value("error", "");
    if (!r.value("cause", "").empty())
        line += ": " + r.value("cause", "");
    return line;
}

// The last lines of the last update's trace, and how many there were.
std::vector<std::string> trace_tail(const std::string &path, size_t *total)
{
    std::vector<std::string> lines;
    *total = 0;
    std::string problem;
    if (qxfile_check_input(path.c_str(), &problem))
        return lines;
    FILE *f = qx_fopen(path.c_str(), "rb");
    if (!f)
        return lines;
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? nl : nl - at);
        at = nl == std::string::npos ? text.size() : nl + 1;
        ++*total;
        // The start line says what the trace is; then the newest calls.
        if (*total == 1 || lines.size() < QXREPORT_TRACE_LINES)
            lines.push_back(line);
        else {
            lines.erase(lines.begin() + 1);
            lines.push_back(line);
        }
    }
    return lines;
}

} // namespace

std::string text(const std::string &program, const std::string &version)
{
    const std::string made = updatehistory::utc_text(std::chrono::system_clock::now());
    const std::string os = updatehistory::platform_os();
    Json devices = devices_json();
    std::vector<std::string> records;
    std::string problem;
    const std::string history = updatehistory::history_path();
    std::string history_note;
    if (history.empty())
        history_note = "no folder for the history";
    else if (updatehistory::read_records(history, &records, &problem))
        history_note = problem;
    if (records.size() > QXREPORT_RECORDS)
        records.erase(records.begin(), records.end() - QXREPORT_RECORDS);
    const std::string trace = updatehistory::last_trace_path();
    size_t trace_total = 0;
    std::vector<std::string> trace_lines =
        trace.empty() ? std::vector<std::string>() : trace_tail(trace, &trace_total);

    std::string out;
    out += "QX updater support report\n";
    out += "=========================\n\n";
    out += "Made " + made + " by " + program + " " + version + " on " + os + ".\n";
    out += "Nothing in this file has been sent anywhere; send it to support yourself.\n\n";
    out += "Connected devices (" + std::to_string(devices.size()) + "):\n";
    for (const Json &d : devices)
        out += device_line(d) + "\n";
    if (devices.empty())
        out += "  none\n";
    out += "\nNewest update records (" + std::to_string(records.size()) + ", from " +
           (history.empty() ? std::string("nowhere") : history) + "):\n";
    for (const std::string &l : records)
        out += record_line(Json::parse(l, nullptr, false)) + "\n";
    if (!history_note.empty())
        out += "  (" + history_note + ")\n";
    out += "\nLast update's trace: ";
    out += trace_lines.empty()
               ? std::string("none") + "\n"
               : trace + ", " + std::to_string(trace_total) + " lines; the first and the last " +
                     std::to_string(trace_lines.size() - 1) + " below\n";

    Json about;
    about["report"] = 1;
    about["time"] = made;
    about["program"] = program;
    about["program_version"] = version;
    about["os"] = os;
    out += "\n-----BEGIN ABOUT-----\n" + about.dump() + "\n-----END ABOUT-----\n";
    out += "-----BEGIN DEVICES-----\n" + devices.dump() + "\n-----END DEVICES-----\n";
    out += "-----BEGIN HISTORY-----\n";
    for (const std::string &l : records)
        out += l + "\n";
    out += "-----END HISTORY-----\n";
    out += "-----BEGIN TRACE-----\n";
    for (const std::string &l : trace_lines)
        out += l + "\n";
    out += "-----END TRACE-----\n";
    return out;
}

int write(const std::string &path, const std::string &program, const std::string &version,
          std::string *problem)
{
    const std::string report = text(program, version);
    return qxfile_write_whole(path.c_str(), report.data(), report.size(), problem);
}

} // namespace updatereport
