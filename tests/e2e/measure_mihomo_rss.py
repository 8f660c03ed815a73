"""Prints the helper's peak resident memory after one maximal mihomo-up request.

Run by hand inside the sandbox, after a build:

    scripts/sandbox /usr/bin/python3 -B tests/e2e/measure_mihomo_rss.py [SHAPE...]

Each shape gets a fresh helper, which receives one 12 MiB request line carrying an
8 MiB configuration that passes the policy; the stand-in Mihomo accepts it and starts.
The figure is VmHWM from /proc/<pid>/status once the reply has arrived. Nothing here is
asserted: it is a measurement to report.
"""
import json
import os
import subprocess
import sys
import time

import harness
from harness import (HELPER, MIHOMO_CONFIG, SOCKET, TEST_DIR, authorize, b64, install_cores, mihomo_config,
                     reset_sandbox, request)

LINE_LIMIT = 12 * 1024 * 1024
CONFIG_BYTES = 8 * 1024 * 1024


def realistic_proxy(n):
    return {"name": f"proxy-{n}", "type": "ss", "server": f"198.51.100.{n % 250}", "port": 8388,
            "cipher": "aes-128-gcm", "password": "secret", "udp": True}


def nested(depth):
    return "[" * depth + "0" + "]" * depth


# Each shape: the compact text of one `proxies` element and how to make the filler element.
SHAPES = {
    # Many ordinary proxy entries, as a large subscription would give.
    "proxies": lambda n: json.dumps(realistic_proxy(n), separators=(",", ":")),
    # The most values per byte: a JSON value for every two bytes.
    "zeros": lambda n: "0",
    # Arrays nested as deep as allowed: the pretty-printed file indents every level.
    "nested": lambda n: nested(125),
}


def configuration_text(shape):
    """Compact JSON text of exactly CONFIG_BYTES bytes whose `proxies` are made of the shape."""
    before, after = json.dumps(mihomo_config(proxies=[]), separators=(",", ":")).split('"proxies":[]')
    before += '"proxies":['
    after = "]" + after
    parts, size, n = [], len(before) + len(after), 0
    while True:
        element = SHAPES[shape](n)
        if size + len(element) + 1 + 64 > CONFIG_BYTES:
            break
        parts.append(element)
        size += len(element) + 1
        n += 1
    filler = CONFIG_BYTES - size - 2  # a string of x, in quotes
    parts.append('"' + "x" * filler + '"')
    text = before + ",".join(parts) + after
    assert len(text.encode()) == CONFIG_BYTES, len(text.encode())
    return text


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def measure(shape):
    reset_sandbox()
    install_cores()
    authorize(0)
    log = open(f"{TEST_DIR}/helper.stderr", "wb")
    helper = subprocess.Popen([HELPER, "serve"], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    try:
        while not os.path.exists(SOCKET) or not harness._listening(SOCKET):
            time.sleep(0.01)
        request(b"tun-status\n")  # served once the start-up clean-up is over
        idle = status_kib(helper.pid, "VmHWM")
        line = f"mihomo-up {b64(configuration_text(shape))} 256MiB"
        line += " " * (LINE_LIMIT - 1 - len(line)) + "\n"
        assert len(line) == LINE_LIMIT
        started = time.monotonic()
        reply = request(line)
        elapsed = time.monotonic() - started
        peak = status_kib(helper.pid, "VmHWM")
        written = os.path.getsize(MIHOMO_CONFIG) if os.path.exists(MIHOMO_CONFIG) else 0
        print(f"{shape:8} reply {reply.raw.decode().strip()}  VmHWM idle {idle} KiB, after {peak} KiB "
              f"({peak / 1024:.1f} MiB); mihomo.json {written / 1048576:.1f} MiB; {elapsed:.1f} s")
    finally:
        helper.kill()
        helper.wait()
        log.close()
        harness.kill_strays()


def main(shapes):
    harness._require_sandbox()
    for shape in shapes or ["proxies"]:
        measure(shape)


if __name__ == "__main__":
    main(sys.argv[1:])
