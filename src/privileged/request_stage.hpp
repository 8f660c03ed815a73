#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include "common/unique_fd.hpp"
#include "privileged/protocol.hpp"
#include "privileged/session.hpp"

namespace quorin {

// The connections between accept and reply. Their request lines are read side by side,
// each under its own deadline counted from its admission, so that silent clients cost
// others at most one deadline rather than one each; complete requests are dispatched
// one at a time, in the order their lines completed. Single-threaded: the serving
// thread polls what `watch` lists and hands the result to `advance`.
class RequestStage {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t MAX_HELD = 64;
    static constexpr size_t MAX_INCOMPLETE_PER_USER = 4;
    static constexpr std::chrono::seconds TIME_LIMIT{10};

    RequestStage();
    ~RequestStage();
    RequestStage(const RequestStage&) = delete;
    RequestStage& operator=(const RequestStage&) = delete;

    // Admits a connection just accepted and takes what its client has sent so far; a line
    // still incomplete then has its deadline. A refused client, or one user's connection
    // beyond four whose lines are incomplete, is answered and closed at once.
    void admit(UniqueFd connection);
    // No more connections until one is answered.
    bool full() const;
    // No connection is held.
    bool empty() const;
    // Appends one entry per connection whose line is incomplete, and returns the poll
    // timeout in milliseconds: 0 while a request waits for dispatch, otherwise until the
    // nearest deadline, or -1 when there is none.
    int watch(std::vector<pollfd>& fds, Clock::time_point now) const;
    // Reads what arrived on the entries `watch` appended (first in `fds`, as polled), and
    // answers the connections that failed or whose deadline has passed.
    void advance(const std::vector<pollfd>& fds, Clock::time_point now);
    // Dispatches the request whose line completed first, answers it and closes its
    // connection; false when no request waits.
    bool dispatch_next(SessionSlot& slot);

private:
    struct Held;
    enum class Progress { reading, complete, failed };

    // Keeps a connection where its progress puts it, or answers a failed one.
    void place(std::unique_ptr<Held> held, Progress progress);
    static void finish(std::unique_ptr<Held> held, const Reply& reply, bool large);
    size_t incomplete_of(uid_t uid) const;

    std::vector<std::unique_ptr<Held>> reading_;  // in accept order
    std::deque<std::unique_ptr<Held>> complete_;  // in the order their lines completed
};

}  // namespace quorin
