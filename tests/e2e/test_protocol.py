"""Request lines and replies of the service, without a running core."""
import socket
import unittest

from harness import (SOCKET, Client, SandboxTest, authorize, b64, install_cores, mihomo_config, nft_tables, plant_table,
                     reply_line, request, unsupported_reply)

STATUS = reply_line(version="Xray v26.10.21; sing-box v1.14.1; Mihomo v1.19.30")
INVALID_UTF8 = reply_line(False, error="stream did not contain valid UTF-8")
LIMIT = 12 * 1024 * 1024


class RequestLineTest(SandboxTest):
    def setUp(self):
        super().setUp()
        install_cores()
        authorize(0)
        self.helper = self.start_helper()

    def test_words_and_lines(self):
        cases = {
            b"status\n": STATUS,
            b"  status\r\n": STATUS,
            b"status": STATUS,  # the end of the stream ends the line too
            "\u2003status\u00a0\u3000\n".encode(): STATUS,
            b"status\nSTATUS\n": STATUS,  # only the first line counts
            b"STATUS\n": unsupported_reply(),
            b"status x\n": unsupported_reply(),
            b"\n": unsupported_reply(),
            b" \t\r\n": unsupported_reply(),
            b"": unsupported_reply(),
            b"status\0\n": unsupported_reply(),
            b"status\xff\n": INVALID_UTF8,
            b"\xc3\n": INVALID_UTF8,
            b"tun-status\n": reply_line(),
            b"tun-status 1\n": unsupported_reply(),
            b"mihomo-up\n": unsupported_reply(),
            b"tun-up\n": unsupported_reply(),
            b"mihomo-up a b c\n": unsupported_reply(),
            b"tun-up a b c d e f g h i\n": unsupported_reply(),
            b"tun-up bad.name 0 0 1500 1080 W10\n": unsupported_reply(),
            b"status a b c d e f\n": unsupported_reply(),
        }
        for line, expected in cases.items():
            with self.subTest(line=line):
                self.assertEqual(request(line, shutdown=True).raw, expected)

    def test_commands_that_change_state_are_logged_even_when_malformed(self):
        with Client() as client:
            for line in (b"tun-down\n", b"mihomo-up\n", b"tun-up x\n", b"tun-up bad.name 0 0 1500 1080 W10\n"):
                client.request(line)
            client.request(b"status\n")
            client.request(b"tun-status\n")
            client.request(b"nonsense\n")
            expected = "".join(f"Quorin helper: {word} requested by pid {client.pid}\n"
                               for word in ("tun-down", "mihomo-up", "tun-up", "tun-up"))
        self.assertEqual(self.helper.log().decode(), expected)

    def test_reply_escaping(self):
        # The forbidden key is echoed in the error text: the reply must stay one JSON line.
        for key, escaped in (('a"b', 'a\\"b'), ("a\\b", "a\\\\b"), ("a\nb", "a\\nb"), ("\u0001", "\\u0001"),
                             ("\u043a\u043b\u044e\u0447", "\u043a\u043b\u044e\u0447")):
            with self.subTest(key=key):
                reply = request(f"mihomo-up {b64({key: 1})}\n")
                self.assertEqual(reply.raw, ('{"ok":false,"version":null,"error":"запрещённый параметр Mihomo: '
                                             + escaped + '","interface":null}\n').encode())

    def test_client_gone_before_the_reply(self):
        with Client() as client:
            for _ in range(3):
                sock = socket.socket(socket.AF_UNIX)
                sock.connect(SOCKET)
                sock.sendall(b"status\n")
                sock.close()
            self.assertEqual(client.request(b"status\n").raw, STATUS)
        self.assertTrue(self.helper.running())

    def test_queued_clients_are_all_served(self):
        # Four to a user: a user's fifth connection whose line has not yet arrived is refused.
        for uid in range(1000, 1010):
            authorize(uid)
        clients = [Client(uid=1000 + n // 4) for n in range(40)]
        try:
            for n, client in enumerate(clients):
                client.begin(b"status\n" if n % 2 else b"tun-status\n")
            for n, client in enumerate(clients):
                self.assertEqual(client.finish().raw, STATUS if n % 2 else reply_line())
        finally:
            for client in clients:
                client.close()

    def test_tun_down_without_session_still_cleans_up(self):
        plant_table("mihomo")
        self.assertEqual(request(b"tun-down\n").raw, reply_line())
        self.assertNotIn(("inet", "mihomo"), nft_tables())


class LongRequestTest(SandboxTest):
    def setUp(self):
        super().setUp()
        install_cores()
        authorize(0)
        self.start_helper()

    def test_request_is_cut_at_twelve_mebibytes(self):
        # No line feed and the connection left open: the helper must answer at the limit.
        self.assertEqual(request(b"a" * LIMIT).raw, unsupported_reply())
        padded = b"status" + b" " * (LIMIT - len(b"status"))
        self.assertEqual(request(padded + b"x\n").raw, STATUS)
        cut_inside_a_letter = b"status" + b" " * (LIMIT - len(b"status") - 1) + "й".encode()
        self.assertEqual(request(cut_inside_a_letter).raw, INVALID_UTF8)

    def test_large_requests_leave_no_memory_behind(self):
        helper = self.helpers[0]
        with open(f"/proc/{helper.pid}/maps") as maps:
            if "libasan" in maps.read():
                self.skipTest("the sanitizer's allocator holds on to freed memory by design")

        def resident_kib():
            with open(f"/proc/{helper.pid}/status") as status:
                return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))

        # About 6 MiB of configuration, parsed into some hundred thousand small blocks.
        proxies = [{"name": f"p{n}", "type": "ss", "server": "198.51.100.1", "port": 8388, "password": "x" * 20}
                   for n in range(60_000)]
        refused = mihomo_config(proxies=proxies, **{"allow-lan": True})  # parsed whole, then refused
        large = [f"mihomo-up {b64(refused)}\n".encode(), b"status " + b"x" * LIMIT + b"\n",
                 b"status " + b"x" * 4_000_000 + b"\n"]

        def large_requests():
            self.assertEqual(request(large[0]).raw, reply_line(False, error="Mihomo не должен открывать порты в LAN"))
            for line in large[1:]:
                self.assertEqual(request(line).raw, unsupported_reply())

        # Measured after a first round, so that what the allocator keeps for reuse is
        # not counted; kept, each round's blocks would add some 60 MiB.
        large_requests()
        before = resident_kib()
        for _ in range(4):
            large_requests()
        self.assertLess(resident_kib() - before, 8 * 1024)


class IdleClientTest(SandboxTest):
    def test_idle_client_times_out_and_the_next_is_served(self):
        install_cores()
        authorize(0)
        authorize(1000)
        self.start_helper()
        with Client(uid=1000) as idle:
            idle.begin(b"")  # connected, sends nothing, keeps the connection open
            waiting = request(b"status\n")
            self.assertEqual(idle.finish().raw, reply_line(False, error="Connection timed out (os error 110)"))
        self.assertEqual(waiting.raw, STATUS)


if __name__ == "__main__":
    unittest.main()
