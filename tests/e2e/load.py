"""Load run of quorin-helper (run by scripts/load, inside scripts/sandbox).

While a Mihomo session runs, 64 client processes start together and each sends
`status` 200 times, one connection per request as the desktop client does. They belong
to 16 users, four each: one user may hold at most four connections whose line is still
incomplete, and a fifth is refused by design. Every request must be answered with the
right reply; the clients retry nothing, so a connection the listen backlog turned away
counts as a failure. Prints requests per second; only correctness is asserted.

    load.py [--clients N] [--requests N]
"""
import argparse
import json
import os
import socket
import sys
import time
import unittest

from harness import SOCKET, Client, SandboxTest, alive, authorize, b64, install_cores, mihomo_config, records, \
    reply_line
from run import run_suite

STATUS = reply_line(version="Xray v26.10.21; sing-box v1.14.1; Mihomo v1.19.30")


def one_request():
    """One status request on a connection of its own: None when answered rightly, else what went wrong."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        try:
            # Non-blocking, as event-loop clients connect: a full backlog refuses at once
            # (EAGAIN) instead of letting the connection wait for room.
            sock.setblocking(False)
            sock.connect(SOCKET)
            sock.settimeout(300)  # only against a hang
            sock.sendall(b"status\n")
            received = bytearray()
            while chunk := sock.recv(4096):
                received += chunk
        except BlockingIOError:
            return "connection refused: the listen backlog was full"
        except OSError as error:
            return f"{type(error).__name__}: {error}"
    return None if received == STATUS else f"reply {bytes(received)[:200]!r}"


def client_process(uid, requests, go, results):
    """Body of one client process: waits for the start, then reports its failures as JSON."""
    os.setgroups([])
    os.setresgid(uid, uid, uid)
    os.setresuid(uid, uid, uid)
    os.read(go, 1)  # returns when the parent closes its end: every client starts at once
    failures = {}
    for _ in range(requests):
        if problem := one_request():
            failures[problem] = failures.get(problem, 0) + 1
    os.write(results, (json.dumps(failures) + "\n").encode())


CLIENTS_PER_USER = 4  # the most connections with incomplete lines one user may hold


def uid_of(number):
    return 1000 + number // CLIENTS_PER_USER


class LoadTest(SandboxTest):
    clients = 64
    requests = 200

    def setUp(self):
        super().setUp()
        install_cores()
        for uid in {uid_of(number) for number in range(self.clients)}:
            authorize(uid)

    def run_clients(self):
        """Starts the clients together; returns their failures and the seconds they took."""
        go_read, go_write = os.pipe()
        results_read, results_write = os.pipe()
        pids = []
        for number in range(self.clients):
            pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    os.close(go_write)
                    os.close(results_read)
                    client_process(uid_of(number), self.requests, go_read, results_write)
                    code = 0
                finally:
                    os._exit(code)
            pids.append(pid)
        os.close(go_read)
        os.close(results_write)
        began = time.monotonic()
        os.close(go_write)
        with os.fdopen(results_read) as results:
            reports = [json.loads(line) for line in results]
        elapsed = time.monotonic() - began
        statuses = [os.waitpid(pid, 0)[1] for pid in pids]
        self.assertEqual(statuses, [0] * self.clients)
        self.assertEqual(len(reports), self.clients)
        failures = {}
        for report in reports:
            for problem, count in report.items():
                failures[problem] = failures.get(problem, 0) + count
        return failures, elapsed

    def test_concurrent_status(self):
        helper = self.start_helper()
        with Client(uid=1000) as owner:
            self.assertEqual(owner.request(f"mihomo-up {b64(mihomo_config())}\n").raw, reply_line())
            core = records("mihomo", "run")[-1]["pid"]

            failures, elapsed = self.run_clients()
            total = self.clients * self.requests
            print(f"\nload: {self.clients} clients x {self.requests} status requests = {total} in {elapsed:.2f} s, "
                  f"{total / elapsed:.0f} requests/s; failures: {sum(failures.values())}", flush=True)
            self.assertEqual(failures, {})

            self.assertTrue(helper.running())
            self.assertTrue(alive(core))
            self.assertEqual(owner.request("tun-status\n").raw, reply_line(interface="qtun0"))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--clients", type=int, default=LoadTest.clients)
    parser.add_argument("--requests", type=int, default=LoadTest.requests, help="per client")
    args = parser.parse_args(argv)
    LoadTest.clients, LoadTest.requests = args.clients, args.requests
    return run_suite(unittest.defaultTestLoader.loadTestsFromTestCase(LoadTest))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
