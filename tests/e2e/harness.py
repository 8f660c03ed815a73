"""Harness of the end-to-end tests.

The tests run the real quorin-helper binary with its real fixed paths, so they must run
inside scripts/sandbox (private mount, network and process-id namespaces; tmpfs over
/run, /var/cache, /var/lib and /usr/lib/quorin). SandboxTest refuses to run anywhere
else. See README.md in this directory for how to write a test.
"""

import base64
import json
import multiprocessing
import os
import pwd
import shutil
import signal
import socket
import stat
import struct
import subprocess
import threading
import time
import unittest
from dataclasses import dataclass
from pathlib import Path

_REPO = Path(__file__).resolve().parents[2]
_BUILD = _REPO / "build" / "default"

# ctest sets QUORIN_HELPER to the empty string while the binary is not part of the build.
HELPER = os.environ.get("QUORIN_HELPER", str(_BUILD / "src/entry/quorin-helper"))
# The same helper with a 2-second bound on Mihomo's configuration test instead of 60 s.
HELPER_SHORT_CHECK = os.environ.get("QUORIN_HELPER_SHORT_CHECK",
                                    str(_BUILD / "tests/e2e/quorin-helper-short-check"))
STANDIN_CORE = os.environ.get("QUORIN_STANDIN_CORE") or str(_BUILD / "tests/e2e/quorin-standin-core")
TOOL_RECORDER = os.environ.get("QUORIN_TOOL_RECORDER") or str(_BUILD / "tests/e2e/quorin-tool-recorder")
FAULT_SHIM = os.environ.get("QUORIN_FAULT_SHIM") or str(_BUILD / "tests/e2e/libquorin-fault-shim.so")

RUN_DIR = "/run/quorin"
SOCKET = "/run/quorin/helper.sock"
STATE_DIR = "/var/lib/quorin"
CACHE_DIR = "/var/cache/quorin"
MARKER_DIR = "/var/lib/quorin/authorized-users"
CORES_DIR = "/usr/lib/quorin/cores"
MIHOMO_CONFIG = "/run/quorin/mihomo.json"
SINGBOX_CONFIG = "/run/quorin/sing-box.json"

# Where the stand-ins read their scenario and leave their records (inside the sandbox).
TEST_DIR = "/run/quorin-test"
RECORDS_DIR = TEST_DIR + "/records"
SCENARIO_FILE = TEST_DIR + "/scenario.json"
TOOLS_LOG = TEST_DIR + "/tools.log"

BUILTIN_VERSIONS = {"xray": "v26.10.21", "sing-box": "v1.14.1", "mihomo": "v1.19.30"}
MANAGED_HOMES = {"xray": STATE_DIR + "/core", "sing-box": STATE_DIR + "/sing-box"}
SINGBOX_START_LINE = "+0000 2026-12-07 12:00:00 INFO sing-box started (0.12s)\n"

# Variables the helper reads; never inherited from the test's own environment.
_HELPER_VARIABLES = ("PKEXEC_UID", "LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES")
_WAIT_LIMIT = 60.0  # seconds; only a bound on waiting for a broken helper, never asserted


def b64(value) -> str:
    """URL-safe unpadded Base64 of a JSON value (dumped compactly) or of bytes/str."""
    if isinstance(value, str):
        data = value.encode()
    elif isinstance(value, bytes):
        data = value
    else:
        data = json.dumps(value, separators=(",", ":"), ensure_ascii=False).encode()
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def error_line(message: str, *causes: str) -> bytes:
    """The line a failed subcommand writes to standard error."""
    return ("quorin-helper: " + ": ".join((message,) + causes) + "\n").encode()


def mihomo_config(device="qtun0", **members) -> dict:
    """A Mihomo configuration the helper's policy accepts; `members` replace or add top-level keys."""
    config = {"allow-lan": False, "external-controller": "127.0.0.1:9090", "proxies": [{"name": "p"}],
              "tun": {"device": device, "enable": True, "auto-route": True, "strict-route": True}}
    config.update(members)
    return config


def raw(data: bytes) -> dict:
    """A scenario text made of raw bytes (for output that is not valid UTF-8)."""
    return {"hex": data.hex()}


def unsupported_reply() -> bytes:
    return '{"ok":false,"version":null,"error":"неподдерживаемый запрос","interface":null}\n'.encode()


def reply_line(ok=True, version=None, error=None, interface=None) -> bytes:
    """The exact reply line the helper writes for these values."""
    value = {"ok": ok, "version": version, "error": error, "interface": interface}
    return (json.dumps(value, separators=(",", ":"), ensure_ascii=False) + "\n").encode()


# ---------------------------------------------------------------------------- clients


@dataclass
class Reply:
    raw: bytes  # everything the helper sent before closing
    json: dict | None  # the parsed reply, None when it is not one JSON line

    @property
    def ok(self):
        return self.json["ok"]

    @property
    def error(self):
        return self.json["error"]

    @property
    def version(self):
        return self.json["version"]

    @property
    def interface(self):
        return self.json["interface"]


def _parse_reply(data: bytes) -> Reply:
    try:
        value = json.loads(data) if data.endswith(b"\n") and data.count(b"\n") == 1 else None
    except ValueError:
        value = None
    return Reply(data, value)


def _client_main(conn, uid, gid, path):
    """Body of a client process: connects once per command it is sent."""
    os.setgroups([])
    os.setresgid(gid, gid, gid)
    os.setresuid(uid, uid, uid)
    while True:
        try:
            data, shut = conn.recv()
        except EOFError:
            return
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(_WAIT_LIMIT * 2)
        try:
            sock.connect(path)
        except OSError as error:
            conn.send(("error", error))
            sock.close()
            continue
        conn.send(("connected", None))
        try:
            sock.sendall(data)
            if shut:
                sock.shutdown(socket.SHUT_WR)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the helper stopped reading; its reply is still there to read
        received = bytearray()
        try:
            while chunk := sock.recv(65536):
                received += chunk
        except ConnectionResetError:
            pass
        except OSError as error:
            conn.send(("error", error))
            sock.close()
            continue
        sock.close()
        conn.send(("reply", bytes(received)))


class Client:
    """A process of its own, running as `uid`, that sends requests for the test.

    Its pid is the peer pid the helper sees, and it stays alive until close(): use one
    Client per desktop-client process when ownership matters. Each request opens a new
    connection, as the real client does.
    """

    def __init__(self, uid=0, gid=None, path=SOCKET):
        self._conn, child_conn = multiprocessing.Pipe()
        pid = os.fork()
        if pid == 0:
            code = 0
            try:
                self._conn.close()
                _client_main(child_conn, uid, uid if gid is None else gid, path)
            except BaseException:
                code = 1
            finally:
                os._exit(code)
        child_conn.close()
        self.pid = pid
        self.uid = uid
        self._pending = False

    def begin(self, data, shutdown=False):
        """Connects and sends; returns once the connection is established."""
        assert not self._pending
        self._conn.send((data.encode() if isinstance(data, str) else bytes(data), shutdown))
        kind, value = self._conn.recv()
        if kind == "error":
            raise value
        self._pending = True

    def finish(self) -> Reply:
        """Waits for the helper to answer and close the connection begun by begin()."""
        assert self._pending
        self._pending = False
        kind, value = self._conn.recv()
        if kind == "error":
            raise value
        return _parse_reply(value)

    def request(self, data, shutdown=False) -> Reply:
        self.begin(data, shutdown)
        return self.finish()

    def close(self):
        if self.pid:
            self._conn.close()
            try:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass  # already reaped by kill_strays()
            self.pid = 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def request(data, uid=0, shutdown=False, path=SOCKET) -> Reply:
    """Sends one request from a fresh, short-lived process of `uid`."""
    with Client(uid, path=path) as client:
        return client.request(data, shutdown)


def connect_as(uid, path=SOCKET, count=1, stay=False):
    """A connection made by a short-lived process of `uid` and handed to the test, which
    can then drive many such connections from one thread. The helper sees that process
    as the peer; it has exited and been reaped when this returns, unless it is to `stay`
    (alive, and so able to own a session, until the test's strays are killed). Returns the
    socket (a list of `count` made by that one process, when `count` is given), that
    process's pid and the monotonic time taken just before the connect (so before the
    helper's accept)."""
    ours, theirs = socket.socketpair()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            ours.close()
            os.setgroups([])
            os.setresgid(uid, uid, uid)
            os.setresuid(uid, uid, uid)
            socks = [socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) for _ in range(count)]
            before = time.monotonic()
            for sock in socks:
                sock.connect(path)
            socket.send_fds(theirs, [struct.pack("d", before)], [sock.fileno() for sock in socks])
            while stay:
                signal.pause()
            code = 0
        finally:
            os._exit(code)
    theirs.close()
    with ours:
        data, fds, _, _ = socket.recv_fds(ours, 8, count)
    status = 0 if stay else os.waitpid(pid, 0)[1]
    if status != 0 or len(fds) != count:
        raise OSError(f"a client of uid {uid} could not connect to {path}")
    socks = [socket.socket(fileno=fd) for fd in fds]
    return socks if count > 1 else socks[0], pid, struct.unpack("d", data)[0]


# ---------------------------------------------------------------------------- processes


def _helper_env(env):
    result = {k: v for k, v in os.environ.items() if k not in _HELPER_VARIABLES}
    for key, value in (env or {}).items():
        if value is None:
            result.pop(key, None)
        else:
            result[key] = value
    return result


def require_helper(program=None):
    program = program or HELPER
    if not program or not os.path.exists(program):
        raise unittest.SkipTest(f"{program or 'quorin-helper'} is not built yet")


def run_helper(*args, env=None, uid=None, wrapper=()) -> subprocess.CompletedProcess:
    """Runs the helper to completion (setup, cleanup, refusals); output captured.

    `env` adds variables (a value of None removes one); PKEXEC_UID and the LISTEN_
    variables are never inherited. `uid` runs it as that user instead of root.
    `wrapper` is a command line the helper's own is appended to (e.g. strace_argv()).
    """
    require_helper()
    ids = {} if uid is None else {"user": uid, "group": uid, "extra_groups": []}
    return subprocess.run([*wrapper, HELPER, *args], env=_helper_env(env), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=_WAIT_LIMIT * 2, **ids)


def strace_argv(log, *options):
    """A wrapper (for start_helper and run_helper) that runs the helper under strace,
    tracing its main thread only (no -f, so neither its threads nor the programs it
    starts), with descriptor paths, writing to `log`. `options` select the calls and
    the faults, e.g. "-P", path, "-e", "trace=fsync", "-e", "inject=fsync:error=EIO:when=1".
    strace's when= counts the calls of one thread that pass the -e trace and -P filters."""
    # A sanitized helper's leak check cannot run under ptrace and would fail the exit.
    return ["strace", "-qq", "-y", "-o", log, "-E", "ASAN_OPTIONS=" + _asan_options("detect_leaks=0"), *options]


def _asan_options(*extra):
    return ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), *extra]))


def injected(log):
    """The lines of an strace log that report an injected fault."""
    return [line for line in Path(log).read_text().splitlines() if line.endswith("(INJECTED)")]


def fault_env(*rules, log=None):
    """Variables that preload the fault shim into the helper: each rule (call, errno,
    path fragment) makes the first matching call fail once. See fault_shim.cpp."""
    env = {"LD_PRELOAD": FAULT_SHIM, "QUORIN_FAULTS": ";".join(f"{call}:{error}:{fragment}"
                                                               for call, error, fragment in rules),
           # A sanitized helper would otherwise refuse to run after a library it does not know.
           "ASAN_OPTIONS": _asan_options("verify_asan_link_order=0")}
    if log:
        env["QUORIN_FAULTS_LOG"] = log
    return env


def _inode(path):
    try:
        return os.lstat(path).st_ino
    except FileNotFoundError:
        return None


def _listening(path) -> bool:
    with open("/proc/net/unix") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if len(fields) >= 8 and fields[7] == path and int(fields[3], 16) & 0x10000:
                return True
    return False


def _process_state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except (FileNotFoundError, ProcessLookupError):  # gone before or while it was read
        return None
    return text[text.rindex(")") + 2:].split()


def alive(pid) -> bool:
    """True while the process exists and is not a zombie."""
    state = _process_state(pid)
    return state is not None and state[0] not in ("Z", "X")


def children_of(pid):
    result = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            state = _process_state(int(entry))
            if state is not None and int(state[1]) == pid:
                result.append(int(entry))
    return sorted(result)


class Helper:
    """A running `quorin-helper serve`, its standard error captured to a file."""

    def __init__(self, process, log_path, socket_path, wrapped=False):
        self.process = process
        self.log_path = log_path
        self.socket_path = socket_path
        self.wrapped = wrapped

    @property
    def pid(self):
        """The helper's own pid (below `unshare` or a wrapper such as strace)."""
        if self.wrapped:
            inner = children_of(self.process.pid)
            return inner[0] if inner else None
        return self.process.pid

    def log(self) -> bytes:
        """What the helper wrote to standard error so far (without systemd-socket-activate's lines)."""
        data = Path(self.log_path).read_bytes()
        return b"".join(line for line in data.splitlines(keepends=True)
                        if not line.startswith((b"Listening on ", b"Communication attempt on fd ", b"Execing ")))

    def running(self) -> bool:
        return self.process.poll() is None

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


# ---------------------------------------------------------------------------- sandbox


def _mounts():
    with open("/proc/self/mountinfo") as f:
        for line in f:
            left, right = line.split(" - ", 1)
            yield left.split()[4], right.split()[0]


def _require_sandbox():
    if os.environ.get("QUORIN_SANDBOX") != "1" or ("/usr/lib/quorin", "tmpfs") not in set(_mounts()):
        raise RuntimeError("the end-to-end tests change /run, /var/lib and the network: run them "
                           "through scripts/sandbox (ctest does)")


def _ancestors():
    pids, pid = {os.getpid()}, os.getpid()
    while pid > 1:
        state = _process_state(pid)
        if state is None:
            break
        pid = int(state[1])
        pids.add(pid)
    return pids


def kill_strays():
    """Kills every process of the sandbox but the test itself and its ancestors, and reaps."""
    keep = _ancestors()
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) not in keep:
            try:
                os.kill(int(entry), signal.SIGKILL)
            except ProcessLookupError:
                pass
    while True:
        try:
            pid, _ = os.waitpid(-1, 0)
        except ChildProcessError:
            break
        if pid == 0:
            break


_OVERRIDABLE_PATHS = ("/usr/sbin/nft", "/usr/sbin/ip", "/usr/bin/nft", "/usr/bin/ip",
                      "/etc/hosts", "/etc/nsswitch.conf", "/etc/resolv.conf")


def _reset_overrides():
    for _ in range(8):
        mounted = [point for point, _ in _mounts() if point in _OVERRIDABLE_PATHS]
        if not mounted:
            return
        for point in mounted:
            subprocess.run(["umount", point], check=False)


def _empty_dir(path):
    for entry in os.listdir(path):
        full = os.path.join(path, entry)
        if os.path.isdir(full) and not os.path.islink(full):
            shutil.rmtree(full)
        else:
            os.unlink(full)


def _run(*argv, check=True) -> subprocess.CompletedProcess:
    result = subprocess.run(list(argv), capture_output=True, text=True)
    if check and result.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)}: exit status {result.returncode}: {result.stderr.strip()}")
    return result


_route_tables = {2022, 20220}  # flushed by reset_sandbox(), with every table plant_route() used


def _reset_network():
    _run("nft", "flush", "ruleset")
    for family in ("-4", "-6"):
        for rule in json.loads(_run("ip", "-j", family, "rule", "show").stdout or "[]"):
            if rule["priority"] not in (0, 32766, 32767):
                _run("ip", family, "rule", "delete", "priority", str(rule["priority"]), check=False)
        for table in sorted(_route_tables):
            _run("ip", family, "route", "flush", "table", str(table), check=False)


def reset_sandbox():
    """Returns the sandbox to its fresh state: no processes, files, mounts or network state."""
    kill_strays()
    _reset_overrides()
    for path in ("/run", "/var/cache", "/var/lib", "/usr/lib/quorin"):
        _empty_dir(path)
    _reset_network()
    os.makedirs(RECORDS_DIR)
    os.chmod(RECORDS_DIR, 0o1777)  # the stand-ins run as quorin-core


# ---------------------------------------------------------------------------- cores


def write_scenario(core, mode, steps, ignore_sigterm=False):
    """Tells the stand-in `core` ("mihomo" or "sing-box") what to do in `mode`.

    mode: "check" (Mihomo -t, sing-box check) or "run". steps: a list of
    {"stdout": TEXT}, {"stderr": TEXT}, {"sleep_ms": N}, {"tun": True | "name"},
    {"exit": N}, {"signal": N}, {"hang": True}; TEXT is a str or raw(bytes). After the
    last step a check exits with status 0 and a run waits to be killed. Without a
    scenario a check accepts, Mihomo creates its TUN and sing-box logs, creates its TUN
    and prints the start line.
    """
    scenario = json.loads(Path(SCENARIO_FILE).read_text()) if os.path.exists(SCENARIO_FILE) else {}
    scenario.setdefault(core, {})[mode] = {"steps": steps, "ignore_sigterm": ignore_sigterm}
    Path(SCENARIO_FILE).write_text(json.dumps(scenario, indent=2))


def _install_executable(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    shutil.copyfile(STANDIN_CORE, path)
    os.chmod(path, 0o755)


def install_cores(xray=True, sing_box=True, mihomo=True, geodata=True):
    """Installs built-in stand-in cores under /usr/lib/quorin/cores.

    Xray is never run by the helper; its directory gets an executable and, with
    `geodata`, geoip.dat and geosite.dat (contents: GEOIP_DATA and GEOSITE_DATA).
    """
    if xray:
        _install_executable(CORES_DIR + "/xray/xray")
        if geodata:
            Path(CORES_DIR + "/xray/geoip.dat").write_bytes(GEOIP_DATA)
            Path(CORES_DIR + "/xray/geosite.dat").write_bytes(GEOSITE_DATA)
    if sing_box:
        _install_executable(CORES_DIR + "/sing-box/sing-box")
    if mihomo:
        _install_executable(CORES_DIR + "/mihomo/mihomo")


GEOIP_DATA = b"stand-in geoip data\n"
GEOSITE_DATA = b"stand-in geosite data\n"


def install_managed_core(core, version="v9.9.9", directory="release-1", manifest=None):
    """Installs a managed copy under /var/lib/quorin and returns its executable's path.

    Xray and sing-box get an active.json naming `version` and `directory` (or the
    bytes/str `manifest` verbatim); Mihomo lives at /var/lib/quorin/mihomo/mihomo and
    has no manifest.
    """
    if core == "mihomo":
        path = STATE_DIR + "/mihomo/mihomo"
        _install_executable(path)
        return path
    home = MANAGED_HOMES[core]
    path = f"{home}/releases/{directory}/{'xray' if core == 'xray' else 'sing-box'}"
    _install_executable(path)
    if manifest is None:
        manifest = json.dumps({"version": version, "directory": directory,
                               "installed_at": 1765000000, "sha256": "0" * 64})
    Path(home + "/active.json").write_bytes(manifest.encode() if isinstance(manifest, str) else manifest)
    return path


def records(core=None, mode=None):
    """The stand-in runs so far, oldest first, each with its "events" (e.g. "SIGTERM", "tun NAME")."""
    result = []
    for name in sorted(os.listdir(RECORDS_DIR)):
        if not name.endswith(".json") or name.startswith("."):
            continue
        record = json.loads(Path(RECORDS_DIR, name).read_text())
        events = Path(RECORDS_DIR, name[:-5] + ".events")
        record["events"] = events.read_text().splitlines() if events.exists() else []
        status = (line.partition(":") for line in record["status"].splitlines())
        record["credentials"] = {key: value.strip() for key, _, value in status if key in _CREDENTIALS}
        if (core is None or record["core"] == core) and (mode is None or record["mode"] == mode):
            result.append(record)
    return result


_CREDENTIALS = ("Uid", "Gid", "Groups", "NoNewPrivs", "CapInh", "CapPrm", "CapEff", "CapAmb")


def core_credentials():
    """The uid, the gid and the "credentials" of every stand-in run: the account quorin-core,
    no other group, no new privileges, only DAC_READ_SEARCH 2, NET_BIND_SERVICE 10,
    NET_ADMIN 12, NET_RAW 13 and SYS_PTRACE 19."""
    account, kept = pwd.getpwnam("quorin-core"), f"{(1 << 2) | (1 << 10) | (1 << 12) | (1 << 13) | (1 << 19):016x}"
    uid, gid = account.pw_uid, account.pw_gid
    return uid, gid, {"Uid": f"{uid}\t{uid}\t{uid}\t{uid}", "Gid": f"{gid}\t{gid}\t{gid}\t{gid}", "Groups": "",
                      "NoNewPrivs": "1", **dict.fromkeys(("CapInh", "CapPrm", "CapEff", "CapAmb"), kept)}


def account_processes():
    """The pids of every live process whose real uid is quorin-core's."""
    uid, pids = pwd.getpwnam("quorin-core").pw_uid, []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            status = Path(f"/proc/{entry}/status").read_text()
        except OSError:
            continue
        fields = dict(line.partition(":")[::2] for line in status.splitlines())
        if fields["Uid"].split()[0] == str(uid) and not fields["State"].strip().startswith("Z"):
            pids.append(int(entry))
    return pids


def interface_exists(name) -> bool:
    return os.path.exists("/sys/class/net/" + name)


# ---------------------------------------------------------------------------- network


def nft_tables():
    """The set of (family, name) of the sandbox's nftables tables."""
    listing = json.loads(_run("nft", "-j", "list", "tables").stdout)
    return {(item["table"]["family"], item["table"]["name"]) for item in listing["nftables"] if "table" in item}


def plant_table(name, family="inet"):
    _run("nft", "add", "table", family, name)


def ip_rules(family="-4"):
    return json.loads(_run("ip", "-j", family, "rule", "show").stdout or "[]")


def rule_priorities(family="-4"):
    return [rule["priority"] for rule in ip_rules(family)]


def plant_rule(priority, family="-4", source=None, table=2022):
    """Adds a policy-routing rule; rules that share a priority need distinct sources."""
    argv = ["ip", family, "rule", "add", "priority", str(priority)]
    if source:
        argv += ["from", source]
    _run(*argv, "table", str(table))


def routes(table, family="-4"):
    return json.loads(_run("ip", "-j", family, "route", "show", "table", str(table)).stdout or "[]")


def plant_route(destination, table, family="-4"):
    _route_tables.add(table)
    _run("ip", family, "route", "add", "blackhole", destination, "table", str(table))


_RULE_PRIORITIES = ("8200", "8201", "8202", "9000", "9001", "9002", "9003", "9010", "32768")


def core_routing_commands():
    """The argument vectors of one clear_core_routing (78 commands), as the recorder logs them."""
    commands = [["/usr/sbin/nft", "delete", "table", "inet", table] for table in ("sing-box", "mihomo")]
    for family in ("-4", "-6"):
        for priority in _RULE_PRIORITIES:
            commands += [["/usr/sbin/ip", family, "rule", "delete", "priority", priority]] * 4
        commands += [["/usr/sbin/ip", family, "route", "flush", "table", table] for table in ("20220", "2022")]
    return commands


def cleanup_commands():
    """The argument vectors of one full network clean-up (80 commands)."""
    return ([["/usr/sbin/nft", "delete", "table", "inet", "quorin_killswitch"],
             ["/usr/sbin/nft", "destroy", "table", "inet", "quorin_bypass"]] + core_routing_commands())


def record_tools(*tools):
    """Puts the recording stand-in over the given tools ("nft", "ip") for the rest of the test.

    Every run then appends {"argv": [...], "stdio": [...]} to TOOLS_LOG; read it with
    tool_calls(). The real tools are unavailable to the harness meanwhile.
    """
    for tool in tools:
        _run("mount", "--bind", TOOL_RECORDER, "/usr/sbin/" + tool)


def hide_tools(*paths):
    """Makes the given paths (e.g. /usr/sbin/nft) something that is not a regular file."""
    for path in paths:
        _run("mount", "--bind", "/dev/null", path)


def override_file(path, content: bytes):
    """Bind-mounts a file holding `content` over `path` ("/etc/hosts", "/etc/nsswitch.conf" or
    "/etc/resolv.conf") for the rest of the test. Only the sandbox's mount namespace sees it."""
    if path not in _OVERRIDABLE_PATHS:
        raise ValueError(path + " is not undone between tests")
    source = TEST_DIR + "/override" + path.replace("/", "-")
    Path(source).write_bytes(content)
    _run("mount", "--bind", source, path)


class SlowNameServer:
    """A DNS server on 127.0.0.1:53 of the sandbox that answers each query only after
    `delay` seconds: A queries for names in `answers` with that address, everything else
    with no record. `queried` lists the names asked for, in order. Point the resolver at
    it with override_file("/etc/resolv.conf", ...); stop it with close()."""

    def __init__(self, answers, delay):
        self.answers, self.delay, self.queried = answers, delay, []
        self._socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._socket.bind(("127.0.0.1", 53))
        self._closed = threading.Event()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                query, peer = self._socket.recvfrom(512)
            except OSError:
                return
            end = query.index(b"\0", 12) + 5  # the question: labels, type, class
            labels, at = [], 12
            while query[at]:
                labels.append(query[at + 1:at + 1 + query[at]].decode())
                at += 1 + query[at]
            name, qtype = ".".join(labels).lower(), struct.unpack("!H", query[end - 4:end - 2])[0]
            self.queried.append(name)
            record = b""
            if qtype == 1 and name in self.answers:
                record = struct.pack("!HHHIH", 0xC00C, 1, 1, 60, 4) + socket.inet_aton(self.answers[name])
            reply = query[:2] + struct.pack("!HHHHH", 0x8180, 1, 1 if record else 0, 0, 0) + query[12:end] + record
            timer = threading.Timer(self.delay, self._send, (reply, peer))
            timer.daemon = True
            timer.start()

    def _send(self, reply, peer):
        if not self._closed.is_set():
            self._socket.sendto(reply, peer)

    def close(self):
        self._closed.set()
        self._socket.close()


def slow_names(test, answers, delay, hosts=b"127.0.0.1 localhost\n"):
    """A SlowNameServer that the sandbox's resolver asks after `hosts`, for the rest of the test."""
    override_file("/etc/nsswitch.conf", b"hosts: files dns\n")
    override_file("/etc/hosts", hosts)
    override_file("/etc/resolv.conf", b"nameserver 127.0.0.1\noptions timeout:30 attempts:1\n")
    server = SlowNameServer(answers, delay)
    test.addCleanup(server.close)
    return server


def tool_calls():
    """The recorded tool runs: a list of {"argv": [...], "stdio": [...]} in order."""
    if not os.path.exists(TOOLS_LOG):
        return []
    return [json.loads(line) for line in Path(TOOLS_LOG).read_text().splitlines()]


# ---------------------------------------------------------------------------- tests


def authorize(uid, mode=0o600, owner=0, content=b"authorized\n"):
    """Plants the authorisation marker of `uid` as `setup` would, with the given mode and owner."""
    os.makedirs(MARKER_DIR, exist_ok=True)
    os.chmod(MARKER_DIR, 0o711)
    path = marker_path(uid)
    Path(path).write_bytes(content)
    os.chown(path, owner, owner)
    os.chmod(path, mode)
    return path


def marker_path(uid):
    return f"{MARKER_DIR}/{uid}"


class SandboxTest(unittest.TestCase):
    """Base class of every end-to-end test: a clean sandbox before each test method,
    and every process it started killed afterwards. Each subclass runs as one ctest test
    in a sandbox of its own."""

    def setUp(self):
        _require_sandbox()
        reset_sandbox()
        self.helpers = []
        self.addCleanup(self._stop_everything)

    def _stop_everything(self):
        for helper in self.helpers:
            helper.stop()
        kill_strays()

    def _log_on_failure(self, helper):
        def dump():
            result = self._outcome.result
            failed = any(getattr(test, "test_case", test) is self for test, _ in result.failures + result.errors)
            if failed and os.path.exists(helper.log_path):  # gone when the test reset the sandbox since
                print(f"\n--- helper standard error ({helper.log_path}) ---\n"
                      + Path(helper.log_path).read_bytes().decode(errors="replace"))
        self.addCleanup(dump)

    def start_helper(self, activated=False, socket_path=SOCKET, socket_mode=0o666, env=None,
                     pid_namespace=False, own_listen_pid=False, program=None, wrapper=()) -> Helper:
        """Starts `quorin-helper serve` and waits until it accepts connections.

        Self-bound by default; with `activated` under `systemd-socket-activate -l
        socket_path` (the harness creates the socket's directory and sets `socket_mode`
        on it so other users can connect). With `pid_namespace` the helper runs in a
        process-id namespace of its own, so its clients' peer pid is 0. With
        `own_listen_pid` LISTEN_PID is set to the helper's own pid. `program` runs
        another build of the helper (HELPER_SHORT_CHECK). `wrapper` is a command line
        the helper's is appended to (e.g. strace_argv(); with `activated` only one that
        execs the helper in its own process).
        Stopped, with every core it started, when the test ends.
        """
        program = program or HELPER
        require_helper(program)
        log_path = f"{TEST_DIR}/helper-{len(self.helpers) + 1}.stderr"
        argv = [*wrapper, program, "serve"]
        helper_env = _helper_env(env)
        if activated:
            os.makedirs(os.path.dirname(socket_path), exist_ok=True)
            extra = [f"--setenv={k}={v}" for k, v in (env or {}).items() if v is not None]
            argv = ["systemd-socket-activate", "-l", socket_path, *extra, *argv]
        if own_listen_pid:
            argv = ["/bin/sh", "-c", 'LISTEN_PID=$$; export LISTEN_PID; exec "$@"', "sh", *argv]
        if pid_namespace:
            argv = ["unshare", "--pid", "--fork", "--kill-child", *argv]
        # A helper killed just before may still hold its listening socket at this path
        # for a moment: only a socket file the new helper made counts.
        stale = None if activated else _inode(socket_path)
        with open(log_path, "wb") as log:
            process = subprocess.Popen(argv, env=helper_env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        helper = Helper(process, log_path, socket_path, wrapped=bool(wrapper) or pid_namespace)
        self.helpers.append(helper)
        self._log_on_failure(helper)
        self._wait_until_listening(helper, activated, socket_mode, stale)
        return helper

    def _wait_until_listening(self, helper, activated, socket_mode, stale):
        deadline = time.monotonic() + _WAIT_LIMIT
        while True:
            if _listening(helper.socket_path) and (stale is None or _inode(helper.socket_path) != stale):
                info = os.stat(helper.socket_path)
                if activated:
                    os.chmod(helper.socket_path, socket_mode)
                    return
                if stat.S_IMODE(info.st_mode) == 0o666:
                    return
            if not helper.running() or time.monotonic() > deadline:
                self.fail(f"quorin-helper serve did not start listening on {helper.socket_path}: "
                          + Path(helper.log_path).read_bytes().decode(errors="replace"))
            time.sleep(0.01)

    def attach_strace(self, helper, log, *options):
        """Attaches strace (see strace_argv) to a running helper's main thread and returns
        once it traces; the -e when= counts start from here. Detached when the test ends."""
        tracer = subprocess.Popen(["strace", "-y", "-o", log, "-p", str(helper.pid), *options],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(tracer.wait)
        self.addCleanup(tracer.kill)
        line = tracer.stderr.readline()
        if b"attached" not in line:
            self.fail("strace did not attach: " + line.decode(errors="replace"))
        return tracer

    def wait_for(self, condition, what):
        """Waits (bounded only against a hang) for something the helper does asynchronously."""
        deadline = time.monotonic() + _WAIT_LIMIT
        while not condition():
            if time.monotonic() > deadline:
                self.fail("gave up waiting for " + what)
            time.sleep(0.02)
