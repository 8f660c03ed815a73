"""Which clients the helper serves: peer credentials and authorisation markers."""
import os
import unittest

from harness import (Client, SandboxTest, authorize, b64, install_cores, marker_path, mihomo_config, reply_line,
                     request, unsupported_reply)

STATUS = reply_line(version="Xray v26.10.21; sing-box v1.14.1; Mihomo v1.19.30")
NOT_SET_UP = reply_line(False, error="пользователь не прошёл одноразовую настройку")
BAD_MARKER = reply_line(False, error="повреждён маркер авторизации Quorin")


class MarkerTest(SandboxTest):
    def setUp(self):
        super().setUp()
        install_cores()
        self.helper = self.start_helper()

    def test_user_who_never_ran_setup(self):
        authorize(1000)
        for line in (b"status\n", b"tun-status\n", b"tun-down\n", b"nonsense\n", b""):
            with self.subTest(line=line):
                self.assertEqual(request(line, uid=1001, shutdown=True).raw, NOT_SET_UP)
                self.assertEqual(request(line, uid=0, shutdown=True).raw, NOT_SET_UP)
        self.assertEqual(self.helper.log(), b"")  # refusals are not logged

    def test_marker_forms(self):
        admitted = [dict(mode=0o600), dict(mode=0o644), dict(mode=0o640), dict(mode=0o4755), dict(mode=0o000),
                    dict(mode=0o600, content=b""), dict(mode=0o600, content=b"anything at all")]
        refused = [dict(mode=0o664), dict(mode=0o602), dict(mode=0o622), dict(mode=0o600, owner=1000)]
        for marker in admitted + refused:
            with self.subTest(**marker):
                authorize(1000, **marker)
                expected = STATUS if marker in admitted else BAD_MARKER
                self.assertEqual(request(b"status\n", uid=1000).raw, expected)

    def test_marker_that_is_not_a_regular_file(self):
        good = authorize(2000)
        os.makedirs(os.path.dirname(marker_path(1000)), exist_ok=True)
        os.symlink(good, marker_path(1000))
        self.assertEqual(request(b"status\n", uid=1000).raw, BAD_MARKER)
        os.unlink(marker_path(1000))
        os.mkdir(marker_path(1000))
        self.assertEqual(request(b"status\n", uid=1000).raw, BAD_MARKER)
        os.rmdir(marker_path(1000))
        self.assertEqual(request(b"status\n", uid=1000).raw, NOT_SET_UP)

    def test_markers_are_read_afresh_on_every_connection(self):
        authorize(1000)
        with Client(uid=1000) as client:
            self.assertEqual(client.request(b"status\n").raw, STATUS)
            os.unlink(marker_path(1000))
            self.assertEqual(client.request(b"status\n").raw, NOT_SET_UP)
            authorize(1000)
            self.assertEqual(client.request(b"status\n").raw, STATUS)


class ForeignPidNamespaceTest(SandboxTest):
    def test_client_outside_the_helpers_pid_namespace_has_pid_0(self):
        install_cores()
        authorize(1000)
        helper = self.start_helper(pid_namespace=True)
        self.assertEqual(request(b"status\n", uid=1000).raw, STATUS)
        self.assertEqual(request(b"tun-down\n", uid=1000).raw, reply_line())
        self.assertEqual(request(b"tun-up\n", uid=1000).raw, unsupported_reply())
        # Without a pid there is no owner handle: starts are refused.
        self.assertEqual(request(f"mihomo-up {b64(mihomo_config())}\n", uid=1000).raw,
                         reply_line(False, error="Не удалось определить владельца VPN"))
        self.assertEqual(helper.log(), b"Quorin helper: tun-down requested by pid 0\n"
                                       b"Quorin helper: tun-up requested by pid 0\n"
                                       b"Quorin helper: mihomo-up requested by pid 0\n")


if __name__ == "__main__":
    unittest.main()
