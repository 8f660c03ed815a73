#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "common/base64.hpp"
#include "common/child.hpp"
#include "common/error.hpp"
#include "common/files.hpp"
#include "common/json.hpp"
#include "common/text.hpp"

namespace quorin {
namespace {

std::string error_of(const auto& result) { return result ? std::string("<ok>") : result.error().message(); }

TEST(DecimalParsing, AcceptsOptionalPlusAndLeadingZeros) {
    EXPECT_EQ(parse_u32("+1000").value(), 1000u);
    EXPECT_EQ(parse_u32("0001000").value(), 1000u);
    EXPECT_EQ(parse_u32("4294967295").value(), 4294967295u);
    EXPECT_EQ(parse_u16("65535").value(), 65535);
    EXPECT_EQ(parse_u16("+1500").value(), 1500);
}

TEST(DecimalParsing, RefusesWithTheThreeCauseTexts) {
    EXPECT_EQ(error_of(parse_u32("")), "cannot parse integer from empty string");
    for (const char* bad : {"+", "-", "-1", "1000 ", " 1", "++1", "1.0", "1e3", "١"})
        EXPECT_EQ(error_of(parse_u32(bad)), "invalid digit found in string") << bad;
    EXPECT_EQ(error_of(parse_u32("4294967296")), "number too large to fit in target type");
    EXPECT_EQ(error_of(parse_u16("65536")), "number too large to fit in target type");
    EXPECT_EQ(error_of(parse_u16("70000")), "number too large to fit in target type");
}

TEST(WhiteSpace, SplitsAtEveryUnicodeWhiteSpaceRun) {
    auto words = split_white_space("  status\r\n");
    ASSERT_EQ(words.size(), 1u);
    EXPECT_EQ(words[0], "status");
    words = split_white_space("a\u3000b\u00a0\u2028c\u0085d\te");
    EXPECT_EQ(words, (std::vector<std::string_view>{"a", "b", "c", "d", "e"}));
    EXPECT_TRUE(split_white_space("").empty());
    EXPECT_TRUE(split_white_space(" \n\u200a").empty());
    // U+200B ZERO WIDTH SPACE is not White_Space.
    EXPECT_EQ(split_white_space("a\u200bb").size(), 1u);
    // A bound keeps the first words, whole, whether the last one ends the text or not.
    for (const char* text : {"a bb\u00a0c d", "a bb c", " a  bb c "}) {
        EXPECT_EQ(split_white_space(text, 2), (std::vector<std::string_view>{"a", "bb"})) << text;
    }
    EXPECT_EQ(split_white_space("a bb", 3), (std::vector<std::string_view>{"a", "bb"}));
}

TEST(WhiteSpace, TrimsBothEnds) {
    EXPECT_EQ(trim_white_space("\u3000\u00a0 x y\t\u2029"), "x y");
    EXPECT_EQ(trim_white_space("\u3000"), "");
    EXPECT_EQ(trim_white_space_end("  ab \n"), "  ab");
}

TEST(Utf8, ValidatesAndReplacesLossily) {
    EXPECT_TRUE(is_valid_utf8("Привет"));
    EXPECT_FALSE(is_valid_utf8("\xC0\x80"));
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));  // a surrogate
    EXPECT_FALSE(is_valid_utf8("\xE2\x82"));      // cut inside a character
    EXPECT_EQ(lossy_utf8("a\xFF"
                         "b"),
              "a\uFFFDb");
    EXPECT_EQ(lossy_utf8("\xE2\x82"
                         "x"),
              "\uFFFDx");  // one maximal subpart, one replacement
    EXPECT_EQ(first_chars("жжж", 2), "жж");
    EXPECT_EQ(first_chars("ab", 5), "ab");
}

TEST(Base64, DecodesUrlSafeWithoutPadding) {
    EXPECT_EQ(decode_base64_url("WyJhIl0").value(), "[\"a\"]");
    EXPECT_EQ(decode_base64_url("").value(), "");
    EXPECT_EQ(decode_base64_url("-_8").value(), "\xfb\xff");
    EXPECT_EQ(encode_base64_url("\xfb\xff"), "-_8");
}

TEST(Base64, RefusesPaddingForeignCharactersLoneCharacterAndSpareBits) {
    for (const char* bad : {"WyJhIl0=", "+/8", "ab c", "A", "AAAAA", "-_9", "QQ=="}) {
        EXPECT_FALSE(decode_base64_url(bad)) << bad;
    }
    // Bytes from 0x80 up, alone or as UTF-8 letters, are no Base64 digits either.
    for (const char* bad : {"QU\x81I", "QUJ\xff", "e30\xd0\x81", "\xc2\xa0QUJD"}) {
        EXPECT_FALSE(decode_base64_url(bad)) << bad;
    }
}

TEST(Json, LastDuplicateWinsAndDepthIsBounded) {
    auto value = parse_json(R"({"b":1,"a":true,"a":false})", 127);
    ASSERT_TRUE(value);
    EXPECT_EQ(dump_compact(*value), R"({"a":false,"b":1})");
    std::string deep = std::string(127, '[') + std::string(127, ']');
    EXPECT_TRUE(parse_json(deep, 127));
    std::string deeper = std::string(128, '[') + std::string(128, ']');
    EXPECT_FALSE(parse_json(deeper, 127));
    EXPECT_FALSE(parse_json("{} {}", 127));
    EXPECT_FALSE(parse_json("\"\xff\"", 127));
    EXPECT_TRUE(parse_json(" \n[1] \t", 127));
}

TEST(Json, PrettyFormSortsKeysAndIndentsByTwo) {
    auto value = parse_json(R"({"tun":{},"dns":[],"mode":"rule"})", 127);
    ASSERT_TRUE(value);
    EXPECT_EQ(dump_pretty(*value), "{\n  \"dns\": [],\n  \"mode\": \"rule\",\n  \"tun\": {}\n}");
}

TEST(Json, WrittenPrettyFormIsTheDumpAndALineFeed) {
    // Far more than one 64 KiB piece of output, with deep indentation.
    std::string nested = std::string(120, '[') + "\"Ключ\"" + std::string(120, ']');
    std::string text = R"({"b":[)" + nested;
    for (int i = 0; i < 200; ++i) text += "," + nested;
    text += R"(],"a":"\u00ff\ud83d\ude80\u0001"})";
    auto value = parse_json(text, 127);
    ASSERT_TRUE(value);
    std::string path = testing::TempDir() + "quorin-write-pretty";
    {
        auto file = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_TRUE(file);
        ASSERT_EQ(write_pretty(file->get(), *value, SIZE_MAX), PrettyWrite::complete);
    }
    std::string expected = dump_pretty(*value) + "\n";
    EXPECT_GT(expected.size(), size_t{3} << 20);
    EXPECT_EQ(read_file(path).value(), expected);
    unlink(path.c_str());

    auto read_only = open_file("/dev/null", O_RDONLY);
    ASSERT_TRUE(read_only);
    EXPECT_EQ(error_of(write_pretty(read_only->get(), *value, SIZE_MAX)), "Bad file descriptor (os error 9)");
}

TEST(Json, QuotingEscapesQuotesAndControlsButKeepsCyrillic) {
    EXPECT_EQ(json_quote("a\"b\\c\n\x01Ключ"), "\"a\\\"b\\\\c\\n\\u0001Ключ\"");
    // Byte for byte the library's form, invalid UTF-8 (replaced) included.
    // At every place of the eight-byte words that the writer skips whole when plain.
    for (int c = 0; c < 256; ++c) {
        for (size_t at : {1, 7, 8, 12, 16}) {
            const std::string text = std::string(at, 'x') + std::string(1, static_cast<char>(c)) + "yyyyyyyyy";
            EXPECT_EQ(json_quote(text), dump_compact(Json(text))) << c << " at " << at;
        }
    }
}

// Every directory made gets the mode asked for, whatever the umask; what exists is left
// as it is, and an existing link is followed as mkdir -p would.
TEST(Directories, CreatedWithTheirModeWhateverTheUmask) {
    std::string root = testing::TempDir() + "quorin-dirs-XXXXXX";
    ASSERT_NE(mkdtemp(root.data()), nullptr);
    auto mode_of = [](const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    };
    ASSERT_EQ(mkdir((root + "/kept").c_str(), 0700), 0);
    ASSERT_EQ(symlink("kept", (root + "/link").c_str()), 0);
    ASSERT_EQ(close(open((root + "/file").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)), 0);
    mode_t old_umask = umask(0777);
    auto made = create_directories(root + "/link/a//b/", 0755);
    auto in_the_way = create_directories(root + "/file/a", 0755);
    umask(old_umask);
    ASSERT_TRUE(made);
    struct stat opened {};
    ASSERT_EQ(fstat(made->get(), &opened), 0);
    struct stat leaf {};
    ASSERT_EQ(stat((root + "/kept/a/b").c_str(), &leaf), 0);
    EXPECT_EQ(opened.st_ino, leaf.st_ino);
    EXPECT_EQ(mode_of(root + "/kept/a"), 0755u);
    EXPECT_EQ(mode_of(root + "/kept/a/b"), 0755u);
    EXPECT_EQ(mode_of(root + "/kept"), 0700u);
    EXPECT_EQ(error_of(in_the_way), "Not a directory (os error 20)");
    std::filesystem::remove_all(root);
}

TEST(ErrorChain, JoinsCausesWithColons) {
    Error e("некорректный PKEXEC_UID", Error("invalid digit found in string"));
    EXPECT_EQ(e.chain(), "некорректный PKEXEC_UID: invalid digit found in string");
    EXPECT_EQ(Error::os(2).message(), "No such file or directory (os error 2)");
    EXPECT_EQ(Error::os(110).message(), "Connection timed out (os error 110)");
}

TEST(ExitStatusText, NamesCodesSignalsAndCoreDumps) {
    EXPECT_EQ(ExitStatus(1 << 8).text(), "exit status: 1");
    EXPECT_EQ(ExitStatus(0).text(), "exit status: 0");
    EXPECT_EQ(ExitStatus(SIGKILL).text(), "signal: 9 (SIGKILL)");
    EXPECT_EQ(ExitStatus(SIGABRT | 0x80).text(), "signal: 6 (SIGABRT) (core dumped)");
    EXPECT_TRUE(ExitStatus(0).success());
    EXPECT_FALSE(ExitStatus(SIGTERM).success());
}

TEST(ChildProcess, CapturesBothStreamsAndStatus) {
    SpawnOptions options{.program = "/bin/sh",
                         .args = {"-c", "echo out; echo err >&2; echo $QUORIN_X; pwd; exit 3"},
                         .out = Stdio::pipe,
                         .err = Stdio::pipe,
                         .working_dir = "/tmp",
                         .extra_env = {{"QUORIN_X", "set"}}};
    auto child = Child::spawn(options);
    ASSERT_TRUE(child) << child.error().message();
    auto output = child->collect(std::nullopt);
    ASSERT_TRUE(output);
    EXPECT_EQ(output->out, "out\nset\n/tmp\n");
    EXPECT_EQ(output->err, "err\n");
    EXPECT_EQ(output->status.text(), "exit status: 3");
}

// The prepared attribute set serves every spawn: each child starts with SIGPIPE at its
// default although the helper ignores it, and without variables to set the child sees
// the helper's environment as it is.
TEST(ChildProcess, EveryChildGetsDefaultSigpipeAndTheCurrentEnvironment) {
    auto previous = std::signal(SIGPIPE, SIG_IGN);
    for (const char* value : {"first", "second"}) {
        setenv("QUORIN_INHERITED", value, 1);
        auto child = Child::spawn({.program = "/bin/sh",
                                   .args = {"-c", "echo $QUORIN_INHERITED; grep ^SigIgn /proc/self/status"},
                                   .out = Stdio::pipe});
        ASSERT_TRUE(child);
        auto output = child->collect(std::nullopt);
        ASSERT_TRUE(output);
        const std::string& out = output->out;
        EXPECT_TRUE(out.starts_with(std::string(value) + "\n")) << out;
        const size_t mask_at = out.find("SigIgn:");
        ASSERT_NE(mask_at, std::string::npos);
        const unsigned long long ignored = std::stoull(out.substr(mask_at + 7), nullptr, 16);
        EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << out;
    }
    unsetenv("QUORIN_INHERITED");
    std::signal(SIGPIPE, previous);
}

// A failed step of the child, before the program or at its exec, is the start's error.
// There is no capability 63: root gets as far as raising it, others as far as the groups.
TEST(ChildProcess, FailedChildStepIsTheStartsOsText) {
    const std::pair<SpawnOptions, const char*> cases[] = {
        {{.program = "/nonexistent/quorin-core"}, "No such file or directory (os error 2)"},
        {{.program = "/bin/true", .working_dir = "/nonexistent"}, "No such file or directory (os error 2)"},
        {{.program = "/bin/true", .credentials = Credentials{65534, 65534, uint64_t{1} << 63}},
         geteuid() == 0 ? "Invalid argument (os error 22)" : "Operation not permitted (os error 1)"}};
    for (const auto& [options, message] : cases) {
        auto child = Child::spawn(options);
        ASSERT_FALSE(child) << message;
        EXPECT_EQ(child.error().message(), message);
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << message;  // reaped
    }
}

// A child holding its streams open, one that has closed them and keeps running, and
// one that writes without end: each is killed and reaped at the deadline.
TEST(ChildProcess, TimeLimitKillsAndReaps) {
    for (const char* script : {"exec sleep 30", "exec sleep 30 >&- 2>&-", "exec yes"}) {
        auto child =
            Child::spawn({.program = "/bin/sh", .args = {"-c", script}, .out = Stdio::pipe, .err = Stdio::pipe});
        ASSERT_TRUE(child);
        pid_t pid = child->pid();
        auto output = child->collect(std::chrono::milliseconds(200));
        ASSERT_FALSE(output) << script;
        EXPECT_EQ(output.error().message(), "Connection timed out (os error 110)") << script;
        EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << script;  // already reaped
        EXPECT_TRUE(child->status().has_value()) << script;
    }
}

TEST(ChildProcess, TryWaitThenKill) {
    auto child = Child::spawn({.program = "/bin/sleep", .args = {"30"}});
    ASSERT_TRUE(child);
    auto early = child->try_wait();
    ASSERT_TRUE(early);
    EXPECT_FALSE(early->has_value());
    ASSERT_TRUE(child->kill(SIGKILL));
    EXPECT_EQ(child->wait()->text(), "signal: 9 (SIGKILL)");
    EXPECT_FALSE(child->kill(SIGKILL));  // never signal a reaped pid
}

}  // namespace
}  // namespace quorin

namespace quorin {
namespace {

TEST(Json, RefusesWhatTheLibraryWouldSkip) {
    EXPECT_FALSE(parse_json(std::string("[\"a\"]\0junk", 10), 127));
    EXPECT_FALSE(parse_json("\xEF\xBB\xBF[]", 127));
    EXPECT_FALSE(parse_json(std::string("[\"a\0\"]", 6), 127));
}

}  // namespace
}  // namespace quorin
