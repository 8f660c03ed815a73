#include "privileged/protocol.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/base64.hpp"
#include "common/files.hpp"
#include "common/json.hpp"
#include "common/log.hpp"
#include "common/text.hpp"
#include "host/bypass.hpp"
#include "host/catalogue.hpp"
#include "host/cleanup.hpp"
#include "mihomo/mihomo.hpp"
#include "singbox/launch.hpp"
#include "windows_tun_config/singbox_config.hpp"

namespace quorin {

namespace {

constexpr size_t READ_CHUNK = 8192;
constexpr size_t READS_PER_CALL = 16;
constexpr size_t LARGE_LINE_BYTES = size_t{64} * 1024;
constexpr const char* UNSUPPORTED = "неподдерживаемый запрос";

std::string json_or_null(const std::optional<std::string>& text) { return text ? json_quote(*text) : "null"; }

Result<ServerList> decode_server_list(std::string_view word) {
    auto bytes = decode_base64_url(word);
    if (!bytes) return fail("повреждён список серверов", bytes.error());
    // An array of strings nests one level; anything deeper is refused while parsing.
    auto document = JsonDocument::parse(std::move(*bytes), 1);
    if (!document) return fail("некорректный список серверов", document.error());
    JsonView list = document->root();
    if (!list.is_array()) return fail("некорректный список серверов", Error("not a JSON array"));
    for (JsonView entry : list.children()) {
        if (!entry.is_string()) return fail("некорректный список серверов", Error("array element is not a string"));
    }
    return normalize_server_list(list);
}

Result<void> handle_tun_up(const std::vector<std::string_view>& w, ClientProcess& client, SessionSlot& slot) {
    SingboxStart start{.interface_name = std::string(w[1]), .ipv6 = w[2] == "1", .auto_route = w[3] == "1"};
    auto mtu = parse_u16(w[4]);
    if (!mtu) return fail("некорректный MTU", mtu.error());
    start.mtu = *mtu;
    auto port = parse_u16(w[5]);
    if (!port) return fail("некорректный SOCKS-порт", port.error());
    start.socks_port = *port;
    auto bypass = decode_bypass_list(w[6]);
    if (!bypass) return fail(bypass.error());
    start.bypass_processes = std::move(*bypass);
    if (w.size() == 8) {
        auto servers = decode_server_list(w[7]);
        if (!servers) return fail(servers.error());
        start.servers = std::move(*servers);
    }
    auto owner = open_owner_handle(client);
    if (!owner) return fail(owner.error());
    if (auto started = start_singbox_session(slot, start); !started) return started;
    record_owner(slot, std::move(*owner), client.pid);
    return {};
}

Reply status_reply() {
    auto cores = require_all_cores();
    if (!cores) return Reply::failure(cores.error().message());
    Reply reply = Reply::success();
    reply.version =
        "Xray " + cores->xray.version + "; sing-box " + cores->sing_box.version + "; Mihomo " + cores->mihomo.version;
    return reply;
}

Reply single_word(std::string_view command, SessionSlot& slot) {
    if (command == "status") return status_reply();
    if (command == "tun-down") {
        stop_session(slot);
        cleanup_network_state();
        return Reply::success();
    }
    if (command == "tun-status") {
        auto name = tun_status(slot);
        if (!name) return Reply::failure(name.error().message());
        Reply reply = Reply::success();
        reply.interface = std::move(*name);
        return reply;
    }
    return Reply::failure(UNSUPPORTED);
}

Reply from_result(const Result<void>& result) {
    return result ? Reply::success() : Reply::failure(result.error().message());
}

}  // namespace

std::string Reply::line() const {
    return std::string("{\"ok\":") + (ok ? "true" : "false") + ",\"version\":" + json_or_null(version) +
           ",\"error\":" + json_or_null(error) + ",\"interface\":" + json_or_null(interface) + "}\n";
}

// Bytes that are already there are taken without waiting, into the one growing line.
Result<bool> read_available(int reader, std::string& line, size_t& scanned) {
    size_t reads = 0;
    while (line.size() < MAX_REQUEST_BYTES) {
        if (reads == READS_PER_CALL) return false;
        const size_t filled = line.size();
        const size_t want = std::min(READ_CHUNK, MAX_REQUEST_BYTES - filled);
        // A request this long is a large one: room for the longest is reserved at once
        // rather than the text being copied at every doubling. Pages that are never
        // written cost nothing.
        if (filled + want > line.capacity() && filled >= LARGE_LINE_BYTES) line.reserve(MAX_REQUEST_BYTES);
        ssize_t n = 0;
        // The size handed to the operation may exceed `filled + want` (libstdc++ 12);
        // only `want` bytes are read.
        line.resize_and_overwrite(filled + want, [&](char* text, size_t) {
            n = recv(reader, text + filled, want, MSG_DONTWAIT);
            return filled + static_cast<size_t>(std::max<ssize_t>(n, 0));
        });
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

Reply dispatch(const std::vector<std::string_view>& w, ClientProcess& client, SessionSlot& slot,
               std::string* request_text) {
    const size_t n = w.size();
    if (n == 0) return Reply::failure(UNSUPPORTED);
    const bool changes_session = w[0] == "mihomo-up" || w[0] == "tun-down" || w[0] == "tun-up";
    if (changes_session) {
        if (auto owner = check_owner(slot, client.pid); !owner) return Reply::failure(owner.error().message());
        log_line("Quorin helper: " + std::string(w[0]) + " requested by pid " + std::to_string(client.pid));
    }
    if (n == 1) return single_word(w[0], slot);
    if (n >= 7) {
        if (w[0] != "tun-up" || !is_interface_name(w[1]) || n > 8) return Reply::failure(UNSUPPORTED);
        return from_result(handle_tun_up(w, client, slot));
    }
    if ((n == 2 || n == 3) && w[0] == "mihomo-up") {
        std::optional<std::string_view> memory_word;
        if (n == 3) memory_word = w[2];
        return from_result(handle_mihomo_up(w[1], memory_word, slot, client, request_text));
    }
    return Reply::failure(UNSUPPORTED);
}

}  // namespace quorin
