#include "host/catalogue.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/catalogue_internal.hpp"

namespace quorin {
namespace {

using catalogue_detail::core_versions_in;
using catalogue_detail::require_all_cores_in;
using catalogue_detail::resolve_mihomo_in;
using catalogue_detail::resolve_sing_box_in;
using catalogue_detail::resolve_xray_in;

constexpr const char* NO_XRAY = "в пакете Quorin отсутствует Xray";
constexpr const char* NO_SING_BOX = "в пакете Quorin отсутствует sing-box";
constexpr const char* NO_MIHOMO = "в пакете Quorin отсутствует Mihomo";
constexpr const char* TOO_LARGE = "файл данных слишком большой";

std::string error_of(const auto& result) { return result ? std::string("<ok>") : result.error().message(); }

// ---- CoreManifest::parse ----

constexpr const char* VALID = R"({"version":"v9","directory":"d1","installed_at":1700000000,"sha256":"abc"})";

TEST(ManifestParse, ReadsTheFourMembersInAnyOrderAndIgnoresOthers) {
    auto manifest = CoreManifest::parse(VALID);
    ASSERT_TRUE(manifest) << manifest.error().chain();
    EXPECT_EQ(manifest->version, "v9");
    EXPECT_EQ(manifest->directory, "d1");
    EXPECT_EQ(manifest->installed_at, 1700000000);
    EXPECT_EQ(manifest->sha256, "abc");

    auto reordered = CoreManifest::parse(
        R"({"sha256":"", "extra":{"version":1,"version":2}, "installed_at":-5, "extra":[1,{"a":null}],
            "directory":"../x", "version":"V", "Version":7})");
    ASSERT_TRUE(reordered) << reordered.error().chain();
    EXPECT_EQ(reordered->version, "V");
    EXPECT_EQ(reordered->directory, "../x");
    EXPECT_EQ(reordered->installed_at, -5);
    EXPECT_EQ(reordered->sha256, "");
}

TEST(ManifestParse, AcceptsWhiteSpaceAroundButNothingAfter) {
    EXPECT_TRUE(CoreManifest::parse(std::string(" \t\r\n") + VALID + "\n\t \r"));
    for (const std::string& after : std::vector<std::string>{"x", "{}", "1", ",", "\f", "\v", "\xC2\xA0",
                                                             std::string(1, '\0'), std::string("\0x", 2)})
        EXPECT_FALSE(CoreManifest::parse(VALID + after)) << after;
    EXPECT_FALSE(CoreManifest::parse(std::string("\f") + VALID));
    EXPECT_FALSE(CoreManifest::parse(std::string("\xEF\xBB\xBF") + VALID));
    EXPECT_FALSE(CoreManifest::parse(""));
    EXPECT_FALSE(CoreManifest::parse("   "));
    // The library's text reaches the user without its "[json.exception.…]" prefix.
    EXPECT_EQ(error_of(CoreManifest::parse("x")),
              "parse error at line 1, column 1: syntax error while parsing value - invalid literal; last read: 'x'");
}

TEST(ManifestParse, RefusesAMissingMemberNamingTheKey) {
    EXPECT_EQ(error_of(CoreManifest::parse(R"({"version":"v","directory":"d","installed_at":1})")),
              "key 'sha256' not found");
    EXPECT_EQ(error_of(CoreManifest::parse(R"({"directory":"d","installed_at":1,"sha256":"s"})")),
              "key 'version' not found");
    EXPECT_EQ(error_of(CoreManifest::parse(R"({"version":"v","sha256":"s","installed_at":1})")),
              "key 'directory' not found");
    EXPECT_EQ(error_of(CoreManifest::parse(R"({"version":"v","directory":"d","sha256":"s"})")),
              "key 'installed_at' not found");
    EXPECT_EQ(error_of(CoreManifest::parse("{}")), "key 'version' not found");
    // A member nested deeper does not count.
    EXPECT_EQ(error_of(CoreManifest::parse(R"({"version":"v","directory":"d","installed_at":1,"x":{"sha256":"s"}})")),
              "key 'sha256' not found");
}

TEST(ManifestParse, RefusesARepeatedMemberNamingTheKey) {
    EXPECT_EQ(
        error_of(CoreManifest::parse(R"({"version":"a","version":"a","directory":"d","installed_at":1,"sha256":"s"})")),
        "duplicate key 'version'");
    EXPECT_EQ(error_of(CoreManifest::parse(
                  R"({"version":"a","directory":"d","installed_at":1,"sha256":"s","installed_at":2})")),
              "duplicate key 'installed_at'");
    EXPECT_EQ(
        error_of(CoreManifest::parse(R"({"sha256":"s","version":"a","directory":"d","installed_at":1,"sha256":"s"})")),
        "duplicate key 'sha256'");
    EXPECT_EQ(error_of(CoreManifest::parse(
                  R"({"directory":"d","version":"a","directory":[],"installed_at":1,"sha256":"s"})")),
              "duplicate key 'directory'");
}

TEST(ManifestParse, RefusesAStringMemberOfAnotherTypeWithTheLibraryMessage) {
    EXPECT_EQ(error_of(CoreManifest::parse(R"({"version":1,"directory":"d","installed_at":1,"sha256":"s"})")),
              "type must be string, but is number");
    EXPECT_EQ(error_of(CoreManifest::parse(R"({"version":"v","directory":null,"installed_at":1,"sha256":"s"})")),
              "type must be string, but is null");
    EXPECT_EQ(error_of(CoreManifest::parse(R"({"version":"v","directory":"d","installed_at":1,"sha256":["s"]})")),
              "type must be string, but is array");
    EXPECT_EQ(error_of(CoreManifest::parse(R"({"version":"v","directory":{},"installed_at":1,"sha256":"s"})")),
              "type must be string, but is object");
    EXPECT_EQ(error_of(CoreManifest::parse(R"({"version":true,"directory":"d","installed_at":1,"sha256":"s"})")),
              "type must be string, but is boolean");
}

std::string with_installed_at(std::string_view number) {
    return R"({"version":"v","directory":"d","sha256":"s","installed_at":)" + std::string(number) + "}";
}

TEST(ManifestParse, InstalledAtIsAnIntegerWithinSigned64Bits) {
    EXPECT_EQ(CoreManifest::parse(with_installed_at("9223372036854775807"))->installed_at, INT64_MAX);
    EXPECT_EQ(CoreManifest::parse(with_installed_at("-9223372036854775808"))->installed_at, INT64_MIN);
    EXPECT_EQ(CoreManifest::parse(with_installed_at("0"))->installed_at, 0);
    EXPECT_EQ(CoreManifest::parse(with_installed_at("-0"))->installed_at, 0);
    for (std::string_view bad : {"1.5", "1.0", "1e3", "1E3", "0e0", "-1.0e2", "9223372036854775808",
                                 "18446744073709551615", "18446744073709551616", "-9223372036854775809"}) {
        auto result = CoreManifest::parse(with_installed_at(bad));
        ASSERT_FALSE(result) << bad;
        EXPECT_NE(result.error().message().find("installed_at"), std::string::npos) << result.error().message();
    }
    EXPECT_EQ(error_of(CoreManifest::parse(with_installed_at(R"("5")"))), "type must be number, but is string");
    EXPECT_EQ(error_of(CoreManifest::parse(with_installed_at("null"))), "type must be number, but is null");
    EXPECT_EQ(error_of(CoreManifest::parse(with_installed_at("true"))), "type must be number, but is boolean");
    for (std::string_view bad : {"01", "+1", "0x10", "NaN", "Infinity", "1."})
        EXPECT_FALSE(CoreManifest::parse(with_installed_at(bad))) << bad;
}

TEST(ManifestParse, ReportsTheFirstProblemInDocumentOrder) {
    // A wrongly typed member before a repetition: the type error.
    EXPECT_EQ(
        error_of(CoreManifest::parse(R"({"version":1,"version":"v","directory":"d","installed_at":1,"sha256":"s"})")),
        "type must be string, but is number");
    // A repetition before a wrongly typed member: the repetition.
    EXPECT_EQ(
        error_of(CoreManifest::parse(R"({"version":"v","version":"v","directory":1,"installed_at":1,"sha256":"s"})")),
        "duplicate key 'version'");
    // A wrongly typed member beats a missing one.
    EXPECT_EQ(error_of(CoreManifest::parse(R"({"directory":1})")), "type must be string, but is number");
}

TEST(ManifestParse, AcceptsTheFourElementArrayForm) {
    auto manifest = CoreManifest::parse(R"( ["v2", "rel", 42, "digest"] )");
    ASSERT_TRUE(manifest) << manifest.error().chain();
    EXPECT_EQ(manifest->version, "v2");
    EXPECT_EQ(manifest->directory, "rel");
    EXPECT_EQ(manifest->installed_at, 42);
    EXPECT_EQ(manifest->sha256, "digest");

    EXPECT_EQ(error_of(CoreManifest::parse(R"(["v","d",1])")), "array index 3 is out of range");
    EXPECT_EQ(error_of(CoreManifest::parse("[]")), "array index 0 is out of range");
    EXPECT_FALSE(CoreManifest::parse(R"(["v","d",1,"s","extra"])"));
    EXPECT_EQ(error_of(CoreManifest::parse(R"(["v","d","1","s"])")), "type must be number, but is string");
    EXPECT_EQ(error_of(CoreManifest::parse(R"(["v",1,1,"s"])")), "type must be string, but is number");
    EXPECT_FALSE(CoreManifest::parse(R"(["v","d",1.5,"s"])"));
    // The object's order, not another.
    EXPECT_FALSE(CoreManifest::parse(R"(["v","d","s",1])"));
}

TEST(ManifestParse, RefusesOtherValuesAndBrokenJson) {
    EXPECT_EQ(error_of(CoreManifest::parse(R"("text")")), "cannot use at() with string");
    EXPECT_EQ(error_of(CoreManifest::parse("null")), "cannot use at() with null");
    EXPECT_EQ(error_of(CoreManifest::parse("12")), "cannot use at() with number");
    for (std::string_view bad : {"{", R"({"version":"v",})", R"({'version':'v'})", "{\"version\":\"\xFF\"}"})
        EXPECT_FALSE(CoreManifest::parse(bad)) << bad;
}

TEST(ManifestParse, AllowsDeepNestingInIgnoredMembers) {
    std::string deep = std::string(100, '[') + std::string(100, ']');
    auto manifest =
        CoreManifest::parse(R"({"x":)" + deep + R"(,"version":"v","directory":"d","installed_at":1,"sha256":"s"})");
    EXPECT_TRUE(manifest) << manifest.error().chain();
}

// ---- Files and directories ----

class TempTree : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorin-catalogue-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        builtin_ = root_ + "/cores";
        dirs_.state_dir = root_ + "/state";
        dirs_.cache_dir = root_ + "/cache";
        dirs_.run_dir = root_ + "/run";
        std::filesystem::create_directories(builtin_);
        std::filesystem::create_directories(dirs_.state_dir);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    // Writes a file, creating its directories.
    static void write(const std::string& path, std::string_view content = "#!/bin/true\n") {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    void builtin_xray() {
        for (const char* file : {"xray", "geoip.dat", "geosite.dat"}) write(builtin_ + "/xray/" + file);
    }
    void builtin_sing_box() { write(builtin_ + "/sing-box/sing-box"); }
    void builtin_mihomo() { write(builtin_ + "/mihomo/mihomo"); }
    // A managed copy with a manifest naming release `directory` and version `version`.
    void managed(const std::string& home, std::string_view version, std::string_view directory,
                 std::string_view executable) {
        write(dirs_.state_dir + "/" + home + "/active.json",
              R"({"version":")" + std::string(version) + R"(","directory":")" + std::string(directory) +
                  R"(","installed_at":1700000000,"sha256":"ignored","note":"extra"})");
        write(dirs_.state_dir + "/" + home + "/releases/" + std::string(directory) + "/" + std::string(executable));
    }

    std::string root_;
    std::string builtin_;
    HelperDirs dirs_;
};

using ManifestFile = TempTree;

TEST_F(ManifestFile, ExactlySixteenMebibytesIsParsedOneMoreByteIsTooLarge) {
    std::string content = VALID;
    content.resize(16777216, ' ');
    write(root_ + "/exact.json", content);
    auto exact = read_json_data_file<CoreManifest>(root_ + "/exact.json");
    ASSERT_TRUE(exact) << exact.error().chain();
    EXPECT_EQ(exact->version, "v9");

    content.push_back(' ');
    write(root_ + "/over.json", content);
    EXPECT_EQ(error_of(read_json_data_file<CoreManifest>(root_ + "/over.json")), TOO_LARGE);
    // The size is tested before the content is parsed.
    write(root_ + "/junk.json", std::string(16777217, 'x'));
    EXPECT_EQ(error_of(read_json_data_file<CoreManifest>(root_ + "/junk.json")), TOO_LARGE);
}

TEST_F(ManifestFile, ReadFailuresCarryTheOperatingSystemText) {
    EXPECT_EQ(error_of(read_json_data_file<CoreManifest>(root_ + "/missing.json")),
              "No such file or directory (os error 2)");
    EXPECT_EQ(error_of(read_json_data_file<CoreManifest>(root_)), "Is a directory (os error 21)");
}

TEST_F(ManifestFile, AbsentWhenItCannotBeExamined) {
    auto missing = read_core_manifest(root_ + "/nowhere");
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->has_value());
    // A component that is not a directory.
    write(root_ + "/plain");
    auto not_dir = read_core_manifest(root_ + "/plain");
    ASSERT_TRUE(not_dir);
    EXPECT_FALSE(not_dir->has_value());
    // A dangling symbolic link.
    std::filesystem::create_directories(root_ + "/dangling");
    ASSERT_EQ(symlink((root_ + "/gone.json").c_str(), (root_ + "/dangling/active.json").c_str()), 0);
    auto dangling = read_core_manifest(root_ + "/dangling");
    ASSERT_TRUE(dangling);
    EXPECT_FALSE(dangling->has_value());
}

TEST_F(ManifestFile, PresentOrFailedWhenItCanBeExamined) {
    write(root_ + "/good/active.json", VALID);
    auto good = read_core_manifest(root_ + "/good");
    ASSERT_TRUE(good) << good.error().chain();
    ASSERT_TRUE(good->has_value());
    EXPECT_EQ((*good)->directory, "d1");
    // Through a symbolic link.
    std::filesystem::create_directories(root_ + "/linked");
    ASSERT_EQ(symlink((root_ + "/good/active.json").c_str(), (root_ + "/linked/active.json").c_str()), 0);
    auto linked = read_core_manifest(root_ + "/linked");
    ASSERT_TRUE(linked && linked->has_value());
    // A directory in its place can be examined but not read.
    std::filesystem::create_directories(root_ + "/dir/active.json");
    EXPECT_EQ(error_of(read_core_manifest(root_ + "/dir")), "Is a directory (os error 21)");
    // Invalid content fails with the library's message.
    write(root_ + "/bad/active.json", R"({"version":"v","directory":"d","installed_at":1.5,"sha256":"s"})");
    EXPECT_NE(error_of(read_core_manifest(root_ + "/bad")).find("installed_at"), std::string::npos);
    write(root_ + "/short/active.json", R"({"version":"v","directory":"d","installed_at":1})");
    EXPECT_EQ(error_of(read_core_manifest(root_ + "/short")), "key 'sha256' not found");
    write(root_ + "/empty/active.json", "");
    EXPECT_FALSE(read_core_manifest(root_ + "/empty"));
}

// ---- Resolving the cores ----

struct CoreResolution : TempTree {
    // The full resolution's error, or "<ok>"; the version-only look must agree with it.
    std::string all_cores() {
        auto full = require_all_cores_in(builtin_, dirs_);
        auto versions = core_versions_in(builtin_, dirs_);
        EXPECT_EQ(error_of(versions), error_of(full));
        if (full && versions) {
            EXPECT_EQ(versions->xray + versions->sing_box + versions->mihomo,
                      full->xray.version + full->sing_box.version + full->mihomo.version);
        }
        return error_of(full);
    }
};

TEST_F(CoreResolution, BuiltInXrayNeedsItsGeoData) {
    builtin_xray();
    auto xray = resolve_xray_in(builtin_, dirs_);
    ASSERT_TRUE(xray && xray->has_value());
    EXPECT_EQ((*xray)->version, "v26.10.21");
    EXPECT_EQ((*xray)->executable, builtin_ + "/xray/xray");
    EXPECT_EQ((*xray)->core_dir, builtin_ + "/xray");

    std::filesystem::remove(builtin_ + "/xray/geosite.dat");
    auto incomplete = resolve_xray_in(builtin_, dirs_);
    ASSERT_TRUE(incomplete);
    EXPECT_FALSE(incomplete->has_value());
    EXPECT_EQ(all_cores(), NO_XRAY);
}

TEST_F(CoreResolution, ManagedXrayLivesUnderCoreAndNeedsNoGeoData) {
    managed("core", "v30.1.1", "x-2024", "xray");
    auto xray = resolve_xray_in(builtin_, dirs_);
    ASSERT_TRUE(xray && xray->has_value());
    EXPECT_EQ((*xray)->version, "v30.1.1");
    EXPECT_EQ((*xray)->executable, dirs_.state_dir + "/core/releases/x-2024/xray");
    EXPECT_EQ((*xray)->core_dir, dirs_.state_dir + "/core/releases/x-2024");
    // Incomplete built-in copy: the managed one.
    write(builtin_ + "/xray/xray");
    write(builtin_ + "/xray/geoip.dat");
    EXPECT_EQ((*resolve_xray_in(builtin_, dirs_))->version, "v30.1.1");
    // A home named xray is not looked at.
    std::filesystem::rename(dirs_.state_dir + "/core", dirs_.state_dir + "/xray");
    EXPECT_FALSE(resolve_xray_in(builtin_, dirs_)->has_value());
}

TEST_F(CoreResolution, BuiltInIsPreferredOverManaged) {
    builtin_sing_box();
    managed("sing-box", "v2.0.0", "rel", "sing-box");
    auto sing_box = resolve_sing_box_in(builtin_, dirs_);
    ASSERT_TRUE(sing_box && sing_box->has_value());
    EXPECT_EQ((*sing_box)->version, "v1.14.1");
    EXPECT_EQ((*sing_box)->executable, builtin_ + "/sing-box/sing-box");
    EXPECT_EQ((*sing_box)->core_dir, builtin_ + "/sing-box");
    // Even a broken manifest is not read while the built-in copy is there.
    write(dirs_.state_dir + "/sing-box/active.json", "broken");
    EXPECT_TRUE(resolve_sing_box_in(builtin_, dirs_));
}

TEST_F(CoreResolution, ManagedSingBoxWithItsManifestVersion) {
    managed("sing-box", "v1.99.0", "sb-rel", "sing-box");
    auto sing_box = resolve_sing_box_in(builtin_, dirs_);
    ASSERT_TRUE(sing_box && sing_box->has_value());
    EXPECT_EQ((*sing_box)->version, "v1.99.0");
    EXPECT_EQ((*sing_box)->executable, dirs_.state_dir + "/sing-box/releases/sb-rel/sing-box");
    EXPECT_EQ((*sing_box)->core_dir, dirs_.state_dir + "/sing-box/releases/sb-rel");
}

TEST_F(CoreResolution, ManifestFailuresArePassedUp) {
    builtin_xray();
    write(dirs_.state_dir + "/sing-box/active.json",
          R"({"version":"v","directory":"d","installed_at":1.5,"sha256":"s"})");
    write(dirs_.state_dir + "/sing-box/releases/d/sing-box");
    auto failed = resolve_sing_box_in(builtin_, dirs_);
    ASSERT_FALSE(failed);
    auto all = require_all_cores_in(builtin_, dirs_);
    ASSERT_FALSE(all);
    EXPECT_EQ(all.error().message(), failed.error().message());
    EXPECT_NE(all.error().message(), NO_SING_BOX);

    write(dirs_.state_dir + "/sing-box/active.json", R"({"version":"v","directory":"d","installed_at":1})");
    EXPECT_EQ(all_cores(), "key 'sha256' not found");

    // The same for Xray.
    std::filesystem::remove(builtin_ + "/xray/geoip.dat");
    write(dirs_.state_dir + "/core/active.json", "[]");
    EXPECT_EQ(error_of(resolve_xray_in(builtin_, dirs_)), "array index 0 is out of range");
    EXPECT_EQ(all_cores(), "array index 0 is out of range");
}

TEST_F(CoreResolution, AbsentWithoutManifestOrReleaseExecutable) {
    auto none = resolve_sing_box_in(builtin_, dirs_);
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->has_value());
    managed("sing-box", "v1.99.0", "sb-rel", "sing-box");
    std::filesystem::remove(dirs_.state_dir + "/sing-box/releases/sb-rel/sing-box");
    auto missing = resolve_sing_box_in(builtin_, dirs_);
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->has_value());
}

TEST_F(CoreResolution, SymbolicLinkToRegularFileCountsDirectoryDoesNot) {
    write(root_ + "/real-sing-box");
    std::filesystem::create_directories(builtin_ + "/sing-box");
    ASSERT_EQ(symlink((root_ + "/real-sing-box").c_str(), (builtin_ + "/sing-box/sing-box").c_str()), 0);
    auto linked = resolve_sing_box_in(builtin_, dirs_);
    ASSERT_TRUE(linked && linked->has_value());
    EXPECT_EQ((*linked)->executable, builtin_ + "/sing-box/sing-box");

    std::filesystem::remove(builtin_ + "/sing-box/sing-box");
    std::filesystem::create_directories(builtin_ + "/sing-box/sing-box");
    auto directory = resolve_sing_box_in(builtin_, dirs_);
    ASSERT_TRUE(directory);
    EXPECT_FALSE(directory->has_value());

    // A dangling link does not count either.
    std::filesystem::remove(builtin_ + "/sing-box/sing-box");
    ASSERT_EQ(symlink((root_ + "/gone").c_str(), (builtin_ + "/sing-box/sing-box").c_str()), 0);
    EXPECT_FALSE(resolve_sing_box_in(builtin_, dirs_)->has_value());

    // Nor a directory in place of a managed executable.
    managed("sing-box", "v1", "rel", "placeholder");
    std::filesystem::create_directories(dirs_.state_dir + "/sing-box/releases/rel/sing-box");
    EXPECT_FALSE(resolve_sing_box_in(builtin_, dirs_)->has_value());
}

TEST_F(CoreResolution, ReleaseDirectoryIsJoinedUnchecked) {
    // A directory that begins with '/' replaces the path.
    write(root_ + "/elsewhere/sing-box");
    write(dirs_.state_dir + "/sing-box/active.json",
          R"({"version":"vx","directory":")" + root_ + R"(/elsewhere","installed_at":0,"sha256":""})");
    auto absolute = resolve_sing_box_in(builtin_, dirs_);
    ASSERT_TRUE(absolute && absolute->has_value());
    EXPECT_EQ((*absolute)->core_dir, root_ + "/elsewhere");
    EXPECT_EQ((*absolute)->executable, root_ + "/elsewhere/sing-box");
}

TEST_F(CoreResolution, MihomoBuiltInThenManagedThenAbsent) {
    EXPECT_FALSE(resolve_mihomo_in(builtin_, dirs_).has_value());
    write(dirs_.state_dir + "/mihomo/mihomo");
    auto managed_copy = resolve_mihomo_in(builtin_, dirs_);
    ASSERT_TRUE(managed_copy);
    EXPECT_EQ(managed_copy->version, "v1.19.30");
    EXPECT_EQ(managed_copy->executable, dirs_.state_dir + "/mihomo/mihomo");
    EXPECT_EQ(managed_copy->core_dir, dirs_.state_dir + "/mihomo");
    builtin_mihomo();
    auto builtin_copy = resolve_mihomo_in(builtin_, dirs_);
    ASSERT_TRUE(builtin_copy);
    EXPECT_EQ(builtin_copy->version, "v1.19.30");
    EXPECT_EQ(builtin_copy->executable, builtin_ + "/mihomo/mihomo");
    EXPECT_EQ(builtin_copy->core_dir, builtin_ + "/mihomo");
}

TEST_F(CoreResolution, RequireAllCoresNamesTheFirstMissingCoreInOrder) {
    EXPECT_EQ(all_cores(), NO_XRAY);
    builtin_mihomo();
    EXPECT_EQ(all_cores(), NO_XRAY);
    builtin_xray();
    EXPECT_EQ(all_cores(), NO_SING_BOX);
    std::filesystem::remove_all(builtin_ + "/mihomo");
    builtin_sing_box();
    EXPECT_EQ(all_cores(), NO_MIHOMO);
    builtin_mihomo();
    EXPECT_EQ(all_cores(), "<ok>");
    auto all = require_all_cores_in(builtin_, dirs_);
    ASSERT_TRUE(all) << all.error().chain();
    EXPECT_EQ(all->xray.version, "v26.10.21");
    EXPECT_EQ(all->sing_box.version, "v1.14.1");
    EXPECT_EQ(all->mihomo.version, "v1.19.30");
}

TEST_F(CoreResolution, RequireAllCoresWithManagedCopies) {
    managed("core", "vX", "rx", "xray");
    managed("sing-box", "vS", "rs", "sing-box");
    write(dirs_.state_dir + "/mihomo/mihomo");
    EXPECT_EQ(all_cores(), "<ok>");
    auto all = require_all_cores_in(builtin_, dirs_);
    ASSERT_TRUE(all) << all.error().chain();
    EXPECT_EQ(all->xray.version, "vX");
    EXPECT_EQ(all->sing_box.version, "vS");
    EXPECT_EQ(all->mihomo.core_dir, dirs_.state_dir + "/mihomo");
}

TEST(CoreCatalogue, PublicResolversUseTheFixedPlaces) {
    if (std::filesystem::exists("/usr/lib/quorin/cores") || std::filesystem::exists("/var/lib/quorin"))
        GTEST_SKIP() << "this machine has Quorin cores installed";
    EXPECT_EQ(error_of(require_all_cores()), NO_XRAY);
    EXPECT_FALSE(resolve_mihomo(HelperDirs{}).has_value());
    EXPECT_FALSE(resolve_sing_box(HelperDirs{})->has_value());
}

}  // namespace
}  // namespace quorin
