#pragma once

#include <sys/types.h>

#include <chrono>
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
// of the request.
struct Request {
    std::string line;
    std::vector<std::string_view> words;
};

constexpr size_t MAX_REQUEST_BYTES = size_t{12} * 1024 * 1024;
constexpr std::chrono::seconds REQUEST_TIME_LIMIT{10};

// Reads the first line (at most 12 MiB) through a close-on-exec duplicate of the
// connection; the whole line must arrive before `deadline`. Request must outlive the
// words, so it is filled in place.
Result<void> read_request(int connection, std::chrono::steady_clock::time_point deadline, Request& request);
Reply dispatch(const std::vector<std::string_view>& words, pid_t client_pid, SessionSlot& slot);
// Admits the peer, reads one request, answers it and closes the connection.
void handle_connection(UniqueFd connection, SessionSlot& slot);

}  // namespace quorin
