#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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
#include "common/log.hpp"
#include "common/text.hpp"
#include "entry/subcommands.hpp"
#include "host/account_sweep.hpp"
#include "host/cleanup.hpp"
#include "privileged/request_stage.hpp"
#include "privileged/session.hpp"

namespace quorin {

namespace {

constexpr int ACTIVATED_FD = 3;
constexpr size_t MAX_DRAINED = 4096;

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

// SIGTERM and SIGINT stop the session and the service: a serve started by hand has no
// service manager to stop its core. The handler writes the signal's number to a pipe the
// loop polls, so that one arriving just before a poll is not lost, and makes the
// listener non-blocking, so that an accept the loop is in, or about to enter, returns.
int stop_pipe_write = -1;
int stop_listener = -1;

extern "C" void on_stop_signal(int signal) {
    const int saved = errno;
    const auto number = static_cast<char>(signal);
    (void)!write(stop_pipe_write, &number, 1);
    const int flags = fcntl(stop_listener, F_GETFL);
    if (flags >= 0) (void)fcntl(stop_listener, F_SETFL, flags | O_NONBLOCK);
    errno = saved;
}

// The pipe's reading end; the handlers stay for the life of the process.
Result<UniqueFd> catch_stop_signals(int listener) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return fail_os();
    stop_pipe_write = fds[1];
    stop_listener = listener;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0) return fail_os();
    return UniqueFd(fds[0]);
}

// The signal that asked the loop to stop.
int stop_signal(int stop_pipe) {
    char number = 0;
    return read(stop_pipe, &number, 1) == 1 && number != 0 ? number : SIGTERM;
}

// Takes one connection from the listener; false when there was none to take without
// waiting (a listener handed over in non-blocking mode).
Result<bool> accept_one(int listener, RequestStage& stage) {
    for (;;) {
        int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            stage.admit(UniqueFd(connection));
            return true;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        if (errno != EINTR) return fail_os();
    }
}

// Admits every connection waiting in the backlog, up to the stage's bound; a poll has
// found the first. The listener may block, so each further one is asked for first. A
// flood of connections that are refused at once ends a round after MAX_DRAINED, so that
// it cannot keep the next request from its turn.
Result<void> admit_waiting(int listener, RequestStage& stage) {
    for (size_t accepted = 0; accepted < MAX_DRAINED && !stage.full(); ++accepted) {
        pollfd waiting = {listener, POLLIN, 0};
        if (accepted > 0 && poll(&waiting, 1, 0) <= 0) return {};
        auto taken = accept_one(listener, stage);
        if (!taken) return fail(taken.error());
        if (!*taken) return {};
    }
    return {};
}

// One poll over the listener, the connections still sending their lines or taking their
// replies, the session's core and the stop signals. Before each dispatch every line that
// has arrived is read and the backlog admitted, so that everyone waiting is counted in
// the round; at most one request runs between polls, on this thread. Ends with the stop
// signal's number, or on an error of accept (other than EINTR) or of poll itself.
Result<int> serve_connections(int listener, int stop_pipe, SessionSlot& slot) {
    RequestStage stage;
    std::vector<pollfd> fds;
    for (;;) {
        if (stage.empty() && core_to_watch(slot) < 0) {
            // Nothing held and nothing to watch: wait in accept itself rather than in a poll.
            if (auto taken = accept_one(listener, stage); !taken) return fail(taken.error());
        }
        fds.clear();
        const int timeout = stage.watch(fds, RequestStage::Clock::now());
        const size_t stop_at = fds.size();
        fds.push_back({stop_pipe, POLLIN, 0});
        // While the stage is full, new clients wait in the listen backlog.
        const bool listening = !stage.full();
        if (listening) fds.push_back({listener, POLLIN, 0});
        const int core = core_to_watch(slot);
        if (core >= 0) fds.push_back({core, POLLIN, 0});
        if (poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            return fail_os();
        }
        if (fds[stop_at].revents != 0) return stop_signal(stop_pipe);
        stage.advance(fds, RequestStage::Clock::now());
        if (core >= 0 && fds.back().revents != 0) handle_core_exit(slot);
        if (listening && fds[stop_at + 1].revents != 0) {
            if (auto admitted = admit_waiting(listener, stage); !admitted) return fail(admitted.error());
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
    auto stop_pipe = catch_stop_signals(listener.get());
    if (!stop_pipe) return fail(stop_pipe.error());
    run_cleanup();
    SessionSlot slot;
    auto served = serve_connections(listener.get(), stop_pipe->get(), slot);
    if (!served) {
        // The core is left running: only its record is released.
        slot.session.reset();
        return fail(served.error());
    }
    // As a tun-down does, with or without a session.
    stop_session(slot);
    cleanup_network_state();
    log_line(std::string("Quorin helper: stopped by SIG") + sigabbrev_np(*served) +
             "; the session and its network state are cleared");
    return {};
}

void run_cleanup() {
    end_core_leftovers();
    cleanup_network_state();
}

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
