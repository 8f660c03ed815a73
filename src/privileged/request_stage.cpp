#include "privileged/request_stage.hpp"

#include <malloc.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "common/files.hpp"
#include "privileged/admission.hpp"

namespace quorin {

namespace {

constexpr size_t LARGE_REQUEST_BYTES = size_t{1} << 20;
constexpr const char* TOO_MANY_INCOMPLETE = "слишком много незавершённых запросов от этого пользователя";

// Every reply is a few kilobytes at most and the connection's send buffer is empty, so
// the write cannot wait on a client that does not read.
void answer(int connection, const Reply& reply) { (void)write_all(connection, reply.line()); }

}  // namespace

struct RequestStage::Held {
    UniqueFd connection;
    ClientProcess client;
    Clock::time_point deadline{};  // set once the line is found incomplete
    Request request{};
    size_t scanned = 0;
    Reply failure{};  // set when Progress::failed

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

// Answers a connection and lets go of everything its request held; after a large one the
// memory goes back to the system, or the service would idle at its largest request.
void RequestStage::finish(std::unique_ptr<Held> held, const Reply& reply, bool large) {
    answer(held->connection.get(), reply);
    held.reset();
    if (large) (void)malloc_trim(0);
}

void RequestStage::admit(UniqueFd connection) {
    auto client = admit_client(connection.get());
    if (!client) return answer(connection.get(), Reply::failure(client.error().message()));
    auto held = std::make_unique<Held>(Held{std::move(connection), std::move(*client)});
    // A line that has arrived already holds nothing up and is taken whatever the count.
    Progress progress = held->read_more();
    if (progress == Progress::reading) {
        if (incomplete_of(held->client.uid) >= MAX_INCOMPLETE_PER_USER)
            return finish(std::move(held), Reply::failure(TOO_MANY_INCOMPLETE), false);
        held->deadline = Clock::now() + TIME_LIMIT;
    }
    place(std::move(held), progress);
}

bool RequestStage::full() const { return reading_.size() + complete_.size() >= MAX_HELD; }

bool RequestStage::empty() const { return reading_.empty() && complete_.empty(); }

int RequestStage::watch(std::vector<pollfd>& fds, Clock::time_point now) const {
    for (const auto& held : reading_) fds.push_back({held->connection.get(), POLLIN, 0});
    if (!complete_.empty()) return 0;
    if (reading_.empty()) return -1;
    Clock::time_point nearest = reading_.front()->deadline;
    for (const auto& held : reading_) nearest = std::min(nearest, held->deadline);
    auto left = std::chrono::ceil<std::chrono::milliseconds>(nearest - now).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

void RequestStage::advance(const std::vector<pollfd>& fds, Clock::time_point now) {
    std::vector<std::unique_ptr<Held>> reading = std::move(reading_);
    reading_.clear();
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
    if (complete_.empty()) return false;
    std::unique_ptr<Held> held = std::move(complete_.front());
    complete_.pop_front();
    const bool large = held->request.line.size() >= LARGE_REQUEST_BYTES;
    Reply reply = dispatch(held->request, held->client, slot);
    finish(std::move(held), reply, large);
    return true;
}

void RequestStage::place(std::unique_ptr<Held> held, Progress progress) {
    switch (progress) {
        case Progress::reading:
            reading_.push_back(std::move(held));
            return;
        case Progress::complete:
            complete_.push_back(std::move(held));
            return;
        case Progress::failed: {
            const bool large = held->request.line.size() >= LARGE_REQUEST_BYTES;
            const Reply reply = std::move(held->failure);
            return finish(std::move(held), reply, large);
        }
    }
}

size_t RequestStage::incomplete_of(uid_t uid) const {
    return static_cast<size_t>(
        std::ranges::count_if(reading_, [uid](const auto& held) { return held->client.uid == uid; }));
}

}  // namespace quorin
