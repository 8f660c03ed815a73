#include "mihomo/core_error.hpp"

#include <gtest/gtest.h>

#include "common/text.hpp"

namespace quorin {
namespace {

TEST(CoreError, MarkedLineWinsStdoutFirst) {
    EXPECT_EQ(extract_core_error("time=x level=fatal msg=bad proxy\n", "\n"), "time=x level=fatal msg=bad proxy");
    EXPECT_EQ(extract_core_error("a\nlevel=error one\n", "level=fatal two\n"), "level=error one");
    EXPECT_EQ(extract_core_error("a\nb\n", "first\nx level=error y\r\n"), "x level=error y");
    EXPECT_EQ(extract_core_error("", "first\nlevel=ERROR\n"), "first");  // case-sensitive
}

TEST(CoreError, FirstNonBlankStderrLineThenLastNonBlankStdoutLine) {
    EXPECT_EQ(extract_core_error("out\n", "first\nsecond\n"), "first");
    EXPECT_EQ(extract_core_error("a\nb\n\n", "  \n"), "b");
    EXPECT_EQ(extract_core_error("", "\u3000\t\r\n  kept as is \r\nnext"), "  kept as is ");
    EXPECT_EQ(extract_core_error("a\nlast without feed", ""), "last without feed");
}

TEST(CoreError, SaysSoWhenTheCoreSaidNothing) {
    EXPECT_EQ(extract_core_error("", ""), "ядро не сообщило подробности ошибки");
    EXPECT_EQ(extract_core_error("\n\r\n \n", "\u00a0\n"), "ядро не сообщило подробности ошибки");
}

TEST(CoreError, ReplacesInvalidUtf8AndCutsAtCharactersNotBytes) {
    EXPECT_EQ(extract_core_error("\xff level=error\n", ""), "\uFFFD level=error");
    std::string letters;
    for (int i = 0; i < 3000; ++i) letters += "ж";
    std::string detail = extract_core_error("level=error " + letters + "\n", "");
    EXPECT_TRUE(is_valid_utf8(detail));
    EXPECT_EQ(detail, "level=error " + letters.substr(0, 2 * (2000 - 12)));
    std::string exact = std::string(2000, 'x');
    EXPECT_EQ(extract_core_error("", exact), exact);
}

}  // namespace
}  // namespace quorin
