// PROTOCOL.md is the client developers' contract: every text the helper can answer with
// or write to its journal must be in it. The texts are taken from the code itself, so a
// new message fails this test until it is documented.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include "common/files.hpp"

namespace quorin {
namespace {

// The string literals of a line of C++, escapes undone; character literals skipped.
std::vector<std::string> string_literals(const std::string& line) {
    static const std::regex LITERAL(R"re('(?:[^'\\]|\\.)+'|"((?:[^"\\]|\\.)*)")re");
    std::vector<std::string> found;
    for (auto match = std::sregex_iterator(line.begin(), line.end(), LITERAL); match != std::sregex_iterator();
         ++match) {
        if (!(*match)[1].matched) continue;
        std::string text;
        const std::string raw = (*match)[1];
        // A line feed ends a line of output; the document shows each line's text.
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size() && raw[++i] == 'n') {
                found.push_back(std::exchange(text, {}));
                continue;
            }
            text += raw[i];
        }
        found.push_back(text);
    }
    return found;
}

// Russian messages: their letters are U+0400 to U+04FF, led by bytes 0xD0 to 0xD3.
bool has_cyrillic(const std::string& text) {
    return std::ranges::any_of(
        text, [](char c) { return static_cast<unsigned char>(c) >= 0xD0 && static_cast<unsigned char>(c) <= 0xD3; });
}

// A line that builds a journal line: every literal on it is part of the journal's wording.
bool writes_journal(const std::string& line) {
    return std::ranges::any_of(std::array{"log_line(", "write_stderr(", "log_failed_start(", "FAILED_START_INFIX ="},
                               [&](const char* call) { return line.find(call) != std::string::npos; });
}

TEST(ProtocolDocument, HoldsEveryReplyAndJournalTextOfTheCode) {
    const std::string document = read_file(QUORIN_SOURCE_DIR "/PROTOCOL.md").value();
    size_t checked = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(QUORIN_SOURCE_DIR "/src")) {
        const std::string path = entry.path().string();
        if (!path.ends_with(".cpp") && !path.ends_with(".hpp")) continue;
        std::istringstream lines(read_file(path).value());
        for (std::string line; std::getline(lines, line);) {
            if (line.find_first_not_of(' ') != std::string::npos &&
                line.substr(line.find_first_not_of(' ')).starts_with("//"))
                continue;
            for (const auto& text : string_literals(line)) {
                bool blank = text.find_first_not_of(" \n") == std::string::npos;
                if (!has_cyrillic(text) && (blank || !writes_journal(line))) continue;
                ++checked;
                EXPECT_NE(document.find(text), std::string::npos)
                    << path << ": \"" << text << "\" is not in PROTOCOL.md";
            }
        }
    }
    // The extraction still finds the code's messages (about 80 today).
    EXPECT_GT(checked, 60u);
}

}  // namespace
}  // namespace quorin
