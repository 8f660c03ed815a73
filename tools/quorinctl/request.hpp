#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace quorin::ctl {

// The arguments of one tun-up request, as a person gives them.
struct TunUpArgs {
    std::string interface {};
    bool ipv6 = false;
    bool auto_route = false;
    uint16_t mtu = 0;
    uint16_t socks_port = 0;
    std::vector<std::string> bypass{};
    std::vector<std::string> servers{};
};

// URL-safe unpadded Base64 of the compact JSON array of the texts. Every text must be
// valid UTF-8, since JSON cannot carry anything else faithfully.
Result<std::string> encode_string_list(const std::vector<std::string>& texts);
// "1" or "0": the helper takes exactly "1" for true.
std::string_view encode_flag(bool value);
// The request line without its line feed. The server word is left out when there are no
// servers, so that the helper's own "no servers" case applies.
Result<std::string> tun_up_line(const TunUpArgs& args);
// Refuses, naming the entry and the reason, a server list of which the helper would
// silently drop something: an entry that is neither an IPv4 address it keeps out of the
// tunnel nor a host name, or more entries than it keeps.
Result<void> check_servers(const std::vector<std::string>& servers);
// `json` is the profile's JSON text, sent byte for byte.
std::string mihomo_up_line(std::string_view json, std::string_view memory_limit);

// The memory-limit forms the helper passes on: digits, then letters, at most 16 bytes.
// Anything else it would drop without a word, so the client refuses it instead.
bool is_memory_limit(std::string_view word);

// The entries of a list file: one per line, white space around an entry dropped; blank
// lines and lines whose first non-blank character is '#' are skipped.
std::vector<std::string> parse_list_file(std::string_view content);

}  // namespace quorin::ctl
