#include "jsonout.h"

#include "console.h"
#include "qxsys.h"
#include "qxtool.h"

std::string json_text(const Json &j)
{
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void json_line(const Json &j)
{
    console_text(json_text(j));
}

const char *json_result_name(int status)
{
    switch (status) {
    case QXTOOL_OK:
        return "ok";
    case QXTOOL_FAILED:
        return "failed";
    case QXTOOL_USAGE:
        return "usage";
    case QXTOOL_REFUSED:
        return "refused";
    case QXTOOL_NO_DEVICE:
        return "no device";
    case QXTOOL_BAD_FILE:
        return "bad image";
    case QXTOOL_BUSY:
        return "busy";
    }
    return "failed";
}

namespace
{

const char *operation_name(int op)
{
    switch (op) {
    case QXOP_INFO:
        return "info request";
    case QXOP_CHECKSUM:
        return "checksum query";
    case QXOP_TRANSFER:
        return "firmware transfer";
    }
    return "";
}

const char *how_name(int how)
{
    switch (how) {
    case QXFAIL_CALL:
        return "call failed";
    case QXFAIL_NOT_READY:
        return "never ready";
    case QXFAIL_NO_ANSWER:
        return "no answer";
    case QXFAIL_NO_PROGRESS:
        return "no progress";
    case QXFAIL_NOT_CONFIRMED:
        return "not confirmed";
    }
    return "request not made";
}

} // namespace

namespace
{
bool g_json_wanted = false;
}

void json_set_wanted(bool wanted)
{
    g_json_wanted = wanted;
}

bool json_wanted()
{
    return g_json_wanted;
}

int json_usage_error(const std::string &text, bool prefixed)
{
    if (prefixed)
        console_problem(text);
    else
        console_error(text);
    if (g_json_wanted)
        json_line(json_failure(QXTOOL_USAGE, text));
    return QXTOOL_USAGE;
}

Json json_holder(const QxLockHolder &holder)
{
    Json h;
    h["program"] = holder.program;
    h["pid"] = holder.pid;
    return h;
}

Json json_cause(const updaterules::FailureCause &cause)
{
    Json j;
    j["text"] = cause.text;
    if (cause.has_holder)
        j["holder"] = json_holder(cause.holder);
    if (!cause.has_record)
        return j;
    const QxFailure &f = cause.record;
    j["operation"] = operation_name(f.op);
    j["how"] = how_name(f.how);
    if (f.source)
        j["site"] = std::string(f.source) + ":" + std::to_string(f.line);
    if (f.error) {
        j["error"] = f.error;
        char text[256];
        if (usbdevs_error_text(f.error, text, sizeof text) == 0)
            j["error_text"] = text;
    }
    if (f.op == QXOP_TRANSFER)
        j["position"] = f.position;
    if (f.op == QXOP_TRANSFER || f.op == QXOP_CHECKSUM)
        j["length"] = f.length;
    if (f.attempts) {
        j["attempt"] = f.attempt;
        j["attempts"] = f.attempts;
    }
    return j;
}

Json json_failure(int status, const std::string &text, const updaterules::FailureCause *cause)
{
    Json j;
    j["result"] = json_result_name(status);
    j["status"] = status;
    j["error"] = text;
    if (cause && !cause->text.empty())
        j["cause"] = json_cause(*cause);
    return j;
}
