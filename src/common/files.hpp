#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/unique_fd.hpp"

namespace quorin {

// The helper's fixed directories.
struct HelperDirs {
    std::string state_dir = "/var/lib/quorin";
    std::string cache_dir = "/var/cache/quorin";
    std::string run_dir = "/run/quorin";
};

// Appends one component; a component that begins with '/' replaces the path.
std::string join_path(std::string_view base, std::string_view component);
// Follows symbolic links; any failure to examine counts as "not a regular file".
bool is_regular_file(const std::string& path);
// True when the path can be examined, following symbolic links.
bool path_exists(const std::string& path);

// Opens the directory at `path`, first creating it and any missing parents with exactly
// `mode`, whatever the umask. Existing directories keep their modes; symbolic links among
// existing components are followed, as mkdir -p does.
Result<UniqueFd> create_directories(const std::string& path, mode_t mode);
// Opens the directory `name` under `parent`, first creating it with exactly `mode`; a
// symbolic link or any other file there is an error. The descriptor is O_RDONLY.
Result<UniqueFd> create_directory_at(int parent, const std::string& name, mode_t mode);
// Writes all of `data`, EINTR retried.
Result<void> write_all(int fd, std::string_view data);
// Reads the whole file.
Result<std::string> read_file(const std::string& path);
// open(2) with O_CLOEXEC added.
Result<UniqueFd> open_file(const std::string& path, int flags, mode_t mode = 0);

}  // namespace quorin
