"""The sandbox and the stand-ins on their own, without the helper."""
import os
import subprocess
import unittest

from harness import (STANDIN_CORE, SandboxTest, interface_exists, raw, record_tools, records, tool_calls,
                     write_scenario)


class StandinTest(SandboxTest):
    def run_core(self, name, *args, env=None):
        path = f"/run/quorin-test/bin/{name}"
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if not os.path.exists(path):
            os.symlink(STANDIN_CORE, path)
        return subprocess.Popen([path, *args], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def test_mihomo_creates_its_interface_in_the_sandbox_only(self):
        with open("/run/quorin-test/m.json", "w") as f:
            f.write('{"tun": {"device": "qtest0"}}')
        core = self.run_core("mihomo", "-d", "/tmp", "-f", "/run/quorin-test/m.json", env={"GOMEMLIMIT": "64MiB"})
        self.wait_for(lambda: interface_exists("qtest0"), "the stand-in's TUN interface")
        record = records("mihomo", "run")[0]
        self.assertEqual(record["argv"][1:], ["-d", "/tmp", "-f", "/run/quorin-test/m.json"])
        self.assertEqual(record["GOMEMLIMIT"], "64MiB")
        self.assertEqual(record["config"], {"tun": {"device": "qtest0"}})
        self.assertEqual(record["fds"]["0"], "/dev/null")
        core.terminate()
        self.assertEqual(core.wait(), -15)
        self.assertFalse(interface_exists("qtest0"))
        self.assertEqual(records()[0]["events"], ["tun qtest0", "SIGTERM"])

    def test_scripted_check_and_raw_output(self):
        write_scenario("sing-box", "check", [{"stderr": raw(b"bad \xff\n")}, {"stdout": "out"}, {"exit": 3}])
        core = self.run_core("sing-box", "check", "-c", "/nonexistent")
        out, err = core.communicate()
        self.assertEqual((core.returncode, out, err), (3, b"out", b"bad \xff\n"))
        self.assertEqual(records()[0]["mode"], "check")
        self.assertIsNone(records()[0]["config"])

    def test_recording_tools_replace_nft_and_ip(self):
        record_tools("nft", "ip")
        subprocess.run(["/usr/sbin/nft", "delete", "table", "inet", "x"], check=True)
        subprocess.run(["/usr/sbin/ip", "-4", "rule", "delete", "priority", "9000"], check=True)
        self.assertEqual([call["argv"] for call in tool_calls()],
                         [["/usr/sbin/nft", "delete", "table", "inet", "x"],
                          ["/usr/sbin/ip", "-4", "rule", "delete", "priority", "9000"]])


if __name__ == "__main__":
    unittest.main()
