#pragma once

#include <sys/types.h>

#include <cstdint>
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

inline constexpr const char* SOCKET_PATH = "/run/quorin/helper.sock";
// One root-owned file per user that `setup` has authorised, named by the uid.
inline constexpr const char* MARKER_DIR = "/var/lib/quorin/authorized-users";

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
// Reads to the end, EINTR retried, but stops once more than `limit` bytes have come: a
// result longer than the limit stands for a larger input without holding all of it.
Result<std::string> read_to_end(int fd, size_t limit = SIZE_MAX);
Result<std::string> read_file(const std::string& path, size_t limit = SIZE_MAX);
// open(2) with O_CLOEXEC added.
Result<UniqueFd> open_file(const std::string& path, int flags, mode_t mode = 0);

// While it lives, the calling thread's file-system uid and gid are these (other threads
// keep theirs): the files it creates belong to them, and the owner of a file may give
// it to `gid`, since the file-system gid counts as a group the caller is in. That is how
// root gives files to a core's group without the capability to change owners. A uid
// other than 0 also sets aside, for as long, the capabilities that override file modes.
class FileIds {
public:
    FileIds(uid_t uid, gid_t gid);
    ~FileIds();
    FileIds(const FileIds&) = delete;
    FileIds& operator=(const FileIds&) = delete;

    // The operating system's error when the ids could not be taken (the old ones are kept).
    Result<void> taken() const;

private:
    uid_t saved_uid_;
    gid_t saved_gid_;
    bool taken_ = false;
};

}  // namespace quorin
