#include "mihomo/launch.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include "host/catalogue.hpp"
#include "host/cleanup.hpp"
#include "host/core_start.hpp"
#include "mihomo/geodata.hpp"

namespace quorin {

namespace {

constexpr int INTERFACE_CHECKS = 100;

// Root's, for root and the core's group alone: Mihomo keeps its own files there, and
// cannot remove the directory or change its mode. Root gives it to the group without
// the capability to change owners (FileIds).
Result<void> prepare_working_dir(const std::string& dir, gid_t core_group) {
    auto made = create_directories(dir, 0755);
    if (!made) return fail("не удалось создать рабочий каталог Mihomo", made.error());
    FileIds ids(0, core_group);
    if (auto taken = ids.taken(); !taken) return taken;
    // An existing directory may have been made with wider permissions.
    if (fchown(made->get(), static_cast<uid_t>(-1), core_group) != 0 || fchmod(made->get(), 0770) != 0)
        return fail_os();
    return {};
}

Result<void> prepare_geodata_from_xray(const HelperDirs& dirs, const std::string& working_dir,
                                       const Credentials& account) {
    auto xray = resolve_xray(dirs);
    if (!xray) return fail(xray.error());
    if (!*xray) return fail("в пакете Quorin отсутствуют GeoData");
    return prepare_geodata((*xray)->core_dir, working_dir, account.uid, account.gid);
}

// On failure the core has been reaped and its routing cleared.
Result<void> wait_for_tun_interface(Child& core, const std::string& tun_device) {
    auto start = wait_for_interface(core, tun_device, INTERFACE_CHECKS, [] { return true; });
    if (start && *start == CoreStart::ready) return {};
    abandon_core(core);
    if (!start) return fail("не удалось проверить состояние Mihomo", start.error());
    if (*start == CoreStart::ended) return fail("Mihomo завершился при запуске (" + core.status()->text() + ")");
    return fail("TUN-интерфейс " + tun_device + " не появился после запуска Mihomo");
}

}  // namespace

Result<void> launch_mihomo(MihomoRequest request, SessionSlot& slot, pid_t client_pid) {
    const HelperDirs dirs;
    auto mihomo = resolve_mihomo(dirs);
    if (!mihomo) return fail("Mihomo не установлен; обновите Quorin");
    auto account = core_credentials();
    if (!account) return fail(account.error());
    stop_session(slot);
    cleanup_network_state();

    MihomoLayout layout = mihomo_layout(dirs);
    layout.account = *account;
    if (auto ready = prepare_working_dir(layout.working_dir, account->gid); !ready) return ready;
    if (auto geodata = prepare_geodata_from_xray(dirs, layout.working_dir, *account); !geodata) return geodata;
    auto written = write_json_file(layout.config_file, request.config, account->gid);
    if (!written) return fail("не удалось записать конфигурацию Mihomo", written.error());
    if (*written == PrettyWrite::too_large) return fail("конфигурация Mihomo в записанном виде превышает 64 МБ");
    if (auto checked = run_mihomo_check(mihomo->executable, layout); !checked) return checked;

    auto core = start_mihomo(mihomo->executable, layout, request.memory_limit);
    if (!core) return fail(core.error());
    if (auto up = wait_for_tun_interface(*core, request.tun_device); !up) {
        log_failed_start("mihomo-up", up.error());
        return up;
    }
    store_session(slot, request.tun_device, std::move(*core));
    record_owner(slot, std::move(request.owner_handle), client_pid);
    return {};
}

}  // namespace quorin
