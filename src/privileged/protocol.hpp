#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "privileged/session.hpp"

namespace quorin {

// The one-line JSON answer that ends every connection.
struct Reply {
    bool ok = false;
    std::optional<std::string> version{};
    std::optional<std::string> error{};
    std::optional<std::string> interface{};

    static Reply success() { return Reply{.ok = true}; }
    static Reply failure(std::string message) { return Reply{.ok = false, .error = std::move(message)}; }
    // {"ok":…,"version":…,"error":…,"interface":…} and a line feed.
    std::string line() const;
};

// One request line and its words, which are slices of `line`; the line is the only copy
// of the request. Never moved once split: a short line lives inside the string object.
struct Request {
    std::string line;
    std::vector<std::string_view> words;
};

constexpr size_t MAX_REQUEST_BYTES = size_t{12} * 1024 * 1024;

// Takes what has arrived on `reader` for the request line, straight into `line`, 8192
// bytes at a time and without waiting for more. `scanned` counts the bytes of `line`
// already known to hold no line feed (0 for a new line). Returns true once the line is
// complete: its first line feed (whatever follows is dropped), the end of the stream, or
// 12 MiB. Reads a bounded amount per call, so that one fast sender cannot keep the
// caller from its other connections; call again while the reader stays readable.
Result<bool> read_available(int reader, std::string& line, size_t& scanned);
// Splits a complete line into words; refused unless it is UTF-8.
Result<void> split_request(Request& request);
// Parses the request (leaving it empty), then runs it: the owner test and the log line for a command that
// changes the session, then the command. A start takes the client's handle for the new
// session's owner.
Reply dispatch(Request& request, ClientProcess& client, SessionSlot& slot);

}  // namespace quorin
