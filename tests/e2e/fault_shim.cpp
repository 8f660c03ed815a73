// Preloaded into quorin-helper by the fault tests (LD_PRELOAD) to make one chosen call
// fail where strace cannot single it out: on files whose names are random, such as the
// temporary GeoData copies (strace's path filter needs the exact path), and thread
// creation (strace cannot tell a thread's clone3 from the one of posix_spawn).
//
// QUORIN_FAULTS="CALL:ERRNO:FRAGMENT[;CALL:ERRNO:FRAGMENT...]": the first call of CALL
// (open, write, copy_file_range, or poll of a single descriptor without waiting) on a
// file whose path contains FRAGMENT fails with ERRNO (a number) without being made.
// Each rule fires once, so the helper can be seen working normally afterwards; an ERRNO
// of 0 lets its call through, so that a following rule of the same call fails the next
// one. For copy_file_range the destination is matched; pthread_create has no file and
// takes an empty FRAGMENT. Every fired rule appends "CALL PATH" to QUORIN_FAULTS_LOG
// when that is set.
//
// The constructor removes LD_PRELOAD and the two variables from the environment, so
// nothing the helper starts inherits the shim.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

namespace {

struct Rule {
    std::string call;
    int error;
    std::string fragment;
    std::atomic<bool> fired{false};
};

std::deque<Rule>* rules = nullptr;
// Opened once, as the helper starts: a call may fail while the helper's thread has the
// file-system ids of the cores' account, which may not open the log.
int log_fd = -1;

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

std::string descriptor_path(int fd) {
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target);
    return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

void note(const Rule& rule, const std::string& path) {
    if (log_fd < 0) return;
    static auto real_write = next<ssize_t (*)(int, const void*, size_t)>("write");
    std::string line = rule.call + " " + path + "\n";
    (void)real_write(log_fd, line.data(), line.size());
}

// True, with errno set, when this call is the one to fail.
bool fails(const char* call, const std::string& path) {
    if (rules == nullptr || path.empty()) return false;
    for (Rule& rule : *rules) {
        if (rule.call != call || path.find(rule.fragment) == std::string::npos) continue;
        if (rule.fired.exchange(true)) continue;
        if (rule.error == 0) return false;
        note(rule, path);
        errno = rule.error;
        return true;
    }
    return false;
}

bool fails_on_fd(const char* call, int fd) {
    if (rules == nullptr) return false;
    bool wanted = false;
    for (const Rule& rule : *rules) wanted |= rule.call == call && !rule.fired.load();
    return wanted && fails(call, descriptor_path(fd));
}

__attribute__((constructor)) void read_rules() {
    const char* text = std::getenv("QUORIN_FAULTS");
    if (text != nullptr) {
        rules = new std::deque<Rule>();
        std::string all(text);
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find(';', start);
            if (end == std::string::npos) end = all.size();
            std::string item = all.substr(start, end - start);
            size_t first = item.find(':');
            size_t second = first == std::string::npos ? first : item.find(':', first + 1);
            if (second != std::string::npos) {
                Rule& rule = rules->emplace_back();
                rule.call = item.substr(0, first);
                rule.error = std::atoi(item.substr(first + 1, second - first - 1).c_str());
                rule.fragment = item.substr(second + 1);
            }
            start = end + 1;
        }
    }
    if (const char* log = std::getenv("QUORIN_FAULTS_LOG"))
        log_fd = next<int (*)(const char*, int, ...)>("open")(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    unsetenv("QUORIN_FAULTS");
    unsetenv("QUORIN_FAULTS_LOG");
    unsetenv("LD_PRELOAD");
}

int open_with(const char* name, const char* path, int flags, va_list more) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) mode = va_arg(more, mode_t);
    if (fails("open", path)) return -1;
    static auto real_open = next<int (*)(const char*, int, ...)>(name);
    return real_open(path, flags, mode);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list more;
    va_start(more, flags);
    int fd = open_with("open", path, flags, more);
    va_end(more);
    return fd;
}

int open64(const char* path, int flags, ...) {
    va_list more;
    va_start(more, flags);
    int fd = open_with("open64", path, flags, more);
    va_end(more);
    return fd;
}

ssize_t write(int fd, const void* data, size_t size) {
    if (fails_on_fd("write", fd)) return -1;
    static auto real_write = next<ssize_t (*)(int, const void*, size_t)>("write");
    return real_write(fd, data, size);
}

// glibc declares poll's array write-only, so reading the caller's descriptor looks like
// a read of uninitialised memory to the compiler; the caller did fill it in.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
int poll(struct pollfd* fds, nfds_t count, int timeout) {
    if (count == 1 && timeout == 0 && fails_on_fd("poll", fds[0].fd)) return -1;
    static auto real_poll = next<int (*)(struct pollfd*, nfds_t, int)>("poll");
    return real_poll(fds, count, timeout);
}
#pragma GCC diagnostic pop

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
    if (fails("pthread_create", "thread")) return errno;
    static auto real_create =
        next<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
    return real_create(thread, attributes, start, argument);
}

ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset, size_t size, unsigned int flags) {
    if (fails_on_fd("copy_file_range", out)) return -1;
    static auto real_copy = next<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned int)>("copy_file_range");
    return real_copy(in, in_offset, out, out_offset, size, flags);
}

}  // extern "C"
