#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "common/child.hpp"
#include "common/error.hpp"
#include "common/json.hpp"
#include "common/json_document.hpp"
#include "common/unique_fd.hpp"

namespace quorin {

// The one running core. Releasing it closes every descriptor in it; only stop_session
// signals the core.
struct TunSession {
    std::string interface_name;
    UniqueFd owner_pidfd;  // none until record_owner
    pid_t owner_pid = 0;
    Child child;
    bool exit_handled = false;  // the core ended by itself and its network state was cleared
};

// The process at the other end of an admitted connection, as it was when it connected.
struct ClientProcess {
    pid_t pid = 0;  // from its credentials; 0 for a process outside our pid namespace
    uid_t uid = 0;
    // A pidfd on that very process, so that a pid reused since cannot stand in for it;
    // none when none could be had. Taken from `connection` when a start needs it, or at
    // admission where the kernel cannot give it later.
    UniqueFd handle{};
    int connection = -1;  // the admitted connection, not owned; -1 when there is none to ask
};

// Empty, or exactly one session. Owned by the serve loop, touched only by its thread.
struct SessionSlot {
    std::optional<TunSession> session;
};

// Passes when there is no owned session, the requester is the owner, or the owner has
// ended; otherwise refuses.
Result<void> check_owner(const SessionSlot& slot, pid_t client_pid);
// A pidfd on the process that connected to this socket, even if its pid has been reused
// since; none on kernels before 6.5 or when the kernel cannot give one.
UniqueFd peer_pidfd(int connection);
// Hands over the client's pidfd while the client still runs; fails when there is no
// handle or the client has ended.
Result<UniqueFd> open_owner_handle(ClientProcess& client);
// Replaces whatever the slot holds (without signalling it) by an unowned session.
void store_session(SessionSlot& slot, std::string interface_name, Child child);
void record_owner(SessionSlot& slot, UniqueFd owner_handle, pid_t owner_pid);
// SIGTERM, up to 30 checks 50 ms apart, then SIGKILL; the slot is empty afterwards.
// Then, session or none, every process of the cores' account is ended
// (end_core_leftovers).
void stop_session(SessionSlot& slot);
// The session core's pidfd while the core's own exit has not been dealt with; -1 when
// there is nothing to watch.
int core_to_watch(const SessionSlot& slot);
// Once the session's core has exited by itself: logs its exit status, ends the
// account's processes and clears the network state as a tun-down does, configuration files included. The record stays,
// so that only its owner may replace it; tun-status answers none.
void handle_core_exit(SessionSlot& slot);
// The interface name while the core runs and its interface exists.
Result<std::optional<std::string>> tun_status(SessionSlot& slot);
// The most a configuration file may take in /run, line feed included.
inline constexpr size_t CONFIG_FILE_MAX_BYTES = size_t{64} << 20;
// Writes the value pretty-printed with a final line feed, fsync'd, for root and the
// group `readers` (a core's) to read: mode 0640, owned by root. Creates /run/quorin
// (0755) first. A value whose file would pass CONFIG_FILE_MAX_BYTES is not written
// (too_large). Whenever the file is not complete, it is removed.
Result<PrettyWrite> write_json_file(const std::string& path, const Json& value, gid_t readers);
Result<PrettyWrite> write_json_file(const std::string& path, const JsonDocument& document, gid_t readers);

}  // namespace quorin
