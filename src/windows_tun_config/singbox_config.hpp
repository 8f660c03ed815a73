#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "common/json_document.hpp"
#include "host/bypass.hpp"

namespace quorin {

// At most 64 texts: the accepted IPv4 literals (at most 32, ascending, dotted decimal),
// then the accepted host names in byte order.
using ServerList = std::vector<std::string>;
inline constexpr size_t MAX_IPV4_SERVERS = 32;
inline constexpr size_t MAX_SERVERS = 64;
// An IPv4 address as its 32-bit value, most significant octet first.
using Ipv4 = uint32_t;

struct TunParameters {
    std::string interface_name{};
    bool ipv6 = false;
    bool auto_route = false;
    uint16_t mtu = 0;
    uint16_t socks_port = 0;
    BypassList bypass_processes{};
    std::vector<std::string> server_host_names{};
    std::vector<Ipv4> route_exclusions{};
};

struct ProcessSets {
    std::vector<std::string> names{};  // always holds mihomo, quorin, sing-box, xray
    std::vector<std::string> paths{};
};

// A resolver gives the IPv4 addresses of a name in the order the system gave them.
using Ipv4Resolver = std::function<std::vector<Ipv4>(const std::string& name)>;

std::vector<Ipv4> extract_ipv4_servers(const std::vector<std::string>& entries);
std::vector<std::string> extract_host_names(const std::vector<std::string>& entries);
ServerList normalize_server_list(const std::vector<std::string>& entries);
// The address the system resolver reads a name as, without asking anyone, when the
// name is one of the legacy numeric forms (010.1.1.1, 1.2.3, 0x7f.1, 2130706433).
// Such a name stays a host name, but is never resolved: the address it reads as is
// not the one its writer meant.
std::optional<Ipv4> legacy_numeric_address(const std::string& name);
// The same for a parsed array of strings, without copying its entries.
ServerList normalize_server_list(JsonView list);
// Resolves the list's host names in parallel (one detached thread each) within one
// 4-second deadline; returns the 32 lowest addresses, literals included.
std::vector<Ipv4> resolve_route_exclusions(const ServerList& servers);
std::vector<Ipv4> resolve_route_exclusions(const ServerList& servers, const Ipv4Resolver& resolver);
ProcessSets split_bypass_processes(const BypassList& bypass);
Json build_singbox_config(const TunParameters& parameters);
std::string format_ipv4(Ipv4 address);

}  // namespace quorin
