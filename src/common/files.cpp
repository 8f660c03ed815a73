#include "common/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quorin {

std::string join_path(std::string_view base, std::string_view component) {
    if (component.starts_with('/')) return std::string(component);
    std::string path(base);
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

Result<void> create_directories(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0777) == 0 || errno == EEXIST) continue;
        return fail_os();
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return fail_os();
    if (!S_ISDIR(st.st_mode)) return fail(Error::os(EEXIST));
    return {};
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

Result<std::string> read_file(const std::string& path) {
    auto fd = open_file(path, O_RDONLY);
    if (!fd) return fail(fd.error());
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd->get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_os();
        }
        if (n == 0) return content;
        content.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace quorin
