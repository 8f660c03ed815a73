"""The three subcommands run to completion: refusals, setup and its marker, cleanup's exit."""
import os
import shutil
import stat
import unittest
from pathlib import Path

from harness import (MARKER_DIR, STATE_DIR, SandboxTest, authorize, error_line, hide_tools, install_cores,
                     marker_path, record_tools, run_helper, tool_calls)

READY_LINE = "Встроенные Xray v26.10.21, sing-box v1.14.1 и Mihomo v1.19.30 готовы; uid {} авторизован\n"


class RefusalTest(SandboxTest):
    def assert_refused(self, result, *message):
        self.assertEqual((result.returncode, result.stdout, result.stderr), (1, b"", error_line(*message)))

    def test_non_root_is_refused_before_the_argument_is_read(self):
        install_cores()
        for args in (["setup"], ["serve"], ["cleanup"], ["nonsense"], []):
            with self.subTest(args=args):
                self.assert_refused(run_helper(*args, uid=1000, env={"PKEXEC_UID": "1000"}),
                                    "helper должен работать от root")
        self.assertFalse(os.path.exists(STATE_DIR))

    def test_unknown_subcommands(self):
        for args in ([], [""], ["Setup"], ["status"], ["setup-x"]):
            with self.subTest(args=args):
                self.assert_refused(run_helper(*args), "неподдерживаемая команда helper")


class SetupTest(SandboxTest):
    def setup(self, pkexec_uid):
        return run_helper("setup", env={"PKEXEC_UID": pkexec_uid})

    def assert_authorized(self, result, uid, mode=0o600):
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertEqual(result.stdout.decode(), READY_LINE.format(uid))
        self.assertEqual(Path(marker_path(uid)).read_bytes(), b"authorized\n")
        info = os.stat(marker_path(uid))
        self.assertEqual((stat.S_IMODE(info.st_mode), info.st_uid), (mode, 0))
        self.assertEqual(stat.S_IMODE(os.stat(MARKER_DIR).st_mode), 0o711)

    def test_uid_forms_name_the_same_marker(self):
        install_cores()
        for value in ("1000", "+1000", "0001000"):
            with self.subTest(PKEXEC_UID=value):
                self.assert_authorized(self.setup(value), 1000)
                self.assertEqual(os.listdir(MARKER_DIR), ["1000"])
                os.unlink(marker_path(1000))
        self.assert_authorized(self.setup("0"), 0)
        self.assert_authorized(self.setup("4294967295"), 4294967295)

    def test_bad_uids_write_nothing(self):
        install_cores()
        cases = {
            "1000 ": "invalid digit found in string",
            "-1": "invalid digit found in string",
            "+": "invalid digit found in string",
            "++1": "invalid digit found in string",
            "1e3": "invalid digit found in string",
            "": "cannot parse integer from empty string",
            "4294967296": "number too large to fit in target type",
        }
        for value, cause in cases.items():
            with self.subTest(PKEXEC_UID=value):
                result = self.setup(value)
                self.assertEqual((result.returncode, result.stdout), (1, b""))
                self.assertEqual(result.stderr, error_line("некорректный PKEXEC_UID", cause))
        result = run_helper("setup")
        self.assertEqual(result.stderr, error_line("helper должен запускаться только через pkexec",
                                                   "environment variable not found"))
        self.assertEqual(result.returncode, 1)
        result = run_helper("setup", env={"PKEXEC_UID": b"\xff1"})
        self.assertEqual((result.returncode, result.stderr),
                         (1, error_line("helper должен запускаться только через pkexec",
                                        'environment variable was not valid unicode: "\\xff1"')))
        self.assertFalse(os.path.exists(STATE_DIR))

    def test_existing_marker_keeps_mode_and_directory_is_tightened(self):
        install_cores()
        authorize(1000, mode=0o644, content=b"something else, longer than the new content\n")
        os.chmod(MARKER_DIR, 0o755)
        os.chmod(STATE_DIR, 0o750)
        self.assert_authorized(self.setup("1000"), 1000, mode=0o644)
        self.assertEqual(stat.S_IMODE(os.stat(STATE_DIR).st_mode), 0o750)

    def test_missing_core_leaves_nothing_created(self):
        cases = [
            ({"xray": False}, "в пакете Quorin отсутствует Xray"),
            ({"geodata": False}, "в пакете Quorin отсутствует Xray"),
            ({"sing_box": False}, "в пакете Quorin отсутствует sing-box"),
            ({"mihomo": False}, "в пакете Quorin отсутствует Mihomo"),
        ]
        for missing, message in cases:
            with self.subTest(missing=missing):
                install_cores(**missing)
                result = self.setup("1000")
                self.assertEqual((result.returncode, result.stdout, result.stderr), (1, b"", error_line(message)))
                self.assertFalse(os.path.exists(STATE_DIR))
                shutil.rmtree("/usr/lib/quorin/cores")

    def test_missing_core_leaves_an_existing_marker_alone(self):
        install_cores(mihomo=False)
        authorize(1000, mode=0o640, content=b"old")
        result = self.setup("1000")
        self.assertEqual(result.stderr, error_line("в пакете Quorin отсутствует Mihomo"))
        self.assertEqual(Path(marker_path(1000)).read_bytes(), b"old")


class CleanupCommandTest(SandboxTest):
    def test_cleanup_succeeds_without_any_tool(self):
        hide_tools("/usr/sbin/nft", "/usr/sbin/ip")  # /usr/sbin/ip links to /usr/bin/ip: both hidden
        result = run_helper("cleanup")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))

    def test_missing_nft_does_not_stop_the_ip_commands(self):
        hide_tools("/usr/sbin/nft")
        record_tools("ip")
        result = run_helper("cleanup")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
        self.assertEqual(len(tool_calls()), 76)


if __name__ == "__main__":
    unittest.main()
