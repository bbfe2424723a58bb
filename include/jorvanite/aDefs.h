#pragma once
// Module model numbers and their names. No state; any thread may call.

#include <cstdint>

// The model's name ("Corvel" for 4), or "Unknown" for a number that names
// no model. Static text; never null.
const char* aDefs_GetModelName(uint32_t model);
