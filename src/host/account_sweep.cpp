#include "host/account_sweep.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/child.hpp"
#include "common/files.hpp"
#include "common/log.hpp"
#include "common/text.hpp"
#include "host/core_start.hpp"

namespace quorin {

namespace {

constexpr int SWEEP_ROUNDS = 5;
constexpr auto SETTLE_PERIOD = std::chrono::milliseconds(10);

// Only an account the cores alone use: kill(-1) as a uid someone shares would end that
// someone's processes, and as root every process on the machine.
std::optional<Credentials> account_without_capabilities() {
    auto account = core_credentials();
    if (!account) return std::nullopt;
    account->capabilities = 0;
    return *account;
}

// The value of one line of /proc/PID/status ("Uid:\t1\t1\t1\t1" gives "1\t1\t1\t1").
std::string_view status_field(std::string_view status, std::string_view key) {
    for (size_t at = 0; at < status.size();) {
        size_t end = status.find('\n', at);
        if (end == std::string_view::npos) end = status.size();
        std::string_view line = status.substr(at, end - at);
        if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ':')
            return trim_white_space(line.substr(key.size() + 1));
        at = end + 1;
    }
    return {};
}

// A live process that kill(-1) from `uid` reaches: its real or saved uid is the account's.
// A zombie has ended already and only waits for its parent.
bool belongs_to(std::string_view status, uid_t uid) {
    if (status_field(status, "State").starts_with('Z')) return false;
    std::string_view ids = status_field(status, "Uid");
    const std::string own = std::to_string(uid);
    std::vector<std::string_view> fields;
    for (size_t at = 0; at <= ids.size();) {
        size_t end = std::min(ids.find('\t', at), ids.size());
        fields.push_back(ids.substr(at, end - at));
        at = end + 1;
    }
    return fields.size() >= 3 && (fields[0] == own || fields[2] == own);
}

std::string read_status(std::string_view pid) {
    std::string status;
    UniqueFd file(open(("/proc/" + std::string(pid) + "/status").c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return status;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(file.get(), buffer, sizeof buffer)) > 0) status.append(buffer, static_cast<size_t>(n));
    return status;
}

// Adds to `seen` every live process of the account not in it yet; returns how many live.
size_t scan_account(uid_t uid, std::vector<pid_t>& seen) {
    size_t live = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the stream is this function's own
    while (const dirent* entry = readdir(proc)) {
        const std::string_view name(entry->d_name);
        auto pid = parse_u32(name);
        if (!pid || !belongs_to(read_status(name), uid)) continue;
        ++live;
        const auto number = static_cast<pid_t>(*pid);
        if (std::find(seen.begin(), seen.end(), number) == seen.end()) seen.push_back(number);
    }
    closedir(proc);
    return live;
}

void signal_account(const Credentials& account) {
    auto child = Child::spawn({.program = "", .credentials = account, .signal_everyone = SIGKILL});
    if (child) (void)child->wait();
}

}  // namespace

size_t end_account_processes() {
    auto account = account_without_capabilities();
    if (!account) return 0;
    std::vector<pid_t> seen;
    for (int round = 0; round < SWEEP_ROUNDS; ++round) {
        if (scan_account(account->uid, seen) == 0) return seen.size();
        signal_account(*account);
        // A killed process leaves /proc only once it has finished exiting.
        std::this_thread::sleep_for(SETTLE_PERIOD * (round + 1));
    }
    if (size_t left = scan_account(account->uid, seen); left > 0)
        log_line("Quorin helper: " + std::to_string(left) + " processes of " + CORE_ACCOUNT +
                 " are still running after the sweep");
    return seen.size();
}

void end_core_leftovers() {
    const size_t ended = end_account_processes();
    if (ended > 0) log_line("Quorin helper: ended " + std::to_string(ended) + " processes the core left running");
}

}  // namespace quorin
