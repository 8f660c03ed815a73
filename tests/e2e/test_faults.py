"""Failing system calls: each failure gives its exact message, leaves no temporary GeoData
copy behind, and the service goes on answering (except where serve ends by design).

Faults come from strace (-e inject, narrowed with -e trace, -P and when=) where it can
name the call precisely, and from the preloaded fault shim for the temporary GeoData
files, whose random names strace's path filter cannot match.
"""
import errno
import json
import os
import re
import socket
import struct
import unittest
from pathlib import Path

from harness import (CACHE_DIR, CORES_DIR, GEOIP_DATA, GEOSITE_DATA, MIHOMO_CONFIG, SINGBOX_CONFIG, TEST_DIR,
                     Client, SandboxTest, alive, authorize, b64, children_of, error_line, fault_env, injected,
                     SOCKET, install_cores, interface_exists, marker_path, mihomo_config, override_file, records,
                     reply_line, request, reset_sandbox, run_helper, strace_argv)

WORKING_DIR = CACHE_DIR + "/mihomo"
GEOIP_SOURCE = CORES_DIR + "/xray/geoip.dat"
STRACE_LOG = TEST_DIR + "/strace.log"
SHIM_LOG = TEST_DIR + "/faults.log"
STATUS = reply_line(version="Xray v26.10.21; sing-box v1.14.1; Mihomo v1.19.30")
TEMPORARY = r"/var/cache/quorin/mihomo/\.quorin-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}"
MIHOMO_UP = f"mihomo-up {b64(mihomo_config())}\n"
TUN_UP = f"tun-up qtun1 0 0 1500 1080 {b64([])}\n"
SO_PEERPIDFD = 77


def failure(message):
    return reply_line(False, error=message)


class FaultChecks:
    """What the classes below share (a mixin, so that it is no test of its own)."""

    def setUp(self):
        super().setUp()
        self.prepare()

    def prepare(self):
        install_cores()
        authorize(0)

    def fresh(self):
        """A clean sandbox for the next case of a loop: no helper, no files."""
        self._stop_everything()
        self.helpers = []
        reset_sandbox()
        self.prepare()

    def traced_helper(self, *options):
        return self.start_helper(wrapper=strace_argv(STRACE_LOG, *options))

    def assert_injected(self, *patterns):
        """Exactly these calls (regular expressions over strace's lines) were failed."""
        lines = injected(STRACE_LOG)
        self.assertEqual(len(lines), len(patterns), lines)
        for line, pattern in zip(lines, patterns):
            self.assertRegex(line, pattern)

    def assert_no_temporary_files(self):
        left = [name for name in os.listdir(WORKING_DIR) if name.startswith(".quorin-")] \
            if os.path.isdir(WORKING_DIR) else []
        self.assertEqual(left, [])

    def assert_still_serving(self, start=MIHOMO_UP, interface="qtun0"):
        """The same helper answers, and a start now succeeds with complete GeoData."""
        self.assertEqual(request("status\n").raw, STATUS)
        self.assertEqual(request(start).raw, reply_line())
        self.assertEqual(request("tun-status\n").raw, reply_line(interface=interface))
        if start.startswith("mihomo-up"):
            self.assertEqual(Path(WORKING_DIR, "GeoIP.dat").read_bytes(), GEOIP_DATA)
            self.assertEqual(Path(WORKING_DIR, "GeoSite.dat").read_bytes(), GEOSITE_DATA)
        self.assert_no_temporary_files()


class ConfigurationFileFaultTest(FaultChecks, SandboxTest):
    """The core configuration under /run/quorin cannot be written or flushed."""

    def test_mihomo_configuration(self):
        cases = [("fsync", "EIO", r"^fsync\(\d+</run/quorin/mihomo\.json>\) += -1 EIO "),
                 ("write", "ENOSPC", r"^write\(\d+</run/quorin/mihomo\.json>, \"\{\\n.*\) += -1 ENOSPC ")]
        for call, error, pattern in cases:
            with self.subTest(call=call):
                self.fresh()
                self.traced_helper("-P", MIHOMO_CONFIG, "-e", "trace=" + call,
                                   "-e", f"inject={call}:error={error}:when=1")
                self.assertEqual(request(MIHOMO_UP).raw, failure("не удалось записать конфигурацию Mihomo"))
                self.assert_injected(pattern)
                self.assertEqual(records("mihomo"), [])  # neither checked nor started
                self.assertFalse(os.path.exists(MIHOMO_CONFIG))  # no partial file holds room in /run
                self.assert_no_temporary_files()
                self.assert_still_serving()

    def test_singbox_configuration_stops_the_old_session(self):
        self.traced_helper("-P", SINGBOX_CONFIG, "-e", "trace=fsync", "-e", "inject=fsync:error=EIO:when=1")
        with Client() as owner:
            self.assertEqual(owner.request(MIHOMO_UP).raw, reply_line())
            mihomo = records("mihomo", "run")[-1]["pid"]
            self.assertEqual(owner.request(TUN_UP).raw, failure("не удалось записать TUN-конфигурацию"))
            self.assert_injected(r"^fsync\(\d+</run/quorin/sing-box\.json>\) += -1 EIO ")
            self.assertFalse(os.path.exists(SINGBOX_CONFIG))
            self.assertFalse(alive(mihomo))
            self.assertEqual(records("sing-box"), [])
            self.assertEqual(owner.request("tun-status\n").raw, reply_line())
            self.assert_still_serving(TUN_UP, "qtun1")


class GeodataFaultTest(FaultChecks, SandboxTest):
    """The copy of geoip.dat and geosite.dat into Mihomo's working directory fails."""

    def assert_failed_copy(self, name, replaced=()):
        self.assertEqual(request(MIHOMO_UP).raw, failure(f"не удалось подготовить {name} для Mihomo"))
        self.assert_no_temporary_files()
        self.assertEqual(sorted(os.listdir(WORKING_DIR)), sorted(replaced))
        self.assertEqual(records("mihomo"), [])
        self.assertFalse(os.path.exists(MIHOMO_CONFIG))

    def test_flush_and_rename_of_the_temporary_copy(self):
        # The GeoData copies are the helper's first flushes and its only renames.
        self.traced_helper("-e", "trace=fsync", "-e", "inject=fsync:error=EIO:when=1")
        self.assert_failed_copy("geoip.dat")
        self.assert_injected(rf"^fsync\(\d+<{TEMPORARY}>\) += -1 EIO ")
        self.assert_still_serving()

        self.fresh()
        # The first rename records the starting user beside the working directory.
        self.traced_helper("-e", "trace=rename", "-e", "inject=rename:error=EACCES:when=3")
        self.assert_failed_copy("geosite.dat", replaced=["GeoIP.dat"])
        self.assertEqual(Path(WORKING_DIR, "GeoIP.dat").read_bytes(), GEOIP_DATA)
        self.assert_injected(rf'^rename\("{TEMPORARY}", "/var/cache/quorin/mihomo/GeoSite\.dat"\) += -1 EACCES ')
        self.assert_still_serving()

    def test_creating_and_writing_the_temporary_copy(self):
        temporary = re.compile(rf"^{TEMPORARY}$")
        cases = [
            ("open", [("open", errno.EACCES, "/.quorin-")], ["open"]),
            # The in-kernel copy is refused, so the plain loop writes, and that fails too.
            ("write", [("copy_file_range", errno.EXDEV, "/.quorin-"), ("write", errno.ENOSPC, "/.quorin-")],
             ["copy_file_range", "write"]),
        ]
        for name, rules, fired in cases:
            with self.subTest(name):
                self.fresh()
                self.start_helper(env=fault_env(*rules, log=SHIM_LOG))
                self.assert_failed_copy("geoip.dat")
                calls = [line.split(" ", 1) for line in Path(SHIM_LOG).read_text().splitlines()]
                self.assertEqual([call for call, _ in calls], fired)
                for _, path in calls:
                    self.assertRegex(path, temporary)
                self.assert_still_serving()
                self.assertNotIn("LD_PRELOAD", records("mihomo", "run")[-1]["env"])

    def test_in_kernel_copy_refused(self):
        """A refused or empty in-kernel copy falls back to reading and writing; a real
        error of it, or of the reading that follows, fails the copy."""
        cases = [("error=EXDEV", None), ("error=ENOSYS", None), ("error=EOPNOTSUPP", None), ("retval=0", None),
                 ("error=EIO", "geoip.dat"), ("error=EXDEV", "read")]
        for fault, failing in cases:
            with self.subTest(fault=fault, failing=failing):
                self.fresh()
                options = ["-P", GEOIP_SOURCE, "-e", "trace=copy_file_range,read",
                           "-e", f"inject=copy_file_range:{fault}:when=1"]
                expected = [r"^copy_file_range\(\d+</usr/lib/quorin/cores/xray/geoip\.dat>, NULL, "
                            rf"\d+<{TEMPORARY}>, NULL, \d+, 0\) += "]
                if failing == "read":
                    options += ["-e", "inject=read:error=EIO:when=1"]
                    expected.append(r"^read\(\d+</usr/lib/quorin/cores/xray/geoip\.dat>, .* += -1 EIO ")
                self.traced_helper(*options)
                if failing:
                    self.assert_failed_copy("geoip.dat")
                else:
                    self.assertEqual(request(MIHOMO_UP).raw, reply_line())
                    self.assertEqual(Path(WORKING_DIR, "GeoIP.dat").read_bytes(), GEOIP_DATA)
                    # The loop read the source to its end after the refused copy.
                    reads = [line for line in Path(STRACE_LOG).read_text().splitlines() if line.startswith("read(")]
                    self.assertRegex(reads[0], r'"stand-in geoip data\\n", \d+\) += 20$')
                    self.assertRegex(reads[-1], r'"", \d+\) += 0$')
                self.assert_injected(*expected)
                self.assert_still_serving()


def peer_pidfd_supported():
    """Whether this kernel hands out a pidfd of a socket's peer (SO_PEERPIDFD, Linux 6.5)."""
    left, right = socket.socketpair()
    with left, right:
        try:
            os.close(struct.unpack("i", left.getsockopt(socket.SOL_SOCKET, SO_PEERPIDFD, 4))[0])
            return True
        except OSError:
            return False


class OwnerHandleFaultTest(FaultChecks, SandboxTest):
    def test_owner_handle_cannot_be_opened_or_polled(self):
        authorize(1000)
        helper = self.start_helper()
        with Client(uid=1000) as owner:
            self.assertEqual(owner.request(MIHOMO_UP).raw, reply_line())
            core = records("mihomo", "run")[-1]["pid"]
            # Attached now. The handle is taken from the socket when a start needs it (after
            # the connection's SO_PEERCRED), or, on older kernels, by pid at the admission of
            # each of the next three connections.
            if peer_pidfd_supported():
                options = ("-e", "trace=getsockopt", "-e", "inject=getsockopt:error=EMFILE:when=2..6+2")
                pattern = r"^getsockopt\(\d+<socket:\[\d+\]>, SOL_SOCKET, (SO_PEERPIDFD|0x4d)\b.* += -1 EMFILE "
                patterns = (pattern, pattern)
            else:
                options = ("-e", "trace=pidfd_open", "-e", "inject=pidfd_open:error=EMFILE:when=1..3")
                pattern = rf"^pidfd_open\({owner.pid}, 0\) += -1 EMFILE "
                patterns = (pattern, pattern, pattern)
            tracer = self.attach_strace(helper, STRACE_LOG, *options)
            for start in (f"mihomo-up {b64(mihomo_config('qtun1'))}\n", TUN_UP):
                self.assertEqual(owner.request(start).raw, failure("Не удалось определить владельца VPN"))
            # A request that needs no handle is answered without one.
            self.assertEqual(owner.request("tun-status\n").raw, reply_line(interface="qtun0"))
            tracer.kill()
            tracer.wait()
            self.assert_injected(*patterns)
            # Nothing was stopped: the refusals came before the old session was touched.
            self.assertTrue(alive(core))
            self.assertEqual(records("mihomo", "run")[-1]["events"], ["tun qtun0"])
            self.assertEqual(owner.request("tun-status\n").raw, reply_line(interface="qtun0"))
            with Client(uid=1000) as other:  # the session is still owned
                self.assertEqual(other.request("tun-down\n").raw, failure(
                    "VPN уже запущен в другом процессе Quorin. Отключите его в том окне"))

            self.assertEqual(owner.request(TUN_UP).raw, reply_line())
            self.assertFalse(alive(core))


class OwnerPollFaultTest(FaultChecks, SandboxTest):
    def test_client_handle_cannot_be_polled(self):
        # A start asks whether its client still runs before taking it for the owner: the
        # helper's first poll of one pidfd without waiting.
        self.start_helper(env=fault_env(("poll", errno.ENOMEM, "pidfd"), log=SHIM_LOG))
        self.assertEqual(request(MIHOMO_UP).raw, failure("Не удалось определить владельца VPN"))
        self.assertEqual(Path(SHIM_LOG).read_text(), "poll anon_inode:[pidfd]\n")
        self.assertEqual(records("mihomo"), [])
        self.assertEqual(request(MIHOMO_UP).raw, reply_line())  # the fault came once

    def test_owner_handle_cannot_be_polled(self):
        # The owner test's poll is the second of one pidfd without waiting; the start's
        # own comes first and is let through.
        authorize(1000)
        self.start_helper(env=fault_env(("poll", 0, "pidfd"), ("poll", errno.ENOMEM, "pidfd"), log=SHIM_LOG))
        with Client(uid=1000) as owner:
            self.assertEqual(owner.request(MIHOMO_UP).raw, reply_line())
            core = records("mihomo", "run")[-1]["pid"]
            self.assertEqual(owner.request("tun-down\n").raw, failure("Не удалось проверить владельца VPN"))
            self.assertEqual(Path(SHIM_LOG).read_text(), "poll anon_inode:[pidfd]\n")
            self.assertTrue(alive(core))
            self.assertEqual(owner.request("tun-down\n").raw, reply_line())  # the fault came once
            self.assertFalse(alive(core))


class ThreadFaultTest(FaultChecks, SandboxTest):
    """A thread cannot be started (pthread_create fails once, through the fault shim)."""

    def descriptors(self, helper):
        return sorted(os.readlink(f"/proc/{helper.pid}/fd/{fd}") for fd in os.listdir(f"/proc/{helper.pid}/fd"))

    def test_log_thread(self):
        helper = self.start_helper(env=fault_env(("pthread_create", errno.EAGAIN, ""), log=SHIM_LOG))
        self.assertEqual(request("status\n").raw, STATUS)
        before = self.descriptors(helper)
        self.assertEqual(request(TUN_UP).raw, failure(
            "Не удалось запустить TUN sing-box; подробности в журнале quorin-helper"))
        self.assertEqual(Path(SHIM_LOG).read_text(), "pthread_create thread\n")
        # The abort killed and reaped sing-box (perhaps before it could leave a record)
        # and closed its log pipe.
        self.assertEqual(children_of(helper.pid), [])
        self.assertEqual(self.descriptors(helper), before)
        self.assertEqual(request("tun-status\n").raw, reply_line())
        self.assert_still_serving(TUN_UP, "qtun1")

    def test_resolver_thread(self):
        override_file("/etc/nsswitch.conf", b"hosts: files\n")
        override_file("/etc/hosts", b"127.0.0.1 localhost\n198.51.100.7 vpn.example.test\n")
        self.start_helper(env=fault_env(("pthread_create", errno.EAGAIN, ""), log=SHIM_LOG))
        line = f"tun-up qtun1 0 1 1500 1080 {b64([])} {b64(['vpn.example.test', '203.0.113.9'])}\n"
        for excluded in (["203.0.113.9/32"], ["198.51.100.7/32", "203.0.113.9/32"]):
            self.assertEqual(request(line).raw, reply_line())  # a name without its thread is not looked up
            inbound = json.loads(Path(SINGBOX_CONFIG).read_text())["inbounds"][0]
            self.assertEqual(inbound["route_exclude_address"], excluded)


class AcceptFaultTest(FaultChecks, SandboxTest):
    def test_serve_ends_and_leaves_the_core_running(self):
        # The second accept is the one for the next connection after the start.
        helper = self.traced_helper("-e", "trace=accept4", "-e", "inject=accept4:error=EMFILE:when=2")
        with Client() as owner:
            self.assertEqual(owner.request(MIHOMO_UP).raw, reply_line())
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as next_client:
                next_client.connect(SOCKET)
                self.assertEqual(helper.process.wait(timeout=60), 1)
            with self.assertRaises(ConnectionRefusedError):  # serve has ended
                owner.request("status\n")
            self.assertEqual(helper.log(), f"Quorin helper: mihomo-up requested by pid {owner.pid}\n".encode()
                             + error_line("Too many open files (os error 24)"))
        self.assert_injected(r"^accept4\(\d+<socket:\[\d+\]>, NULL, NULL, SOCK_CLOEXEC\) += -1 EMFILE ")
        run = records("mihomo", "run")[-1]
        self.assertTrue(alive(run["pid"]))
        self.assertEqual(run["events"], ["tun qtun0"])  # never signalled
        self.assertTrue(interface_exists("qtun0"))


class SetupFaultTest(FaultChecks, SandboxTest):
    def test_marker_not_written_or_flushed(self):
        marker = marker_path(1000)
        cases = [("write", "ENOSPC", "No space left on device (os error 28)", b""),
                 ("fsync", "EIO", "Input/output error (os error 5)", b"authorized\n")]
        for call, error, text, content in cases:
            with self.subTest(call=call):
                self.fresh()
                result = run_helper("setup", env={"PKEXEC_UID": "1000"}, wrapper=strace_argv(
                    STRACE_LOG, "-P", marker, "-e", "trace=" + call, "-e", f"inject={call}:error={error}:when=1"))
                self.assertEqual((result.returncode, result.stdout, result.stderr), (1, b"", error_line(text)))
                self.assert_injected(rf"^{call}\(\d+</var/lib/quorin/authorized-users/1000>.* += -1 {error} ")
                self.assertEqual(Path(marker).read_bytes(), content)  # whatever was written stays
                again = run_helper("setup", env={"PKEXEC_UID": "1000"})
                self.assertEqual((again.returncode, Path(marker).read_bytes()), (0, b"authorized\n"))


if __name__ == "__main__":
    unittest.main()
