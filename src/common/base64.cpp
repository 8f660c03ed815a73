#include "common/base64.hpp"

#include <sodium.h>

#include <array>
#include <cstdint>

namespace quorin {

namespace {

constexpr uint8_t NOT_BASE64 = 0xFF;

constexpr std::array<uint8_t, 256> make_url_safe_table() {
    std::array<uint8_t, 256> table{};
    table.fill(NOT_BASE64);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    for (size_t i = 0; i < alphabet.size(); ++i) table[static_cast<uint8_t>(alphabet[i])] = static_cast<uint8_t>(i);
    return table;
}

constexpr std::array<uint8_t, 256> URL_SAFE = make_url_safe_table();

// Decodes the groups of four and the final two or three; false for a foreign character
// (marked by bit 7 in `seen`, tested once at the end) or non-zero spare bits.
bool decode_into(std::string_view text, char* out) {
    const auto* in = reinterpret_cast<const uint8_t*>(text.data());
    const size_t groups = text.size() / 4;
    uint32_t seen = 0;
    for (size_t g = 0; g < groups; ++g, in += 4, out += 3) {
        const uint32_t a = URL_SAFE[in[0]], b = URL_SAFE[in[1]], c = URL_SAFE[in[2]], d = URL_SAFE[in[3]];
        seen |= a | b | c | d;
        const uint32_t bits = a << 18 | b << 12 | c << 6 | d;
        out[0] = static_cast<char>(bits >> 16);
        out[1] = static_cast<char>(bits >> 8);
        out[2] = static_cast<char>(bits);
    }
    uint32_t spare = 0;
    switch (text.size() % 4) {
        case 2: {
            const uint32_t a = URL_SAFE[in[0]], b = URL_SAFE[in[1]];
            seen |= a | b;
            spare = b & 0x0F;
            out[0] = static_cast<char>(a << 2 | b >> 4);
            break;
        }
        case 3: {
            const uint32_t a = URL_SAFE[in[0]], b = URL_SAFE[in[1]], c = URL_SAFE[in[2]];
            seen |= a | b | c;
            spare = c & 0x03;
            const uint32_t bits = a << 10 | b << 4 | c >> 2;
            out[0] = static_cast<char>(bits >> 8);
            out[1] = static_cast<char>(bits);
            break;
        }
        default:  // no final group
            break;
    }
    return (seen & 0x80) == 0 && spare == 0;
}

}  // namespace

// A table decoder rather than libsodium's: the request word is no secret, and the
// constant-time decoder costs about ten times as much on a maximal request.
Result<std::string> decode_base64_url(std::string_view text) {
    // A lone character in the last group cannot come from any byte sequence.
    if (text.size() % 4 == 1) return fail("invalid Base64 text");
    const size_t length = text.size() / 4 * 3 + (text.size() % 4 == 0 ? 0 : text.size() % 4 - 1);
    std::string bytes;
    bool valid = false;
    // The size passed to the operation may exceed the one asked for (libstdc++ 12), so
    // the result is `length` itself.
    bytes.resize_and_overwrite(length, [&](char* out, size_t) {
        valid = decode_into(text, out);
        return length;
    });
    if (!valid) return fail("invalid Base64 text");
    return bytes;
}

std::string encode_base64_url(std::string_view bytes) {
    const int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    std::string text(sodium_base64_encoded_len(bytes.size(), variant), '\0');
    sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      variant);
    text.resize(text.size() - 1);  // the terminating NUL
    return text;
}

}  // namespace quorin
