"""quorinctl against the real helper: every command, its output for people and for
programs, its exit codes, YAML profiles, and the doctor on clean and troubled hosts."""
import json
import os
import re
import subprocess
from pathlib import Path

from harness import (MIHOMO_CONFIG, SINGBOX_CONFIG, SOCKET, TEST_DIR, SandboxTest, authorize, install_cores,
                     mihomo_config, plant_route, plant_rule, records, reply_line, request)

_BUILD = Path(__file__).resolve().parents[2] / "build" / "default"
QUORINCTL = os.environ.get("QUORIN_CTL") or str(_BUILD / "tools/quorinctl/quorinctl")
VERSIONS = "Xray v26.10.21; sing-box v1.14.1; Mihomo v1.19.30"
USER = 1000


def quorinctl(*args, uid=USER, stdin=None) -> subprocess.CompletedProcess:
    """Runs quorinctl as `uid`; text output."""
    return subprocess.run([QUORINCTL, *args], user=uid, group=uid, extra_groups=[], input=stdin,
                          capture_output=True, text=True, timeout=120)


def printed_secret(result) -> str:
    """The secret of the line a secured start prints after the one saying it is up (64
    hexadecimal digits: 256 bits)."""
    line = re.fullmatch(r"qtun0 is up \(Mihomo\)\nMihomo API secret: ([0-9a-f]{64})\n", result.stdout)
    if line is None:
        raise AssertionError(f"no secret line: {result.stdout!r}")
    return line[1]


def user_file(name, content) -> str:
    path = f"{TEST_DIR}/{name}"
    Path(path).write_text(content)
    os.chmod(path, 0o644)
    return path


def strings_in(value):
    """Every string anywhere in a JSON value."""
    if isinstance(value, str):
        yield value
    elif isinstance(value, list):
        for item in value:
            yield from strings_in(item)
    elif isinstance(value, dict):
        for item in value.values():
            yield from strings_in(item)


# The same Mihomo profile twice: YAML with an anchor, a merge key, plain numbers and
# booleans, quoted strings and keys out of order; and JSON with the members resolved.
PROFILE_YAML = """\
tun:
  strict-route: true
  device: qtun0
  enable: true
  auto-route: true
allow-lan: false
external-controller: '127.0.0.1:9090'
proxies:
  - &first
    name: "first"
    type: ss
    server: 192.0.2.1
    udp: true
    port: 443
  - {<<: *first, name: second, port: 8443, password: "012", ratio: 1.50}
log-level: ~
"""


def profile_json():
    first = {"name": "first", "type": "ss", "server": "192.0.2.1", "udp": True, "port": 443}
    config = mihomo_config("qtun0", **{"log-level": None})
    config["proxies"] = [first, dict(first, name="second", port=8443, password="012", ratio=1.5)]
    return json.dumps(config, indent=1)


class CommandsTest(SandboxTest):
    def setUp(self):
        super().setUp()
        install_cores()
        authorize(USER)
        self.helper = self.start_helper()

    def test_status_and_tun_status_for_people_and_programs(self):
        result = quorinctl("status")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, VERSIONS + "\nsession: none\n", ""))
        result = quorinctl("--json", "status")
        self.assertEqual((result.returncode, result.stdout), (0, reply_line(version=VERSIONS).decode()))
        self.assertEqual(result.stdout.encode(), request(b"status\n", uid=USER).raw)
        result = quorinctl("tun-status")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "no session\n", ""))
        self.assertEqual(quorinctl("tun-status", "--json").stdout, reply_line().decode())

    def test_refusals_exit_1_with_the_helpers_text(self):
        result = quorinctl("status", uid=1001)
        error = "пользователь не прошёл одноразовую настройку"
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, "", f"quorinctl: {error}\nrun: quorinctl setup\n"))
        result = quorinctl("--json", "tun-down", uid=1001)
        self.assertEqual((result.returncode, result.stdout), (1, reply_line(False, error=error).decode()))

    def test_tun_up_encodes_every_option_and_tun_down_stops_it(self):
        bypass_file = user_file("bypass.txt", "# processes\n  /opt/App/run  \n\nC:\\Tools\\x.exe\n")
        result = quorinctl("tun-up", "--interface", "qtun5", "--mtu", "+1400", "--socks-port", "10808",
                           "--ipv6", "--auto-route", "--bypass", "firefox", "--bypass", "пример",
                           "--bypass-file", bypass_file, "--server", "192.0.2.7", "--server", "VPN.example.org.")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "qtun5 is up (sing-box)\n", ""))
        self.assertEqual(quorinctl("tun-status").stdout, "qtun5\n")
        self.assertEqual(quorinctl("status").stdout, VERSIONS + "\nsession: running on qtun5\n")
        config = json.loads(Path(SINGBOX_CONFIG).read_text())
        texts = set(strings_in(config))
        for expected in ("qtun5", "firefox", "пример", "/opt/App/run", "C:/Tools/x.exe"):
            self.assertIn(expected, texts)
        self.assertTrue(any("192.0.2.7" in text for text in texts))
        self.assertIn(b"Quorin helper: tun-up requested by pid", self.helper.log())

        result = quorinctl("--json", "tun-down")
        self.assertEqual((result.returncode, result.stdout), (0, reply_line().decode()))
        self.assertEqual(quorinctl("tun-status").stdout, "no session\n")
        self.assertEqual(quorinctl("tun-down").stdout, "the session is down\n")

    def test_tun_up_without_servers_sends_seven_words(self):
        result = quorinctl("tun-up", "--interface", "qtun6", "--mtu", "1500", "--socks-port", "1080")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(records("sing-box", "run")[-1]["config"]["inbounds"][0]["interface_name"], "qtun6")

    def test_yaml_and_json_profiles_write_the_same_configuration(self):
        json_path = user_file("profile.json", profile_json())
        yaml_path = user_file("profile.yaml", PROFILE_YAML)
        result = quorinctl("mihomo-up", json_path, "--memory-limit", "512MiB")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        from_json = Path(MIHOMO_CONFIG).read_text().replace(printed_secret(result), "S")
        self.assertEqual(records("mihomo", "run")[-1]["GOMEMLIMIT"], "512MiB")
        self.assertEqual(quorinctl("tun-down").returncode, 0)

        result = quorinctl("mihomo-up", yaml_path)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertEqual(Path(MIHOMO_CONFIG).read_text().replace(printed_secret(result), "S"), from_json)
        self.assertIsNone(records("mihomo", "run")[-1]["GOMEMLIMIT"])
        self.assertEqual(quorinctl("tun-status").stdout, "qtun0\n")

        # From standard input, detected as YAML; the helper's policy still decides, and
        # a secret is shown only for a Mihomo that runs.
        result = quorinctl("mihomo-up", "-", stdin=PROFILE_YAML.replace("allow-lan: false", "allow-lan: true"))
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, "", "quorinctl: Mihomo не должен открывать порты в LAN\n"))

    def test_mihomo_up_gives_the_api_a_fresh_secret_unless_the_profile_has_one(self):
        shown = []
        for profile in (user_file("profile.json", profile_json()), user_file("profile.yaml", PROFILE_YAML)):
            result = quorinctl("mihomo-up", profile)
            self.assertEqual((result.returncode, result.stderr), (0, ""))
            secret = printed_secret(result)
            self.assertGreaterEqual(len(secret) * 4, 128)
            self.assertEqual(records("mihomo", "run")[-1]["config"]["secret"], secret)
            shown.append(secret)
        self.assertNotEqual(shown[0], shown[1])

        # --json keeps standard output to the reply line; the secret goes to standard error.
        result = quorinctl("--json", "mihomo-up", user_file("profile.json", profile_json()))
        self.assertEqual((result.returncode, result.stdout), (0, reply_line().decode()))
        self.assertRegex(result.stderr, r"^Mihomo API secret: [0-9a-f]{64}\n$")
        self.assertEqual(records("mihomo", "run")[-1]["config"]["secret"], result.stderr[19:-1])

        own = json.loads(profile_json())
        own["secret"] = "mine"
        result = quorinctl("mihomo-up", user_file("own.json", json.dumps(own)))
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "qtun0 is up (Mihomo)\n", ""))
        self.assertEqual(records("mihomo", "run")[-1]["config"]["secret"], "mine")

    def test_no_secret_sends_the_profile_as_it_is_and_warns(self):
        for name, content in (("profile.json", profile_json()), ("profile.yaml", PROFILE_YAML)):
            result = quorinctl("mihomo-up", "--no-secret", user_file(name, content))
            self.assertEqual((result.returncode, result.stdout), (0, "qtun0 is up (Mihomo)\n"), name)
            self.assertEqual(result.stderr, "quorinctl: warning: Mihomo's API has no secret: any local program or "
                                            "web page can drive Mihomo through it\n")
            self.assertEqual(records("mihomo", "run")[-1]["config"], json.loads(profile_json()))
        result = quorinctl("mihomo-up", "--no-secret", "-", stdin=PROFILE_YAML + "secret: mine\n")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "qtun0 is up (Mihomo)\n", ""))
        self.assertEqual(records("mihomo", "run")[-1]["config"]["secret"], "mine")

    def test_usage_errors_exit_2_without_a_request(self):
        bad_profile = user_file("bad.json", "{\"a\": ")
        numbers = [(["tun-up", "--interface", "qtun0", "--mtu", "70000", "--socks-port", "1080"],
                    "--mtu 70000: not a number from 1280 to 9000"),
                   (["tun-up", "--interface", "qtun0", "--mtu", "1500", "--socks-port", "1"],
                    "--socks-port 1: not a port from 1024 to 65535"),
                   (["tun-up", "--interface", "qtun0", "--mtu", "15x0", "--socks-port", "1080"],
                    "--mtu 15x0: not a number from 1280 to 9000"),
                   (["--timeout", "0", "status"], "--timeout 0: not a number of seconds from 1 to 3600"),
                   (["mihomo-up", "-", "--memory-limit", "1.5GiB"], "--memory-limit 1.5GiB: not digits and then "
                    "letters, at most 16 bytes (for example 512MiB)")]
        for args, message in numbers:
            result = quorinctl(*args)
            self.assertEqual((result.returncode, result.stderr), (2, f"quorinctl: {message}\n"), args)
        for args in (["tun-up", "--interface", "bad.name", "--mtu", "1500", "--socks-port", "1"],
                     ["tun-up", "--interface", "qtun0", "--mtu", "1500"],
                     ["tun-up", "--interface", "qtun0", "--mtu", "1500", "--socks-port", "1", "--bypass-file",
                      "/nonexistent"],
                     ["mihomo-up", bad_profile], ["mihomo-up", "/nonexistent.yaml"],
                     ["frobnicate"], [],
                     ["tun-up", "--interface", "qtun0", "--mtu", "1500", "--socks-port", "1080", "--server",
                      "http://vpn.example.org:443"]):
            result = quorinctl(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertNotEqual(result.stderr, "", args)
        self.assertEqual(self.helper.log(), b"")
        for command in ([], ["status"], ["tun-up"], ["mihomo-up"], ["doctor"], ["setup"]):
            result = quorinctl(*command, "--help")
            self.assertEqual((result.returncode, result.stderr), (0, ""), command)
            self.assertIn("Usage: quorinctl", result.stdout)
        self.assertEqual(quorinctl("--version").stdout, "quorinctl 0.1.0\n")

    def test_setup_runs_pkexec_with_the_helpers_full_path(self):
        fake = user_file("pkexec", "#!/bin/sh\necho \"$0 $*\"\nexit 126\n")
        os.chmod(fake, 0o755)
        result = subprocess.run([QUORINCTL, "setup"], user=USER, group=USER, extra_groups=[], capture_output=True,
                                text=True, timeout=120, env={"PATH": f"{TEST_DIR}:/usr/bin:/bin"})
        self.assertEqual((result.returncode, result.stdout), (126, f"{fake} /usr/sbin/quorin-helper setup\n"))


class NoHelperTest(SandboxTest):
    def test_a_missing_socket_says_the_helper_is_not_running(self):
        for args in (["status"], ["--json", "tun-status"], ["--socket", "/run/elsewhere.sock", "tun-down"]):
            result = quorinctl(*args)
            path = "/run/elsewhere.sock" if "--socket" in args else SOCKET
            self.assertEqual((result.returncode, result.stdout), (3, ""), args)
            self.assertTrue(result.stderr.startswith(f"quorinctl: the helper is not running: no socket at {path}"),
                            result.stderr)


class DoctorTest(SandboxTest):
    """The doctor, with /etc/systemd and /etc/nftables.conf replaced inside the sandbox."""

    def setUp(self):
        super().setUp()
        subprocess.run(["mount", "-t", "tmpfs", "doctor-etc", "/etc/systemd"], check=True)
        self.addCleanup(subprocess.run, ["umount", "/etc/systemd"], check=True)
        self.nft_conf = user_file("nftables.conf", "table inet filter {\n}\n")
        subprocess.run(["mount", "--bind", self.nft_conf, "/etc/nftables.conf"], check=True)
        self.addCleanup(subprocess.run, ["umount", "/etc/nftables.conf"], check=True)

    def doctor(self, uid=USER):
        result = quorinctl("doctor", uid=uid)
        lines = result.stdout.splitlines()
        verdicts = {line[5:].split(":")[0]: line[:5].strip() for line in lines}
        return result.returncode, verdicts, result.stdout

    def enable(self, unit, target):
        wants = Path(f"/etc/systemd/system/{target}.wants")
        wants.mkdir(parents=True, exist_ok=True)
        (wants / unit).symlink_to(f"/lib/systemd/system/{unit}")

    def test_a_clean_host_passes_every_check(self):
        install_cores()
        authorize(USER)
        self.start_helper()
        code, verdicts, text = self.doctor()
        self.assertEqual(code, 0, text)
        self.assertEqual(verdicts, dict.fromkeys(
            ["socket", "helper", "authorisation", "account", "cores", "session", "routing", "networkd", "nftables"],
            "ok")
            | {"journal": "skip"}, text)
        self.assertIn("journal: this user may not read the helper's journal: run `journalctl -u quorin-helper`", text)
        self.assertIn(f"cores: {VERSIONS} (Xray v26.10.21 built-in /usr/lib/quorin/cores/xray/xray;", text)
        self.assertIn(f"authorisation: marker /var/lib/quorin/authorized-users/{USER} (uid 0, mode 0600)", text)
        json_lines = [json.loads(line) for line in quorinctl("--json", "doctor").stdout.splitlines()]
        self.assertEqual([line["verdict"] for line in json_lines], ["ok"] * 9 + ["skip"])

    def test_an_account_the_cores_share_fails_and_nothing_starts(self):
        install_cores()
        authorize(USER)
        self.start_helper()
        for path, pattern, replacement, problem in (
                ("/etc/passwd", r"^(quorin-core:.*):[^:\n]*$", r"\1:/bin/bash", "у него оболочка входа /bin/bash"),
                ("/etc/group", r"^(quorin-core:[^:]*:\d+):$", r"\1:alice", "в его группе есть участники: alice")):
            with self.subTest(path=path):
                # The sandbox's own copy (scripts/sandbox), which only its mount namespace sees.
                kept = Path(path).read_text()
                Path(path).write_text(re.sub(pattern, replacement, kept, count=1, flags=re.M))
                try:
                    code, verdicts, text = self.doctor()
                    self.assertEqual((code, verdicts["account"]), (1, "FAIL"), text)
                    self.assertIn(f"не годится для ядер: {problem}: as root, make it a system account", text)
                    started = quorinctl("tun-up", "--interface", "qtun0", "--mtu", "1500", "--socks-port", "1080")
                    self.assertIn(problem, started.stderr)
                    self.assertEqual(records(), [])  # neither a check nor a core ran
                finally:
                    Path(path).write_text(kept)

    def test_foreign_rules_and_routes_warn_only_while_no_session_runs(self):
        install_cores()
        authorize(USER)
        self.start_helper()
        # The helper cleans up before it accepts the first connection; plant after that.
        self.assertEqual(request(b"status\n", uid=USER).ok, True)
        plant_rule(9000, source="10.1.0.1")
        plant_rule(9000, source="10.1.0.2")
        plant_rule(32768, family="-6", source="2001:db8::1")
        plant_route("10.9.0.0/16", 2022)
        code, verdicts, text = self.doctor()
        self.assertEqual((code, verdicts["routing"]), (1, "warn"), text)
        self.assertIn("IPv4 rules at 9000, 9000; IPv4 routes in table 2022: 1; IPv6 rules at 32768 while no session"
                      " runs", text)
        self.assertEqual(quorinctl("tun-up", "--interface", "qtun0", "--mtu", "1500", "--socks-port", "1080").returncode, 0)
        code, verdicts, text = self.doctor()
        self.assertEqual(verdicts["routing"], "skip", text)
        self.assertIn("session: running on qtun0", text)

    def test_a_missing_helper_and_a_missing_or_damaged_marker_fail(self):
        code, verdicts, text = self.doctor()
        self.assertEqual(code, 1)
        self.assertEqual([verdicts[name] for name in ("socket", "helper", "authorisation", "cores", "session")],
                         ["FAIL", "FAIL", "FAIL", "skip", "skip"], text)
        self.assertIn("socket: no socket at /run/quorin/helper.sock: the helper is not running", text)
        self.assertIn(f"no marker /var/lib/quorin/authorized-users/{USER}: run `quorinctl setup` (pkexec "
                      "/usr/sbin/quorin-helper setup)", text)

        install_cores()
        authorize(USER, mode=0o664)
        self.start_helper()
        code, verdicts, text = self.doctor()
        self.assertEqual([verdicts[name] for name in ("socket", "helper", "authorisation", "cores")],
                         ["ok", "ok", "FAIL", "skip"], text)
        self.assertIn("damaged marker", text)
        self.assertIn("status refused: повреждён маркер авторизации Quorin", text)

    def test_failed_starts_in_the_journal_are_shown_to_those_who_may_read_it(self):
        journal = "".join(f"echo 'T host quorin-helper[2]: Quorin helper: {text}'\n" for text in (
            "tun-up failed: A", "mihomo-up failed: B", "tun-up requested by pid 7", "tun-up failed: C", "tun-up failed: D"))
        fake = user_file("journalctl", f"#!/bin/sh\necho \"$*\" > {TEST_DIR}/args\n{journal}")
        os.chmod(fake, 0o755)
        subprocess.run(["mount", "--bind", fake, "/usr/bin/journalctl"], check=True)
        self.addCleanup(subprocess.run, ["umount", "/usr/bin/journalctl"], check=True)
        code, verdicts, text = self.doctor(uid=0)
        self.assertEqual((code, verdicts["journal"]), (1, "warn"), text)
        self.assertIn("".join(f"warn journal: T host quorin-helper[2]: Quorin helper: {x}\n" for x in (
            "mihomo-up failed: B", "tun-up failed: C", "tun-up failed: D")), text)  # the last three, no request
        self.assertIn("--unit=quorin-helper.service --boot", Path(f"{TEST_DIR}/args").read_text())

    def test_a_missing_core_fails_the_cores_check(self):
        install_cores(xray=False)
        authorize(USER)
        self.start_helper()
        code, verdicts, text = self.doctor()
        self.assertEqual((code, verdicts["cores"]), (1, "FAIL"))
        self.assertIn("cores: в пакете Quorin отсутствует Xray", text)

    def test_networkd_managing_foreign_rules_and_a_flushing_nftables_service_warn(self):
        self.enable("systemd-networkd.service", "multi-user.target")
        self.enable("nftables.service", "sysinit.target")
        Path(self.nft_conf).write_text("#!/usr/sbin/nft -f\n\nflush ruleset\n")
        code, verdicts, text = self.doctor(uid=0)
        self.assertEqual((verdicts["networkd"], verdicts["nftables"]), ("warn", "warn"), text)
        self.assertIn("(ManageForeignRoutingPolicyRules=yes (the default))", text)
        self.assertIn("/etc/nftables.conf flushes the whole rule set", text)

        drop_ins = Path("/etc/systemd/networkd.conf.d")
        drop_ins.mkdir()
        (drop_ins / "quorin.conf").write_text("[Network]\nManageForeignRoutingPolicyRules=no\n")
        Path(self.nft_conf).write_text("# flush ruleset\ntable inet filter {\n}\n")
        code, verdicts, text = self.doctor(uid=0)
        self.assertEqual((verdicts["networkd"], verdicts["nftables"]), ("ok", "ok"), text)
        self.assertIn("ManageForeignRoutingPolicyRules=no in /etc/systemd/networkd.conf.d/quorin.conf", text)
