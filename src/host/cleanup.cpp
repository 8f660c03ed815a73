#include "host/cleanup.hpp"

#include <unistd.h>

#include "common/child.hpp"
#include "common/files.hpp"
#include "host/cleanup_commands.hpp"

namespace quorin {

namespace cleanup_detail {

namespace {

ToolCommand nft_table(std::string_view verb, std::string_view table) {
    return {std::string(FIREWALL_TOOL), {std::string(verb), "table", std::string(TABLE_FAMILY), std::string(table)}};
}

void run_commands(const std::vector<ToolCommand>& commands) {
    for (const ToolCommand& command : commands) run_quiet(find_system_tool(command.tool), command.args);
}

}  // namespace

std::vector<ToolCommand> killswitch_commands() { return {nft_table("delete", KILLSWITCH_TABLE)}; }

std::vector<ToolCommand> core_routing_commands() {
    std::vector<ToolCommand> commands;
    commands.reserve(CORE_TABLES.size() +
                     ADDRESS_FAMILIES.size() * (RULE_PRIORITIES.size() * DELETIONS_PER_PRIORITY + ROUTING_TABLES.size()));
    for (std::string_view table : CORE_TABLES) commands.push_back(nft_table("delete", table));
    for (std::string_view family : ADDRESS_FAMILIES) {
        for (uint32_t priority : RULE_PRIORITIES) {
            for (int i = 0; i < DELETIONS_PER_PRIORITY; ++i) {
                commands.push_back({std::string(ROUTING_TOOL),
                                    {std::string(family), "rule", "delete", "priority", std::to_string(priority)}});
            }
        }
        for (uint32_t table : ROUTING_TABLES) {
            commands.push_back(
                {std::string(ROUTING_TOOL), {std::string(family), "route", "flush", "table", std::to_string(table)}});
        }
    }
    return commands;
}

std::vector<ToolCommand> network_cleanup_commands() {
    std::vector<ToolCommand> commands = killswitch_commands();
    commands.push_back(nft_table("destroy", BYPASS_TABLE));
    for (ToolCommand& command : core_routing_commands()) commands.push_back(std::move(command));
    return commands;
}

std::string find_tool_in(std::string_view name, const std::vector<std::string>& dirs) {
    for (const std::string& dir : dirs) {
        std::string path = join_path(dir, name);
        if (is_regular_file(path)) return path;
    }
    return dirs.empty() ? std::string(name) : join_path(dirs.back(), name);
}

}  // namespace cleanup_detail

std::string find_system_tool(std::string_view name) {
    return cleanup_detail::find_tool_in(
        name, {std::string(cleanup_detail::TOOL_DIRS[0]), std::string(cleanup_detail::TOOL_DIRS[1])});
}

void run_quiet(const std::string& program, const std::vector<std::string>& args) {
    auto child = Child::spawn(SpawnOptions{.program = program,
                                           .args = args,
                                           .in = Stdio::null_device,
                                           .out = Stdio::null_device,
                                           .err = Stdio::null_device});
    if (!child) return;
    (void)child->wait();
}

void drop_killswitch_table() { cleanup_detail::run_commands(cleanup_detail::killswitch_commands()); }

void clear_core_routing() { cleanup_detail::run_commands(cleanup_detail::core_routing_commands()); }

void cleanup_network_state() {
    cleanup_detail::run_commands(cleanup_detail::network_cleanup_commands());
    const HelperDirs dirs;
    for (std::string_view file : cleanup_detail::GENERATED_CONFIG_FILES)
        (void)unlink(join_path(dirs.run_dir, file).c_str());
}

}  // namespace quorin
