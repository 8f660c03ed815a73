// One request from raw bytes to the command it asks for: the line read from a socket as
// the serve loop reads it, the word split, and the parse with the word-count rules and
// the decoding of every tun-up and mihomo-up argument (bypass list, server list, Mihomo
// configuration, memory limit). The parse touches nothing on the host, so everything
// here is the production code.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <variant>

#include "common/json.hpp"
#include "common/json_document.hpp"
#include "common/text.hpp"
#include "fuzz_support.hpp"
#include "mihomo/policy.hpp"
#include "privileged/command.hpp"
#include "privileged/protocol.hpp"

namespace {

using namespace quorin;

// The reply is one line of JSON with exactly the four members; error is set exactly
// when ok is false.
void require_reply(const Reply& reply) {
    std::string line = reply.line();
    fuzz::require(line.ends_with('\n') && line.find('\n') == line.size() - 1, "reply is one line");
    auto value = parse_json(line, 2);
    fuzz::require(value && value->is_object() && value->size() == 4, "reply is a JSON object of four members");
    fuzz::require((*value)["ok"].is_boolean(), "ok is a boolean");
    bool ok = (*value)["ok"].get<bool>();
    fuzz::require((*value)["error"].is_string() != ok, "error is set exactly on failure");
    if (!ok) fuzz::require((*value)["error"].get<std::string>() == *reply.error, "error text survives escaping");
}

void require_words(const Request& request) {
    const std::string& line = request.line;
    for (std::string_view word : request.words) {
        fuzz::require(!word.empty(), "words are not empty");
        fuzz::require(word.data() >= line.data() && word.data() + word.size() <= line.data() + line.size(),
                      "words are slices of the line");
        fuzz::require(trim_white_space(word).size() == word.size(), "words carry no white space at their ends");
    }
}

// The input goes into one end of a socket pair as fast as the other end is read, and the
// stream ends after it, as when a client shuts down writing.
Result<void> read_input(std::string_view input, Request& request) {
    int ends[2];
    fuzz::require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair works");
    UniqueFd client(ends[0]), server(ends[1]);
    size_t scanned = 0;
    for (;;) {
        if (client && input.empty()) client.reset();
        if (client) {
            ssize_t sent = send(client.get(), input.data(), input.size(), MSG_DONTWAIT);
            if (sent > 0) input.remove_prefix(static_cast<size_t>(sent));
        }
        auto complete = read_available(server.get(), request.line, scanned);
        if (!complete) return fail(complete.error());
        if (*complete) return split_request(request);
    }
}

// What execution is handed must already be fully decoded and normalised: the launches
// trust it. What Mihomo would read back from the file written for a configuration that
// passes the policy must pass it again.
void require_command(const Command& command) {
    if (const auto* tun_up = std::get_if<TunUpCommand>(&command)) {
        const SingboxStart& start = tun_up->start;
        fuzz::require(is_interface_name(start.tun.interface_name), "tun-up interface name was checked");
        fuzz::require_bypass_list(start.tun.bypass_processes);
        fuzz::require(start.servers.size() <= 64, "server list holds at most 64 texts");
        fuzz::require(normalize_server_list(start.servers) == start.servers, "server list arrives normalised");
    }
    if (const auto* mihomo_up = std::get_if<MihomoUpCommand>(&command)) {
        if (mihomo_up->memory_limit) fuzz::require(mihomo_up->memory_limit->size() <= 16, "memory limit is short");
        if (auto device = check_mihomo_policy(mihomo_up->config)) {
            const Json written = fuzz::written_and_read_back(mihomo_up->config, MIHOMO_CONFIG_MAX_DEPTH);
            auto reread = JsonDocument::parse(dump_compact(written), MIHOMO_CONFIG_MAX_DEPTH);
            auto reread_device = reread ? check_mihomo_policy(*reread) : Result<std::string>(fail("unreadable"));
            fuzz::require(reread_device && *reread_device == *device,
                          "the written configuration passes the policy again");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::DescriptorWatch descriptors;
    {
        Request request;
        if (auto read = read_input(fuzz::as_text(data, size), request); !read) {
            require_reply(Reply::failure(read.error().message()));
        } else {
            require_words(request);
            const std::string first = request.words.empty() ? "" : std::string(request.words[0]);
            ParsedRequest parsed = parse_request(request);
            fuzz::require(request.line.empty() && request.words.empty(), "the request is let go of");
            const bool changes_session = first == "mihomo-up" || first == "tun-down" || first == "tun-up";
            fuzz::require(parsed.changes_session == changes_session, "exactly the session commands are owner-tested");
            fuzz::require(!changes_session || parsed.word == first, "the log line names the command word");
            if (parsed.command) {
                require_command(*parsed.command);
            } else {
                require_reply(Reply::failure(parsed.command.error().message()));
            }
        }
    }
    descriptors.require_no_leak();
    return 0;
}
