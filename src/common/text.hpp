#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace quorin {

// Strict decimal: an optional single '+', then ASCII digits only, within range. The
// error texts are "cannot parse integer from empty string", "invalid digit found in
// string" and "number too large to fit in target type".
Result<uint32_t> parse_u32(std::string_view text);
Result<uint16_t> parse_u16(std::string_view text);

bool is_valid_utf8(std::string_view bytes);
// Replaces each maximal invalid UTF-8 subsequence with U+FFFD.
std::string lossy_utf8(std::string_view bytes);
// The first `limit` Unicode scalar values of valid UTF-8 text.
std::string_view first_chars(std::string_view text, size_t limit);

// The most characters of a core's own text that a reply carries: a core under a
// hostile configuration may write megabytes, and every reply must stay small.
inline constexpr size_t CORE_ERROR_MAX_CHARS = 2000;

// Unicode White_Space; the text must be valid UTF-8.
bool is_white_space(char32_t c);
std::string_view trim_white_space(std::string_view text);
std::string_view trim_white_space_end(std::string_view text);
// Splits at runs of white space; empty pieces are dropped. The pieces refer into `text`.
// Stops after the first `max_words` pieces.
std::vector<std::string_view> split_white_space(std::string_view text, size_t max_words = SIZE_MAX);

bool is_ascii_alnum(char c);
// 1 to 15 bytes, each an ASCII letter, digit, '-' or '_'.
bool is_interface_name(std::string_view name);

}  // namespace quorin
