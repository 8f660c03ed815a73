"""The running session: tun-status, tun-down and which client process may change it."""
import os
import signal
import subprocess
import time
import unittest

from harness import (Client, SandboxTest, account_processes, alive, authorize, b64, children_of, install_cores,
                     interface_exists, mihomo_config, records, reply_line, request, rule_priorities, write_scenario)

OTHER_OWNER = reply_line(False, error="VPN уже запущен в другом процессе Quorin. Отключите его в том окне")


def mihomo_up(device="qtun0"):
    return f"mihomo-up {b64(mihomo_config(device))}\n"


class SessionTest(SandboxTest):
    def setUp(self):
        super().setUp()
        install_cores()
        authorize(1000)
        authorize(0)
        self.helper = self.start_helper()

    def running_core(self):
        runs = records("mihomo", "run")
        return runs[-1]["pid"] if runs and alive(runs[-1]["pid"]) else None

    def test_only_the_owner_process_changes_the_session_while_it_lives(self):
        with Client(uid=1000) as owner, Client(uid=1000) as other:
            self.assertEqual(owner.request(mihomo_up()).raw, reply_line())
            first_core = self.running_core()
            for client in (owner, other):
                self.assertEqual(client.request(b"tun-status\n").raw, reply_line(interface="qtun0"))
            self.assertEqual(request(b"status\n").ok, True)

            for line in (b"tun-down\n", mihomo_up("qtun1").encode(), b"tun-up x\n"):
                self.assertEqual(other.request(line).raw, OTHER_OWNER)
            self.assertEqual(request(b"tun-down\n", uid=0).raw, OTHER_OWNER)  # root is no exception
            self.assertEqual(self.running_core(), first_core)
            self.assertTrue(interface_exists("qtun0"))

            # A new start by the owner replaces the core and keeps the owner.
            self.assertEqual(owner.request(mihomo_up("qtun1")).raw, reply_line())
            self.assertFalse(alive(first_core))
            self.wait_for(lambda: not interface_exists("qtun0"), "the old interface to go")
            self.assertEqual(other.request(b"tun-status\n").raw, reply_line(interface="qtun1"))
            self.assertEqual(other.request(b"tun-down\n").raw, OTHER_OWNER)
            expected_log = (f"Quorin helper: mihomo-up requested by pid {owner.pid}\n" * 2).encode()
            self.assertEqual(self.helper.log(), expected_log)  # refused requests are not logged

            second_core = self.running_core()
            owner.close()
            self.assertEqual(other.request(b"tun-down\n").raw, reply_line())
            self.assertFalse(alive(second_core))
            self.assertEqual(records("mihomo", "run")[-1]["events"], ["tun qtun1", "SIGTERM"])
            self.assertEqual(other.request(b"tun-status\n").raw, reply_line())
            self.assertEqual(other.request(b"tun-down\n").raw, reply_line())

    def test_tun_status_follows_the_core_and_its_interface(self):
        self.assertEqual(request(mihomo_up()).raw, reply_line())
        core = self.running_core()
        subprocess.run(["ip", "link", "set", "qtun0", "name", "renamed0"], check=True)
        self.assertEqual(request(b"tun-status\n").raw, reply_line())  # core runs, no interface of that name
        subprocess.run(["ip", "link", "set", "renamed0", "name", "qtun0"], check=True)
        self.assertEqual(request(b"tun-status\n").raw, reply_line(interface="qtun0"))

        os.kill(core, signal.SIGKILL)
        self.wait_for(lambda: not alive(core) or not os.path.exists(f"/proc/{core}"), "the core to die")
        self.assertEqual(request(b"tun-status\n").raw, reply_line())
        self.assertEqual(request(b"tun-status\n").raw, reply_line())  # the record stays, and says the same
        self.assertEqual(request(b"tun-down\n").raw, reply_line())
        self.assertEqual(request(b"tun-status\n").raw, reply_line())

    def test_tun_down_kills_a_core_that_ignores_sigterm(self):
        write_scenario("mihomo", "run", [{"tun": True}], ignore_sigterm=True)
        with Client(uid=1000) as owner:
            self.assertEqual(owner.request(mihomo_up()).raw, reply_line())
            core = self.running_core()
            self.assertEqual(owner.request(b"tun-down\n").raw, reply_line())
        self.assertIsNone(self.running_core())
        self.assertFalse(os.path.exists(f"/proc/{core}"))  # killed and reaped
        self.assertEqual(records("mihomo", "run")[-1]["events"], ["tun qtun0", "SIGTERM"])


def tun_up(device="qtun0"):
    return f"tun-up {device} 0 0 1500 1080 {b64([])}\n"


class ResourceTest(SandboxTest):
    """Nothing accumulates in the helper over many requests and core restarts."""

    def open_descriptors(self, pid):
        return sorted(os.readlink(f"/proc/{pid}/fd/{fd}").split(":")[0] for fd in os.listdir(f"/proc/{pid}/fd"))

    def assert_no_leak(self, helper):
        request(b"status\n", uid=1001)  # served once the start-up clean-up is over
        baseline = self.open_descriptors(helper.pid)
        with Client(uid=1000) as client:
            for round in range(8):
                start = mihomo_up() if round % 2 else tun_up()
                self.assertEqual(client.request(start).raw, reply_line())
                self.assertEqual(client.request(b"tun-status\n").raw, reply_line(interface="qtun0"))
                core = children_of(helper.pid)
                self.assertEqual(len(core), 1)
                self.assertEqual(set(records()[-1]["fds"]), {"0", "1", "2"})  # nothing of the helper's
                if round % 4 == 3:
                    self.assertEqual(client.request(b"tun-down\n").raw, reply_line())
                request(b"status\n", uid=1001)  # refused
                client.request(b"\xff\n")
            client.request(b"tun-down\n")
        self.assertEqual(children_of(helper.pid), [])  # every core reaped
        # A sing-box log thread closes its pipe on its own once the core has gone.
        self.wait_for(lambda: self.open_descriptors(helper.pid) == baseline,
                      f"the helper's descriptors to return to {baseline}")

    def setUp(self):
        super().setUp()
        install_cores()
        authorize(1000)

    def test_self_bound(self):
        self.assert_no_leak(self.start_helper())

    def test_activated(self):
        self.assert_no_leak(self.start_helper(activated=True))


class LeftoverTest(SandboxTest):
    """Nothing a core starts outlives its session, however the session ends."""

    def setUp(self):
        super().setUp()
        install_cores()
        authorize(0)

    def end(self, how, helper):
        if how == "tun-down":
            self.assertEqual(request(b"tun-down\n").raw, reply_line())
        elif how == "core killed":
            os.kill(records(mode="run")[-1]["pid"], signal.SIGKILL)
            self.wait_for(lambda: b"exited by itself" in helper.log(), "the helper to see its core die")
        else:
            helper.process.send_signal(signal.SIGTERM)
            self.assertEqual(helper.process.wait(timeout=60), 0)
            self.assertIn(b"Quorin helper: stopped by SIGTERM", helper.log())

    def test_the_account_has_no_process_once_the_session_ends(self):
        for core, start, leave, how in (("mihomo", mihomo_up(), "rule", "tun-down"),
                                        ("sing-box", tun_up(), "hop", "tun-down"),
                                        ("mihomo", mihomo_up(), "hop", "core killed"),
                                        ("sing-box", tun_up(), "rule", "SIGTERM")):
            with self.subTest(core=core, leave=leave, end=how):
                helper = self.start_helper()
                started = [{"stderr": "+0000 2026-12-09 12:00:00 INFO sing-box started (0.1s)\n"}] * (core == "sing-box")
                write_scenario(core, "run", [{"tun": True}, *started, {"ptrace": True}, {"leave": leave}])
                self.assertEqual(request(start.encode()).raw, reply_line())
                self.wait_for(lambda: 9001 in rule_priorities(), "the leftover to put its rule in place")
                # Outside the unit too, the core may not reach into the helper.
                self.assertIn("ptrace EPERM", records(core, "run")[-1]["events"])
                self.end(how, helper)
                self.wait_for(lambda: not account_processes(), "the account's processes to end")
                time.sleep(0.5)  # five of the leftover's rounds, had it survived
                self.assertNotIn(9001, rule_priorities())
                self.assertIn(b"processes the core left running", helper.log())
                helper.stop()


if __name__ == "__main__":
    unittest.main()
