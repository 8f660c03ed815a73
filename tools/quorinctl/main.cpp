// quorinctl: a command-line client of the helper's socket protocol, and a doctor that
// explains why the helper may not work on this machine.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "common/files.hpp"
#include "common/text.hpp"
#include "privileged/admission.hpp"
#include "quorinctl/client.hpp"
#include "quorinctl/doctor.hpp"
#include "quorinctl/profile.hpp"
#include "quorinctl/request.hpp"

namespace {

using namespace quorin;
using namespace quorin::ctl;

constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_UNREACHABLE = 3;  // no socket, nobody listening, no answer in time, or not the helper's
constexpr int EXIT_CANNOT_RUN = 127;

// The helper bounds its own work (a core's check 60 s, readiness 10 s, name look-ups
// 4 s), but it serves one request at a time: a start may first wait for another's.
constexpr int DEFAULT_TIMEOUT_SECONDS = 180;
constexpr uint32_t MAX_TIMEOUT_SECONDS = 3600;
// The helper's own ranges for a tun-up.
constexpr uint32_t MIN_MTU = 1280;
constexpr uint32_t MAX_MTU = 9000;
constexpr uint32_t MIN_SOCKS_PORT = 1024;
constexpr const char* HELPER_PATH = "/usr/sbin/quorin-helper";

struct Global {
    std::string socket = SOCKET_PATH;
    bool json = false;
    std::string timeout = std::to_string(DEFAULT_TIMEOUT_SECONDS);
    uint32_t timeout_seconds = DEFAULT_TIMEOUT_SECONDS;
};

int print_error(const std::string& message, int status) {
    std::cerr << "quorinctl: " << message << "\n";
    return status;
}

int usage_error(const std::string& message) { return print_error(message, EXIT_USAGE); }

// A number from the command line, checked here so that the message names the option,
// the value and the range, and nothing is sent for a value the helper would refuse.
Result<uint32_t> number_in_range(std::string_view option, const std::string& value, uint32_t low, uint32_t high,
                                 std::string_view what) {
    auto number = parse_u32(value);
    if (!number || *number < low || *number > high)
        return fail(std::string(option) + " " + value + ": not " + std::string(what) + " from " + std::to_string(low) +
                    " to " + std::to_string(high));
    return *number;
}

Result<Reply> ask(const Global& global, const std::string& line) {
    auto raw = exchange(global.socket, line, std::chrono::seconds(global.timeout_seconds));
    if (!raw) return fail(raw.error());
    return parse_reply(std::move(*raw));
}

Result<std::string> read_input(const std::string& path) {
    return path == "-" ? read_to_end(STDIN_FILENO) : read_file(path);
}

// What a person reads for a successful reply: the versions, the interface, or the line
// the command chose (a start's reply names nothing, so the command says what started).
void print_success(std::string_view command, const Reply& reply, std::string_view done) {
    if (command == "status") std::cout << reply.version.value_or("") << "\n";
    if (command == "tun-status") std::cout << reply.interface.value_or("no session") << "\n";
    if (!done.empty()) std::cout << done << "\n";
}

// The helper's refusal as it came; for one that setup mends, the way out too. The
// helper's text stays untouched: clients match it.
int print_refusal(const std::string& error) {
    std::cerr << "quorinctl: " << error << "\n";
    if (error == NOT_AUTHORISED || error == DAMAGED_MARKER) std::cerr << "run: quorinctl setup\n";
    return EXIT_REFUSED;
}

int send_request(const Global& global, std::string_view command, const std::string& line, std::string_view done = "") {
    auto reply = ask(global, line);
    if (!reply) return print_error(reply.error().chain(), EXIT_UNREACHABLE);
    if (global.json) {
        std::cout << reply->raw << std::flush;
    } else if (reply->ok) {
        print_success(command, *reply, done);
    } else {
        return print_refusal(*reply->error);
    }
    return reply->ok ? 0 : EXIT_REFUSED;
}

// For a person, the versions and then the session; with --json, the status reply alone,
// as for every other command.
int run_status(const Global& global) {
    int status = send_request(global, "status", "status");
    if (status != 0 || global.json) return status;
    auto session = ask(global, "tun-status");
    if (!session) return print_error(session.error().chain(), EXIT_UNREACHABLE);
    if (!session->ok) return print_refusal(*session->error);
    std::cout << "session: " << (session->interface ? "running on " + *session->interface : "none") << "\n";
    return 0;
}

// Replaces quorinctl with pkexec, so that polkit's prompt, the helper's output and its
// exit status are the user's to see. The full path: /usr/sbin is not in every user's PATH.
int run_setup() {
    std::cout.flush();
    const char* argv[] = {"pkexec", HELPER_PATH, "setup", nullptr};
    execvp(argv[0], const_cast<char* const*>(argv));
    return print_error("cannot run pkexec: " + Error::last_os().message(), EXIT_CANNOT_RUN);
}

Result<std::vector<std::string>> list_entries(std::vector<std::string> entries, const std::string& file) {
    if (file.empty()) return entries;
    auto content = read_input(file);
    if (!content) return fail(file, content.error());
    for (auto& entry : parse_list_file(*content)) entries.push_back(std::move(entry));
    return entries;
}

struct TunUpOptions {
    TunUpArgs args{};
    std::string mtu{};
    std::string socks_port{};
    std::string bypass_file{};
    std::string server_file{};
};

void add_tun_up(CLI::App& app, TunUpOptions& o) {
    auto* cmd = app.add_subcommand("tun-up", "Start sing-box in TUN mode with a generated configuration");
    cmd->add_option("--interface", o.args.interface, "TUN interface name (1-15 letters, digits, - or _)")->required();
    cmd->add_option("--mtu", o.mtu, "MTU of the interface (1280 to 9000)")->required();
    cmd->add_option("--socks-port", o.socks_port, "local SOCKS port of the client's proxy (1024 to 65535)")
        ->required();
    cmd->add_flag("--ipv6", o.args.ipv6, "route IPv6 through the tunnel as well");
    cmd->add_flag("--auto-route", o.args.auto_route, "let sing-box set up the routing");
    cmd->add_option("--bypass", o.args.bypass, "process name or executable path to route around the tunnel")
        ->allow_extra_args(false);
    cmd->add_option("--bypass-file", o.bypass_file, "file of bypass entries, one a line ('-': standard input)");
    cmd->add_option("--server", o.args.servers, "proxy server host or address kept out of the tunnel")
        ->allow_extra_args(false);
    cmd->add_option("--server-file", o.server_file, "file of servers, one a line ('-': standard input)");
}

int run_tun_up(const Global& global, TunUpOptions& o) {
    if (!is_interface_name(o.args.interface))
        return usage_error("--interface " + o.args.interface + ": not 1 to 15 ASCII letters, digits, '-' or '_'");
    auto mtu = number_in_range("--mtu", o.mtu, MIN_MTU, MAX_MTU, "a number");
    if (!mtu) return usage_error(mtu.error().message());
    auto port = number_in_range("--socks-port", o.socks_port, MIN_SOCKS_PORT, UINT16_MAX, "a port");
    if (!port) return usage_error(port.error().message());
    o.args.mtu = static_cast<uint16_t>(*mtu);
    o.args.socks_port = static_cast<uint16_t>(*port);
    auto bypass = list_entries(std::move(o.args.bypass), o.bypass_file);
    if (!bypass) return usage_error(bypass.error().chain());
    auto servers = list_entries(std::move(o.args.servers), o.server_file);
    if (!servers) return usage_error(servers.error().chain());
    o.args.bypass = std::move(*bypass);
    if (auto kept = check_servers(*servers); !kept) return usage_error(kept.error().message());
    o.args.servers = std::move(*servers);
    auto line = tun_up_line(o.args);
    if (!line) return usage_error(line.error().message());
    return send_request(global, "tun-up", *line, o.args.interface + " is up (sing-box)");
}

// Mihomo's reply names no interface; the session does.
void print_mihomo_interface(const Global& global) {
    auto session = ask(global, "tun-status");
    bool named = session && session->ok && session->interface;
    std::cout << (named ? *session->interface : std::string("the session")) << " is up (Mihomo)\n";
}

struct MihomoUpOptions {
    std::string profile{};
    std::string memory_limit{};
    bool no_secret = false;
};

// Mihomo's API listens on 127.0.0.1: without a secret any local program, and any web
// page the user opens, could replace the configuration the helper vetted.
int run_mihomo_up(const Global& global, const MihomoUpOptions& o) {
    if (!o.memory_limit.empty() && !is_memory_limit(o.memory_limit))
        return usage_error("--memory-limit " + o.memory_limit +
                           ": not digits and then letters, at most 16 bytes (for example 512MiB)");
    auto content = read_input(o.profile);
    if (!content) return usage_error(Error(o.profile, content.error()).chain());
    auto json = profile_json(o.profile, *content);
    if (!json) return usage_error(o.profile + ": " + json.error().message());
    std::optional<std::string> added_secret;
    if (!o.no_secret) {
        auto secret = generate_api_secret();
        if (!secret) return usage_error(secret.error().chain());
        if (auto secured = with_api_secret(*json, *secret)) {
            *json = std::move(*secured);
            added_secret = std::move(*secret);
        }
    }
    bool unsecured = o.no_secret && lacks_api_secret(*json);
    int status = send_request(global, "mihomo-up", mihomo_up_line(*json, o.memory_limit));
    if (status != 0) return status;
    if (!global.json) print_mihomo_interface(global);
    // Shown only for a running Mihomo; with --json, standard output stays the reply line.
    if (added_secret) (global.json ? std::cerr : std::cout) << "Mihomo API secret: " << *added_secret << "\n";
    if (unsecured)
        std::cerr << "quorinctl: warning: Mihomo's API has no secret: any local program or web page can drive "
                     "Mihomo through it\n";
    return status;
}

int run_doctor_command(const Global& global) {
    bool trouble = false;
    for (const auto& check : run_doctor(global.socket)) {
        std::cout << (global.json ? format_check_json(check) : format_check(check)) << "\n";
        trouble = trouble || check.verdict == Verdict::warn || check.verdict == Verdict::fail;
    }
    return trouble ? EXIT_REFUSED : 0;
}

int run(int argc, char** argv) {
    CLI::App app("Client of the Quorin helper's socket", "quorinctl");
    app.fallthrough();
    app.require_subcommand(1);
    Global global;
    app.add_option("--socket", global.socket, "the helper's socket")->capture_default_str();
    app.add_flag("--json", global.json, "print the helper's reply line as it came");
    app.add_option("--timeout", global.timeout, "seconds to wait for each reply (1 to 3600)")->capture_default_str();
    app.set_version_flag("--version", "quorinctl " QUORIN_VERSION);

    for (const char* simple : {"status", "tun-status", "tun-down"}) {
        const char* about = std::string_view(simple) == "status"       ? "Show the cores in force and the session"
                            : std::string_view(simple) == "tun-status" ? "Show the running session's interface"
                                                                       : "Stop the running session and clean up";
        app.add_subcommand(simple, about);
    }
    MihomoUpOptions mihomo_up;
    auto* mihomo = app.add_subcommand("mihomo-up", "Start Mihomo in TUN mode with a JSON or YAML profile");
    mihomo
        ->add_option("PROFILE", mihomo_up.profile, "profile file: .json, .yaml/.yml, or detected ('-': standard input)")
        ->required();
    mihomo->add_option("--memory-limit", mihomo_up.memory_limit, "Mihomo's memory limit, for example 512MiB");
    mihomo->add_flag("--no-secret", mihomo_up.no_secret,
                     "send a profile without 'secret' as it is, leaving Mihomo's API open to every local "
                     "program and web page");
    TunUpOptions tun_up;
    add_tun_up(app, tun_up);
    app.add_subcommand("doctor", "Check whether the helper can work here; changes nothing");
    app.add_subcommand("setup", "Authorise this user once: runs pkexec /usr/sbin/quorin-helper setup");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : EXIT_USAGE;
    }
    auto timeout = number_in_range("--timeout", global.timeout, 1, MAX_TIMEOUT_SECONDS, "a number of seconds");
    if (!timeout) return usage_error(timeout.error().message());
    global.timeout_seconds = *timeout;
    std::string command = app.get_subcommands().front()->get_name();
    if (command == "mihomo-up") return run_mihomo_up(global, mihomo_up);
    if (command == "tun-up") return run_tun_up(global, tun_up);
    if (command == "doctor") return run_doctor_command(global);
    if (command == "setup") return run_setup();
    if (command == "status") return run_status(global);
    return send_request(global, command, command, command == "tun-down" ? "the session is down" : "");
}

}  // namespace

int main(int argc, char** argv) {
    // A failure to allocate, or one of CLI11's own, becomes a usage error instead of an abort.
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        return usage_error(error.what());
    } catch (...) {
        return usage_error("unexpected failure");
    }
}
