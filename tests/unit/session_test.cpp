#include "privileged/session.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "eventually.hpp"

namespace quorin {
namespace {

Child spawn_shell(const std::string& script) {
    auto child = Child::spawn({.program = "/bin/sh", .args = {"-c", script}});
    EXPECT_TRUE(child) << child.error().message();
    return std::move(*child);
}

ClientProcess client_of(pid_t pid) {
    return ClientProcess{.pid = pid, .uid = 0, .handle = UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)))};
}

std::string temp_path(const char* name) {
    return (std::filesystem::temp_directory_path() / (std::string(name) + "." + std::to_string(getpid()))).string();
}

TEST(OwnerTest, OnlyTheLiveOwnerOrAnyoneAfterItsEndMayChangeTheSession) {
    SessionSlot slot;
    EXPECT_TRUE(check_owner(slot, 1234));  // empty slot
    store_session(slot, "qtun0", spawn_shell("exec sleep 30"));
    EXPECT_TRUE(check_owner(slot, 1234));  // a session without owner

    Child owner = spawn_shell("exec sleep 30");
    ClientProcess client = client_of(owner.pid());
    auto handle = open_owner_handle(client);
    ASSERT_TRUE(handle);
    record_owner(slot, std::move(*handle), owner.pid());
    EXPECT_TRUE(check_owner(slot, owner.pid()));
    auto refused = check_owner(slot, owner.pid() + 1);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "VPN уже запущен в другом процессе Quorin. Отключите его в том окне");

    ASSERT_TRUE(owner.kill(SIGKILL));
    ASSERT_TRUE(owner.wait());
    EXPECT_TRUE(check_owner(slot, owner.pid() + 1));  // the owner has ended
    stop_session(slot);
    EXPECT_FALSE(slot.session.has_value());
}

// The handle is taken when the client connects; a client that has ended by the time it
// would become the owner, or that no handle could be had for, owns nothing.
TEST(OwnerTest, NoHandleForAProcessThatIsGone) {
    Child gone = spawn_shell("exec sleep 30");
    ClientProcess ended = client_of(gone.pid());
    ASSERT_TRUE(ended.handle);
    ASSERT_TRUE(gone.kill(SIGKILL));
    ASSERT_TRUE(gone.wait());
    ClientProcess without_handle{.pid = getpid()};
    for (ClientProcess* client : {&ended, &without_handle}) {
        auto handle = open_owner_handle(*client);
        ASSERT_FALSE(handle);
        EXPECT_EQ(handle.error().message(), "Не удалось определить владельца VPN");
    }
}

TEST(StopSession, ACoreThatEndsOnSigtermIsNotKilled) {
    // The core winds down only once the test has seen it alive after its SIGTERM; a
    // SIGKILL close behind the SIGTERM would cut it off before it leaves its mark.
    const std::string ready = temp_path("quorin-trap-set");
    const std::string terminated = temp_path("quorin-got-term");
    const std::string release = temp_path("quorin-release");
    const std::string mark = temp_path("quorin-clean-exit");
    for (const auto& path : {ready, terminated, release, mark}) std::filesystem::remove(path);
    SessionSlot slot;
    store_session(
        slot, "qtun0",
        spawn_shell("trap ': > " + terminated + "; while [ ! -e " + release + " ]; do sleep 0.01; done; : > " + mark +
                    "; exit 0' TERM; : > " + ready + "; while :; do sleep 0.01; done"));
    pid_t core = slot.session->child.pid();
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(ready); }));  // the trap is in place
    std::thread stopping([&] { stop_session(slot); });
    const bool got_term = eventually([&] { return std::filesystem::exists(terminated); });
    const bool alive_after_term = kill(core, 0) == 0;
    { std::ofstream(release).put('\n'); }
    stopping.join();
    EXPECT_TRUE(got_term);
    EXPECT_TRUE(alive_after_term);
    EXPECT_FALSE(slot.session.has_value());
    EXPECT_TRUE(std::filesystem::exists(mark));
    EXPECT_NE(kill(core, 0), 0);  // reaped, not a zombie
    for (const auto& path : {ready, terminated, release, mark}) std::filesystem::remove(path);
}

TEST(StopSession, ACoreIgnoringSigtermIsKilledAndReaped) {
    SessionSlot slot;
    const std::string ready = temp_path("quorin-term-ignored");
    std::filesystem::remove(ready);
    store_session(slot, "qtun0", spawn_shell("trap '' TERM; : > " + ready + "; while :; do sleep 0.05; done"));
    pid_t core = slot.session->child.pid();
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(ready); }));
    std::filesystem::remove(ready);
    stop_session(slot);
    EXPECT_FALSE(slot.session.has_value());
    EXPECT_NE(kill(core, 0), 0);
    stop_session(slot);  // nothing left to stop
}

TEST(TunStatus, NoneOnceTheCoreHasEndedButTheRecordStays) {
    SessionSlot slot;
    EXPECT_EQ(tun_status(slot).value(), std::nullopt);
    store_session(slot, "lo", spawn_shell("exec sleep 30"));
    EXPECT_EQ(tun_status(slot).value(), std::optional<std::string>("lo"));
    ASSERT_TRUE(slot.session->child.kill(SIGKILL));
    ASSERT_TRUE(eventually([&] { return slot.session->child.try_wait().value().has_value(); }));
    EXPECT_EQ(tun_status(slot).value(), std::nullopt);
    EXPECT_TRUE(slot.session.has_value());
    stop_session(slot);
}

}  // namespace
}  // namespace quorin
