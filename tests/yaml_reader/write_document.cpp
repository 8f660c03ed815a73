// Writes the JSON text on standard input as the helper writes Mihomo's configuration
// file; a refusal goes to standard error with status 1. The YAML reader test runs it.

#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <iterator>
#include <string>

#include "common/json_document.hpp"
#include "mihomo/policy.hpp"

int main() {
    std::string text(std::istreambuf_iterator<char>(std::cin), {});
    auto document = quorin::JsonDocument::parse(std::move(text), quorin::MIHOMO_CONFIG_MAX_DEPTH);
    auto written = document ? quorin::write_pretty(STDOUT_FILENO, *document, SIZE_MAX) : quorin::fail(document.error());
    if (written) return 0;
    std::cerr << written.error().message() << "\n";
    return 1;
}
