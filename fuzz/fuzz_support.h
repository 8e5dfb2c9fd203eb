// Common set-up for the harnesses: no real sleeping, no output.
#pragma once

#include <cstddef>
#include <cstdint>

void fuzz_quiet(void);
