#include "singbox/launch.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "common/child.hpp"
#include "common/files.hpp"
#include "common/text.hpp"
#include "host/catalogue.hpp"
#include "host/cleanup.hpp"
#include "host/core_start.hpp"

namespace quorin {

namespace {

constexpr const char* CONFIG_PATH = "/run/quorin/sing-box.json";
constexpr const char* LOG_THREAD_NAME = "sing-box-log";
constexpr const char* ABORT_MESSAGE = "Не удалось запустить TUN sing-box; подробности в журнале quorin-helper";
// A check that never ends would hold the serving thread, and with it every client,
// for good; a real check finishes in well under a second.
constexpr auto CHECK_TIME_LIMIT = std::chrono::seconds(60);
constexpr int READINESS_ATTEMPTS = 200;

Result<void> check_ranges(const TunParameters& tun) {
    if (tun.mtu < 1280 || tun.mtu > 9000) return fail("MTU должен быть от 1280 до 9000");
    if (tun.socks_port < 1024) return fail("SOCKS-порт должен быть не ниже 1024");
    return {};
}

Result<InstalledCore> find_sing_box() {
    auto core = resolve_sing_box(HelperDirs());
    if (!core) return fail(core.error());
    if (!core->has_value()) return fail("sing-box не установлен; обновите ядра Quorin");
    return **core;
}

Json generate_config(const SingboxStart& start) {
    TunParameters parameters = start.tun;
    if (parameters.auto_route) parameters.route_exclusions = resolve_route_exclusions(start.servers);
    parameters.server_host_names = extract_host_names(start.servers);
    return build_singbox_config(parameters);
}

// Runs `sing-box check` on the written file; its standard error explains a refusal,
// capped as a Mihomo refusal is so that the reply stays small.
Result<void> check_config(const InstalledCore& core, const Credentials& account) {
    auto output = run_core_check(
        {.program = core.executable, .args = {"check", "-c", CONFIG_PATH}, .err = Stdio::pipe, .credentials = account},
        CHECK_TIME_LIMIT);
    if (!output) return fail("не удалось проверить конфигурацию sing-box", output.error());
    if (!output->status.success())
        return fail("sing-box отклонил TUN-конфигурацию: " +
                    std::string(first_chars(trim_white_space(lossy_utf8(output->err)), CORE_ERROR_MAX_CHARS)));
    return {};
}

Result<void> start_log_thread(std::shared_ptr<std::atomic<bool>> started, UniqueFd pipe) {
    try {
        std::thread([started = std::move(started), pipe = std::move(pipe)]() mutable {
            pthread_setname_np(pthread_self(), LOG_THREAD_NAME);
            forward_singbox_log(std::move(started), std::move(pipe), STDERR_FILENO);
        }).detach();
    } catch (const std::system_error& error) {
        return fail(Error::os(error.code().value()));
    }
    return {};
}

// Ready once sing-box has announced its start and its interface exists.
Result<void> watch_start(Child& core, const std::string& interface_name) {
    UniqueFd log = std::move(core.stderr_end());
    if (!log) return fail("нет журнала запуска sing-box");
    auto started = std::make_shared<std::atomic<bool>>(false);
    if (auto thread = start_log_thread(started, std::move(log)); !thread) return thread;
    auto start = wait_for_interface(core, interface_name, READINESS_ATTEMPTS, [&] { return started->load(); });
    if (!start) return fail(start.error());
    if (*start == CoreStart::ended) return fail("sing-box завершился при запуске (" + core.status()->text() + ")");
    if (*start == CoreStart::timed_out)
        return fail("sing-box не подтвердил готовность TUN-интерфейса " + interface_name + " за 10 секунд");
    return {};
}

}  // namespace

Result<void> start_singbox_session(SessionSlot& slot, const SingboxStart& start) {
    if (auto valid = check_ranges(start.tun); !valid) return valid;
    auto core = find_sing_box();
    if (!core) return fail(core.error());
    auto account = core_credentials();
    if (!account) return fail(account.error());

    // From here on the previous session is gone, whatever happens next.
    drop_killswitch_table();
    stop_session(slot);
    clear_core_routing();

    auto written = write_json_file(CONFIG_PATH, generate_config(start), account->gid);
    if (!written) return fail("не удалось записать TUN-конфигурацию", written.error());
    // Checked parameters keep the document far below the bound.
    if (*written == PrettyWrite::too_large)
        return fail("не удалось записать TUN-конфигурацию", Error("the document passes 64 MiB"));
    if (auto checked = check_config(*core, *account); !checked) return checked;

    auto spawned = Child::spawn({.program = core->executable,
                                 .args = {"run", "-c", CONFIG_PATH, "--disable-color"},
                                 .out = Stdio::inherit,
                                 .err = Stdio::pipe,
                                 .working_dir = core->core_dir,
                                 .credentials = *account});
    if (!spawned) return fail("не удалось запустить sing-box", spawned.error());
    Child sing_box = std::move(*spawned);
    if (auto ready = watch_start(sing_box, start.tun.interface_name); !ready) {
        abandon_core(sing_box);
        log_failed_start("tun-up", ready.error());
        return fail(ABORT_MESSAGE, ready.error());
    }

    store_session(slot, start.tun.interface_name, std::move(sing_box));
    return {};
}

}  // namespace quorin
