// Strict URL-safe Base64 without padding, the outer layer of every byte-carrying
// request word. Strictness means exactly one text decodes to given bytes: whatever
// decodes must be what the encoder writes for those bytes.

#include <cstdint>

#include "common/base64.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorin;
    std::string_view input = fuzz::as_text(data, size);

    auto decoded = decode_base64_url(input);
    if (decoded) {
        fuzz::require(encode_base64_url(*decoded) == input, "only the canonical text decodes");
    } else {
        fuzz::require(decoded.error().message() == "invalid Base64 text", "one refusal text");
    }

    std::string encoded = encode_base64_url(input);
    fuzz::require(encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
                      std::string::npos,
                  "the encoder writes the URL-safe alphabet only");
    auto back = decode_base64_url(encoded);
    fuzz::require(back && *back == input, "encoded bytes decode back");
    return 0;
}
