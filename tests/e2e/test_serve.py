"""How `serve` comes by its listening socket."""
import os
import socket
import stat
import unittest
from pathlib import Path

from harness import RUN_DIR, SOCKET, SandboxTest, authorize, error_line, install_cores, reply_line, request, run_helper

STATUS = reply_line(version="Xray v26.10.21; sing-box v1.14.1; Mihomo v1.19.30")


class SelfBoundTest(SandboxTest):
    def setUp(self):
        super().setUp()
        install_cores()
        authorize(0)

    def assert_serving_own_socket(self):
        info = os.lstat(SOCKET)
        self.assertTrue(stat.S_ISSOCK(info.st_mode))
        self.assertEqual(stat.S_IMODE(info.st_mode), 0o666)
        self.assertEqual(request("status\n").raw, STATUS)

    def test_creates_the_run_directory_and_socket(self):
        self.start_helper()
        self.assert_serving_own_socket()

    def test_stale_files_are_replaced(self):
        os.makedirs(RUN_DIR)
        left_over = socket.socket(socket.AF_UNIX)
        left_over.bind(SOCKET)
        left_over.close()
        self.start_helper()
        self.assert_serving_own_socket()

        self.helpers[0].stop()
        os.unlink(SOCKET)
        Path(SOCKET).write_text("not a socket")
        self.start_helper()
        self.assert_serving_own_socket()

    def test_socket_path_that_cannot_be_removed(self):
        os.makedirs(SOCKET)
        result = run_helper("serve")
        self.assertEqual((result.returncode, result.stderr), (1, error_line("Is a directory (os error 21)")))

    def test_listen_variables_meant_for_another_process(self):
        # No descriptor 3 is passed: a helper that took it would fail to serve.
        cases = [
            dict(own_listen_pid=True, env={"LISTEN_FDS": "2"}),
            dict(own_listen_pid=True, env={"LISTEN_FDS": "0"}),
            dict(own_listen_pid=True, env={"LISTEN_FDS": "one"}),
            dict(env={"LISTEN_PID": "1", "LISTEN_FDS": "1"}),
            dict(env={"LISTEN_FDS": "1"}),
        ]
        for case in cases:
            with self.subTest(**case):
                helper = self.start_helper(**case)
                self.assert_serving_own_socket()
                helper.stop()


class ActivatedTest(SandboxTest):
    def setUp(self):
        super().setUp()
        install_cores()
        authorize(0)

    def test_serves_the_passed_socket_without_creating_the_run_directory(self):
        self.start_helper(activated=True, socket_path="/run/activated.sock")
        self.assertEqual(request("status\n", path="/run/activated.sock").raw, STATUS)
        self.assertEqual(request("tun-down\n", path="/run/activated.sock").raw, reply_line())
        self.assertFalse(os.path.exists(RUN_DIR))

    def test_leaves_the_passed_socket_file_as_it_is(self):
        self.start_helper(activated=True, socket_mode=0o640)
        before = os.lstat(SOCKET)
        self.assertEqual(request("status\n").raw, STATUS)
        after = os.lstat(SOCKET)
        self.assertEqual((after.st_ino, stat.S_IMODE(after.st_mode)), (before.st_ino, 0o640))
        self.assertEqual(os.listdir(RUN_DIR), ["helper.sock"])

    def test_serves_a_passed_socket_in_non_blocking_mode(self):
        # Some managers pass their sockets non-blocking; exec keeps the pid they were passed to.
        non_blocking = ["python3", "-c", "import os, sys; os.set_blocking(3, False); os.execv(sys.argv[1], sys.argv[1:])"]
        helper = self.start_helper(activated=True, wrapper=non_blocking)
        for line, reply in (("status\n", STATUS), ("tun-down\n", reply_line()), ("status\n", STATUS)):
            self.assertEqual(request(line).raw, reply)
        self.assertTrue(helper.running())


if __name__ == "__main__":
    unittest.main()
