#include "host/bypass.hpp"

#include <algorithm>
#include <utility>

#include "common/base64.hpp"
#include "common/json_document.hpp"
#include "common/text.hpp"

namespace quorin {

namespace {

constexpr size_t MAX_BYPASS_ENTRIES = 1024;
constexpr size_t MAX_BYPASS_ENTRY_BYTES = 4096;
// An array of strings needs one level; anything deeper is refused as the wrong type
// anyway, so the bound only keeps hostile input cheap.
constexpr size_t BYPASS_MAX_DEPTH = 64;

constexpr const char* CORRUPT_WORD = "повреждён список процессов обхода";
constexpr const char* BAD_LIST = "некорректный список процессов обхода";
constexpr const char* TOO_MANY = "слишком много процессов обхода";
constexpr const char* BAD_ENTRY = "некорректный процесс обхода";

// Exactly one JSON array of strings, white space around it allowed.
Result<void> check_string_array(JsonView list) {
    if (!list.is_array()) return fail(std::string("type must be array, but is ") + list.type_name());
    for (JsonView entry : list.children()) {
        if (!entry.is_string()) return fail(std::string("type must be string, but is ") + entry.type_name());
    }
    return {};
}

}  // namespace

Result<BypassList> decode_bypass_list(std::string_view word) {
    auto bytes = decode_base64_url(word);
    if (!bytes) return fail(CORRUPT_WORD, bytes.error());
    auto document = JsonDocument::parse(std::move(*bytes), BYPASS_MAX_DEPTH);
    if (!document) return fail(BAD_LIST, document.error());
    JsonView list = document->root();
    if (auto typed = check_string_array(list); !typed) return fail(BAD_LIST, typed.error());
    // Too long a list is refused before its strings are copied.
    if (list.size() > MAX_BYPASS_ENTRIES) return fail(TOO_MANY);
    std::vector<std::string> entries;
    entries.reserve(list.size());
    for (JsonView entry : list.children()) entries.emplace_back(entry.text());
    return normalize_bypass_list(std::move(entries));
}

Result<BypassList> normalize_bypass_list(std::vector<std::string> entries) {
    if (entries.size() > MAX_BYPASS_ENTRIES) return fail(TOO_MANY);
    for (std::string& entry : entries) {
        // Texts are UTF-8; a caller's bytes that are not cannot be trimmed by characters.
        if (!is_valid_utf8(entry)) return fail(BAD_ENTRY);
        std::string cleaned(trim_white_space(entry));
        std::replace(cleaned.begin(), cleaned.end(), '\\', '/');
        if (cleaned.empty() || cleaned.size() > MAX_BYPASS_ENTRY_BYTES || cleaned.find('\0') != std::string::npos)
            return fail(BAD_ENTRY);
        entry = std::move(cleaned);
    }
    // std::string compares with char_traits<char>, which orders bytes as unsigned values
    // and puts a proper prefix first.
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    return entries;
}

}  // namespace quorin
