// The tun-up server list and the sing-box document built from it. Input: one byte of
// flags, two of MTU, two of SOCKS port, then lines; a line starting with '!' is a bypass
// entry, any other line a server entry. The document is what sing-box receives, so it
// may carry only normalised names and addresses, and must read back unchanged from the
// written file.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "fuzz_support.hpp"
#include "host/bypass.hpp"
#include "windows_tun_config/singbox_config.hpp"

namespace {

using namespace quorin;

void require_server_list(const ServerList& servers) {
    fuzz::require(servers.size() <= 64, "at most 64 servers");
    size_t literals = 0;
    while (literals < servers.size() && extract_ipv4_servers({servers[literals]}).size() == 1) ++literals;
    fuzz::require(literals <= 32, "at most 32 literals");
    fuzz::require(extract_ipv4_servers(servers).size() == literals, "literals come first");
    for (size_t i = literals; i < servers.size(); ++i) {
        fuzz::require(extract_host_names({servers[i]}) == std::vector<std::string>{servers[i]}, "names are normalised");
        if (i > literals) fuzz::require(servers[i - 1] < servers[i], "names are ascending and distinct");
    }
    fuzz::require(normalize_server_list(servers) == servers, "a normalised list normalises to itself");
}

void require_document(const Json& document, const TunParameters& parameters) {
    fuzz::require(fuzz::written_and_read_back(document, 16) == document, "the written document reads back unchanged");
    const Json& inbound = document.at("inbounds").at(0);
    fuzz::require(inbound.at("interface_name") == Json(parameters.interface_name), "interface passes through");
    fuzz::require(inbound.at("mtu") == Json(parameters.mtu), "MTU passes through");
    if (inbound.contains("route_exclude_address")) {
        fuzz::require(parameters.auto_route, "exclusions only with routing");
        fuzz::require(inbound.at("route_exclude_address").size() <= 32, "at most 32 exclusions");
    }
    const std::set<std::string> names(parameters.server_host_names.begin(), parameters.server_host_names.end());
    for (const Json& rule : document.at("dns").at("rules")) {
        if (!rule.contains("domain_suffix")) continue;
        for (const Json& suffix : rule.at("domain_suffix"))
            fuzz::require(names.contains(suffix.get<std::string>()), "DNS rules name listed servers only");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    std::vector<std::string> servers_in;
    std::vector<std::string> bypass_in;
    for (std::string_view line : fuzz::lines_of(fuzz::as_text(data + 5, size - 5))) {
        if (line.starts_with('!')) {
            bypass_in.emplace_back(line.substr(1));
        } else {
            servers_in.emplace_back(line);
        }
    }
    ServerList servers = normalize_server_list(servers_in);
    require_server_list(servers);

    auto bypass = normalize_bypass_list(std::move(bypass_in));
    TunParameters parameters{.interface_name = "quorin0",
                             .ipv6 = (data[0] & 1) != 0,
                             .auto_route = (data[0] & 2) != 0,
                             .mtu = static_cast<uint16_t>(data[1] << 8 | data[2]),
                             .socks_port = static_cast<uint16_t>(data[3] << 8 | data[4]),
                             .bypass_processes = bypass ? std::move(*bypass) : BypassList{},
                             .server_host_names = extract_host_names(servers),
                             .route_exclusions = {}};
    // The literals stand in for what the lookups would add; no name is resolved here.
    if (parameters.auto_route) parameters.route_exclusions = extract_ipv4_servers(servers);
    require_document(build_singbox_config(parameters), parameters);
    return 0;
}
