#include "privileged/admission.hpp"

#include <sys/socket.h>
#include <sys/stat.h>

#include <string>

namespace quorin {

namespace {

constexpr const char* MARKER_DIR = "/var/lib/quorin/authorized-users/";

}  // namespace

Result<pid_t> admit_client(int connection) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return fail_os();

    // lstat: a symbolic link at the marker path must never stand in for a marker.
    const std::string marker = MARKER_DIR + std::to_string(peer.uid);
    struct stat st {};
    if (lstat(marker.c_str(), &st) != 0) return fail("пользователь не прошёл одноразовую настройку");
    // A marker anyone but root could have written proves nothing.
    if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_uid != 0)
        return fail("повреждён маркер авторизации Quorin");
    if (peer.pid < 0) return fail("Некорректный процесс клиента Quorin");
    return peer.pid;
}

}  // namespace quorin
