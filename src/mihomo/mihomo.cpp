#include "mihomo/mihomo.hpp"

#include "mihomo/launch.hpp"
#include "mihomo/policy.hpp"

namespace quorin {

namespace {

// The configuration's value; the request text and the decoded bytes are let go of as
// soon as they have served, which keeps a maximal request's peak memory to the bytes
// and the value together.
Result<JsonDocument> decode_config(std::string_view config_word, std::string* request_text) {
    auto bytes = decode_mihomo_bytes(config_word);
    if (request_text) std::string().swap(*request_text);
    if (!bytes) return fail(bytes.error());
    return parse_mihomo_config(std::move(*bytes));
}

}  // namespace

// Every check runs before anything on the host changes, so a refused request leaves a
// running session exactly as it was.
Result<void> handle_mihomo_up(std::string_view config_word, std::optional<std::string_view> memory_word,
                              SessionSlot& slot, ClientProcess& client, std::string* request_text) {
    // Taken before the request text goes; reading it cannot fail.
    std::optional<std::string> memory_limit;
    if (memory_word) memory_limit = parse_memory_limit(*memory_word);
    auto config = decode_config(config_word, request_text);
    if (!config) return fail(config.error());
    auto owner_handle = open_owner_handle(client);
    if (!owner_handle) return fail(owner_handle.error());
    auto tun_device = check_mihomo_policy(*config);
    if (!tun_device) return fail(tun_device.error());
    MihomoRequest request{.config = std::move(*config),
                          .tun_device = std::move(*tun_device),
                          .memory_limit = std::move(memory_limit),
                          .owner_handle = std::move(*owner_handle)};
    return launch_mihomo(std::move(request), slot, client.pid);
}

}  // namespace quorin
