// qxtool's --json answers: one object a line on standard output. A failure
// is answered with an object too, so that a caller never has to read the
// texts on standard error.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "updaterules.h"

using Json = nlohmann::ordered_json;

// One line; device texts are bytes, and invalid UTF-8 is shown replaced.
std::string json_text(const Json &j);
void json_line(const Json &j);

// "failed", "usage", "refused", "no device", "bad image", "busy"; "ok" for 0.
const char *json_result_name(int status);

// The vocabulary is written down in schemas/qxtool.schema.json: a field
// added or renamed here is added or renamed there.

// Set when --json appears on the command line, before it is parsed: a
// usage error is then answered with an object too.
void json_set_wanted(bool wanted);
bool json_wanted();
// A bad command line: the text on standard error ("qxtool: " and text, or
// as given when it is a whole message), and with --json the failure object
// ("usage", status 2). Returns the status.
int json_usage_error(const std::string &text, bool prefixed = true);

// A lock's holder: {"program": ..., "pid": ...}, wherever one is named.
Json json_holder(const QxLockHolder &holder);

// The control channel's record and its sentence.
Json json_cause(const updaterules::FailureCause &cause);

// {"result": ..., "status": ..., "error": text, "cause": ...}; the cause
// only when there is one.
Json json_failure(int status, const std::string &text,
                  const updaterules::FailureCause *cause = nullptr);
