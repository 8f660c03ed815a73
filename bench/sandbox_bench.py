"""Benchmarks of the real quorin-helper, run by scripts/bench inside scripts/sandbox.

Every figure is printed next to a baseline measured in the same run, and each line ends
with the ratio (and the goal it is held to). Rounds alternate between the helper and
its baseline and the medians are reported, so that a busy machine skews both alike.

--short (CI): one round of small sizes, so that every path of the bench runs; its
figures are printed, but a short run judges no goal.
"""

import base64
import json
import os
import pwd
import shutil
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("QUORIN_BENCH_BUILD", ROOT / "build" / "default"))
HELPER = BUILD / "src/entry/quorin-helper"
TOOL = BUILD / "bench/quorin-bench-tool"
CORE = BUILD / "bench/quorin-bench-core"
# The GeoData copy runs on the file system of the build tree (the sandbox's own
# directories are tmpfs, where neither a copy nor a flush touches a disk).
SCRATCH = BUILD / "bench-scratch"

SOCKET = "/run/quorin/helper.sock"
WORK = Path("/run/quorin-bench")
# The stand-in core runs as quorin-core, as the cores do, and writes only here.
CORE_WORK = WORK / "core"
CORES = Path("/usr/lib/quorin/cores")
SHORT = sys.argv[1:] == ["--short"]
ROUNDS = 1 if SHORT else int(os.environ.get("QUORIN_BENCH_ROUNDS", "5"))
STATUS_REQUESTS = 800 if SHORT else int(os.environ.get("QUORIN_BENCH_STATUS_REQUESTS", "20000"))
# Short alternating batches: a pair's two halves run within milliseconds of each other.
STATUS_BATCHES_PER_ROUND = 8
GEODATA_BYTES = (4 if SHORT else 256) * 1024 * 1024
READINESS_PERIOD_MS = 50.0  # the helper's fixed polling period (readiness and stop checks)
TUN = "qbench0"


def median(values):
    return statistics.median(values)


def tool(*args) -> str:
    return subprocess.run([str(TOOL), *map(str, args)], check=True, capture_output=True, text=True).stdout


def timed_run(*argv, env=None) -> float:
    start = time.perf_counter()
    subprocess.run([str(a) for a in argv], check=True, env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (time.perf_counter() - start) * 1000


def proc_status(pid, key) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])  # kB
    raise KeyError(key)


def cpu_ns(pid) -> int:
    return int(Path(f"/proc/{pid}/schedstat").read_text().split()[0])


def request(line: str) -> tuple[float, dict]:
    start = time.perf_counter()
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.connect(SOCKET)
        sock.sendall(line.encode())
        reply = b""
        while chunk := sock.recv(65536):
            reply += chunk
    return (time.perf_counter() - start) * 1000, json.loads(reply)


def listening(path) -> bool:
    for line in Path("/proc/net/unix").read_text().splitlines()[1:]:
        fields = line.split()
        if len(fields) >= 8 and fields[7] == path and int(fields[3], 16) & 0x10000:
            return True
    return False


def wait_listening(path):
    for _ in range(2000):
        if listening(path):
            return
        time.sleep(0.005)
    raise RuntimeError(f"nothing listens on {path}")


class Helper:
    """quorin-helper serve, ready once its start-up clean-up is done and a status answered."""

    def __init__(self):
        self.process = subprocess.Popen([str(HELPER), "serve"], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=open(WORK / "helper.log", "ab"))
        wait_listening(SOCKET)
        _, reply = request("status\n")
        if not reply["ok"]:
            raise RuntimeError(f"status: {reply['error']}")
        self.pid = self.process.pid

    def stop(self):
        self.process.kill()
        self.process.wait()


def prepare_sandbox():
    if os.environ.get("QUORIN_SANDBOX") != "1":
        sys.exit("sandbox_bench.py runs inside scripts/sandbox (scripts/bench does that)")
    WORK.mkdir(parents=True, exist_ok=True)
    CORE_WORK.mkdir(mode=0o700, exist_ok=True)
    account = pwd.getpwnam("quorin-core")
    os.chown(CORE_WORK, account.pw_uid, account.pw_gid)
    for core in ("xray", "sing-box", "mihomo"):
        (CORES / core).mkdir(parents=True, exist_ok=True)
        shutil.copyfile(CORE, CORES / core / core)
        os.chmod(CORES / core / core, 0o755)
    (CORES / "xray/geoip.dat").write_bytes(b"geoip\n")
    (CORES / "xray/geosite.dat").write_bytes(b"geosite\n")
    subprocess.run([str(HELPER), "setup"], check=True, env={**os.environ, "PKEXEC_UID": "0"},
                   stdout=subprocess.DEVNULL)


def machine() -> str:
    model = next(line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                 if line.startswith("model name"))
    debian = Path("/etc/debian_version").read_text().strip()
    return (f"{model}, {os.cpu_count()} vCPU, {os.uname().release}, Debian {debian}; "
            f"load average {os.getloadavg()[0]:.2f}; {ROUNDS} rounds (clean-up 3x, tun 2x), medians"
            f"{'; a short run: no goal judged' if SHORT else ''}")


def report(name, figure, baseline, ratios):
    print(f"{name:<13} {figure} | {baseline} | {ratios}", flush=True)


def goal(value, op, limit) -> str:
    if SHORT:
        return f"{value:.2f} (goal {op} {limit}: not judged in a short run)"
    held = value >= limit if op == ">=" else value <= limit
    return f"{value:.2f} (goal {op} {limit}: {'holds' if held else 'MISSED'})"


def paired(ours, baseline):
    """The median of the per-round ratios: each round's pair ran back to back."""
    return median(a / b for a, b in zip(ours, baseline))


def bench_status(helper_pid):
    """Every server and the client share one CPU: a request then costs what the client, the
    server and the kernel spend on it, not where the scheduler happened to wake each side
    (on two vCPUs that decides the rate more than the server does)."""
    servers = {"echo": WORK / "echo.sock", "checked": WORK / "checked.sock"}
    echo = subprocess.Popen([str(TOOL), "echo-server", servers["echo"]])
    checked = subprocess.Popen([str(TOOL), "echo-server", servers["checked"], "checked"])
    for path in servers.values():
        wait_listening(str(path))
    servers["status"] = SOCKET
    cpu = {min(os.sched_getaffinity(0))}
    everywhere = os.sched_getaffinity(helper_pid)
    for pid in (echo.pid, checked.pid, helper_pid):
        os.sched_setaffinity(pid, cpu)
    runs = {name: [] for name in servers}
    batch = max(1, STATUS_REQUESTS // STATUS_BATCHES_PER_ROUND)
    pinned = ["taskset", "-c", str(min(cpu)), str(TOOL), "load"]
    for _ in range(ROUNDS * STATUS_BATCHES_PER_ROUND):
        for name in ("echo", "status", "checked"):
            out = subprocess.run([*pinned, str(servers[name]), "status", str(batch)], check=True,
                                 capture_output=True, text=True).stdout
            runs[name].append(tuple(map(float, out.split())))
    os.sched_setaffinity(helper_pid, everywhere)
    echo.kill()
    checked.kill()

    def column(name, i):
        return [run[i] for run in runs[name]]

    def text(name):
        return (f"{median(column(name, 0)):7.0f} req/s p50 {median(column(name, 1)):6.1f} µs "
                f"p99 {median(column(name, 2)):7.1f} µs")

    rate = paired(column("status", 0), column("echo", 0))
    p99 = paired(column("status", 2), column("echo", 2))
    report("status", text("status"), "echo server " + text("echo"),
           f"rate {rate:.2f}, p99 {p99:.2f} (no goal: the plain echo makes none of the calls below)")
    checked_rate = paired(column("status", 0), column("checked", 0))
    checked_p99 = paired(column("status", 2), column("checked", 2))
    quartiles = statistics.quantiles([a / b for a, b in zip(column("status", 0), column("checked", 0))], n=4)
    report("", "", "echo + the calls of a fair status server " + text("checked"),
           f"rate {goal(checked_rate, '>=', 0.95)} (pairs' quartiles {quartiles[0]:.2f} to {quartiles[2]:.2f}), "
           f"p99 {goal(checked_p99, '<=', 1.2)}")


def bench_cleanup():
    helper_ms, loop_ms = [], []
    for _ in range(3 * ROUNDS):  # cheap rounds; the pairs scatter on a busy machine
        helper_ms.append(timed_run(HELPER, "cleanup"))
        loop_ms.append(timed_run(TOOL, "spawn-loop", 1))
    report("clean-up", f"quorin-helper cleanup {median(helper_ms):7.1f} ms",
           f"spawn loop over the same 80 argument vectors {median(loop_ms):7.1f} ms",
           goal(paired(helper_ms, loop_ms), "<=", 1.1))


def bench_tun():
    config = WORK / "sing-box.json"
    config.write_text(json.dumps({"inbounds": [{"interface_name": TUN}]}))
    up_ms, down_ms, up_parts, down_parts, parts = [], [], [], [], []
    for _ in range(2 * ROUNDS):
        elapsed, reply = request(f"tun-up {TUN} 0 0 1500 10808 W10\n")  # W10: an empty bypass list
        if not reply["ok"]:
            raise RuntimeError(f"tun-up: {reply['error']}")
        up_ms.append(elapsed)
        elapsed, reply = request("tun-down\n")
        down_ms.append(elapsed)
        tools_up, check, ready, stop, tools_down = map(
            float, tool("session-parts", 1, CORES / "sing-box/sing-box", config).split())
        parts.append((tools_up, check, ready, stop, tools_down))
        # The first readiness check comes right after the spawn, before any core can be
        # ready, and the first stop check right after SIGTERM: one polling period each is
        # part of the work, unless the core itself takes longer.
        up_parts.append(tools_up + check + max(ready, READINESS_PERIOD_MS))
        down_parts.append(max(stop, READINESS_PERIOD_MS) + tools_down)
    tools_up, check, ready, stop, tools_down = (median(part[i] for part in parts) for i in range(5))
    report("tun-up", f"{median(up_ms):7.1f} ms",
           f"79 tool runs {tools_up:.1f} + check run {check:.1f} + max(start until ready {ready:.1f}, "
           f"one readiness period 50) = {median(up_parts):.1f} ms", goal(paired(up_ms, up_parts), "<=", 1.15))
    report("tun-down", f"{median(down_ms):7.1f} ms",
           f"max(stop after SIGTERM {stop:.1f}, one check period 50) + 80 tool runs {tools_down:.1f} "
           f"= {median(down_parts):.1f} ms", goal(paired(down_ms, down_parts), "<=", 1.15))


PYTHON_PIPELINE = """
import json, sys, time
text = open(sys.argv[1], "rb").read()
start, cpu = time.perf_counter(), time.process_time()
json.dumps(json.loads(text), sort_keys=True, indent=2)
print((time.perf_counter() - start) * 1000, (time.process_time() - cpu) * 1000)
"""

MINIMAL_CONFIG = {"allow-lan": False, "external-controller": "127.0.0.1:9090", "proxies": [{"name": "p"}],
                  "tun": {"device": "qtun0", "enable": True, "auto-route": True, "strict-route": True}}


def mihomo_up_to_check(helper, line_file) -> tuple[float, float]:
    """Milliseconds from connecting to the start of the test run, and the helper's CPU time in them."""
    stamp = CORE_WORK / "check-stamp"
    stamp.unlink(missing_ok=True)
    cpu_before = cpu_ns(helper.pid)
    sent, reply = tool("send", SOCKET, line_file).split(" ", 1)
    if "benchmark: stopping at the test run" not in reply:
        raise RuntimeError(f"mihomo-up did not reach the test run: {reply}")
    checked, cpu_at_check = map(int, stamp.read_text().split())
    return (checked - int(sent)) / 1e6, (cpu_at_check - cpu_before) / 1e6


def bench_mihomo_up():
    line, config, small = WORK / "mihomo-up.line", WORK / "mihomo.json", WORK / "mihomo-up-small.line"
    tool("fixture", "mihomo-line", line)
    tool("fixture", "mihomo-config", config)
    word = base64.urlsafe_b64encode(json.dumps(MINIMAL_CONFIG).encode()).rstrip(b"=").decode()
    small.write_text(f"mihomo-up {word} 512MiB\n")
    walls, cpus, small_walls, small_cpus, peaks, idles, pythons, python_cpus = [], [], [], [], [], [], [], []
    for _ in range(ROUNDS):
        helper = Helper()
        wall, cpu = mihomo_up_to_check(helper, small)
        small_walls.append(wall)
        small_cpus.append(cpu)
        wall, cpu = mihomo_up_to_check(helper, line)
        walls.append(wall)
        cpus.append(cpu)
        peaks.append(proc_status(helper.pid, "VmHWM") / 1024)
        request("status\n")  # answered once the mihomo-up has been dealt with completely
        idles.append(proc_status(helper.pid, "VmRSS") / 1024)
        helper.stop()
        python = subprocess.run([sys.executable, "-c", PYTHON_PIPELINE, config], check=True, capture_output=True,
                                text=True).stdout.split()
        pythons.append(float(python[0]))
        python_cpus.append(float(python[1]))
    extra = [big - little for big, little in zip(walls, small_walls)]
    extra_cpu = [big - little for big, little in zip(cpus, small_cpus)]
    report("mihomo-up", f"to the test run {median(walls):6.1f} ms, with a minimal configuration "
           f"{median(small_walls):.1f}: the maximal request costs {median(extra):.1f} more "
           f"(CPU {median(extra_cpu):.1f})", f"Python json.loads + dumps(sort_keys, indent=2) "
           f"{median(pythons):.1f} ms (CPU {median(python_cpus):.1f})",
           f"{goal(paired(extra, pythons), '<=', 0.35)}; CPU {paired(extra_cpu, python_cpus):.2f}; "
           f"whole request {paired(walls, pythons):.2f}")
    report("mihomo-up", f"peak RSS {median(peaks):.1f} MiB", "goal 48 MiB", goal(median(peaks) / 48, "<=", 1.0))
    return median(idles)


LINE_BYTES = (1 if SHORT else 12) * 1024 * 1024


def b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def filled(item: bytes, size: int) -> bytes:
    """A JSON array of `item` repeated, at most `size` bytes."""
    count = (size - 2) // (len(item) + 1)
    return b"[" + b",".join([item] * count) + b"]"


def hostile_lines():
    config_bytes = (1 if SHORT else 8) * 1024 * 1024
    list_bytes = (LINE_BYTES - 64) * 3 // 4  # a list word that fills the line
    nest = b"[" * 124 + b"]" * 124
    empty_string = b'""'
    yield "mihomo-up, configuration of empty arrays", f"mihomo-up {b64(filled(b'[]', config_bytes))}\n"
    yield "mihomo-up, configuration of empty objects", f"mihomo-up {b64(filled(b'{}', config_bytes))}\n"
    yield "mihomo-up, arrays nested 125 deep", f"mihomo-up {b64(filled(nest, config_bytes))}\n"
    yield "tun-up, bypass list of arrays", f"tun-up {TUN} 0 0 1500 10808 {b64(filled(b'[]', list_bytes))}\n"
    servers = b64(filled(empty_string, list_bytes))
    yield "tun-up, server list of empty strings", f"tun-up {TUN} 0 0 1500 10808 W10 {servers}\n"
    yield f"status, {LINE_BYTES >> 20} MiB of one-letter words", "status " + "a " * ((LINE_BYTES - 8) // 2) + "\n"


def bench_hostile_shapes():
    """Peak and idle RSS of a fresh helper after one request of each hostile shape."""
    idles = []
    for name, line in hostile_lines():
        peaks = []
        for _ in range(max(1, ROUNDS // 2)):
            helper = Helper()
            request(line)
            peaks.append(proc_status(helper.pid, "VmHWM") / 1024)
            request("tun-down\n")  # the server list is accepted: its session ends here
            idles.append(proc_status(helper.pid, "VmRSS") / 1024)
            helper.stop()
        report("hostile", f"{name:<42} peak RSS {median(peaks):6.1f} MiB", "goal 96 MiB",
               goal(median(peaks) / 96, "<=", 1.0))
    return max(idles)


def bench_geodata():
    source, work, copies = SCRATCH / "xray", SCRATCH / "work", SCRATCH / "cp"
    for directory in (source, work, copies):
        directory.mkdir(parents=True, exist_ok=True)
    for name in ("geoip.dat", "geosite.dat"):
        with open(source / name, "wb") as out:
            for _ in range(GEODATA_BYTES // (1 << 20)):
                out.write(os.urandom(1 << 20))
    # Both copies read from the page cache.
    subprocess.run(["cat", source / "geoip.dat", source / "geosite.dat"], stdout=subprocess.DEVNULL, check=True)
    ours, theirs = [], []
    try:
        for _ in range(ROUNDS):
            for directory in (work, copies):
                for entry in directory.iterdir():
                    entry.unlink()
            subprocess.run(["sync"], check=True)
            ours.append(float(tool("geodata", source, work)))
            start = time.perf_counter()
            subprocess.run(["cp", source / "geoip.dat", copies / "GeoIP.dat"], check=True)
            subprocess.run(["cp", source / "geosite.dat", copies / "GeoSite.dat"], check=True)
            subprocess.run(["sync"], check=True)
            theirs.append((time.perf_counter() - start) * 1000)
    finally:
        shutil.rmtree(SCRATCH)
    megabytes = 2 * GEODATA_BYTES / 1e6
    report("GeoData copy", f"2 x {GEODATA_BYTES >> 20} MiB {median(ours):7.1f} ms = {megabytes / median(ours) * 1000:6.0f} MB/s",
           f"cp + sync {median(theirs):7.1f} ms = {megabytes / median(theirs) * 1000:6.0f} MB/s",
           goal(paired(theirs, ours), ">=", 0.9))


def main():
    prepare_sandbox()
    print("machine:", machine(), flush=True)
    helper = Helper()
    idle = proc_status(helper.pid, "VmRSS") / 1024
    bench_status(helper.pid)
    bench_tun()
    helper.stop()
    bench_cleanup()
    idle_after = bench_mihomo_up()
    idle_hostile = bench_hostile_shapes()
    report("idle RSS", f"{idle:.2f} MiB after start and one status; {idle_after:.2f} MiB after a maximal mihomo-up; "
           f"at most {idle_hostile:.2f} MiB after a hostile shape", "goal 4 MiB",
           goal(max(idle, idle_after, idle_hostile) / 4, "<=", 1.0))
    bench_geodata()
    print("load average at the end:", f"{os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
