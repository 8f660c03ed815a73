#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <string_view>

#include "common/files.hpp"
#include "common/log.hpp"
#include "common/text.hpp"
#include "singbox/launch.hpp"

namespace quorin {

namespace {

constexpr size_t LOG_READ_BUFFER = 8192;

// The line sing-box writes once it runs, e.g. "... INFO sing-box started (1.2s)".
bool is_start_line(std::string_view decoded) {
    return decoded.find(" sing-box started (") != std::string_view::npos &&
           trim_white_space_end(decoded).ends_with("s)");
}

bool is_info_line(std::string_view decoded) {
    return decoded.find(" INFO ") != std::string_view::npos || decoded.starts_with("INFO[");
}

// The line and its line feed are two writes; each takes the lock so that no other
// writer cuts into the line itself. Write errors are ignored: the journal is best effort.
void forward_line(std::string_view line, int sink) {
    {
        std::lock_guard guard(stderr_lock());
        (void)write_all(sink, line);
    }
    std::lock_guard guard(stderr_lock());
    (void)write_all(sink, "\n");
}

void handle_line(std::string_view line, std::atomic<bool>& started, int sink) {
    // The tests read the text; the journal gets the bytes exactly as sing-box wrote them.
    std::string decoded = lossy_utf8(line);
    if (is_start_line(decoded)) {
        started.store(true);
    } else if (started.load() && is_info_line(decoded)) {
        return;  // once running, INFO records (one per connection) would flood the journal
    }
    forward_line(line, sink);
}

}  // namespace

// `started` is taken by value on purpose: the thread's own reference keeps the flag alive
// for as long as it runs, whatever the start does with its copy.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void forward_singbox_log(std::shared_ptr<std::atomic<bool>> started, UniqueFd pipe, int sink) {
    std::string buffer(LOG_READ_BUFFER, '\0');
    std::string line;
    for (;;) {
        ssize_t count = read(pipe.get(), buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        std::string_view chunk(buffer.data(), static_cast<size_t>(count));
        for (size_t end = chunk.find('\n'); end != std::string_view::npos; end = chunk.find('\n')) {
            line.append(chunk.substr(0, end));
            handle_line(line, *started, sink);
            line.clear();
            chunk.remove_prefix(end + 1);
        }
        line.append(chunk);
    }
    if (!line.empty()) handle_line(line, *started, sink);
}

}  // namespace quorin
