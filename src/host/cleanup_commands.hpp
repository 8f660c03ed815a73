#pragma once

// The argument vectors of the clean-up, kept in one place: the runners in cleanup.cpp
// iterate these lists, and unit tests check them.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorin::cleanup_detail {

// One command: the tool's name (`nft` or `ip`, looked up with find_system_tool just
// before the run) and its arguments after the program name.
struct ToolCommand {
    std::string tool;
    std::vector<std::string> args;

    bool operator==(const ToolCommand&) const = default;
};

inline constexpr std::array<std::string_view, 2> TOOL_DIRS = {"/usr/sbin", "/usr/bin"};
inline constexpr std::string_view FIREWALL_TOOL = "nft";
inline constexpr std::string_view ROUTING_TOOL = "ip";
inline constexpr std::string_view TABLE_FAMILY = "inet";
inline constexpr std::string_view KILLSWITCH_TABLE = "quorin_killswitch";
inline constexpr std::string_view BYPASS_TABLE = "quorin_bypass";
inline constexpr std::array<std::string_view, 2> CORE_TABLES = {"sing-box", "mihomo"};
inline constexpr std::array<std::string_view, 2> ADDRESS_FAMILIES = {"-4", "-6"};
// The only table and first rule priority the Mihomo policy lets a configuration choose.
inline constexpr uint32_t MIHOMO_ROUTING_TABLE = 2022;
inline constexpr uint32_t MIHOMO_FIRST_RULE_PRIORITY = 9000;
inline constexpr std::array<uint32_t, 9> RULE_PRIORITIES = {8200, 8201, 8202, MIHOMO_FIRST_RULE_PRIORITY, 9001, 9002,
                                                            9003, 9010, 32768};
inline constexpr int DELETIONS_PER_PRIORITY = 4;
inline constexpr std::array<uint32_t, 2> ROUTING_TABLES = {20220, MIHOMO_ROUTING_TABLE};
// Relative to HelperDirs::run_dir (/run/quorin), in removal order.
inline constexpr std::array<std::string_view, 2> GENERATED_CONFIG_FILES = {"sing-box.json", "mihomo.json"};

// drop_killswitch_table: 1 command.
std::vector<ToolCommand> killswitch_commands();
// clear_core_routing: 2 nft commands, then 76 ip commands (all -4 before any -6).
std::vector<ToolCommand> core_routing_commands();
// cleanup_network_state: the 80 commands, before the two file removals.
std::vector<ToolCommand> network_cleanup_commands();

// find_system_tool with the search directories as a parameter: the first directory in
// which `name` is a regular file (links followed), else `name` in the last directory.
std::string find_tool_in(std::string_view name, const std::vector<std::string>& dirs);

}  // namespace quorin::cleanup_detail
