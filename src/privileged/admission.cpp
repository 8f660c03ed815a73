#include "privileged/admission.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "common/files.hpp"

namespace quorin {

namespace {

// Whether a socket gives a pidfd on the process that connected to it, whenever asked
// (Linux 6.5 and later). Asked once, of a socket pair of our own.
bool sockets_keep_their_peers() {
    static const bool keep = [] {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
        const UniqueFd ours(pair[0]);
        const UniqueFd theirs(pair[1]);
        return static_cast<bool>(peer_pidfd(ours.get()));
    }();
    return keep;
}

}  // namespace

Result<ClientProcess> admit_client(int connection) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return fail_os();

    // lstat: a symbolic link at the marker path must never stand in for a marker.
    const std::string marker = join_path(MARKER_DIR, std::to_string(peer.uid));
    struct stat st {};
    if (lstat(marker.c_str(), &st) != 0) return fail(NOT_AUTHORISED);
    // A marker anyone but root could have written proves nothing.
    if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_uid != 0) return fail(DAMAGED_MARKER);
    if (peer.pid < 0) return fail("Некорректный процесс клиента Quorin");
    // A peer outside our pid namespace gets no handle: it has no pid of ours to be known by.
    // Where the socket cannot name its peer later, the pid is opened now, which leaves only
    // the moments since the connect for a reuse.
    if (peer.pid == 0) return ClientProcess{.pid = 0, .uid = peer.uid};
    if (sockets_keep_their_peers()) return ClientProcess{.pid = peer.pid, .uid = peer.uid, .connection = connection};
    return ClientProcess{
        .pid = peer.pid, .uid = peer.uid, .handle = UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, peer.pid, 0)))};
}

}  // namespace quorin
