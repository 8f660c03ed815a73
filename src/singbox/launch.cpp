#include "singbox/launch.hpp"

#include <pthread.h>
#include <signal.h>
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

namespace quorin {

namespace {

constexpr const char* CONFIG_PATH = "/run/quorin/sing-box.json";
constexpr const char* NET_CLASS_DIR = "/sys/class/net";
constexpr const char* LOG_THREAD_NAME = "sing-box-log";
constexpr const char* ABORT_MESSAGE = "Не удалось запустить TUN sing-box; подробности в журнале quorin-helper";
// A check that never ends would hold the serving thread, and with it every client,
// for good; a real check finishes in well under a second.
constexpr auto CHECK_TIME_LIMIT = std::chrono::seconds(60);
constexpr int READINESS_ATTEMPTS = 200;
constexpr auto READINESS_PERIOD = std::chrono::milliseconds(50);

Result<void> check_ranges(const SingboxStart& start) {
    if (start.mtu < 1280 || start.mtu > 9000) return fail("MTU должен быть от 1280 до 9000");
    if (start.socks_port < 1024) return fail("SOCKS-порт должен быть не ниже 1024");
    return {};
}

Result<InstalledCore> find_sing_box() {
    auto core = resolve_sing_box(HelperDirs());
    if (!core) return fail(core.error());
    if (!core->has_value()) return fail("sing-box не установлен; обновите ядра Quorin");
    return **core;
}

Json generate_config(const SingboxStart& start) {
    TunParameters parameters{
        .interface_name = start.interface_name,
        .ipv6 = start.ipv6,
        .auto_route = start.auto_route,
        .mtu = start.mtu,
        .socks_port = start.socks_port,
        .bypass_processes = start.bypass_processes,
    };
    if (start.auto_route) parameters.route_exclusions = resolve_route_exclusions(start.servers);
    parameters.server_host_names = extract_host_names(start.servers);
    return build_singbox_config(parameters);
}

// Runs `sing-box check` on the written file; its standard error explains a refusal.
Result<void> check_config(const InstalledCore& core) {
    const char* failure = "не удалось проверить конфигурацию sing-box";
    auto spawned = Child::spawn({.program = core.executable, .args = {"check", "-c", CONFIG_PATH}, .err = Stdio::pipe});
    if (!spawned) return fail(failure, spawned.error());
    auto output = spawned->collect(CHECK_TIME_LIMIT);
    if (!output) {
        // A time-out has reaped the child already; any other failure must not leave it.
        (void)spawned->kill(SIGKILL);
        (void)spawned->wait();
        return fail(failure, output.error());
    }
    if (!output->status.success())
        return fail("sing-box отклонил TUN-конфигурацию: " + std::string(trim_white_space(lossy_utf8(output->err))));
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
Result<void> wait_until_ready(Child& core, const std::string& interface_name, const std::atomic<bool>& started) {
    const std::string interface_path = join_path(NET_CLASS_DIR, interface_name);
    for (int attempt = 0; attempt < READINESS_ATTEMPTS; ++attempt) {
        bool interface_exists = path_exists(interface_path);
        auto exited = core.try_wait();
        if (!exited) return fail(exited.error());
        if (exited->has_value()) return fail("sing-box завершился при запуске (" + (*exited)->text() + ")");
        if (interface_exists && started.load()) return {};
        std::this_thread::sleep_for(READINESS_PERIOD);
    }
    return fail("sing-box не подтвердил готовность TUN-интерфейса " + interface_name + " за 10 секунд");
}

Result<void> watch_start(Child& core, const std::string& interface_name) {
    UniqueFd log = std::move(core.stderr_end());
    if (!log) return fail("нет журнала запуска sing-box");
    auto started = std::make_shared<std::atomic<bool>>(false);
    if (auto thread = start_log_thread(started, std::move(log)); !thread) return thread;
    return wait_until_ready(core, interface_name, *started);
}

Error abort_start(Child& core, Error reason) {
    (void)core.kill(SIGKILL);
    (void)core.wait();
    clear_core_routing();
    core.close_descriptors();
    return Error(ABORT_MESSAGE, std::move(reason));
}

}  // namespace

Result<void> start_singbox_session(SessionSlot& slot, const SingboxStart& start) {
    if (auto valid = check_ranges(start); !valid) return valid;
    auto core = find_sing_box();
    if (!core) return fail(core.error());

    // From here on the previous session is gone, whatever happens next.
    drop_killswitch_table();
    stop_session(slot);
    clear_core_routing();

    auto written = write_json_file(CONFIG_PATH, generate_config(start));
    if (!written) return fail("не удалось записать TUN-конфигурацию", written.error());
    // Checked parameters keep the document far below the bound.
    if (*written == PrettyWrite::too_large)
        return fail("не удалось записать TUN-конфигурацию", Error("the document passes 64 MiB"));
    if (auto checked = check_config(*core); !checked) return checked;

    auto spawned = Child::spawn({.program = core->executable,
                                 .args = {"run", "-c", CONFIG_PATH, "--disable-color"},
                                 .out = Stdio::inherit,
                                 .err = Stdio::pipe,
                                 .working_dir = core->core_dir});
    if (!spawned) return fail("не удалось запустить sing-box", spawned.error());
    Child sing_box = std::move(*spawned);
    if (auto ready = watch_start(sing_box, start.interface_name); !ready)
        return fail(abort_start(sing_box, ready.error()));

    store_session(slot, start.interface_name, std::move(sing_box));
    return {};
}

}  // namespace quorin
