#include "common/base64.hpp"

#include <sodium.h>

#include <algorithm>

namespace quorin {

namespace {

bool is_url_safe_alphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

Result<std::string> decode_base64_url(std::string_view text) {
    // libsodium 1.0.18 maps every byte from 0x80 up to a digit value ('_') instead of
    // refusing it, so "Ё" in a word would decode like "__". Check the alphabet first.
    if (!std::all_of(text.begin(), text.end(), is_url_safe_alphabet)) return fail("invalid Base64 text");
    std::string bytes(text.size() / 4 * 3 + 3, '\0');
    size_t length = 0;
    // Without an end pointer the decoder refuses anything but a complete, canonical text.
    int rc = sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(), text.size(),
                               nullptr, &length, nullptr, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    if (rc != 0) return fail("invalid Base64 text");
    bytes.resize(length);
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
