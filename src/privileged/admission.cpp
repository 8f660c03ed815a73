#include "privileged/admission.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/files.hpp"

// Linux 6.5; Debian 12's headers predate it.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace quorin {

namespace {

// The socket names the process that connected, even if its pid has since been reused.
// Without that option (kernels before 6.5) the pid is opened now, which leaves only the
// moments since the connect for a reuse. A peer outside our pid namespace gets none:
// it has no pid of ours to be known by.
UniqueFd peer_handle(int connection, pid_t pid) {
    if (pid == 0) return UniqueFd();
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0) return UniqueFd(pidfd);
    if (errno != ENOPROTOOPT) return UniqueFd();
    return UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
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
    return ClientProcess{.pid = peer.pid, .uid = peer.uid, .handle = peer_handle(connection, peer.pid)};
}

}  // namespace quorin
