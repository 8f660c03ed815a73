#pragma once

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

}  // namespace quorin::ctl
