"""Attack reproductions: each case failed on the code before its fix."""
import os
import select
import signal
import time
import unittest
from pathlib import Path

from harness import (SandboxTest, alive, authorize, b64, connect_as, install_cores, mihomo_config, records,
                     reply_line, request)

STATUS = reply_line(version="Xray v26.10.21; sing-box v1.14.1; Mihomo v1.19.30")
TIMED_OUT = reply_line(False, error="Connection timed out (os error 110)")
TOO_MANY = reply_line(False, error="слишком много незавершённых запросов от этого пользователя")
NO_OWNER = reply_line(False, error="Не удалось определить владельца VPN")


def read_all(sock):
    """Everything the helper sends until it closes the connection."""
    received = bytearray()
    while chunk := sock.recv(65536):
        received += chunk
    sock.close()
    return bytes(received)


class ReadStallTest(SandboxTest):
    """Request lines were read one connection after another, each with 10 s from its
    accept: three silent connections made another user's status wait 30 s."""

    def test_silent_connections_hold_up_no_one_and_each_ends_at_its_own_deadline(self):
        install_cores()
        for uid in (1000, 1001, 1002):
            authorize(uid)
        self.start_helper()
        # Two users, each with as many incomplete lines as one user may hold; the last
        # trickles bytes and never ends its line.
        waiting = {sock: before for uid in (1000, 1001) for sock, _, before in [connect_as(uid) for _ in range(4)]}
        trickler = list(waiting)[-1]

        sock, _, _ = connect_as(1002)
        began = time.monotonic()
        sock.sendall(b"status\n")
        self.assertEqual(read_all(sock), STATUS)
        self.assertLess(time.monotonic() - began, 1.0)

        answered = []
        while waiting:
            readable, _, _ = select.select(list(waiting), [], [], 0.2)
            now = time.monotonic()
            for sock in readable:
                answered.append((now - waiting.pop(sock), read_all(sock)))
            if trickler in waiting:
                trickler.send(b"s")
        for elapsed, reply in answered:
            self.assertEqual(reply, TIMED_OUT)
            self.assertGreaterEqual(elapsed, 10.0)
            self.assertLess(elapsed, 11.0)


class PendingCapTest(SandboxTest):
    """With every line read at once, one user could otherwise fill the service with
    silent connections."""

    def setUp(self):
        super().setUp()
        install_cores()
        for uid in (1000, 1001):
            authorize(uid)
        self.start_helper()

    def test_a_fifth_incomplete_line_of_one_user_is_refused_at_once(self):
        silent = [connect_as(1000)[0] for _ in range(4)]
        fifth, _, _ = connect_as(1000)
        self.assertEqual(read_all(fifth), TOO_MANY)
        self.assertEqual(select.select(silent, [], [], 0)[0], [])  # the four still wait for their lines
        self.assertEqual(request(b"status\n", uid=1001).raw, STATUS)
        # A line that has completed no longer counts.
        silent[0].sendall(b"status\n")
        self.assertEqual(read_all(silent[0]), STATUS)
        again, _, _ = connect_as(1000)
        again.sendall(b"tun-status\n")
        self.assertEqual(read_all(again), reply_line())

    def test_nothing_of_the_waiting_connections_reaches_a_core(self):
        silent = [connect_as(1000)[0] for _ in range(4)]
        self.assertEqual(request(f"mihomo-up {b64(mihomo_config())}\n", uid=1001).raw, reply_line())
        for record in records("mihomo"):
            self.assertEqual(set(record["fds"]), {"0", "1", "2"})
        self.assertEqual(select.select(silent, [], [], 0)[0], [])


class PidReuseTest(SandboxTest):
    """The owner's handle was opened by pid when the start was served: a client that had
    exited by then, its pid taken by another process, made that process the owner."""

    def process_with_pid(self, pid, uid):
        """A sleeping process of `uid` made to have `pid`, which must be free."""
        for _ in range(50):
            Path("/proc/sys/kernel/ns_last_pid").write_text(str(pid - 1))
            child = os.fork()
            if child == 0:
                try:
                    os.setresuid(uid, uid, uid)
                    signal.pause()
                finally:
                    os._exit(0)
            if child == pid:
                return child
            os.kill(child, signal.SIGKILL)
            os.waitpid(child, 0)
        self.fail(f"pid {pid} could not be reused")

    def test_a_start_from_a_client_whose_pid_was_reused_is_refused(self):
        install_cores()
        authorize(1000)
        self.start_helper()
        sock, client_pid, _ = connect_as(1000)  # the client has exited and been reaped
        impostor = self.process_with_pid(client_pid, 1000)
        sock.sendall(f"mihomo-up {b64(mihomo_config())}\n".encode())
        self.assertEqual(read_all(sock), NO_OWNER)
        self.assertEqual(records("mihomo"), [])
        self.assertTrue(alive(impostor))


if __name__ == "__main__":
    unittest.main()
