// The tun-up bypass word. Each input is tried twice: as the request word itself (the
// Base64 layer) and as the decoded bytes (the JSON and normalisation layers, which a
// byte-level fuzzer would otherwise rarely reach through valid Base64).

#include <cstdint>
#include <set>
#include <string>

#include "common/base64.hpp"
#include "fuzz_support.hpp"
#include "host/bypass.hpp"

namespace {

using namespace quorin;

const std::set<std::string> MESSAGES = {"повреждён список процессов обхода", "некорректный список процессов обхода",
                                        "слишком много процессов обхода", "некорректный процесс обхода"};

void require_outcome(const Result<BypassList>& list) {
    if (!list) {
        fuzz::require(MESSAGES.contains(list.error().message()), "refusals use the four messages");
        return;
    }
    fuzz::require_bypass_list(*list);
    auto again = normalize_bypass_list(*list);
    fuzz::require(again && *again == *list, "a normalised list normalises to itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input = fuzz::as_text(data, size);
    require_outcome(decode_bypass_list(input));
    require_outcome(decode_bypass_list(encode_base64_url(input)));
    return 0;
}
