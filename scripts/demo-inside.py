"""The demo's body: runs inside the sandbox made by scripts/sandbox.

Stand-in cores of the test suite play Mihomo and sing-box (the real ones are not
shipped with this repository); nft and ip are the real tools acting on the sandbox's
own network namespace.
"""
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import harness  # noqa: E402
from harness import Client, authorize, b64, install_cores, mihomo_config, write_scenario  # noqa: E402

USER = 1000


def say(text):
    print(f"\n\033[1m== {text}\033[0m", flush=True)


def show(client, line):
    shown = line if len(line) < 110 else line[:100] + "…"
    reply = client.request(line + "\n")
    print(f"pid {client.pid} > {shown}\n{' ' * len(str(client.pid))}     < {reply.raw.decode().rstrip()}", flush=True)
    return reply


def main():
    say("stand-in cores in place")
    os.makedirs(harness.RECORDS_DIR)
    install_cores()
    write_scenario("sing-box", "run", [
        {"stderr": "+0000 2026-12-07 12:00:00 INFO inbound/tun[tun-in]: started at qtun1\n"},
        {"tun": True},
        {"stderr": harness.SINGBOX_START_LINE},
        {"stderr": "+0000 2026-12-07 12:00:01 INFO [42 0ms] inbound/tun: connection to 1.1.1.1:443\n"},
        {"stderr": "+0000 2026-12-07 12:00:01 WARN outbound/socks[proxy]: slow upstream\n"},
    ])
    subprocess.run(["find", harness.CORES_DIR, "-type", "f"], check=True)

    say(f"quorin-helper setup, as pkexec runs it for uid {USER}")
    result = subprocess.run([harness.HELPER, "setup"], env={**os.environ, "PKEXEC_UID": str(USER)},
                            capture_output=True, text=True)
    print(result.stdout + result.stderr, end="")
    subprocess.run(["ls", "-l", harness.MARKER_DIR], check=True)

    say("quorin-helper serve, started by systemd-socket-activate on /run/quorin/helper.sock")
    log = open("/run/quorin-demo.log", "wb")
    os.makedirs(harness.RUN_DIR, exist_ok=True)
    activator = subprocess.Popen(["systemd-socket-activate", "-l", harness.SOCKET, harness.HELPER, "serve"],
                                 stderr=log)
    while not os.path.exists(harness.SOCKET):
        time.sleep(0.05)
    os.chmod(harness.SOCKET, 0o666)

    with Client(USER) as desktop, Client(USER) as other_window, Client(1001) as stranger:
        say("small requests")
        show(desktop, "status")
        show(desktop, "tun-status")
        show(desktop, "STATUS")
        show(stranger, "status")

        say("mihomo-up with a client-supplied configuration, then tun-status and tun-down")
        show(desktop, "mihomo-up " + b64(mihomo_config(device="qtun0")) + " 512MiB")
        show(desktop, "tun-status")
        subprocess.run(["ip", "-br", "link", "show", "qtun0"], check=False)
        show(desktop, "mihomo-up " + b64(mihomo_config(device="qtun0", **{"allow-lan": True})))
        show(desktop, "tun-down")

        say("tun-up with a bypass list and a server list, a refused stranger, tun-status, tun-down")
        bypass = b64(["firefox", "/usr/bin/curl", "C:\\ignored\\but\\slashed"])
        servers = b64(["203.0.113.9", "vpn.example.test", "127.0.0.1"])
        show(desktop, f"tun-up qtun1 0 1 1500 10808 {bypass} {servers}")
        show(desktop, "tun-status")
        show(other_window, "tun-down")
        show(desktop, "tun-up qtun1 0 1 1279 10808 " + bypass)
        print(Path(harness.SINGBOX_CONFIG).read_text()[:600] + "…")
        show(desktop, "tun-down")

    say("the helper's journal (its standard error)")
    time.sleep(0.2)
    activator.kill()
    activator.wait()
    print(Path("/run/quorin-demo.log").read_text(errors="replace"), end="")


if __name__ == "__main__":
    main()
