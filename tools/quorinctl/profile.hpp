#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace quorin::ctl {

// JSON text of a YAML document. Plain scalars are read by the YAML 1.2 core schema
// (null, booleans, decimal/octal/hexadecimal integers, floats); quoted scalars and
// scalars tagged !!str are strings; other tags are ignored. Aliases are expanded,
// merge keys (<<) applied, keys taken as their text. A value JSON cannot hold
// (.inf, .nan, a key that is a collection or null) is refused, naming the place.
Result<std::string> yaml_to_json(std::string_view yaml);

// The JSON text to send for a profile named `name` with this content: a .json file
// as it is (after checking it parses), a .yaml or .yml file converted, anything else
// as JSON when it parses as JSON and as YAML otherwise.
Result<std::string> profile_json(std::string_view name, std::string_view content);

// Whether the profile's JSON text is an object without a `secret` member: Mihomo's API
// would then answer any local program and any web page the user opens.
bool lacks_api_secret(std::string_view json);
// For such a profile, its text with "secret" added as the last member and the rest byte
// for byte; for any other, none (it goes as it is, and the helper judges it).
std::optional<std::string> with_api_secret(std::string_view json, std::string_view secret);
// 256 bits from the kernel's generator as 64 lower-case hexadecimal digits, which JSON,
// URLs and HTTP headers carry as they are.
Result<std::string> generate_api_secret();

}  // namespace quorin::ctl
