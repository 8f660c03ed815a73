#include "privileged/request_stage.hpp"

#include <malloc.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "privileged/admission.hpp"

namespace quorin {

namespace {

constexpr size_t LARGE_BYTES = size_t{1} << 20;
constexpr const char* TOO_MANY_HELD = "слишком много одновременных запросов от этого пользователя";

// Sends what the socket takes without waiting. Returns false when the rest must wait for
// the client, true when the reply is out or the client has gone.
bool send_available(int connection, const std::string& bytes, size_t& sent) {
    while (sent < bytes.size()) {
        ssize_t n = send(connection, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno != EAGAIN && errno != EWOULDBLOCK;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

// For refusals of connections that are not held: a reply of a few hundred bytes always
// fits the empty send buffer of a new connection, and nothing is kept for the rest.
void answer_at_once(int connection, const Reply& reply) {
    size_t sent = 0;
    (void)send_available(connection, reply.line(), sent);
}

// Picks out the connections of one user.
auto of_user(uid_t uid) {
    return [uid](const auto& held) { return held->client.uid == uid; };
}

// After a large request or reply, the memory goes back to the system, or the service
// would idle at its largest.
void release_memory(bool large) {
    if (large) (void)malloc_trim(0);
}

}  // namespace

struct RequestStage::Held {
    UniqueFd connection;
    ClientProcess client;
    Clock::time_point deadline{};  // of the line once it is found incomplete, then of the reply
    Request request{};
    size_t scanned = 0;
    Reply failure{};  // set when Progress::failed
    std::string reply{};
    size_t sent = 0;

    Progress read_more() {
        auto complete = read_available(connection.get(), request.line, scanned);
        if (!complete) return fail_with(complete.error());
        if (!*complete) return Progress::reading;
        if (auto split = split_request(request); !split) return fail_with(split.error());
        return Progress::complete;
    }

    Progress fail_with(const Error& error) {
        failure = Reply::failure(error.message());
        return Progress::failed;
    }
};

RequestStage::RequestStage() = default;
RequestStage::~RequestStage() = default;

void RequestStage::admit(UniqueFd connection) {
    auto client = admit_client(connection.get());
    if (!client) return answer_at_once(connection.get(), Reply::failure(client.error().message()));
    if (held_by(client->uid) >= MAX_HELD_PER_USER)
        return answer_at_once(connection.get(), Reply::failure(TOO_MANY_HELD));
    auto held = std::make_unique<Held>(Held{std::move(connection), std::move(*client)});
    Progress progress = held->read_more();
    if (progress == Progress::reading) held->deadline = Clock::now() + TIME_LIMIT;
    place(std::move(held), progress);
}

bool RequestStage::full() const { return reading_.size() + complete_.size() + replying_.size() >= MAX_HELD; }

bool RequestStage::empty() const { return reading_.empty() && complete_.empty() && replying_.empty(); }

int RequestStage::watch(std::vector<pollfd>& fds, Clock::time_point now) const {
    for (const auto& held : reading_) fds.push_back({held->connection.get(), POLLIN, 0});
    for (const auto& held : replying_) fds.push_back({held->connection.get(), POLLOUT, 0});
    if (!complete_.empty()) return 0;
    if (reading_.empty() && replying_.empty()) return -1;
    auto nearest = Clock::time_point::max();
    for (const auto& held : reading_) nearest = std::min(nearest, held->deadline);
    for (const auto& held : replying_) nearest = std::min(nearest, held->deadline);
    auto left = std::chrono::ceil<std::chrono::milliseconds>(nearest - now).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

void RequestStage::advance(const std::vector<pollfd>& fds, Clock::time_point now) {
    std::vector<std::unique_ptr<Held>> reading = std::move(reading_);
    std::vector<std::unique_ptr<Held>> replying = std::move(replying_);
    reading_.clear();
    replying_.clear();
    for (size_t i = 0; i < replying.size(); ++i) {
        std::unique_ptr<Held>& held = replying[i];
        const bool done =
            fds[reading.size() + i].revents != 0 && send_available(held->connection.get(), held->reply, held->sent);
        // A client that has not taken its reply by the deadline is disconnected.
        if (done || now >= held->deadline) {
            release_memory(held->reply.size() >= LARGE_BYTES);
            continue;
        }
        replying_.push_back(std::move(held));
    }
    for (size_t i = 0; i < reading.size(); ++i) {
        std::unique_ptr<Held>& held = reading[i];
        Progress progress = fds[i].revents != 0 ? held->read_more() : Progress::reading;
        // Checked after the read: a line that came while another request was being
        // served is taken even if the deadline passed meanwhile.
        if (progress == Progress::reading && now >= held->deadline) progress = held->fail_with(Error::os(ETIMEDOUT));
        place(std::move(held), progress);
    }
}

bool RequestStage::dispatch_next(SessionSlot& slot) {
    if (served_) {
        if (has_complete(*served_)) turns_.push_back(*served_);
        served_.reset();
    }
    if (turns_.empty()) return false;
    const uid_t uid = turns_.front();
    turns_.pop_front();
    auto next = std::ranges::find_if(complete_, of_user(uid));  // its first in completion order
    std::unique_ptr<Held> held = std::move(*next);
    complete_.erase(next);
    served_ = uid;
    const bool large = held->request.line.size() >= LARGE_BYTES;
    Reply answer = dispatch(held->request, held->client, slot);
    reply(std::move(held), answer, large);
    return true;
}

void RequestStage::place(std::unique_ptr<Held> held, Progress progress) {
    switch (progress) {
        case Progress::reading:
            reading_.push_back(std::move(held));
            return;
        case Progress::complete: {
            const uid_t uid = held->client.uid;
            if (served_ != uid && !has_complete(uid)) turns_.push_back(uid);
            complete_.push_back(std::move(held));
            return;
        }
        case Progress::failed: {
            const bool large = held->request.line.size() >= LARGE_BYTES;
            const Reply failure = std::move(held->failure);
            return reply(std::move(held), failure, large);
        }
    }
}

void RequestStage::reply(std::unique_ptr<Held> held, const Reply& answer, bool large) {
    held->request = Request{};  // nothing of the request is needed while the reply waits
    held->reply = answer.line();
    if (!send_available(held->connection.get(), held->reply, held->sent)) {
        held->deadline = Clock::now() + TIME_LIMIT;
        replying_.push_back(std::move(held));
    } else {
        large = large || held->reply.size() >= LARGE_BYTES;
        held.reset();
    }
    release_memory(large);
}

size_t RequestStage::held_by(uid_t uid) const {
    return static_cast<size_t>(std::ranges::count_if(reading_, of_user(uid)) +
                               std::ranges::count_if(complete_, of_user(uid)) +
                               std::ranges::count_if(replying_, of_user(uid)));
}

bool RequestStage::has_complete(uid_t uid) const { return std::ranges::any_of(complete_, of_user(uid)); }

}  // namespace quorin
