// The detail line picked from a failed core run, which is the only text of a core that
// reaches the client. Input: two bytes give the length of standard output, the rest is
// split into standard output and standard error.

#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "mihomo/core_error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorin;
    if (size < 2) return 0;
    size_t rest = size - 2;
    size_t out_size = (static_cast<size_t>(data[0]) << 8 | data[1]) % (rest + 1);
    std::string_view out = fuzz::as_text(data + 2, out_size);
    std::string_view err = fuzz::as_text(data + 2 + out_size, rest - out_size);

    std::string detail = extract_core_error(out, err);
    fuzz::require(is_valid_utf8(detail), "detail is UTF-8");
    fuzz::require(first_chars(detail, CORE_ERROR_MAX_CHARS).size() == detail.size(), "detail has at most 2000 chars");
    fuzz::require(detail.find('\n') == std::string::npos, "detail is one line");
    bool from_core = lossy_utf8(out).find(detail) != std::string::npos || lossy_utf8(err).find(detail) != std::string::npos;
    fuzz::require(from_core || detail == "ядро не сообщило подробности ошибки", "detail comes from the core's output");
    return 0;
}
