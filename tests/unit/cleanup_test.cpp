#include "host/cleanup.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/cleanup_commands.hpp"

namespace quorin {
namespace {

using cleanup_detail::core_routing_commands;
using cleanup_detail::find_tool_in;
using cleanup_detail::killswitch_commands;
using cleanup_detail::network_cleanup_commands;
using cleanup_detail::ToolCommand;

using Args = std::vector<std::string>;

const std::vector<std::string> PRIORITIES = {"8200", "8201", "8202", "9000", "9001", "9002", "9003", "9010", "32768"};

// The ip part of clear_core_routing for one family, written out independently of the
// implementation's tables.
std::vector<ToolCommand> expected_ip_commands(const std::string& family) {
    std::vector<ToolCommand> commands;
    for (const std::string& priority : PRIORITIES)
        for (int i = 0; i < 4; ++i) commands.push_back({"ip", {family, "rule", "delete", "priority", priority}});
    commands.push_back({"ip", {family, "route", "flush", "table", "20220"}});
    commands.push_back({"ip", {family, "route", "flush", "table", "2022"}});
    return commands;
}

// ---- The command lists ----

TEST(CleanupCommands, KillSwitchIsOneNftDelete) {
    EXPECT_EQ(killswitch_commands(),
              (std::vector<ToolCommand>{{"nft", {"delete", "table", "inet", "quorin_killswitch"}}}));
}

TEST(CleanupCommands, CoreRoutingIsTwoNftAnd76IpCommandsInOrder) {
    std::vector<ToolCommand> expected = {{"nft", {"delete", "table", "inet", "sing-box"}},
                                         {"nft", {"delete", "table", "inet", "mihomo"}}};
    for (const char* family : {"-4", "-6"}) {
        auto ip = expected_ip_commands(family);
        expected.insert(expected.end(), ip.begin(), ip.end());
    }
    auto commands = core_routing_commands();
    ASSERT_EQ(commands.size(), 78u);
    EXPECT_EQ(commands, expected);
}

TEST(CleanupCommands, FullCleanupIs80CommandsInOrder) {
    auto commands = network_cleanup_commands();
    ASSERT_EQ(commands.size(), 80u);
    EXPECT_EQ(commands[0], (ToolCommand{"nft", {"delete", "table", "inet", "quorin_killswitch"}}));
    EXPECT_EQ(commands[1], (ToolCommand{"nft", {"destroy", "table", "inet", "quorin_bypass"}}));
    EXPECT_EQ(commands[2], (ToolCommand{"nft", {"delete", "table", "inet", "sing-box"}}));
    EXPECT_EQ(commands[3], (ToolCommand{"nft", {"delete", "table", "inet", "mihomo"}}));
    EXPECT_EQ(std::vector<ToolCommand>(commands.begin() + 2, commands.end()), core_routing_commands());

    size_t nft = 0, ip = 0;
    for (const auto& command : commands) (command.tool == "nft" ? nft : ip) += 1;
    EXPECT_EQ(nft, 4u);
    EXPECT_EQ(ip, 76u);
}

TEST(CleanupCommands, EveryIpv4CommandComesBeforeAnyIpv6One) {
    auto commands = network_cleanup_commands();
    size_t last_v4 = 0, first_v6 = commands.size(), v4 = 0, v6 = 0;
    for (size_t i = 0; i < commands.size(); ++i) {
        if (commands[i].tool != "ip") continue;
        ASSERT_FALSE(commands[i].args.empty());
        if (commands[i].args[0] == "-4") {
            last_v4 = i;
            ++v4;
        } else {
            ASSERT_EQ(commands[i].args[0], "-6");
            first_v6 = std::min(first_v6, i);
            ++v6;
        }
    }
    EXPECT_EQ(v4, 38u);
    EXPECT_EQ(v6, 38u);
    EXPECT_LT(last_v4, first_v6);
    EXPECT_EQ(std::vector<ToolCommand>(commands.begin() + 4, commands.begin() + 42), expected_ip_commands("-4"));
    EXPECT_EQ(std::vector<ToolCommand>(commands.begin() + 42, commands.end()), expected_ip_commands("-6"));
}

TEST(CleanupCommands, FourDeletionsPerPriorityAndFamilyInListOrder) {
    auto commands = network_cleanup_commands();
    for (const std::string family : {"-4", "-6"}) {
        std::vector<std::string> priorities;
        for (const auto& command : commands) {
            if (command.tool == "ip" && command.args.size() == 5 && command.args[0] == family &&
                command.args[1] == "rule") {
                EXPECT_EQ(Args(command.args.begin() + 1, command.args.begin() + 4),
                          (Args{"rule", "delete", "priority"}));
                priorities.push_back(command.args[4]);
            }
        }
        ASSERT_EQ(priorities.size(), 36u) << family;
        for (size_t p = 0; p < PRIORITIES.size(); ++p)
            for (size_t i = 0; i < 4; ++i) EXPECT_EQ(priorities[p * 4 + i], PRIORITIES[p]) << family << " " << p;
    }
}

TEST(CleanupCommands, RoutingTable20220IsFlushedBefore2022AfterTheRules) {
    auto commands = core_routing_commands();
    for (const std::string family : {"-4", "-6"}) {
        std::vector<size_t> rules, flushes;
        std::vector<std::string> tables;
        for (size_t i = 0; i < commands.size(); ++i) {
            const auto& args = commands[i].args;
            if (commands[i].tool != "ip" || args[0] != family) continue;
            if (args[1] == "rule") rules.push_back(i);
            if (args[1] == "route") {
                EXPECT_EQ(Args(args.begin() + 1, args.begin() + 4), (Args{"route", "flush", "table"}));
                flushes.push_back(i);
                tables.push_back(args[4]);
            }
        }
        EXPECT_EQ(tables, (std::vector<std::string>{"20220", "2022"})) << family;
        ASSERT_FALSE(rules.empty());
        EXPECT_LT(rules.back(), flushes.front()) << family;
    }
}

// ---- Finding the tools ----

class ToolDirs : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorin-tools-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        sbin_ = root_ + "/sbin";
        bin_ = root_ + "/bin";
        std::filesystem::create_directories(sbin_);
        std::filesystem::create_directories(bin_);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    static void touch(const std::string& path) { std::ofstream(path) << "x"; }
    std::string find(std::string_view name) const { return find_tool_in(name, {sbin_, bin_}); }

    std::string root_, sbin_, bin_;
};

TEST_F(ToolDirs, SbinFirstThenBinThenBinAllTheSame) {
    EXPECT_EQ(find("nft"), bin_ + "/nft");
    touch(bin_ + "/nft");
    EXPECT_EQ(find("nft"), bin_ + "/nft");
    touch(sbin_ + "/nft");
    EXPECT_EQ(find("nft"), sbin_ + "/nft");
}

TEST_F(ToolDirs, SymbolicLinksAreFollowed) {
    touch(root_ + "/real-ip");
    ASSERT_EQ(symlink((root_ + "/real-ip").c_str(), (sbin_ + "/ip").c_str()), 0);
    EXPECT_EQ(find("ip"), sbin_ + "/ip");
    // A dangling link or a directory is not a regular file.
    ASSERT_EQ(symlink((root_ + "/gone").c_str(), (sbin_ + "/nft").c_str()), 0);
    EXPECT_EQ(find("nft"), bin_ + "/nft");
    std::filesystem::create_directories(sbin_ + "/dir-tool");
    touch(bin_ + "/dir-tool");
    EXPECT_EQ(find("dir-tool"), bin_ + "/dir-tool");
}

TEST(SystemTool, FallsBackToUsrBin) {
    EXPECT_EQ(find_system_tool("quorin-no-such-tool"), "/usr/bin/quorin-no-such-tool");
}

// ---- Running them ----

class RunQuiet : public ToolDirs {
protected:
    static std::string slurp(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

TEST_F(RunQuiet, PassesExactlyTheArgumentsAndWaits) {
    std::string out = root_ + "/out";
    // The script sleeps before it writes: the file is there only if run_quiet waited.
    run_quiet("/bin/sh", {"-c", "sleep 0.2; printf '%s|' \"$0\" \"$#\" \"$@\" > \"$0\"", out, "a b", "", "*"});
    EXPECT_EQ(slurp(out), out + "|3|a b||*|");
}

TEST_F(RunQuiet, ConnectsAllThreeStreamsToTheNullDevice) {
    std::string out = root_ + "/fds";
    // $$ is the shell itself, whose streams are the ones run_quiet set up; it stays alive
    // while the command substitution runs.
    run_quiet("/bin/sh", {"-c", "r=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); echo \"$r\" > \"$0\"", out});
    EXPECT_EQ(slurp(out), "/dev/null\n/dev/null\n/dev/null\n");
}

TEST_F(RunQuiet, IgnoresEveryOutcome) {
    auto start = std::chrono::steady_clock::now();
    run_quiet(root_ + "/missing-program", {"x"});
    run_quiet("/bin/sh", {"-c", "exit 3"});
    run_quiet("/bin/sh", {"-c", "kill -KILL $$"});
    run_quiet("/bin/sh", {"-c", "echo noise; echo more >&2"});
    touch(root_ + "/not-executable");
    run_quiet(root_ + "/not-executable", {});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace quorin
