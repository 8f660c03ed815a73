#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "common/child.hpp"
#include "common/error.hpp"

namespace quorin {

// Runs a core's configuration check to its end. The error is the operating system's
// when it could not be started or did not end within `limit`; no process is left.
Result<CapturedOutput> run_core_check(const SpawnOptions& options, std::chrono::milliseconds limit);

enum class CoreStart { ready, ended, timed_out };

// Up to `checks` looks, 50 ms apart, for /sys/class/net/<interface_name> while the core
// runs and `announced` holds. `ended`: the core's status is in `core.status()`. The
// error is the operating system's when the core's state could not be read.
Result<CoreStart> wait_for_interface(Child& core, const std::string& interface_name, int checks,
                                     const std::function<bool()>& announced);

// The one end of a core that did not come up: killed unless already reaped, reaped,
// its routing cleared and its descriptors closed.
void abandon_core(Child& core);

// The journal's account of a start that failed once its core had been launched (the
// reply may name only the outermost failure): "Quorin helper: <command> failed: " and
// the cause chain.
inline constexpr std::string_view FAILED_START_INFIX = " failed: ";
void log_failed_start(std::string_view command, const Error& cause);

}  // namespace quorin
