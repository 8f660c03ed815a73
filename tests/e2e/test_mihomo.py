"""mihomo-up from the request to a running Mihomo: files, runs, refusals and failures."""
import json
import os
import stat
import unittest
from pathlib import Path

from harness import (CACHE_DIR, CORES_DIR, GEOIP_DATA, GEOSITE_DATA, HELPER_SHORT_CHECK, MIHOMO_CONFIG, TOOLS_LOG,
                     Client, SandboxTest, alive, authorize, b64, children_of, cleanup_commands, core_routing_commands,
                     core_credentials, install_cores, install_managed_core, interface_exists, mihomo_config, nft_tables, plant_table, raw,
                     record_tools, records, reply_line, request, tool_calls, unsupported_reply, write_scenario)

WORK_DIR = CACHE_DIR + "/mihomo"
MIHOMO = CORES_DIR + "/mihomo/mihomo"
YAML_ESCAPED = "\u007f" + "".join(map(chr, range(0x80, 0xA0))) + "\u2028\u2029\ufffe\uffff"
OTHER_OWNER = reply_line(False, error="VPN уже запущен в другом процессе Quorin. Отключите его в том окне")


def mihomo_up(device="qtun0", memory=None, **members):
    return f"mihomo-up {b64(mihomo_config(device, **members))}" + (f" {memory}" if memory else "") + "\n"


def refused(message):
    return reply_line(False, error=message)


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def owner_and_mode(path):
    return os.stat(path).st_uid, os.stat(path).st_gid, mode_of(path)


def leftover_temporaries():
    return [name for name in os.listdir(WORK_DIR) if name.startswith(".quorin-")]


class LaunchTest(SandboxTest):
    def setUp(self):
        super().setUp()
        install_cores()
        authorize(0)
        self.helper = self.start_helper()

    def test_successful_launch(self):
        os.makedirs(WORK_DIR, mode=0o755)
        os.chmod(WORK_DIR, 0o755)
        Path(WORK_DIR + "/GeoIP.dat").write_bytes(b"old data")
        os.chmod(WORK_DIR + "/GeoIP.dat", 0o644)
        config = mihomo_config("qtun0", proxies=[{"name": "Прокси «один» 🚀", "port": 8388, "weight": 1.5,
                                                  "password": "q\"\\\u0001\u00a0" + YAML_ESCAPED, "k\u2029": 1,
                                                  "empty": {}, "list": []}],
                               dns={"nameserver": ["1.1.1.1"], "enable": True}, mode="rule")
        # Escaped non-ASCII in the request, keys out of order and one key twice.
        text = json.dumps(config, ensure_ascii=True)[:-1] + ', "log-level": "debug", "log-level": "silent"}'
        with Client() as client:
            self.assertEqual(client.request(f"mihomo-up {b64(text)} 256MiB\n").raw, reply_line())
            self.assertEqual(request(b"tun-status\n").raw, reply_line(interface="qtun0"))
            self.assertEqual(self.helper.log(), f"Quorin helper: mihomo-up requested by pid {client.pid}\n".encode())
        self.assertTrue(interface_exists("qtun0"))

        expected = json.dumps(json.loads(text), sort_keys=True, indent=2, ensure_ascii=False) + "\n"
        for c in YAML_ESCAPED:  # a YAML reader would fold or refuse them raw
            expected = expected.replace(c, f"\\u{ord(c):04x}")
        self.assertEqual(Path(MIHOMO_CONFIG).read_text(), expected)
        self.assertEqual(expected.count('"log-level"'), 1)
        # What the core reads is root's and its group's; what it writes, its own.
        uid, gid, core = core_credentials()
        self.assertEqual((owner_and_mode(MIHOMO_CONFIG), owner_and_mode(WORK_DIR)), ((0, gid, 0o640), (0, gid, 0o770)))
        for name, data in (("GeoIP.dat", GEOIP_DATA), ("GeoSite.dat", GEOSITE_DATA)):
            self.assertEqual((Path(WORK_DIR, name).read_bytes(), owner_and_mode(f"{WORK_DIR}/{name}")),
                             (data, (uid, gid, 0o600)))
        self.assertEqual(leftover_temporaries(), [])

        check, run = records("mihomo")
        self.assertEqual((check["mode"], run["mode"]), ("check", "run"))
        self.assertEqual(check["argv"], [MIHOMO, "-t", "-d", WORK_DIR, "-f", MIHOMO_CONFIG])
        self.assertEqual(run["argv"], [MIHOMO, "-d", WORK_DIR, "-f", MIHOMO_CONFIG])
        for record in (check, run):
            self.assertEqual((record["cwd"], record["ppid"], record["credentials"]), (WORK_DIR, self.helper.pid, core))
            self.assertEqual(record["config_text"], expected)  # written before the test run
        self.assertEqual((check["GOMEMLIMIT"], run["GOMEMLIMIT"]), (None, "256MiB"))
        self.assertEqual({k: v for k, v in run["env"].items() if k != "GOMEMLIMIT"}, check["env"])
        # Nothing of the helper's own reaches a core: the null device in, the test run's
        # output into pipes, the real run's into the helper's own standard streams.
        self.assertEqual(set(check["fds"]), {"0", "1", "2"})
        self.assertEqual(check["fds"]["0"], "/dev/null")
        self.assertTrue(check["fds"]["1"].startswith("pipe:") and check["fds"]["2"].startswith("pipe:"))
        self.assertEqual(run["fds"], {"0": "/dev/null", "1": self.helper.log_path, "2": self.helper.log_path})
        self.assertEqual(run["events"], ["tun qtun0"])

    def test_memory_limit_words(self):
        for word, expected in (("2147483648", "2147483648"), ("512MiB", "512MiB"), ("1.5GiB", None), ("MiB", None),
                               ("-1", None), ("1234567890123MiB", "1234567890123MiB"),
                               ("12345678901234MiB", None)):
            with self.subTest(word):
                self.assertEqual(request(mihomo_up(memory=word)).raw, reply_line())
                self.assertEqual(records("mihomo", "run")[-1]["GOMEMLIMIT"], expected)
                self.assertIsNone(records("mihomo", "check")[-1]["GOMEMLIMIT"])
        self.assertEqual(mode_of(WORK_DIR), 0o770)  # created by the first request

    def test_rejections_by_the_configuration_test(self):
        prefix = "Mihomo отклонил конфигурацию: "
        cases = [
            ("a marked line on standard output",
             [{"stdout": "loading\ntime=x level=fatal msg=bad proxy\n"}, {"stderr": "\n"}, {"exit": 1}],
             "time=x level=fatal msg=bad proxy"),
            ("standard output's marked line before standard error's",
             [{"stderr": "level=error on stderr\n"}, {"stdout": "level=error on stdout\n"}, {"exit": 1}],
             "level=error on stdout"),
            ("the first line of standard error", [{"stdout": "out\n"}, {"stderr": "first\nsecond\n"}, {"exit": 2}],
             "first"),
            ("the last non-blank line of standard output", [{"stderr": "  \n"}, {"stdout": "a\nb\n \n"}, {"exit": 1}],
             "b"),
            ("nothing said", [{"exit": 1}], "ядро не сообщило подробности ошибки"),
            ("killed by a signal", [{"stdout": "x level=error y\r\n"}, {"signal": 9}], "x level=error y"),
            ("invalid UTF-8 and a long line",
             [{"stderr": raw(b"\xff" + "я".encode() * 2500 + b"\n")}, {"exit": 1}], "\ufffd" + "я" * 1999),
        ]
        for name, steps, detail in cases:
            with self.subTest(name):
                write_scenario("mihomo", "check", steps)
                self.assertEqual(request(mihomo_up()).raw, refused(prefix + detail))
                self.assertEqual(records("mihomo", "run"), [])
                self.assertEqual(request(b"tun-status\n").raw, reply_line())
                self.assertTrue(os.path.exists(MIHOMO_CONFIG))  # left for the next start or clean-up

        self.assertNotIn(b" failed: ", self.helper.log())  # refused before any launch: the reply says it all
        write_scenario("mihomo", "check", [{"stdout": "time=x level=error msg=only a warning\n"}])
        self.assertEqual(request(mihomo_up()).raw, reply_line())
        self.assertEqual(len(records("mihomo", "run")), 1)

    def test_core_ending_at_start_up(self):
        request(b"tun-status\n")  # served once the start-up clean-up is over
        record_tools("nft", "ip")
        for steps, status in (([{"exit": 1}], "exit status: 1"), ([{"signal": 15}], "signal: 15 (SIGTERM)")):
            with self.subTest(status):
                if os.path.exists(TOOLS_LOG):
                    os.unlink(TOOLS_LOG)
                write_scenario("mihomo", "run", steps)
                self.assertEqual(request(mihomo_up()).raw, refused(f"Mihomo завершился при запуске ({status})"))
                self.assertTrue(self.helper.log().endswith(
                    f"Quorin helper: mihomo-up failed: Mihomo завершился при запуске ({status})\n".encode()))
                self.assertEqual([call["argv"] for call in tool_calls()], cleanup_commands() + core_routing_commands())
                self.assertFalse(os.path.exists(f"/proc/{records('mihomo', 'run')[-1]['pid']}"))  # reaped
                self.assertEqual(request(b"tun-status\n").raw, reply_line())


class InterfaceWaitTest(SandboxTest):
    """About five seconds of waiting for an interface that never comes."""

    def test_interface_never_appears(self):
        install_cores()
        authorize(0)
        helper = self.start_helper()
        write_scenario("mihomo", "run", [{"tun": "other0"}])  # not the configured name
        request(b"tun-status\n")
        record_tools("nft", "ip")
        self.assertEqual(request(mihomo_up("qtun0")).raw,
                         refused("TUN-интерфейс qtun0 не появился после запуска Mihomo"))
        run = records("mihomo", "run")[0]
        self.assertEqual(run["events"], ["tun other0"])  # killed outright, no SIGTERM first
        self.assertFalse(os.path.exists(f"/proc/{run['pid']}"))
        self.assertEqual(children_of(helper.pid), [])
        self.wait_for(lambda: not interface_exists("other0"), "the stand-in's interface to go")
        self.assertEqual([call["argv"] for call in tool_calls()], cleanup_commands() + core_routing_commands())
        self.assertEqual(helper.log().decode().splitlines()[-1],
                         "Quorin helper: mihomo-up failed: TUN-интерфейс qtun0 не появился после запуска Mihomo")
        self.assertEqual(request(b"tun-status\n").raw, reply_line())


class CheckBoundTest(SandboxTest):
    """A configuration test that never ends, against a helper built with a 2-second bound."""

    def test_hanging_configuration_test(self):
        install_cores()
        authorize(0)
        helper = self.start_helper(program=HELPER_SHORT_CHECK)
        partial = {"stdout": "time=x level=error msg=partial\n"}
        # The second closes its streams first: only the bound on its end stops it.
        for steps in ([partial, {"hang": True}], [partial, {"close_streams": True}, {"hang": True}]):
            with self.subTest(steps=steps):
                write_scenario("mihomo", "check", steps, ignore_sigterm=True)
                self.assertEqual(request(mihomo_up()).raw, refused("не удалось проверить конфигурацию Mihomo"))
                check = records("mihomo", "check")[-1]
                self.assertFalse(os.path.exists(f"/proc/{check['pid']}"))
                self.assertEqual(children_of(helper.pid), [])
                self.assertEqual(records("mihomo", "run"), [])
        write_scenario("mihomo", "check", [])
        self.assertEqual(request(mihomo_up()).raw, reply_line())


class PreparationTest(SandboxTest):
    """The working directory and the GeoData files taken from Xray."""

    def setUp(self):
        super().setUp()
        authorize(0)
        self.start_helper()

    def assert_refused_before_the_test_run(self, message):
        self.assertEqual(request(mihomo_up()).raw, refused(message))
        self.assertEqual(leftover_temporaries(), [])
        self.assertEqual(records(), [])

    def test_built_in_sources(self):
        install_cores()
        geoip = CORES_DIR + "/xray/geoip.dat"
        Path(geoip).write_bytes(b"")
        self.assert_refused_before_the_test_run("некорректный встроенный geoip.dat")
        self.assertEqual(os.listdir(WORK_DIR), [])  # the second file is not touched either
        with open(geoip, "wb") as sparse:
            sparse.truncate(268435457)
        self.assert_refused_before_the_test_run("некорректный встроенный geoip.dat")

        os.unlink(geoip)
        Path(CORES_DIR + "/xray/real-geoip").write_bytes(b"linked data")
        os.symlink("real-geoip", geoip)
        self.assertEqual(request(mihomo_up()).raw, reply_line())
        self.assertEqual(Path(WORK_DIR + "/GeoIP.dat").read_bytes(), b"linked data")
        self.assertFalse(os.path.islink(WORK_DIR + "/GeoIP.dat"))

    def test_managed_release_directory(self):
        install_cores(xray=False)
        release = os.path.dirname(install_managed_core("xray"))
        os.makedirs(WORK_DIR)
        for name, data in (("GeoIP.dat", b"old ip"), ("GeoSite.dat", b"old site")):
            Path(WORK_DIR, name).write_bytes(data)
            os.chmod(WORK_DIR + "/" + name, 0o644)
        Path(release + "/geoip.dat").write_bytes(b"managed ip")
        self.assert_refused_before_the_test_run("нет встроенного geosite.dat")
        self.assertEqual((Path(WORK_DIR + "/GeoIP.dat").read_bytes(), mode_of(WORK_DIR + "/GeoIP.dat")),
                         (b"managed ip", 0o600))
        self.assertEqual(Path(WORK_DIR + "/GeoSite.dat").read_bytes(), b"old site")

        os.unlink(release + "/geoip.dat")
        os.mkdir(release + "/geoip.dat")
        self.assert_refused_before_the_test_run("некорректный встроенный geoip.dat")

    def test_no_xray(self):
        install_cores(xray=False)
        self.assert_refused_before_the_test_run("в пакете Quorin отсутствуют GeoData")

    def test_another_users_start_begins_in_an_emptied_working_directory(self):
        install_cores()
        authorize(1000)
        outside = CACHE_DIR + "/outside"
        os.makedirs(outside + "/kept")
        self.assertEqual(request(mihomo_up(), uid=1000).raw, reply_line())
        # What uid 1000's core may have written, or planted for the next one.
        Path(WORK_DIR, "provider.yaml").write_text("uid 1000's provider\n")
        os.makedirs(WORK_DIR + "/cache/deep")
        os.symlink(outside, WORK_DIR + "/link")
        os.unlink(WORK_DIR + "/GeoSite.dat")
        os.makedirs(WORK_DIR + "/GeoSite.dat/inside")
        for uid, left in ((1000, {"provider.yaml", "cache", "link"}), (0, set())):
            with self.subTest(uid=uid):
                self.assertEqual(request(mihomo_up(), uid=uid).raw, reply_line())
                self.assertEqual(set(os.listdir(WORK_DIR)), left | {"GeoIP.dat", "GeoSite.dat"})
                self.assertEqual(Path(WORK_DIR, "GeoSite.dat").read_bytes(), GEOSITE_DATA)
        self.assertEqual(os.listdir(outside), ["kept"])  # no link followed

    def test_working_directory_taken_by_a_file(self):
        install_cores()
        os.makedirs(CACHE_DIR, exist_ok=True)
        Path(WORK_DIR).write_bytes(b"")
        self.assertEqual(request(mihomo_up()).raw, refused("не удалось создать рабочий каталог Mihomo"))
        self.assertEqual(records(), [])


class RunningSessionTest(SandboxTest):
    """Requests that must leave a running session exactly as it was."""

    def setUp(self):
        super().setUp()
        install_cores()
        authorize(1000)
        self.start_helper()

    def start_session(self, owner):
        self.assertEqual(owner.request(mihomo_up()).raw, reply_line())
        plant_table("mihomo")  # stands for the routing state of the running core
        self.core = records("mihomo", "run")[-1]["pid"]
        self.config_text = Path(MIHOMO_CONFIG).read_text()
        self.runs = len(records())

    def assert_session_untouched(self, client):
        self.assertTrue(alive(self.core))
        self.assertEqual(len(records()), self.runs)
        self.assertEqual(client.request(b"tun-status\n").raw, reply_line(interface="qtun0"))
        self.assertIn(("inet", "mihomo"), nft_tables())
        self.assertEqual(Path(MIHOMO_CONFIG).read_text(), self.config_text)

    def test_mihomo_missing(self):
        with Client(uid=1000) as owner:
            self.start_session(owner)
            os.unlink(MIHOMO)
            self.assertEqual(owner.request(mihomo_up("qtun1")).raw, refused("Mihomo не установлен; обновите Quorin"))
            self.assert_session_untouched(owner)

    def test_refusals(self):
        cases = [
            (mihomo_up(**{"allow-lan": True}), "Mihomo не должен открывать порты в LAN"),
            (mihomo_up(**{"x-beta": 1, "x-alpha": 2}), "запрещённый параметр Mihomo: x-alpha"),
            (mihomo_up(**{"external-controller": "0.0.0.0:9090"}), "API Mihomo должен слушать только localhost"),
            (mihomo_up("tun.0"), "небезопасная конфигурация TUN Mihomo"),
            (mihomo_up(proxies=[]), "в конфигурации Mihomo нет прокси"),
            (f"mihomo-up {b64(mihomo_config())}=\n", "повреждена конфигурация Mihomo"),
            (f"mihomo-up {b64(b'{')}\n", "некорректная конфигурация Mihomo"),
        ]
        with Client(uid=1000) as owner, Client(uid=1000) as other:
            self.start_session(owner)
            # Another live process is refused before its configuration is even looked at.
            for line in (mihomo_up("qtun1"), "mihomo-up !\n"):
                self.assertEqual(other.request(line).raw, OTHER_OWNER)
                self.assert_session_untouched(other)
            for line, message in cases:
                with self.subTest(message):
                    self.assertEqual(owner.request(line).raw, refused(message))
                    self.assert_session_untouched(owner)
            self.assertEqual(owner.request(f"mihomo-up {b64(mihomo_config())} 1GiB extra\n").raw, unsupported_reply())
            self.assert_session_untouched(owner)
            self.assertEqual(other.request(b"tun-down\n").raw, OTHER_OWNER)  # the owner is still the owner
            self.assertEqual(owner.request(b"tun-down\n").raw, reply_line())
            self.assertFalse(alive(self.core))


if __name__ == "__main__":
    unittest.main()
