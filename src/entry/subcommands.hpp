#pragma once

#include <string_view>

#include "common/error.hpp"

namespace quorin {

// Runs the subcommand named by the first argument; the error is what the process
// reports before it exits with status 1.
Result<void> run_subcommand(std::string_view command);

Result<void> run_setup();
Result<void> run_serve();
void run_cleanup();

}  // namespace quorin
