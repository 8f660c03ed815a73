#include "common/child.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "common/files.hpp"
#include "common/syscall_filter.hpp"

namespace quorin {

namespace {

// The child of a CLONE_VM | CLONE_VFORK clone shares the helper's memory until it execs,
// and the helper's other threads go on meanwhile: it must not allocate, lock, or call
// anything that touches shared state, the sanitizers' included. So it runs on a stack of
// its own, makes raw system calls only (the C library's setresuid and the like would
// change the credentials of every thread of the helper), and everything it needs is
// prepared here beforehand.
#define CHILD_SIDE __attribute__((no_sanitize("address", "undefined")))

constexpr size_t CHILD_STACK_BYTES = size_t{64} << 10;
constexpr int CHILD_FAILED = 127;

struct ChildPlan {
    const char* program = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    int streams[3] = {-1, -1, -1};  // placed on 0, 1 and 2; -1 keeps the helper's own
    const char* working_dir = nullptr;
    const Credentials* credentials = nullptr;
    const sock_fprog* filter = nullptr;  // with credentials: installed once they are taken
    int signal_everyone = 0;
    int error = 0;  // set by the child when a step fails; read once the parent resumes
};

// The kernel's struct sigaction, as rt_sigaction takes it; every member holds its place.
struct KernelSigaction {
    void* handler;
    // cppcheck-suppress unusedStructMember
    unsigned long flags;
    // cppcheck-suppress unusedStructMember
    void* restorer;
    uint64_t mask;
};

// A handler of the helper would run in the helper's memory: every handled signal goes
// back to its default, and so does SIGPIPE, which the helper ignores. Other ignored
// signals stay ignored, as exec itself leaves them.
CHILD_SIDE void reset_signal_dispositions() {
    const KernelSigaction default_action{};
    for (long sig = 1; sig < 65; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        KernelSigaction current{};
        if (syscall(SYS_rt_sigaction, sig, nullptr, &current, sizeof current.mask) != 0) continue;
        const bool handled = current.handler != nullptr && current.handler != reinterpret_cast<void*>(SIG_IGN);
        if (handled || sig == SIGPIPE)
            (void)syscall(SYS_rt_sigaction, sig, &default_action, nullptr, sizeof default_action.mask);
    }
}

CHILD_SIDE bool place_streams(const ChildPlan& plan) {
    for (long target = 0; target < 3; ++target) {
        const long fd = plan.streams[target];
        if (fd < 0) continue;
        // dup3 refuses to copy a descriptor onto itself; that one only loses close-on-exec.
        const long rc = fd == target ? syscall(SYS_fcntl, fd, F_SETFD, 0L) : syscall(SYS_dup3, fd, target, 0L);
        if (rc < 0) return false;
    }
    return true;
}

// Leaves root for the account: no supplementary groups, its gid and uid for real,
// effective and saved ids, exactly `capabilities` kept across the change of uid and
// raised into the ambient set so that they survive exec, and no new privileges.
CHILD_SIDE bool take_credentials(const Credentials& account) {
    const long uid = account.uid, gid = account.gid;
    if (syscall(SYS_setgroups, 0L, nullptr) != 0) return false;
    if (syscall(SYS_setresgid, gid, gid, gid) != 0) return false;
    if (syscall(SYS_prctl, long{PR_SET_KEEPCAPS}, 1L, 0L, 0L, 0L) != 0) return false;
    if (syscall(SYS_setresuid, uid, uid, uid) != 0) return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[2] = {};
    for (int word = 0; word < 2; ++word) {
        const auto bits = static_cast<uint32_t>(account.capabilities >> (32 * word));
        sets[word] = {bits, bits, bits};
    }
    if (syscall(SYS_capset, &header, sets) != 0) return false;
    for (long capability = 0; capability < 64; ++capability) {
        if ((account.capabilities >> capability & 1) == 0) continue;
        if (syscall(SYS_prctl, long{PR_CAP_AMBIENT}, long{PR_CAP_AMBIENT_RAISE}, capability, 0L, 0L) != 0) return false;
    }
    return syscall(SYS_prctl, long{PR_SET_NO_NEW_PRIVS}, 1L, 0L, 0L, 0L) == 0;
}

// The child's whole life: each step either succeeds or ends it with the errno left in
// the plan. The parent is suspended until the exec or the exit.
CHILD_SIDE int run_child(void* argument) {
    ChildPlan& plan = *static_cast<ChildPlan*>(argument);
    reset_signal_dispositions();
    bool ready = place_streams(plan) && (plan.working_dir == nullptr || syscall(SYS_chdir, plan.working_dir) == 0);
    // Everything the helper opens is close-on-exec already; this also keeps out
    // whatever the helper itself inherited from its parent.
    ready = ready && syscall(SYS_close_range, 3L, long{~0U}, 0L) == 0;
    ready = ready && (plan.credentials == nullptr || take_credentials(*plan.credentials));
    // No new privileges is set by now, which the kernel asks of an unprivileged filter.
    // prctl rather than seccomp(2): the unit's own filter allows only the former.
    ready = ready && (plan.filter == nullptr ||
                      syscall(SYS_prctl, long{PR_SET_SECCOMP}, long{SECCOMP_MODE_FILTER}, plan.filter, 0L, 0L) == 0);
    if (ready && plan.signal_everyone != 0) {
        // Reaches every process of the same uid but the caller; with none left, ESRCH.
        (void)syscall(SYS_kill, -1L, long{plan.signal_everyone});
        (void)syscall(SYS_exit_group, 0L);
    }
    if (ready) {
        const uint64_t empty_mask = 0;
        ready = syscall(SYS_rt_sigprocmask, long{SIG_SETMASK}, &empty_mask, nullptr, sizeof empty_mask) == 0;
    }
    if (ready) (void)syscall(SYS_execve, plan.program, plan.argv, plan.envp);
    plan.error = errno;
    (void)syscall(SYS_exit_group, long{CHILD_FAILED});
    return CHILD_FAILED;
}

// A stack for the child, with an inaccessible page below it so that an overflow faults.
class ChildStack {
public:
    ChildStack() {
        void* mapping = mmap(nullptr, CHILD_STACK_BYTES + page(), PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (mapping == MAP_FAILED) return;
        base_ = mapping;
        if (mprotect(base_, page(), PROT_NONE) != 0) error_ = errno;
    }
    ~ChildStack() {
        if (base_ != nullptr) munmap(base_, CHILD_STACK_BYTES + page());
    }
    ChildStack(const ChildStack&) = delete;
    ChildStack& operator=(const ChildStack&) = delete;

    // The error of setting it up, 0 when it is usable.
    int error() const { return base_ == nullptr ? ENOMEM : error_; }
    void* top() const { return static_cast<char*>(base_) + page() + CHILD_STACK_BYTES; }

private:
    static size_t page() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }
    void* base_ = nullptr;
    int error_ = 0;
};

// While the child runs in the helper's memory no signal handler may run in it: every
// signal is blocked around the clone, and the child unblocks them itself before exec.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t saved_;
};

// Connects one standard stream: the descriptor the child places on it, or -1 to keep the
// helper's. For a pipe, `parent_end` receives the helper's end and `child_end` the other.
Result<int> connect_stream(Stdio mode, int target, const UniqueFd& null_device, UniqueFd& parent_end,
                           UniqueFd& child_end) {
    switch (mode) {
        case Stdio::inherit:
            return -1;
        case Stdio::null_device:
            return null_device.get();
        case Stdio::pipe: {
            int fds[2];
            if (pipe2(fds, O_CLOEXEC) != 0) return fail_os();
            bool child_reads = target == STDIN_FILENO;
            child_end.reset(fds[child_reads ? 0 : 1]);
            parent_end.reset(fds[child_reads ? 1 : 0]);
            return child_end.get();
        }
    }
    return fail(Error::os(EINVAL));
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
    const bool needs_null_device =
        options.in == Stdio::null_device || options.out == Stdio::null_device || options.err == Stdio::null_device;
    UniqueFd null_device;
    if (needs_null_device) {
        auto opened = open_file("/dev/null", O_RDWR);
        if (!opened) return fail(opened.error());
        null_device = std::move(*opened);
    }
    ChildPlan plan;
    const Stdio modes[3] = {options.in, options.out, options.err};
    UniqueFd parent_ends[3], child_ends[3];
    for (int target = 0; target < 3; ++target) {
        auto stream = connect_stream(modes[target], target, null_device, parent_ends[target], child_ends[target]);
        if (!stream) return fail(stream.error());
        plan.streams[target] = *stream;
    }

    std::vector<std::string> argv_texts;
    argv_texts.push_back(options.program);
    argv_texts.insert(argv_texts.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv = pointers(argv_texts);
    ChildEnvironment environment(options);
    plan.program = options.program.c_str();
    plan.argv = argv.data();
    plan.envp = environment.get();
    if (!options.working_dir.empty()) plan.working_dir = options.working_dir.c_str();
    if (options.credentials) {
        plan.credentials = &*options.credentials;
        plan.filter = &core_syscall_filter();
    }
    plan.signal_everyone = options.signal_everyone;

    ChildStack stack;
    if (stack.error() != 0) return fail(Error::os(stack.error()));
    pid_t pid = -1;
    {
        SignalsBlocked blocked;
        pid = clone(run_child, stack.top(), CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    }
    if (pid < 0) return fail_os();
    Child child(pid);
    if (plan.error != 0) {
        (void)child.wait();  // it has exited already
        return fail(Error::os(plan.error));
    }
    // The child cannot be reaped before we wait for it, so its pid is still its own.
    if (int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); fd >= 0) child.pidfd_.reset(fd);
    child.stdin_ = std::move(parent_ends[0]);
    child.stdout_ = std::move(parent_ends[1]);
    child.stderr_ = std::move(parent_ends[2]);
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
                explicit_bzero(buffer, static_cast<size_t>(n));  // a check's output may quote its configuration
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
