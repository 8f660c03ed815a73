// PROTOCOL.md is the client developers' contract: every text the helper answers with or
// writes to its journal must be in it. The texts are taken from the code, so a new
// message fails here until it is documented.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include "common/files.hpp"

namespace quorin {
namespace {

// The string literals of a line (character literals skipped), without a final "\n":
// the document shows a line of output without its line feed.
std::vector<std::string> literal_texts(const std::string& line) {
    static const std::regex LITERAL(R"re('(?:[^'\\]|\\.)+'|"((?:[^"\\]|\\.)*?)(?:\\n)?")re");
    std::vector<std::string> texts;
    for (std::sregex_iterator it(line.begin(), line.end(), LITERAL), end; it != end; ++it) {
        if ((*it)[1].matched) texts.push_back((*it)[1]);
    }
    return texts;
}

// Russian messages (letters U+0400 to U+04FF, lead bytes 0xD0 to 0xD3), and every literal
// of a line that writes to the journal.
bool is_message(const std::string& text, const std::string& line) {
    if (std::ranges::any_of(text, [](unsigned char c) { return c >= 0xD0 && c <= 0xD3; })) return true;
    static const std::regex JOURNAL(R"(log_line\(|write_stderr\(|log_failed_start\(|FAILED_START_INFIX =)");
    return text.find_first_not_of(' ') != std::string::npos && std::regex_search(line, JOURNAL);
}

TEST(ProtocolDocument, HoldsEveryReplyAndJournalTextOfTheCode) {
    const std::string document = read_file(QUORIN_SOURCE_DIR "/PROTOCOL.md").value();
    size_t checked = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(QUORIN_SOURCE_DIR "/src")) {
        std::istringstream lines(read_file(entry.path().string()).value_or(""));
        for (std::string line; std::getline(lines, line);) {
            if (line.find_first_not_of(' ') == line.find("//")) continue;  // a comment
            for (const auto& text : literal_texts(line)) {
                if (!is_message(text, line)) continue;
                ++checked;
                EXPECT_NE(document.find(text), std::string::npos) << entry.path() << ": \"" << text << "\"";
            }
        }
    }
    EXPECT_GT(checked, 60u);  // the extraction still finds the code's messages (over 80)
}

}  // namespace
}  // namespace quorin
