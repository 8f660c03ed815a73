#pragma once

// What both JSON writers share: the bounded descriptor sink and the string escaping.
// json.cpp writes the library's values with them, json_document.cpp client documents.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/files.hpp"

namespace quorin {

enum class PrettyWrite { complete, too_large };

namespace json_output {

// Collects output in pieces of 64 KiB for one descriptor. Once the total would pass the
// bound, or a write has failed, nothing more is written and `stopped()` turns true.
class DescriptorSink {
public:
    DescriptorSink(int fd, size_t max_bytes) : fd_(fd), room_(max_bytes) {}

    void put(char c) {
        if (used_ == pending_.size()) flush();
        pending_[used_++] = c;
    }
    void put(std::string_view text) {
        while (!text.empty()) {
            if (used_ == pending_.size()) flush();
            size_t part = std::min(text.size(), pending_.size() - used_);
            std::memcpy(pending_.data() + used_, text.data(), part);
            used_ += part;
            text.remove_prefix(part);
        }
    }
    void indent(size_t blanks) {
        while (blanks > 0) {
            if (used_ == pending_.size()) flush();
            size_t part = std::min(blanks, pending_.size() - used_);
            std::memset(pending_.data() + used_, ' ', part);
            used_ += part;
            blanks -= part;
        }
    }
    bool stopped() const { return too_large_ || !result_; }
    Result<PrettyWrite> finish() {
        flush();
        if (!result_) return fail(result_.error());
        return too_large_ ? PrettyWrite::too_large : PrettyWrite::complete;
    }

private:
    void flush() {
        std::string_view piece(pending_.data(), used_);
        used_ = 0;
        if (stopped() || piece.empty()) return;
        if (piece.size() > room_) {
            too_large_ = true;
            return;
        }
        room_ -= piece.size();
        result_ = write_all(fd_, piece);
    }

    int fd_;
    size_t room_;
    std::array<char, 65536> pending_;
    size_t used_ = 0;
    bool too_large_ = false;
    Result<void> result_;
};

constexpr std::array<char, 16> HEX_DIGITS = {'0', '1', '2', '3', '4', '5', '6', '7',
                                             '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

// Appends to a string what a sink would write.
struct StringSink {
    std::string& text;
    void put(char c) { text.push_back(c); }
    void put(std::string_view part) { text.append(part); }
};

enum class Escaping { json, yaml_safe };

// The length of the character at `at` when a YAML reader would not read it back raw: it
// folds U+0085, U+2028 and U+2029 as line breaks and refuses U+007F, the C1 controls,
// U+FFFE and U+FFFF. 0 for any other character of the valid UTF-8 text.
inline size_t yaml_unsafe_length(std::string_view text, size_t at) {
    auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0; };
    const unsigned char c = byte(at);
    if (c == 0x7F) return 1;
    if (c == 0xC2 && byte(at + 1) <= 0x9F) return 2;
    if (c == 0xE2 && byte(at + 1) == 0x80 && (byte(at + 2) == 0xA8 || byte(at + 2) == 0xA9)) return 3;
    if (c == 0xEF && byte(at + 1) == 0xBF && byte(at + 2) >= 0xBE) return 3;
    return 0;
}

// A \u escape of a character of the Basic Multilingual Plane given as its UTF-8 bytes.
template <typename Sink>
void put_unicode_escape(Sink& sink, std::string_view character) {
    auto c = static_cast<unsigned char>(character[0]);
    char32_t code = c;
    if (character.size() > 1) code = c & (character.size() == 2 ? 0x1F : 0x0F);
    for (char continuation : character.substr(1))
        code = (code << 6) | (static_cast<unsigned char>(continuation) & 0x3F);
    sink.put("\\u");
    for (int shift = 12; shift >= 0; shift -= 4) sink.put(HEX_DIGITS[(code >> shift) & 0xF]);
}

// The bytes that can start a character put_quoted escapes: the controls, '"' and '\\',
// and for yaml_safe the first bytes of what yaml_unsafe_length finds (U+007F, C2 for
// the C1 controls and U+0085, E2 for U+2028 and U+2029, EF for U+FFFE and U+FFFF).
// Every other byte, continuation bytes included, is written as it is without a look.
template <Escaping escaping>
inline constexpr std::array<bool, 256> MAY_START_ESCAPE = [] {
    std::array<bool, 256> may{};
    for (unsigned c = 0; c < 0x20; ++c) may[c] = true;
    may['"'] = may['\\'] = true;
    if (escaping == Escaping::yaml_safe) may[0x7F] = may[0xC2] = may[0xE2] = may[0xEF] = true;
    return may;
}();

// Whether eight bytes are all printable ASCII other than '"', '\\' and U+007F, so that no
// escape can start among them. Exact for any word: once a byte has its high bit set, the
// last test holds whatever the carries, and without one no subtraction borrows across
// bytes.
inline bool is_plain_ascii_word(const char* bytes) {
    constexpr uint64_t ONES = 0x0101010101010101, HIGH = 0x8080808080808080;
    uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    auto has_zero = [&](uint64_t v) { return ((v - ONES) & ~v & HIGH) != 0; };
    if (((word | (word + ONES)) & HIGH) != 0) return false;  // a byte of 0x7F or above
    if (((word - ONES * 0x20) & ~word & HIGH) != 0) return false;  // a control
    return !has_zero(word ^ (ONES * '"')) && !has_zero(word ^ (ONES * '\\'));
}

// The library's escaping for valid UTF-8: the short escapes, \u00XX for the other
// controls, everything else raw. yaml_safe also escapes what yaml_unsafe_length finds,
// for a file that a YAML reader reads.
template <Escaping escaping = Escaping::json, typename Sink>
void put_quoted(Sink& sink, std::string_view text) {
    sink.put('"');
    const std::array<bool, 256>& may_start_escape = MAY_START_ESCAPE<escaping>;
    size_t plain = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        while (i + 8 <= text.size() && is_plain_ascii_word(text.data() + i)) i += 8;
        if (i == text.size()) break;
        auto c = static_cast<unsigned char>(text[i]);
        if (!may_start_escape[c]) continue;
        if (c >= 0x20 && c != '"' && c != '\\') {
            const size_t length = escaping == Escaping::yaml_safe && c >= 0x7F ? yaml_unsafe_length(text, i) : 0;
            if (length == 0) continue;
            sink.put(text.substr(plain, i - plain));
            put_unicode_escape(sink, text.substr(i, length));
            i += length - 1;
            plain = i + 1;
            continue;
        }
        sink.put(text.substr(plain, i - plain));
        plain = i + 1;
        switch (c) {
            case '"':
                sink.put("\\\"");
                break;
            case '\\':
                sink.put("\\\\");
                break;
            case '\b':
                sink.put("\\b");
                break;
            case '\f':
                sink.put("\\f");
                break;
            case '\n':
                sink.put("\\n");
                break;
            case '\r':
                sink.put("\\r");
                break;
            case '\t':
                sink.put("\\t");
                break;
            default:
                put_unicode_escape(sink, text.substr(i, 1));
        }
    }
    sink.put(text.substr(plain));
    sink.put('"');
}

}  // namespace json_output
}  // namespace quorin
