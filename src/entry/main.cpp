#include <csignal>
#include <string>

#include "common/log.hpp"
#include "entry/subcommands.hpp"

int main(int argc, char** argv) {
    // A client that hangs up before its reply must cost a write error, not the service.
    (void)std::signal(SIGPIPE, SIG_IGN);
    const char* command = argc > 1 ? argv[1] : "";
    auto result = quorin::run_subcommand(command);
    if (result) return 0;
    quorin::write_stderr("quorin-helper: " + result.error().chain() + "\n");
    return 1;
}
