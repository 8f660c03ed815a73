"""Attack reproductions across the trust boundaries: each case is one a helper without
the defence it names lets through."""
import json
import unittest
from pathlib import Path

from harness import (MIHOMO_CONFIG, Client, SandboxTest, alive, authorize, b64, install_cores, mihomo_config,
                     records, reply_line)

USER = 1000


def mihomo_up(config) -> str:
    return f"mihomo-up {b64(config)}\n"


def with_tun(**members) -> dict:
    config = mihomo_config("qtun0")
    config["tun"].update(members)
    return config


def serve_a_user(test):
    install_cores()
    authorize(USER)
    test.start_helper()


class MihomoSession:
    """A user's running Mihomo session, which refused requests must leave exactly as it was."""

    def __init__(self, test, owner, config):
        test.assertEqual(owner.request(mihomo_up(config)).raw, reply_line())
        self.test, self.owner = test, owner
        self.core = records("mihomo", "run")[-1]["pid"]
        self.config_text = Path(MIHOMO_CONFIG).read_text()
        self.runs = len(records())

    def assert_refused_unchanged(self, config, message):
        test = self.test
        test.assertEqual(self.owner.request(mihomo_up(config)).raw, reply_line(False, error=message))
        test.assertTrue(alive(self.core))
        test.assertEqual(len(records()), self.runs)
        test.assertEqual(self.owner.request(b"tun-status\n").raw, reply_line(interface="qtun0"))
        test.assertEqual(Path(MIHOMO_CONFIG).read_text(), self.config_text)


class MihomoSecretTest(SandboxTest):
    """Without a secret, Mihomo's API on 127.0.0.1 lets any local user or web page replace
    the vetted configuration while Mihomo runs as root."""

    SECRET = "a6f0\"c3\u00e9/?&="

    def setUp(self):
        super().setUp()
        serve_a_user(self)

    def test_the_secret_reaches_mihomo(self):
        with Client(uid=USER) as owner:
            session = MihomoSession(self, owner, mihomo_config("qtun0", secret=self.SECRET))
        check, run = records("mihomo")
        for record in (check, run):
            self.assertEqual(record["config"]["secret"], self.SECRET)
        self.assertEqual(json.loads(session.config_text)["secret"], self.SECRET)

    def test_an_empty_or_malformed_secret_is_refused(self):
        with Client(uid=USER) as owner:
            session = MihomoSession(self, owner, mihomo_config("qtun0", secret=self.SECRET))
            for secret in ("", 0, 12345, None, {"token": "x"}, ["x"], True):
                with self.subTest(secret=secret):
                    session.assert_refused_unchanged(mihomo_config("qtun0", secret=secret),
                                                     "секрет API Mihomo должен быть непустой строкой")


class RoutingIndexTest(SandboxTest):
    """A routing table or rule priority of the client's choosing would stay behind after
    every clean-up, steering the host's traffic after the session has ended."""

    def setUp(self):
        super().setUp()
        serve_a_user(self)

    def test_the_indexes_the_clean_up_removes_are_accepted(self):
        config = with_tun(**{"iproute2-table-index": 2022, "iproute2-rule-index": 9000})
        with Client(uid=USER) as owner:
            MihomoSession(self, owner, config)
        self.assertEqual(records("mihomo", "run")[-1]["config"]["tun"], config["tun"])

    def test_other_indexes_are_refused(self):
        cases = [("iproute2-table-index", value) for value in (254, 2023, 20220, "2022", 2022.0, -2022, True, None)]
        cases += [("iproute2-rule-index", value) for value in (1, 9001, 32768, "9000", 9000.0, [9000], {})]
        with Client(uid=USER) as owner:
            session = MihomoSession(self, owner, mihomo_config("qtun0"))
            for key, value in cases:
                with self.subTest(key=key, value=value):
                    session.assert_refused_unchanged(with_tun(**{key: value}),
                                                     "небезопасные индексы маршрутизации TUN Mihomo")


if __name__ == "__main__":
    unittest.main()
