"""Pieces of the stress tests beyond e2e_support: private daemons that a test kills or freezes
(always by their recorded pid), the clients a daemon holds, and the executable run under
valgrind's memcheck with its report read back.
"""

from __future__ import annotations

import contextlib
import os
import re
import signal
import socket
import subprocess
import threading
import time
from dataclasses import dataclass, field

from e2e_support import HERE, ProgramRun, PulseSandbox, ServerSandbox

PROGRAM_NAME = "orbit-tone"
SUPPRESSIONS = os.path.join(HERE, "valgrind.supp")

# Exit status valgrind gives a run in which memcheck found errors (its own, not the program's).
MEMCHECK_ERROR_STATUS = 99


# ---------------------------------------------------------------------------------------
# Private servers, their daemons signalled by pid

def signal_daemon(sandbox: ServerSandbox, signum: int) -> list[int]:
    """Sends signum to every daemon of the sandbox's server, by the pids it recorded; returns
    them."""
    pids = sandbox.daemon_pids()
    if not pids:
        raise AssertionError(f"the private server (pids {sandbox.daemons}) is not running")
    for pid in pids:
        os.kill(pid, signum)
    return pids


def kill_daemon(sandbox: ServerSandbox, timeout_s: float = 5.0) -> None:
    """SIGKILL to every daemon of the server; returns once they are gone (and reaped, where
    they are our children). A socket holder may start new ones meanwhile: those stay."""
    killed = signal_daemon(sandbox, signal.SIGKILL)
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        for pid in killed:
            try:
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass    # not our child (its own parent reaps it), or reaped already
        left = [pid for pid in sandbox.daemon_pids() if pid in killed]
        if not left:
            return
        time.sleep(0.02)
    raise AssertionError(f"the private server (pids {left}) survived SIGKILL for {timeout_s} s")


def refusing_sockets(sandbox: ServerSandbox) -> list[str]:
    """The listening sockets a socket holder keeps for the server (DIR/socket-units) that
    refuse a connection now: none should, even with every daemon killed."""
    refusing = []
    with open(os.path.join(sandbox.dir, "socket-units")) as f:
        paths = [path for line in f if line.strip()
                 for path in line.split("\t")[1].split(",") if path != "-"]
    for path in paths:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as client:
            client.settimeout(2.0)
            try:
                client.connect(path)
            except OSError as error:
                refusing.append(f"{path}: {error}")
    return refusing


def thaw_daemon(sandbox: ServerSandbox) -> None:
    """SIGCONT to the server's daemons that still run (harmless when they were never stopped)."""
    for pid in sandbox.daemon_pids():
        os.kill(pid, signal.SIGCONT)


class Stutter:
    """Stops and continues every daemon of the server over and over, from a thread of its own:
    stopped for stopped_s, running for running_s, until stop(), which leaves them running."""

    def __init__(self, sandbox: ServerSandbox, stopped_s: float, running_s: float) -> None:
        self.sandbox = sandbox
        self.stopped_s = stopped_s
        self.running_s = running_s
        self.cycles = 0
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def start(self) -> "Stutter":
        self._thread.start()
        return self

    def _run(self) -> None:
        while not self._done.is_set():
            try:
                signal_daemon(self.sandbox, signal.SIGSTOP)
            except (AssertionError, ProcessLookupError):
                return      # the server is gone: nothing is left to stop
            self._done.wait(self.stopped_s)
            thaw_daemon(self.sandbox)
            self.cycles += 1
            self._done.wait(self.running_s)

    def stop(self) -> None:
        self._done.set()
        self._thread.join(timeout=10)
        thaw_daemon(self.sandbox)


def thaw_at(sandbox: ServerSandbox, moment: float) -> threading.Timer:
    """Thaws the server at moment (a time.monotonic() time), from a timer thread."""
    timer = threading.Timer(max(0.0, moment - time.monotonic()), thaw_daemon, (sandbox,))
    timer.daemon = True
    timer.start()
    return timer


@contextlib.contextmanager
def private_sandbox(server: type[ServerSandbox] = PulseSandbox, **options):
    """A server of its own for one check (options: the sandbox's, socket_activation say), which
    may kill or freeze it: thawed if frozen, then stopped by pid, whatever happens in between."""
    sandbox = server(**options)
    try:
        sandbox.start()
        yield sandbox
    finally:
        try:
            thaw_daemon(sandbox)
        finally:
            sandbox.stop()


def server_answers(sandbox: ServerSandbox, timeout_s: float = 3.0) -> bool:
    """pactl gets an answer from the daemon within timeout_s."""
    try:
        done = subprocess.run(["pactl", "info"], capture_output=True, env=sandbox.client_env(),
                              timeout=timeout_s)
    except subprocess.TimeoutExpired:
        return False
    return done.returncode == 0


def client_binaries(sandbox: ServerSandbox) -> list[str]:
    """application.process.binary of each client connected to the daemon (pactl included)."""
    names = []
    for line in sandbox.pactl("list", "clients").splitlines():
        line = line.strip()
        if line.startswith("application.process.binary = "):
            names.append(line.split("=", 1)[1].strip().strip('"'))
    return names


def wait_for_no_client_of_ours(sandbox: ServerSandbox, timeout_s: float = 3.0) -> list[str]:
    """Polls until no client of the program's is connected; returns the clients left then."""
    deadline = time.monotonic() + timeout_s
    left = client_binaries(sandbox)
    while PROGRAM_NAME in left and time.monotonic() < deadline:
        time.sleep(0.05)
        left = client_binaries(sandbox)
    return [name for name in left if name == PROGRAM_NAME]


# ---------------------------------------------------------------------------------------
# The executable under a wrapper (valgrind)

class WrappedRun(ProgramRun):
    """The executable started under a wrapper command, with the moment its first extra thread
    appears: the layer opens the device on a thread of its own, and nothing before it starts
    one, so that moment and the first output tell how long the device took to open."""

    def __init__(self, wrapper: list[str], env: dict[str, str], cwd: str) -> None:
        super().__init__(env, cwd, wrapper)
        self.first_thread_time: float | None = None
        watcher = threading.Thread(target=self._watch_threads, daemon=True)
        watcher.start()
        self._readers.append(watcher)

    def _watch_threads(self) -> None:
        tasks = f"/proc/{self.process.pid}/task"
        while self.first_output_time is None and self.process.poll() is None:
            try:
                if len(os.listdir(tasks)) > 1:
                    self.first_thread_time = time.monotonic()
                    return
            except OSError:
                return
            time.sleep(0.002)

    def opening_s(self) -> float | None:
        """Seconds from the opening thread's start to the first output, if both were seen."""
        if self.first_thread_time is None or self.first_output_time is None:
            return None
        return self.first_output_time - self.first_thread_time


# ---------------------------------------------------------------------------------------
# memcheck

def memcheck_command(log_path: str) -> list[str]:
    """valgrind's memcheck with every leak and error counted, the libraries' known ones
    suppressed, and the report written to log_path."""
    return ["valgrind", "--tool=memcheck", "-v",
            f"--error-exitcode={MEMCHECK_ERROR_STATUS}",
            "--leak-check=full", "--show-leak-kinds=definite,indirect,possible",
            "--errors-for-leak-kinds=definite,indirect,possible",
            "--track-origins=yes", "--num-callers=40",
            f"--suppressions={SUPPRESSIONS}", "--gen-suppressions=all",
            f"--log-file={log_path}"]


def memcheck_env(env: dict[str, str]) -> dict[str, str]:
    """env less the caller's own valgrind options: the command line above is the whole set."""
    return {k: v for k, v in env.items() if k != "VALGRIND_OPTS"}


# Lines of a memcheck report that name an error kind; any of them is a fault to look at.
_ERROR_LINE = re.compile(r"^==\d+== (Invalid (read|write|free)|Mismatched free|Conditional jump or move "
                         r"depends on uninitialised|Use of uninitialised|Syscall param .* uninitialised|"
                         r"Source and destination overlap|Argument .* of function .* has a fishy)")
_LEAK_LINE = re.compile(r"^==\d+==\s+(definitely lost|indirectly lost|possibly lost|still reachable|"
                        r"suppressed): ([\d,]+) bytes in ([\d,]+) blocks")
_ERROR_SUMMARY = re.compile(r"^==\d+== ERROR SUMMARY: ([\d,]+) errors from ([\d,]+) contexts "
                            r"\(suppressed: ([\d,]+) from ([\d,]+)\)")
_USED_SUPPRESSION = re.compile(r"^--\d+-- used_suppression:\s+(\d+) (\S+) ")


def _number(text: str) -> int:
    return int(text.replace(",", ""))


@dataclass
class MemcheckReport:
    errors: int | None = None                   # after suppression
    suppressed_errors: int | None = None
    leaks: dict[str, int] = field(default_factory=dict)     # kind -> bytes
    error_lines: list[str] = field(default_factory=list)
    used_suppressions: dict[str, int] = field(default_factory=dict)
    text: str = ""

    @classmethod
    def read(cls, path: str) -> "MemcheckReport":
        with open(path, errors="replace") as f:
            text = f.read()
        report = cls(text=text)
        for line in text.splitlines():
            if _ERROR_LINE.match(line):
                report.error_lines.append(line)
            elif match := _LEAK_LINE.match(line):
                report.leaks[match.group(1)] = _number(match.group(2))
            elif match := _ERROR_SUMMARY.match(line):
                report.errors = _number(match.group(1))
                report.suppressed_errors = _number(match.group(3))
            elif match := _USED_SUPPRESSION.match(line):
                report.used_suppressions[match.group(2)] = (report.used_suppressions.get(match.group(2), 0)
                                                            + int(match.group(1)))
        return report

    def summary(self) -> dict:
        return {"errors": self.errors, "suppressed_errors": self.suppressed_errors,
                "leaked_bytes": self.leaks, "used_suppressions": self.used_suppressions}

    def excerpt(self, lines: int = 60) -> str:
        """The first error records of the report (or its end when there are none)."""
        kept = [line for line in self.text.splitlines() if line.startswith("==")]
        for index, line in enumerate(kept):
            if _ERROR_LINE.match(line) or re.search(r"(definitely|indirectly|possibly) lost in loss record",
                                                    line):
                return "\n".join(kept[index:index + lines])
        return "\n".join(kept[-lines:])
