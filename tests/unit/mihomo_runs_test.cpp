#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "common/files.hpp"
#include "host/core_start.hpp"
#include "mihomo/launch.hpp"

namespace quorin {
namespace {

namespace fs = std::filesystem;

// A stand-in Mihomo: a shell script given as the body, run from a temporary layout.
class MihomoRuns : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = join_path(testing::TempDir(), "quorin-mihomo-XXXXXX");
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        layout = {.working_dir = root + "/work",
                  .config_file = root + "/mihomo.json",
                  .check_limit = std::chrono::milliseconds(60000)};
        fs::create_directory(layout.working_dir);
    }
    void TearDown() override { fs::remove_all(root); }

    std::string core(const std::string& body) {
        std::string path = root + "/mihomo";
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        chmod(path.c_str(), 0755);
        return path;
    }
    std::string check_error(const std::string& body) {
        auto checked = run_mihomo_check(core(body), layout);
        return checked ? "<accepted>" : checked.error().message();
    }

    std::string root;
    MihomoLayout layout;
};

constexpr const char* RECORD = R"(echo "$*|$(pwd)|${GOMEMLIMIT-none}" > "$(dirname "$0")/run$1")";

TEST_F(MihomoRuns, TestAndRealRunsGetTheirArgumentsAndOnlyTheRealRunTheMemoryLimit) {
    ASSERT_TRUE(run_mihomo_check(core(RECORD), layout));
    auto real = start_mihomo(core(RECORD), layout, "512MiB");
    ASSERT_TRUE(real);
    EXPECT_TRUE(real->wait()->success());
    std::string work = layout.working_dir, config = layout.config_file;
    EXPECT_EQ(read_file(root + "/run-t").value(), "-t -d " + work + " -f " + config + "|" + work + "|none\n");
    EXPECT_EQ(read_file(root + "/run-d").value(), "-d " + work + " -f " + config + "|" + work + "|512MiB\n");
}

TEST_F(MihomoRuns, RejectionCarriesTheCoresDetail) {
    EXPECT_EQ(check_error("echo 'time=x level=fatal msg=bad proxy'; echo >&2; exit 1"),
              "Mihomo отклонил конфигурацию: time=x level=fatal msg=bad proxy");
    EXPECT_EQ(check_error("echo first >&2; echo second >&2; exit 2"), "Mihomo отклонил конфигурацию: first");
    EXPECT_EQ(check_error("kill -9 $$"), "Mihomo отклонил конфигурацию: ядро не сообщило подробности ошибки");
    EXPECT_EQ(check_error("echo level=error; exit 0"), "<accepted>");
}

TEST_F(MihomoRuns, FailuresToRunAreNotRejections) {
    auto missing = run_mihomo_check(root + "/absent", layout);
    EXPECT_EQ(missing.error().message(), "не удалось проверить конфигурацию Mihomo");
    EXPECT_EQ(start_mihomo(root + "/absent", layout, std::nullopt).error().message(), "не удалось запустить Mihomo");
}

// Also a test run that closes its streams and keeps running: it would otherwise hold the
// serving thread for good.
TEST_F(MihomoRuns, HangingTestRunIsKilledAndReapedAtTheBound) {
    layout.check_limit = std::chrono::milliseconds(100);
    for (const char* body : {"exec sleep 1000", "exec sleep 1000 >&- 2>&-"}) {
        auto checked = run_mihomo_check(core(body), layout);
        ASSERT_FALSE(checked) << body;
        EXPECT_EQ(checked.error().message(), "не удалось проверить конфигурацию Mihomo");
        EXPECT_EQ(checked.error().cause()->message(), "Connection timed out (os error 110)");
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << body;  // no child left, not even a zombie
        EXPECT_EQ(errno, ECHILD);
    }
}

}  // namespace
}  // namespace quorin

namespace quorin {
namespace {

TEST(CoreAccount, OnlyAnAccountOfTheCoresAloneIsSound) {
    const CoreAccountFacts sound{.uid = 990, .gid = 990, .shell = "/usr/sbin/nologin", .group_name = "quorin-core"};
    EXPECT_EQ(core_account_problem(sound), std::nullopt);
    struct Row {
        void (*change)(CoreAccountFacts&);
        const char* problem;
    } rows[] = {
        {[](CoreAccountFacts& f) { f.gid = 0; }, "uid или gid равен 0"},
        {[](CoreAccountFacts& f) { f.uid = 1000; }, "uid 1000 или gid 990 не системный (больше 999)"},
        {[](CoreAccountFacts& f) { f.group_name = "users"; }, "его основная группа не quorin-core"},
        {[](CoreAccountFacts& f) {
             f.group_members = {"alice", "bob"};
         },
         "в его группе есть участники: alice, bob"},
        {[](CoreAccountFacts& f) { f.sharers = {"alice"}; }, "его uid или группу делят с ним: alice"},
        {[](CoreAccountFacts& f) { f.shell = "/bin/bash"; }, "у него оболочка входа /bin/bash"},
        {[](CoreAccountFacts& f) { f.shell = ""; }, "у него оболочка входа /bin/sh"},
    };
    for (const Row& row : rows) {
        CoreAccountFacts facts = sound;
        row.change(facts);
        EXPECT_EQ(core_account_problem(facts), std::optional<std::string>(row.problem));
    }
}

}  // namespace
}  // namespace quorin
