// The JSON shapes that the history's records and qxtool's output share; a
// header apart so that the window's code does not take in the JSON library.
#pragma once

#include <nlohmann/json.hpp>

#include "updaterules.h"

namespace updatehistory
{

// {product, version, version_text, build}: an identity as the records and
// qxtool's JSON give it.
nlohmann::ordered_json identity_json(const updaterules::Identity &id);

} // namespace updatehistory
