"""tun-up: the generated sing-box configuration, the check and run of sing-box, its log and readiness."""
import json
import os
import unittest
from pathlib import Path

from harness import (CORES_DIR, SINGBOX_CONFIG, SINGBOX_START_LINE, Client, SandboxTest, alive, authorize, b64,
                     children_of, cleanup_commands, core_credentials, core_routing_commands, install_cores,
                     interface_exists, ip_rules, mihomo_config, nft_tables, override_file, plant_route, plant_rule,
                     plant_table, raw, record_tools, records, reply_line, request, routes, slow_names, tool_calls,
                     write_scenario)

ABORTED = reply_line(False, error="Не удалось запустить TUN sing-box; подробности в журнале quorin-helper")
OTHER_OWNER = reply_line(False, error="VPN уже запущен в другом процессе Quorin. Отключите его в том окне")
NOT_INSTALLED = reply_line(False, error="sing-box не установлен; обновите ядра Quorin")
SINGBOX_DIR = CORES_DIR + "/sing-box"
SINGBOX = SINGBOX_DIR + "/sing-box"


def tun_up(interface="qtun0", ipv6=False, auto_route=False, mtu=1500, port=1080, bypass=(), servers=None):
    words = ["tun-up", interface, "1" if ipv6 else "0", "1" if auto_route else "0", str(mtu), str(port),
             b64(list(bypass))]
    if servers is not None:
        words.append(b64(list(servers)))
    return " ".join(words) + "\n"


def expected_document(interface="qtun0", ipv6=False, auto_route=False, mtu=1500, port=1080, names=(), paths=(),
                      hosts=(), exclusions=()):
    """The configuration the helper should write; `names` and `paths` are the bypass entries beyond the built-in ones."""
    process_names = sorted({"mihomo", "quorin", "sing-box", "xray", *names})
    dns_rules = [{"action": "route", "domain_suffix": list(hosts), "server": "dns-direct"}] if hosts else []
    dns_rules.append({"action": "route", "process_name": process_names, "server": "dns-direct"})
    route_rules = [{"action": "bypass", "outbound": "direct", "process_name": process_names}]
    if paths:
        dns_rules.append({"action": "route", "process_path": sorted(paths), "server": "dns-direct"})
        route_rules.append({"action": "bypass", "outbound": "direct", "process_path": sorted(paths)})
    route_rules += [{"action": "sniff"}, {"action": "hijack-dns", "protocol": "dns"},
                    {"action": "reject", "network": "udp", "port": 443}]
    if not ipv6:
        route_rules.append({"action": "reject", "ip_version": 6})
    inbound = {"address": ["172.29.172.1/30"] + (["fd17:2917:2::1/126"] if ipv6 else []),
               "auto_redirect": auto_route, "auto_route": auto_route, "interface_name": interface, "mtu": mtu,
               "stack": "system", "strict_route": auto_route, "tag": "tun-in", "type": "tun"}
    if exclusions:
        inbound["route_exclude_address"] = [address + "/32" for address in exclusions]
    return {
        "dns": {"final": "dns-proxy", "rules": dns_rules,
                "servers": [{"detour": "proxy", "server": "1.1.1.1", "tag": "dns-proxy", "type": "https"},
                            {"detour": "direct", "server": "1.1.1.1", "tag": "dns-direct", "type": "https"}],
                "strategy": "prefer_ipv4" if ipv6 else "ipv4_only"},
        "inbounds": [inbound],
        "log": {"level": "info", "timestamp": True},
        "outbounds": [{"domain_resolver": {"server": "dns-proxy", "strategy": "prefer_ipv4"}, "server": "127.0.0.1",
                       "server_port": port, "tag": "proxy", "type": "socks"},
                      {"domain_resolver": {"server": "dns-direct", "strategy": "prefer_ipv4"}, "tag": "direct",
                       "type": "direct"}],
        "route": {"auto_detect_interface": True, "final": "proxy", "rules": route_rules},
    }


def file_text(document) -> str:
    return json.dumps(document, indent=2, sort_keys=True, ensure_ascii=False) + "\n"


def threads(pid):
    """The names of the process's threads."""
    names = []
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            names.append(Path(f"/proc/{pid}/task/{task}/comm").read_text().strip())
        except FileNotFoundError:
            pass  # ended meanwhile
    return sorted(names)


def line(level, text):
    return f"+0000 2026-12-07 12:00:00 {level} {text}\n"


class TunUpTest(SandboxTest):
    def setUp(self):
        super().setUp()
        install_cores()
        authorize(0)
        authorize(1000)
        self.helper = self.start_helper()

    def core(self, mode="run"):
        return records("sing-box", mode)[-1]

    def plant_host_state(self):
        """State that a start would clear, to show that a refused start leaves it alone."""
        plant_table("quorin_killswitch")
        plant_table("sing-box")
        plant_rule(9000)
        plant_route("10.9.0.0/24", 2022)

    def assert_host_state_kept(self):
        self.assertLessEqual({("inet", "quorin_killswitch"), ("inet", "sing-box")}, nft_tables())
        self.assertIn(9000, [rule["priority"] for rule in ip_rules()])
        self.assertEqual(len(routes(2022)), 1)

    def test_start_writes_the_configuration_checks_it_and_runs_sing_box(self):
        write_scenario("sing-box", "check", [{"stderr": "WARN legacy inbound field\n"}, {"stdout": "ok\n"}])
        before = [line("INFO", "router: updated default interface lo"), line("WARN", "tun: slow to open")]
        after_dropped = [line("INFO", "[3 0ms] inbound/tun[tun-in]: connection to 1.1.1.1:443"), "INFO[0001] x\n"]
        after_kept = [line("WARN", "outbound/socks[proxy]: dial failed"),
                      b"+0000 2026-12-07 12:00:01 ERROR bad \xff\xfe bytes\n", line("ERROR", "last")]
        write_scenario("sing-box", "run", [{"stderr": text} for text in before] + [{"tun": True}]
                       + [{"stderr": SINGBOX_START_LINE}]
                       + [{"stderr": raw(t) if isinstance(t, bytes) else t} for t in after_dropped + after_kept])
        bypass = ["firefox", " /usr/bin/curl\t", "/opt/app/", "C:\\Tools\\x.exe", "xray"]
        with Client(uid=1000) as owner:
            self.assertEqual(owner.request(tun_up(ipv6=True, mtu=1400, port=20808, bypass=bypass)).raw, reply_line())
            self.assertTrue(interface_exists("qtun0"))
            self.assertEqual(request("tun-status\n").raw, reply_line(interface="qtun0"))

            text = file_text(expected_document(ipv6=True, mtu=1400, port=20808, names=["firefox"],
                                               paths=["/usr/bin/curl", "C:/Tools/x.exe"]))
            self.assertEqual(Path(SINGBOX_CONFIG).read_text(), text)
            self.assertEqual(os.stat(SINGBOX_CONFIG).st_mode & 0o7777, 0o640)
            check, run = records("sing-box")
            self.assertEqual((check["config_text"], check["config_mode"]), (text, 0o640))
            self.assertEqual((check["credentials"], run["credentials"]), (core_credentials()[2],) * 2)
            self.assertEqual(check["argv"], [SINGBOX, "check", "-c", SINGBOX_CONFIG])
            self.assertEqual(run["argv"], [SINGBOX, "run", "-c", SINGBOX_CONFIG, "--disable-color"])
            self.assertEqual(check["cwd"], os.readlink(f"/proc/{self.helper.pid}/cwd"))
            self.assertEqual(run["cwd"], SINGBOX_DIR)
            self.assertEqual(run["ppid"], self.helper.pid)
            environ = Path(f"/proc/{self.helper.pid}/environ").read_bytes().decode().split("\0")
            helper_env = dict(entry.split("=", 1) for entry in environ if entry)
            self.assertEqual((check["env"], run["env"]), (helper_env, helper_env))

            # Only the standard streams are inherited: null device, the helper's output, a pipe.
            helper_stdout = os.readlink(f"/proc/{self.helper.pid}/fd/1")
            for record, stdout in ((check, "/dev/null"), (run, helper_stdout)):
                self.assertEqual(sorted(record["fds"]), ["0", "1", "2"])
                self.assertEqual(record["fds"]["0"], "/dev/null")
                self.assertEqual(record["fds"]["1"], stdout)
                self.assertTrue(record["fds"]["2"].startswith("pipe:"))

            # Every line before the start line is forwarded; after it, INFO records are not.
            self.wait_for(lambda: self.helper.log().endswith(b"last\n"), "the last forwarded line")
            expected_log = (f"Quorin helper: tun-up requested by pid {owner.pid}\n" + "".join(before)
                            + SINGBOX_START_LINE).encode()
            expected_log += b"".join(t if isinstance(t, bytes) else t.encode() for t in after_kept)
            self.assertEqual(self.helper.log(), expected_log)

    def test_flags_and_servers_shape_the_configuration(self):
        cases = [
            ("no flags, no server word", tun_up(), expected_document()),
            ("routing with literal servers only", tun_up(auto_route=True, servers=["10.0.0.2", "9.255.0.1"]),
             expected_document(auto_route=True, exclusions=["9.255.0.1", "10.0.0.2"])),
            ("routing with an empty server list", tun_up(auto_route=True, servers=[]),
             expected_document(auto_route=True)),
            ("literals without routing", tun_up(ipv6=True, servers=["10.0.0.2"]), expected_document(ipv6=True)),
        ]
        for name, line_text, document in cases:
            with self.subTest(name):
                self.assertEqual(request(line_text).raw, reply_line())
                self.assertEqual(Path(SINGBOX_CONFIG).read_text(), file_text(document))

    def test_host_names_are_resolved_inside_the_sandbox(self):
        self.assertEqual(os.listdir("/sys/class/net"), ["lo"])  # no route out of the sandbox
        # Only the hosts file answers, so no lookup can reach a name server.
        override_file("/etc/nsswitch.conf", b"hosts: files\n")
        override_file("/etc/hosts", b"127.0.0.1 localhost\n198.51.100.7 vpn.example.test\n"
                                    b"2001:db8::7 vpn.example.test\n127.0.0.2 loop.example.test\n"
                                    b"224.1.1.1 multi.example.test\n")
        servers = ["203.0.113.9", " 10.0.0.1 ", "VPN.Example.Test.", "vpn.example.test", "loop.example.test",
                   "multi.example.test", "unknown.example.test", "127.0.0.1"]
        hosts = ["loop.example.test", "multi.example.test", "unknown.example.test", "vpn.example.test"]

        self.assertEqual(request(tun_up(auto_route=True, servers=servers)).raw, reply_line())
        exclusions = ["10.0.0.1", "198.51.100.7", "203.0.113.9", "224.1.1.1"]
        self.assertEqual(Path(SINGBOX_CONFIG).read_text(),
                         file_text(expected_document(auto_route=True, hosts=hosts, exclusions=exclusions)))

        self.assertEqual(request(tun_up(servers=servers)).raw, reply_line())
        self.assertEqual(Path(SINGBOX_CONFIG).read_text(), file_text(expected_document(hosts=hosts)))

    def test_refused_ranges_change_nothing(self):
        with Client(uid=1000) as owner:
            self.assertEqual(owner.request(tun_up()).raw, reply_line())
            running = self.core()
            config = Path(SINGBOX_CONFIG).read_text()
            self.plant_host_state()
            refusals = {
                tun_up(mtu=1279): "MTU должен быть от 1280 до 9000",
                tun_up(mtu=9001): "MTU должен быть от 1280 до 9000",
                tun_up(port=1023): "SOCKS-порт должен быть не ниже 1024",
                tun_up(mtu=9001, port=1023): "MTU должен быть от 1280 до 9000",
            }
            for line_text, message in refusals.items():
                with self.subTest(line_text):
                    self.assertEqual(owner.request(line_text).raw, reply_line(False, error=message))
            self.assert_host_state_kept()
            self.assertEqual(len(records()), 2)  # the first start's check and run only
            self.assertTrue(alive(running["pid"]))
            self.assertEqual(self.core()["events"], ["tun qtun0"])
            self.assertEqual(Path(SINGBOX_CONFIG).read_text(), config)
            self.assertEqual(owner.request("tun-status\n").raw, reply_line(interface="qtun0"))

            for mtu, port in ((1280, 1024), (9000, 1024)):
                self.assertEqual(owner.request(tun_up(mtu=mtu, port=port)).raw, reply_line())
                self.assertEqual(self.core()["config"], expected_document(mtu=mtu, port=port))

    def test_missing_sing_box_leaves_the_running_session_alone(self):
        os.unlink(SINGBOX)
        with Client(uid=1000) as owner:
            self.assertEqual(owner.request(f"mihomo-up {b64(mihomo_config('qtun0'))}\n").raw, reply_line())
            self.plant_host_state()
            self.assertEqual(owner.request(tun_up("qtun1")).raw, NOT_INSTALLED)
            self.assertEqual(owner.request("tun-status\n").raw, reply_line(interface="qtun0"))
            self.assertTrue(alive(records("mihomo", "run")[-1]["pid"]))
            self.assertEqual(records("mihomo", "run")[-1]["events"], ["tun qtun0"])
            self.assert_host_state_kept()

            install_cores(xray=False, mihomo=False)
            self.assertEqual(owner.request(tun_up("qtun1")).raw, reply_line())
            self.assertFalse(alive(records("mihomo", "run")[-1]["pid"]))
            sing_box = self.core()
            os.unlink(SINGBOX)  # the running copy keeps running
            self.plant_host_state()
            self.assertEqual(owner.request(tun_up("qtun2")).raw, NOT_INSTALLED)
            self.assertEqual(owner.request("tun-status\n").raw, reply_line(interface="qtun1"))
            self.assertTrue(alive(sing_box["pid"]))
            self.assertEqual(self.core()["events"], ["tun qtun1"])
            self.assert_host_state_kept()

    def test_check_refusal_reports_its_standard_error(self):
        cases = [
            ("complaint line", [{"stderr": "decode config at inbounds[0]: unknown field\n"}, {"exit": 1}],
             "decode config at inbounds[0]: unknown field"),
            ("trimmed, lines and bad bytes kept", [{"stderr": raw(b" \tfirst\nsecond \xff\n\n")}, {"exit": 2}],
             "first\nsecond \ufffd"),
            ("killed by a signal, silent", [{"signal": 9}], ""),
            ("capped at 2000 whole characters", [{"stderr": "я" * 1999 + "ж" * 5000}, {"exit": 1}],
             "я" * 1999 + "ж"),
        ]
        for name, steps, detail in cases:
            with self.subTest(name), Client(uid=1000) as owner:
                write_scenario("sing-box", "check", [])
                self.assertEqual(owner.request(tun_up()).raw, reply_line())
                previous = self.core()
                write_scenario("sing-box", "check", steps)
                self.assertEqual(owner.request(tun_up("qtun1")).raw,
                                 reply_line(False, error="sing-box отклонил TUN-конфигурацию: " + detail))
                self.assertFalse(alive(previous["pid"]))  # stopped before the check
                self.assertEqual(self.core()["events"], ["tun qtun0", "SIGTERM"])
                self.assertEqual(self.core("check")["config"]["inbounds"][0]["interface_name"], "qtun1")
                self.assertEqual(children_of(self.helper.pid), [])
            self.assertNotIn(b" failed: ", self.helper.log())  # refused before any launch
            # No session is left, so nobody owns one.
            self.assertEqual(request("tun-status\n").raw, reply_line())
            self.assertEqual(request("tun-down\n", uid=1000).raw, reply_line())

    def test_core_that_exits_while_starting_is_reported_only_in_the_journal(self):
        request("status\n")  # the start-up clean-up is over; record what tun-up runs
        record_tools("nft", "ip")
        write_scenario("sing-box", "run", [{"stderr": "FATAL[0000] start service: open tun: busy\n"},
                                           {"sleep_ms": 200}, {"exit": 1}])
        with Client(uid=1000) as owner:
            self.assertEqual(owner.request(tun_up()).raw, ABORTED)
            self.wait_for(lambda: threads(self.helper.pid) == ["quorin-helper"], "the log thread to end")
            # The log thread and the abort's line may reach the journal in either order.
            self.assertEqual(sorted(self.helper.log().decode().splitlines()), sorted([
                f"Quorin helper: tun-up requested by pid {owner.pid}", "FATAL[0000] start service: open tun: busy",
                "Quorin helper: tun-up failed: sing-box завершился при запуске (exit status: 1)"]))
        self.assertFalse(os.path.exists(f"/proc/{self.core()['pid']}"))  # reaped
        # The kill switch goes once, the core routing before the check and again after the abort.
        killswitch, core_routing = cleanup_commands()[:1], core_routing_commands()
        self.assertEqual([call["argv"] for call in tool_calls()], killswitch + core_routing + core_routing)
        self.assertTrue(os.path.exists(SINGBOX_CONFIG))
        self.assertEqual(request("tun-status\n").raw, reply_line())

    def test_failed_starts_leave_no_descriptor_or_child_behind(self):
        def descriptors():
            fd_dir = f"/proc/{self.helper.pid}/fd"
            return sorted(os.readlink(f"{fd_dir}/{fd}").split(":")[0] for fd in os.listdir(fd_dir))

        request("status\n")  # served once the start-up clean-up is over
        baseline = descriptors()
        failures = [
            ("range", lambda: None, tun_up(port=80)),
            ("check refusal", lambda: write_scenario("sing-box", "check", [{"exit": 1}]), tun_up()),
            ("exit while starting", lambda: (write_scenario("sing-box", "check", []),
                                             write_scenario("sing-box", "run", [{"exit": 3}])), tun_up()),
            ("not installed", lambda: os.unlink(SINGBOX), tun_up()),
        ]
        with Client(uid=1000) as client:
            for name, prepare, line_text in failures:
                with self.subTest(name):
                    prepare()
                    self.assertFalse(client.request(line_text).ok)
                    self.assertEqual(children_of(self.helper.pid), [])
                    self.wait_for(lambda: descriptors() == baseline, f"the descriptors to return to {baseline}")

    def test_interface_that_appears_after_the_start_line(self):
        write_scenario("sing-box", "run", [{"stderr": SINGBOX_START_LINE}, {"sleep_ms": 500}, {"tun": True}])
        self.assertEqual(request(tun_up()).raw, reply_line())
        self.assertTrue(interface_exists("qtun0"))
        self.assertEqual(self.core()["events"], ["tun qtun0"])

    def test_owner_replaces_its_session_and_other_clients_are_refused(self):
        with Client(uid=1000) as owner, Client(uid=1000) as other:
            self.assertEqual(owner.request(tun_up()).raw, reply_line())
            first = self.core()
            self.assertEqual(other.request(tun_up("qtun1")).raw, OTHER_OWNER)
            self.assertEqual(len(records()), 2)
            self.assertTrue(alive(first["pid"]))

            self.assertEqual(owner.request(tun_up("qtun1")).raw, reply_line())
            self.assertFalse(os.path.exists(f"/proc/{first['pid']}"))
            self.assertEqual(records("sing-box", "run")[0]["events"], ["tun qtun0", "SIGTERM"])
            self.wait_for(lambda: not interface_exists("qtun0"), "the first core's interface to go")
            self.assertEqual(other.request("tun-status\n").raw, reply_line(interface="qtun1"))
            self.assertEqual(other.request("tun-down\n").raw, OTHER_OWNER)  # still the first client's

    def test_tun_down_ends_the_core_and_its_log_thread(self):
        with Client(uid=1000) as owner:
            self.assertEqual(owner.request(tun_up()).raw, reply_line())
            self.assertEqual(threads(self.helper.pid), ["quorin-helper", "sing-box-log"])
            self.assertEqual(owner.request("tun-down\n").raw, reply_line())
        self.assertFalse(os.path.exists(f"/proc/{self.core()['pid']}"))
        self.assertEqual(self.core()["events"], ["tun qtun0", "SIGTERM"])
        self.wait_for(lambda: threads(self.helper.pid) == ["quorin-helper"], "the log thread to end")


class ReadinessTimeoutTest(SandboxTest):
    """Waits the full ten seconds of readiness polling."""

    def test_no_start_line_aborts_the_start(self):
        install_cores()
        authorize(1000)
        helper = self.start_helper()
        # Neither line is a start line: the marker needs its leading blank and a duration.
        lines = ["sing-box started (0.50s)\n", line("INFO", "sing-box started (ok)")]
        write_scenario("sing-box", "run", [{"tun": True}] + [{"stderr": text} for text in lines])
        with Client(uid=1000) as owner:
            self.assertEqual(owner.request(tun_up()).raw, ABORTED)
            self.wait_for(lambda: threads(helper.pid) == ["quorin-helper"], "the log thread to end")
            self.assertEqual(sorted(helper.log().decode().splitlines()), sorted(
                [f"Quorin helper: tun-up requested by pid {owner.pid}", *(text.rstrip("\n") for text in lines),
                 "Quorin helper: tun-up failed: sing-box не подтвердил готовность TUN-интерфейса qtun0 за 10 секунд"]))
        core = records("sing-box", "run")[0]
        self.assertFalse(os.path.exists(f"/proc/{core['pid']}"))
        self.assertEqual(core["events"], ["tun qtun0"])  # killed outright, no SIGTERM
        self.wait_for(lambda: not interface_exists("qtun0"), "the interface to go")
        self.assertEqual(request("tun-status\n", uid=1000).raw, reply_line())


class ResolverDeadlineTest(SandboxTest):
    """Waits out the four seconds the start gives to host-name lookups."""

    def test_late_answers_are_left_out(self):
        install_cores()
        authorize(0)
        server = slow_names(self, {"slow.example.test": "203.0.113.50"}, delay=6,
                            hosts=b"127.0.0.1 localhost\n198.51.100.8 fast.example.test\n")
        self.start_helper()
        # The system would read 010.1.1.1 and 1.2.3 as 8.1.1.1 and 1.2.0.3: they stay names, never resolved.
        servers = ["slow.example.test", "fast.example.test", "010.1.1.1", "1.2.3"]
        self.assertEqual(request(tun_up(auto_route=True, servers=servers)).raw, reply_line())
        self.assertEqual(server.queried.count("slow.example.test"), len(server.queried))
        hosts = ["010.1.1.1", "1.2.3", "fast.example.test", "slow.example.test"]
        self.assertEqual(Path(SINGBOX_CONFIG).read_text(), file_text(expected_document(
            auto_route=True, hosts=hosts, exclusions=["198.51.100.8"])))


if __name__ == "__main__":
    unittest.main()
