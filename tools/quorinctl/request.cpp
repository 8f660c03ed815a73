#include "quorinctl/request.hpp"

#include <arpa/inet.h>

#include <set>

#include "common/base64.hpp"
#include "common/json.hpp"
#include "common/text.hpp"
#include "mihomo/policy.hpp"
#include "windows_tun_config/singbox_config.hpp"

namespace quorin::ctl {

Result<std::string> encode_string_list(const std::vector<std::string>& texts) {
    Json array = Json::array();
    for (const auto& text : texts) {
        if (!is_valid_utf8(text)) return fail("not valid UTF-8: " + lossy_utf8(text));
        array.push_back(text);
    }
    return encode_base64_url(dump_compact(array));
}

std::string_view encode_flag(bool value) { return value ? "1" : "0"; }

Result<std::string> tun_up_line(const TunUpArgs& args) {
    auto bypass = encode_string_list(args.bypass);
    if (!bypass) return fail("bypass entry " + bypass.error().message());
    std::string line = "tun-up " + args.interface + " " + std::string(encode_flag(args.ipv6)) + " " +
                       std::string(encode_flag(args.auto_route)) + " " + std::to_string(args.mtu) + " " +
                       std::to_string(args.socks_port) + " " + *bypass;
    if (!args.servers.empty()) {
        auto servers = encode_string_list(args.servers);
        if (!servers) return fail("server entry " + servers.error().message());
        line += " " + *servers;
    }
    return line;
}

namespace {

// A name the system would read as another address: the helper never resolves it, so
// the server it names would not be kept out of the tunnel.
std::string read_as_address(Ipv4 address) {
    return "written like an address, which the system would read as " + format_ipv4(address) +
           ", so the helper would not keep it out of the tunnel; give the address as four decimal numbers without "
           "leading zeros, or a host name";
}

// Why the helper would drop a lone entry; the helper's own normaliser decides whether.
std::string dropped_because(std::string_view entry) {
    std::string bare(trim_white_space(entry));
    in6_addr v6{};
    if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1)
        return "an IPv6 address, which the helper does not keep out of the tunnel; give an IPv4 address or a host "
               "name";
    in_addr v4{};
    if (inet_pton(AF_INET, bare.c_str(), &v4) == 1)
        return "a loopback, multicast or unspecified address, which the helper never keeps out of the tunnel";
    if (auto address = legacy_numeric_address(bare)) return read_as_address(*address);
    return "neither an IPv4 address nor a host name (ASCII letters, digits, '-', '_' and at least one dot, at most "
           "253 bytes), so the helper would drop it";
}

}  // namespace

Result<void> check_servers(const std::vector<std::string>& servers) {
    std::set<std::string> kept;
    for (const auto& entry : servers) {
        if (!is_valid_utf8(entry)) return fail("server entry not valid UTF-8: " + lossy_utf8(entry));
        ServerList alone = normalize_server_list(std::vector<std::string>{entry});
        if (alone.empty()) return fail("server " + entry + ": " + dropped_because(entry));
        if (auto address = legacy_numeric_address(alone.front()); address && format_ipv4(*address) != alone.front())
            return fail("server " + entry + ": " + read_as_address(*address));
        kept.insert(alone.front());
    }
    if (normalize_server_list(servers).size() < kept.size())
        return fail("more servers than the helper keeps: at most " + std::to_string(MAX_IPV4_SERVERS) +
                    " IPv4 addresses and " + std::to_string(MAX_SERVERS) + " servers in all");
    return {};
}

std::string mihomo_up_line(std::string_view json, std::string_view memory_limit) {
    std::string line = "mihomo-up " + encode_base64_url(json);
    if (!memory_limit.empty()) line += " " + std::string(memory_limit);
    return line;
}

bool is_memory_limit(std::string_view word) { return parse_memory_limit(word).has_value(); }

std::vector<std::string> parse_list_file(std::string_view content) {
    std::vector<std::string> entries;
    while (!content.empty()) {
        size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        // Invalid UTF-8 is kept whole, so that encoding names the entry and refuses it.
        std::string_view bare = is_valid_utf8(line) ? trim_white_space(line) : line;
        if (bare.empty() || bare.front() == '#') continue;
        entries.emplace_back(bare);
    }
    return entries;
}

}  // namespace quorin::ctl
