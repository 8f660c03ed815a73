#include "host/core_start.hpp"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "common/files.hpp"
#include "common/log.hpp"
#include "common/text.hpp"
#include "host/account_sweep.hpp"
#include "host/cleanup.hpp"

namespace quorin {

namespace {

constexpr auto INTERFACE_CHECK_PERIOD = std::chrono::milliseconds(50);

constexpr const char* UNSOUND_CORE_ACCOUNT = "системный пользователь quorin-core не годится для ядер: ";
constexpr std::string_view LOGIN_DEFS = "/etc/login.defs";

// SYS_UID_MAX as /etc/login.defs sets it; 999 when it does not.
unsigned system_id_max() {
    unsigned most = 999;
    auto text = read_file(std::string(LOGIN_DEFS));
    if (!text) return most;
    const std::string_view all(*text);
    for (size_t at = 0; at < all.size();) {
        const size_t end = std::min(all.find('\n', at), all.size());
        const std::string_view line = trim_white_space(all.substr(at, end - at));
        at = end + 1;
        if (!line.starts_with("SYS_UID_MAX")) continue;
        if (auto value = parse_u32(trim_white_space(line.substr(11)))) most = *value;
    }
    return most;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

void add_sharers(CoreAccountFacts& facts) {
    std::unique_ptr<FILE, decltype(&fclose)> accounts(fopen("/etc/passwd", "re"), &fclose);
    if (!accounts) return;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    while (fgetpwent_r(accounts.get(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        if (std::string_view(entry.pw_name) != CORE_ACCOUNT && (entry.pw_uid == facts.uid || entry.pw_gid == facts.gid))
            facts.sharers.emplace_back(entry.pw_name);
    }
}

void add_group(CoreAccountFacts& facts) {
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    int rc = 0;
    while ((rc = getgrgid_r(facts.gid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (rc != 0 || found == nullptr) return;
    facts.group_name = entry.gr_name;
    for (char** member = entry.gr_mem; *member != nullptr; ++member) facts.group_members.emplace_back(*member);
}

}  // namespace

std::optional<std::string> core_account_problem(const CoreAccountFacts& facts) {
    if (facts.uid == 0 || facts.gid == 0) return "uid или gid равен 0";
    if (facts.uid > facts.system_id_max || facts.gid > facts.system_id_max)
        return "uid " + std::to_string(facts.uid) + " или gid " + std::to_string(facts.gid) + " не системный (больше " +
               std::to_string(facts.system_id_max) + ")";
    if (facts.group_name != CORE_ACCOUNT) return "его основная группа не quorin-core";
    if (!facts.group_members.empty()) return "в его группе есть участники: " + joined(facts.group_members);
    if (!facts.sharers.empty()) return "его uid или группу делят с ним: " + joined(facts.sharers);
    if (facts.shell != "/usr/sbin/nologin" && facts.shell != "/sbin/nologin" && facts.shell != "/bin/false" &&
        facts.shell != "/usr/bin/false")
        return "у него оболочка входа " + (facts.shell.empty() ? std::string("/bin/sh") : facts.shell);
    return std::nullopt;
}

Result<Credentials> core_credentials() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    int rc = 0;
    while ((rc = getpwnam_r(CORE_ACCOUNT, &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (rc != 0) return fail(NO_CORE_ACCOUNT, Error::os(rc));
    if (found == nullptr) return fail(NO_CORE_ACCOUNT);
    CoreAccountFacts facts;
    facts.uid = entry.pw_uid;
    facts.gid = entry.pw_gid;
    facts.shell = entry.pw_shell;
    facts.system_id_max = system_id_max();
    add_group(facts);
    add_sharers(facts);
    if (auto problem = core_account_problem(facts)) return fail(UNSOUND_CORE_ACCOUNT + *problem);
    return Credentials{.uid = entry.pw_uid, .gid = entry.pw_gid, .capabilities = CORE_CAPABILITIES};
}

Result<CapturedOutput> run_core_check(const SpawnOptions& options, std::chrono::milliseconds limit) {
    auto check = Child::spawn(options);
    if (!check) return fail(check.error());
    auto output = check->collect(limit);
    // Whatever the check started must not meet the core that follows it.
    end_core_leftovers();
    return output;
}

Result<CoreStart> wait_for_interface(Child& core, const std::string& interface_name, int checks,
                                     const std::function<bool()>& announced) {
    const std::string interface_path = join_path("/sys/class/net", interface_name);
    for (int attempt = 0; attempt < checks; ++attempt) {
        // Looked at before the exit test, so that a core found running has its interface.
        bool interface_exists = path_exists(interface_path);
        auto ended = core.try_wait();
        if (!ended) return fail(ended.error());
        if (ended->has_value()) return CoreStart::ended;
        if (interface_exists && announced()) return CoreStart::ready;
        std::this_thread::sleep_for(INTERFACE_CHECK_PERIOD);
    }
    return CoreStart::timed_out;
}

void abandon_core(Child& core) {
    core.kill_and_reap();
    end_core_leftovers();
    clear_core_routing();
    core.close_descriptors();
}

void log_failed_start(std::string_view command, const Error& cause) {
    log_line("Quorin helper: " + std::string(command) + std::string(FAILED_START_INFIX) + cause.chain());
}

}  // namespace quorin
