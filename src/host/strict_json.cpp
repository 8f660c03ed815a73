#include "host/strict_json.hpp"

#include <string>

namespace quorin::host_detail {

Result<Json> parse_strict_json(std::string_view text, std::size_t max_depth) {
    if (text.starts_with("\xEF\xBB\xBF"))
        return fail("parse error at byte 1: a byte order mark is not JSON white space");
    if (auto nul = text.find('\0'); nul != std::string_view::npos)
        return fail("parse error at byte " + std::to_string(nul + 1) + ": a NUL byte is not JSON");
    return parse_json(text, max_depth);
}

}  // namespace quorin::host_detail
