#pragma once

#include <string>
#include <string_view>

#include "common/error.hpp"

namespace quorin {

// Strict RFC 4648 URL-safe Base64 without padding: '=', foreign characters, a lone
// final character and non-zero spare bits are refused.
Result<std::string> decode_base64_url(std::string_view text);
std::string encode_base64_url(std::string_view bytes);

}  // namespace quorin
