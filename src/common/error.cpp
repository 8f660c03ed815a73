#include "common/error.hpp"

#include <cerrno>
#include <cstring>

namespace quorin {

Error Error::os(int errnum) {
    return Error(std::string(strerror(errnum)) + " (os error " + std::to_string(errnum) + ")");
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
