#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "host/cleanup_commands.hpp"

namespace quorin::ctl {

enum class Verdict { ok, warn, fail, skip };

// One line of the doctor's report.
struct Check {
    std::string name{};
    Verdict verdict = Verdict::ok;
    std::string detail{};
};

std::string_view verdict_word(Verdict verdict);
// "ok   socket: /run/quorin/helper.sock answers"
std::string format_check(const Check& check);
// {"check":…,"verdict":…,"detail":…}
std::string format_check_json(const Check& check);

template <class Numbers>
constexpr Numbers sorted(Numbers numbers) {
    std::ranges::sort(numbers);
    return numbers;
}

// Policy-routing priorities and routing tables the helper's clean-up deletes, ascending:
// rules another program keeps there disappear at the next start or stop of a core.
inline constexpr auto PRODUCT_PRIORITIES = sorted(cleanup_detail::RULE_PRIORITIES);
inline constexpr auto PRODUCT_TABLES = sorted(cleanup_detail::ROUTING_TABLES);

// The verdict on the marker the helper looks for, from lstat's outcome (`st` null when
// it failed with `stat_errno`). Mirrors the helper's own admission test.
Check marker_check(const std::string& path, const struct stat* st, int stat_errno);
// The product priorities among the rules of `ip -j rule show`, one per rule.
Result<std::vector<uint32_t>> product_rule_priorities(std::string_view ip_json);
// The number of routes in `ip -j route show table N`.
Result<size_t> route_count(std::string_view ip_json);

// A configuration file's path and content, in the order systemd applies them.
struct ConfigFile {
    std::string path{};
    std::string content{};
};
struct BoolSetting {
    std::optional<bool> value{};  // none: never validly assigned
    std::string source{};         // the file of the assignment in force
};
// The value of `key` in `section` after all files: the last valid assignment wins.
BoolSetting ini_bool(const std::vector<ConfigFile>& files, std::string_view section, std::string_view key);
// systemd's boolean words; none for anything else.
std::optional<bool> parse_systemd_bool(std::string_view word);
// networkd.conf and its drop-ins, in the order networkd reads them.
std::vector<std::string> networkd_config_paths();

// The files a unit loads with `nft -f FILE` in ExecStart= or ExecReload=.
std::vector<std::string> nft_files_of_unit(std::string_view unit_text);
// True when the nft script empties the whole rule set (`flush ruleset`).
bool flushes_ruleset(std::string_view nft_text);

// Runs every check; reads only, changes nothing.
std::vector<Check> run_doctor(const std::string& socket_path);

}  // namespace quorin::ctl
