// quorin-bench-tool: the baselines and drivers that scripts/bench runs in the sandbox.
//
//   fixture mihomo-config FILE     the 8 MiB Mihomo configuration
//   fixture mihomo-line FILE       the 12 MiB mihomo-up request line carrying it
//   spawn-loop ROUNDS              the 80 clean-up commands, spawned and awaited by a
//                                  minimal loop; prints the median milliseconds a round
//   session-parts ROUNDS EXE CONFIG  what a tun-up and a tun-down cannot do without, by
//                                  a minimal driver: the 79 tool runs, sing-box's check
//                                  run, its real run until the start line and the
//                                  interface are there; its end after SIGTERM and the
//                                  80 tool runs. Prints the five medians (ms)
//   echo-server SOCKET [checked]   a minimal connection-per-request line echo server;
//                                  "checked" adds the system calls a status request
//                                  cannot do without: the peer credentials, the marker's
//                                  lstat, the look at the backlog that a fair server
//                                  makes before it serves a request, and the
//                                  catalogue's five stat calls
//   load SOCKET LINE COUNT         COUNT sequential connections sending LINE; prints the
//                                  rate and the 50th and 99th percentile latencies
//   send SOCKET FILE               one request from a file; prints the monotonic time
//                                  (ns) before connecting and the reply
//   geodata CORE_DIR WORK_DIR      the helper's GeoData preparation; prints milliseconds

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/fixtures.hpp"
#include "common/files.hpp"
#include "common/json.hpp"
#include "host/cleanup.hpp"
#include "host/cleanup_commands.hpp"
#include "mihomo/geodata.hpp"

extern char** environ;

namespace quorin::bench {

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int write_file(const std::string& path, const std::string& content) {
    auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!fd || !write_all(fd->get(), content)) {
        std::perror(path.c_str());
        return 1;
    }
    return 0;
}

int fixture(const std::string& kind, const std::string& path) {
    const std::string config = mihomo_config(MAX_MIHOMO_CONFIG_BYTES);
    if (kind == "mihomo-config") return write_file(path, config);
    if (kind == "mihomo-line") return write_file(path, mihomo_up_line(config, MAX_REQUEST_BYTES));
    std::fprintf(stderr, "unknown fixture %s\n", kind.c_str());
    return 2;
}

// The same argument vectors as the clean-up, the tools looked up once beforehand, one
// null device shared by the three streams.
std::vector<cleanup_detail::ToolCommand> tun_up_commands() {
    auto commands = cleanup_detail::killswitch_commands();
    for (auto& command : cleanup_detail::core_routing_commands()) commands.push_back(std::move(command));
    return commands;
}

// The argument vectors with the tools looked up once beforehand, and one null device
// shared by the three streams: the least a loop of spawns can do.
class SpawnLoop {
public:
    explicit SpawnLoop(const std::vector<cleanup_detail::ToolCommand>& commands) {
        for (const auto& command : commands) {
            std::vector<std::string> argv = {find_system_tool(command.tool)};
            argv.insert(argv.end(), command.args.begin(), command.args.end());
            commands_.push_back(std::move(argv));
        }
        null_device_ = open("/dev/null", O_RDWR | O_CLOEXEC);
        posix_spawn_file_actions_init(&actions_);
        for (int target = 0; target < 3; ++target) posix_spawn_file_actions_adddup2(&actions_, null_device_, target);
    }
    ~SpawnLoop() {
        posix_spawn_file_actions_destroy(&actions_);
        close(null_device_);
    }
    SpawnLoop(const SpawnLoop&) = delete;
    SpawnLoop& operator=(const SpawnLoop&) = delete;

    // Milliseconds for one round.
    double run() {
        const auto start = Clock::now();
        for (auto& argv : commands_) {
            std::vector<char*> pointers;
            for (auto& arg : argv) pointers.push_back(arg.data());
            pointers.push_back(nullptr);
            pid_t pid = -1;
            if (posix_spawn(&pid, pointers[0], &actions_, nullptr, pointers.data(), environ) == 0)
                waitpid(pid, nullptr, 0);
        }
        return ms_since(start);
    }

private:
    std::vector<std::vector<std::string>> commands_;
    int null_device_ = -1;
    posix_spawn_file_actions_t actions_;
};

int spawn_loop(int rounds) {
    SpawnLoop loop(cleanup_detail::network_cleanup_commands());
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) times.push_back(loop.run());
    std::printf("%.3f\n", median(times));
    return 0;
}

pid_t spawn(const std::vector<std::string>& args, posix_spawn_file_actions_t* actions) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

// Reads the core's standard error until the start line, then waits for the interface.
void wait_until_ready(int log, const std::string& interface_path) {
    std::string seen;
    char buffer[8192];
    while (seen.find(" sing-box started (") == std::string::npos) {
        ssize_t n = read(log, buffer, sizeof buffer);
        if (n <= 0) return;
        seen.append(buffer, static_cast<size_t>(n));
    }
    struct stat st {};
    while (stat(interface_path.c_str(), &st) != 0) usleep(100);
}

struct RunningCore {
    pid_t pid;
    int log;
};

RunningCore start_until_ready(const std::string& executable, const std::string& config, const std::string& name) {
    int log[2];
    if (pipe2(log, O_CLOEXEC) != 0) return {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, log[1], STDERR_FILENO);
    pid_t run = spawn({executable, "run", "-c", config, "--disable-color"}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(log[1]);
    wait_until_ready(log[0], "/sys/class/net/" + name);
    return {run, log[0]};
}

// A tun-up and a tun-down reduced to what cannot be left out, in the helper's order:
// the 79 tool runs, the check run, the real run until it is ready; then its end after
// SIGTERM and the 80 tool runs of the full clean-up.
int session_parts(int rounds, const std::string& executable, const std::string& config) {
    const std::string name = Json::parse(*read_file(config))["inbounds"][0]["interface_name"];
    SpawnLoop tun_up_tools(tun_up_commands()), cleanup_tools(cleanup_detail::network_cleanup_commands());
    std::vector<double> tools_up, checks, starts, stops, tools_down;
    for (int round = 0; round < rounds; ++round) {
        tools_up.push_back(tun_up_tools.run());
        auto start = Clock::now();
        waitpid(spawn({executable, "check", "-c", config}, nullptr), nullptr, 0);
        checks.push_back(ms_since(start));
        start = Clock::now();
        RunningCore core = start_until_ready(executable, config, name);
        starts.push_back(ms_since(start));
        start = Clock::now();
        kill(core.pid, SIGTERM);
        waitpid(core.pid, nullptr, 0);
        stops.push_back(ms_since(start));
        close(core.log);
        tools_down.push_back(cleanup_tools.run());
    }
    std::printf("%.3f %.3f %.3f %.3f %.3f\n", median(tools_up), median(checks), median(starts), median(stops),
                median(tools_down));
    return 0;
}

int listen_on(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4096) != 0) {
        std::perror("echo-server");
        return -1;
    }
    return fd;
}

// What admission asks of the kernel before a request is read: the peer's credentials
// and its user's marker.
void admission_calls(int connection) {
    ucred peer{};
    socklen_t length = sizeof peer;
    (void)getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length);
    struct stat st {};
    (void)lstat(("/var/lib/quorin/authorized-users/" + std::to_string(peer.uid)).c_str(), &st);
}

// What a fair turn and the catalogue ask of the kernel for a status request. Serving a
// lone request without first looking at the backlog would be cheaper, but unfair: a
// user who queued several connections ahead of another's would have them all served
// first, so the fair server's floor includes that look.
void turn_and_catalogue_calls(int listener) {
    pollfd backlog = {listener, POLLIN, 0};
    (void)poll(&backlog, 1, 0);
    struct stat st {};
    for (const char* path : {"/usr/lib/quorin/cores/xray/xray", "/usr/lib/quorin/cores/xray/geoip.dat",
                             "/usr/lib/quorin/cores/xray/geosite.dat", "/usr/lib/quorin/cores/sing-box/sing-box",
                             "/usr/lib/quorin/cores/mihomo/mihomo"})
        (void)stat(path, &st);
}

// The line that has arrived, without waiting on the client while it is there: the
// checked server, as the helper, reads without blocking and waits in poll otherwise.
size_t read_line(int connection, char* buffer, size_t size, bool checked) {
    size_t filled = 0;
    for (;;) {
        ssize_t n = checked ? recv(connection, buffer + filled, size - filled, MSG_DONTWAIT)
                            : read(connection, buffer + filled, size - filled);
        if (n < 0 && checked && errno == EAGAIN) {
            pollfd readable = {connection, POLLIN, 0};
            (void)poll(&readable, 1, -1);
            continue;
        }
        if (n <= 0) return filled;
        filled += static_cast<size_t>(n);
        if (std::memchr(buffer, '\n', filled) != nullptr || filled == size) return filled;
    }
}

int echo_server(const std::string& path, bool checked) {
    int listener = listen_on(path);
    if (listener < 0) return 1;
    char buffer[8192];
    for (;;) {
        int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        if (checked) admission_calls(connection);
        size_t filled = read_line(connection, buffer, sizeof buffer, checked);
        if (checked) turn_and_catalogue_calls(listener);
        if (checked)
            (void)send(connection, buffer, filled, MSG_DONTWAIT | MSG_NOSIGNAL);
        else
            (void)write_all(connection, std::string_view(buffer, filled));
        close(connection);
    }
}

int connect_to(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends the request and reads the reply to its end.
std::string round_trip(const std::string& path, std::string_view request) {
    int fd = connect_to(path);
    if (fd < 0) return {};
    (void)write_all(fd, request);
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) reply.append(buffer, static_cast<size_t>(n));
    close(fd);
    return reply;
}

int load(const std::string& path, std::string line, int count) {
    line += '\n';
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(count));
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const auto sent = Clock::now();
        if (round_trip(path, line).empty()) {
            std::fprintf(stderr, "load: no reply\n");
            return 1;
        }
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    const double seconds = ms_since(start) / 1000;
    std::sort(latencies.begin(), latencies.end());
    std::printf("%.0f %.1f %.1f\n", count / seconds, latencies[latencies.size() / 2],
                latencies[latencies.size() * 99 / 100]);
    return 0;
}

int send(const std::string& path, const std::string& file) {
    auto request = read_file(file);
    if (!request) {
        std::perror(file.c_str());
        return 1;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::string reply = round_trip(path, *request);
    std::printf("%lld %s", static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec, reply.c_str());
    return reply.empty() ? 1 : 0;
}

int geodata(const std::string& core_dir, const std::string& working_dir) {
    const auto start = Clock::now();
    auto prepared = prepare_geodata(core_dir, working_dir, getuid(), getgid());
    const double elapsed = ms_since(start);
    if (!prepared) {
        std::fprintf(stderr, "geodata: %s\n", prepared.error().chain().c_str());
        return 1;
    }
    std::printf("%.3f\n", elapsed);
    return 0;
}

int run(const std::vector<std::string>& args) {
    const std::string& command = args.empty() ? "" : args[0];
    if (command == "fixture" && args.size() == 3) return fixture(args[1], args[2]);
    if (command == "spawn-loop" && args.size() == 2) return spawn_loop(std::stoi(args[1]));
    if (command == "session-parts" && args.size() == 4) return session_parts(std::stoi(args[1]), args[2], args[3]);
    if (command == "echo-server" && (args.size() == 2 || (args.size() == 3 && args[2] == "checked")))
        return echo_server(args[1], args.size() == 3);
    if (command == "load" && args.size() == 4) return load(args[1], args[2], std::stoi(args[3]));
    if (command == "send" && args.size() == 3) return send(args[1], args[2]);
    if (command == "geodata" && args.size() == 3) return geodata(args[1], args[2]);
    std::fprintf(stderr, "usage: see the head of bench/tool.cpp\n");
    return 2;
}

}  // namespace

}  // namespace quorin::bench

int main(int argc, char** argv) { return quorin::bench::run(std::vector<std::string>(argv + 1, argv + argc)); }
