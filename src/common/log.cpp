#include "common/log.hpp"

#include <unistd.h>

#include <string>

#include "common/files.hpp"

namespace quorin {

std::mutex& stderr_lock() {
    static std::mutex lock;
    return lock;
}

void write_stderr(std::string_view bytes) {
    std::lock_guard guard(stderr_lock());
    (void)write_all(STDERR_FILENO, bytes);
}

void log_line(std::string_view text) {
    std::string line(text);
    line += '\n';
    write_stderr(line);
}

}  // namespace quorin
