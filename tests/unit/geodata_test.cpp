#include "mihomo/geodata.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "common/files.hpp"

namespace quorin {
namespace {

namespace fs = std::filesystem;

// An Xray core directory and a working directory under a fresh temporary root.
class Geodata : public ::testing::Test {
protected:
    void SetUp() override { make_root(testing::TempDir()); }
    void TearDown() override {
        for (const auto& made : roots) fs::remove_all(made);
    }

    void make_root(const std::string& parent) {
        std::string pattern = join_path(parent, "quorin-geodata-XXXXXX");
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        roots.push_back(root);
        xray = root + "/xray";
        work = root + "/work";
        fs::create_directories(xray);
        fs::create_directories(work);
    }
    static void write(const std::string& path, const std::string& content) { std::ofstream(path) << content; }
    std::string error() { return prepare_geodata(xray, work, getuid(), getgid()).error().message(); }
    // Every failure must take its temporary file with it.
    bool leftovers() const {
        for (const auto& entry : fs::directory_iterator(work))
            if (entry.path().filename().string().starts_with(".quorin-")) return true;
        return false;
    }

    std::vector<std::string> roots;
    std::string root, xray, work;
};

std::string content_of(const std::string& path) { return read_file(path).value_or("<unreadable>"); }
mode_t mode_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(Geodata, CopiesBothFilesReplacingOldOnesWithMode0600) {
    write(xray + "/geoip.dat", "ip-data");
    write(xray + "/geosite.dat", "site-data");
    write(work + "/GeoIP.dat", "old content");
    chmod((work + "/GeoIP.dat").c_str(), 0644);
    ASSERT_TRUE(prepare_geodata(xray, work, getuid(), getgid()));
    EXPECT_EQ(content_of(work + "/GeoIP.dat"), "ip-data");
    EXPECT_EQ(content_of(work + "/GeoSite.dat"), "site-data");
    EXPECT_EQ(mode_of(work + "/GeoIP.dat"), 0600u);
    EXPECT_EQ(mode_of(work + "/GeoSite.dat"), 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(work), fs::directory_iterator()), 2);
}

TEST_F(Geodata, FollowsSymlinkedSource) {
    write(root + "/real", "linked");
    fs::create_symlink(root + "/real", xray + "/geoip.dat");
    write(xray + "/geosite.dat", "s");
    ASSERT_TRUE(prepare_geodata(xray, work, getuid(), getgid()));
    EXPECT_EQ(content_of(work + "/GeoIP.dat"), "linked");
}

TEST_F(Geodata, RefusesMissingEmptyAndNonRegularSources) {
    auto missing = prepare_geodata(xray, work, getuid(), getgid());
    EXPECT_EQ(missing.error().message(), "нет встроенного geoip.dat");
    EXPECT_EQ(missing.error().cause()->message(), "No such file or directory (os error 2)");
    write(xray + "/geoip.dat", "");
    EXPECT_EQ(error(), "некорректный встроенный geoip.dat");
    fs::remove(xray + "/geoip.dat");
    fs::create_directory(xray + "/geoip.dat");
    EXPECT_EQ(error(), "некорректный встроенный geoip.dat");
    EXPECT_FALSE(leftovers());
}

TEST_F(Geodata, SecondFailureComesAfterFirstFileWasReplaced) {
    write(xray + "/geoip.dat", "new");
    write(work + "/GeoIP.dat", "old");
    EXPECT_EQ(error(), "нет встроенного geosite.dat");
    EXPECT_EQ(content_of(work + "/GeoIP.dat"), "new");
    EXPECT_FALSE(leftovers());
}

TEST_F(Geodata, RemovesTemporaryFileWhenTheCopyCannotBeFinished) {
    write(xray + "/geoip.dat", "x");
    // A directory at the name is removed first, unless it is deeper than the removal goes:
    // then the rename cannot replace it.
    fs::create_directories(work + "/GeoIP.dat/occupied");
    write(xray + "/geosite.dat", "y");
    ASSERT_TRUE(prepare_geodata(xray, work, getuid(), getgid()));
    EXPECT_EQ(content_of(work + "/GeoIP.dat"), "x");
    std::string deep = work + "/GeoIP.dat";
    for (int level = 0; level < 70; ++level) deep += "/d";
    fs::remove(work + "/GeoIP.dat");
    fs::create_directories(deep);
    EXPECT_EQ(error(), "не удалось подготовить geoip.dat для Mihomo");
    EXPECT_FALSE(leftovers());
    EXPECT_EQ(prepare_geodata(xray, root + "/absent", getuid(), getgid()).error().message(),
              "не удалось подготовить geoip.dat для Mihomo");
}

// Sparse sources keep the 256 MiB boundary cheap; tmpfs keeps the copy off the disk.
TEST_F(Geodata, AcceptsExactly256MiB) {
    if (fs::is_directory("/dev/shm")) make_root("/dev/shm");
    write(xray + "/geosite.dat", "s");
    write(xray + "/geoip.dat", "");
    fs::resize_file(xray + "/geoip.dat", GEODATA_MAX_BYTES + 1);
    EXPECT_EQ(error(), "некорректный встроенный geoip.dat");
    fs::resize_file(xray + "/geoip.dat", GEODATA_MAX_BYTES);
    ASSERT_TRUE(prepare_geodata(xray, work, getuid(), getgid()));
    EXPECT_EQ(fs::file_size(work + "/GeoIP.dat"), static_cast<uintmax_t>(GEODATA_MAX_BYTES));
}

// A source on another file system makes the in-kernel copy refuse; the plain loop
// must then carry every byte.
TEST_F(Geodata, CopiesAcrossFileSystems) {
    if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
    std::string disk_work = work;
    make_root("/dev/shm");
    std::string big(300000, 'g');
    write(xray + "/geoip.dat", big);
    write(xray + "/geosite.dat", "s");
    ASSERT_TRUE(prepare_geodata(xray, disk_work, getuid(), getgid()));
    EXPECT_EQ(content_of(disk_work + "/GeoIP.dat"), big);
}

}  // namespace
}  // namespace quorin
