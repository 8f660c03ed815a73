#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "common/files.hpp"
#include "privileged/protocol.hpp"

namespace quorin {
namespace {

using std::chrono::steady_clock;

struct SocketPair {
    UniqueFd client, server;
    SocketPair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        client.reset(fds[0]);
        server.reset(fds[1]);
    }
};

Result<void> read_line(SocketPair& pair, Request& request, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    return read_request(pair.server.get(), steady_clock::now() + limit, request);
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
    auto read = read_line(pair, request, std::chrono::seconds(60));
    pair.server.reset();  // unblocks the writer's surplus
    writer.join();
    ASSERT_TRUE(read);
    EXPECT_EQ(request.line.size(), MAX_REQUEST_BYTES);
    EXPECT_EQ(request.words.size(), 1u);
}

TEST(RequestRead, ASilentClientTimesOut) {
    SocketPair pair;
    ASSERT_TRUE(write_all(pair.client.get(), "stat"));
    Request request;
    auto read = read_line(pair, request, std::chrono::milliseconds(100));
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().message(), "Connection timed out (os error 110)");
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
        Reply reply = dispatch(words, getpid(), slot);
        EXPECT_FALSE(reply.ok);
        EXPECT_EQ(reply.error.value_or(""), "неподдерживаемый запрос") << words.size();
    }
}

TEST(Dispatch, DecodesTunUpArgumentsInOrder) {
    SessionSlot slot;
    // No process has this id, so no request here can reach a launch.
    constexpr pid_t ABSENT_CLIENT = 0x7ffffff0;
    auto error_for = [&](std::vector<std::string_view> words) {
        return dispatch(words, ABSENT_CLIENT, slot).error.value_or("<ok>");
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
    // A client that does not exist has no process handle.
    EXPECT_EQ(error_for({"tun-up", "tun0", "true", "01", "1500", "1080", "W10", "W10"}),
              "Не удалось определить владельца VPN");
}

// A start path that reports success without storing a session must not make the owner
// record write through an empty slot; the handle is closed instead of kept.
TEST(Session, RecordingAnOwnerWithoutSessionClosesTheHandle) {
    SessionSlot slot;
    auto handle = open_owner_handle(getpid());
    ASSERT_TRUE(handle);
    int number = handle->get();
    record_owner(slot, std::move(*handle), getpid());
    EXPECT_FALSE(slot.session.has_value());
    EXPECT_EQ(fcntl(number, F_GETFD), -1);
}

}  // namespace
}  // namespace quorin
