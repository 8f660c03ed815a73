// The streamed pretty form must be byte for byte the in-memory one, however its
// pieces fall across the writer's buffer.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "common/files.hpp"
#include "common/json.hpp"
#include "common/json_document.hpp"

namespace quorin {
namespace {

template <class Value>
std::string streamed(const Value& value, size_t max_bytes = SIZE_MAX, PrettyWrite expected = PrettyWrite::complete) {
    UniqueFd file(memfd_create("quorin-json-test", MFD_CLOEXEC));
    EXPECT_EQ(write_pretty(file.get(), value, max_bytes), expected);
    std::string text(static_cast<size_t>(lseek(file.get(), 0, SEEK_END)), '\0');
    EXPECT_EQ(pread(file.get(), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    return text;
}

TEST(JsonWriter, StreamsThePrettyFormExactly) {
    Json value = Json::object();
    for (int i = 0; i < 5000; ++i) value["k" + std::to_string(i)] = {{"n", i}, {"s", "ж\"\\\n"}, {"a", Json::array()}};
    value["long"] = std::string(200000, 'x');  // larger than the buffer on its own
    value["bad"] = std::string(
        "a\xff"
        "b");  // replaced as by the in-memory form
    value["nested"] = Json::parse(R"([[{"b":1,"a":[true,null,1.5]}]])");
    EXPECT_EQ(streamed(value), dump_pretty(value) + "\n");
    EXPECT_EQ(streamed(Json::object()), "{}\n");
    EXPECT_EQ(streamed(Json("x")), "\"x\"\n");
}

// The bound holds for the whole output, line feed included, and nothing beyond it is
// ever written: neither the piece that would cross it nor anything after.
TEST(JsonWriter, StopsBeforeTheOutputPassesTheBound) {
    Json deep = Json::parse(std::string(120, '[') + "1" + std::string(120, ']'));
    Json large = Json::array();
    for (int i = 0; i < 40; ++i) large.push_back(deep);  // some 20 pieces of 64 KiB
    for (const Json& value : {Json("short"), large}) {
        const std::string whole = dump_pretty(value) + "\n";
        EXPECT_EQ(streamed(value, whole.size()), whole);
        for (size_t bound : {whole.size() - 1, whole.size() / 2, size_t{0}}) {
            std::string cut = streamed(value, bound, PrettyWrite::too_large);
            EXPECT_LE(cut.size(), bound);
            EXPECT_EQ(cut, whole.substr(0, cut.size()));
        }
    }
}

std::string document_form(std::string_view text, size_t max_depth = 127) {
    auto document = JsonDocument::parse(std::string(text), max_depth);
    return document ? streamed(*document) : "refused";
}

// Client documents are written as the library writes the same text, apart from numbers,
// which keep the text they were given: integers beyond 64 bits are not rounded.
TEST(JsonDocumentWriter, WritesTheLibrarysFormWithNumbersAsGiven) {
    const std::string text =
        R"({"z":{"b":[],"a":{}},"a":"ж\"\\\n\u0001\u007f\ud83d\ude00\/","a":[true,false,null,"x"],)"
        R"("":-1,"\u00e9":[[1,"b"],{"k":{"k":0}}]})";
    EXPECT_EQ(document_form(text), dump_pretty(Json::parse(text)) + "\n");
    EXPECT_EQ(document_form(R"({"b":1,"a":2,"b":3,"c":4,"b":5})"), "{\n  \"a\": 2,\n  \"b\": 5,\n  \"c\": 4\n}\n");
    EXPECT_EQ(document_form(" [18446744073709551616, -9223372036854775809, 123456789012345678901234567890, 2.50, "
                            "1E2, -0, 0.1e-400] "),
              "[\n  18446744073709551616,\n  -9223372036854775809,\n  123456789012345678901234567890,\n  2.50,\n"
              "  1E2,\n  -0,\n  0.1e-400\n]\n");
    auto big =
        JsonDocument::parse("[18446744073709551615, 18446744073709551616, -9223372036854775808, 2022.0, 2022]", 1);
    ASSERT_TRUE(big);
    std::vector<bool> integers;
    for (JsonView number : big->root().children()) integers.push_back(number.is_integer());
    EXPECT_EQ(integers, (std::vector<bool>{true, false, true, false, true}));
}

// Mihomo reads the file as YAML, which folds U+0085, U+2028 and U+2029 into line breaks
// and refuses DEL, the C1 controls, U+FFFE and U+FFFF: those are escaped, their
// neighbours are not, in keys as in values.
TEST(JsonDocumentWriter, EscapesWhatAYamlReaderWouldNotReadBackRaw) {
    EXPECT_EQ(document_form(R"({"k\u0085\u2028":["~\u007f\u0080\u0085\u009f\u00a0\u2027\u2028\u2029\u202a)"
                            R"(\ufffd\ufffe\uffff\ud83d\ude00"]})"),
              "{\n  \"k\\u0085\\u2028\": [\n    \"~\\u007f\\u0080\\u0085\\u009f\u00a0\u2027\\u2028\\u2029\u202a"
              "\ufffd\\ufffe\\uffff\U0001F600\"\n  ]\n}\n");
    // Past a plain eight-byte word too.
    EXPECT_EQ(document_form(R"(["abcdefghi\u2028jklmnopqr\u0085"])"), "[\n  \"abcdefghi\\u2028jklmnopqr\\u0085\"\n]\n");
}

// Characters, not bytes, and escapes as written; nothing is written for a refused key.
TEST(JsonDocumentWriter, RefusesAKeyWrittenInMoreThan1024Characters) {
    std::string cyrillic;
    std::string escaped;
    for (int i = 0; i < 1022; ++i) cyrillic += "ж";
    std::string controls;
    for (int i = 0; i < 170; ++i) escaped += "\\u0085";
    for (int i = 0; i < 169; ++i) controls += "\\u0001";
    for (const std::string& key : {std::string(1022, 'a'), cyrillic, escaped + "\\n", controls + "abcdefgh"}) {
        for (const char* longer : {"", "x"}) {
            auto document = JsonDocument::parse("[{\"a\":{\"" + key + longer + "\":1}}]", 127);
            ASSERT_TRUE(document);
            UniqueFd file(memfd_create("quorin-json-test", MFD_CLOEXEC));
            auto written = write_pretty(file.get(), *document, SIZE_MAX);
            EXPECT_EQ(written ? "written" : written.error().message(),
                      *longer ? "ключ JSON в записанном виде длиннее 1024 символов" : "written");
            EXPECT_EQ(lseek(file.get(), 0, SEEK_END) == 0, *longer != '\0');
        }
    }
}

// The same decision as the library's parser on what it is strict or lenient about.
TEST(JsonDocumentWriter, AcceptsAndRefusesWhatTheLibraryDoes) {
    using namespace std::string_view_literals;
    const std::string long_integer = "1" + std::string(308, '0');  // still below the largest double
    const std::vector<std::string_view> inputs = {"1e400"sv,
                                                  "-1e400",
                                                  "1e-400",
                                                  long_integer,
                                                  "[1.]",
                                                  "[.5]",
                                                  "[01]",
                                                  "[-]",
                                                  "[1e]",
                                                  "[1e+]",
                                                  "[-0.0e-0]",
                                                  "[1,]",
                                                  "[,1]",
                                                  "{\"a\"}",
                                                  "{\"a\":}",
                                                  "{\"a\":1,}",
                                                  "{1:1}",
                                                  "[tru]",
                                                  "[truex]",
                                                  "[nul]",
                                                  "\"\\ud800\"",
                                                  "\"\\udc00\"",
                                                  "\"\\ud800\\u0041\"",
                                                  "\"\\ud800\\udc00\"",
                                                  "\"\\u00G0\"",
                                                  "\"\\x\"",
                                                  "\"\\u0000\"",
                                                  "\"\x7f\"",
                                                  "\"\x1f\"",
                                                  "\"\xC0\xAF\"",
                                                  "\"\xED\xA0\x80\"",
                                                  "\"\xF4\x90\x80\x80\"",
                                                  "\"\xF0\x9F\x98\x80\"",
                                                  "\xEF\xBB\xBF[]",
                                                  "[]\0"sv,
                                                  "\f[]",
                                                  " \t\r\n[] ",
                                                  "",
                                                  " ",
                                                  "[] []",
                                                  "\"a",
                                                  "{\"a\":1 \"b\":2}",
                                                  "[\"a\" \"b\"]",
                                                  "[[]]"};
    for (std::string_view input : inputs) {
        EXPECT_EQ(JsonDocument::parse(std::string(input), 127).has_value(), parse_json(input, 127).has_value())
            << input;
    }
    // The bound counts open arrays and objects: `max_depth` levels pass, one more does not.
    for (size_t depth : {size_t{1}, size_t{127}}) {
        std::string deepest = std::string(depth, '[') + std::string(depth, ']');
        std::string deeper = "{\"a\":" + deepest + "}";
        EXPECT_TRUE(JsonDocument::parse(deepest, depth)) << depth;
        EXPECT_FALSE(JsonDocument::parse(deeper, depth)) << depth;
        EXPECT_FALSE(parse_json(deeper, depth)) << depth;
    }
}

}  // namespace
}  // namespace quorin
