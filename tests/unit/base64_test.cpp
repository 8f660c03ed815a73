// The table decoder must accept and refuse exactly what libsodium's strict URL-safe,
// unpadded decoder does, and produce the same bytes.

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>

using namespace std::string_literals;

#include "common/base64.hpp"

namespace quorin {
namespace {

std::optional<std::string> libsodium_decode(std::string_view text) {
    std::string bytes(text.size() / 4 * 3 + 3, '\0');
    size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(), text.size(),
                          nullptr, &length, nullptr, sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0)
        return std::nullopt;
    bytes.resize(length);
    return bytes;
}

bool has_non_ascii(std::string_view text) {
    return std::ranges::any_of(text, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// libsodium 1.0.18 takes every byte above 0x7F for an alphabet character (its
// constant-time comparisons run on a signed char), so "жж" decodes to three bytes.
// Those bytes are foreign characters and refused; elsewhere both decoders agree.
void expect_same_as_libsodium(std::string_view text) {
    if (has_non_ascii(text)) {
        ASSERT_FALSE(decode_base64_url(text)) << testing::PrintToString(std::string(text));
        return;
    }
    auto expected = libsodium_decode(text);
    auto actual = decode_base64_url(text);
    ASSERT_EQ(actual.has_value(), expected.has_value()) << testing::PrintToString(std::string(text));
    if (expected) {
        ASSERT_EQ(*actual, *expected) << testing::PrintToString(std::string(text));
    }
}

// Every text of `length` characters drawn from `chars`.
void for_all_texts(const std::string& chars, size_t length, std::string& text) {
    if (text.size() == length) {
        expect_same_as_libsodium(text);
        return;
    }
    for (char c : chars) {
        text.push_back(c);
        for_all_texts(chars, length, text);
        text.pop_back();
        if (testing::Test::HasFatalFailure()) return;
    }
}

std::string all_bytes() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
    return bytes;
}

TEST(Base64Decoder, AgreesWithLibsodiumOnEveryShortText) {
    std::string text;
    for (size_t length = 0; length <= 2; ++length) for_all_texts(all_bytes(), length, text);
    // Every alphabet character, the padding and standard-alphabet characters, white
    // space, NUL and bytes outside ASCII.
    const std::string mixed = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_=+/ \n\t.\0\x80\xff"s;
    for_all_texts(mixed, 3, text);
    // Characters whose values differ only in the spare bits of a final group.
    for_all_texts("AQgwBCDhP-_=+ \xff", 4, text);
    for_all_texts("AQgwB-_=", 6, text);
}

TEST(Base64Decoder, AgreesWithLibsodiumOnRandomTextsAndTheirMutations) {
    std::mt19937 random(20240611);
    for (size_t length = 0; length < 400; ++length) {
        std::string bytes(length, '\0');
        for (char& b : bytes) b = static_cast<char>(random());
        const std::string word = encode_base64_url(bytes);
        ASSERT_EQ(decode_base64_url(word).value(), bytes);
        for (int trial = 0; trial < 40 && !word.empty(); ++trial) {
            std::string mutated = word;
            mutated[random() % mutated.size()] = static_cast<char>(random());
            expect_same_as_libsodium(mutated);
            expect_same_as_libsodium(mutated.substr(0, random() % (mutated.size() + 1)));
            expect_same_as_libsodium(mutated + static_cast<char>(random()));
        }
    }
}

TEST(Base64Decoder, RefusesEveryByteOutsideAscii) {
    for (int b = 0x80; b <= 0xFF; ++b) {
        EXPECT_FALSE(decode_base64_url(std::string(1, static_cast<char>(b)) + "A")) << b;
        EXPECT_FALSE(decode_base64_url("AAA" + std::string(1, static_cast<char>(b)))) << b;
    }
    EXPECT_FALSE(decode_base64_url("жж"));
}

TEST(Base64Decoder, DecodesALargeWordAndRefusesOneBadCharacterAnywhereInIt) {
    std::mt19937 random(7);
    std::string bytes(3 << 20, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    std::string word = encode_base64_url(bytes);
    EXPECT_EQ(decode_base64_url(word).value(), bytes);
    for (size_t position : {size_t{0}, word.size() / 2, word.size() - 1}) {
        std::string bad = word;
        bad[position] = '=';
        EXPECT_FALSE(decode_base64_url(bad)) << position;
    }
}

}  // namespace
}  // namespace quorin
