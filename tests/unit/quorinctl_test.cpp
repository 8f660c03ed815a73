#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <thread>

#include "common/base64.hpp"
#include "common/files.hpp"
#include "common/json.hpp"
#include "common/text.hpp"
#include "quorinctl/client.hpp"
#include "quorinctl/doctor.hpp"
#include "quorinctl/profile.hpp"
#include "quorinctl/request.hpp"

namespace quorin::ctl {
namespace {

std::string error_of(const auto& result) { return result ? std::string("<ok>") : result.error().message(); }

Json decoded_word(std::string_view word) { return Json::parse(decode_base64_url(word).value()); }

// --- Request lines --------------------------------------------------------------

TEST(TunUpLine, EncodesEveryWordAsTheHelperDecodesIt) {
    TunUpArgs args{.interface = "qtun0",
                   .ipv6 = true,
                   .auto_route = false,
                   .mtu = 1500,
                   .socks_port = 10808,
                   .bypass = {"firefox", "C:\\Apps\\x.exe", "пример"},
                   .servers = {"vpn.example", "192.0.2.1"}};
    auto line = tun_up_line(args).value();
    auto words = split_white_space(line);
    ASSERT_EQ(words.size(), 8u);
    EXPECT_EQ(std::vector<std::string_view>(words.begin(), words.begin() + 6),
              (std::vector<std::string_view>{"tun-up", "qtun0", "1", "0", "1500", "10808"}));
    EXPECT_EQ(decoded_word(words[6]), Json(args.bypass));
    EXPECT_EQ(decoded_word(words[7]), Json(args.servers));
    // URL-safe alphabet, no padding: the helper's decoder refuses anything else.
    EXPECT_EQ(line.find_first_of("+/="), std::string::npos);
}

TEST(TunUpLine, LeavesTheServerWordOutWithoutServersButAlwaysSendsTheBypassWord) {
    auto line = tun_up_line({.interface = "t", .mtu = 9000, .socks_port = 1}).value();
    EXPECT_EQ(line, "tun-up t 0 0 9000 1 " + encode_base64_url("[]"));
}

TEST(TunUpLine, RefusesEntriesThatAreNotUtf8) {
    EXPECT_EQ(error_of(tun_up_line({.interface = "t", .bypass = {"a\xff"}})), "bypass entry not valid UTF-8: a\uFFFD");
    EXPECT_EQ(error_of(tun_up_line({.interface = "t", .servers = {"\xc3"}})), "server entry not valid UTF-8: \uFFFD");
}

TEST(ServerCheck, RefusesWhatTheHelperWouldDropAndSaysWhy) {
    EXPECT_TRUE(check_servers({"vpn.example.org", " 192.0.2.1 ", "VPN.Example.ORG."}));
    for (auto [entry, reason] :
         std::initializer_list<std::pair<std::string, std::string>>{{"http://vpn.example.org:443", "neither"},
                                                                    {"пример.рф", "neither"},
                                                                    {"2001:db8::7", "an IPv6"},
                                                                    {"127.0.0.1", "a loopback"},
                                                                    {"010.1.1.1", "written like an address, "
                                                                                  "which the system would read as 8.1.1.1"},
                                                                    {"0x7f.1", "written like an address, which the "
                                                                               "system would read as 127.0.0.1"},
                                                                    {"2130706433", "written like an address"}})
        EXPECT_TRUE(error_of(check_servers({entry})).starts_with("server " + entry + ": " + reason)) << entry;
    std::vector<std::string> many;
    for (int i = 1; i <= 33; ++i) many.push_back("192.0.2." + std::to_string(i));
    EXPECT_EQ(error_of(check_servers(many)),
              "more servers than the helper keeps: at most 32 IPv4 addresses and 64 servers in all");
    many.back() = "vpn.example.org";
    EXPECT_TRUE(check_servers(many));
}

TEST(MihomoUpLine, SendsTheJsonBytesAndTheMemoryLimitOnlyWhenGiven) {
    std::string json = "{\"a\": [1, 2]}\n";
    EXPECT_EQ(mihomo_up_line(json, ""), "mihomo-up " + encode_base64_url(json));
    EXPECT_EQ(mihomo_up_line(json, "512MiB"), "mihomo-up " + encode_base64_url(json) + " 512MiB");
    for (const char* good : {"512MiB", "2147483648", "1G", "1234567890123456"}) EXPECT_TRUE(is_memory_limit(good));
    for (const char* bad : {"", "MiB", "1.5GiB", "-1", "12345678901234567", "1 G", "1GiБ"})
        EXPECT_FALSE(is_memory_limit(bad)) << bad;
}

TEST(ListFile, TakesOneTrimmedEntryPerLineAndSkipsBlanksAndComments) {
    std::string content = "firefox\r\n  /usr/bin/curl \t\n\n   \n# a comment\n  # another\nC:\\x.exe\nlast";
    EXPECT_EQ(parse_list_file(content), (std::vector<std::string>{"firefox", "/usr/bin/curl", "C:\\x.exe", "last"}));
    EXPECT_TRUE(parse_list_file("").empty());
}

// --- Profiles ---------------------------------------------------------------------

Json yaml(std::string_view text) { return Json::parse(yaml_to_json(text).value()); }

TEST(YamlProfile, ReadsPlainScalarsByTheCoreSchemaAndQuotedOnesAsStrings) {
    auto value = yaml(
        "null_words: [~, null, Null, NULL]\n"
        "empty:\n"
        "bools: [true, True, FALSE, yes, no, on, off]\n"
        "ints: [0, -7, +7, 007, 0o17, 0x1F, 18446744073709551615]\n"
        "floats: [1.5, +1.50, .5, 5., -2e3, 1E-2]\n"
        "strings: ['1', \"true\", !!str 12, 1_000, 2024-01-01, 0b101, 1.2.3, \"\"]\n"
        "tagged: !custom 3\n");
    EXPECT_EQ(value["null_words"], Json::parse("[null, null, null, null]"));
    EXPECT_TRUE(value["empty"].is_null());
    EXPECT_EQ(value["bools"], Json::parse(R"([true, true, false, "yes", "no", "on", "off"])"));
    EXPECT_EQ(value["ints"], Json::parse("[0, -7, 7, 7, 15, 31, 18446744073709551615]"));
    EXPECT_EQ(value["floats"], Json::parse("[1.5, 1.5, 0.5, 5.0, -2000.0, 0.01]"));
    EXPECT_EQ(value["strings"], Json::parse(R"(["1", "true", "12", "1_000", "2024-01-01", "0b101", "1.2.3", ""])"));
    EXPECT_EQ(value["tagged"], Json(3));
}

TEST(YamlProfile, NumbersComeOutAsTheSameJsonNumbersWouldParse) {
    // The helper re-parses what we send; a YAML and a JSON profile must give the same file.
    for (const char* number : {"1.10", "1e300", "-0", "123456789012345678901234", "0.1", "3"}) {
        EXPECT_EQ(dump_pretty(yaml(std::string("v: ") + number)),
                  dump_pretty(Json::parse(std::string("{\"v\":") + number + "}")))
            << number;
    }
}

TEST(YamlProfile, ExpandsAliasesAndAppliesMergeKeys) {
    auto value = yaml(
        "base: &base {type: ss, port: 1, cipher: aes}\n"
        "extra: &extra {port: 2, udp: true}\n"
        "one: {<<: *base, port: 3}\n"
        "two: {port: 4, <<: [*extra, *base]}\n"
        "copy: *base\n"
        "quoted: {'<<': x}\n");
    EXPECT_EQ(value["one"], Json::parse(R"({"type": "ss", "port": 3, "cipher": "aes"})"));
    EXPECT_EQ(value["two"], Json::parse(R"({"type": "ss", "port": 4, "cipher": "aes", "udp": true})"));
    EXPECT_EQ(value["copy"], value["base"]);
    EXPECT_EQ(value["quoted"], Json::parse(R"({"<<": "x"})"));
}

TEST(YamlProfile, KeysAreTheirTextAndTheLastDuplicateWins) {
    EXPECT_EQ(yaml("1: a\ntrue: b\nk: 1\nk: 2\n"), Json::parse(R"({"1": "a", "true": "b", "k": 2})"));
}

TEST(YamlProfile, RefusesWhatJsonCannotHoldNamingThePlace) {
    EXPECT_EQ(error_of(yaml_to_json("a: 1\nb: .inf\n")), "line 2, column 4: .inf cannot be written in JSON");
    EXPECT_EQ(error_of(yaml_to_json("n: -.Inf")), "line 1, column 4: -.Inf cannot be written in JSON");
    EXPECT_EQ(error_of(yaml_to_json("n: .nan")), "line 1, column 4: .nan cannot be written in JSON");
    EXPECT_EQ(error_of(yaml_to_json("? [a]\n: 1\n")),
              "line 1, column 3: a key must be a string, a number or a boolean");
    EXPECT_EQ(error_of(yaml_to_json("~: 1")), "line 1, column 1: a key must be a string, a number or a boolean");
    EXPECT_EQ(error_of(yaml_to_json("x: 0x10000000000000000")),
              "line 1, column 4: 0x10000000000000000 does not fit in 64 bits");
    EXPECT_EQ(error_of(yaml_to_json("x: 1e400")), "line 1, column 4: 1e400 is too large for a JSON number");
    EXPECT_EQ(error_of(yaml_to_json("a: 1\n---\nb: 2\n")), "a profile is exactly one YAML document");
    EXPECT_EQ(error_of(yaml_to_json("")), "a profile is exactly one YAML document");
    EXPECT_EQ(error_of(yaml_to_json("a: [1\n")).substr(0, 5), "line ");
    EXPECT_EQ(error_of(yaml_to_json("a: \xff")), "not valid UTF-8");
    EXPECT_EQ(error_of(yaml_to_json("a: {<<: 1}")), "line 1, column 9: << must merge a mapping");
}

TEST(YamlProfile, RefusesAliasBombsAndDeepNesting) {
    std::string leaf(1000, 'x');
    std::string bomb = "a: &a [" + leaf + ", " + leaf + "]\n";
    for (char level = 'b'; level <= 'f'; ++level) {
        std::string prev(1, static_cast<char>(level - 1));
        bomb += std::string(1, level) + ": &" + level + " [*" + prev + ", *" + prev + ", *" + prev + ", *" + prev +
                ", *" + prev + ", *" + prev + ", *" + prev + ", *" + prev + ", *" + prev + ", *" + prev + "]\n";
    }
    EXPECT_EQ(error_of(yaml_to_json(bomb)), "the profile expands to more than 16 MiB of JSON");
    EXPECT_TRUE(yaml_to_json(std::string(127, '[') + std::string(127, ']')));
    EXPECT_EQ(error_of(yaml_to_json(std::string(128, '[') + std::string(128, ']'))).substr(0, 26),
              "line 1, column 128: nested");
}

TEST(ProfileFormat, JsonIsSentAsItIsAndYamlConverted) {
    std::string json = "{ \"b\": 1,\n  \"a\": 1.50 }\n";
    EXPECT_EQ(profile_json("p.json", json).value(), json);
    EXPECT_EQ(profile_json("profile", json).value(), json);
    EXPECT_EQ(profile_json("-", json).value(), json);
    EXPECT_EQ(profile_json("p.yaml", "b: 1\na: x\n").value(), R"({"a":"x","b":1})");
    EXPECT_EQ(profile_json("p.yml", "{\"b\": 1}").value(), R"({"b":1})");
    EXPECT_EQ(profile_json("profile", "b: 1\n").value(), R"({"b":1})");
    EXPECT_EQ(error_of(profile_json("p.json", "b: 1\n")).substr(0, 15), "not valid JSON:");
    EXPECT_EQ(error_of(profile_json("p.yaml", "a: .nan")),
              "not a usable YAML profile: line 1, column 4: .nan cannot be written in JSON");
}

TEST(ProfileSecret, IsAddedAsTheLastMemberOfAnObjectWithoutOne) {
    struct Row {
        std::string json, expected;
    };
    for (const auto& [json, expected] :
         {Row{"{ \"b\": 1,\n  \"a\": 1.50 }\n", "{ \"b\": 1,\n  \"a\": 1.50 ,\"secret\":\"s\\\"\"}\n"},
          Row{"{}", "{\"secret\":\"s\\\"\"}"}, Row{" {\n} \r\n\t", " {\n\"secret\":\"s\\\"\"} \r\n\t"},
          Row{"{\"s\":{}}", "{\"s\":{},\"secret\":\"s\\\"\"}"}}) {
        EXPECT_TRUE(lacks_api_secret(json)) << json;
        EXPECT_EQ(with_api_secret(json, "s\"").value_or("<none>"), expected) << json;
    }
    // Sent as they are: the helper judges a secret of the profile's own, and anything
    // that is not an object.
    for (const char* json :
         {"{\"secret\": \"mine\"}", "{\"secret\": null}", "{\"secret\":\"\"}", "[{}]", "\"{}\"", "{"}) {
        EXPECT_FALSE(lacks_api_secret(json)) << json;
        EXPECT_EQ(with_api_secret(json, "s"), std::nullopt) << json;
    }
}

TEST(ProfileSecret, IsTwoHundredFiftySixFreshRandomBitsInHex) {
    auto first = generate_api_secret().value();
    EXPECT_EQ(first.size(), 64u);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(generate_api_secret().value(), first);
}

// --- Replies and the connection -----------------------------------------------------

TEST(ReplyParsing, AcceptsTheHelpersFormsAndRefusesAnythingElse) {
    auto status = parse_reply("{\"ok\":true,\"version\":\"Xray v1\",\"error\":null,\"interface\":null}\n").value();
    EXPECT_TRUE(status.ok);
    EXPECT_EQ(status.version, "Xray v1");
    auto refused = parse_reply("{\"ok\":false,\"version\":null,\"error\":\"нет \\\"x\\\"\",\"interface\":null}\n");
    EXPECT_EQ(refused.value().error, "нет \"x\"");
    EXPECT_EQ(refused.value().raw, "{\"ok\":false,\"version\":null,\"error\":\"нет \\\"x\\\"\",\"interface\":null}\n");
    for (const char* bad : {"", "{\"ok\":true,\"version\":null,\"error\":null,\"interface\":null}",
                            "{\"ok\":true,\"version\":null,\"error\":null,\"interface\":null}\n\n", "[]\n",
                            "nonsense\n", "{\"ok\":1,\"version\":null,\"error\":null,\"interface\":null}\n",
                            "{\"ok\":true,\"version\":null,\"error\":null}\n",
                            "{\"ok\":true,\"version\":5,\"error\":null,\"interface\":null}\n",
                            "{\"ok\":false,\"version\":null,\"error\":null,\"interface\":null}\n",
                            "{\"ok\":true,\"version\":null,\"error\":\"x\",\"interface\":null}\n"})
        EXPECT_FALSE(parse_reply(bad)) << bad;
}

class ExchangeTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = join_path(testing::TempDir(), "quorinctl-XXXXXX");
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/helper.sock";
    }
    void TearDown() override {
        (void)unlink(path_.c_str());
        (void)rmdir(dir_.c_str());
    }
    // A one-connection server that records what it read and answers `reply`.
    std::thread serve_once(std::string reply, std::string& received) {
        UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener.get(), 1), 0);
        return std::thread([listener = std::move(listener), reply, &received]() mutable {
            UniqueFd connection(accept(listener.get(), nullptr, nullptr));
            char chunk[256];
            ssize_t n;
            while ((n = read(connection.get(), chunk, sizeof chunk)) > 0) received.append(chunk, size_t(n));
            (void)write_all(connection.get(), reply);
        });
    }
    std::string dir_, path_;
};

constexpr auto LIMIT = std::chrono::seconds(60);

TEST_F(ExchangeTest, SendsOneLineAndReturnsEverythingUntilTheHelperCloses) {
    std::string received;
    auto server = serve_once("{\"ok\":true}\n", received);
    auto reply = exchange(path_, "tun-status", LIMIT);
    server.join();
    EXPECT_EQ(received, "tun-status\n");
    EXPECT_EQ(reply.value(), "{\"ok\":true}\n");
}

TEST_F(ExchangeTest, ExplainsAMissingOrDeadHelper) {
    EXPECT_EQ(error_of(exchange(path_, "status", LIMIT)),
              "the helper is not running: no socket at " + path_ + " (systemctl enable --now quorin-helper.socket)");
    std::string received;
    auto server = serve_once("", received);
    EXPECT_EQ(error_of(exchange(path_, "status", LIMIT)), "the helper closed the connection without a reply");
    server.join();
    EXPECT_EQ(error_of(exchange(path_, "status", LIMIT)), "the helper is not running: nothing listens on " + path_);
    // Listening but never accepting: the first connection waits for a reply, the next for room in the backlog.
    UniqueFd busy(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    (void)unlink(path_.c_str());
    ASSERT_EQ(bind(busy.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(busy.get(), 0), 0);
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_EQ(error_of(exchange(path_, "status", std::chrono::milliseconds(300))),
                  "no reply within 1 s: the helper may be busy with other requests");
}

// --- Doctor -------------------------------------------------------------------------

TEST(DoctorMarker, FollowsTheHelpersAdmissionTest) {
    struct stat st {};
    st.st_mode = S_IFREG | 0644;
    EXPECT_EQ(marker_check("/m", &st, 0).verdict, Verdict::ok);
    EXPECT_EQ(marker_check("/m", &st, 0).detail, "marker /m (uid 0, mode 0644)");
    for (mode_t bad : {S_IFREG | 0664, S_IFREG | 0602, S_IFDIR | 0700, S_IFLNK | 0777}) {
        st.st_mode = bad;
        EXPECT_EQ(marker_check("/m", &st, 0).verdict, Verdict::fail) << std::oct << bad;
    }
    st.st_mode = S_IFREG | 0600;
    st.st_uid = 1000;
    EXPECT_EQ(marker_check("/m", &st, 0).verdict, Verdict::fail);
    auto missing = marker_check("/m", nullptr, ENOENT);
    EXPECT_EQ(missing.verdict, Verdict::fail);
    EXPECT_EQ(missing.detail,
              "no marker /m: run `quorinctl setup` (pkexec /usr/sbin/quorin-helper setup) once as this user");
    EXPECT_EQ(marker_check("/m", nullptr, EACCES).detail, "cannot examine /m: Permission denied (os error 13)");
}

TEST(DoctorRouting, PicksTheProductsPrioritiesAndCountsRoutes) {
    std::string rules = R"([{"priority":0,"src":"all","table":"local"},{"priority":9000,"table":"2022"},
        {"priority":9000,"src":"10.0.0.1"},{"priority":9004},{"priority":32768},{"priority":32766,"table":"main"},
        {"src":"all"}])";
    EXPECT_EQ(product_rule_priorities(rules).value(), (std::vector<uint32_t>{9000, 9000, 32768}));
    EXPECT_FALSE(product_rule_priorities("Error"));
    EXPECT_EQ(route_count(R"([{"dst":"blackhole 10.0.0.0/8"},{"dst":"default"}])").value(), 2u);
    EXPECT_EQ(route_count("[]\n").value(), 0u);
    EXPECT_EQ(route_count("").value(), 0u);
}

TEST(DoctorNetworkd, TheLastValidAssignmentInTheNetworkSectionWins) {
    std::vector<ConfigFile> files = {
        {"/etc/systemd/networkd.conf", "[Network]\n#ManageForeignRoutingPolicyRules=no\nSpeedMeter=no\n"},
        {"/usr/lib/systemd/networkd.conf.d/10.conf", "[Network]\n ManageForeignRoutingPolicyRules = No \n"},
        {"/etc/systemd/networkd.conf.d/20.conf", "[DHCPv4]\nManageForeignRoutingPolicyRules=yes\n"},
        {"/etc/systemd/networkd.conf.d/30.conf", "[Network]\nManageForeignRoutingPolicyRules=maybe\n"}};
    auto setting = ini_bool(files, "Network", "ManageForeignRoutingPolicyRules");
    EXPECT_EQ(setting.value, false);
    EXPECT_EQ(setting.source, "/usr/lib/systemd/networkd.conf.d/10.conf");
    files.push_back({"/etc/systemd/networkd.conf.d/40.conf", "[Network]\nManageForeignRoutingPolicyRules=on\n"});
    EXPECT_EQ(ini_bool(files, "Network", "ManageForeignRoutingPolicyRules").value, true);
    EXPECT_EQ(ini_bool({files[0]}, "Network", "ManageForeignRoutingPolicyRules").value, std::nullopt);
}

TEST(DoctorNftables, FindsTheScriptsAUnitLoadsAndWhetherTheyFlushEverything) {
    std::string unit =
        "[Service]\nType=oneshot\nExecStart=/usr/sbin/nft -f /etc/nftables.conf\n"
        "ExecReload=/usr/sbin/nft -f /etc/nftables.conf\nExecStop=/usr/sbin/nft flush ruleset\n"
        "ExecStartPost=/usr/sbin/nft --file /etc/extra.nft\n";
    EXPECT_EQ(nft_files_of_unit(unit), (std::vector<std::string>{"/etc/nftables.conf"}));
    EXPECT_EQ(nft_files_of_unit("ExecStart=/usr/sbin/nft --file /etc/a.nft -c\nExecReload=nft -f /etc/b.nft"),
              (std::vector<std::string>{"/etc/a.nft", "/etc/b.nft"}));
    EXPECT_TRUE(flushes_ruleset("#!/usr/sbin/nft -f\n\nflush ruleset\n\ntable inet filter {\n}\n"));
    EXPECT_TRUE(flushes_ruleset("  flush   ruleset;\n"));
    EXPECT_TRUE(flushes_ruleset("add table inet x; flush ruleset\n"));
    EXPECT_FALSE(flushes_ruleset("# flush ruleset\ntable inet filter { }\n"));
    EXPECT_FALSE(flushes_ruleset("flush table inet filter\nflush ruleset_x\n"));
}

}  // namespace
}  // namespace quorin::ctl
