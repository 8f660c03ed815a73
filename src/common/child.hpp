#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/unique_fd.hpp"

namespace quorin {

// How one standard stream of a child is connected.
enum class Stdio { null_device, pipe, inherit };

// An unprivileged account for a child: its uid and gid, no supplementary groups, no new
// privileges, and the capabilities it keeps (bit N stands for capability N) as its
// permitted, effective, inheritable and ambient sets.
struct Credentials {
    uid_t uid = 0;
    gid_t gid = 0;
    uint64_t capabilities = 0;
};

struct SpawnOptions {
    std::string program{};
    std::vector<std::string> args{};  // after the program name, which becomes argv[0]
    Stdio in = Stdio::null_device;
    Stdio out = Stdio::null_device;
    Stdio err = Stdio::null_device;
    std::string working_dir{};                                     // empty: the helper's own
    std::vector<std::pair<std::string, std::string>> extra_env{};  // set or replaced
    // None: the helper's own. With an account, the child also runs under
    // core_syscall_filter().
    std::optional<Credentials> credentials{};
    // Not 0: instead of running a program, the child sends this signal to every process
    // it may signal (kill(-1, ...)) and exits 0. With an account's credentials and no
    // capabilities, that is exactly the account's processes.
    int signal_everyone = 0;
};

// A collected wait status.
class ExitStatus {
public:
    explicit ExitStatus(int raw) : raw_(raw) {}
    bool success() const;
    // "exit status: 1", "signal: 9 (SIGKILL)", "signal: 6 (SIGABRT) (core dumped)".
    std::string text() const;
    int raw() const { return raw_; }

private:
    int raw_;
};

struct CapturedOutput {
    std::string out;
    std::string err;
    ExitStatus status;
};

// A child process of the helper: its pid, its pidfd when one could be opened, the
// helper's ends of its piped streams and, once collected, its exit status. Dropping a
// Child closes its descriptors but neither signals nor reaps the process; a collection
// that does not succeed leaves no process behind.
class Child {
public:
    // Starts the program; the error is the operating system's when it cannot start,
    // including a step of the child's own set-up before the program runs.
    static Result<Child> spawn(const SpawnOptions& options);

    Child(Child&&) noexcept = default;
    Child& operator=(Child&&) noexcept = default;
    ~Child() = default;

    pid_t pid() const { return pid_; }
    const UniqueFd& pidfd() const { return pidfd_; }
    UniqueFd& stdin_end() { return stdin_; }
    UniqueFd& stdout_end() { return stdout_; }
    UniqueFd& stderr_end() { return stderr_; }
    const std::optional<ExitStatus>& status() const { return status_; }

    // Non-blocking: the exit status if the process has ended (it is then reaped).
    Result<std::optional<ExitStatus>> try_wait();
    // Blocking wait, EINTR retried.
    Result<ExitStatus> wait();
    // Sends a signal unless the process has already been reaped.
    Result<void> kill(int signal);
    // SIGKILL unless already reaped, then reaps.
    void kill_and_reap();
    // Reads the piped output and error streams to their end, then reaps the process.
    // With a limit, a child whose streams are open or that still runs at the deadline
    // fails with the operating system's text for ETIMEDOUT. On any failure the child
    // has been killed and reaped.
    Result<CapturedOutput> collect(std::optional<std::chrono::milliseconds> limit);
    // Closes every pipe end and the pidfd.
    void close_descriptors();

private:
    using Deadline = std::chrono::steady_clock::time_point;

    explicit Child(pid_t pid) : pid_(pid) {}
    Result<void> read_streams(std::string& out, std::string& err, Deadline deadline);
    Result<ExitStatus> wait_until(Deadline deadline);

    pid_t pid_;
    UniqueFd pidfd_;
    UniqueFd stdin_;
    UniqueFd stdout_;
    UniqueFd stderr_;
    std::optional<ExitStatus> status_;
};

}  // namespace quorin
