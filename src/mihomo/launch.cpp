#include "mihomo/launch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/files.hpp"
#include "common/text.hpp"
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

// Beside the working directory, in root's own directory, where a core cannot write: the
// uid of the client that started the last Mihomo session.
std::string last_user_record(const std::string& working_dir) { return working_dir + ".last-uid"; }

// What one user's session wrote (providers, caches) the next user's core does not
// read: a start for another uid, or with no record (the first start, or one after a
// version that kept no record), begins in an emptied working directory.
void hand_over_working_dir(const std::string& working_dir, uid_t client_uid) {
    const std::string record = last_user_record(working_dir);
    const std::string uid_text = std::to_string(client_uid);
    auto last = read_file(record, 16);
    if (last && trim_white_space(*last) == uid_text) return;
    clear_working_dir(working_dir);
    const std::string temporary = record + ".tmp";
    UniqueFd file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (file && write_all(file.get(), uid_text + "\n") && rename(temporary.c_str(), record.c_str()) == 0) return;
    (void)unlink(temporary.c_str());
    (void)unlink(record.c_str());  // the next start empties the directory again
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

Result<void> launch_mihomo(MihomoRequest request, SessionSlot& slot, pid_t client_pid, uid_t client_uid) {
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
    hand_over_working_dir(layout.working_dir, client_uid);
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
