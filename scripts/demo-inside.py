"""The demo's body: runs inside the sandbox made by scripts/sandbox.

Stand-in cores of the test suite play Mihomo and sing-box (the real ones are not
shipped with this repository); nft and ip are the real tools acting on the sandbox's
own network namespace. Every step says what it is meant to do; the demo ends with a
non-zero status when a step meant to succeed fails or a refusal meant to happen does not.
"""
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import harness  # noqa: E402
from harness import Client, b64, install_cores, interface_exists, mihomo_config, write_scenario  # noqa: E402

USER = 1000
failures = []
QUORINCTL = str(Path(harness.HELPER).parents[2] / "tools" / "quorinctl" / "quorinctl")


def say(text):
    print(f"\n\033[1m== {text}\033[0m", flush=True)


PROFILE_YAML = """\
allow-lan: false
external-controller: 127.0.0.1:9090
tun:
  enable: true
  device: qtun0
  auto-route: true
  strict-route: true
proxies:
  - {name: example, type: socks5, server: 127.0.0.1, port: 1080}
"""


def expect(what, as_meant):
    """Notes a step that did not do what it is meant to, and says so at once."""
    if not as_meant:
        failures.append(what)
        print(f"\033[1;31m!! not as meant: {what}\033[0m", flush=True)


def ctl(*args, uid=USER, status=0):
    """Runs quorinctl as `uid`, shows the command line and what it printed, and checks that
    it ended with `status` (0 success, 1 refused by the helper, 2 refused by quorinctl)."""
    print("$ quorinctl " + " ".join(args), flush=True)
    command = ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", QUORINCTL, *args]
    result = subprocess.run(command, capture_output=True, text=True)
    print(result.stdout + result.stderr + f"  (exit status {result.returncode})", flush=True)
    expect(f"quorinctl {args[0]} ended with {result.returncode}, not {status}", result.returncode == status)
    return result


def show(client, line, ok=True):
    """Sends `line` on `client`'s connection, shows the exchange and checks the reply's "ok"."""
    shown = line if len(line) < 110 else line[:100] + "…"
    reply = client.request(line + "\n")
    print(f"pid {client.pid} > {shown}\n{' ' * len(str(client.pid))}     < {reply.raw.decode().rstrip()}", flush=True)
    expect(f"{line.split()[0]} from pid {client.pid} answered ok={reply.ok}, not {ok}", reply.ok == ok)
    return reply


def main():
    say("stand-in cores in place")
    os.makedirs(harness.RECORDS_DIR)
    os.chmod(harness.RECORDS_DIR, 0o1777)  # the stand-ins record their runs as quorin-core
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
    expect("setup failed", result.returncode == 0)
    subprocess.run(["ls", "-l", harness.MARKER_DIR], check=True)

    say("quorin-helper serve, started by systemd-socket-activate on /run/quorin/helper.sock")
    log = open("/run/quorin-demo.log", "wb")
    os.makedirs(harness.RUN_DIR, exist_ok=True)
    activator = subprocess.Popen(["systemd-socket-activate", "-l", harness.SOCKET, harness.HELPER, "serve"],
                                 stderr=log)
    while not os.path.exists(harness.SOCKET):
        time.sleep(0.05)
    os.chmod(harness.SOCKET, 0o666)

    say(f"quorinctl, run as uid {USER}, through every command")
    ctl("status")
    ctl("--json", "status")
    ctl("tun-status")
    profile = Path("/run/quorin-demo-profile.yaml")
    profile.write_text(PROFILE_YAML)
    print(f"$ cat {profile}\n{PROFILE_YAML}", end="")
    ctl("mihomo-up", str(profile), "--memory-limit", "512MiB")
    expect("tun-status names no qtun0 while Mihomo runs", "qtun0" in ctl("tun-status").stdout)
    expect("qtun0 does not exist", subprocess.run(["ip", "-br", "link", "show", "qtun0"]).returncode == 0)
    ctl("tun-down")
    ctl("tun-up", "--interface", "qtun1", "--mtu", "1500", "--socks-port", "10808", "--auto-route",
        "--bypass", "firefox", "--bypass", "/usr/bin/curl", "--server", "203.0.113.9", "--server", "vpn.example.test")
    expect("tun-status names no qtun1 while sing-box runs", "qtun1" in ctl("tun-status").stdout)
    print(Path(harness.SINGBOX_CONFIG).read_text()[:400] + "  …")
    ctl("tun-down")

    say("refusals")
    ctl("tun-up", "--interface", "qtun1", "--mtu", "1279", "--socks-port", "10808", status=2)
    profile.write_text(PROFILE_YAML.replace("allow-lan: false", "allow-lan: true"))
    ctl("mihomo-up", str(profile), status=1)
    ctl("status", uid=1001, status=1)
    # A desktop client keeps its process alive while its VPN runs; another window of the
    # same user may not take the session over.
    with Client(USER) as desktop, Client(USER) as other_window:
        show(desktop, "mihomo-up " + b64(mihomo_config(device="qtun0")))
        show(other_window, "tun-down", ok=False)
        show(desktop, "tun-down")

    say("quorinctl doctor")
    ctl("doctor")
    expect("a session is left running", not interface_exists("qtun0") and not interface_exists("qtun1"))

    say("the helper's journal (its standard error)")
    time.sleep(0.2)
    activator.kill()
    activator.wait()
    print(Path("/run/quorin-demo.log").read_text(errors="replace"), end="")
    if failures:
        say(f"{len(failures)} step(s) did not do what they are meant to:")
        print("\n".join(failures))
        sys.exit(1)
    say("every step did what it is meant to")


if __name__ == "__main__":
    main()
