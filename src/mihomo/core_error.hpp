#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/text.hpp"

namespace quorin {

// Picks the one line of a failed core run that best explains the failure: the first
// line marked "level=error" or "level=fatal" (standard output before standard error),
// else the first non-blank line of standard error, else the last non-blank line of
// standard output. Invalid UTF-8 is replaced; the result has at most 2000 characters.
std::string extract_core_error(std::string_view out, std::string_view err);

}  // namespace quorin
