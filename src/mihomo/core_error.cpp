#include "mihomo/core_error.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "common/text.hpp"

namespace quorin {

namespace {

constexpr std::string_view NO_DETAIL = "ядро не сообщило подробности ошибки";

// Lines end at a line feed, which takes a carriage return just before it along. A last
// line without a line feed counts; nothing after the final line feed does.
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            lines.push_back(text);
            break;
        }
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line);
        text.remove_prefix(end + 1);
    }
    return lines;
}

bool is_marked(std::string_view line) {
    return line.find("level=error") != std::string_view::npos || line.find("level=fatal") != std::string_view::npos;
}

bool is_blank(std::string_view line) { return trim_white_space(line).empty(); }

std::optional<std::string_view> choose_line(const std::vector<std::string_view>& out,
                                            const std::vector<std::string_view>& err) {
    if (auto marked = std::ranges::find_if(out, is_marked); marked != out.end()) return *marked;
    if (auto marked = std::ranges::find_if(err, is_marked); marked != err.end()) return *marked;
    if (auto first = std::ranges::find_if_not(err, is_blank); first != err.end()) return *first;
    if (auto last = std::ranges::find_if_not(out.rbegin(), out.rend(), is_blank); last != out.rend()) return *last;
    return std::nullopt;
}

}  // namespace

std::string extract_core_error(std::string_view out, std::string_view err) {
    std::string out_text = lossy_utf8(out);
    std::string err_text = lossy_utf8(err);
    auto detail = choose_line(split_lines(out_text), split_lines(err_text));
    if (!detail) return std::string(NO_DETAIL);
    return std::string(first_chars(*detail, CORE_ERROR_MAX_CHARS));
}

}  // namespace quorin
