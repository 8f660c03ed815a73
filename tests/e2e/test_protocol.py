"""Request lines and replies of the service, without a running core."""
import unittest

from harness import (Client, SandboxTest, authorize, install_cores, plant_table, nft_tables, reply_line, request,
                     unsupported_reply)

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
