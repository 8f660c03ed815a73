#include "privileged/command.hpp"

#include <array>
#include <span>

#include "common/base64.hpp"
#include "common/text.hpp"
#include "host/bypass.hpp"
#include "mihomo/policy.hpp"

namespace quorin {

namespace {

constexpr const char* UNSUPPORTED = "неподдерживаемый запрос";

using Words = std::span<const std::string_view>;

// Gives the line's memory back; assigning an empty text could keep its buffer.
void release(Request& request) {
    std::string().swap(request.line);
    std::vector<std::string_view>().swap(request.words);
}
using Decoder = Result<Command> (*)(Words words, Request& request);

Result<Command> decode_status(Words, Request&) { return StatusCommand{}; }
Result<Command> decode_tun_status(Words, Request&) { return TunStatusCommand{}; }
Result<Command> decode_tun_down(Words, Request&) { return TunDownCommand{}; }

Result<Command> decode_mihomo_up(Words words, Request& request) {
    MihomoUpCommand command;
    if (words.size() == 3) command.memory_limit = parse_memory_limit(words[2]);
    auto bytes = decode_mihomo_bytes(words[1]);
    release(request);
    if (!bytes) return fail(bytes.error());
    auto config = parse_mihomo_config(std::move(*bytes));
    if (!config) return fail(config.error());
    command.config = std::move(*config);
    return command;
}

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

Result<Command> decode_tun_up(Words words, Request&) {
    if (!is_interface_name(words[1])) return fail(UNSUPPORTED);
    TunParameters tun{.interface_name = std::string(words[1]), .ipv6 = words[2] == "1", .auto_route = words[3] == "1"};
    auto mtu = parse_u16(words[4]);
    if (!mtu) return fail("некорректный MTU", mtu.error());
    tun.mtu = *mtu;
    auto port = parse_u16(words[5]);
    if (!port) return fail("некорректный SOCKS-порт", port.error());
    tun.socks_port = *port;
    auto bypass = decode_bypass_list(words[6]);
    if (!bypass) return fail(bypass.error());
    tun.bypass_processes = std::move(*bypass);
    TunUpCommand command{.start = {.tun = std::move(tun)}};
    if (words.size() == 8) {
        auto servers = decode_server_list(words[7]);
        if (!servers) return fail(servers.error());
        command.start.servers = std::move(*servers);
    }
    return command;
}

struct CommandEntry {
    std::string_view word;
    size_t min_words;  // the command word included
    size_t max_words;
    bool changes_session;  // owner test and log line
    Decoder decode;
};

constexpr std::array<CommandEntry, 5> COMMANDS = {{
    {"status", 1, 1, false, decode_status},
    {"tun-status", 1, 1, false, decode_tun_status},
    {"tun-down", 1, 1, true, decode_tun_down},
    {"mihomo-up", 2, 3, true, decode_mihomo_up},
    {"tun-up", 7, 8, true, decode_tun_up},
}};

}  // namespace

ParsedRequest parse_request(Request& request) {
    std::vector<std::string_view> words;
    words.swap(request.words);
    ParsedRequest parsed;
    bool decoded = false;
    for (const CommandEntry& entry : COMMANDS) {
        if (words.empty() || words[0] != entry.word) continue;
        parsed.word = entry.word;
        parsed.changes_session = entry.changes_session;
        if (words.size() >= entry.min_words && words.size() <= entry.max_words) {
            parsed.command = entry.decode(words, request);
            decoded = true;
        }
    }
    if (!decoded) parsed.command = fail(UNSUPPORTED);
    release(request);
    return parsed;
}

}  // namespace quorin
