#include "common/error.hpp"

#include <cerrno>
#include <cstring>

namespace quorin {

Error Error::os(int errnum) {
    // strerror may share one buffer between threads; the log thread reports errors too.
    char buffer[256];
    const char* text = strerror_r(errnum, buffer, sizeof buffer);
    return Error(std::string(text) + " (os error " + std::to_string(errnum) + ")");
}

Error Error::last_os() { return os(errno); }

std::string Error::chain() const {
    std::string text = message_;
    for (const Error* c = cause(); c != nullptr; c = c->cause()) {
        text += ": ";
        text += c->message();
    }
    return text;
}

}  // namespace quorin
