"""Shared pieces of the end-to-end tests: a private PulseAudio daemon per test class
(tools/pulse-sandbox), the executable run as a user would through pipes, and the program's
expected console texts.
"""

from __future__ import annotations

import ctypes
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import recording  # noqa: E402  (tools/recording.py)

SANDBOX_TOOL = os.path.join(ROOT, "tools", "pulse-sandbox")
SINK_NAME = "orbit_tone_sink"
MONITOR = SINK_NAME + ".monitor"

# The program's console texts, byte for byte.
INTRODUCTION = (b"This program will play a pure sine wave;\n"
                b"Your system's volume should be at a moderate level\n\n")
MENU = (b"Software 3D modes:\n\t1: Default (probably the same as 2)\n\t2: No Virtualization\n"
        b"\t3: Light HRTF\n\t4: Full HRTF\nEnter [1-4] to choose: ")
NO_VIRTUALIZATION_NOTICE = (b"The selected algorithm isn't available on this system!\n"
                            b"\tNo virtualization will be used\n")
CLOSING = (b"\nA 440 Hz sine wave should now be playing\n"
           b"\tIt is moving in a clockwise circle around the listener\n\n"
           b"Press Enter to exit: ")
EXPECTED_STDOUT = INTRODUCTION + MENU + CLOSING
UNRECOGNIZED_NOTICE = b"Unrecognized choice! Using default\n"
NO_DEVICE_MESSAGE = b"Failed to create DirectSound device!\n\n"

# Bounds for waiting on the program; none of them is a timing requirement.
PROMPT_TIMEOUT_S = 15.0
EXIT_TIMEOUT_S = 15.0

_settings = {"exe": os.environ.get("ORBIT_TONE_EXE"), "keep": False}


def configure(exe: str | None, keep_temp: bool) -> None:
    if exe:
        _settings["exe"] = os.path.abspath(exe)
    _settings["keep"] = keep_temp


def executable() -> str:
    exe = _settings["exe"]
    if not exe or not os.access(exe, os.X_OK):
        raise RuntimeError(f"Couldn't find the orbit-tone executable: {exe!r} (pass --exe PATH)")
    return exe


def _become_subreaper() -> None:
    """The sandbox's daemon outlives the script that starts it; as a subreaper this process
    inherits it and reaps it right after stopping it, instead of leaving the zombie to an
    init that may be slow to reap (or never does)."""
    if not sys.platform.startswith("linux"):
        return
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(36, 1, 0, 0, 0)   # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        pass


def _temp_dir(prefix: str) -> str:
    # The daemon's socket path must stay short (unix sockets hold 107 bytes).
    base = tempfile.gettempdir()
    if len(base) > 40:
        base = "/tmp"
    return tempfile.mkdtemp(prefix=prefix, dir=base)


def _clean_base_env() -> dict[str, str]:
    """The caller's environment less anything that would steer the sound to another server
    or change the engine's configuration behind the test's back."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PULSE_", "ALSOFT_", "XDG_")) and k not in ("HOME", "DBUS_SESSION_BUS_ADDRESS")}
    return env


class PulseSandbox:
    """A private PulseAudio daemon with a null sink, started and stopped by pid through
    tools/pulse-sandbox."""

    def __init__(self) -> None:
        self.dir = _temp_dir("orbit-tone-e2e-")
        self.pid: int | None = None
        self.exports: dict[str, str] = {}

    def start(self) -> None:
        _become_subreaper()
        done = subprocess.run([SANDBOX_TOOL, "start", self.dir], capture_output=True, text=True,
                              timeout=30)
        if done.returncode != 0:
            raise RuntimeError(f"Couldn't start the private PulseAudio daemon in {self.dir}: "
                               f"{done.stderr.strip()}")
        for line in done.stdout.splitlines():
            words = shlex.split(line)
            if len(words) == 2 and words[0] == "export" and "=" in words[1]:
                name, value = words[1].split("=", 1)
                self.exports[name] = value
        for name in ("PULSE_SERVER", "PULSE_CLIENTCONFIG", "XDG_RUNTIME_DIR"):
            if name not in self.exports:
                raise RuntimeError(f"pulse-sandbox start printed no {name}: {done.stdout!r}")
        with open(os.path.join(self.dir, "pulse.pid")) as f:
            self.pid = int(f.read().strip())

    def stop(self) -> None:
        try:
            done = subprocess.run([SANDBOX_TOOL, "stop", self.dir], capture_output=True, text=True,
                                  timeout=30)
            if done.returncode != 0:
                raise RuntimeError(f"Couldn't stop the private PulseAudio daemon (pid {self.pid}): "
                                   f"{done.stderr.strip()}")
            self._reap()
        finally:
            if not _settings["keep"]:
                shutil.rmtree(self.dir, ignore_errors=True)

    def _reap(self) -> None:
        if self.pid is None:
            return
        deadline = time.monotonic() + 5.0
        while time.monotonic() < deadline:
            try:
                pid, _ = os.waitpid(self.pid, os.WNOHANG)
            except ChildProcessError:
                return          # not our child: its own parent reaps it
            if pid == self.pid:
                return
            time.sleep(0.02)

    def client_env(self) -> dict[str, str]:
        """The environment of a client pinned to this daemon, with a private HOME."""
        env = _clean_base_env()
        env.update(self.exports)
        env["HOME"] = os.path.join(self.dir, "home")
        return env

    def pactl(self, *args: str) -> str:
        done = subprocess.run(["pactl", *args], capture_output=True, text=True,
                              env=self.client_env(), timeout=10)
        if done.returncode != 0:
            raise AssertionError(f"pactl {' '.join(args)} failed: {done.stderr.strip()}")
        return done.stdout

    def sink_inputs(self) -> list[str]:
        return [line for line in self.pactl("list", "short", "sink-inputs").splitlines() if line.strip()]

    def sink_input_binaries(self) -> list[str]:
        """application.process.binary of each sink input (the streams playing now)."""
        names = []
        for line in self.pactl("list", "sink-inputs").splitlines():
            line = line.strip()
            if line.startswith("application.process.binary = "):
                names.append(line.split("=", 1)[1].strip().strip('"'))
        return names

    def wait_for_no_sink_input(self, timeout_s: float = 3.0) -> list[str]:
        """Polls until the daemon holds no stream; returns what is left after timeout_s."""
        deadline = time.monotonic() + timeout_s
        left = self.sink_inputs()
        while left and time.monotonic() < deadline:
            time.sleep(0.05)
            left = self.sink_inputs()
        return left

    def recorder(self) -> recording.MonitorRecorder:
        return recording.MonitorRecorder(MONITOR, self.client_env())


def no_server_env(scratch_dir: str) -> dict[str, str]:
    """An environment in which no sound server can be reached or spawned."""
    runtime = os.path.join(scratch_dir, "runtime")
    home = os.path.join(scratch_dir, "home")
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    os.makedirs(home, exist_ok=True)
    conf = os.path.join(scratch_dir, "client.conf")
    with open(conf, "w") as f:
        f.write("autospawn = no\n")
    env = _clean_base_env()
    env.update({"PULSE_SERVER": "unix:" + os.path.join(scratch_dir, "no-such-socket"),
                "PULSE_CLIENTCONFIG": conf, "XDG_RUNTIME_DIR": runtime, "HOME": home})
    return env


class ProgramRun:
    """The executable run as a user would: answers written to a pipe on its standard input,
    its two output streams read as they come."""

    def __init__(self, env: dict[str, str], cwd: str) -> None:
        self.process = subprocess.Popen([executable()], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env, cwd=cwd)
        self._out = bytearray()
        self._err = bytearray()
        self._changed = threading.Condition()
        self._readers = [threading.Thread(target=self._pump, args=(self.process.stdout, self._out), daemon=True),
                         threading.Thread(target=self._pump, args=(self.process.stderr, self._err), daemon=True)]
        for reader in self._readers:
            reader.start()
        self.exit_time: float | None = None

    def _pump(self, stream, sink: bytearray) -> None:
        fd = stream.fileno()
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                chunk = b""
            with self._changed:
                if chunk:
                    sink.extend(chunk)
                self._changed.notify_all()
            if not chunk:
                return

    @property
    def stdout(self) -> bytes:
        with self._changed:
            return bytes(self._out)

    @property
    def stderr(self) -> bytes:
        with self._changed:
            return bytes(self._err)

    def wait_for_stdout_ending(self, tail: bytes, timeout_s: float = PROMPT_TIMEOUT_S) -> bool:
        """Waits until standard output ends with tail (a prompt); False if the program exited
        or timeout_s passed first."""
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
            self.process.wait(timeout=EXIT_TIMEOUT_S)
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

    def wait(self, timeout_s: float = EXIT_TIMEOUT_S) -> int | None:
        """The exit status, or None if the program is still running after timeout_s."""
        try:
            status = self.process.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            return None
        if self.exit_time is None:
            self.exit_time = time.monotonic()
        # The streams end with the program, unless it left a process behind that holds them.
        for reader in self._readers:
            reader.join(timeout=2)
        return status

    def kill(self) -> None:
        """Ends the program (by its own pid) if a failed test left it running."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.close_stdin()
        for reader, stream in zip(self._readers, (self.process.stdout, self.process.stderr)):
            reader.join(timeout=2)
            if not reader.is_alive():
                stream.close()

    def describe(self) -> str:
        return (f"exit status {self.process.poll()}, stdout {self.stdout!r}, "
                f"stderr {self.stderr!r}")


class SandboxTestCase(unittest.TestCase):
    """Test cases that share one private daemon, started for the class and always stopped."""

    sandbox: PulseSandbox

    @classmethod
    def setUpClass(cls) -> None:
        cls.sandbox = PulseSandbox()
        # Registered first: a class cleanup runs even when setUpClass fails after this point,
        # and stopping a daemon that never started does nothing.
        cls.addClassCleanup(cls.sandbox.stop)
        cls.sandbox.start()

    def start_program(self) -> ProgramRun:
        run = ProgramRun(self.sandbox.client_env(), cwd=os.path.join(self.sandbox.dir, "home"))
        self.addCleanup(run.kill)
        return run

    def start_recorder(self) -> recording.MonitorRecorder:
        recorder = self.sandbox.recorder()
        recorder.start()
        self.addCleanup(lambda: recorder.running() and recorder.stop())
        return recorder

    def answer_menu(self, run: ProgramRun, answer: str) -> None:
        self.assertTrue(run.wait_for_stdout_ending(MENU),
                        f"the menu prompt did not come: {run.describe()}")
        run.write(answer)

    def wait_for_closing_prompt(self, run: ProgramRun) -> None:
        self.assertTrue(run.wait_for_stdout_ending(CLOSING),
                        f"the closing lines did not come: {run.describe()}")

    def finish(self, run: ProgramRun, enter: bool = True) -> tuple[int, float]:
        """Presses Enter (unless told not to), waits for the exit and checks that no stream
        is left on the daemon. Returns the exit status and the seconds from Enter to exit."""
        pressed = time.monotonic()
        if enter:
            run.write("\n")
        run.close_stdin()
        status = run.wait()
        self.assertIsNotNone(status, f"the program did not exit within {EXIT_TIMEOUT_S} s of Enter: "
                                     f"{run.describe()}")
        left = self.sandbox.wait_for_no_sink_input()
        self.assertEqual(left, [], "the program left a stream on the sound server after it exited")
        return status, run.exit_time - pressed
