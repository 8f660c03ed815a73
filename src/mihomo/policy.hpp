#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/json_document.hpp"

namespace quorin {

// The decoded configuration may be at most 8 MiB; exactly 8 MiB is fine.
inline constexpr size_t MIHOMO_CONFIG_MAX_BYTES = 8388608;
// Arrays and objects nest at most this deep; the next level is a parse error.
inline constexpr size_t MIHOMO_CONFIG_MAX_DEPTH = 127;
inline constexpr size_t MEMORY_LIMIT_MAX_BYTES = 16;

// The only top-level keys a client's Mihomo configuration may use.
inline constexpr std::array<std::string_view, 33> ALLOWED_MIHOMO_KEYS = {
    "mode",
    "log-level",
    "ipv6",
    "allow-lan",
    "find-process-mode",
    "unified-delay",
    "tcp-concurrent",
    "external-controller",
    "profile",
    "dns",
    "tun",
    "hosts",
    "sniffer",
    "ntp",
    "interface-name",
    "routing-mark",
    "geodata-mode",
    "geox-url",
    "geo-auto-update",
    "geo-update-interval",
    "global-client-fingerprint",
    "keep-alive-interval",
    "keep-alive-idle",
    "disable-keep-alive",
    "etag-support",
    "proxies",
    "proxy-groups",
    "proxy-providers",
    "rule-providers",
    "rules",
    "sub-rules",
    "experimental",
    "secret",
};

// Word 1 of mihomo-up: strict URL-safe Base64 of one JSON value. The library's error
// stays attached as the cause. The same in two steps, so that a caller can let go of
// the request text between them: the bytes (at most 8 MiB), then their JSON value.
Result<JsonDocument> decode_mihomo_config(std::string_view word);
Result<std::string> decode_mihomo_bytes(std::string_view word);
Result<JsonDocument> parse_mihomo_config(std::string bytes);

// Word 2 of mihomo-up: digits followed by ASCII letters, at most 16 bytes, passed on
// unchanged. Anything else is ignored, as if the word were absent.
std::optional<std::string> parse_memory_limit(std::string_view word);

// Refuses a configuration that could open ports to the LAN (`allow-lan`, a DNS server
// beyond the loopback), expose the control API, run without strict TUN routing, leave
// routing state the clean-up cannot remove, name provider, certificate or key files
// outside the working directory, use keys outside ALLOWED_MIHOMO_KEYS or keys a YAML
// reader cannot read back. The checks run in a fixed order and the first failure names
// the refusal. Gives the TUN device.
Result<std::string> check_mihomo_policy(const JsonDocument& document);

}  // namespace quorin
