#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "windows_tun_config/singbox_config.hpp"

namespace quorin {

namespace {

constexpr auto RESOLVE_DEADLINE = std::chrono::seconds(4);
constexpr size_t MAX_ROUTE_EXCLUSIONS = 32;

// The one channel between the resolver threads and the caller. The threads hold it
// through shared pointers, so one that answers after the caller has returned still
// writes into live memory; its message is simply never read.
struct Ipv4Channel {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<std::vector<Ipv4>> messages;

    void send(std::vector<Ipv4> addresses) {
        {
            std::lock_guard guard(lock);
            messages.push_back(std::move(addresses));
        }
        arrived.notify_one();
    }

    // Waits until the deadline at most, but takes a waiting message even past it.
    std::optional<std::vector<Ipv4>> receive(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock guard(lock);
        if (!arrived.wait_until(guard, deadline, [this] { return !messages.empty(); })) return std::nullopt;
        std::vector<Ipv4> addresses = std::move(messages.front());
        messages.pop_front();
        return addresses;
    }
};

std::vector<Ipv4> system_resolver(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* answer = nullptr;
    std::vector<Ipv4> addresses;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &answer) != 0) return addresses;
    for (addrinfo* entry = answer; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        addresses.push_back(ntohl(ipv4->sin_addr.s_addr));
    }
    freeaddrinfo(answer);
    return addresses;
}

// Every started thread sends exactly one message, even when its resolver throws, so
// the caller can count on |started| messages at most.
bool start_lookup(const std::shared_ptr<Ipv4Channel>& channel, const Ipv4Resolver& resolver, const std::string& name) {
    try {
        std::thread([channel, resolver, name] {
            std::vector<Ipv4> addresses;
            try {
                addresses = resolver(name);
            } catch (...) {
                addresses.clear();
            }
            channel->send(std::move(addresses));
        }).detach();
        return true;
    } catch (const std::system_error&) {
        return false;  // no thread: that name is not looked up
    }
}

bool is_unroutable(Ipv4 address) { return address >> 24 == 127 || address == 0; }

}  // namespace

std::vector<Ipv4> resolve_route_exclusions(const ServerList& servers) {
    return resolve_route_exclusions(servers, system_resolver);
}

std::vector<Ipv4> resolve_route_exclusions(const ServerList& servers, const Ipv4Resolver& resolver) {
    std::vector<Ipv4> literals = extract_ipv4_servers(servers);
    std::set<Ipv4> addresses(literals.begin(), literals.end());

    auto channel = std::make_shared<Ipv4Channel>();
    size_t started = 0;
    for (const std::string& name : extract_host_names(servers)) {
        // The resolver would answer for 010.1.1.1 with 8.1.1.1, which its writer never meant.
        if (legacy_numeric_address(name)) continue;
        if (start_lookup(channel, resolver, name)) ++started;
    }
    // Starting the threads does not count against the lookups' time.
    const auto deadline = std::chrono::steady_clock::now() + RESOLVE_DEADLINE;
    for (size_t received = 0; received < started; ++received) {
        auto message = channel->receive(deadline);
        if (!message) break;
        for (Ipv4 address : *message) {
            if (!is_unroutable(address)) addresses.insert(address);
        }
    }

    std::vector<Ipv4> lowest(addresses.begin(), addresses.end());
    if (lowest.size() > MAX_ROUTE_EXCLUSIONS) lowest.resize(MAX_ROUTE_EXCLUSIONS);
    return lowest;
}

}  // namespace quorin
