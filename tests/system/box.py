"""A throwaway machine for the system tests: systemd 252 booted as process 1 of fresh
namespaces over an overlay of the host's / (box-init), commands run inside with
nsenter, and a teardown that leaves the host as it was.

The host keeps one thing while the box runs: a cgroup of its own under the host's
cgroup2 tree, which its systemd manages. It is removed at teardown, and an empty one a
killed run left behind is removed by the next run."""

import ctypes
import glob
import os
import pty
import select
import shutil
import signal
import subprocess
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CGROUP_ROOT = "/sys/fs/cgroup/unified" if os.path.isdir("/sys/fs/cgroup/unified") else "/sys/fs/cgroup"
CGROUP_PREFIX = "quorin-system-test-"
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
PR_SET_PDEATHSIG = 1


def remove_cgroup_tree(top, patience=10.0):
    """Removes a cgroup and those systemd made below it, deepest first; waits for dying
    processes to leave. Returns what could not be removed."""
    deadline = time.monotonic() + patience
    while True:
        left = []
        for directory, _, _ in os.walk(top, topdown=False):
            try:
                os.rmdir(directory)
            except FileNotFoundError:
                pass
            except OSError:
                left.append(directory)
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.1)


def remove_stale_cgroups():
    """A run killed with SIGKILL takes its box along (see Box.boot) but cannot remove its
    cgroup; an empty one is removed here."""
    for top in glob.glob(os.path.join(CGROUP_ROOT, CGROUP_PREFIX + "*")):
        pid = top.rsplit("-", 1)[-1]
        if not os.path.exists(f"/proc/{pid}"):
            remove_cgroup_tree(top, patience=0)


def echo_off(terminal):
    """Whether the terminal has stopped echoing: a password prompt's program turns echo
    off (and may discard what was typed before) once the prompt is out."""
    return not termios.tcgetattr(terminal)[3] & termios.ECHO


class Box:
    def __init__(self, files):
        """files: (host path, path inside the box) pairs, copied in once it runs."""
        self.files = files
        self.cgroup = os.path.join(CGROUP_ROOT, f"{CGROUP_PREFIX}{os.getpid()}")
        self.unshare = None
        self.pid = None
        self.console = []

    def boot(self, timeout=60):
        remove_stale_cgroups()
        os.mkdir(self.cgroup)
        libc = ctypes.CDLL(None, use_errno=True)
        cgroup_procs = os.path.join(self.cgroup, "cgroup.procs")

        def enter_box_cgroup():
            # If this run dies, even of SIGKILL, unshare dies and takes the box with it
            # (--kill-child; the box's processes die with its process 1).
            libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
            with open(cgroup_procs, "w") as procs:
                procs.write("0")

        args = ["unshare", "--mount", "--pid", "--net", "--uts", "--ipc", "--cgroup", "--fork", "--kill-child",
                "bash", os.path.join(HERE, "box-init")]
        self.unshare = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, preexec_fn=enter_box_cgroup)
        threading.Thread(target=self._read_console, daemon=True).start()
        deadline = time.monotonic() + timeout
        # systemctl needs the manager's private socket, made a moment after it starts.
        while self.pid is None or not os.path.exists(f"/proc/{self.pid}/root/run/systemd/private"):
            if self.unshare.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the box did not boot:\n" + self.console_text())
            self.pid = self.pid or self._systemd_pid()
            time.sleep(0.05)
        for source, target in self.files:
            self.install(source, target)
        state = self.run("systemctl", "is-system-running", "--wait", timeout=timeout)
        if state.stdout.strip() not in ("running", "degraded"):
            raise RuntimeError(f"the box's systemd is {state.stdout.strip()!r}:\n" +
                               self.run("systemctl", "--failed", "--no-pager").stdout)

    def _read_console(self):
        for line in self.unshare.stdout:
            self.console.append(line.decode(errors="replace"))

    def console_text(self):
        return "".join(self.console[-50:])

    def _systemd_pid(self):
        try:
            with open(os.path.join(self.cgroup, "init.scope", "cgroup.procs")) as procs:
                pids = procs.read().split()
        except FileNotFoundError:
            return None
        for pid in pids:
            try:
                with open(f"/proc/{pid}/comm") as comm:
                    if comm.read().strip() == "systemd":
                        return int(pid)
            except FileNotFoundError:
                pass
        return None

    def command(self, *args, uid=0, env=None):
        """The argument vector that runs args inside the box as uid, with a clean environment."""
        user = []
        if uid != 0:
            user = ["setpriv", f"--reuid={uid}", f"--regid={self.gid_of(uid)}", "--init-groups", "--"]
        variables = {"PATH": PATH, "LANG": "C.UTF-8", "HOME": "/root" if uid == 0 else self.home_of(uid)}
        variables.update(env or {})
        return (["nsenter", "-t", str(self.pid), "-a", "-r", "-w", "--"] + user + ["env", "-i"] +
                [f"{key}={value}" for key, value in variables.items()] + list(args))

    def run(self, *args, uid=0, env=None, input=None, timeout=60):
        """Runs a command inside the box; text output, never raises on a failing status."""
        return subprocess.run(self.command(*args, uid=uid, env=env), input=input, capture_output=True, text=True,
                              timeout=timeout)

    def sh(self, script, uid=0, timeout=60):
        return self.run("sh", "-c", script, uid=uid, timeout=timeout)

    def passwd_entry(self, uid):
        entry = self.run("getent", "passwd", str(uid)).stdout.strip()
        return entry.split(":") if entry else None

    def gid_of(self, uid):
        return self.passwd_entry(uid)[3]

    def home_of(self, uid):
        return self.passwd_entry(uid)[5]

    def run_in_terminal(self, args, answers, uid=0, timeout=60):
        """Runs a command inside the box on a terminal of its own; answers is a list of
        (prompt, reply) pairs: each reply is typed once its prompt has been seen and the
        terminal no longer echoes, as a person types a password.
        Returns (exit status, everything the terminal showed)."""
        pid, master = pty.fork()
        if pid == 0:
            argv = self.command(*args, uid=uid)
            os.execvp(argv[0], argv)
        shown = b""
        pending = list(answers)
        deadline = time.monotonic() + timeout
        ended = False
        try:
            while not ended and time.monotonic() < deadline:
                ready, _, _ = select.select([master], [], [], 0.2)
                if ready:
                    try:
                        chunk = os.read(master, 4096)
                    except OSError:
                        chunk = b""  # the terminal closed: the command ended
                    ended = not chunk
                    shown += chunk
                if pending and pending[0][0].encode() in shown.rsplit(b"\n", 1)[-1] and echo_off(master):
                    os.write(master, pending.pop(0)[1].encode() + b"\n")
                    shown += b"\n"
        finally:
            if not ended:  # out of time, or interrupted: never wait for a prompt forever
                os.kill(pid, signal.SIGKILL)
            _, status = os.waitpid(pid, 0)
            os.close(master)
        return os.waitstatus_to_exitcode(status), shown.decode(errors="replace")

    def read(self, path):
        with open(f"/proc/{self.pid}/root{path}") as handle:
            return handle.read()

    def write(self, path, content, mode=0o644):
        full = f"/proc/{self.pid}/root{path}"
        with open(full, "w") as handle:
            handle.write(content)
        os.chmod(full, mode)

    def install(self, source, target, mode=0o755):
        """Copies a host file into the box; the copy lands in the overlay's upper layer."""
        full = f"/proc/{self.pid}/root{target}"
        os.makedirs(os.path.dirname(full), exist_ok=True)
        shutil.copyfile(source, full)
        os.chmod(full, mode)

    def teardown(self):
        """Powers the box off (kills it if it will not go), then removes its cgroup."""
        problems = []
        if self.unshare is not None:
            if self.pid is not None and self.unshare.poll() is None:
                try:
                    self.run("systemctl", "poweroff", "--no-block", timeout=20)
                except subprocess.TimeoutExpired:
                    pass
            try:
                self.unshare.wait(timeout=30)
            except subprocess.TimeoutExpired:
                problems.append("the box did not power off within 30 s; killed")
                self.unshare.kill()
                self.unshare.wait()
        if os.path.isdir(self.cgroup):
            left = remove_cgroup_tree(self.cgroup)
            if left:
                problems.append("cgroups left on the host: " + ", ".join(left))
        return problems
