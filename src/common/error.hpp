#pragma once

#include <expected>
#include <memory>
#include <string>
#include <utility>

namespace quorin {

// One message and, optionally, the error that caused it. The outermost message is
// what a client sees; the whole chain is what a failed subcommand prints.
class Error {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}
    Error(std::string message, Error cause)
        : message_(std::move(message)), cause_(std::make_shared<const Error>(std::move(cause))) {}

    // The operating system's text for an error number: "<strerror> (os error N)".
    static Error os(int errnum);
    // Wraps the current errno.
    static Error last_os();

    const std::string& message() const { return message_; }
    const Error* cause() const { return cause_.get(); }
    // The message followed by ": " and each cause in turn.
    std::string chain() const;

private:
    std::string message_;
    std::shared_ptr<const Error> cause_;
};

template <class T>
class [[nodiscard]] Result : public std::expected<T, Error> {
public:
    using std::expected<T, Error>::expected;
    Result(std::expected<T, Error> other) : std::expected<T, Error>(std::move(other)) {}
};

inline std::unexpected<Error> fail(std::string message) { return std::unexpected(Error(std::move(message))); }
inline std::unexpected<Error> fail(std::string message, Error cause) {
    return std::unexpected(Error(std::move(message), std::move(cause)));
}
inline std::unexpected<Error> fail(Error error) { return std::unexpected(std::move(error)); }
inline std::unexpected<Error> fail_os() { return std::unexpected(Error::last_os()); }

}  // namespace quorin
