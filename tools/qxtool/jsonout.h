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

// The control channel's record and its sentence.
Json json_cause(const updaterules::FailureCause &cause);

// {"result": ..., "status": ..., "error": text, "cause": ...}; the cause
// only when there is one.
Json json_failure(int status, const std::string &text,
                  const updaterules::FailureCause *cause = nullptr);
