#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/files.hpp"
#include "common/text.hpp"
#include "entry/subcommands.hpp"
#include "host/cleanup.hpp"
#include "privileged/request_stage.hpp"
#include "privileged/session.hpp"

namespace quorin {

namespace {

constexpr int ACTIVATED_FD = 3;

// A missing, non-Unicode or malformed variable counts as 0.
uint32_t env_number(const char* name) {
    const char* raw = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): no thread runs yet
    if (raw == nullptr || !is_valid_utf8(raw)) return 0;
    return parse_u32(raw).value_or(0);
}

// The service manager's socket is ours only when it was passed to this very process,
// and we take exactly one.
std::optional<UniqueFd> activated_socket() {
    if (env_number("LISTEN_PID") != static_cast<uint32_t>(getpid()) || env_number("LISTEN_FDS") != 1)
        return std::nullopt;
    // Passed descriptors arrive inheritable; nothing of ours may leak into a core.
    int flags = fcntl(ACTIVATED_FD, F_GETFD);
    if (flags >= 0) (void)fcntl(ACTIVATED_FD, F_SETFD, flags | FD_CLOEXEC);
    return UniqueFd(ACTIVATED_FD);
}

Result<UniqueFd> bind_own_socket() {
    // Users must reach the socket whatever umask the service manager gave us.
    if (auto made = create_directories(HelperDirs().run_dir, 0755); !made) return fail(made.error());
    struct stat st {};
    if (stat(SOCKET_PATH, &st) == 0 && unlink(SOCKET_PATH) != 0) return fail_os();

    UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) return fail_os();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, SOCKET_PATH, sizeof address.sun_path - 1);
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return fail_os();
    // The kernel clamps the backlog to the largest it allows.
    if (listen(listener.get(), INT_MAX) != 0) return fail_os();
    if (chmod(SOCKET_PATH, 0666) != 0) return fail_os();
    return listener;
}

// One poll over the listener and the connections still sending their lines; between
// polls at most one complete request is dispatched, on this thread. Ends only on an
// error of accept (other than EINTR) or of poll itself.
Result<void> serve_connections(int listener, SessionSlot& slot) {
    RequestStage stage;
    std::vector<pollfd> fds;
    for (;;) {
        if (stage.empty()) {
            // Nothing held: wait in accept itself rather than in a poll of the listener alone.
            int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) {
                stage.admit(UniqueFd(connection));
                (void)stage.dispatch_next(slot);
                continue;
            }
            if (errno == EINTR) continue;
            // A listener handed over in non-blocking mode is polled like the rest.
            if (errno != EAGAIN && errno != EWOULDBLOCK) return fail_os();
        }
        fds.clear();
        const int timeout = stage.watch(fds, RequestStage::Clock::now());
        // While the stage is full, new clients wait in the listen backlog.
        const bool listening = !stage.full();
        if (listening) fds.push_back({listener, POLLIN, 0});
        if (poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            return fail_os();
        }
        stage.advance(fds, RequestStage::Clock::now());
        if (listening && fds.back().revents != 0) {
            int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) {
                stage.admit(UniqueFd(connection));
            } else if (errno != EINTR) {
                return fail_os();
            }
        }
        (void)stage.dispatch_next(slot);
    }
}

}  // namespace

Result<void> run_serve() {
    UniqueFd listener;
    if (auto activated = activated_socket()) {
        listener = std::move(*activated);
    } else {
        auto bound = bind_own_socket();
        if (!bound) return fail(bound.error());
        listener = std::move(*bound);
    }
    cleanup_network_state();
    SessionSlot slot;
    auto served = serve_connections(listener.get(), slot);
    // The core is left running: only its record is released.
    slot.session.reset();
    return served;
}

void run_cleanup() { cleanup_network_state(); }

Result<void> run_subcommand(std::string_view command) {
    if (geteuid() != 0) return fail("helper должен работать от root");
    if (command == "setup") return run_setup();
    if (command == "serve") return run_serve();
    if (command == "cleanup") {
        run_cleanup();
        return {};
    }
    return fail("неподдерживаемая команда helper");
}

}  // namespace quorin
