#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/json_output.hpp"

namespace quorin {

// The library's value: documents the helper builds itself (sing-box), stored manifests,
// replies. Client input goes to JsonDocument (common/json_document.hpp).
using Json = nlohmann::json;

// Parses exactly one JSON value (white space around it allowed). Arrays and objects may
// nest at most `max_depth` levels; a key repeated in an object keeps its last value.
// Library exceptions never leave this function.
Result<Json> parse_json(std::string_view text, size_t max_depth);

// The library's message without its leading "[json.exception.NAME.N] ": the rest says
// what is wrong, the prefix only names the library's internals, and these texts reach
// replies and the journal.
std::string library_message(const std::exception& ex);

// Compact form, for reply lines.
std::string dump_compact(const Json& value);
// Two blanks of indentation, members in ascending byte order, no final line feed.
std::string dump_pretty(const Json& value);
// Writes the pretty form and one line feed to `fd` as it is produced: the indented text
// of a deeply nested document can be a hundred times its parsed size, so it is never
// held whole. Stops before the output would pass `max_bytes` (too_large; at most
// `max_bytes` have been written then). The error is the first failed write's.
Result<PrettyWrite> write_pretty(int fd, const Json& value, size_t max_bytes);
// A JSON string literal with RFC 8259 escaping; non-ASCII stays raw UTF-8.
std::string json_quote(std::string_view text);
// The same literal appended to `out`.
void append_json_quote(std::string& out, std::string_view text);

}  // namespace quorin
