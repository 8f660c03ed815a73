#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "common/error.hpp"
#include "common/json_document.hpp"
#include "privileged/protocol.hpp"
#include "singbox/launch.hpp"

namespace quorin {

struct StatusCommand {};
struct TunStatusCommand {};
struct TunDownCommand {};
// Decoded only: the policy is applied once the client is known to own nothing else.
struct MihomoUpCommand {
    JsonDocument config;
    std::optional<std::string> memory_limit;
};
struct TunUpCommand {
    SingboxStart start;
};

using Command = std::variant<StatusCommand, TunStatusCommand, TunDownCommand, MihomoUpCommand, TunUpCommand>;

// A request line taken apart without touching the host. A decoding failure is kept
// rather than reported at once: a command that changes the session runs its owner
// test and its log line first, whatever else its words hold.
struct ParsedRequest {
    std::string_view word{};  // the command word when it is known, for the log line
    bool changes_session = false;
    Result<Command> command = fail("");
};

// Decodes every argument into values of its own and leaves `request` empty: a
// mihomo-up line is released as soon as its configuration's bytes are out of it, so
// that a maximal request is not held through the parse and the launch.
ParsedRequest parse_request(Request& request);

}  // namespace quorin
