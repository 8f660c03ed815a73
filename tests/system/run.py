#!/usr/bin/env python3
"""System tests: the helper's Debian package under a real systemd, in one box (box.py).

Installs the package with dpkg, authorises a desktop user through pkexec, drives the
helper with quorinctl as that user, with Go stand-in cores that create TUN interfaces,
rules, routes and nftables tables, and checks socket activation, the journal, the
service's sandbox as the cores see it, stopping and killing the service during a
session, upgrade, removal, purge and reinstallation, and that the host is unchanged
afterwards. Prints one line per check; a failed check says what was expected and what
was seen. Exit status 0 when every check passed."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

from box import CGROUP_PREFIX, CGROUP_ROOT, Box

BUILD_DIR = os.environ["QUORIN_BUILD_DIR"]
GO_CORE = os.environ["QUORIN_GO_CORE"]

PACKAGES = "/root/quorin-system-test"
DEB = f"{PACKAGES}/quorin-helper.deb"
DEB_UPGRADE = f"{PACKAGES}/quorin-helper-upgrade.deb"
PROFILE = "/home/quorin-profile.json"
DESKTOP_UID = 1000
ADMIN = "quorin-admin"
ADMIN_PASSWORD = "correct horse battery staple"
HELPER = "/usr/sbin/quorin-helper"
SOCKET = "/run/quorin/helper.sock"
MARKERS = "/var/lib/quorin/authorized-users"
VERSIONS = "Xray v26.10.21; sing-box v1.14.1; Mihomo v1.19.30"
SETUP_LINE = "Встроенные Xray v26.10.21, sing-box v1.14.1 и Mihomo v1.19.30 готовы; uid {} авторизован\n"
# What a core keeps: NET_BIND_SERVICE 10, NET_ADMIN 12, NET_RAW 13, DAC_READ_SEARCH 2,
# SYS_PTRACE 19; the unit's bounding set adds KILL 5, SETGID 6 and SETUID 7 for the helper.
CAPABILITIES = f"{(1 << 2) | (1 << 10) | (1 << 12) | (1 << 13) | (1 << 19):016x}"
BOUNDING_SET = f"{int(CAPABILITIES, 16) | (1 << 5) | (1 << 6) | (1 << 7):016x}"
# What a core may write to: Mihomo's working directory and the service's private
# temporary ones.
WRITABLE = ("/var/cache/quorin/mihomo", "/tmp", "/var/tmp")
ESCAPE_PROBE = "/etc/quorin-escape-probe"
EXPOSURE_LIMIT = 2.8


class CheckFailed(Exception):
    pass


def expect(condition, expected, seen):
    if not condition:
        raise CheckFailed(f"expected: {expected}\n     seen: {seen}")


def expect_equal(expected, seen, what=""):
    expect(expected == seen, f"{what}{expected!r}", f"{what}{seen!r}")


def expect_run(result, stdout=None):
    """A command that must succeed (and print exactly stdout, when given)."""
    shown = f"exit {result.returncode}, stdout {result.stdout!r}, stderr {result.stderr!r}"
    expect(result.returncode == 0, f"exit 0{'' if stdout is None else f', stdout {stdout!r}'}", shown)
    if stdout is not None:
        expect(result.stdout == stdout, f"stdout {stdout!r}", shown)
    return result


def wait_for_value(function, wanted, timeout=30.0, key=lambda value: value):
    """The function's value once its key equals wanted, or its last value after the
    bound. The bound only stops a hang; nothing is timed."""
    deadline = time.monotonic() + timeout
    while True:
        value = function()
        if key(value) == wanted or time.monotonic() > deadline:
            return value
        time.sleep(0.1)


class SystemTests:
    """The box's state as the checks read it, and the runner of the checks."""

    def __init__(self, box):
        self.box = box
        self.results = []

    # -- the box's state ---------------------------------------------------------------

    def unit_property(self, unit, name):
        return self.box.run("systemctl", "show", "-P", name, unit).stdout.strip()

    def network_state(self):
        """Everything a core leaves behind that the clean-up must remove: interfaces
        other than lo, rules other than the kernel's defaults, routes in the helper's
        tables, nftables tables."""
        box = self.box
        links = box.sh("ip -o link show | awk -F': ' '{print $2}'").stdout.split()
        rules = []
        for family in ("-4", "-6"):
            for rule in json.loads(box.run("ip", "-j", family, "rule", "show").stdout):
                if rule.get("priority") not in (0, 32766, 32767):
                    rules.append(f"{family} {rule['priority']} lookup {rule.get('table')}")
        routes = []
        for family in ("-4", "-6"):
            for table in ("2022", "20220"):
                shown = box.run("ip", family, "route", "show", "table", table).stdout.strip()
                if shown:
                    routes.append(f"{family} table {table}: {shown}")
        tables = box.run("nft", "list", "tables").stdout.split("\n")
        return {"links": [link for link in links if link != "lo"], "rules": rules, "routes": routes,
                "tables": [table for table in tables if table]}

    def expect_clean_network(self):
        clean = {"links": [], "rules": [], "routes": [], "tables": []}
        expect_equal(clean, wait_for_value(self.network_state, clean), "network ")

    def core_processes(self):
        return self.box.sh("pgrep -a -x 'mihomo|sing-box' || true").stdout.strip()

    def account_processes(self):
        return self.box.sh("pgrep -a -u quorin-core || true").stdout.strip()

    def journal(self):
        return self.box.run("journalctl", "-u", "quorin-helper.service", "-o", "cat", "--no-pager").stdout

    def ctl(self, *args, uid=DESKTOP_UID):
        return self.box.run("quorinctl", *args, uid=uid)

    def start_mihomo_session(self, device="qtun0"):
        expect_run(self.ctl("mihomo-up", PROFILE))
        expect_run(self.ctl("tun-status"), f"{device}\n")
        expect(self.core_processes() != "", "a running core", "no core process")

    # -- checks ------------------------------------------------------------------------

    def check(self, name, function):
        started = time.monotonic()
        try:
            function()
        except CheckFailed as failure:
            self.results.append((name, False))
            print(f"not ok {len(self.results)} - {name}\n     {failure}", flush=True)
            return
        except Exception:  # a broken check is a failed check, with its trace
            self.results.append((name, False))
            print(f"not ok {len(self.results)} - {name}\n{traceback.format_exc()}", flush=True)
            return
        self.results.append((name, True))
        print(f"ok {len(self.results)} - {name} ({time.monotonic() - started:.1f} s)", flush=True)


# The desktop user registers pkttyagent for its own process (no --fallback: polkit
# consults a fallback agent for sessions only) and runs pkexec as that process's child,
# since pkexec asks polkit about its parent.
PKEXEC_DRIVER = r'''
import os, subprocess, sys
ready, notify = os.pipe()
agent = subprocess.Popen(["pkttyagent", "--process", str(os.getpid()), "--notify-fd", str(notify)], pass_fds=[notify])
os.close(notify)
os.read(ready, 1)  # pkttyagent closes it once registered
status = subprocess.run(["pkexec", "--disable-internal-agent", "/usr/sbin/quorin-helper", "setup"]).returncode
agent.terminate()
sys.exit(status)
'''


class Checks(SystemTests):
    def prepare(self):
        """Users and the profile; not a check: a failure here stops the run."""
        box = self.box
        if self.package_version():  # inherited from the host: start from a machine without it
            expect_run(box.run("dpkg", "-P", "quorin-helper", timeout=120))
        if box.passwd_entry(DESKTOP_UID) is None:
            expect_run(box.run("useradd", "-m", "-u", str(DESKTOP_UID), "quorin-desktop"))
        expect_run(box.run("useradd", "-m", "-G", "sudo", ADMIN))
        expect_run(box.run("chpasswd", input=f"{ADMIN}:{ADMIN_PASSWORD}\n"))
        self.other_uid = next(uid for uid in range(2000, 3000) if box.passwd_entry(uid) is None)
        expect_run(box.run("useradd", "-m", "-u", str(self.other_uid), "quorin-other"))
        self.stranger_uid = next(uid for uid in range(3000, 4000) if box.passwd_entry(uid) is None)
        expect_run(box.run("useradd", "-m", "-u", str(self.stranger_uid), "quorin-stranger"))
        profile = {"allow-lan": False, "external-controller": "127.0.0.1:9090", "proxies": [{"name": "p"}],
                   "tun": {"device": "qtun0", "enable": True, "auto-route": True, "strict-route": True}}
        box.write(PROFILE, json.dumps(profile))
        box.write("/usr/lib/quorin/cores/xray/geoip.dat", "geoip")
        box.write("/usr/lib/quorin/cores/xray/geosite.dat", "geosite")

    def helper_pid(self):
        return self.unit_property("quorin-helper.service", "MainPID")

    def expect_service(self, state):
        expect_equal(state, wait_for_value(lambda: self.unit_property("quorin-helper.service", "ActiveState"), state),
                     "quorin-helper.service ")

    def expect_session_ended(self):
        """The core has gone, the clean-up ran, and the helper is down."""
        expect_equal("", wait_for_value(self.core_processes, ""), "core processes ")
        self.expect_clean_network()
        self.expect_service("inactive")

    def expect_activation(self, old_pid=None):
        expect_run(self.ctl("status"), VERSIONS + "\nsession: none\n")
        self.expect_service("active")
        if old_pid is not None:
            expect(self.helper_pid() != old_pid, f"a new helper (not pid {old_pid})", f"pid {self.helper_pid()}")

    def journal_line(self, pattern):
        """The first journal line of the service matching pattern (waits for it)."""
        def find():
            return next(filter(None, (re.search(pattern, line) for line in self.journal().splitlines())), None)
        match = wait_for_value(find, "any match", key=lambda found: "any match" if found else None)
        expect(match is not None, f"a journal line matching {pattern!r}", f"journal:\n{self.journal()[-1500:]}")
        return match

    def install(self):
        expect_run(self.box.run("dpkg", "-i", DEB, timeout=120))
        expect_equal("enabled", self.unit_property("quorin-helper.socket", "UnitFileState"), "socket ")
        expect_equal("active", self.unit_property("quorin-helper.socket", "ActiveState"), "socket ")
        expect_equal("inactive", self.unit_property("quorin-helper.service", "ActiveState"), "service ")
        expect_equal("666 socket", self.box.run("stat", "-c", "%a %F", SOCKET).stdout.strip(), f"{SOCKET} ")

    def exposure(self):
        shown = self.box.run("systemd-analyze", "security", "--no-pager", "quorin-helper.service").stdout
        match = re.search(r"Overall exposure level for quorin-helper\.service: (\d+\.\d+)", shown)
        expect(match is not None, "an exposure figure", shown[-500:])
        self.exposure_figure = match.group(1)
        print(f"     systemd-analyze security exposure: {self.exposure_figure}")
        expect(float(self.exposure_figure) <= EXPOSURE_LIMIT, f"at most {EXPOSURE_LIMIT}", self.exposure_figure)

    def setup_with_pkexec_uid(self):
        result = self.box.run(HELPER, "setup", env={"PKEXEC_UID": str(self.other_uid)})
        expect_run(result, SETUP_LINE.format(self.other_uid))
        marker = f"{MARKERS}/{self.other_uid}"
        expect_equal("600 0 authorized", self.box.sh(f"stat -c '%a %u' {marker}; cat {marker}").stdout
                     .replace("\n", " ").strip(), f"{marker} ")

    def pkexec(self, password):
        return self.box.run_in_terminal(["python3", "-c", PKEXEC_DRIVER], [("Password:", password)], uid=DESKTOP_UID)

    def pkexec_wrong_password(self):
        status, shown = self.pkexec("not the password")
        # Refused after asking the administrator, not for want of an agent or an admin.
        asked = f"Authenticating as: {ADMIN}" in shown and "Password:" in shown
        expect(status == 127 and asked and "Not authorized" in shown,
               f"a password prompt for {ADMIN}, exit 127 and \"Not authorized\"", f"exit {status}: {shown!r}")
        marker = self.box.run("stat", f"{MARKERS}/{DESKTOP_UID}")
        expect(marker.returncode != 0, "no marker", marker.stdout)

    def pkexec_right_password(self):
        status, shown = self.pkexec(ADMIN_PASSWORD)
        expect(status == 0 and SETUP_LINE.format(DESKTOP_UID).strip() in shown, "exit 0 and the setup line",
               f"exit {status}: {shown!r}")
        expect_run(self.box.run("test", "-f", f"{MARKERS}/{DESKTOP_UID}"))

    def activation(self):
        expect_equal("inactive", self.unit_property("quorin-helper.service", "ActiveState"), "service ")
        self.expect_activation()

    def mihomo_up(self):
        self.start_mihomo_session()
        expected = {"links": ["qtun0"], "rules": ["-4 9000 lookup 2022", "-6 9001 lookup 2022"],
                    "routes": ["-4 table 2022: default dev qtun0 proto static scope link\n"
                               "unreachable 192.0.2.0/24 proto static"],
                    "tables": ["table inet mihomo"]}

        def state():
            shown = self.network_state()
            shown["routes"] = [re.sub(r" +\n", "\n", route) for route in shown["routes"]]
            return shown
        # The helper answers once the interface exists; the core goes on with its routing.
        expect_equal(expected, wait_for_value(state, expected), "network ")

    def core_sandbox(self):
        match = self.journal_line(r"standin-core mihomo sandbox: uid=(\S+) gid=(\S+) groups=(\S*) seccomp=(\S+) "
                                  r"no_new_privs=(\S+) cap_eff=(\S+) cap_prm=(\S+) cap_amb=(\S+) cap_bnd=(\S+)")
        account = self.box.run("getent", "passwd", "quorin-core").stdout.split(":")[2:4]
        expect_equal((*account, "", "2", "1") + (CAPABILITIES,) * 3 + (BOUNDING_SET,), match.groups(),
                     "uid, gid, groups, seccomp, no_new_privs, effective, permitted, ambient and bounding set ")

    def probe(self):
        return self.journal_line(r"standin-core mihomo probe: writable=(\S+) systemd_private=(.*) "
                                 r"system_bus=(.*) systemd_run=(.*) sysctl_net=(.*) shadow=(.*) var_lib=(.*)$")

    def writable_paths(self):
        writable = self.probe().group(1).split(",")
        outside = [path for path in writable if not any(path == top or path.startswith(top + "/") for top in WRITABLE)]
        expect(outside == [], f"writable only within {', '.join(WRITABLE)}", f"writable: {', '.join(writable)}")
        sysctl_net = self.probe().group(5)
        expect(sysctl_net == "writable", "the network's kernel settings writable", f"sysctl_net={sysctl_net}")
        secrets = self.probe().group(6, 7)
        expect("readable" not in secrets, "/etc/shadow and /var/lib/dpkg/status not readable",
               f"shadow={secrets[0]} var_lib={secrets[1]}")

    def no_way_to_pid1(self):
        private, bus, systemd_run = self.probe().group(2, 3, 4)
        expect("denied" in private and "denied" in bus, "\"permission denied\" for /run/systemd/private and the bus",
               f"systemd_private={private} system_bus={bus}")
        expect(systemd_run != "exit-0", "systemd-run fails", f"systemd_run={systemd_run}")
        escaped = self.box.run("test", "-e", ESCAPE_PROBE)
        expect(escaped.returncode != 0, f"no {ESCAPE_PROBE}", f"{ESCAPE_PROBE} exists")

    def no_way_to_the_host(self):
        line = self.journal_line(r"standin-core mihomo escape: (.*)$").group(1)
        print(f"     {line}")
        match = re.fullmatch(r"root_etc=false cwd_etc=false mem=false vm_write=false signal=false marker=false "
                             r"matching=(\d+)/\1 root_shadow=.*", line)
        expect(match is not None and int(match.group(1)) > 1, "every attempt false, every process readable", line)

    def tun_up(self):
        expect_run(self.ctl("tun-up", "--interface", "qtun1", "--mtu", "1500", "--socks-port", "10808",
                            "--auto-route", "--bypass", "firefox", "--server", "203.0.113.7"))
        expect_run(self.ctl("tun-status"), "qtun1\n")
        state = self.network_state()
        expect_equal((["qtun1"], ["table inet sing-box"], ["-4 9000 lookup 2022", "-6 9001 lookup 2022"]),
                     (state["links"], state["tables"], state["rules"]), "links, tables, rules ")

    def journal_lines(self):
        patterns = (r"^Quorin helper: mihomo-up requested by pid \d+$",
                    r"^Quorin helper: tun-up requested by pid \d+$",
                    r"^\+0000 \S+ \S+ INFO sing-box started \(0\.01s\)$",
                    r"^\+0000 \S+ \S+ WARN standin-core sing-box sandbox: uid=[1-9]\d* gid=[1-9]\d* groups= seccomp=2 "
                    f"no_new_privs=1 cap_eff={CAPABILITIES} cap_prm={CAPABILITIES} cap_amb={CAPABILITIES} "
                    f"cap_bnd={BOUNDING_SET}$")

        def missing():
            journal = self.journal()
            return [pattern for pattern in patterns if not re.search(pattern, journal, re.M)]
        absent = wait_for_value(missing, [])
        expect(absent == [], "all of " + ", ".join(map(repr, patterns)),
               f"none matching {absent!r} in:\n{self.journal()[-2000:]}")

    def tun_down(self):
        expect_run(self.ctl("tun-down"))
        expect_run(self.ctl("tun-status"), "no session\n")
        expect_equal("", self.core_processes(), "core processes ")
        expect_equal("", self.account_processes(), "processes of quorin-core ")  # its sleep too
        self.expect_clean_network()
        self.journal_line(r"^Quorin helper: tun-down requested by pid \d+$")

    def stop_during_session(self):
        self.start_mihomo_session()
        old_pid = self.helper_pid()
        expect_run(self.box.run("systemctl", "stop", "quorin-helper.service"))
        self.expect_session_ended()
        expect_equal("active", self.unit_property("quorin-helper.socket", "ActiveState"), "socket ")
        self.expect_activation(old_pid)

    def core_killed(self):
        self.start_mihomo_session()
        expect_run(self.box.run("pkill", "-KILL", "-x", "mihomo"))
        expect_equal("", wait_for_value(self.core_processes, ""), "core processes ")
        expect_equal("", wait_for_value(self.account_processes, ""), "processes of quorin-core ")
        self.expect_clean_network()  # with no request sent
        self.journal_line(r"^Quorin helper: the core of session qtun0 exited by itself \(signal: 9 \(SIGKILL\)\); "
                          r"its network state is cleared$")
        expect_run(self.ctl("tun-down"))

    def kill_during_session(self):
        self.start_mihomo_session()
        old_pid = self.helper_pid()
        expect_run(self.box.run("systemctl", "kill", "-s", "KILL", "quorin-helper.service"))
        expect_equal("", wait_for_value(self.core_processes, ""), "core processes ")
        self.expect_clean_network()
        state = wait_for_value(lambda: self.unit_property("quorin-helper.service", "ActiveState"), "failed")
        expect(state in ("failed", "inactive"), "failed or inactive", state)
        self.expect_activation(old_pid)

    def doctor(self, uid):
        shown = self.ctl("--json", "doctor", uid=uid)
        return {line["check"]: (line["verdict"], line["detail"]) for line in map(json.loads, shown.stdout.splitlines())}

    def doctor_verdicts(self):
        self.start_mihomo_session()
        seen = self.doctor(DESKTOP_UID)
        wanted = {"socket": ("ok", f"{SOCKET} (mode 0666)"), "helper": ("ok", "answers"),
                  "session": ("ok", "running on qtun0"),
                  "routing": ("skip", "a session runs; its rules and routes are expected"),
                  "networkd": ("ok", "systemd-networkd is not enabled")}
        expect_equal(wanted, {name: seen.get(name) for name in wanted}, "doctor ")
        expect(seen.get("cores", ("",))[0] == "ok" and VERSIONS in seen["cores"][1], f"cores ok with {VERSIONS}",
               seen.get("cores"))
        stranger = self.doctor(self.stranger_uid)
        wanted = {"helper": ("ok", "answers (status refused: пользователь не прошёл одноразовую настройку)"),
                  "cores": ("skip", "unknown: the helper refused this user")}
        expect_equal(wanted, {name: stranger.get(name) for name in wanted}, "doctor for an unauthorised user ")
        expect_equal("fail", stranger.get("authorisation", ("",))[0], "authorisation verdict ")
        journal = self.doctor(0).get("journal")  # root reads the real journal; the desktop user is told how
        expect(journal is not None and journal[0] in ("ok", "warn"), "journal read by root", journal)
        expect_equal("skip", seen.get("journal", ("",))[0], "journal verdict for the desktop user ")

    def package_version(self):
        return self.box.run("dpkg-query", "-W", "-f", "${Version} ${db:Status-Abbrev}", "quorin-helper").stdout.strip()

    def upgrade_during_session(self, deb=DEB_UPGRADE):
        self.start_mihomo_session()
        old_pid = self.helper_pid()
        expect_run(self.box.run("dpkg", "-i", deb, timeout=120))
        expect(self.package_version().startswith(self.upgrade_version), f"version {self.upgrade_version}",
               self.package_version())
        self.expect_session_ended()
        expect_equal(("enabled", "active"), (self.unit_property("quorin-helper.socket", "UnitFileState"),
                                             self.unit_property("quorin-helper.socket", "ActiveState")), "socket ")
        self.expect_activation(old_pid)
        expect_run(self.ctl("tun-status"), "no session\n")

    def remove_during_session(self):
        self.start_mihomo_session()
        expect_run(self.box.run("dpkg", "-r", "quorin-helper", timeout=120))
        self.expect_session_ended()
        gone = self.box.sh(f"for p in {SOCKET} {HELPER} /usr/bin/quorinctl; do test -e $p && echo $p; done").stdout
        expect_equal("", gone, "left after removal: ")
        expect_run(self.box.run("test", "-f", f"{MARKERS}/{DESKTOP_UID}"))
        expect_run(self.box.run("getent", "passwd", "quorin-core"))  # kept for the files it owns

    def reinstall_after_removal(self):
        expect_run(self.box.run("dpkg", "-i", DEB_UPGRADE, timeout=120))
        expect_equal(("enabled", "active"), (self.unit_property("quorin-helper.socket", "UnitFileState"),
                                             self.unit_property("quorin-helper.socket", "ActiveState")), "socket ")
        self.expect_activation()  # the kept marker admits the user without a new setup

    def purge_during_session(self):
        self.start_mihomo_session()
        expect_run(self.box.run("dpkg", "-P", "quorin-helper", timeout=120))
        self.expect_session_ended()
        left = self.box.sh("ls -d /var/lib/quorin /var/cache/quorin /run/quorin 2>/dev/null; "
                           "find /etc/systemd/system -name '*quorin*'").stdout
        expect_equal("", left, "left after purge: ")
        expect_equal("", self.package_version(), "package state ")

    def run_all(self):
        self.prepare()
        self.upgrade_version = self.box.run("dpkg-deb", "-f", DEB_UPGRADE, "Version").stdout.strip()
        for name, check in [
            ("install enables and starts the socket (0666); the service waits for a connection", self.install),
            ("systemd-analyze security exposure of the installed unit", self.exposure),
            ("PKEXEC_UID=N quorin-helper setup authorises uid N", self.setup_with_pkexec_uid),
            ("pkexec through pkttyagent refuses a wrong password", self.pkexec_wrong_password),
            ("pkexec through pkttyagent with the administrator's password authorises the user",
             self.pkexec_right_password),
            ("the first connection activates the service; status names the cores", self.activation),
            ("mihomo-up: the core's TUN, rules, routes and nftables table", self.mihomo_up),
            ("the core runs as quorin-core with seccomp, no new privileges and only its capabilities", self.core_sandbox),
            ("a core can write nothing but Mihomo's working directory and the private temporary ones, and reads "
             "neither /etc/shadow nor another service's state", self.writable_paths),
            ("inside the service neither PID 1 nor the system bus can be reached", self.no_way_to_pid1),
            ("a core can neither write the host's files or PID 1's memory, nor signal it, nor plant a marker; "
             "it reads every process's exe and fd/", self.no_way_to_the_host),
            ("tun-up --auto-route replaces Mihomo with sing-box", self.tun_up),
            ("the journal has the request lines and sing-box's forwarded lines", self.journal_lines),
            ("tun-down ends the session and the network is clean", self.tun_down),
            ("systemctl stop during a session: the core ends, the clean-up runs, the next connection "
             "starts the helper", self.stop_during_session),
            ("systemctl kill -s KILL during a session: the same", self.kill_during_session),
            ("the core killed while the helper runs: the network is clean at once", self.core_killed),
            ("quorinctl doctor verdicts for an authorised user with a session and for a stranger",
             self.doctor_verdicts),
            ("upgrade during a session ends it now; the next request starts the new helper",
             self.upgrade_during_session),
            ("reinstalling during a session behaves as an upgrade", self.upgrade_during_session),
            ("remove during a session: the core ends, the network is clean, the markers stay",
             self.remove_during_session),
            ("reinstall after removal: socket enabled again, the kept marker admits the user",
             self.reinstall_after_removal),
            ("purge during a session removes the state, the run-time directory and every unit link",
             self.purge_during_session),
        ]:
            self.check(name, check)


def host_state():
    """What the box must not change on the host."""
    def output(*args):
        return subprocess.run(args, capture_output=True, text=True).stdout
    # Another run's box, alive or left by a killed run, is that run's business.
    own = f"{CGROUP_PREFIX}{os.getpid()}"
    cgroups = sorted(name for name in os.listdir(CGROUP_ROOT) if not name.startswith(CGROUP_PREFIX) or name == own)
    return {"ip -4 rule": output("ip", "-4", "rule"), "ip -6 rule": output("ip", "-6", "rule"),
            "links": output("ip", "-o", "link", "show"), "nft tables": output("nft", "list", "tables"),
            "mounts": sorted(line.split()[4] for line in open("/proc/self/mountinfo")),
            "cgroups": cgroups,
            "files": [path for path in (ESCAPE_PROBE, "/run/quorin", "/var/lib/quorin", "/var/cache/quorin",
                                        "/etc/systemd/system/sockets.target.wants/quorin-helper.socket")
                      if os.path.lexists(path)]}


def build_packages(work):
    """The package as built, and the same with a higher version for the upgrade."""
    subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", work],
                   check=True, capture_output=True)
    debs = [name for name in os.listdir(work) if name.endswith(".deb")]
    assert len(debs) == 1, debs
    deb = os.path.join(work, debs[0])
    tree = os.path.join(work, "upgrade")
    subprocess.run(["dpkg-deb", "-R", deb, tree], check=True)
    control_path = os.path.join(tree, "DEBIAN", "control")
    with open(control_path) as control:
        text = control.read()
    with open(control_path, "w") as control:
        control.write(re.sub(r"^Version: (.*)$", r"Version: \1+upgrade1", text, flags=re.M))
    upgrade = os.path.join(work, "upgrade.deb")
    subprocess.run(["dpkg-deb", "-b", "--root-owner-group", tree, upgrade], check=True, capture_output=True)
    return deb, upgrade


def main():
    started = time.monotonic()
    # ctest and people stop a run with SIGTERM or SIGINT: the teardown runs all the same.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    before = host_state()
    work = tempfile.mkdtemp(prefix="quorin-system-test-")
    box = checks = None
    teardown_problems = []
    try:
        deb, upgrade = build_packages(work)
        files = [(deb, DEB), (upgrade, DEB_UPGRADE)]
        files += [(GO_CORE, f"/usr/lib/quorin/cores/{core}/{core}") for core in ("xray", "sing-box", "mihomo")]
        box = Box(files)
        box.boot()
        checks = Checks(box)
        checks.run_all()
    finally:
        if box is not None:
            teardown_problems = box.teardown()
            print(f"box powered off; console:\n{box.console_text()}" if teardown_problems else "box powered off",
                  flush=True)
        shutil.rmtree(work, ignore_errors=True)
        for problem in teardown_problems:
            print(f"teardown: {problem}", flush=True)
    results = checks.results if checks else []
    after = host_state()
    changed = {key: (before[key], after[key]) for key in before if before[key] != after[key]}
    results.append(("the host is unchanged", not changed and not teardown_problems))
    if changed or teardown_problems:
        print(f"not ok {len(results)} - the host is unchanged\n     changed (before, after): {changed}")
    else:
        print(f"ok {len(results)} - the host is unchanged")
    failed = [name for name, passed in results if not passed]
    print(f"{len(results)} checks, {len(failed)} failed, {time.monotonic() - started:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
