#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/unique_fd.hpp"
#include "privileged/protocol.hpp"
#include "privileged/session.hpp"

namespace quorin {

// The connections between accept and the end of their reply. Request lines are read and
// replies written side by side, each under its own deadline, so that a client that
// neither sends nor reads costs others nothing; complete requests are dispatched one at
// a time, one of each waiting user in turn. Single-threaded: the serving thread polls
// what `watch` lists and hands the result to `advance`.
class RequestStage {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t MAX_HELD = 64;
    static constexpr size_t MAX_HELD_PER_USER = 4;
    // For a request line from admission, and for a reply from when it is ready.
    static constexpr std::chrono::seconds TIME_LIMIT{10};

    RequestStage();
    ~RequestStage();
    RequestStage(const RequestStage&) = delete;
    RequestStage& operator=(const RequestStage&) = delete;

    // Admits a connection just accepted and takes what its client has sent so far; a line
    // still incomplete then has its deadline. A refused client, or a user's connection
    // beyond the four it may hold, is answered at once.
    void admit(UniqueFd connection);
    // No more connections until one is done with.
    bool full() const;
    // No connection is held.
    bool empty() const;
    // Appends one entry per connection whose line is incomplete or whose reply is
    // unfinished, and returns the poll timeout in milliseconds: 0 while a request waits
    // for dispatch, otherwise until the nearest deadline, or -1 when there is none.
    int watch(std::vector<pollfd>& fds, Clock::time_point now) const;
    // Reads and writes on the entries `watch` appended (first in `fds`, as polled), and
    // ends the connections that failed or whose deadline has passed.
    void advance(const std::vector<pollfd>& fds, Clock::time_point now);
    // Dispatches the next request in the round of users, answers it and lets its
    // connection go once the reply is out; false when no request waits.
    bool dispatch_next(SessionSlot& slot);

private:
    struct Held;
    enum class Progress { reading, complete, failed };

    // Keeps a connection where its progress puts it, or answers a failed one.
    void place(std::unique_ptr<Held> held, Progress progress);
    // Sends what the socket takes now; the rest waits for the client under the deadline.
    void reply(std::unique_ptr<Held> held, const Reply& answer, bool large);
    size_t held_by(uid_t uid) const;
    bool has_complete(uid_t uid) const;

    std::vector<std::unique_ptr<Held>> reading_;   // in accept order
    std::vector<std::unique_ptr<Held>> complete_;  // in the order their lines completed
    std::vector<std::unique_ptr<Held>> replying_;
    // The users with a complete request, in the order of their next turn. The user last
    // served joins at the end only when the next request is chosen, after everyone who
    // came while its request ran.
    std::deque<uid_t> turns_;
    std::optional<uid_t> served_;
};

}  // namespace quorin
