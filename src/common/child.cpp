#include "common/child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace quorin {

namespace {

class SpawnFileActions {
public:
    SpawnFileActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// The helper ignores SIGPIPE; a core must start with default dispositions and an
// empty signal mask whatever the helper's own state. The set is the same for every
// child, so it is prepared once.
class SpawnAttributes {
public:
    SpawnAttributes() {
        posix_spawnattr_init(&attributes_);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigset_t empty;
        sigemptyset(&empty);
        error_ = posix_spawnattr_setsigdefault(&attributes_, &defaults);
        if (error_ == 0) error_ = posix_spawnattr_setsigmask(&attributes_, &empty);
        if (error_ == 0)
            error_ = posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    const posix_spawnattr_t* get() const { return &attributes_; }
    int error() const { return error_; }

private:
    posix_spawnattr_t attributes_;
    int error_ = 0;
};

const SpawnAttributes& spawn_attributes() {
    static const SpawnAttributes attributes;
    return attributes;
}

// Connects one standard stream; for a pipe, `parent_end` receives the helper's end.
int connect_stream(posix_spawn_file_actions_t* actions, Stdio mode, int target, UniqueFd& parent_end,
                   UniqueFd& child_end) {
    switch (mode) {
        case Stdio::inherit:
            return 0;
        case Stdio::null_device:
            return posix_spawn_file_actions_addopen(actions, target, "/dev/null", O_RDWR, 0);
        case Stdio::pipe: {
            int fds[2];
            if (pipe2(fds, O_CLOEXEC) != 0) return errno;
            bool child_reads = target == STDIN_FILENO;
            child_end.reset(fds[child_reads ? 0 : 1]);
            parent_end.reset(fds[child_reads ? 1 : 0]);
            return posix_spawn_file_actions_adddup2(actions, child_end.get(), target);
        }
    }
    return EINVAL;
}

// Only called when variables are to be set: otherwise the child gets `environ` itself.
std::vector<std::string> build_environment(const SpawnOptions& options) {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        bool replaced = false;
        for (const auto& [key, value] : options.extra_env) {
            if (text.size() > key.size() && text.starts_with(key) && text[key.size()] == '=') replaced = true;
        }
        if (!replaced) env.emplace_back(text);
    }
    for (const auto& [key, value] : options.extra_env) env.push_back(std::string(key).append("=").append(value));
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (auto& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// The child's environment: the helper's own as it is, or a copy with the added
// variables set.
class ChildEnvironment {
public:
    explicit ChildEnvironment(const SpawnOptions& options) {
        if (options.extra_env.empty()) return;
        texts_ = build_environment(options);
        pointers_ = pointers(texts_);
    }
    char** get() { return pointers_.empty() ? environ : pointers_.data(); }

private:
    std::vector<std::string> texts_;
    std::vector<char*> pointers_;
};

// Milliseconds left for poll: -1 without a deadline, 0 once it has passed.
int poll_timeout(std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    if (deadline == Clock::time_point::max()) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

}  // namespace

bool ExitStatus::success() const { return WIFEXITED(raw_) && WEXITSTATUS(raw_) == 0; }

std::string ExitStatus::text() const {
    if (WIFEXITED(raw_)) return "exit status: " + std::to_string(WEXITSTATUS(raw_));
    if (WIFSIGNALED(raw_)) {
        int sig = WTERMSIG(raw_);
        const char* abbrev = sigabbrev_np(sig);
        std::string text = "signal: " + std::to_string(sig);
        if (abbrev != nullptr) text += std::string(" (SIG") + abbrev + ")";
        if (WCOREDUMP(raw_)) text += " (core dumped)";
        return text;
    }
    return "unrecognized wait status: " + std::to_string(raw_);
}

Result<Child> Child::spawn(const SpawnOptions& options) {
    SpawnFileActions actions;
    const SpawnAttributes& attributes = spawn_attributes();
    if (attributes.error() != 0) return fail(Error::os(attributes.error()));

    UniqueFd in_parent, out_parent, err_parent, in_child, out_child, err_child;
    if (int rc = connect_stream(actions.get(), options.in, STDIN_FILENO, in_parent, in_child); rc != 0)
        return fail(Error::os(rc));
    if (int rc = connect_stream(actions.get(), options.out, STDOUT_FILENO, out_parent, out_child); rc != 0)
        return fail(Error::os(rc));
    if (int rc = connect_stream(actions.get(), options.err, STDERR_FILENO, err_parent, err_child); rc != 0)
        return fail(Error::os(rc));
    if (!options.working_dir.empty()) {
        if (int rc = posix_spawn_file_actions_addchdir_np(actions.get(), options.working_dir.c_str()); rc != 0)
            return fail(Error::os(rc));
    }
    // Everything the helper opens is close-on-exec already; this also keeps out
    // whatever the helper itself inherited from its parent.
    if (int rc = posix_spawn_file_actions_addclosefrom_np(actions.get(), 3); rc != 0) return fail(Error::os(rc));

    std::vector<std::string> argv_texts;
    argv_texts.push_back(options.program);
    argv_texts.insert(argv_texts.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv = pointers(argv_texts);
    ChildEnvironment environment(options);

    pid_t pid = -1;
    if (int rc =
            posix_spawn(&pid, options.program.c_str(), actions.get(), attributes.get(), argv.data(), environment.get());
        rc != 0)
        return fail(Error::os(rc));

    Child child(pid);
    // The child cannot be reaped before we wait for it, so its pid is still its own.
    if (int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); fd >= 0) child.pidfd_.reset(fd);
    child.stdin_ = std::move(in_parent);
    child.stdout_ = std::move(out_parent);
    child.stderr_ = std::move(err_parent);
    return child;
}

Result<std::optional<ExitStatus>> Child::try_wait() {
    if (status_) return status_;
    int raw = 0;
    pid_t rc = waitpid(pid_, &raw, WNOHANG);
    if (rc < 0) return fail_os();
    if (rc == 0) return std::optional<ExitStatus>();
    status_.emplace(raw);
    return status_;
}

Result<ExitStatus> Child::wait() {
    if (status_) return *status_;
    int raw = 0;
    while (waitpid(pid_, &raw, 0) < 0) {
        if (errno != EINTR) return fail_os();
    }
    status_.emplace(raw);
    return *status_;
}

Result<void> Child::kill(int signal) {
    if (status_) return fail(Error::os(ESRCH));
    // Through the pidfd where there is one: it can never reach a recycled pid.
    int rc = pidfd_ ? static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd_.get(), signal, nullptr, 0))
                    : ::kill(pid_, signal);
    if (rc != 0) return fail_os();
    return {};
}

void Child::kill_and_reap() {
    if (status_) return;
    (void)kill(SIGKILL);
    (void)wait();
}

Result<void> Child::read_streams(std::string& out, std::string& err, Deadline deadline) {
    UniqueFd* ends[2] = {&stdout_, &stderr_};
    std::string* sinks[2] = {&out, &err};
    char buffer[8192];
    while (stdout_.valid() || stderr_.valid()) {
        pollfd fds[2];
        nfds_t count = 0;
        int which[2];
        for (int i = 0; i < 2; ++i) {
            if (ends[i]->valid()) {
                fds[count] = {ends[i]->get(), POLLIN, 0};
                which[count++] = i;
            }
        }
        // Checked before the poll: a child that writes without end must not outlast it.
        const int timeout = poll_timeout(deadline);
        if (timeout == 0) return fail(Error::os(ETIMEDOUT));
        int ready = poll(fds, count, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return fail_os();
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ends[which[i]]->reset();
            } else {
                sinks[which[i]]->append(buffer, static_cast<size_t>(n));
            }
        }
    }
    return {};
}

// A child may close its streams and keep running; the deadline holds for its end too.
Result<ExitStatus> Child::wait_until(Deadline deadline) {
    if (deadline == Deadline::max()) return wait();
    for (;;) {
        if (pidfd_) {
            pollfd exited = {pidfd_.get(), POLLIN, 0};
            int ready = poll(&exited, 1, poll_timeout(deadline));
            if (ready < 0 && errno != EINTR) return fail_os();
            if (ready > 0) return wait();
        } else {
            auto ended = try_wait();
            if (!ended) return fail(ended.error());
            if (ended->has_value()) return **ended;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (std::chrono::steady_clock::now() >= deadline) return fail(Error::os(ETIMEDOUT));
    }
}

Result<CapturedOutput> Child::collect(std::optional<std::chrono::milliseconds> limit) {
    const Deadline deadline = limit ? std::chrono::steady_clock::now() + *limit : Deadline::max();
    std::string out, err;
    Result<void> read = read_streams(out, err, deadline);
    Result<ExitStatus> status = read ? wait_until(deadline) : fail(read.error());
    if (!status) {
        kill_and_reap();
        return fail(status.error());
    }
    return CapturedOutput{std::move(out), std::move(err), *status};
}

void Child::close_descriptors() {
    pidfd_.reset();
    stdin_.reset();
    stdout_.reset();
    stderr_.reset();
}

}  // namespace quorin
