// The "sing-box-log" thread's line handling, run on the fuzzer's thread: the input
// stands for sing-box's standard error. The journal must receive input lines only,
// byte for byte and in order, and may leave out nothing but INFO records.

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/files.hpp"
#include "fuzz_support.hpp"
#include "singbox/launch.hpp"

namespace {

using namespace quorin;

UniqueFd memfd_with(std::string_view content) {
    UniqueFd fd(memfd_create("log", MFD_CLOEXEC));
    fuzz::require(fd.valid(), "memfd_create works");
    fuzz::require(write_all(fd.get(), content).has_value(), "content written");
    fuzz::require(lseek(fd.get(), 0, SEEK_SET) == 0, "content rewound");
    return fd;
}

bool is_info_record(std::string_view line) {
    std::string decoded = lossy_utf8(line);
    return decoded.find(" INFO ") != std::string::npos || decoded.starts_with("INFO[");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::DescriptorWatch descriptors;
    std::string_view input = fuzz::as_text(data, size);
    {
        UniqueFd sink = memfd_with("");
        auto started = std::make_shared<std::atomic<bool>>(false);
        forward_singbox_log(started, memfd_with(input), sink.get());
        fuzz::require(lseek(sink.get(), 0, SEEK_SET) == 0, "journal rewound");
        auto journal = read_file("/proc/self/fd/" + std::to_string(sink.get()));
        fuzz::require(journal.has_value(), "journal read");
        fuzz::require(journal->empty() || journal->ends_with('\n'), "every forwarded line ends with a line feed");

        auto forwarded = fuzz::lines_of(*journal);
        size_t next = 0;
        for (std::string_view line : fuzz::lines_of(input)) {
            if (next < forwarded.size() && forwarded[next] == line) {
                ++next;
                continue;
            }
            fuzz::require(*started && is_info_record(line), "only INFO records after the start line are dropped");
        }
        fuzz::require(next == forwarded.size(), "the journal holds input lines only, in order");
    }
    descriptors.require_no_leak();
    return 0;
}
