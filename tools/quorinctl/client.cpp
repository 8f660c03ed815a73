#include "quorinctl/client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "common/files.hpp"
#include "common/json.hpp"
#include "common/unique_fd.hpp"

namespace quorin::ctl {

namespace {

// Replies are a few hundred bytes; anything far larger is not the helper.
constexpr size_t MAX_REPLY_BYTES = size_t{1024} * 1024;

Result<std::optional<std::string>> optional_text(const Json& object, const char* key) {
    auto member = object.find(key);
    if (member == object.end()) return fail(std::string("no \"") + key + "\" member");
    if (member->is_null()) return std::optional<std::string>();
    if (!member->is_string()) return fail(std::string("\"") + key + "\" is neither a string nor null");
    return std::optional<std::string>(member->get<std::string>());
}

Error connect_error(const std::string& path, int errnum) {
    switch (errnum) {
        case ENOENT:
            return Error("the helper is not running: no socket at " + path +
                         " (systemctl enable --now quorin-helper.socket)");
        case ECONNREFUSED:
            return Error("the helper is not running: nothing listens on " + path);
        case EACCES:
            return Error("no permission to connect to " + path, Error::os(errnum));
        default:
            return Error("cannot connect to " + path, Error::os(errnum));
    }
}

using Clock = std::chrono::steady_clock;

Error timed_out(std::chrono::milliseconds limit) {
    return Error("no reply within " + std::to_string((limit.count() + 999) / 1000) +
                 " s: the helper may be busy with other requests");
}

// Bounds the next blocking connect or send by the time left; false when none is left.
bool bound_sends(int fd, Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    timeval limit{.tv_sec = static_cast<time_t>(left.count() / 1000000),
                  .tv_usec = static_cast<suseconds_t>(left.count() % 1000000)};
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

// A helper whose listen backlog is full makes connect wait; the send time-out bounds it.
Result<UniqueFd> connect_to(const std::string& path, Clock::time_point deadline, std::chrono::milliseconds limit) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return fail("socket path too long: " + path);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fail("cannot create a socket", Error::last_os());
    for (;;) {
        if (!bound_sends(fd.get(), deadline)) return fail(timed_out(limit));
        if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
        if (errno == EAGAIN) return fail(timed_out(limit));
        if (errno != EINTR) return fail(connect_error(path, errno));
    }
}

Result<std::string> read_reply(int fd, Clock::time_point deadline, std::chrono::milliseconds limit) {
    std::string received;
    char chunk[4096];
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd readable{fd, POLLIN, 0};
        int ready = left.count() > 0 ? poll(&readable, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return fail("cannot wait for the reply", Error::last_os());
        if (ready == 0) return fail(timed_out(limit));
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        // A helper that refused before reading the request resets the connection after
        // its reply; what arrived before the reset is the whole answer.
        if (n < 0 && errno == ECONNRESET && !received.empty()) break;
        if (n < 0) return fail("cannot read the reply", Error::last_os());
        if (n == 0) break;
        received.append(chunk, static_cast<size_t>(n));
        if (received.size() > MAX_REPLY_BYTES) return fail("the reply is too long to be the helper's");
    }
    if (received.empty()) return fail("the helper closed the connection without a reply");
    return received;
}

}  // namespace

Result<Reply> parse_reply(std::string raw) {
    size_t feed = raw.find('\n');
    if (feed == std::string::npos || feed + 1 != raw.size()) return fail("the reply is not one line");
    auto value = parse_json(std::string_view(raw).substr(0, feed), 2);
    if (!value) return fail("the reply is not JSON", value.error());
    if (!value->is_object()) return fail("the reply is not a JSON object");
    auto ok = value->find("ok");
    if (ok == value->end() || !ok->is_boolean()) return fail("the reply has no boolean \"ok\"");
    Reply reply{.ok = ok->get<bool>()};
    for (auto [key, slot] : {std::pair{"version", &reply.version}, std::pair{"error", &reply.error},
                             std::pair{"interface", &reply.interface}}) {
        auto text = optional_text(*value, key);
        if (!text) return fail("malformed reply", text.error());
        *slot = std::move(*text);
    }
    if (reply.ok == reply.error.has_value()) return fail("the reply's \"error\" does not match its \"ok\"");
    reply.raw = std::move(raw);
    return reply;
}

Result<std::string> exchange(const std::string& socket_path, std::string_view line, std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    auto fd = connect_to(socket_path, deadline, limit);
    if (!fd) return fail(fd.error());
    std::string request(line);
    request += '\n';
    // MSG_NOSIGNAL: a helper that hangs up early is an error to report, not a SIGPIPE.
    size_t sent = 0;
    while (sent < request.size()) {
        if (!bound_sends(fd->get(), deadline)) return fail(timed_out(limit));
        ssize_t n = send(fd->get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return fail(timed_out(limit));
        if (n < 0) break;  // a refusal is answered before the request is read; read it
        sent += static_cast<size_t>(n);
    }
    (void)shutdown(fd->get(), SHUT_WR);
    return read_reply(fd->get(), deadline, limit);
}

}  // namespace quorin::ctl
