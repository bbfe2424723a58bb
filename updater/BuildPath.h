#pragma once

#include <string>

// Joins the parts with "/": the first part, then for each further part up to
// the terminating null pointer the separator and the part. Nothing is
// collapsed, trimmed or added at the ends, and there is no length limit.
// BuildPath("a/", "b", nullptr) is "a//b".
std::string BuildPath(const char* first, ...) __attribute__((sentinel));
