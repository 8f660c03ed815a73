#include "windows_tun_config/singbox_config.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "common/json.hpp"

namespace quorin {
namespace {

using Texts = std::vector<std::string>;

Ipv4 ip(unsigned a, unsigned b, unsigned c, unsigned d) { return (a << 24) | (b << 16) | (c << 8) | d; }

TEST(ServerList, DropsLoopbackMulticastAndDuplicatesAndFoldsCase) {
    Texts entries = {" 1.1.1.1 ",    "127.0.0.1",   "224.0.0.5", "0.0.0.0",
                     "Example.COM.", "example.com", "10.0.0.1",  "1.1.1.1"};
    EXPECT_EQ(normalize_server_list(entries), (Texts{"1.1.1.1", "10.0.0.1", "example.com"}));
}

TEST(ServerList, NonLiteralsThatLookLikeAddressesBecomeHostNames) {
    Texts entries = {"localhost", "2001:db8::1", "a b.com",        "01.2.3.4", "1.2.3.4.5",
                     "256.1.1.1", "1.2.3",       "::ffff:1.2.3.4", "host..",   "..."};
    EXPECT_TRUE(extract_ipv4_servers(entries).empty());
    EXPECT_EQ(extract_host_names(entries), (Texts{"01.2.3.4", "1.2.3", "1.2.3.4.5", "256.1.1.1"}));
}

TEST(ServerList, Ipv4LiteralsAreStrictSortedAndFiltered) {
    Texts entries = {"10.0.0.1",        "9.255.0.1", "\u00a0192.168.1.1\u3000",
                     "1.2.3.04",        "+1.2.3.4",  "1.2.3.4 x",
                     "239.255.255.255", "240.0.0.1", "0.1.2.3",
                     "127.255.0.1",     "1.2.3.4\0"};
    entries.back().push_back('\0');
    EXPECT_EQ(extract_ipv4_servers(entries), (std::vector<Ipv4>{ip(0, 1, 2, 3), ip(9, 255, 0, 1), ip(10, 0, 0, 1),
                                                                ip(192, 168, 1, 1), ip(240, 0, 0, 1)}));
    EXPECT_EQ(format_ipv4(ip(9, 255, 0, 1)), "9.255.0.1");
    EXPECT_EQ(format_ipv4(ip(255, 255, 255, 255)), "255.255.255.255");
}

TEST(ServerList, HostNamesUseFullUnicodeLowerCasing) {
    // KELVIN SIGN lower-cases to ASCII k; U+0130 lower-cases to i + U+0307, which is
    // not ASCII (the simple mapping would wrongly give a bare i).
    Texts entries = {"\u212Aelvin.Example", "\u0130stanbul.example", "caf\u00e9.example", "UNDER_score-ok.Example"};
    EXPECT_EQ(extract_host_names(entries), (Texts{"kelvin.example", "under_score-ok.example"}));
    EXPECT_TRUE(extract_host_names({"bad\xff.example", "\xc0\xae.example"}).empty());
}

TEST(ServerList, HostNameLengthLimitIs253Bytes) {
    std::string longest = std::string(249, 'a') + ".com";
    ASSERT_EQ(longest.size(), 253u);
    std::string too_long = "a" + longest;
    EXPECT_EQ(extract_host_names({too_long, longest, longest + "...", " " + longest + ". "}), (Texts{longest}));
    EXPECT_TRUE(extract_host_names({too_long}).empty());
}

TEST(ServerList, FortyLiteralsAndFortyNamesAreCutTo64) {
    Texts entries;
    for (int i = 40; i >= 1; --i) entries.push_back("10.0.0." + std::to_string(i));
    for (int i = 40; i >= 1; --i) entries.push_back("host" + std::to_string(100 + i) + ".example");
    ServerList servers = normalize_server_list(entries);
    ASSERT_EQ(servers.size(), 64u);
    EXPECT_EQ(servers[0], "10.0.0.1");
    EXPECT_EQ(servers[31], "10.0.0.32");
    EXPECT_EQ(servers[32], "host101.example");
    EXPECT_EQ(servers[63], "host132.example");
    EXPECT_EQ(extract_ipv4_servers(entries).size(), 32u);
    EXPECT_EQ(extract_host_names(entries).size(), 40u);

    Texts many_names;
    for (int i = 0; i < 70; ++i) many_names.push_back("n" + std::to_string(100 + i) + ".example");
    Texts names = extract_host_names(many_names);
    ASSERT_EQ(names.size(), 64u);
    EXPECT_EQ(names.back(), "n163.example");
}

// A resolver over fixed answers. One name blocks until the test opens the gate, and
// the whole state is shared so a thread that outlives the call stays safe.
struct FakeDns {
    std::map<std::string, std::vector<Ipv4>> answers;
    std::string slow_name;
    std::mutex lock;
    std::condition_variable opened;
    bool gate_open = false;
    Texts asked;

    void open_gate() {
        {
            std::lock_guard guard(lock);
            gate_open = true;
        }
        opened.notify_all();
    }

    static Ipv4Resolver resolver(const std::shared_ptr<FakeDns>& dns) {
        return [dns](const std::string& name) {
            std::unique_lock guard(dns->lock);
            dns->asked.push_back(name);
            if (name == dns->slow_name) dns->opened.wait(guard, [&] { return dns->gate_open; });
            if (name == "throws.example") throw std::runtime_error("resolver failure");
            return dns->answers[name];
        };
    }
};

TEST(RouteExclusions, SlowLookupIsAbandonedAtTheDeadline) {
    auto dns = std::make_shared<FakeDns>();
    dns->answers = {{"fast.example", {ip(5, 5, 5, 5), ip(10, 0, 0, 1)}},
                    {"loop.example", {ip(127, 0, 0, 1), 0, ip(127, 9, 9, 9)}},
                    {"multi.example", {ip(224, 1, 1, 1)}},
                    {"slow.example", {ip(6, 6, 6, 6)}}};
    dns->slow_name = "slow.example";
    ServerList servers = {"10.0.0.1",      "fast.example", "loop.example",
                          "multi.example", "slow.example", "throws.example"};
    std::vector<Ipv4> excluded = resolve_route_exclusions(servers, FakeDns::resolver(dns));
    dns->open_gate();
    EXPECT_EQ(excluded, (std::vector<Ipv4>{ip(5, 5, 5, 5), ip(10, 0, 0, 1), ip(224, 1, 1, 1)}));
}

TEST(RouteExclusions, ResolvedAddressesPushLargerLiteralsOut) {
    auto dns = std::make_shared<FakeDns>();
    for (unsigned i = 1; i <= 40; ++i) dns->answers["wide.example"].push_back(ip(1, 0, 0, i));
    ServerList servers;
    for (unsigned i = 1; i <= 32; ++i) servers.push_back(format_ipv4(ip(100, 0, 0, i)));
    servers.push_back("wide.example");
    std::vector<Ipv4> excluded = resolve_route_exclusions(servers, FakeDns::resolver(dns));
    ASSERT_EQ(excluded.size(), 32u);
    EXPECT_EQ(excluded.front(), ip(1, 0, 0, 1));
    EXPECT_EQ(excluded.back(), ip(1, 0, 0, 32));
}

TEST(RouteExclusions, LiteralsOnlyNeedNoLookup) {
    auto dns = std::make_shared<FakeDns>();
    // Names that the system would read as other addresses are never looked up either.
    std::vector<Ipv4> excluded =
        resolve_route_exclusions({"1.1.1.1", "127.0.0.1", "010.1.1.1", "1.2.3", "0x7f.1"}, FakeDns::resolver(dns));
    EXPECT_EQ(excluded, (std::vector<Ipv4>{ip(1, 1, 1, 1)}));
    EXPECT_TRUE(dns->asked.empty());
}

TEST(BypassProcesses, SplitsNamesAndPaths) {
    ProcessSets sets = split_bypass_processes({"/opt/app/", "/usr/bin/curl", "firefox", "xray"});
    EXPECT_EQ(sets.names, (Texts{"firefox", "mihomo", "quorin", "sing-box", "xray"}));
    EXPECT_EQ(sets.paths, (Texts{"/usr/bin/curl"}));
    EXPECT_EQ(split_bypass_processes({}).names, (Texts{"mihomo", "quorin", "sing-box", "xray"}));
    EXPECT_TRUE(split_bypass_processes({}).paths.empty());
}

std::string written(const TunParameters& parameters) { return dump_pretty(build_singbox_config(parameters)) + "\n"; }

TEST(SingboxDocument, Ipv4OnlyWithoutRouting) {
    TunParameters parameters{.interface_name = "quorin0", .mtu = 1500, .socks_port = 1080};
    EXPECT_EQ(written(parameters), R"({
  "dns": {
    "final": "dns-proxy",
    "rules": [
      {
        "action": "route",
        "process_name": [
          "mihomo",
          "quorin",
          "sing-box",
          "xray"
        ],
        "server": "dns-direct"
      }
    ],
    "servers": [
      {
        "detour": "proxy",
        "server": "1.1.1.1",
        "tag": "dns-proxy",
        "type": "https"
      },
      {
        "detour": "direct",
        "server": "1.1.1.1",
        "tag": "dns-direct",
        "type": "https"
      }
    ],
    "strategy": "ipv4_only"
  },
  "inbounds": [
    {
      "address": [
        "172.29.172.1/30"
      ],
      "auto_redirect": false,
      "auto_route": false,
      "interface_name": "quorin0",
      "mtu": 1500,
      "stack": "system",
      "strict_route": false,
      "tag": "tun-in",
      "type": "tun"
    }
  ],
  "log": {
    "level": "info",
    "timestamp": true
  },
  "outbounds": [
    {
      "domain_resolver": {
        "server": "dns-proxy",
        "strategy": "prefer_ipv4"
      },
      "server": "127.0.0.1",
      "server_port": 1080,
      "tag": "proxy",
      "type": "socks"
    },
    {
      "domain_resolver": {
        "server": "dns-direct",
        "strategy": "prefer_ipv4"
      },
      "tag": "direct",
      "type": "direct"
    }
  ],
  "route": {
    "auto_detect_interface": true,
    "final": "proxy",
    "rules": [
      {
        "action": "bypass",
        "outbound": "direct",
        "process_name": [
          "mihomo",
          "quorin",
          "sing-box",
          "xray"
        ]
      },
      {
        "action": "sniff"
      },
      {
        "action": "hijack-dns",
        "protocol": "dns"
      },
      {
        "action": "reject",
        "network": "udp",
        "port": 443
      },
      {
        "action": "reject",
        "ip_version": 6
      }
    ]
  }
}
)");
}

TEST(SingboxDocument, Ipv6WithRoutingServersAndPaths) {
    TunParameters parameters{.interface_name = "tun_q-1",
                             .ipv6 = true,
                             .auto_route = true,
                             .mtu = 9000,
                             .socks_port = 65535,
                             .bypass_processes = {"/opt/app/", "/usr/bin/curl", "firefox", "xray"},
                             .server_host_names = {"example.com", "vpn.example.org"},
                             .route_exclusions = {ip(1, 1, 1, 1), ip(10, 0, 0, 1)}};
    EXPECT_EQ(written(parameters), R"({
  "dns": {
    "final": "dns-proxy",
    "rules": [
      {
        "action": "route",
        "domain_suffix": [
          "example.com",
          "vpn.example.org"
        ],
        "server": "dns-direct"
      },
      {
        "action": "route",
        "process_name": [
          "firefox",
          "mihomo",
          "quorin",
          "sing-box",
          "xray"
        ],
        "server": "dns-direct"
      },
      {
        "action": "route",
        "process_path": [
          "/usr/bin/curl"
        ],
        "server": "dns-direct"
      }
    ],
    "servers": [
      {
        "detour": "proxy",
        "server": "1.1.1.1",
        "tag": "dns-proxy",
        "type": "https"
      },
      {
        "detour": "direct",
        "server": "1.1.1.1",
        "tag": "dns-direct",
        "type": "https"
      }
    ],
    "strategy": "prefer_ipv4"
  },
  "inbounds": [
    {
      "address": [
        "172.29.172.1/30",
        "fd17:2917:2::1/126"
      ],
      "auto_redirect": true,
      "auto_route": true,
      "interface_name": "tun_q-1",
      "mtu": 9000,
      "route_exclude_address": [
        "1.1.1.1/32",
        "10.0.0.1/32"
      ],
      "stack": "system",
      "strict_route": true,
      "tag": "tun-in",
      "type": "tun"
    }
  ],
  "log": {
    "level": "info",
    "timestamp": true
  },
  "outbounds": [
    {
      "domain_resolver": {
        "server": "dns-proxy",
        "strategy": "prefer_ipv4"
      },
      "server": "127.0.0.1",
      "server_port": 65535,
      "tag": "proxy",
      "type": "socks"
    },
    {
      "domain_resolver": {
        "server": "dns-direct",
        "strategy": "prefer_ipv4"
      },
      "tag": "direct",
      "type": "direct"
    }
  ],
  "route": {
    "auto_detect_interface": true,
    "final": "proxy",
    "rules": [
      {
        "action": "bypass",
        "outbound": "direct",
        "process_name": [
          "firefox",
          "mihomo",
          "quorin",
          "sing-box",
          "xray"
        ]
      },
      {
        "action": "bypass",
        "outbound": "direct",
        "process_path": [
          "/usr/bin/curl"
        ]
      },
      {
        "action": "sniff"
      },
      {
        "action": "hijack-dns",
        "protocol": "dns"
      },
      {
        "action": "reject",
        "network": "udp",
        "port": 443
      }
    ]
  }
}
)");
}

TEST(SingboxDocument, ExclusionsAppearOnlyWithRoutingAndAddresses) {
    TunParameters parameters{.interface_name = "q", .auto_route = true, .mtu = 1280, .socks_port = 1024};
    Json inbound = build_singbox_config(parameters)["inbounds"][0];
    EXPECT_TRUE(inbound["auto_route"] && inbound["auto_redirect"] && inbound["strict_route"]);
    EXPECT_FALSE(inbound.contains("route_exclude_address"));

    parameters.auto_route = false;
    parameters.route_exclusions = {ip(1, 1, 1, 1)};
    EXPECT_FALSE(build_singbox_config(parameters)["inbounds"][0].contains("route_exclude_address"));
}

}  // namespace
}  // namespace quorin
