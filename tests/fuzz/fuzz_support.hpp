#pragma once

// Helpers shared by the libFuzzer targets: a property check that aborts (so libFuzzer
// keeps the input), and the invariants that several decoders promise.

#include <fcntl.h>
#include <sys/mman.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/files.hpp"
#include "common/json.hpp"
#include "common/text.hpp"
#include "privileged/session.hpp"

namespace quorin::fuzz {

// A broken property is a finding just like a crash.
// With -close_fd_mask=2 standard error is the null device; the sanitizer's report
// descriptor is where libFuzzer's own output goes.
inline void require(bool holds, const char* property) {
    if (holds) return;
    std::string summary = std::string("property broken: ") + property;
    __sanitizer_report_error_summary(summary.c_str());
    std::abort();
}

inline std::string_view as_text(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Splits at line feeds; a last piece without one counts unless it is empty.
inline std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

// The file a core is given: the value as write_json_file writes it, then read back.
template <class Value>
inline Json written_and_read_back(const Value& value, size_t max_depth) {
    int fd = memfd_create("written", MFD_CLOEXEC);
    require(fd >= 0, "memfd_create works");
    auto written = write_pretty(fd, value, CONFIG_FILE_MAX_BYTES);
    require(written.has_value() && *written == PrettyWrite::complete, "the value is written");
    auto text = read_file("/proc/self/fd/" + std::to_string(fd));
    close(fd);
    require(text.has_value() && text->ends_with('\n'), "the written file ends with a line feed");
    auto parsed = parse_json(*text, max_depth);
    require(parsed.has_value(), "the written file parses");
    return *parsed;
}

// What every BypassList must be, whoever produced it.
inline void require_bypass_list(const std::vector<std::string>& list) {
    require(list.size() <= 1024, "bypass list has at most 1024 entries");
    for (size_t i = 0; i < list.size(); ++i) {
        const std::string& entry = list[i];
        require(!entry.empty() && entry.size() <= 4096, "bypass entry is 1 to 4096 bytes");
        require(entry.find('\0') == std::string::npos, "bypass entry holds no NUL");
        require(entry.find('\\') == std::string::npos, "bypass entry holds no backslash");
        require(is_valid_utf8(entry), "bypass entry is UTF-8");
        require(trim_white_space(entry).size() == entry.size(), "bypass entry is trimmed");
        if (i > 0) require(list[i - 1] < entry, "bypass list is strictly ascending");
    }
}

// Descriptors are handed out lowest first, so whatever one input opens lies just above
// the lowest free number. Comparing a small window of numbers before and after the input
// finds a leak without listing /proc/self/fd. (Between inputs libFuzzer itself may open
// descriptors, e.g. the symbolizer's pipes, hence one watch per input.)
class DescriptorWatch {
public:
    DescriptorWatch() : first_(lowest_free()), open_before_(window()) {}
    DescriptorWatch(const DescriptorWatch&) = delete;
    DescriptorWatch& operator=(const DescriptorWatch&) = delete;
    void require_no_leak() const { require(window() == open_before_, "no descriptor leaks"); }

private:
    static constexpr int WINDOW = 32;
    static int lowest_free() {
        int probe = fcntl(2, F_DUPFD_CLOEXEC, 0);
        require(probe >= 0, "a descriptor can be duplicated");
        close(probe);
        return probe;
    }
    std::vector<bool> window() const {
        std::vector<bool> open;
        for (int fd = first_; fd < first_ + WINDOW; ++fd) open.push_back(fcntl(fd, F_GETFD) != -1);
        return open;
    }
    int first_;
    std::vector<bool> open_before_;
};

}  // namespace quorin::fuzz
