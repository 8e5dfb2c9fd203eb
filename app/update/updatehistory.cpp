#include "updatehistory.h"
#include "updatejson.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include <nlohmann/json.hpp>

#include "qxfile.h"
#include "qxsys.h"
#include "qxtrace.h"

using Json = nlohmann::ordered_json;

namespace updatehistory
{

namespace
{

// The attempt whose diagnostic lines are kept, and the sink they go on to.
std::mutex g_tee_lock;
Attempt *g_tee_attempt = nullptr;
QxOutFn g_tee_next = nullptr;
void *g_tee_next_ctx = nullptr;

void tee(void *, const char *text, size_t len)
{
    QxOutFn next;
    void *next_ctx;
    {
        std::lock_guard<std::mutex> hold(g_tee_lock);
        if (g_tee_attempt) {
            std::string &kept = g_tee_attempt->diagnostics;
            kept.append(text, len);
            // The newest lines: a run that fails late says most at its end.
            if (kept.size() > QXHISTORY_MAX_DIAGNOSTICS) {
                size_t cut = kept.size() - QXHISTORY_MAX_DIAGNOSTICS;
                size_t nl = kept.find('\n', cut);
                kept.erase(0, nl == std::string::npos ? cut : nl + 1);
            }
        }
        next = g_tee_next;
        next_ctx = g_tee_next_ctx;
    }
    if (next) {
        next(next_ctx, text, len);
    } else {
        fwrite(text, 1, len, stdout);
        fflush(stdout);
    }
}

void stop_keeping(Attempt *a)
{
    if (!a->recording)
        return;
    a->recording = false;
    QxOutFn next;
    void *next_ctx;
    {
        std::lock_guard<std::mutex> hold(g_tee_lock);
        if (g_tee_attempt != a)
            return;
        g_tee_attempt = nullptr;
        next = g_tee_next;
        next_ctx = g_tee_next_ctx;
    }
    qx_set_output(next, next_ctx);
}

double seconds_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(at));
            break;
        }
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return lines;
}

bool is_record(const std::string &line)
{
    Json j = Json::parse(line, nullptr, false);
    return j.is_object() && j.value("record", "") == "update";
}

int read_all(const std::string &path, std::string *text, std::string *problem)
{
    text->clear();
    int err = 0;
    int kind = qxfile_kind(path.c_str(), &err);
    if (kind == QXFILE_ABSENT)
        return err == ENOENT ? 0 : (*problem = strerror(err), 1);
    if (kind != QXFILE_REGULAR) {
        *problem = std::string(qxfile_kind_text(kind)) + ", not a regular file";
        return 1;
    }
    FILE *f = qx_fopen(path.c_str(), "rb");
    if (!f) {
        *problem = strerror(errno);
        return 1;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text->append(buf, n);
    int bad = ferror(f);
    fclose(f);
    if (bad) {
        *problem = strerror(EIO);
        return 1;
    }
    return 0;
}

} // namespace

Json identity_json(const updaterules::Identity &id)
{
    Json j;
    j["product"] = id.product;
    j["version"] = id.version;
    j["version_text"] = updaterules::version_text(id.version);
    j["build"] = id.build;
    return j;
}

std::string utc_text(std::chrono::system_clock::time_point tp)
{
    std::time_t t = std::chrono::system_clock::to_time_t(tp);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

void begin(Attempt *a, const std::string &program, const std::string &version)
{
    *a = Attempt();
    a->program = program;
    a->program_version = version;
    a->started = std::chrono::system_clock::now();
    a->stage_started = std::chrono::steady_clock::now();
    // The last update's trace, when nobody records one; what cannot be
    // recorded is simply not kept.
    const std::string trace = last_trace_path();
    std::string problem;
    size_t slash = trace.find_last_of("/\\");
    if (!trace.empty() && !qxtrace_active() && slash != std::string::npos &&
        platform_make_dirs(trace.substr(0, slash), &problem) == 0) {
        qxtrace_set_limit(QXHISTORY_MAX_TRACE_BYTES);
        a->tracing = qxtrace_start(trace.c_str()) == 0;
        if (!a->tracing)
            qxtrace_set_limit(0);
    }
    QxOutFn next;
    void *next_ctx;
    qx_get_output(&next, &next_ctx);
    {
        std::lock_guard<std::mutex> hold(g_tee_lock);
        // One attempt at a time keeps the lines; a second only records.
        if (g_tee_attempt == a) {
            a->recording = true;
            return;
        }
        if (g_tee_attempt)
            return;
        g_tee_attempt = a;
        g_tee_next = next == tee ? nullptr : next;
        g_tee_next_ctx = next_ctx;
    }
    a->recording = true;
    qx_set_output(tee, nullptr);
}

void set_image(Attempt *a, const uint8_t *image, uint32_t size, const std::string &name,
               bool builtin)
{
    a->image = name;
    a->builtin = builtin;
    a->image_size = size;
    if (!image || size < PRG_HEADER_SIZE)
        return;
    PrgHeader hdr;
    prg_copy_header(&hdr, image);
    char product[16] = {};
    prg_get_product(&hdr, product, sizeof product);
    a->has_image = true;
    a->image_identity.product = product;
    a->image_identity.version = prg_get_version(&hdr);
    a->image_identity.build = prg_get_build(&hdr);
    a->image_checksum = prg_get_checksum(&hdr);
}

void set_device(Attempt *a, const UpdateContext &ctx, const updaterules::Identity &device,
                const std::string &id)
{
    a->has_device = true;
    a->device = device;
    a->device_id = id;
    char path[USBDEVS_PATH_UNITS * 3 + 1] = {};
    if (ctx.is_open())
        usbdevs_path_to_utf8(path, sizeof path, ctx.ctl.devices[0].path);
    a->device_path = path;
}

void stage(Attempt *a, const std::string &name)
{
    auto now = std::chrono::steady_clock::now();
    if (!a->stage.empty())
        a->stages.emplace_back(a->stage,
                               std::chrono::duration<double>(now - a->stage_started).count());
    a->stage = name;
    a->stage_started = now;
}

const char *device_state(updaterules::UpdateResult, const updaterules::FailureCause &cause)
{
    // The update rules know what the device holds after any end.
    return updaterules::device_state_name(cause.device_state);
}

updaterules::UpdateResult run_recorded(Attempt *a, UpdateContext *ctx, const uint8_t *image,
                                       uint32_t size, QxProgress *progress,
                                       const updaterules::UpdateReport &report,
                                       updaterules::FailureCause *cause, std::string *problem)
{
    updaterules::UpdateReport timed = report;
    timed.stage = [a, &report](updaterules::Stage s, const std::string &text) {
        if (s == updaterules::Stage::Sending || s == updaterules::Stage::Retrying)
            a->attempts++;
        stage(a, updaterules::stage_name(s));
        if (report.stage)
            report.stage(s, text);
    };
    updaterules::FailureCause own;
    if (!cause)
        cause = &own;
    updaterules::UpdateResult r = updaterules::run_update(ctx, image, size, progress, timed, cause);
    const char *outcome = r == updaterules::UpdateResult::Completed ? "completed"
                          : r == updaterules::UpdateResult::Stopped ? "stopped"
                                                                    : "failed";
    std::string p;
    finish(a, outcome, updaterules::error_text(r), cause->text, device_state(r, *cause), &p);
    if (problem)
        *problem = p;
    return r;
}

std::string record_line(const Attempt &a, const std::string &outcome, const std::string &error,
                        const std::string &cause, const std::string &state)
{
    Json j;
    j["record"] = "update";
    j["time"] = utc_text(a.started);
    j["program"] = a.program;
    j["program_version"] = a.program_version;
    j["os"] = platform_os();
    if (a.has_device) {
        Json d;
        d["id"] = a.device_id;
        d["path"] = a.device_path;
        d.update(identity_json(a.device));
        j["device"] = d;
    } else {
        j["device"] = nullptr;
    }
    Json img;
    img["name"] = a.image;
    img["builtin"] = a.builtin;
    if (a.has_image) {
        img.update(identity_json(a.image_identity));
        img["size"] = a.image_size;
        img["checksum"] = a.image_checksum;
    }
    j["image"] = a.image.empty() && !a.has_image ? Json(nullptr) : img;
    j["outcome"] = outcome;
    j["error"] = error;
    j["cause"] = cause;
    j["device_state"] = state;
    j["attempts"] = a.attempts;
    Json stages = Json::array();
    for (const auto &s : a.stages)
        stages.push_back({{"stage", s.first}, {"seconds", s.second}});
    j["stages"] = stages;
    Json lines = Json::array();
    for (const std::string &l : split_lines(a.diagnostics))
        lines.push_back(l);
    j["diagnostics"] = lines;
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

int finish(Attempt *a, const std::string &outcome, const std::string &error,
           const std::string &cause, const std::string &state, std::string *problem)
{
    if (a->finished)
        return 0;
    stop_keeping(a);
    a->finished = true;
    if (a->tracing) {
        qxtrace_stop();
        qxtrace_set_limit(0);
        a->tracing = false;
    }
    if (!a->stage.empty()) {
        a->stages.emplace_back(a->stage, seconds_since(a->stage_started));
        a->stage.clear();
    }
    std::string path = history_path();
    if (path.empty()) {
        *problem =
            "no folder for the history (neither " QXHISTORY_STATE_ENV " nor a home folder is set)";
        return 1;
    }
    return append_line(path, record_line(*a, outcome, error, cause, state), problem);
}

std::string state_dir()
{
    const char *own = getenv(QXHISTORY_STATE_ENV);
    if (own && *own)
        return own;
    std::string base = platform_state_base();
    if (base.empty())
        return "";
    return base + "/qxupdater";
}

std::string history_path()
{
    std::string dir = state_dir();
    return dir.empty() ? "" : dir + "/history.jsonl";
}

std::string last_trace_path()
{
    std::string dir = state_dir();
    return dir.empty() ? "" : dir + "/last-update.trace.jsonl";
}

int append_line(const std::string &path, const std::string &line, std::string *problem)
{
    size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos && platform_make_dirs(path.substr(0, slash), problem))
        return 1;
    int err = 0;
    int kind = qxfile_kind(path.c_str(), &err);
    if (kind != QXFILE_ABSENT && kind != QXFILE_REGULAR) {
        *problem = path + ": " + qxfile_kind_text(kind) + ", not a regular file";
        return 1;
    }
    intptr_t lock = platform_lock(path + ".lock", problem);
    if (lock == -1)
        return 1;
    int rc = 0;
    // Only its size and last byte are looked at, unless it is to be trimmed.
    FILE *f = qx_fopen(path.c_str(), "ab+");
    long size = -1;
    int last = '\n';
    if (f && fseek(f, 0, SEEK_END) == 0 && (size = ftell(f)) > 0 && fseek(f, -1, SEEK_END) == 0)
        last = fgetc(f);
    if (!f || size < 0) {
        *problem = path + ": " + strerror(errno);
        rc = 1;
    } else if ((uint64_t)size + line.size() + 2 > QXHISTORY_MAX_BYTES) {
        fclose(f);
        f = nullptr;
        // The newest whole records within three quarters of the bound, and
        // this one: written beside and renamed, under the lock.
        std::string text;
        rc = read_all(path, &text, problem);
        std::vector<std::string> lines = split_lines(text);
        std::string kept = line + "\n";
        for (size_t i = lines.size(); rc == 0 && i-- > 0;) {
            if (!is_record(lines[i]))
                continue;
            if (kept.size() + lines[i].size() + 1 > QXHISTORY_MAX_BYTES / 4 * 3)
                break;
            kept.insert(0, lines[i] + "\n");
        }
        if (rc == 0)
            rc = qxfile_write_whole(path.c_str(), kept.data(), kept.size(), problem);
    } else {
        // A line cut by a crash ends here, so this record stands alone.
        std::string out = (size > 0 && last != '\n' ? "\n" : "") + line + "\n";
        fseek(f, 0, SEEK_END);
        if (fwrite(out.data(), 1, out.size(), f) != out.size() || fflush(f) != 0) {
            *problem = path + ": " + strerror(errno);
            rc = 1;
        }
    }
    if (f && fclose(f) != 0 && rc == 0) {
        *problem = path + ": " + strerror(errno);
        rc = 1;
    }
    platform_unlock(lock);
    return rc;
}

int read_records(const std::string &path, std::vector<std::string> *lines, std::string *problem)
{
    lines->clear();
    std::string text;
    if (read_all(path, &text, problem))
        return 1;
    for (const std::string &l : split_lines(text))
        if (is_record(l))
            lines->push_back(l);
    return 0;
}

} // namespace updatehistory
