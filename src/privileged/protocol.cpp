#include "privileged/protocol.hpp"

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/json.hpp"
#include "common/log.hpp"
#include "common/text.hpp"
#include "host/catalogue.hpp"
#include "host/cleanup.hpp"
#include "mihomo/launch.hpp"
#include "mihomo/policy.hpp"
#include "privileged/command.hpp"

namespace quorin {

namespace {

constexpr size_t READ_CHUNK = 8192;
constexpr size_t READS_PER_CALL = 16;
constexpr size_t LARGE_LINE_BYTES = size_t{64} * 1024;

void append_json_or_null(std::string& line, const std::optional<std::string>& text) {
    if (text)
        append_json_quote(line, *text);
    else
        line += "null";
}

Reply status_reply() {
    auto cores = core_versions_in_force();
    if (!cores) return Reply::failure(cores.error().message());
    Reply reply = Reply::success();
    std::string& version = reply.version.emplace();
    version.reserve(64);
    version.append("Xray ").append(cores->xray).append("; sing-box ").append(cores->sing_box);
    version.append("; Mihomo ").append(cores->mihomo);
    return reply;
}

Reply run(const StatusCommand&, ClientProcess&, SessionSlot&) { return status_reply(); }

Reply run(const TunStatusCommand&, ClientProcess&, SessionSlot& slot) {
    auto name = tun_status(slot);
    if (!name) return Reply::failure(name.error().message());
    Reply reply = Reply::success();
    reply.interface = std::move(*name);
    return reply;
}

Reply run(const TunDownCommand&, ClientProcess&, SessionSlot& slot) {
    stop_session(slot);
    cleanup_network_state();
    return Reply::success();
}

// Nothing on the host changes before the policy has passed, so a refused request
// leaves a running session exactly as it was.
Result<void> run_mihomo_up(MihomoUpCommand& command, ClientProcess& client, SessionSlot& slot) {
    auto owner_handle = open_owner_handle(client);
    if (!owner_handle) return fail(owner_handle.error());
    auto tun_device = check_mihomo_policy(command.config);
    if (!tun_device) return fail(tun_device.error());
    MihomoRequest request{.config = std::move(command.config),
                          .tun_device = std::move(*tun_device),
                          .memory_limit = std::move(command.memory_limit),
                          .owner_handle = std::move(*owner_handle)};
    return launch_mihomo(std::move(request), slot, client.pid, client.uid);
}

Result<void> run_tun_up(const TunUpCommand& command, ClientProcess& client, SessionSlot& slot) {
    auto owner = open_owner_handle(client);
    if (!owner) return fail(owner.error());
    if (auto started = start_singbox_session(slot, command.start); !started) return started;
    record_owner(slot, std::move(*owner), client.pid);
    return {};
}

Reply from_result(const Result<void>& result) {
    return result ? Reply::success() : Reply::failure(result.error().message());
}

Reply run(MihomoUpCommand& command, ClientProcess& client, SessionSlot& slot) {
    return from_result(run_mihomo_up(command, client, slot));
}

Reply run(const TunUpCommand& command, ClientProcess& client, SessionSlot& slot) {
    return from_result(run_tun_up(command, client, slot));
}

}  // namespace

std::string Reply::line() const {
    std::string line;
    line.reserve(128);
    line.append(ok ? "{\"ok\":true" : "{\"ok\":false");
    line.append(",\"version\":");
    append_json_or_null(line, version);
    line.append(",\"error\":");
    append_json_or_null(line, error);
    line.append(",\"interface\":");
    append_json_or_null(line, interface);
    line.append("}\n");
    return line;
}

// Bytes that are already there are taken without waiting, into the one growing line.
Result<bool> read_available(int reader, std::string& line, size_t& scanned) {
    size_t reads = 0;
    while (line.size() < MAX_REQUEST_BYTES) {
        if (reads == READS_PER_CALL) return false;
        const size_t filled = line.size();
        const size_t want = std::min(READ_CHUNK, MAX_REQUEST_BYTES - filled);
        // A large request gets room for the longest at once; pages never written cost nothing.
        if (filled + want > line.capacity() && filled >= LARGE_LINE_BYTES) line.reserve(MAX_REQUEST_BYTES);
        ssize_t n = 0;
        if (filled == 0) {
            // The line's first piece is taken at its own size: a short request needs no
            // room beyond the string itself.
            std::array<char, READ_CHUNK> first;  // NOLINT(cppcoreguidelines-pro-type-member-init): recv fills it
            n = recv(reader, first.data(), want, MSG_DONTWAIT);
            if (n > 0) {
                line.assign(first.data(), static_cast<size_t>(n));
                explicit_bzero(first.data(), static_cast<size_t>(n));  // it may carry a configuration
            }
        } else {
            // The size handed to the operation may exceed `filled + want` (libstdc++ 12);
            // only `want` bytes are read.
            line.resize_and_overwrite(filled + want, [&](char* text, size_t) {
                n = recv(reader, text + filled, want, MSG_DONTWAIT);
                return filled + static_cast<size_t>(std::max<ssize_t>(n, 0));
            });
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
            return fail_os();
        }
        ++reads;
        if (n == 0) return true;
        size_t feed = line.find('\n', scanned);
        if (feed != std::string::npos) {
            line.resize(feed + 1);  // whatever follows the first line is ignored
            return true;
        }
        scanned = line.size();
    }
    return true;
}

Result<void> split_request(Request& request) {
    if (!is_valid_utf8(request.line)) return fail("stream did not contain valid UTF-8");
    // No request has more than eight words, and any ninth makes a line unsupported: the
    // rest is not split, so a line of millions of words costs no more than the line.
    request.words = split_white_space(request.line, 9);
    return {};
}

Reply dispatch(Request& request, ClientProcess& client, SessionSlot& slot) {
    ParsedRequest parsed = parse_request(request);
    if (parsed.changes_session) {
        if (auto owner = check_owner(slot, client.pid); !owner) return Reply::failure(owner.error().message());
        log_line("Quorin helper: " + std::string(parsed.word) + " requested by pid " + std::to_string(client.pid));
    }
    if (!parsed.command) return Reply::failure(parsed.command.error().message());
    return std::visit([&](auto& command) { return run(command, client, slot); }, *parsed.command);
}

}  // namespace quorin
