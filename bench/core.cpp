// quorin-bench-core: an instant stand-in for the cores, installed under the name of the
// core it plays. It does only what the helper waits for, at once:
//   sing-box check -c FILE      exits 0
//   sing-box run -c FILE ...    creates the TUN interface FILE names, writes the start
//                               line on standard error, then waits for a signal
//   mihomo -t ...               notes the monotonic time and the helper's CPU time so
//                               far in /run/quorin-bench/core/check-stamp (the bench
//                               gives that directory to quorin-core, the account the
//                               cores run as), then rejects the configuration (exit 1),
//                               which ends the request there
//   mihomo ...                  creates the TUN interface of tun.device, then waits

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/json.hpp"

namespace {

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string option(const std::vector<std::string>& args, const std::string& name) {
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) return args[i + 1];
    return {};
}

// The interface lives as long as this process holds the descriptor.
void create_tun(const std::string& name) {
    int fd = open("/dev/net/tun", O_RDWR);
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (fd < 0 || ioctl(fd, TUNSETIFF, &request) < 0) {
        std::perror("quorin-bench-core: TUNSETIFF");
        _exit(97);
    }
}

[[noreturn]] void wait_for_signal() {
    for (;;) pause();
}

// Time on the CPU of the process that started us (the helper), from its schedstat.
long long parent_cpu_ns() {
    std::ifstream in("/proc/" + std::to_string(getppid()) + "/schedstat");
    long long ns = -1;
    in >> ns;
    return ns;
}

[[noreturn]] void mihomo_check() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long cpu = parent_cpu_ns();
    std::ofstream stamp("/run/quorin-bench/core/check-stamp");
    stamp << static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec << " " << cpu << "\n";
    stamp.close();
    // The refusal carries the failure, so that the bench names it instead of a missing file.
    if (!stamp) std::printf("level=error msg=\"benchmark: cannot write the check stamp as uid %u\"\n", getuid());
    else std::printf("level=error msg=\"benchmark: stopping at the test run\"\n");
    std::fflush(stdout);
    _exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    const std::string self = args[0].substr(args[0].rfind('/') + 1);
    if (self == "sing-box" && args.size() > 1 && args[1] == "check") return 0;
    if (self == "sing-box" && args.size() > 1 && args[1] == "run") {
        auto config = quorin::Json::parse(read_text(option(args, "-c")));
        create_tun(config["inbounds"][0]["interface_name"].get<std::string>());
        const char line[] = "+0000 2026-12-07 12:00:00 INFO sing-box started (0.00s)\n";
        (void)!write(2, line, sizeof line - 1);
        wait_for_signal();
    }
    if (self == "mihomo") {
        for (const auto& arg : args)
            if (arg == "-t") mihomo_check();
        auto config = quorin::Json::parse(read_text(option(args, "-f")));
        create_tun(config["tun"]["device"].get<std::string>());
        wait_for_signal();
    }
    if (self == "xray") return 0;
    std::fprintf(stderr, "quorin-bench-core: nothing to do as %s\n", self.c_str());
    return 98;
}
