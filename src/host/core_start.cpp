#include "host/core_start.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "common/files.hpp"
#include "common/log.hpp"
#include "host/account_sweep.hpp"
#include "host/cleanup.hpp"

namespace quorin {

namespace {

constexpr auto INTERFACE_CHECK_PERIOD = std::chrono::milliseconds(50);
constexpr const char* NO_CORE_ACCOUNT = "системный пользователь quorin-core не найден; переустановите Quorin";

}  // namespace

Result<Credentials> core_credentials() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    int rc = 0;
    while ((rc = getpwnam_r(CORE_ACCOUNT, &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (rc != 0) return fail(NO_CORE_ACCOUNT, Error::os(rc));
    if (found == nullptr) return fail(NO_CORE_ACCOUNT);
    if (entry.pw_uid == 0 || entry.pw_gid == 0) return fail(NO_CORE_ACCOUNT, Error("its uid or gid is 0"));
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
