#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace quorin::ctl {

// A reply line as the helper writes it: the raw line and its four members.
struct Reply {
    std::string raw{};  // exactly the bytes received
    bool ok = false;
    std::optional<std::string> version{};
    std::optional<std::string> error{};
    std::optional<std::string> interface {};
};

// Checks the received bytes: one line holding a JSON object whose `ok` is a boolean
// and whose other members are strings or null, with an error text exactly when `ok`
// is false.
Result<Reply> parse_reply(std::string raw);

// Connects, sends the line and a line feed, and reads until the helper closes, all
// within `limit`. Errors are sentences for a person: a missing socket says the helper is
// not running, a helper that does not answer in time says so.
Result<std::string> exchange(const std::string& socket_path, std::string_view line, std::chrono::milliseconds limit);

}  // namespace quorin::ctl
