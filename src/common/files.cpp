#include "common/files.hpp"

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace quorin {

std::string join_path(std::string_view base, std::string_view component) {
    if (component.starts_with('/')) return std::string(component);
    std::string path;
    path.reserve(base.size() + 1 + component.size());
    path += base;
    if (!path.ends_with('/')) path += '/';
    path += component;
    return path;
}

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool path_exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

namespace {

Result<UniqueFd> open_or_make_directory(int parent, const std::string& name, mode_t mode, bool follow_existing) {
    bool made = mkdirat(parent, name.c_str(), mode) == 0;
    if (!made && errno != EEXIST) return fail_os();
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_existing && !made ? 0 : O_NOFOLLOW);
    UniqueFd dir(openat(parent, name.c_str(), flags));
    if (!dir) return fail_os();
    // mkdir takes the umask off, and the umask is whatever our caller had.
    if (made && fchmod(dir.get(), mode) != 0) return fail_os();
    return dir;
}

}  // namespace

Result<UniqueFd> create_directories(const std::string& path, mode_t mode) {
    UniqueFd dir(open(path.starts_with('/') ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return fail_os();
    for (size_t start = 0; start < path.size();) {
        size_t end = std::min(path.find('/', start), path.size());
        if (end > start) {
            auto next = open_or_make_directory(dir.get(), path.substr(start, end - start), mode, true);
            if (!next) return next;
            dir = std::move(*next);
        }
        start = end + 1;
    }
    return dir;
}

Result<UniqueFd> create_directory_at(int parent, const std::string& name, mode_t mode) {
    return open_or_make_directory(parent, name, mode, false);
}

Result<void> write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_os();
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return {};
}

Result<UniqueFd> open_file(const std::string& path, int flags, mode_t mode) {
    int fd = open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) return fail_os();
    return UniqueFd(fd);
}

Result<std::string> read_to_end(int fd, size_t limit) {
    std::string content;
    std::vector<char> buffer(size_t{1} << 16);
    for (;;) {
        ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_os();
        }
        if (n == 0) return content;
        content.append(buffer.data(), static_cast<size_t>(n));
        if (content.size() > limit) return content;
    }
}

Result<std::string> read_file(const std::string& path, size_t limit) {
    auto fd = open_file(path, O_RDONLY);
    if (!fd) return fail(fd.error());
    return read_to_end(fd->get(), limit);
}

// setfsuid and setfsgid report no error: a refused change shows as the old id when
// asked again (an id of -1 only asks).
FileIds::FileIds(uid_t uid, gid_t gid)
    : saved_uid_(static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)))),
      saved_gid_(static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)))) {
    (void)setfsgid(gid);
    (void)setfsuid(uid);
    taken_ = static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == gid &&
             static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == uid;
}

FileIds::~FileIds() {
    // The uid first: back at 0 it brings the file capabilities back.
    (void)setfsuid(saved_uid_);
    (void)setfsgid(saved_gid_);
}

Result<void> FileIds::taken() const {
    if (!taken_) return fail(Error::os(EPERM));
    return {};
}

}  // namespace quorin
