#pragma once

// What both JSON writers share: the bounded descriptor sink and the string escaping.
// json.cpp writes the library's values with them, json_document.cpp client documents.

#include <algorithm>
#include <array>
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

// The library's escaping for valid UTF-8: the short escapes, \u00XX for the other
// controls, everything else raw.
template <typename Sink>
void put_quoted(Sink& sink, std::string_view text) {
    sink.put('"');
    size_t plain = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
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
                sink.put("\\u00");
                sink.put(HEX_DIGITS[c >> 4]);
                sink.put(HEX_DIGITS[c & 0xF]);
        }
    }
    sink.put(text.substr(plain));
    sink.put('"');
}

}  // namespace json_output
}  // namespace quorin
