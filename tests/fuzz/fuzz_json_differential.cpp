// The same bytes through the library's parser and pretty form and through JsonDocument
// and its writer: both must accept or refuse alike, at both nesting bounds the helper
// uses, and write the same bytes, numbers aside and the characters a YAML reader would
// not read back raw, which the document's writer escapes. A number is written as given by the
// document; the library writes integers of up to 64 bits the same way (but "-0" as "0")
// and every other number as the nearest double.

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "common/files.hpp"
#include "common/json.hpp"
#include "common/json_document.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace quorin;

bool is_number_byte(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

double value_of(const std::string& token) { return std::strtod(token.c_str(), nullptr); }

bool is_integer_token(std::string_view token) { return token.find_first_of(".eE") == std::string_view::npos; }

void require_same_number(const std::string& old_token, const std::string& new_token) {
    if (is_integer_token(new_token) && is_integer_token(old_token)) {
        fuzz::require(old_token == new_token || (new_token == "-0" && old_token == "0"),
                      "64-bit integers are written alike");
        return;
    }
    fuzz::require(!is_integer_token(old_token), "the library wrote a double for this number");
    fuzz::require(value_of(old_token) == value_of(new_token), "other numbers keep their value");
}

// The character that begins at `at` in valid UTF-8, and its length.
std::pair<char32_t, size_t> character_at(std::string_view text, size_t at) {
    auto c = static_cast<unsigned char>(text[at]);
    const size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t code = length == 1 ? c : c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
    return {code, length};
}

// What a YAML reader folds into a line break or refuses when it stands raw.
bool yaml_reads_otherwise(char32_t c) {
    return (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0xFFFE || c == 0xFFFF;
}

// Walks both pretty forms together; strings and structure byte for byte.
void require_same_output(const std::string& old_form, const std::string& new_form) {
    size_t i = 0;
    size_t j = 0;
    bool in_string = false;
    while (i < old_form.size() && j < new_form.size()) {
        const char c = old_form[i];
        if (!in_string && (c == '-' || (c >= '0' && c <= '9'))) {
            size_t old_end = i;
            size_t new_end = j;
            while (old_end < old_form.size() && is_number_byte(old_form[old_end])) ++old_end;
            while (new_end < new_form.size() && is_number_byte(new_form[new_end])) ++new_end;
            require_same_number(old_form.substr(i, old_end - i), new_form.substr(j, new_end - j));
            i = old_end;
            j = new_end;
            continue;
        }
        if (in_string && static_cast<unsigned char>(c) >= 0x7F) {
            auto [code, length] = character_at(old_form, i);
            std::string expected = old_form.substr(i, length);
            if (yaml_reads_otherwise(code)) {
                expected = "\\u0000";
                for (size_t k = 0; k < 4; ++k) expected[5 - k] = "0123456789abcdef"[(code >> (4 * k)) & 0xF];
            }
            fuzz::require(new_form.compare(j, expected.size(), expected) == 0,
                          "the same characters, those a YAML reader would not read back raw escaped");
            i += length;
            j += expected.size();
            continue;
        }
        fuzz::require(c == new_form[j], "the same bytes outside numbers");
        if (in_string && c == '\\') {
            fuzz::require(i + 1 < old_form.size() && j + 1 < new_form.size() && old_form[i + 1] == new_form[j + 1],
                          "the same escapes");
            i += 2;
            j += 2;
            continue;
        }
        if (c == '"') in_string = !in_string;
        ++i;
        ++j;
    }
    fuzz::require(i == old_form.size() && j == new_form.size(), "both forms end together");
}

std::string written(const JsonDocument& document) {
    int fd = memfd_create("written", MFD_CLOEXEC);
    fuzz::require(fd >= 0, "memfd_create works");
    auto result = write_pretty(fd, document, SIZE_MAX);
    fuzz::require(result.has_value() && *result == PrettyWrite::complete, "the document is written");
    auto text = read_file("/proc/self/fd/" + std::to_string(fd));
    close(fd);
    fuzz::require(text.has_value(), "the written form reads back");
    return *text;
}

void compare(std::string_view input, size_t max_depth) {
    auto old_value = parse_json(input, max_depth);
    auto document = JsonDocument::parse(std::string(input), max_depth);
    fuzz::require(old_value.has_value() == document.has_value(), "both accept or both refuse");
    if (!old_value || !document->check_written_keys()) return;  // a key too long for a YAML reader
    require_same_output(dump_pretty(*old_value) + "\n", written(*document));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input = fuzz::as_text(data, size);
    compare(input, 127);
    compare(input, 1);
    return 0;
}
