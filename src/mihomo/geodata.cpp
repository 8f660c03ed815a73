#include "mihomo/geodata.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "common/files.hpp"
#include "common/unique_fd.hpp"

namespace quorin {

namespace {

constexpr size_t COPY_CHUNK = size_t{1} << 30;
constexpr size_t BUFFER_BYTES = size_t{1} << 17;

constexpr std::string_view TEMPORARY_PREFIX = ".quorin-";

std::string temporary_name() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_lower(id, text);
    return std::string(TEMPORARY_PREFIX) + text;
}

// Exactly the names temporary_name() gives: the prefix and a lower-case UUID.
bool is_temporary_name(std::string_view name) {
    if (!name.starts_with(TEMPORARY_PREFIX)) return false;
    name.remove_prefix(TEMPORARY_PREFIX.size());
    if (name.size() != 36) return false;
    for (size_t pos = 0; pos < name.size(); ++pos) {
        char c = name[pos];
        bool lower_hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        bool fits = (pos == 8 || pos == 13 || pos == 18 || pos == 23) ? c == '-' : lower_hex;
        if (!fits) return false;
    }
    return true;
}

// Calls `visit` with the directory's descriptor and the name of each of its entries but
// "." and "..". Takes `dir`; nothing happens when it is not an open directory.
void for_each_entry(UniqueFd dir, const std::function<void(int, const char*)>& visit) {
    if (!dir) return;
    std::unique_ptr<DIR, int (*)(DIR*)> entries(fdopendir(dir.get()), closedir);
    if (!entries) return;
    (void)dir.release();  // closedir closes it now
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the stream is this function's own
    while (const dirent* entry = readdir(entries.get())) {
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") visit(dirfd(entries.get()), entry->d_name);
    }
}

// A helper killed mid-copy leaves its temporary behind, up to 256 MiB of it. unlinkat
// never follows a link and refuses a directory, which is then left alone.
void remove_stale_temporaries(const std::string& working_dir) {
    for_each_entry(UniqueFd(open(working_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
                   [](int dir, const char* name) {
                       if (is_temporary_name(name)) (void)unlinkat(dir, name, 0);
                   });
}

constexpr int MAX_REMOVED_DEPTH = 64;

// Removes the entry `name` of the directory `parent`, a directory with all it holds.
// Descends by descriptor and never follows a link, so that nothing a core planted can
// point the removal elsewhere; a tree deeper than MAX_REMOVED_DEPTH stays.
void remove_entry(int parent, const char* name, int depth = 0) {
    if (unlinkat(parent, name, 0) == 0 || (errno != EISDIR && errno != EPERM)) return;
    if (depth >= MAX_REMOVED_DEPTH) return;
    for_each_entry(UniqueFd(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)),
                   [&](int dir, const char* child) { remove_entry(dir, child, depth + 1); });
    (void)unlinkat(parent, name, AT_REMOVEDIR);
}

bool is_geodata_name(std::string_view name) {
    return std::any_of(GEODATA_FILES.begin(), GEODATA_FILES.end(),
                       [&](const GeodataFile& file) { return name == file.target; });
}

// Every entry of the working directory but the GeoData copies that are regular files
// (with `keep_copies`), or only what stands at a GeoData name and is not a regular file.
void clear_entries(const std::string& working_dir, bool keep_copies) {
    UniqueFd dir(open(working_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return;
    std::vector<std::string> doomed;
    for_each_entry(UniqueFd(fcntl(dir.get(), F_DUPFD_CLOEXEC, 0)), [&](int listed, const char* name) {
        struct stat st {};
        const bool geodata = is_geodata_name(name);
        const bool copy = geodata && fstatat(listed, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
        if (geodata ? !copy : !keep_copies) doomed.emplace_back(name);
    });
    for (const auto& name : doomed) remove_entry(dir.get(), name.c_str());
}

// The temporary copy. Until it is committed, dropping it removes the file; a file that
// was never created here is never removed.
class TemporaryFile {
public:
    // Created with the core's file-system ids: the file is born the core's, in a
    // directory the core may write, and no root privilege is used on its path.
    static Result<TemporaryFile> create(std::string path, uid_t owner, gid_t group) {
        auto fd = [&]() -> Result<UniqueFd> {
            FileIds ids(owner, group);
            if (auto taken = ids.taken(); !taken) return fail(taken.error());
            return open_file(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
        }();
        if (!fd) return fail(fd.error());
        return TemporaryFile(std::move(path), std::move(*fd));
    }
    TemporaryFile(TemporaryFile&& other) noexcept
        : path_(std::exchange(other.path_, std::string())), fd_(std::move(other.fd_)) {}
    TemporaryFile& operator=(TemporaryFile&&) = delete;
    ~TemporaryFile() {
        fd_.reset();
        if (!path_.empty()) (void)unlink(path_.c_str());
    }

    int fd() const { return fd_.get(); }
    Result<void> commit(const std::string& final_path) {
        if (fsync(fd_.get()) != 0) return fail_os();
        if (rename(path_.c_str(), final_path.c_str()) != 0) return fail_os();
        path_.clear();
        return {};
    }

private:
    TemporaryFile(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}

    std::string path_;
    UniqueFd fd_;
};

Result<void> copy_by_read_write(int from, int to) {
    std::vector<char> buffer(BUFFER_BYTES);
    for (;;) {
        ssize_t n = read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail_os();
        if (n == 0) return {};
        if (auto written = write_all(to, std::string_view(buffer.data(), static_cast<size_t>(n))); !written)
            return written;
    }
}

bool in_kernel_copy_unsupported(int errnum) {
    return errnum == EXDEV || errnum == ENOSYS || errnum == EINVAL || errnum == EOPNOTSUPP;
}

// Streams the whole source from its current offset. Some file systems refuse the
// in-kernel copy or report an early end without copying; the plain loop then takes
// over from where the offsets stand.
Result<void> copy_bytes(int from, int to) {
    bool copied_any = false;
    for (;;) {
        ssize_t n = copy_file_range(from, nullptr, to, nullptr, COPY_CHUNK, 0);
        if (n > 0) {
            copied_any = true;
            continue;
        }
        if (n == 0) return copied_any ? Result<void>() : copy_by_read_write(from, to);
        if (errno == EINTR) continue;
        if (in_kernel_copy_unsupported(errno)) return copy_by_read_write(from, to);
        return fail_os();
    }
}

Result<void> copy_through_temporary(const std::string& source, const std::string& working_dir,
                                    const std::string& target, uid_t owner, gid_t group) {
    auto temporary = TemporaryFile::create(join_path(working_dir, temporary_name()), owner, group);
    if (!temporary) return fail(temporary.error());
    {
        auto input = open_file(source, O_RDONLY);
        if (!input) return fail(input.error());
        if (auto copied = copy_bytes(input->get(), temporary->fd()); !copied) return copied;
    }
    return temporary->commit(join_path(working_dir, target));
}

Result<void> prepare_one(const GeodataFile& file, const std::string& core_dir, const std::string& working_dir,
                         uid_t owner, gid_t group) {
    std::string name(file.source);
    std::string source = join_path(core_dir, file.source);
    struct stat st {};
    if (stat(source.c_str(), &st) != 0) return fail("нет встроенного " + name, Error::last_os());
    if (!S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > GEODATA_MAX_BYTES)
        return fail("некорректный встроенный " + name);
    if (auto copied = copy_through_temporary(source, working_dir, std::string(file.target), owner, group); !copied)
        return fail("не удалось подготовить " + name + " для Mihomo", copied.error());
    return {};
}

}  // namespace

void clear_working_dir(const std::string& working_dir) { clear_entries(working_dir, false); }

Result<void> prepare_geodata(const std::string& core_dir, const std::string& working_dir, uid_t owner, gid_t group) {
    remove_stale_temporaries(working_dir);
    clear_entries(working_dir, true);
    for (const GeodataFile& file : GEODATA_FILES) {
        if (auto prepared = prepare_one(file, core_dir, working_dir, owner, group); !prepared) return prepared;
    }
    return {};
}

}  // namespace quorin
