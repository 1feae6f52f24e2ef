"""Pieces of the stress tests beyond e2e_support: private daemons that a test kills or freezes
(always by their recorded pid), the clients a daemon holds, and the executable run under
valgrind's memcheck with its report read back.
"""

from __future__ import annotations

import contextlib
import os
import re
import signal
import subprocess
import threading
import time
from dataclasses import dataclass, field

from e2e_support import HERE, PulseSandbox, executable

PROGRAM_NAME = "orbit-tone"
SUPPRESSIONS = os.path.join(HERE, "valgrind.supp")

# Exit status valgrind gives a run in which memcheck found errors (its own, not the program's).
MEMCHECK_ERROR_STATUS = 99


# ---------------------------------------------------------------------------------------
# Private daemons, signalled by pid

def _is_live_daemon(pid: int) -> bool:
    """pid is a PulseAudio daemon that has not exited (a pid that was reused by another
    program, or a zombie, is not)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            cmdline = f.read()
    except (OSError, IndexError):
        return False
    return state not in ("Z", "X") and b"pulseaudio" in cmdline


def signal_daemon(sandbox: PulseSandbox, signum: int) -> None:
    """Sends signum to the sandbox's daemon, by the pid it recorded."""
    if sandbox.pid is None or not _is_live_daemon(sandbox.pid):
        raise AssertionError(f"the private daemon (pid {sandbox.pid}) is not running")
    os.kill(sandbox.pid, signum)


def kill_daemon(sandbox: PulseSandbox, timeout_s: float = 5.0) -> None:
    """SIGKILL to the daemon; returns once it is gone (and reaped, being our child)."""
    signal_daemon(sandbox, signal.SIGKILL)
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        try:
            pid, _ = os.waitpid(sandbox.pid, os.WNOHANG)
            if pid == sandbox.pid:
                return
        except ChildProcessError:
            # Not our child: its own parent reaps it.
            if not _is_live_daemon(sandbox.pid):
                return
        time.sleep(0.02)
    raise AssertionError(f"the private daemon (pid {sandbox.pid}) survived SIGKILL for {timeout_s} s")


def thaw_daemon(sandbox: PulseSandbox) -> None:
    """SIGCONT to the daemon if it still runs (harmless when it was never stopped)."""
    if sandbox.pid is not None and _is_live_daemon(sandbox.pid):
        os.kill(sandbox.pid, signal.SIGCONT)


@contextlib.contextmanager
def private_sandbox():
    """A daemon of its own for one check, which may kill or freeze it: thawed if frozen, then
    stopped by pid, whatever happens in between."""
    sandbox = PulseSandbox()
    try:
        sandbox.start()
        yield sandbox
    finally:
        try:
            thaw_daemon(sandbox)
        finally:
            sandbox.stop()


def server_answers(sandbox: PulseSandbox, timeout_s: float = 3.0) -> bool:
    """pactl gets an answer from the daemon within timeout_s."""
    try:
        done = subprocess.run(["pactl", "info"], capture_output=True, env=sandbox.client_env(),
                              timeout=timeout_s)
    except subprocess.TimeoutExpired:
        return False
    return done.returncode == 0


def client_binaries(sandbox: PulseSandbox) -> list[str]:
    """application.process.binary of each client connected to the daemon (pactl included)."""
    names = []
    for line in sandbox.pactl("list", "clients").splitlines():
        line = line.strip()
        if line.startswith("application.process.binary = "):
            names.append(line.split("=", 1)[1].strip().strip('"'))
    return names


def wait_for_no_client_of_ours(sandbox: PulseSandbox, timeout_s: float = 3.0) -> list[str]:
    """Polls until no client of the program's is connected; returns the clients left then."""
    deadline = time.monotonic() + timeout_s
    left = client_binaries(sandbox)
    while PROGRAM_NAME in left and time.monotonic() < deadline:
        time.sleep(0.05)
        left = client_binaries(sandbox)
    return [name for name in left if name == PROGRAM_NAME]


# ---------------------------------------------------------------------------------------
# The executable under a wrapper (valgrind)

class WrappedRun:
    """The executable started under a wrapper command, answered through a pipe like
    e2e_support.ProgramRun, with the moments that tell how long the device took to open:
    the program's first extra thread (the layer opens the device on a thread of its own, and
    nothing before it starts one) and its first output (written once the device is open)."""

    def __init__(self, wrapper: list[str], env: dict[str, str], cwd: str) -> None:
        self.launch_time = time.monotonic()
        self.process = subprocess.Popen([*wrapper, executable()], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=cwd)
        self.first_thread_time: float | None = None
        self.first_output_time: float | None = None
        self.exit_time: float | None = None
        self._out = bytearray()
        self._err = bytearray()
        self._changed = threading.Condition()
        self._threads = [threading.Thread(target=self._pump, args=(self.process.stdout, self._out), daemon=True),
                         threading.Thread(target=self._pump, args=(self.process.stderr, self._err), daemon=True),
                         threading.Thread(target=self._watch_threads, daemon=True)]
        for thread in self._threads:
            thread.start()

    def _pump(self, stream, sink: bytearray) -> None:
        fd = stream.fileno()
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                chunk = b""
            with self._changed:
                if chunk:
                    if sink is self._out and self.first_output_time is None:
                        self.first_output_time = time.monotonic()
                    sink.extend(chunk)
                self._changed.notify_all()
            if not chunk:
                return

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

    @property
    def stdout(self) -> bytes:
        with self._changed:
            return bytes(self._out)

    @property
    def stderr(self) -> bytes:
        with self._changed:
            return bytes(self._err)

    def opening_s(self) -> float | None:
        """Seconds from the opening thread's start to the first output, if both were seen."""
        if self.first_thread_time is None or self.first_output_time is None:
            return None
        return self.first_output_time - self.first_thread_time

    def wait_for_stdout_ending(self, tail: bytes, timeout_s: float) -> bool:
        deadline = time.monotonic() + timeout_s
        with self._changed:
            while not self._out.endswith(tail):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self.process.poll() is not None:
                    return self._out.endswith(tail)
                self._changed.wait(min(remaining, 0.05))
            return True

    def write(self, text: str) -> None:
        try:
            self.process.stdin.write(text.encode())
            self.process.stdin.flush()
        except BrokenPipeError:
            raise AssertionError(f"the program stopped reading before {text!r} was written: "
                                 f"{self.describe()}") from None

    def close_stdin(self) -> None:
        if not self.process.stdin.closed:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass

    def running(self) -> bool:
        return self.process.poll() is None

    def wait(self, timeout_s: float) -> int | None:
        try:
            status = self.process.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            return None
        if self.exit_time is None:
            self.exit_time = time.monotonic()
        for thread in self._threads:
            thread.join(timeout=2)
        return status

    def kill(self) -> None:
        """Ends the run (by its own pid) if a failed test left it running."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.close_stdin()
        for thread in self._threads:
            thread.join(timeout=2)
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()

    def describe(self) -> str:
        return (f"exit status {self.process.poll()}, stdout {self.stdout!r}, "
                f"stderr {self.stderr!r}")


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
