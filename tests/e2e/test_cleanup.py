"""The network clean-up against real nftables and policy-routing state of the sandbox."""
import os
import signal
import time
import unittest
from pathlib import Path

from harness import (MIHOMO_CONFIG, RUN_DIR, SINGBOX_CONFIG, Client, SandboxTest, authorize, b64, cleanup_commands,
                     install_cores, mihomo_config, nft_tables, plant_route, plant_rule, plant_table, record_tools,
                     records, reply_line, request, routes, rule_priorities, run_helper, tool_calls)


class CleanupTest(SandboxTest):
    def plant_state(self, foreign=True):
        """The helper's state, and with `foreign` the like of it that is not the helper's."""
        for table in ("sing-box", "mihomo", "quorin_killswitch") + (("unrelated",) if foreign else ()):
            plant_table(table)
        if foreign:
            plant_table("mihomo", family="ip")  # same name, other family: not ours
        for n in range(5):
            plant_rule(9000, source=f"10.0.0.{n + 1}")
        for priority in (8200, 8202, 9010) + ((32768, 100) if foreign else ()):
            plant_rule(priority)
        plant_rule(9001, family="-6")
        plant_rule(9003, family="-6", source="fd00::1")
        for table in (2022, 20220) + ((4242,) if foreign else ()):
            plant_route("10.9.0.0/24", table)
            plant_route("fd00:9::/64", table, family="-6")
        os.makedirs(RUN_DIR, exist_ok=True)
        for path in (SINGBOX_CONFIG, MIHOMO_CONFIG) + ((RUN_DIR + "/other.json",) if foreign else ()):
            Path(path).write_text("{}\n")

    def assert_cleaned(self, remaining_9000_rules):
        self.assertEqual(nft_tables(), {("inet", "unrelated"), ("ip", "mihomo")})
        self.assertEqual(rule_priorities("-4"), [0, 100] + [9000] * remaining_9000_rules + [32766, 32767])
        self.assertEqual(rule_priorities("-6"), [0, 32766])
        for table in (2022, 20220):
            self.assertEqual((routes(table), routes(table, "-6")), ([], []))
        self.assertEqual(len(routes(4242)) + len(routes(4242, "-6")), 2)
        self.assertEqual(set(os.listdir(RUN_DIR)) - {"helper.sock"}, {"other.json"})

    def test_cleanup_subcommand_removes_planted_state(self):
        self.plant_state()
        result = run_helper("cleanup")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
        self.assert_cleaned(remaining_9000_rules=1)  # four deletions per priority and family
        self.assertEqual(run_helper("cleanup").returncode, 0)
        self.assert_cleaned(remaining_9000_rules=0)

    def test_serve_cleans_up_before_the_first_connection_and_on_tun_down(self):
        install_cores()
        authorize(0)
        self.plant_state()
        self.start_helper()
        self.assertEqual(request(b"tun-status\n").raw, reply_line())
        self.assert_cleaned(remaining_9000_rules=1)
        self.assertEqual(request(b"tun-down\n").raw, reply_line())
        self.assert_cleaned(remaining_9000_rules=0)

    def test_a_core_that_dies_takes_its_network_state_with_it(self):
        install_cores()
        authorize(0)
        helper = self.start_helper()
        starts = (("mihomo", f"mihomo-up {b64(mihomo_config())}\n"), ("sing-box", f"tun-up qtun0 0 1 1500 1080 {b64([])}\n"))
        for core, line in starts:
            with self.subTest(core=core), Client() as owner:
                self.assertEqual(owner.request(line).raw, reply_line())
                self.plant_state(foreign=core == "mihomo")  # what a core in strict-route mode leaves while it runs
                os.kill(records(core, "run")[-1]["pid"], signal.SIGKILL)
                killed = time.monotonic()
                self.wait_for(lambda: not os.path.exists(MIHOMO_CONFIG) and not rule_priorities("-6")[1:-1],
                              "the clean-up after the core's death")
                print(f"{core} killed: network clean after {time.monotonic() - killed:.2f} s", flush=True)
                self.assert_cleaned(remaining_9000_rules=1)
                self.assertTrue(helper.log().endswith(b"Quorin helper: the core of session qtun0 exited by itself "
                                                      b"(signal: 9 (SIGKILL)); its network state is cleared\n"))
                # The record stays: only the owner may end it, and tun-down cleans again.
                self.assertEqual(owner.request(b"tun-status\n").raw, reply_line())
                self.assertEqual(owner.request(b"tun-down\n").raw, reply_line())
                self.assert_cleaned(remaining_9000_rules=0)

    def test_exact_commands(self):
        record_tools("nft", "ip")
        result = run_helper("cleanup")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
        calls = tool_calls()
        self.assertEqual([call["argv"] for call in calls], cleanup_commands())
        self.assertEqual({tuple(call["stdio"]) for call in calls}, {("/dev/null",) * 3})


if __name__ == "__main__":
    unittest.main()
