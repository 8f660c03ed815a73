#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "common/files.hpp"
#include "privileged/command.hpp"
#include "privileged/protocol.hpp"

namespace quorin {
namespace {

struct SocketPair {
    UniqueFd client, server;
    SocketPair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        client.reset(fds[0]);
        server.reset(fds[1]);
    }
};

// Reads as the serve loop does: whatever has arrived, then a wait for more.
Result<void> read_line(SocketPair& pair, Request& request) {
    request = Request{};
    size_t scanned = 0;
    for (;;) {
        auto complete = read_available(pair.server.get(), request.line, scanned);
        if (!complete) return fail(complete.error());
        if (*complete) return split_request(request);
        pollfd readable = {pair.server.get(), POLLIN, 0};
        EXPECT_EQ(poll(&readable, 1, -1), 1);
    }
}

ClientProcess client_of(pid_t pid) {
    return ClientProcess{.pid = pid, .uid = 0, .handle = UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)))};
}

TEST(ReplyLine, WritesFourMembersInOrderWithoutBlanks) {
    EXPECT_EQ(Reply::success().line(), "{\"ok\":true,\"version\":null,\"error\":null,\"interface\":null}\n");
    EXPECT_EQ(Reply::failure("неподдерживаемый запрос").line(),
              "{\"ok\":false,\"version\":null,\"error\":\"неподдерживаемый запрос\",\"interface\":null}\n");
    Reply status = Reply::success();
    status.interface = "tun0";
    EXPECT_EQ(status.line(), "{\"ok\":true,\"version\":null,\"error\":null,\"interface\":\"tun0\"}\n");
}

TEST(ReplyLine, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(Reply::failure("say \"нет\"\\\n\t\x1f").line(),
              "{\"ok\":false,\"version\":null,\"error\":\"say \\\"нет\\\"\\\\\\n\\t\\u001f\",\"interface\":null}\n");
}

TEST(RequestRead, TakesTheFirstLineAndSplitsItIntoSlices) {
    SocketPair pair;
    ASSERT_TRUE(write_all(pair.client.get(), "  status\u3000x\r\nignored second line\n"));
    Request request;
    ASSERT_TRUE(read_line(pair, request));
    EXPECT_EQ(request.line, "  status\u3000x\r\n");
    ASSERT_EQ(request.words.size(), 2u);
    EXPECT_EQ(request.words[0], "status");
    // Words refer into the one copy of the request.
    EXPECT_GE(request.words[0].data(), request.line.data());
    EXPECT_LT(request.words[1].data(), request.line.data() + request.line.size());
}

TEST(RequestRead, EndOfStreamEndsTheLine) {
    SocketPair pair;
    ASSERT_TRUE(write_all(pair.client.get(), "tun-status"));
    shutdown(pair.client.get(), SHUT_WR);
    Request request;
    ASSERT_TRUE(read_line(pair, request));
    EXPECT_EQ(request.words, (std::vector<std::string_view>{"tun-status"}));

    SocketPair empty;
    shutdown(empty.client.get(), SHUT_WR);
    ASSERT_TRUE(read_line(empty, request));
    EXPECT_TRUE(request.words.empty());
}

TEST(RequestRead, RefusesInvalidUtf8) {
    SocketPair pair;
    ASSERT_TRUE(write_all(pair.client.get(), "status \xff\n"));
    Request request;
    auto read = read_line(pair, request);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().message(), "stream did not contain valid UTF-8");
}

TEST(RequestRead, CutsAtTwelveMebibytesWithoutError) {
    SocketPair pair;
    std::string big(MAX_REQUEST_BYTES + 100, 'a');
    std::thread writer([&] { (void)write_all(pair.client.get(), big); });
    Request request;
    auto read = read_line(pair, request);
    pair.server.reset();  // unblocks the writer's surplus
    writer.join();
    ASSERT_TRUE(read);
    EXPECT_EQ(request.line.size(), MAX_REQUEST_BYTES);
    EXPECT_EQ(request.words.size(), 1u);
}

// The serve loop reads every pending connection on one thread: a read that waited for a
// silent client would hold up all the others.
TEST(RequestRead, ASilentClientIsNeverWaitedFor) {
    SocketPair pair;
    ASSERT_TRUE(write_all(pair.client.get(), "stat"));
    std::string line;
    size_t scanned = 0;
    for (int call = 0; call < 3; ++call) {
        auto complete = read_available(pair.server.get(), line, scanned);
        ASSERT_TRUE(complete);
        EXPECT_FALSE(*complete);
    }
    EXPECT_EQ(line, "stat");
    ASSERT_TRUE(write_all(pair.client.get(), "us\n"));
    auto complete = read_available(pair.server.get(), line, scanned);
    ASSERT_TRUE(complete);
    EXPECT_TRUE(*complete);
    EXPECT_EQ(line, "status\n");
}

TEST(Dispatch, RefusesUnknownWordsAndWrongCounts) {
    SessionSlot slot;
    using Words = std::vector<std::string_view>;
    for (const Words& words : {Words{}, Words{"STATUS"}, Words{"status", "x"}, Words{"mihomo-up"}, Words{"tun-up"},
                               Words{"tun-status", "a", "b", "c"}, Words{"mihomo-up", "a", "b", "c"},
                               Words{"tun-up", "tun0", "0", "0", "1500", "1080", "W10", "W10", "x"},
                               Words{"tun-up", "tun.0", "0", "0", "1500", "1080", "W10"},
                               Words{"tun-up", "abcdefghijklmnop", "0", "0", "1500", "1080", "W10"},
                               Words{"status", "a", "b", "c", "d", "e", "f"}}) {
        ClientProcess client = client_of(getpid());
        Request request{.line = {}, .words = words};
        Reply reply = dispatch(request, client, slot);
        EXPECT_FALSE(reply.ok);
        EXPECT_EQ(reply.error.value_or(""), "неподдерживаемый запрос") << words.size();
    }
}

TEST(Dispatch, DecodesTunUpArgumentsInOrder) {
    auto error_for = [](std::vector<std::string_view> words) {
        Request request{.line = {}, .words = std::move(words)};
        ParsedRequest parsed = parse_request(request);
        return parsed.command ? std::string("<ok>") : parsed.command.error().message();
    };
    // "W10" is the Base64 form of [].
    EXPECT_EQ(error_for({"tun-up", "tun0", "1", "1", "1500.0", "80", "=="}), "некорректный MTU");
    EXPECT_EQ(error_for({"tun-up", "tun0", "1", "1", "70000", "1080", "W10"}), "некорректный MTU");
    EXPECT_EQ(error_for({"tun-up", "tun0", "1", "1", "-1", "1080", "W10"}), "некорректный MTU");
    EXPECT_EQ(error_for({"tun-up", "tun0", "1", "1", "+1500", "65536", "W10"}), "некорректный SOCKS-порт");
    EXPECT_EQ(error_for({"tun-up", "tun0", "1", "1", "1500", "1080", "W10="}), "повреждён список процессов обхода");
    EXPECT_EQ(error_for({"tun-up", "tun0", "1", "1", "1500", "1080", "W10", "W10="}), "повреждён список серверов");
    // {} and [1] and [[""]]
    EXPECT_EQ(error_for({"tun-up", "tun0", "1", "1", "1500", "1080", "W10", "e30"}), "некорректный список серверов");
    EXPECT_EQ(error_for({"tun-up", "tun0", "1", "1", "1500", "1080", "W10", "WzFd"}), "некорректный список серверов");
    EXPECT_EQ(error_for({"tun-up", "tun0", "1", "1", "1500", "1080", "W10", "W1siIl1d"}),
              "некорректный список серверов");
    EXPECT_EQ(error_for({"tun-up", "tun0", "true", "01", "+1500", "1080", "W10", "W10"}), "<ok>");
    // Decoded, then refused for a client without a process handle.
    SessionSlot slot;
    ClientProcess without_handle{.pid = getpid()};
    Request request{.line = {}, .words = {"tun-up", "tun0", "true", "01", "1500", "1080", "W10", "W10"}};
    Reply reply = dispatch(request, without_handle, slot);
    EXPECT_EQ(reply.error.value_or("<ok>"), "Не удалось определить владельца VPN");
}

// A start path that reports success without storing a session must not make the owner
// record write through an empty slot; the handle is closed instead of kept.
TEST(Session, RecordingAnOwnerWithoutSessionClosesTheHandle) {
    SessionSlot slot;
    ClientProcess client = client_of(getpid());
    auto handle = open_owner_handle(client);
    ASSERT_TRUE(handle);
    int number = handle->get();
    record_owner(slot, std::move(*handle), getpid());
    EXPECT_FALSE(slot.session.has_value());
    EXPECT_EQ(fcntl(number, F_GETFD), -1);
}

}  // namespace
}  // namespace quorin

namespace quorin {
namespace {

// A client that sends without pause must not keep the serve loop reading it: each call
// takes a bounded share and returns, the line still incomplete.
TEST(RequestRead, AFastSenderIsReadInBoundedShares) {
    SocketPair pair;
    std::atomic<bool> done = false;
    std::thread writer([&] {
        const std::string burst(65536, 's');
        while (!done && send(pair.client.get(), burst.data(), burst.size(), MSG_NOSIGNAL) > 0) {
        }
    });
    std::string line;
    size_t scanned = 0;
    for (int call = 0; call < 8; ++call) {
        pollfd readable = {pair.server.get(), POLLIN, 0};
        ASSERT_EQ(poll(&readable, 1, -1), 1);
        const size_t before = line.size();
        auto complete = read_available(pair.server.get(), line, scanned);
        ASSERT_TRUE(complete);
        EXPECT_FALSE(*complete);
        EXPECT_LE(line.size() - before, size_t{16} * 8192);
    }
    done = true;
    pair.server.reset();  // unblocks the writer
    writer.join();
}

}  // namespace
}  // namespace quorin

namespace quorin {
namespace {

// Past its first 64 KiB a line is read into room reserved for the longest request;
// it still ends at its line feed.
TEST(RequestRead, ALongLineEndsAtItsLineFeed) {
    SocketPair pair;
    const std::string first = "mihomo-up " + std::string(300000, 'A') + " 512MiB\n";
    std::thread writer([&] { (void)write_all(pair.client.get(), first + "second line\n"); });
    Request request;
    auto read = read_line(pair, request);
    writer.join();
    ASSERT_TRUE(read);
    EXPECT_EQ(request.line, first);
    ASSERT_EQ(request.words.size(), 3u);
    EXPECT_EQ(request.words[1].size(), 300000u);
}

}  // namespace
}  // namespace quorin
