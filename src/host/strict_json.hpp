#pragma once

#include <cstddef>
#include <string_view>

#include "common/error.hpp"
#include "common/json.hpp"

namespace quorin::host_detail {

// parse_json, with two inputs refused that the JSON library lets through although they
// are not JSON: a leading UTF-8 byte order mark (which the library skips) and a NUL byte
// anywhere (which the library takes for the end of the input, ignoring what follows).
Result<Json> parse_strict_json(std::string_view text, std::size_t max_depth);

}  // namespace quorin::host_detail
