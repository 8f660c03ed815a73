"""Soak run of quorin-helper (run by scripts/soak, inside scripts/sandbox).

Sends mixed requests (every command, valid and invalid, from the owner of the session,
from other processes of the same and of another user, and from a user who never ran
setup) and runs core start/stop cycles with stand-in cores that succeed, are refused,
crash while starting or running, or ignore SIGTERM. Every reply is compared with what a
model of the session predicts, and after each cycle the helper may have no child but
the session's core. At the end the helper's descriptors must equal those at the start,
no child may remain, and (full run only) its resident memory may not have grown by
more than 1 MiB. The figures are printed.

    soak.py [--short] [--seed N]
"""
import argparse
import os
import random
import signal
import socket
import sys
import time
import unittest
from dataclasses import dataclass
from pathlib import Path

from harness import (MIHOMO_CONFIG, SINGBOX_CONFIG, SINGBOX_START_LINE, SOCKET, Client, SandboxTest, authorize, b64,
                     children_of, install_cores, mihomo_config, override_file, reply_line, unsupported_reply, write_scenario)
from run import run_suite

STATUS = reply_line(version="Xray v26.10.21; sing-box v1.14.1; Mihomo v1.19.30")
OTHER_OWNER = reply_line(False, error="VPN уже запущен в другом процессе Quorin. Отключите его в том окне")
NOT_AUTHORIZED = reply_line(False, error="пользователь не прошёл одноразовую настройку")
UNSUPPORTED = unsupported_reply()
ABORTED = reply_line(False, error="Не удалось запустить TUN sing-box; подробности в журнале quorin-helper")
OK = reply_line()
INFO_LINE = "+0000 2026-12-07 12:00:00 INFO network: updated default interface lo\n"
RSS_BOUND_KIB = 1024
STRANGER_UID = 1002  # never ran setup


def failure(message):
    return reply_line(False, error=message)


def mihomo_up(device="qtun0", memory=None, **members):
    return f"mihomo-up {b64(mihomo_config(device, **members))}" + (f" {memory}" if memory else "") + "\n"


def tun_up(interface="qtun1", auto_route=False, mtu="1500", port="1080", bypass=None, servers=None):
    words = ["tun-up", interface, "0", "1" if auto_route else "0", mtu, port,
             b64(["firefox", "/usr/bin/curl"]) if bypass is None else bypass]
    if servers is not None:
        words.append(servers)
    return " ".join(words) + "\n"


SERVERS = b64(["203.0.113.9", "vpn1.example.test", "vpn2.example.test:443", "unknown.example.test"])
BIG_CONFIG = mihomo_up(proxies=[{"name": f"p{i}", "type": "socks5", "server": "10.0.0.1", "port": 1024 + i}
                                for i in range(2000)])


@dataclass
class Start:
    """One way a start request goes; `starts` tells whether a session results."""
    name: str
    core: str
    check: list
    run: list
    line: str
    reply: bytes
    starts: bool
    ignore_sigterm: bool = False


MIHOMO_RUN = [{"tun": True}]
SINGBOX_RUN = [{"stderr": INFO_LINE}, {"tun": True}, {"stderr": SINGBOX_START_LINE}]
STARTS = [
    Start("mihomo", "mihomo", [], MIHOMO_RUN, mihomo_up(), OK, True),
    Start("mihomo with a memory limit", "mihomo", [], MIHOMO_RUN, mihomo_up(memory="256MiB"), OK, True),
    Start("mihomo with 2000 proxies", "mihomo", [], MIHOMO_RUN, BIG_CONFIG, OK, True),
    Start("sing-box", "sing-box", [], SINGBOX_RUN, tun_up(), OK, True),
    Start("sing-box routing around named servers", "sing-box", [], SINGBOX_RUN,
          tun_up(auto_route=True, servers=SERVERS), OK, True),
    Start("mihomo refusing the configuration", "mihomo", [{"stdout": "time=x level=fatal msg=bad proxy\n"},
                                                          {"exit": 1}], MIHOMO_RUN, mihomo_up(),
          failure("Mihomo отклонил конфигурацию: time=x level=fatal msg=bad proxy"), False),
    Start("mihomo exiting at start", "mihomo", [], [{"exit": 1}], mihomo_up(),
          failure("Mihomo завершился при запуске (exit status: 1)"), False),
    Start("mihomo killed at start", "mihomo", [], [{"signal": 9}], mihomo_up(),
          failure("Mihomo завершился при запуске (signal: 9 (SIGKILL))"), False),
    Start("sing-box refusing the configuration", "sing-box", [{"stderr": "FATAL decode config: bad\n"}, {"exit": 1}],
          SINGBOX_RUN, tun_up(), failure("sing-box отклонил TUN-конфигурацию: FATAL decode config: bad"), False),
    Start("sing-box exiting at start", "sing-box", [], [{"stderr": "FATAL start: bad\n"}, {"exit": 1}], tun_up(),
          ABORTED, False),
]
DEAF_STARTS = [
    Start("mihomo ignoring SIGTERM", "mihomo", [], MIHOMO_RUN, mihomo_up(), OK, True, ignore_sigterm=True),
    Start("sing-box ignoring SIGTERM", "sing-box", [], SINGBOX_RUN, tun_up(), OK, True, ignore_sigterm=True),
]

# Requests that never start a core: (name, bytes, shut down writing, reply once admitted
# and past the owner test; None for tun-status and tun-down, which the model answers).
MIXED = [
    ("status", b"status\n", False, STATUS),
    ("status between blanks", b"  status\r\n", False, STATUS),
    ("status without line feed", b"status", True, STATUS),
    ("capitals", b"STATUS\n", False, UNSUPPORTED),
    ("status with a word", b"status x\n", False, UNSUPPORTED),
    ("nothing", b"", True, UNSUPPORTED),
    ("not UTF-8", b"status\xff\n", False, failure("stream did not contain valid UTF-8")),
    ("long line", b"status " + b"x" * 300_000 + b"\n", False, UNSUPPORTED),
    ("tun-status", b"tun-status\n", False, None),
    ("tun-status with a word", b"tun-status 1\n", False, UNSUPPORTED),
    ("tun-down", b"tun-down\n", False, None),
    ("lone mihomo-up", b"mihomo-up\n", False, UNSUPPORTED),
    ("lone tun-up", b"tun-up\n", False, UNSUPPORTED),
    ("mihomo-up with four words", b"mihomo-up a b c\n", False, UNSUPPORTED),
    ("tun-up with nine words", b"tun-up a b c d e f g h i\n", False, UNSUPPORTED),
    ("bad interface", tun_up("bad.name").encode(), False, UNSUPPORTED),
    ("bad MTU", tun_up(mtu="70000").encode(), False, failure("некорректный MTU")),
    ("bad port", tun_up(port="x").encode(), False, failure("некорректный SOCKS-порт")),
    ("padded bypass", tun_up(bypass="W10=").encode(), False, failure("повреждён список процессов обхода")),
    ("bypass object", tun_up(bypass=b64({})).encode(), False, failure("некорректный список процессов обхода")),
    ("bad servers", tun_up(servers="!!").encode(), False, failure("повреждён список серверов")),
    ("servers string", tun_up(servers=b64("x")).encode(), False, failure("некорректный список серверов")),
    ("MTU out of range", tun_up(mtu="1279").encode(), False, failure("MTU должен быть от 1280 до 9000")),
    ("port out of range", tun_up(port="1023").encode(), False, failure("SOCKS-порт должен быть не ниже 1024")),
    ("padded configuration", f"mihomo-up {b64(mihomo_config())}=\n".encode(), False,
     failure("повреждена конфигурация Mihomo")),
    ("broken JSON", f"mihomo-up {b64('{')}\n".encode(), False, failure("некорректная конфигурация Mihomo")),
    ("array configuration", f"mihomo-up {b64([1])}\n".encode(), False,
     failure("конфигурация Mihomo должна быть объектом")),
    ("forbidden key", mihomo_up(**{"x-beta": 1}).encode(), False, failure("запрещённый параметр Mihomo: x-beta")),
    ("LAN open", mihomo_up(**{"allow-lan": True}).encode(), False, failure("Mihomo не должен открывать порты в LAN")),
    ("no proxies", mihomo_up(proxies=[]).encode(), False, failure("в конфигурации Mihomo нет прокси")),
]
CONFIG_FILES = (MIHOMO_CONFIG, SINGBOX_CONFIG)
CHANGES_SESSION = (b"mihomo-up", b"tun-down", b"tun-up")


def status_field(pid, name):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(name + ":"):
            return int(line.split()[1])
    raise KeyError(name)


def descriptors(pid):
    directory = f"/proc/{pid}/fd"
    return {int(fd): os.readlink(f"{directory}/{fd}") for fd in os.listdir(directory)}


@dataclass
class Session:
    owner: int  # pid of the client that started it
    interface: str
    core: int
    crashed: bool = False  # the helper has reaped it and cleared its network state


class SoakTest(SandboxTest):
    requests = 10_000
    cycles = 300
    deaf_every = 15  # every so many cycles the core ignores SIGTERM (1.5 s to stop)
    check_rss = True
    seed = 1

    def setUp(self):
        super().setUp()
        install_cores()
        for uid in (0, 1000, 1001):
            authorize(uid)
        override_file("/etc/nsswitch.conf", b"hosts: files\n")
        override_file("/etc/hosts", b"127.0.0.1 localhost\n198.51.100.7 vpn1.example.test\n"
                                    b"198.51.100.8 vpn2.example.test\n")
        self.random = random.Random(self.seed)
        self.session = None
        self.dead_owners = set()
        self.sent = 0
        self.counts = {}

    def client(self, uid):
        client = Client(uid=uid)
        self.addCleanup(client.close)
        return client

    # ------------------------------------------------------------------ requests

    def expected(self, client, name, line, reply):
        if client.uid == STRANGER_UID:
            return NOT_AUTHORIZED
        words = line.split()
        if words and words[0] in CHANGES_SESSION and self.session and self.session.owner not in self.dead_owners \
                and self.session.owner != client.pid:
            return OTHER_OWNER
        if name == "tun-status":
            alive = self.session and not self.session.crashed
            return reply_line(interface=self.session.interface if alive else None)
        if name == "tun-down":
            self.session = None
            return OK
        return reply

    def send(self, client, name, line, reply, shutdown=False):
        expected = self.expected(client, name, line, reply)
        got = client.request(line, shutdown).raw
        self.sent += 1
        self.counts[name] = self.counts.get(name, 0) + 1
        if got != expected:
            self.fail(f"request {self.sent} ({name}) from uid {client.uid}, pid {client.pid}: "
                      f"expected {expected!r}, got {got[:300]!r}")
        return got

    def hang_up(self):
        """A client that leaves before its reply."""
        with socket.socket(socket.AF_UNIX) as sock:
            sock.connect(SOCKET)
            sock.sendall(b"status\n")
        self.sent += 1
        self.counts["gone before the reply"] = self.counts.get("gone before the reply", 0) + 1

    def mixed(self, count):
        senders = [self.owner] * 4 + [self.sibling] * 2 + [self.other] * 2 + [self.stranger]
        for _ in range(count):
            name, line, shutdown, reply = self.random.choice(MIXED)
            if name == "tun-down" and self.random.random() < 0.8:
                name, line, shutdown, reply = MIXED[0]  # keep sessions alive for a while
            if self.random.random() < 0.02:
                self.hang_up()
            elif self.random.random() < 0.03:
                self.foreign_start()
            else:
                self.send(self.random.choice(senders), name, line, reply, shutdown)

    def foreign_start(self):
        """A valid start from a process that may not replace the session: refused."""
        client = self.random.choice([self.sibling, self.other, self.stranger])
        line = self.random.choice([STARTS[0].line, STARTS[3].line]).encode()
        if client is self.stranger or self.expected(client, "start", line, None) == OTHER_OWNER:
            self.send(client, "valid start refused", line, None)

    # ------------------------------------------------------------------ cycles

    def start(self, kind, client):
        for core, check, run in (("mihomo", [], MIHOMO_RUN), ("sing-box", [], SINGBOX_RUN)):
            if core == kind.core:
                check, run = kind.check, kind.run
            write_scenario(core, "check", check)
            write_scenario(core, "run", run, ignore_sigterm=kind.ignore_sigterm and core == kind.core)
        got = client.request(kind.line).raw
        self.sent += 1
        self.counts[kind.name] = self.counts.get(kind.name, 0) + 1
        if got != kind.reply:
            self.fail(f"start {kind.name}: expected {kind.reply!r}, got {got!r}")
        self.session = None
        if kind.starts:
            cores = children_of(self.helper.pid)
            self.assertEqual(len(cores), 1, kind.name)
            interface = "qtun1" if kind.core == "sing-box" else "qtun0"
            self.session = Session(client.pid, interface, cores[0])

    def crash(self):
        os.kill(self.session.core, signal.SIGKILL)
        # The helper reaps the core and clears its state: the configuration files go last.
        self.wait_for(lambda: not children_of(self.helper.pid) and not any(map(os.path.exists, CONFIG_FILES)),
                      "the crashed core to be reaped and its state cleared")
        self.session.crashed = True
        self.counts["core crashed while running"] = self.counts.get("core crashed while running", 0) + 1

    def stop(self):
        choice = self.random.random()
        if choice < 0.45:
            self.send(self.owner, "tun-down", b"tun-down\n", None)
        elif choice < 0.55:
            # The owner goes away; then anyone may stop the session.
            self.dead_owners.add(self.owner.pid)
            self.owner.close()
            self.owner = self.client(self.owner.uid)
            self.send(self.other, "tun-down", b"tun-down\n", None)
        # otherwise the next start replaces the session

    def assert_children(self):
        """The helper's only child, if any, is the session's running core."""
        expected = [self.session.core] if self.session and not self.session.crashed else []
        self.assertEqual(children_of(self.helper.pid), expected)

    def cycle(self, kind):
        # The session, while its owner lives, is always self.owner's; once there is no
        # such session the other user's process sometimes takes over.
        starter = self.owner
        if (not self.session or self.session.owner in self.dead_owners) and self.random.random() < 0.2:
            self.owner, self.other = self.other, self.owner
            starter = self.owner
        self.start(kind, starter)
        if self.session and self.random.random() < 0.15:
            self.crash()
        self.assert_children()

    # ------------------------------------------------------------------ measuring

    def settled(self):
        """No session, no child, and the helper back to its serving thread alone."""
        self.send(self.owner, "tun-down", b"tun-down\n", None)
        pid = self.helper.pid
        self.wait_for(lambda: children_of(pid) == [] and status_field(pid, "Threads") == 1,
                      "the helper to have no child and one thread")
        return {"descriptors": descriptors(pid), "rss": status_field(pid, "VmRSS")}

    def test_soak(self):
        self.helper = self.start_helper()
        uids = (1000, 1000, 1001, STRANGER_UID)
        self.owner, self.sibling, self.other, self.stranger = (self.client(uid) for uid in uids)
        # Warm-up: every path once, so that lazily made things (thread stacks, name
        # service modules, allocator arenas) are there before the baseline.
        for kind in STARTS + DEAF_STARTS:
            self.cycle(kind)
            self.mixed(len(MIXED))
        for name, line, shutdown, reply in MIXED:
            self.send(self.owner, name, line, reply, shutdown)
        before = self.settled()
        self.sent, self.counts = 0, {}

        began = time.monotonic()
        for number in range(self.cycles):
            deaf = self.deaf_every and number % self.deaf_every == self.deaf_every - 1
            kind = self.random.choice(DEAF_STARTS if deaf else STARTS)
            self.cycle(kind)
            budget = (self.requests - self.sent) // (self.cycles - number) - 2
            self.mixed(max(budget, 0))
            self.stop()
            self.assert_children()
        self.mixed(max(self.requests - self.sent - 1, 0))
        after = self.settled()
        elapsed = time.monotonic() - began

        self.report(before, after, elapsed)
        self.assertEqual(after["descriptors"], before["descriptors"])
        if self.check_rss:
            self.assertLessEqual(after["rss"] - before["rss"], RSS_BOUND_KIB)

    def report(self, before, after, elapsed):
        starts = sum(count for name, count in self.counts.items() if name in {k.name for k in STARTS + DEAF_STARTS})
        lines = [
            f"soak: {self.sent} requests and {starts} core starts in {elapsed:.1f} s (seed {self.seed})",
            f"  descriptors: {len(before['descriptors'])} before, {len(after['descriptors'])} after "
            f"({'equal' if before['descriptors'] == after['descriptors'] else 'DIFFERENT'})",
            f"  children of the helper after the last stop: {children_of(self.helper.pid)}",
            f"  RSS: {before['rss']} KiB before, {after['rss']} KiB after, growth {after['rss'] - before['rss']} KiB"
            + (f" (bound {RSS_BOUND_KIB} KiB)" if self.check_rss else " (not bounded in the short run)"),
        ]
        lines += [f"  {count:6d}  {name}" for name, count in sorted(self.counts.items())]
        print("\n".join(lines), flush=True)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--short", action="store_true", help="1,000 requests and 30 cycles; RSS only reported")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    SoakTest.seed = args.seed
    if args.short:
        SoakTest.requests, SoakTest.cycles, SoakTest.deaf_every, SoakTest.check_rss = 1_000, 30, 15, False
    return run_suite(unittest.defaultTestLoader.loadTestsFromTestCase(SoakTest))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
