// A stand-in for the proxy cores the helper starts. Installed under the name of the core
// it plays (mihomo or sing-box), it follows the steps of /run/quorin-test/scenario.json
// and records each run under /run/quorin-test/records, so the end-to-end tests can see
// exactly how the helper started it.
//
// Scenario: {"mihomo": {"check": RUN, "run": RUN}, "sing-box": {...}}, RUN being
// {"ignore_sigterm": bool, "steps": [STEP, ...]} with STEP one of
//   {"stdout": TEXT}  {"stderr": TEXT}   TEXT a string or {"hex": "ff00"} for raw bytes
//   {"sleep_ms": N}   {"tun": true}      {"tun": "name"}   (true: the configured name)
//   {"exit": N}       {"signal": N}      {"hang": true}    {"close_streams": true}
//   {"leave": "rule" | "hop"}  a detached process that puts a priority-9001 rule back
//                      every 0.1 s; "hop" also forks and lets its parent exit, all along
//   {"ptrace": true}   seizes the helper (event "ptrace attached" or "ptrace ERRNO")
// After the last step a real run (Mihomo without -t, sing-box run) waits to be killed;
// any other run exits with status 0.
#include <dirent.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace quorin {
namespace {

using nlohmann::json;

constexpr const char* TEST_DIR = "/run/quorin-test";
constexpr const char* RECORDS_DIR = "/run/quorin-test/records";
constexpr const char* SCENARIO_FILE = "/run/quorin-test/scenario.json";

std::string record_base;  // records/NNNNNN, set once the run is recorded

[[noreturn]] void die(const std::string& what) {
    std::string line = "standin-core: " + what + ": " + std::strerror(errno) + "\n";
    (void)!write(2, line.data(), line.size());
    _exit(97);
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string read_link(const std::string& path) {
    std::vector<char> buffer(4096);
    ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    return n < 0 ? std::string() : std::string(buffer.data(), static_cast<size_t>(n));
}

// Descriptors inherited from the helper, before this program opens any of its own.
json open_descriptors() {
    json fds = json::object();
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) die("opendir /proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(dir)) continue;
        fds[entry->d_name] = read_link(std::string("/proc/self/fd/") + entry->d_name);
    }
    closedir(dir);
    return fds;
}

json environment() {
    json env = json::object();
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text(*entry);
        size_t eq = text.find('=');
        if (eq != std::string::npos) env[text.substr(0, eq)] = text.substr(eq + 1);
    }
    return env;
}

std::optional<std::string> option_value(const std::vector<std::string>& args, const std::string& option) {
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == option) return args[i + 1];
    return std::nullopt;
}

void append_event(const std::string& event) {
    // Called from a signal handler too: only async-signal-safe calls here.
    std::string path = record_base + ".events";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!write(fd, event.data(), event.size());
    close(fd);
}

// Writes the record under the next free sequence number; link() makes the claim atomic,
// so concurrent runs never share a number and readers never see a partial record.
void write_record(const json& record) {
    mkdir(TEST_DIR, 0755);
    mkdir(RECORDS_DIR, 0755);
    std::string temp = std::string(RECORDS_DIR) + "/.tmp-" + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << record.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
        if (!out) die("write " + temp);
    }
    for (int n = 1;; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "%06d", n);
        std::string base = std::string(RECORDS_DIR) + "/" + name;
        if (link(temp.c_str(), (base + ".json").c_str()) == 0) {
            record_base = base;
            break;
        }
        if (errno != EEXIST) die("link record");
    }
    unlink(temp.c_str());
}

json describe_run(const std::vector<std::string>& args, const std::string& core, const std::string& mode,
                  const std::optional<std::string>& config_path, json fds) {
    char cwd[4096];
    json record = {{"core", core},
                   {"mode", mode},
                   {"argv", args},
                   {"exe", read_link("/proc/self/exe")},
                   {"cwd", getcwd(cwd, sizeof cwd) ? cwd : ""},
                   {"pid", getpid()},
                   {"ppid", getppid()},
                   {"uid", getuid()},
                   {"status", read_file("/proc/self/status").value_or("")},
                   {"env", environment()},
                   {"fds", std::move(fds)},
                   {"config_path", config_path ? json(*config_path) : json(nullptr)},
                   {"config_text", nullptr},
                   {"config", nullptr},
                   {"config_mode", nullptr}};
    const char* limit = std::getenv("GOMEMLIMIT");
    record["GOMEMLIMIT"] = limit ? json(limit) : json(nullptr);
    if (config_path) {
        if (auto text = read_file(*config_path)) {
            record["config_text"] = *text;
            record["config"] = json::parse(*text, nullptr, false);
            if (record["config"].is_discarded()) record["config"] = nullptr;
        }
        struct stat st {};
        if (stat(config_path->c_str(), &st) == 0) record["config_mode"] = st.st_mode & 07777;
    }
    return record;
}

std::string text_bytes(const json& text) {
    if (text.is_string()) return text.get<std::string>();
    std::string hex = text.at("hex").get<std::string>(), bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

void write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;  // the reader went away; a real core would not care either
        done += static_cast<size_t>(n);
    }
}

// The interface lives as long as the descriptor, that is as long as this process.
void create_tun(const std::string& name) {
    int fd = open("/dev/net/tun", O_RDWR);
    if (fd < 0) die("open /dev/net/tun");
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &request) < 0) die("TUNSETIFF " + name);
    append_event("tun " + name + "\n");
}

std::string configured_interface(const std::string& core, const json& config) {
    if (core == "mihomo") return config.at("tun").at("device").get<std::string>();
    return config.at("inbounds").at(0).at("interface_name").get<std::string>();
}

// What a compromised core could leave behind to keep its routing in place.
[[noreturn]] void linger(bool hop) {
    for (unsigned round = 0;; ++round) {
        if (round % 10 == 0) {
            pid_t ip = fork();
            if (ip == 0) {
                int null = open("/dev/null", O_RDWR);
                dup2(null, 1);
                dup2(null, 2);
                execl("/usr/bin/ip", "ip", "rule", "add", "priority", "9001", "table", "9001", nullptr);
                _exit(127);
            }
            if (ip > 0) waitpid(ip, nullptr, 0);
        }
        if (hop && fork() > 0) _exit(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void leave_behind(bool hop) {
    pid_t first = fork();
    if (first == 0) {
        setsid();
        if (fork() == 0) linger(hop);
        _exit(0);
    }
    if (first > 0) waitpid(first, nullptr, 0);
}

void seize_parent() {
    const pid_t helper = getppid();
    if (ptrace(PTRACE_SEIZE, helper, nullptr, nullptr) == 0) {
        append_event("ptrace attached\n");
        return;
    }
    append_event(std::string("ptrace ") + strerrorname_np(errno) + "\n");
}

void on_sigterm(int) { append_event("SIGTERM\n"); }

void on_sigterm_default(int) {
    append_event("SIGTERM\n");
    signal(SIGTERM, SIG_DFL);
    raise(SIGTERM);
}

json default_run(const std::string& core, const std::string& mode) {
    if (mode == "check") return {{"steps", json::array()}};
    if (core == "mihomo") return {{"steps", {{{"tun", true}}}}};
    return {{"steps",
             {{{"stderr", "+0000 2026-12-07 12:00:00 INFO network: updated default interface lo\n"}},
              {{"tun", true}},
              {{"stderr", "+0000 2026-12-07 12:00:00 INFO sing-box started (0.12s)\n"}}}}};
}

[[noreturn]] void play(const json& run, const std::string& core, const std::string& mode, const json& config) {
    signal(SIGTERM, run.value("ignore_sigterm", false) ? on_sigterm : on_sigterm_default);
    for (const json& step : run.value("steps", json::array())) {
        if (step.contains("stdout")) write_all(1, text_bytes(step["stdout"]));
        if (step.contains("stderr")) write_all(2, text_bytes(step["stderr"]));
        if (step.contains("sleep_ms"))
            std::this_thread::sleep_for(std::chrono::milliseconds(step["sleep_ms"].get<int>()));
        if (step.contains("close_streams")) {
            close(STDOUT_FILENO);
            close(STDERR_FILENO);
        }
        if (step.contains("tun"))
            create_tun(step["tun"].is_string() ? step["tun"].get<std::string>() : configured_interface(core, config));
        if (step.contains("exit")) _exit(step["exit"].get<int>());
        if (step.contains("signal")) {
            signal(step["signal"].get<int>(), SIG_DFL);
            raise(step["signal"].get<int>());
        }
        if (step.contains("leave")) leave_behind(step["leave"] == "hop");
        if (step.contains("ptrace")) seize_parent();
        if (step.contains("hang"))
            for (;;) pause();
    }
    if (mode != "run") _exit(0);
    for (;;) pause();
}

}  // namespace
}  // namespace quorin

int main(int argc, char** argv) {
    using namespace quorin;
    json fds = open_descriptors();
    std::vector<std::string> args(argv, argv + argc);
    std::string self = args.empty() ? "" : args[0].substr(args[0].rfind('/') + 1);
    std::string core, mode;
    std::optional<std::string> config_path;
    if (self == "mihomo") {
        core = "mihomo";
        mode = std::find(args.begin(), args.end(), "-t") != args.end() ? "check" : "run";
        config_path = option_value(args, "-f");
    } else if (self == "sing-box") {
        core = "sing-box";
        mode = args.size() > 1 ? args[1] : "";
        config_path = option_value(args, "-c");
    } else {
        std::string line = "standin-core: unknown core name " + self + "\n";
        (void)!write(2, line.data(), line.size());
        return 98;
    }
    json record = describe_run(args, core, mode, config_path, std::move(fds));
    write_record(record);

    json scenario = json::object();
    if (auto text = read_file(SCENARIO_FILE)) scenario = json::parse(*text);
    json run =
        scenario.contains(core) && scenario[core].contains(mode) ? scenario[core][mode] : default_run(core, mode);
    json config = record["config"].is_null() ? json::object() : record["config"];
    play(run, core, mode, config);
}
