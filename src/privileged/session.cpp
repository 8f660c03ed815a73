#include "privileged/session.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/files.hpp"
#include "common/log.hpp"
#include "host/account_sweep.hpp"
#include "host/cleanup.hpp"

// Linux 6.5; Debian 12's headers predate it.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace quorin {

namespace {

constexpr const char* OWNER_UNKNOWN = "Не удалось определить владельца VPN";
constexpr int STOP_CHECKS = 30;
constexpr auto STOP_CHECK_PERIOD = std::chrono::milliseconds(50);

bool has_exited(Child& child) {
    auto exited = child.try_wait();
    return exited && exited->has_value();
}

template <class Value>
Result<PrettyWrite> fill_file(UniqueFd file, const Value& value) {
    auto written = write_pretty(file.get(), value, CONFIG_FILE_MAX_BYTES);
    if (!written || *written != PrettyWrite::complete) return written;
    if (fsync(file.get()) != 0) return fail_os();
    if (close(file.release()) != 0) return fail_os();
    return written;
}

// The file as the group may read it, before anything is written to it; a file that was
// there already is given to the group too.
Result<UniqueFd> open_for_group(const std::string& path, gid_t readers) {
    FileIds ids(0, readers);
    if (auto taken = ids.taken(); !taken) return fail(taken.error());
    auto file = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!file) return fail(file.error());
    if (fchown(file->get(), static_cast<uid_t>(-1), readers) != 0 || fchmod(file->get(), 0640) != 0) return fail_os();
    return file;
}

template <class Value>
Result<PrettyWrite> write_value_file(const std::string& path, const Value& value, gid_t readers) {
    if (auto made = create_directories(HelperDirs().run_dir, 0755); !made) return fail(made.error());
    auto file = open_for_group(path, readers);
    if (!file) return fail(file.error());
    auto written = fill_file(std::move(*file), value);
    // A partial file would hold on to room in /run that other services need.
    if (!written || *written != PrettyWrite::complete) (void)unlink(path.c_str());
    return written;
}

}  // namespace

Result<void> check_owner(const SessionSlot& slot, pid_t client_pid) {
    if (!slot.session || !slot.session->owner_pidfd) return {};
    // A pidfd turns readable once its process has ended.
    pollfd owner = {slot.session->owner_pidfd.get(), POLLIN, 0};
    int ready = poll(&owner, 1, 0);
    if (ready < 0) return fail("Не удалось проверить владельца VPN", Error::last_os());
    bool owner_gone = ready > 0 && (owner.revents & POLLIN) != 0;
    if (client_pid == slot.session->owner_pid || owner_gone) return {};
    return fail("VPN уже запущен в другом процессе Quorin. Отключите его в том окне");
}

UniqueFd peer_pidfd(int connection) {
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) != 0) return UniqueFd();
    return UniqueFd(pidfd);
}

Result<UniqueFd> open_owner_handle(ClientProcess& client) {
    if (!client.handle && client.connection >= 0) client.handle = peer_pidfd(client.connection);
    if (!client.handle) return fail(OWNER_UNKNOWN);
    // A client that has ended since it connected can own nothing.
    pollfd process = {client.handle.get(), POLLIN, 0};
    int ready = poll(&process, 1, 0);
    if (ready < 0) return fail(OWNER_UNKNOWN, Error::last_os());
    if (ready > 0) return fail(OWNER_UNKNOWN, Error("the client has ended"));
    return std::move(client.handle);
}

void store_session(SessionSlot& slot, std::string interface_name, Child child) {
    slot.session.reset();
    slot.session.emplace(TunSession{std::move(interface_name), UniqueFd(), 0, std::move(child)});
}

void record_owner(SessionSlot& slot, UniqueFd owner_handle, pid_t owner_pid) {
    if (!slot.session) return;  // nothing was stored; the handle closes here
    TunSession& session = *slot.session;
    session.owner_pidfd = std::move(owner_handle);
    session.owner_pid = owner_pid;
}

namespace {

void stop_core(Child& core) {
    if (has_exited(core)) return;
    (void)core.kill(SIGTERM);
    for (int attempt = 0; attempt < STOP_CHECKS; ++attempt) {
        if (has_exited(core)) return;
        std::this_thread::sleep_for(STOP_CHECK_PERIOD);
    }
    (void)core.kill(SIGKILL);
    (void)core.wait();
}

}  // namespace

void stop_session(SessionSlot& slot) {
    if (slot.session) {
        TunSession session = std::move(*slot.session);
        slot.session.reset();
        stop_core(session.child);
    }
    // Whatever the core started goes with it, and nothing an earlier core left may meet
    // the next one: every start stops the session first.
    end_core_leftovers();
}

int core_to_watch(const SessionSlot& slot) {
    if (!slot.session || slot.session->exit_handled) return -1;
    return slot.session->child.pidfd().get();
}

void handle_core_exit(SessionSlot& slot) {
    if (!slot.session) return;
    TunSession& session = *slot.session;
    auto exited = session.child.try_wait();
    if (exited && !exited->has_value()) return;  // asked again on the next readiness
    session.exit_handled = true;
    const std::string how = exited ? (*exited)->text() : exited.error().message();
    log_line("Quorin helper: the core of session " + session.interface_name + " exited by itself (" + how +
             "); its network state is cleared");
    // First, so that nothing it left can put its rules back after the clean-up.
    end_core_leftovers();
    cleanup_network_state();
}

Result<std::optional<std::string>> tun_status(SessionSlot& slot) {
    if (!slot.session) return std::optional<std::string>();
    auto exited = slot.session->child.try_wait();
    if (!exited) return fail(exited.error());
    if (exited->has_value()) return std::optional<std::string>();
    const std::string& name = slot.session->interface_name;
    if (!path_exists("/sys/class/net/" + name)) return std::optional<std::string>();
    return std::optional<std::string>(name);
}

Result<PrettyWrite> write_json_file(const std::string& path, const Json& value, gid_t readers) {
    return write_value_file(path, value, readers);
}

Result<PrettyWrite> write_json_file(const std::string& path, const JsonDocument& document, gid_t readers) {
    return write_value_file(path, document, readers);
}

}  // namespace quorin
