#pragma once

#include <linux/capability.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/child.hpp"
#include "common/error.hpp"

namespace quorin {

// The system account of the cores, created by the package.
inline constexpr const char* CORE_ACCOUNT = "quorin-core";

// What a core keeps of root: its TUN interface, routes, rules and nftables tables
// (NET_ADMIN), raw sockets (NET_RAW), ports below 1024 (NET_BIND_SERVICE), and every
// process's /proc/PID/exe and fd/, which it reads to match a connection to the program
// that made it (SYS_PTRACE for another user's process, DAC_READ_SEARCH for its modes).
inline constexpr uint64_t CORE_CAPABILITIES = uint64_t{1} << CAP_NET_ADMIN | uint64_t{1} << CAP_NET_RAW |
                                              uint64_t{1} << CAP_NET_BIND_SERVICE | uint64_t{1} << CAP_SYS_PTRACE |
                                              uint64_t{1} << CAP_DAC_READ_SEARCH;

// The refusal when the account database has no such account.
inline constexpr const char* NO_CORE_ACCOUNT = "системный пользователь quorin-core не найден; переустановите Quorin";

// What the account database says about the cores' account and whoever shares it.
struct CoreAccountFacts {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string shell;
    std::optional<std::string> group_name{};   // of its primary group; none: no such group
    std::vector<std::string> group_members{};  // listed in that group
    std::vector<std::string> sharers{};        // other accounts with its uid or its primary group
    unsigned system_id_max = 999;              // SYS_UID_MAX of /etc/login.defs
};

// Why the account is not one that belongs to the cores alone (Russian, for the reply),
// or none: a system uid and gid, not 0; its own group, named after it, with no members;
// no other account with its uid or its group; no login shell.
std::optional<std::string> core_account_problem(const CoreAccountFacts& facts);

// The credentials every core process runs with: the account's uid and gid, nothing of
// root but CORE_CAPABILITIES. A missing account, or one core_account_problem finds
// unsound, is an error: a core never runs as root, nor as an account someone shares.
Result<Credentials> core_credentials();

// Runs a core's configuration check to its end. The error is the operating system's
// when it could not be started or did not end within `limit`; no process is left, of
// the check or of anything it started.
Result<CapturedOutput> run_core_check(const SpawnOptions& options, std::chrono::milliseconds limit);

enum class CoreStart { ready, ended, timed_out };

// Up to `checks` looks, 50 ms apart, for /sys/class/net/<interface_name> while the core
// runs and `announced` holds. `ended`: the core's status is in `core.status()`. The
// error is the operating system's when the core's state could not be read.
Result<CoreStart> wait_for_interface(Child& core, const std::string& interface_name, int checks,
                                     const std::function<bool()>& announced);

// The one end of a core that did not come up: killed unless already reaped, reaped,
// whatever it started ended, its routing cleared and its descriptors closed.
void abandon_core(Child& core);

// The journal's account of a start that failed once its core had been launched (the
// reply may name only the outermost failure): "Quorin helper: <command> failed: " and
// the cause chain.
inline constexpr std::string_view FAILED_START_INFIX = " failed: ";
void log_failed_start(std::string_view command, const Error& cause);

}  // namespace quorin
