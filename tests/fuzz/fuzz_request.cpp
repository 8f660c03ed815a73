// One request from raw bytes to the reply: the line read from a socket as the serve loop
// reads it, the word split, dispatch with the owner test, the word-count rules and the
// decoding of every tun-up and mihomo-up argument (bypass list, server list, Mihomo
// policy, owner pidfd).
//
// Nothing an input does may reach the host. This file therefore defines the three
// operations that would: start_singbox_session, launch_mihomo and
// cleanup_network_state. Because the executable's own definitions come first, the
// linker never takes the real ones out of the static libraries; should anything else
// ever pull those objects in, the link fails with a duplicate symbol instead of
// silently running cores. Everything up to the launch is the production code.

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "common/files.hpp"
#include "common/json.hpp"
#include "fuzz_support.hpp"
#include "host/cleanup.hpp"
#include "mihomo/launch.hpp"
#include "mihomo/policy.hpp"
#include "privileged/protocol.hpp"
#include "singbox/launch.hpp"

namespace quorin {

namespace {

constexpr const char* RECORDED = "запуск записан";

}  // namespace

// What the dispatcher hands a sing-box start must already be fully decoded and
// normalised: the launch trusts it.
Result<void> start_singbox_session(SessionSlot& slot, const SingboxStart& start) {
    fuzz::require(!slot.session, "the recorder never stores a session");
    fuzz::require(is_interface_name(start.interface_name), "tun-up interface name was checked");
    fuzz::require_bypass_list(start.bypass_processes);
    fuzz::require(start.servers.size() <= 64, "server list holds at most 64 texts");
    fuzz::require(normalize_server_list(start.servers) == start.servers, "server list arrives normalised");
    return fail(RECORDED);
}

// Only a configuration that passed the policy may reach the launch, and what Mihomo
// would read back from the written file must pass it again.
Result<void> launch_mihomo(MihomoRequest request, SessionSlot& slot, pid_t client_pid) {
    fuzz::require(!slot.session, "the recorder never stores a session");
    fuzz::require(client_pid == getpid(), "the client pid is passed through");
    fuzz::require(request.owner_handle.valid(), "the owner handle is open");
    auto device = check_mihomo_policy(request.config);
    fuzz::require(device && *device == request.tun_device, "the launched configuration passes the policy");
    const Json written = fuzz::written_and_read_back(request.config, MIHOMO_CONFIG_MAX_DEPTH);
    auto reread = JsonDocument::parse(dump_compact(written), MIHOMO_CONFIG_MAX_DEPTH);
    auto reread_device = reread ? check_mihomo_policy(*reread) : Result<std::string>(fail("unreadable"));
    fuzz::require(reread_device && *reread_device == *device, "the written configuration passes the policy again");
    if (request.memory_limit) fuzz::require(request.memory_limit->size() <= 16, "memory limit is short");
    return fail(RECORDED);
}

void cleanup_network_state() {}

}  // namespace quorin

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::DescriptorWatch descriptors;
    {
        SessionSlot slot;
        Request request;
        Reply reply;
        if (auto read = read_input(fuzz::as_text(data, size), request); !read) {
            reply = Reply::failure(read.error().message());
        } else {
            require_words(request);
            ClientProcess client{.pid = getpid(),
                                 .handle = UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0)))};
            fuzz::require(client.handle.valid(), "pidfd_open works");
            reply = dispatch(request.words, client, slot);
        }
        fuzz::require(!slot.session, "a refused or recorded request leaves no session");
        require_reply(reply);
    }
    descriptors.require_no_leak();
    return 0;
}
