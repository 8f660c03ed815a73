#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "common/files.hpp"
#include "common/log.hpp"
#include "eventually.hpp"
#include "singbox/launch.hpp"

namespace quorin {
namespace {

struct Forwarded {
    std::string journal;
    bool started = false;
};

// Feeds `input` through a real pipe, as sing-box's standard error would arrive, and
// collects what reaches the sink.
Forwarded forward(const std::string& input) {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    UniqueFd read_end(ends[0]);
    UniqueFd write_end(ends[1]);
    UniqueFd sink(memfd_create("journal", MFD_CLOEXEC));
    EXPECT_TRUE(sink.valid());

    std::thread writer([&] {
        (void)write_all(write_end.get(), input);
        write_end.reset();
    });
    auto started = std::make_shared<std::atomic<bool>>(false);
    forward_singbox_log(started, std::move(read_end), sink.get());
    writer.join();

    Forwarded result{.journal = {}, .started = started->load()};
    auto text = read_file("/proc/self/fd/" + std::to_string(sink.get()));
    EXPECT_TRUE(text.has_value());
    if (text) result.journal = *text;
    return result;
}

TEST(SingboxLog, RecognisesOnlyTheRealStartLine) {
    const std::string start = "+0000 2024-05-01 10:00:00 INFO sing-box started (1.2s)  ";
    EXPECT_TRUE(forward(start + "\n").started);
    EXPECT_TRUE(forward(start + "\r\n").started);
    EXPECT_TRUE(forward(start).started);                         // last line without a line feed
    EXPECT_FALSE(forward("sing-box started (1.2s)\n").started);  // the marker begins with a blank
    EXPECT_FALSE(forward("+0000 INFO sing-box started (ok)\n").started);
    EXPECT_FALSE(forward("+0000 INFO sing-box started (1.2s) again\n").started);
    EXPECT_EQ(forward(start + "\n").journal, start + "\n");
}

TEST(SingboxLog, DropsInfoRecordsOnlyAfterTheStartLine) {
    Forwarded result = forward(
        "INFO[0000] loading\n"
        "+0000 INFO router: updated\n"
        "+0000 INFO sing-box started (0.5s)\n"
        "+0000 INFO [123] inbound/tun[tun-in]: connection\n"
        "INFO[0001] late\n"
        "+0000 WARN dns: slow\n"
        "+0000 ERROR outbound/socks[proxy]: refused\n"
        "INFORMATION about INFO\n"
        "+0000 INFO last without line feed");
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.journal,
              "INFO[0000] loading\n"
              "+0000 INFO router: updated\n"
              "+0000 INFO sing-box started (0.5s)\n"
              "+0000 WARN dns: slow\n"
              "+0000 ERROR outbound/socks[proxy]: refused\n"
              "INFORMATION about INFO\n");
}

TEST(SingboxLog, ForwardsRawBytesAndBlankLines) {
    const std::string input = std::string("bad \xff\xfe\xc0 bytes\n\n\xe2\x82 tail");
    Forwarded result = forward(input);
    EXPECT_EQ(result.journal, input + "\n");
    EXPECT_FALSE(result.started);
    EXPECT_TRUE(forward("x \xff sing-box started (3s)\n").started);  // decoded text is what counts
}

TEST(SingboxLog, HandlesLinesLongerThanTheReadBuffer) {
    const std::string long_line = std::string(20000, 'a') + " sing-box started (2.5s)";
    const std::string long_info = "+0000 INFO " + std::string(9000, 'b');
    Forwarded result = forward(long_line + "\n" + long_info + "\nshort\n");
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.journal, long_line + "\nshort\n");
}

// The log thread runs beside the serving thread, which polls the flag and writes its own
// lines to the same journal under the standard-error lock. No forwarded line may be
// cut by the other writer. (Under the tsan preset this is also the data-race check.)
TEST(SingboxLog, LogThreadSharesOnlyTheFlagAndTheLockWithTheServingThread) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    UniqueFd read_end(ends[0]);
    UniqueFd write_end(ends[1]);
    UniqueFd sink(memfd_create("journal", MFD_CLOEXEC));
    ASSERT_TRUE(sink.valid());
    auto started = std::make_shared<std::atomic<bool>>(false);
    const int sink_fd = sink.get();
    std::thread log_thread(forward_singbox_log, started, std::move(read_end), sink_fd);

    const std::string core_line = "+0000 WARN " + std::string(3000, 'w');
    ASSERT_TRUE(write_all(write_end.get(), "+0000 INFO sing-box started (0.1s)\n"));
    if (!eventually([&] { return started->load(); })) {
        write_end.reset();
        log_thread.join();
        FAIL() << "the start line was not recognised";
    }
    const std::string own_line = "Quorin helper: " + std::string(3000, 'q') + "\n";
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(write_all(write_end.get(), core_line + "\n"));
        std::lock_guard guard(stderr_lock());
        ASSERT_TRUE(write_all(sink_fd, own_line));
    }
    write_end.reset();
    log_thread.join();

    auto journal = read_file("/proc/self/fd/" + std::to_string(sink_fd));
    ASSERT_TRUE(journal.has_value());
    size_t intact_core_lines = 0;
    for (size_t at = journal->find(core_line); at != std::string::npos; at = journal->find(core_line, at + 1))
        ++intact_core_lines;
    EXPECT_EQ(intact_core_lines, 50u);
    EXPECT_EQ(journal->size(), std::string("+0000 INFO sing-box started (0.1s)\n").size() +
                                   50 * (core_line.size() + 1 + own_line.size()));
}

}  // namespace
}  // namespace quorin
