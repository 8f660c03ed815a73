#pragma once

#include <mutex>
#include <string_view>

namespace quorin {

// The process-wide standard-error lock: every write to standard error takes it, so a
// write from one thread is never cut by another's.
std::mutex& stderr_lock();
// Writes the bytes to standard error under the lock; errors are ignored.
void write_stderr(std::string_view bytes);
// Writes the text and a line feed as one write.
void log_line(std::string_view text);

}  // namespace quorin
