// The word splitter, the UTF-8 check and the trimming take shortcuts over runs of
// ASCII; these tests hold them to the plain character-by-character definitions at
// every alignment of the interesting characters.

#include "common/text.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quorin {
namespace {

// Decodes valid UTF-8.
std::vector<std::pair<char32_t, size_t>> characters(std::string_view text) {
    std::vector<std::pair<char32_t, size_t>> out;
    for (size_t pos = 0; pos < text.size();) {
        auto lead = static_cast<unsigned char>(text[pos]);
        size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (size_t i = 1; i < length; ++i) c = c << 6 | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
        out.emplace_back(c, pos);
        pos += length;
    }
    return out;
}

std::vector<std::string_view> reference_split(std::string_view text) {
    std::vector<std::string_view> words;
    size_t start = std::string_view::npos;
    for (auto [c, pos] : characters(text)) {
        if (is_white_space(c) && start != std::string_view::npos) {
            words.push_back(text.substr(start, pos - start));
            start = std::string_view::npos;
        } else if (!is_white_space(c) && start == std::string_view::npos) {
            start = pos;
        }
    }
    if (start != std::string_view::npos) words.push_back(text.substr(start));
    return words;
}

TEST(TextFastPaths, SplitMatchesTheCharacterDefinitionAtEveryAlignment) {
    // White space of one to three bytes, characters that only look like it (U+200B,
    // controls, DEL, '!'), and letters outside ASCII.
    const std::vector<std::string> pieces = {" ",    "\t",   "\r\n", "\x0b", "\u0085", "\u00a0", "\u3000", "\u2028",
                                             "\x01", "\x1f", "\x7f", "!",    "~",      "\u200b", "ж",      "😀"};
    std::mt19937 random(5);
    for (int trial = 0; trial < 3000; ++trial) {
        std::string text(random() % 17, 'w');
        while (text.size() < 80) {
            text += pieces[random() % pieces.size()];
            text += std::string(random() % 12, static_cast<char>('a' + random() % 26));
        }
        ASSERT_EQ(split_white_space(text), reference_split(text)) << testing::PrintToString(text);
        ASSERT_TRUE(is_valid_utf8(text));
    }
}

TEST(TextFastPaths, Utf8CheckFindsOneBadByteAnywhereInALongAsciiText) {
    for (const char* bad : {"\xff", "\x80", "\xc3", "\xe2\x82", "\xed\xa0\x80"}) {
        for (size_t position = 0; position <= 40; ++position) {
            std::string text(40, 'a');
            text.insert(position, bad);
            EXPECT_FALSE(is_valid_utf8(text)) << position;
            text.replace(position, std::string_view(bad).size(), "€");
            EXPECT_TRUE(is_valid_utf8(text)) << position;
        }
    }
}

TEST(TextFastPaths, TrimsTheEndBackwardsOverMultiByteCharacters) {
    EXPECT_EQ(trim_white_space_end("xж\u3000 \u0085"), "xж");
    EXPECT_EQ(trim_white_space_end("ж"), "ж");
    EXPECT_EQ(trim_white_space_end("\u00a0\u2029"), "");
    EXPECT_EQ(trim_white_space_end("😀\u200b"), "😀\u200b");
    EXPECT_EQ(trim_white_space_end(""), "");
    EXPECT_EQ(trim_white_space(" \u3000a\u3000b\u3000 "), "a\u3000b");
}

}  // namespace
}  // namespace quorin
