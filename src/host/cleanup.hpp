#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorin {

// Best-effort removal of the network state a core may leave behind. Nothing here fails
// or reports: when a call returns, every command has run to completion or failed to
// start.

// /usr/sbin/<name> if it is a regular file, else /usr/bin/<name> (whether or not it is).
std::string find_system_tool(std::string_view name);
// Runs the program with exactly these arguments, stdio on the null device, and waits.
void run_quiet(const std::string& program, const std::vector<std::string>& args);
void drop_killswitch_table();
void clear_core_routing();
void cleanup_network_state();

}  // namespace quorin
