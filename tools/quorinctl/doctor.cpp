#include "quorinctl/doctor.hpp"

#include <dirent.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <regex>

#include "common/child.hpp"
#include "common/files.hpp"
#include "common/json.hpp"
#include "common/text.hpp"
#include "host/catalogue.hpp"
#include "host/cleanup.hpp"
#include "host/core_start.hpp"
#include "privileged/admission.hpp"
#include "quorinctl/client.hpp"

namespace quorin::ctl {

namespace {

constexpr auto TOOL_LIMIT = std::chrono::seconds(10);
// The helper serves one client at a time and a core start may take a while; waiting
// longer than this tells the person more than waiting on.
constexpr auto REPLY_LIMIT = std::chrono::seconds(15);

const char* const UNIT_DIRS[] = {"/etc/systemd/system", "/run/systemd/system", "/usr/local/lib/systemd/system",
                                 "/usr/lib/systemd/system", "/lib/systemd/system"};

std::string octal_mode(mode_t mode) {
    char text[8];
    (void)std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string_view trim_ascii(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// *.conf names in the directories; a name in an earlier directory hides the same name
// in later ones; sorted by name, as systemd orders drop-ins.
std::vector<std::string> drop_in_files(const std::vector<std::string>& dirs) {
    std::map<std::string, std::string> by_name;
    for (const auto& dir : dirs) {
        DIR* stream = opendir(dir.c_str());
        if (stream == nullptr) continue;
        while (dirent* entry = readdir(stream)) {  // NOLINT(concurrency-mt-unsafe): quorinctl has one thread
            std::string name = entry->d_name;
            if (name.ends_with(".conf")) by_name.emplace(name, join_path(dir, name));
        }
        closedir(stream);
    }
    std::vector<std::string> paths;
    paths.reserve(by_name.size());
    for (auto& [name, path] : by_name) paths.push_back(path);
    return paths;
}

std::vector<ConfigFile> read_existing(const std::vector<std::string>& paths) {
    std::vector<ConfigFile> files;
    for (const auto& path : paths) {
        if (auto content = read_file(path)) files.push_back({path, std::move(*content)});
    }
    return files;
}

struct ToolRun {
    bool success = false;
    // cppcheck-suppress unusedStructMember ; read through Result<ToolRun>, which it does not follow
    std::string out{};
};

Result<ToolRun> run_tool(const std::string& program, std::vector<std::string> args) {
    auto child = Child::spawn({.program = program, .args = std::move(args), .out = Stdio::pipe, .err = Stdio::pipe});
    if (!child) return fail(program + " cannot run", child.error());
    auto output = child->collect(TOOL_LIMIT);
    if (!output) return fail(program + " did not finish", output.error());
    return ToolRun{output->status.success(), std::move(output->out)};
}

std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

std::string systemctl_path() { return is_regular_file("/usr/bin/systemctl") ? "/usr/bin/systemctl" : "/bin/systemctl"; }
std::string journalctl_path() {
    return is_regular_file("/usr/bin/journalctl") ? "/usr/bin/journalctl" : "/bin/journalctl";
}

// "enabled" and its variants; none when systemctl cannot tell.
std::optional<bool> unit_enabled(const std::string& unit) {
    auto run = run_tool(systemctl_path(), {"is-enabled", unit});
    if (!run) return std::nullopt;
    std::string state(trim_ascii(run->out.substr(0, run->out.find('\n'))));
    if (state.empty()) return std::nullopt;
    return state.starts_with("enabled") || state == "alias" || state == "indirect";
}

// The last `most` lines of the journal's text in which the helper reported a failed
// start ("Quorin helper: <command> failed: <causes>").
std::vector<std::string> failed_starts(std::string_view journal, size_t most) {
    std::vector<std::string> found;
    for (auto& line : lines_of(journal)) {
        size_t prefix = line.find("Quorin helper: ");
        if (prefix != std::string::npos && line.find(FAILED_START_INFIX, prefix) != std::string::npos)
            found.push_back(std::move(line));
    }
    if (found.size() > most) found.erase(found.begin(), found.end() - static_cast<ptrdiff_t>(most));
    return found;
}

// journalctl shows the system's journal, the helper's included, to root and to the
// members of these groups; to anyone else it shows nothing of the helper's.
bool may_read_system_journal() {
    if (geteuid() == 0) return true;
    int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 0)));
    if (count > 0 && getgroups(count, groups.data()) < 0) groups.clear();
    groups.push_back(getegid());
    for (const char* name : {"adm", "systemd-journal"}) {
        const group* entry = getgrnam(name);  // NOLINT(concurrency-mt-unsafe): quorinctl has one thread
        if (entry != nullptr && std::ranges::find(groups, entry->gr_gid) != groups.end()) return true;
    }
    return false;
}

}  // namespace

std::string_view verdict_word(Verdict verdict) {
    switch (verdict) {
        case Verdict::ok:
            return "ok";
        case Verdict::warn:
            return "warn";
        case Verdict::fail:
            return "FAIL";
        case Verdict::skip:
            return "skip";
    }
    return "?";
}

std::string format_check(const Check& check) {
    std::string word(verdict_word(check.verdict));
    word.resize(5, ' ');
    return word + check.name + ": " + check.detail;
}

std::string format_check_json(const Check& check) {
    Json line = {{"check", check.name}, {"verdict", lower(verdict_word(check.verdict))}, {"detail", check.detail}};
    return dump_compact(line);
}

Check marker_check(const std::string& path, const struct stat* st, int stat_errno) {
    Check check{.name = "authorisation"};
    if (st == nullptr) {
        check.verdict = Verdict::fail;
        check.detail = stat_errno == ENOENT
                           ? "no marker " + path +
                                 ": run `quorinctl setup` (pkexec /usr/sbin/quorin-helper setup) once as this user"
                           : "cannot examine " + path + ": " + Error::os(stat_errno).message();
        return check;
    }
    std::string facts = "uid " + std::to_string(st->st_uid) + ", mode " + octal_mode(st->st_mode);
    bool regular = S_ISREG(st->st_mode);
    bool writable_by_others = (st->st_mode & 022) != 0;
    if (!regular || writable_by_others || st->st_uid != 0) {
        check.verdict = Verdict::fail;
        check.detail = "damaged marker " + path + " (" + (regular ? "regular file" : "not a regular file") + ", " +
                       facts +
                       "): the helper wants a root-owned regular file writable by root alone; run setup again"
                       " after removing it";
        return check;
    }
    check.detail = "marker " + path + " (" + facts + ")";
    return check;
}

Result<std::vector<uint32_t>> product_rule_priorities(std::string_view ip_json) {
    auto rules = parse_json(ip_json, 8);
    if (!rules || !rules->is_array()) return fail("unexpected output of ip rule");
    std::vector<uint32_t> found;
    for (const auto& rule : *rules) {
        auto priority = rule.find("priority");
        if (priority == rule.end() || !priority->is_number_unsigned()) continue;
        auto value = priority->get<uint32_t>();
        if (std::ranges::find(PRODUCT_PRIORITIES, value) != std::end(PRODUCT_PRIORITIES)) found.push_back(value);
    }
    return found;
}

Result<size_t> route_count(std::string_view ip_json) {
    if (trim_ascii(ip_json).empty()) return size_t{0};
    auto routes = parse_json(ip_json, 8);
    if (!routes || !routes->is_array()) return fail("unexpected output of ip route");
    return routes->size();
}

std::optional<bool> parse_systemd_bool(std::string_view word) {
    std::string w = lower(word);
    for (const char* yes : {"1", "yes", "y", "true", "t", "on"}) {
        if (w == yes) return true;
    }
    for (const char* no : {"0", "no", "n", "false", "f", "off"}) {
        if (w == no) return false;
    }
    return std::nullopt;
}

BoolSetting ini_bool(const std::vector<ConfigFile>& files, std::string_view section, std::string_view key) {
    BoolSetting setting;
    for (const auto& file : files) {
        std::string_view rest = file.content, current;
        while (!rest.empty()) {
            size_t end = rest.find('\n');
            std::string_view line = trim_ascii(rest.substr(0, end));
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
            if (line.empty() || line.front() == '#' || line.front() == ';') continue;
            if (line.front() == '[' && line.back() == ']') {
                current = line.substr(1, line.size() - 2);
                continue;
            }
            size_t equals = line.find('=');
            if (current != section || equals == std::string_view::npos || trim_ascii(line.substr(0, equals)) != key)
                continue;
            // systemd ignores an assignment it cannot parse, keeping the earlier value.
            if (auto value = parse_systemd_bool(trim_ascii(line.substr(equals + 1)))) {
                setting.value = value;
                setting.source = file.path;
            }
        }
    }
    return setting;
}

std::vector<std::string> networkd_config_paths() {
    std::vector<std::string> paths;
    for (const char* main : {"/etc/systemd/networkd.conf", "/run/systemd/networkd.conf",
                             "/usr/local/lib/systemd/networkd.conf", "/usr/lib/systemd/networkd.conf"}) {
        if (path_exists(main)) {
            paths.emplace_back(main);
            break;
        }
    }
    auto drop_ins = drop_in_files({"/etc/systemd/networkd.conf.d", "/run/systemd/networkd.conf.d",
                                   "/usr/local/lib/systemd/networkd.conf.d", "/usr/lib/systemd/networkd.conf.d"});
    paths.insert(paths.end(), drop_ins.begin(), drop_ins.end());
    return paths;
}

std::vector<std::string> nft_files_of_unit(std::string_view unit_text) {
    static const std::regex EXEC_LINE(R"(\s*Exec(Start|Reload)\s*=(.*))");
    static const std::regex FILE_ARGUMENT(R"((^|\s)(-f|--file)\s+([^\s;]+))");
    std::vector<std::string> files;
    for (const auto& line : lines_of(unit_text)) {
        std::smatch exec;
        if (!std::regex_match(line, exec, EXEC_LINE)) continue;
        std::string command = exec[2];
        for (auto arg = std::sregex_iterator(command.begin(), command.end(), FILE_ARGUMENT);
             arg != std::sregex_iterator(); ++arg) {
            std::string file = (*arg)[3];
            if (std::ranges::find(files, file) == files.end()) files.push_back(file);
        }
    }
    return files;
}

bool flushes_ruleset(std::string_view nft_text) {
    static const std::regex FLUSH(R"((^|;)\s*flush\s+ruleset\s*($|;))");
    for (auto line : lines_of(nft_text)) {
        line = line.substr(0, line.find('#'));
        if (std::regex_search(line, FLUSH)) return true;
    }
    return false;
}

namespace {

struct Asked {
    std::optional<Reply> reply{};
    std::string problem{};  // why there is no reply
};

Asked ask(const std::string& socket_path, std::string_view line) {
    auto raw = exchange(socket_path, line, REPLY_LIMIT);
    if (!raw) return {.problem = raw.error().chain()};
    auto reply = parse_reply(std::move(*raw));
    if (!reply) return {.problem = "an answer that is not the helper's: " + reply.error().chain()};
    return {.reply = std::move(*reply)};
}

bool refused_admission(const Reply& reply) {
    return !reply.ok && (reply.error == NOT_AUTHORISED || reply.error == DAMAGED_MARKER);
}

Check socket_file_check(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        int errnum = errno;
        return {"socket", Verdict::fail,
                errnum == ENOENT ? "no socket at " + path +
                                       ": the helper is not running (systemctl enable --now quorin-helper.socket)"
                                 : "cannot examine " + path + ": " + Error::os(errnum).message()};
    }
    if (!S_ISSOCK(st.st_mode)) return {"socket", Verdict::fail, path + " exists but is not a socket"};
    return {"socket", Verdict::ok, path + " (mode " + octal_mode(st.st_mode) + ")"};
}

Check answer_check(const Asked& status) {
    if (!status.reply) return {"helper", Verdict::fail, "does not answer: " + status.problem};
    const Reply& reply = *status.reply;
    return {"helper", Verdict::ok, reply.ok ? "answers" : "answers (status refused: " + *reply.error + ")"};
}

Check authorisation_check() {
    std::string path = join_path(MARKER_DIR, std::to_string(getuid()));
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return marker_check(path, nullptr, errno);
    return marker_check(path, &st, 0);
}

std::string core_copy(const std::string& name, const std::optional<InstalledCore>& core) {
    if (!core) return name + " not visible to this user";
    bool built_in = core->executable.starts_with("/usr/lib/quorin/cores/");
    return name + " " + core->version + (built_in ? " built-in " : " managed ") + core->executable;
}

// Which copies are in force, as far as this user can see the catalogue's files.
std::string copies_in_force() {
    HelperDirs dirs;
    auto xray = resolve_xray(dirs);
    auto sing_box = resolve_sing_box(dirs);
    return core_copy("Xray", xray ? *xray : std::nullopt) + "; " +
           core_copy("sing-box", sing_box ? *sing_box : std::nullopt) + "; " +
           core_copy("Mihomo", resolve_mihomo(dirs));
}

// The account the helper runs the cores as: it refuses every start without a sound one.
Check account_check() {
    auto account = core_credentials();
    if (account)
        return {"account", Verdict::ok, std::string(CORE_ACCOUNT) + " (uid " + std::to_string(account->uid) + ")"};
    const bool missing = account.error().message() == NO_CORE_ACCOUNT;
    return {"account", Verdict::fail,
            account.error().message() +
                (missing ? ": create it as root: systemd-sysusers /usr/lib/sysusers.d/quorin-helper.conf"
                         : ": as root, make it a system account of its own (uid and gid not 0 and at most SYS_UID_MAX "
                           "of /etc/login.defs, 999 by default; its own group without members, shared with no account, "
                           "shell /usr/sbin/nologin), or remove it and "
                           "run systemd-sysusers /usr/lib/sysusers.d/quorin-helper.conf")};
}

Check cores_check(const Asked& status) {
    if (!status.reply) return {"cores", Verdict::skip, "unknown: the helper did not answer"};
    const Reply& reply = *status.reply;
    if (refused_admission(reply)) return {"cores", Verdict::skip, "unknown: the helper refused this user"};
    if (!reply.ok) return {"cores", Verdict::fail, *reply.error};
    return {"cores", Verdict::ok, reply.version.value_or("") + " (" + copies_in_force() + ")"};
}

// The session check, and whether a session runs (none when unknown).
std::pair<Check, std::optional<bool>> session_check(const std::string& socket_path, const Asked& status) {
    if (!status.reply) return {{"session", Verdict::skip, "unknown: the helper did not answer"}, std::nullopt};
    Asked asked = ask(socket_path, "tun-status");
    if (!asked.reply) return {{"session", Verdict::skip, "unknown: " + asked.problem}, std::nullopt};
    const Reply& reply = *asked.reply;
    if (!reply.ok) return {{"session", Verdict::skip, "unknown: " + *reply.error}, std::nullopt};
    if (!reply.interface) return {{"session", Verdict::ok, "none running"}, false};
    return {{"session", Verdict::ok, "running on " + *reply.interface}, true};
}

// Findings such as "IPv4 rules at 9000, 9000" and "IPv6 routes in table 2022: 3".
Result<std::vector<std::string>> foreign_routing_state() {
    std::string ip = find_system_tool("ip");
    std::vector<std::string> findings;
    for (const auto& [family, label] : {std::pair{"-4", "IPv4"}, std::pair{"-6", "IPv6"}}) {
        auto rules = run_tool(ip, {"-j", family, "rule", "show"});
        if (!rules) return fail(rules.error());
        auto priorities = product_rule_priorities(rules->out);
        if (!priorities) return fail(priorities.error());
        if (!priorities->empty()) {
            std::string list;
            for (uint32_t p : *priorities) list += (list.empty() ? "" : ", ") + std::to_string(p);
            findings.push_back(std::string(label) + " rules at " + list);
        }
        for (uint32_t table : PRODUCT_TABLES) {
            auto routes = run_tool(ip, {"-j", family, "route", "show", "table", std::to_string(table)});
            if (!routes) return fail(routes.error());
            // ip fails on a table that does not exist: no routes.
            auto count = routes->success ? route_count(routes->out) : Result<size_t>(size_t{0});
            if (!count) return fail(count.error());
            if (*count > 0)
                findings.push_back(std::string(label) + " routes in table " + std::to_string(table) + ": " +
                                   std::to_string(*count));
        }
    }
    return findings;
}

Check routing_check(std::optional<bool> session_running) {
    const std::string name = "routing";
    if (session_running == true) return {name, Verdict::skip, "a session runs; its rules and routes are expected"};
    auto findings = foreign_routing_state();
    if (!findings) return {name, Verdict::skip, "cannot read the rules: " + findings.error().chain()};
    if (findings->empty())
        return {name, Verdict::ok,
                "no rules at priorities 8200-8202, 9000-9003, 9010, 32768, no routes in tables 2022, 20220"};
    std::string list;
    for (const auto& finding : *findings) list += (list.empty() ? "" : "; ") + finding;
    std::string context = session_running ? "while no session runs" : "(whether a session runs is unknown)";
    return {name, Verdict::warn,
            list + " " + context +
                ": another program's or a dead core's; the helper deletes them whenever a core starts or stops"};
}

Check networkd_check() {
    const std::string name = "networkd";
    auto enabled = unit_enabled("systemd-networkd.service");
    auto setting = ini_bool(read_existing(networkd_config_paths()), "Network", "ManageForeignRoutingPolicyRules");
    std::string where = setting.value ? " in " + setting.source : " (the default)";
    if (enabled == false) return {name, Verdict::ok, "systemd-networkd is not enabled"};
    if (setting.value == false) return {name, Verdict::ok, "ManageForeignRoutingPolicyRules=no" + where};
    std::string subject = enabled.has_value() ? "systemd-networkd is enabled" : "if systemd-networkd runs, it";
    return {name, Verdict::warn,
            subject + " and manages foreign routing-policy rules (ManageForeignRoutingPolicyRules=yes" + where +
                "): it deletes the cores' rules when it reconfigures; set ManageForeignRoutingPolicyRules=no in "
                "/etc/systemd/networkd.conf.d/quorin.conf"};
}

Check nftables_check() {
    const std::string name = "nftables";
    auto enabled = unit_enabled("nftables.service");
    if (!enabled) return {name, Verdict::skip, "cannot tell whether nftables.service is enabled"};
    if (!*enabled) return {name, Verdict::ok, "nftables.service is not enabled"};
    std::vector<std::string> unit_paths;
    for (const char* dir : UNIT_DIRS) {
        std::string path = join_path(dir, "nftables.service");
        if (path_exists(path)) {
            unit_paths.push_back(path);
            break;
        }
    }
    std::vector<std::string> drop_in_dirs;
    for (const char* dir : UNIT_DIRS) drop_in_dirs.push_back(join_path(dir, "nftables.service.d"));
    for (auto& path : drop_in_files(drop_in_dirs)) unit_paths.push_back(std::move(path));
    std::vector<std::string> flushing, loaded;
    for (const auto& unit : read_existing(unit_paths)) {
        for (const auto& script : nft_files_of_unit(unit.content)) {
            loaded.push_back(script);
            auto content = read_file(script);
            if (content && flushes_ruleset(*content)) flushing.push_back(script);
        }
    }
    if (flushing.empty())
        return {name, Verdict::ok,
                "nftables.service is enabled; " + (loaded.empty() ? std::string("it loads no file") : loaded.front()) +
                    " does not flush the whole rule set"};
    return {name, Verdict::warn,
            "nftables.service is enabled and " + flushing.front() +
                " flushes the whole rule set: restarting or reloading it removes the cores' tables and the kill "
                "switch while a session runs"};
}

constexpr size_t FAILED_STARTS_SHOWN = 3;

// The latest starts since boot that failed once their core was launched, each with its
// cause, as the helper wrote them to its journal.
std::vector<Check> journal_checks() {
    const std::string name = "journal";
    if (!may_read_system_journal())
        return {{name, Verdict::skip,
                 "this user may not read the helper's journal: run `journalctl -u quorin-helper` as root or as a "
                 "member of the group adm or systemd-journal"}};
    auto run = run_tool(journalctl_path(), {"--unit=quorin-helper.service", "--boot", "--output=short-iso",
                                            "--no-pager", "--quiet", "--lines=2000"});
    if (!run) return {{name, Verdict::skip, "cannot read the journal: " + run.error().chain()}};
    if (!run->success) return {{name, Verdict::skip, "cannot read the journal: journalctl failed"}};
    std::vector<Check> checks;
    for (auto& line : failed_starts(run->out, FAILED_STARTS_SHOWN)) checks.push_back({name, Verdict::warn, line});
    if (checks.empty()) checks.push_back({name, Verdict::ok, "no failed start of a core since boot"});
    return checks;
}

}  // namespace

std::vector<Check> run_doctor(const std::string& socket_path) {
    std::vector<Check> checks;
    checks.push_back(socket_file_check(socket_path));
    Asked status = ask(socket_path, "status");
    checks.push_back(answer_check(status));
    checks.push_back(authorisation_check());
    checks.push_back(account_check());
    checks.push_back(cores_check(status));
    auto [session, running] = session_check(socket_path, status);
    checks.push_back(session);
    checks.push_back(routing_check(running));
    checks.push_back(networkd_check());
    checks.push_back(nftables_check());
    for (auto& check : journal_checks()) checks.push_back(std::move(check));
    return checks;
}

}  // namespace quorin::ctl
