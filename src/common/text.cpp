#include "common/text.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace quorin {

namespace {

template <class T>
Result<T> parse_unsigned(std::string_view text) {
    if (text.empty()) return fail("cannot parse integer from empty string");
    std::string_view digits = text;
    if (digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return fail("invalid digit found in string");
    T value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return fail("invalid digit found in string");
        T digit = static_cast<T>(c - '0');
        if (value > (std::numeric_limits<T>::max() - digit) / 10) return fail("number too large to fit in target type");
        value = static_cast<T>(value * 10 + digit);
    }
    return value;
}

constexpr uint64_t EVERY_BYTE = 0x0101010101010101ull;
constexpr uint64_t HIGH_BITS = 0x8080808080808080ull;

uint64_t load8(const char* bytes) {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Requests are mostly long runs of ASCII word characters; these tests take eight
// bytes at a time.
bool all_ascii(uint64_t word) { return (word & HIGH_BITS) == 0; }
// No byte outside ASCII and none at or below the blank, so no white space either.
bool all_ascii_graphic(uint64_t word) { return (((word - EVERY_BYTE * 0x21) | word) & HIGH_BITS) == 0; }

bool is_ascii_white_space(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || c == 0x20; }

// Every white space character outside ASCII is encoded with one of these lead bytes
// (U+0085 and U+00A0; U+1680; U+2000 to U+205F; U+3000).
bool may_lead_white_space(unsigned char lead) { return lead == 0xC2 || (lead >= 0xE1 && lead <= 0xE3); }

size_t sequence_length(unsigned char lead) { return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2; }

// Decodes one scalar value of valid UTF-8 at `pos`, advancing it.
char32_t next_char(std::string_view text, size_t& pos) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(pos);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t c = lead & (0x7F >> length);
    for (size_t i = 1; i < length && pos + i < text.size(); ++i) c = (c << 6) | (byte(pos + i) & 0x3F);
    pos += length;
    return c;
}

// Length of the valid sequence at `pos`, or 0 with `bad` set to the length of the
// maximal subpart that must be replaced.
size_t valid_sequence(std::string_view bytes, size_t pos, size_t& bad) {
    auto at = [&](size_t i) -> int { return pos + i < bytes.size() ? static_cast<unsigned char>(bytes[pos + i]) : -1; };
    int lead = at(0);
    if (lead < 0x80) return 1;
    size_t length = 0;
    int low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        bad = 1;
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        int c = at(i);
        int lo = i == 1 ? low : 0x80, hi = i == 1 ? high : 0xBF;
        if (c < lo || c > hi) {
            bad = i;
            return 0;
        }
    }
    return length;
}

}  // namespace

Result<uint32_t> parse_u32(std::string_view text) { return parse_unsigned<uint32_t>(text); }
Result<uint16_t> parse_u16(std::string_view text) { return parse_unsigned<uint16_t>(text); }

bool is_valid_utf8(std::string_view bytes) {
    for (size_t pos = 0; pos < bytes.size();) {
        if (pos + 8 <= bytes.size() && all_ascii(load8(bytes.data() + pos))) {
            pos += 8;
            continue;
        }
        const auto lead = static_cast<unsigned char>(bytes[pos]);
        if (lead >= 0xC2 && lead <= 0xDF && pos + 1 < bytes.size() &&
            (static_cast<unsigned char>(bytes[pos + 1]) & 0xC0) == 0x80) {
            pos += 2;  // Cyrillic and the like
            continue;
        }
        size_t bad = 0;
        size_t length = valid_sequence(bytes, pos, bad);
        if (length == 0) return false;
        pos += length;
    }
    return true;
}

std::string lossy_utf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (size_t pos = 0; pos < bytes.size();) {
        size_t bad = 0;
        size_t length = valid_sequence(bytes, pos, bad);
        if (length == 0) {
            text += "\xEF\xBF\xBD";
            pos += bad;
        } else {
            text.append(bytes.substr(pos, length));
            pos += length;
        }
    }
    return text;
}

std::string_view first_chars(std::string_view text, size_t limit) {
    size_t pos = 0;
    for (size_t count = 0; count < limit && pos < text.size(); ++count) (void)next_char(text, pos);
    return text.substr(0, std::min(pos, text.size()));
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space_end(std::string_view text) {
    size_t end = text.size();
    while (end > 0) {
        size_t start = end - 1;  // back to the first byte of the last character
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        size_t pos = start;
        if (!is_white_space(next_char(text, pos))) break;
        end = start;
    }
    return text.substr(0, end);
}

std::string_view trim_white_space(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t next = pos;
        if (!is_white_space(next_char(text, next))) break;
        pos = next;
    }
    return trim_white_space_end(text.substr(pos));
}

std::vector<std::string_view> split_white_space(std::string_view text, size_t max_words) {
    std::vector<std::string_view> words;
    size_t start = std::string_view::npos;
    for (size_t pos = 0; pos < text.size();) {
        if (start != std::string_view::npos && pos + 8 <= text.size() && all_ascii_graphic(load8(text.data() + pos))) {
            pos += 8;  // inside a word
            continue;
        }
        size_t here = pos;
        const auto lead = static_cast<unsigned char>(text[pos]);
        bool white = false;
        if (lead < 0x80) {
            white = is_ascii_white_space(lead);
            ++pos;
        } else if (may_lead_white_space(lead)) {
            white = is_white_space(next_char(text, pos));
        } else {
            pos += sequence_length(lead);
        }
        if (white && start != std::string_view::npos) {
            words.push_back(text.substr(start, here - start));
            if (words.size() == max_words) return words;
            start = std::string_view::npos;
        } else if (!white && start == std::string_view::npos) {
            start = here;
        }
    }
    if (start != std::string_view::npos && words.size() < max_words) words.push_back(text.substr(start));
    return words;
}

bool is_ascii_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool is_interface_name(std::string_view name) {
    if (name.empty() || name.size() > 15) return false;
    for (char c : name) {
        if (!is_ascii_alnum(c) && c != '-' && c != '_') return false;
    }
    return true;
}

}  // namespace quorin
