#include "windows_tun_config/singbox_config.hpp"

#include <set>

namespace quorin {

namespace {

const std::vector<std::string> BUILT_IN_PROCESS_NAMES = {"mihomo", "quorin", "sing-box", "xray"};

Json dns_server(const char* tag, const char* detour) {
    return {{"detour", detour}, {"server", "1.1.1.1"}, {"tag", tag}, {"type", "https"}};
}

Json dns_object(const TunParameters& parameters, const ProcessSets& processes) {
    Json rules = Json::array();
    if (!parameters.server_host_names.empty())
        rules.push_back(
            {{"action", "route"}, {"domain_suffix", parameters.server_host_names}, {"server", "dns-direct"}});
    rules.push_back({{"action", "route"}, {"process_name", processes.names}, {"server", "dns-direct"}});
    if (!processes.paths.empty())
        rules.push_back({{"action", "route"}, {"process_path", processes.paths}, {"server", "dns-direct"}});
    return {
        {"final", "dns-proxy"},
        {"rules", std::move(rules)},
        {"servers", Json::array({dns_server("dns-proxy", "proxy"), dns_server("dns-direct", "direct")})},
        {"strategy", parameters.ipv6 ? "prefer_ipv4" : "ipv4_only"},
    };
}

Json tun_inbound(const TunParameters& parameters) {
    Json address = Json::array({"172.29.172.1/30"});
    if (parameters.ipv6) address.push_back("fd17:2917:2::1/126");
    Json inbound = {
        {"address", std::move(address)},
        {"auto_redirect", parameters.auto_route},
        {"auto_route", parameters.auto_route},
        {"interface_name", parameters.interface_name},
        {"mtu", parameters.mtu},
        {"stack", "system"},
        {"strict_route", parameters.auto_route},
        {"tag", "tun-in"},
        {"type", "tun"},
    };
    if (parameters.auto_route && !parameters.route_exclusions.empty()) {
        Json excluded = Json::array();
        for (Ipv4 address_value : parameters.route_exclusions) excluded.push_back(format_ipv4(address_value) + "/32");
        inbound["route_exclude_address"] = std::move(excluded);
    }
    return inbound;
}

Json outbounds(const TunParameters& parameters) {
    Json socks = {
        {"domain_resolver", {{"server", "dns-proxy"}, {"strategy", "prefer_ipv4"}}},
        {"server", "127.0.0.1"},
        {"server_port", parameters.socks_port},
        {"tag", "proxy"},
        {"type", "socks"},
    };
    Json direct = {
        {"domain_resolver", {{"server", "dns-direct"}, {"strategy", "prefer_ipv4"}}},
        {"tag", "direct"},
        {"type", "direct"},
    };
    return Json::array({std::move(socks), std::move(direct)});
}

Json route_object(const TunParameters& parameters, const ProcessSets& processes) {
    Json rules = Json::array();
    rules.push_back({{"action", "bypass"}, {"outbound", "direct"}, {"process_name", processes.names}});
    if (!processes.paths.empty())
        rules.push_back({{"action", "bypass"}, {"outbound", "direct"}, {"process_path", processes.paths}});
    rules.push_back({{"action", "sniff"}});
    rules.push_back({{"action", "hijack-dns"}, {"protocol", "dns"}});
    rules.push_back({{"action", "reject"}, {"network", "udp"}, {"port", 443}});
    if (!parameters.ipv6) rules.push_back({{"action", "reject"}, {"ip_version", 6}});
    return {{"auto_detect_interface", true}, {"final", "proxy"}, {"rules", std::move(rules)}};
}

}  // namespace

ProcessSets split_bypass_processes(const BypassList& bypass) {
    std::set<std::string> names(BUILT_IN_PROCESS_NAMES.begin(), BUILT_IN_PROCESS_NAMES.end());
    std::set<std::string> paths;
    for (const std::string& entry : bypass) {
        if (entry.find('/') == std::string::npos) {
            names.insert(entry);
        } else if (!entry.ends_with('/')) {
            paths.insert(entry);  // a directory cannot be matched as a process path
        }
    }
    return {{names.begin(), names.end()}, {paths.begin(), paths.end()}};
}

Json build_singbox_config(const TunParameters& parameters) {
    ProcessSets processes = split_bypass_processes(parameters.bypass_processes);
    Json document;
    document["dns"] = dns_object(parameters, processes);
    document["inbounds"] = Json::array({tun_inbound(parameters)});
    document["log"] = {{"level", "info"}, {"timestamp", true}};
    document["outbounds"] = outbounds(parameters);
    document["route"] = route_object(parameters, processes);
    return document;
}

}  // namespace quorin
