#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace quorin {

// Processes whose traffic goes around the tunnel: at most 1024 entries, each 1 to 4096
// bytes, trimmed, with forward slashes only, no NUL, sorted by bytes, no duplicates.
using BypassList = std::vector<std::string>;

// Decodes the Base64 word of a tun-up request into a normalised list.
Result<BypassList> decode_bypass_list(std::string_view word);
Result<BypassList> normalize_bypass_list(std::vector<std::string> entries);

}  // namespace quorin
