#include "mihomo/mihomo.hpp"

#include "mihomo/launch.hpp"
#include "mihomo/policy.hpp"

namespace quorin {

// Every check runs before anything on the host changes, so a refused request leaves a
// running session exactly as it was.
Result<void> handle_mihomo_up(std::string_view config_word, std::optional<std::string_view> memory_word,
                              SessionSlot& slot, pid_t client_pid) {
    auto config = decode_mihomo_config(config_word);
    if (!config) return fail(config.error());
    auto owner_handle = open_owner_handle(client_pid);
    if (!owner_handle) return fail(owner_handle.error());
    std::optional<std::string> memory_limit;
    if (memory_word) memory_limit = parse_memory_limit(*memory_word);
    auto tun_device = check_mihomo_policy(*config);
    if (!tun_device) return fail(tun_device.error());
    MihomoRequest request{.config = std::move(*config),
                          .tun_device = std::move(*tun_device),
                          .memory_limit = std::move(memory_limit),
                          .owner_handle = std::move(*owner_handle)};
    return launch_mihomo(std::move(request), slot, client_pid);
}

}  // namespace quorin
