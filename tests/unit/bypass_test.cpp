#include "host/bypass.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/base64.hpp"

namespace quorin {
namespace {

constexpr const char* CORRUPT_WORD = "повреждён список процессов обхода";
constexpr const char* BAD_LIST = "некорректный список процессов обхода";
constexpr const char* TOO_MANY = "слишком много процессов обхода";
constexpr const char* BAD_ENTRY = "некорректный процесс обхода";

std::string error_of(const Result<BypassList>& result) {
    return result ? std::string("<ok>") : result.error().message();
}
std::string cause_of(const Result<BypassList>& result) {
    if (result) return "<ok>";
    return result.error().cause() ? result.error().cause()->message() : "<no cause>";
}

Result<BypassList> decode_json(std::string_view json) { return decode_bypass_list(encode_base64_url(json)); }

// A JSON array text of `count` copies of a quoted string.
std::string repeated_array(size_t count, std::string_view quoted) {
    std::string json = "[";
    for (size_t i = 0; i < count; ++i) {
        if (i) json += ',';
        json += quoted;
    }
    return json + "]";
}

// ---- The whole path: word -> list ----

TEST(BypassDecode, EmptyArrayGivesEmptyList) {
    auto list = decode_json("[]");
    ASSERT_TRUE(list) << list.error().chain();
    EXPECT_TRUE(list->empty());
    auto spaced = decode_json(" \t\r\n[ ]\n ");
    ASSERT_TRUE(spaced) << spaced.error().chain();
    EXPECT_TRUE(spaced->empty());
    // The empty word decodes to no bytes, which is no JSON at all.
    EXPECT_EQ(error_of(decode_bypass_list("")), BAD_LIST);
}

TEST(BypassDecode, NormalisesTheDecodedList) {
    auto list = decode_json(R"(["b", "a", "b", "a ", "  C:\\Apps\\x.exe\t"])");
    ASSERT_TRUE(list) << list.error().chain();
    EXPECT_EQ(*list, (BypassList{"C:/Apps/x.exe", "a", "b"}));
}

TEST(BypassDecode, RefusesAWordThatIsNotUnpaddedUrlSafeBase64WithTheDecoderCause) {
    std::string word = encode_base64_url(R"(["a"])");  // 5 bytes: 7 characters, no padding
    ASSERT_TRUE(decode_bypass_list(word));
    for (const std::string& bad : {word + "=", word + "==", "+" + word.substr(1),
                                   word.substr(0, 3) + "/" + word.substr(4), word + "AA", std::string("WyJhIl0=")}) {
        auto result = decode_bypass_list(bad);
        EXPECT_EQ(error_of(result), CORRUPT_WORD) << bad;
        ASSERT_FALSE(result) << bad;
        ASSERT_NE(result.error().cause(), nullptr) << bad;
        EXPECT_EQ(result.error().cause()->message(), decode_base64_url(bad).error().message()) << bad;
    }
}

TEST(BypassDecode, RefusesAnythingButOneArrayOfStringsWithTheParserCause) {
    EXPECT_EQ(error_of(decode_json(R"({"a":"b"})")), BAD_LIST);
    EXPECT_EQ(cause_of(decode_json(R"({"a":"b"})")), "type must be array, but is object");
    EXPECT_EQ(error_of(decode_json(R"(["a", 1])")), BAD_LIST);
    EXPECT_EQ(cause_of(decode_json(R"(["a", 1])")), "type must be string, but is number");
    using namespace std::string_view_literals;
    const std::vector<std::string_view> refused = {
        R"(["a"] ["b"])"sv,   R"(["a"] 1)", R"(["a"],)", R"(["a"] x)", R"("a")", "null", "1",    R"([["a"]])",
        R"([null])",          R"([true])",  R"(["a",])", "[",          "",       " ",    "\f[]",
        "\xEF\xBB\xBF[]",                      // a byte order mark is not white space
        "[\"\xFF\"]",                          // invalid UTF-8 in a string
        "[\"\xC0\xAF\"]",                      // an overlong form
        "[\"\xED\xA0\x80\"]",                  // an encoded surrogate
        "[\"\\ud800\"]",                       // a lone surrogate escape
        "[\"a\"]\xA0",                         // a foreign byte after the value
        "[\"a\"]\0"sv,                         // a NUL byte after the value
        "[\"a\"]\0x"sv,       "[\"a\0\"]"sv};  // a raw NUL inside a string
    for (std::string_view bad : refused) {
        auto result = decode_json(bad);
        EXPECT_EQ(error_of(result), BAD_LIST) << bad;
        ASSERT_FALSE(result);
        ASSERT_NE(result.error().cause(), nullptr) << bad;
        EXPECT_FALSE(result.error().cause()->message().empty()) << bad;
    }
}

TEST(BypassDecode, EntryRulesApplyAfterDecoding) {
    EXPECT_EQ(error_of(decode_json(R"(["a\u0000b"])")), BAD_ENTRY);
    EXPECT_EQ(error_of(decode_json(R"(["\u3000"])")), BAD_ENTRY);
    EXPECT_EQ(error_of(decode_json(repeated_array(1025, R"("x")"))), TOO_MANY);
    auto many = decode_json(repeated_array(1024, R"("x")"));
    ASSERT_TRUE(many);
    EXPECT_EQ(*many, BypassList{"x"});
}

// ---- The entry rules ----

TEST(BypassNormalize, EmptyListStaysEmpty) {
    auto list = normalize_bypass_list({});
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->empty());
}

TEST(BypassNormalize, CountsEntriesBeforeTrimmingOrDeduplicating) {
    auto accepted = normalize_bypass_list(std::vector<std::string>(1024, "same"));
    ASSERT_TRUE(accepted);
    EXPECT_EQ(*accepted, BypassList{"same"});
    EXPECT_EQ(error_of(normalize_bypass_list(std::vector<std::string>(1025, "same"))), TOO_MANY);
    // The count comes first: 1025 entries that would each be refused are "too many".
    EXPECT_EQ(error_of(normalize_bypass_list(std::vector<std::string>(1025, " "))), TOO_MANY);
    EXPECT_EQ(error_of(normalize_bypass_list(std::vector<std::string>(1024, " "))), BAD_ENTRY);
}

TEST(BypassNormalize, TrimsUnicodeWhiteSpaceAtBothEndsOnly) {
    auto list = normalize_bypass_list({"  /usr/bin/app\t", "\u3000ideographic\u3000", "\u00a0nbsp\u00a0",
                                       "\u2028\u0085\u1680\u2000\u200a\u202f\u205f\u2029mixed\r\n\v\f",
                                       "in\u3000side \u00a0kept"});
    ASSERT_TRUE(list) << list.error().chain();
    EXPECT_EQ(*list, (BypassList{"/usr/bin/app", "ideographic", "in\u3000side \u00a0kept", "mixed", "nbsp"}));
    // U+200B is not White_Space and stays.
    auto zero_width = normalize_bypass_list({"\u200bx"});
    ASSERT_TRUE(zero_width);
    EXPECT_EQ(*zero_width, BypassList{"\u200bx"});
}

TEST(BypassNormalize, RefusesEntriesOfOnlyWhiteSpace) {
    for (std::string_view blank : {"", " ", "\t\n", "\u3000", "\u00a0", " \u3000\u00a0 "})
        EXPECT_EQ(error_of(normalize_bypass_list({"ok", std::string(blank)})), BAD_ENTRY) << blank;
}

TEST(BypassNormalize, TurnsBackslashesIntoForwardSlashes) {
    auto list = normalize_bypass_list({"  C:\\Program Files\\App\\app.exe\t", "\\\\server\\share", "a\\"});
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, (BypassList{"//server/share", "C:/Program Files/App/app.exe", "a/"}));
    // A lone backslash becomes "/", which is not empty.
    auto slash = normalize_bypass_list({"\\"});
    ASSERT_TRUE(slash);
    EXPECT_EQ(*slash, BypassList{"/"});
}

TEST(BypassNormalize, BoundsEntriesAt4096BytesAfterTrimming) {
    std::string max(4096, 'x');
    auto ok = normalize_bypass_list({max});
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->front().size(), 4096u);
    EXPECT_EQ(error_of(normalize_bypass_list({max + "x"})), BAD_ENTRY);
    // White space around does not count.
    EXPECT_TRUE(normalize_bypass_list({"  " + max + "\u3000"}));
    // 2048 two-byte characters are 4096 bytes; one more byte is too many.
    std::string cyrillic;
    for (int i = 0; i < 2048; ++i) cyrillic += "ж";
    ASSERT_EQ(cyrillic.size(), 4096u);
    EXPECT_TRUE(normalize_bypass_list({cyrillic}));
    EXPECT_EQ(error_of(normalize_bypass_list({cyrillic + "x"})), BAD_ENTRY);
}

TEST(BypassNormalize, RefusesNul) {
    EXPECT_EQ(error_of(normalize_bypass_list({std::string("a\0b", 3)})), BAD_ENTRY);
    EXPECT_EQ(error_of(normalize_bypass_list({std::string("\0", 1)})), BAD_ENTRY);
    EXPECT_EQ(error_of(normalize_bypass_list({"fine", std::string("x\0", 2)})), BAD_ENTRY);
}

TEST(BypassNormalize, SortsByBytesAndRemovesDuplicates) {
    auto list = normalize_bypass_list({"b", "a", "b", "a "});
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, (BypassList{"a", "b"}));
    auto cased = normalize_bypass_list({"a", "A"});
    ASSERT_TRUE(cased);
    EXPECT_EQ(*cased, (BypassList{"A", "a"}));
    // A proper prefix first; bytes compared as unsigned values (0xC3 after 'z').
    auto ordered = normalize_bypass_list({"é", "z", "ab", "a", "Z", "a/b", "a\\b"});
    ASSERT_TRUE(ordered);
    EXPECT_EQ(*ordered, (BypassList{"Z", "a", "a/b", "ab", "z", "é"}));
}

}  // namespace
}  // namespace quorin
