#include "common/child.hpp"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fcntl.h>

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

class SpawnAttributes {
public:
    SpawnAttributes() { posix_spawnattr_init(&attributes_); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// The helper ignores SIGPIPE; a core must start with default dispositions and an
// empty signal mask whatever the helper's own state.
int prepare_attributes(posix_spawnattr_t* attributes) {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t empty;
    sigemptyset(&empty);
    if (int rc = posix_spawnattr_setsigdefault(attributes, &defaults); rc != 0) return rc;
    if (int rc = posix_spawnattr_setsigmask(attributes, &empty); rc != 0) return rc;
    return posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
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
    SpawnAttributes attributes;
    if (int rc = prepare_attributes(attributes.get()); rc != 0) return fail(Error::os(rc));

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
    std::vector<std::string> env_texts = build_environment(options);
    std::vector<char*> argv = pointers(argv_texts);
    std::vector<char*> envp = pointers(env_texts);

    pid_t pid = -1;
    if (int rc = posix_spawn(&pid, options.program.c_str(), actions.get(), attributes.get(), argv.data(), envp.data());
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

Result<CapturedOutput> Child::collect(std::optional<std::chrono::milliseconds> limit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
    std::string out, err;
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
        int timeout = -1;
        if (limit) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                (void)kill(SIGKILL);
                (void)wait();
                return fail(Error::os(ETIMEDOUT));
            }
            timeout = static_cast<int>(std::min<long long>(left, 1 << 30));
        }
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
    // The streams are closed but the process may linger; the deadline still holds.
    if (limit && pidfd_.valid()) {
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd exited = {pidfd_.get(), POLLIN, 0};
            int ready = left > 0 ? poll(&exited, 1, static_cast<int>(std::min<long long>(left, 1 << 30))) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                (void)kill(SIGKILL);
                (void)wait();
                return fail(Error::os(ETIMEDOUT));
            }
            break;
        }
    }
    Result<ExitStatus> status = wait();
    if (!status) return fail(status.error());
    return CapturedOutput{std::move(out), std::move(err), *status};
}

void Child::close_descriptors() {
    pidfd_.reset();
    stdin_.reset();
    stdout_.reset();
    stderr_.reset();
}

}  // namespace quorin
