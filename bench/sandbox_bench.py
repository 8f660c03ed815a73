"""Benchmarks of the real quorin-helper, run by scripts/bench inside scripts/sandbox.

Every figure is printed next to a baseline measured in the same run, and each line ends
with the ratio (and the goal it is held to). Rounds alternate between the helper and
its baseline and the medians are reported, so that a busy machine skews both alike.
"""

import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "default"
HELPER = BUILD / "src/entry/quorin-helper"
TOOL = BUILD / "bench/quorin-bench-tool"
CORE = BUILD / "bench/quorin-bench-core"
# The GeoData copy runs on the file system of the build tree (the sandbox's own
# directories are tmpfs, where neither a copy nor a flush touches a disk).
SCRATCH = BUILD / "bench-scratch"

SOCKET = "/run/quorin/helper.sock"
WORK = Path("/run/quorin-bench")
CORES = Path("/usr/lib/quorin/cores")
ROUNDS = int(os.environ.get("QUORIN_BENCH_ROUNDS", "5"))
STATUS_REQUESTS = int(os.environ.get("QUORIN_BENCH_STATUS_REQUESTS", "20000"))
GEODATA_BYTES = 256 * 1024 * 1024
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
            f"load average {os.getloadavg()[0]:.2f}; {ROUNDS} rounds, medians")


def report(name, figure, baseline, ratios):
    print(f"{name:<13} {figure} | {baseline} | {ratios}", flush=True)


def goal(value, op, limit) -> str:
    held = value >= limit if op == ">=" else value <= limit
    return f"{value:.2f} (goal {op} {limit}: {'holds' if held else 'MISSED'})"


def bench_status():
    echo = subprocess.Popen([str(TOOL), "echo-server", WORK / "echo.sock"])
    checked = subprocess.Popen([str(TOOL), "echo-server", WORK / "checked.sock", "checked"])
    wait_listening(str(WORK / "echo.sock"))
    wait_listening(str(WORK / "checked.sock"))
    runs = {"status": [], "echo": [], "checked": []}
    for _ in range(ROUNDS):
        for name, path in (("echo", WORK / "echo.sock"), ("status", SOCKET), ("checked", WORK / "checked.sock")):
            rate, p50, p99 = map(float, tool("load", path, "status", STATUS_REQUESTS).split())
            runs[name].append((rate, p50, p99))
    echo.kill()
    checked.kill()
    figures = {name: tuple(median(run[i] for run in values) for i in range(3)) for name, values in runs.items()}

    def text(figure):
        return f"{figure[0]:7.0f} req/s p50 {figure[1]:6.1f} µs p99 {figure[2]:7.1f} µs"

    status, echo_figure, checked_figure = figures["status"], figures["echo"], figures["checked"]
    report("status", text(status), "echo server " + text(echo_figure),
           f"rate {goal(status[0] / echo_figure[0], '>=', 0.8)}, p99 {goal(status[2] / echo_figure[2], '<=', 1.5)}")
    report("", "", "echo + the admission and catalogue system calls " + text(checked_figure),
           f"status rate / this {status[0] / checked_figure[0]:.2f}")


def bench_cleanup():
    helper_ms, loop_ms = [], []
    for _ in range(ROUNDS):
        helper_ms.append(timed_run(HELPER, "cleanup"))
        loop_ms.append(timed_run(TOOL, "spawn-loop", 1))
    helper, loop = median(helper_ms), median(loop_ms)
    report("clean-up", f"quorin-helper cleanup {helper:7.1f} ms",
           f"spawn loop over the same 80 argument vectors {loop:7.1f} ms", goal(helper / loop, "<=", 1.1))


def bench_tun():
    config = WORK / "sing-box.json"
    config.write_text(json.dumps({"inbounds": [{"interface_name": TUN}]}))
    up_ms, down_ms, parts = [], [], []
    for _ in range(ROUNDS):
        elapsed, reply = request(f"tun-up {TUN} 0 0 1500 10808 W10\n")  # W10: an empty bypass list
        if not reply["ok"]:
            raise RuntimeError(f"tun-up: {reply['error']}")
        up_ms.append(elapsed)
        elapsed, reply = request("tun-down\n")
        down_ms.append(elapsed)
        parts.append(list(map(float, tool("session-parts", 1, CORES / "sing-box/sing-box", config).split())))
    up, down = median(up_ms), median(down_ms)
    tools_up, check, ready, stop, tools_down = (median(part[i] for part in parts) for i in range(5))
    # The first readiness check comes right after the spawn, before any core can be
    # ready, and the first stop check right after SIGTERM: one polling period each is
    # part of the work, unless the core itself takes longer.
    up_parts = tools_up + check + max(ready, READINESS_PERIOD_MS)
    down_parts = max(stop, READINESS_PERIOD_MS) + tools_down
    report("tun-up", f"{up:7.1f} ms",
           f"79 tool runs {tools_up:.1f} + check run {check:.1f} + "
           f"max(start until ready {ready:.1f}, one readiness period 50) = {up_parts:.1f} ms",
           goal(up / up_parts, "<=", 1.15))
    report("tun-down", f"{down:7.1f} ms",
           f"max(stop after SIGTERM {stop:.1f}, one check period 50) + 80 tool runs {tools_down:.1f} "
           f"= {down_parts:.1f} ms", goal(down / down_parts, "<=", 1.15))


PYTHON_PIPELINE = """
import json, sys, time
text = open(sys.argv[1], "rb").read()
start = time.perf_counter()
json.dumps(json.loads(text), sort_keys=True, indent=2)
print((time.perf_counter() - start) * 1000)
"""


def bench_mihomo_up():
    line, config = WORK / "mihomo-up.line", WORK / "mihomo.json"
    tool("fixture", "mihomo-line", line)
    tool("fixture", "mihomo-config", config)
    stamp = WORK / "check-stamp"
    walls, cpus, peaks, idles, loops, pythons = [], [], [], [], [], []
    for _ in range(ROUNDS):
        helper = Helper()
        stamp.unlink(missing_ok=True)
        cpu_before = cpu_ns(helper.pid)
        sent, reply = tool("send", SOCKET, line).split(" ", 1)
        if "Mihomo отклонил конфигурацию" not in reply:
            raise RuntimeError(f"mihomo-up did not reach the test run: {reply}")
        checked, cpu_at_check = map(int, stamp.read_text().split())
        walls.append((checked - int(sent)) / 1e6)
        cpus.append((cpu_at_check - cpu_before) / 1e6)
        peaks.append(proc_status(helper.pid, "VmHWM") / 1024)
        idles.append(proc_status(helper.pid, "VmRSS") / 1024)
        helper.stop()
        loops.append(float(tool("spawn-loop", 1)))
        pythons.append(float(subprocess.run([sys.executable, "-c", PYTHON_PIPELINE, config], check=True,
                                            capture_output=True, text=True).stdout))
    wall, cpu, loop, python = median(walls), median(cpus), median(loops), median(pythons)
    report("mihomo-up", f"to the test run {wall:6.1f} ms, of which the 80 clean-up commands (spawn loop) "
           f"{loop:.1f}; helper CPU {cpu:.1f} ms", f"Python json.loads + dumps(sort_keys, indent=2) {python:.1f} ms",
           f"without the clean-up {goal((wall - loop) / python, '<=', 0.35)}; whole {wall / python:.2f}")
    report("mihomo-up", f"peak RSS {median(peaks):.1f} MiB", "goal 80 MiB", goal(median(peaks) / 80, "<=", 1.0))
    return median(idles)


def bench_geodata():
    source, work, copies = SCRATCH / "xray", SCRATCH / "work", SCRATCH / "cp"
    for directory in (source, work, copies):
        directory.mkdir(parents=True, exist_ok=True)
    for name in ("geoip.dat", "geosite.dat"):
        if not (source / name).exists() or (source / name).stat().st_size != GEODATA_BYTES:
            with open(source / name, "wb") as out:
                for _ in range(GEODATA_BYTES // (1 << 20)):
                    out.write(os.urandom(1 << 20))
    # Both copies read from the page cache.
    subprocess.run(["cat", source / "geoip.dat", source / "geosite.dat"], stdout=subprocess.DEVNULL, check=True)
    ours, theirs = [], []
    for _ in range(max(3, ROUNDS // 2)):
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
    shutil.rmtree(SCRATCH)
    megabytes = 2 * GEODATA_BYTES / 1e6
    ours_rate, cp_rate = megabytes / (median(ours) / 1000), megabytes / (median(theirs) / 1000)
    report("GeoData copy", f"2 x 256 MiB {median(ours):7.1f} ms = {ours_rate:6.0f} MB/s",
           f"cp + sync {median(theirs):7.1f} ms = {cp_rate:6.0f} MB/s", goal(ours_rate / cp_rate, ">=", 0.9))


def main():
    prepare_sandbox()
    print("machine:", machine(), flush=True)
    helper = Helper()
    idle = proc_status(helper.pid, "VmRSS") / 1024
    bench_status()
    bench_tun()
    helper.stop()
    bench_cleanup()
    idle_after = bench_mihomo_up()
    report("idle RSS", f"{idle:.2f} MiB after start and one status; {idle_after:.2f} MiB after a maximal mihomo-up",
           "goal 4 MiB", goal(idle / 4, "<=", 1.0))
    bench_geodata()
    print("load average at the end:", f"{os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
