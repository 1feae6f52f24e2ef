#!/usr/bin/python3
"""Stress tests of the built orbit-tone executable: the sound server killed, frozen, stuttering
or its sink suspended under it, Ctrl+C, a run under valgrind's memcheck, and 200 runs in a row
with random answers.

    tests/e2e/test_stress.py --exe build/orbit-tone [-v] [unittest names...]

Each check starts a private PulseAudio daemon of its own (tools/pulse-sandbox), or for the
server faults a PipeWire session too (tools/pipewire-sandbox), and stops it by pid; a server
that a check freezes is thawed before it is stopped, and one whose sockets a holder keeps
(tools/socket-holder) is stopped after its holder. --keep-temp keeps the
daemons' folders (logs, memcheck reports) for a look after a failure.
"""

from __future__ import annotations

import os
import random
import shutil
import signal
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass

# Run from the source tree: leave no __pycache__ folders in it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from e2e_support import (EXIT_TIMEOUT_S, EXPECTED_STDOUT, INTRODUCTION, MENU, CLOSING,  # noqa: E402
                         NO_DEVICE_MESSAGE, SINK_NAME, UNRECOGNIZED_NOTICE, PipeWireSandbox, ProgramRun,
                         PulseSandbox, SandboxTestCase, ServerSandbox, no_server_env, run_suite)
import recording  # noqa: E402  (tools/recording.py, on the path e2e_support sets)
from stress_support import (MEMCHECK_ERROR_STATUS, MemcheckReport, WrappedRun,  # noqa: E402
                            Stutter, client_binaries, kill_daemon, memcheck_command, memcheck_env,
                            private_sandbox, refusing_sockets, server_answers, signal_daemon, thaw_at, thaw_daemon,
                            wait_for_no_client_of_ours)

PLAY_BEFORE_FAULT_S = 1.5       # the tone plays this long before the server is killed or frozen
AFTER_FAULT_S = 1.5             # and the program is watched this long afterwards
ANSWER_AFTER_FAULT_S = 0.5      # a fault once the menu shows: the answer is typed this long after it
ANSWER_BOUND_S = 6.0            # whatever the server does, the program answers a choice within this
ENTER_EXIT_BOUND_S = 2.0        # and exits within this of Enter (1 s of it a frozen server's close)
OPENING_GIVE_UP_S = 5.0         # the layer gives up opening a device after this long
NO_DEVICE_BOUND_S = 15.0        # a frozen server at start: the failure comes after about 5 s
SIGINT_EXIT_BOUND_S = 5.0       # Ctrl+C ends the process within milliseconds here
INTERRUPT_AFTER_ANSWER_S = 1.0  # Ctrl+C comes this long into the wait on a frozen server
MEMCHECK_PLAY_S = 3.0           # about 45 moves of the animator (one every 66 ms)
MEMCHECK_TIMEOUT_S = 120.0      # each wait under valgrind; a whole run takes a few seconds
HEARD_AFTER_RESUME_S = 2.5       # a suspended sink's monitor is recorded this long once it resumes
MENU_STDOUT = INTRODUCTION + MENU   # what a run that fails after the menu has written
# The sanitizer builds make fewer runs (ORBIT_TONE_SOAK_RUNS): a sanitizer reports a fault the
# first time its path runs, and the plain build's 200 runs look for the rare orderings.
SOAK_RUNS = int(os.environ.get("ORBIT_TONE_SOAK_RUNS") or 200)
SOAK_SEED = 20240611


def report(label: str, figures: dict) -> str:
    """The measured figures as one line, also written to standard error for the log."""
    line = f"measured ({label}): {figures}"
    print(line, file=sys.stderr)
    return line


def start_run(test: unittest.TestCase, sandbox: ServerSandbox) -> ProgramRun:
    run = ProgramRun(sandbox.client_env(), cwd=os.path.join(sandbox.dir, "home"))
    test.addCleanup(run.kill)
    return run


def play(test: unittest.TestCase, run, answer: str, timeout_s: float = 15.0) -> None:
    """Answers the menu and waits for the closing lines: the tone then plays."""
    test.assertTrue(run.wait_for_stdout_ending(MENU, timeout_s), f"the menu prompt did not come: {run.describe()}")
    run.write(answer + "\n")
    test.assertTrue(run.wait_for_stdout_ending(CLOSING, timeout_s),
                    f"the closing lines did not come: {run.describe()}")


def press_enter(run) -> float:
    pressed = time.monotonic()
    run.write("\n")
    run.close_stdin()
    return pressed


# The sound server frozen (SIGSTOP), killed (SIGKILL), stuttering (stopped and continued over
# and over) or its sink suspended (the server answering, the sink taking nothing) from one moment
# of a run on: before the program starts, once the menu shows (the answer typed after it), or
# while the tone plays. Each row: the moment, the fault, the answers tried, and what the user
# sees: the tone playing (the closing lines, then Enter ends the run with 0) or the step's
# message and exit 1; may_play: either of the two. interrupt: Ctrl+C instead, while the program
# waits on the frozen server. user_config: the user's ~/.alsoftrc. thaw_at_s: a server frozen at
# start is thawed this long after the launch. stutter: seconds stopped, seconds running.
# socket_activation: the server's listening sockets are held for it as systemd's socket units
# hold them, so that they still accept once it is killed ("hold": and nothing starts it again).
# answer_after_s: how long after the menu the answer comes.
@dataclass(frozen=True)
class Fault:
    moment: str                 # "start", "menu" or "playing"
    kind: str                   # "frozen", "killed", "stutter" or "suspended"
    answers: tuple[str, ...]
    message: bytes = b""        # standard error; empty: the tone plays
    interrupt: bool = False
    user_config: str = ""
    may_play: bool = False
    thaw_at_s: float | None = None
    stutter: tuple[float, float] = (0.0, 0.0)
    socket_activation: str | None = None
    answer_after_s: float = ANSWER_AFTER_FAULT_S

    @property
    def menu_shows(self) -> bool:
        """The server answers the program's start, as a suspended one does: the menu shows."""
        return self.moment != "start" or self.kind == "suspended"


BUFFER_FAILURE = b"Failed to create buffer!\n\n"
# The servers the faults strike: a PulseAudio daemon, and a PipeWire session (its daemons all
# frozen or killed together) where PipeWire is installed.
SERVERS = (PulseSandbox, PipeWireSandbox)
# ORBIT_TONE_FAULT_SERVERS=pulse keeps the faults to the PulseAudio daemon: what the sanitizer
# builds run, their code being the same whatever the server.
if os.environ.get("ORBIT_TONE_FAULT_SERVERS") == "pulse":
    SERVERS = (PulseSandbox,)
FAULTS = (
    # The open is bounded: the device is given up on after 5 s.
    Fault("start", "frozen", ("1",), NO_DEVICE_MESSAGE),
    # A server that does not answer the layer's question about its stream when a buffer is made
    # has lost it, or a reset that waits on it is given up: the engine may keep the device
    # connected either way (OpenAL Soft 1.24's PipeWire backend does).
    Fault("menu", "frozen", ("1", "2", "3", "4"), BUFFER_FAILURE),
    Fault("menu", "frozen", ("4",), interrupt=True),
    # HRTF forced on by the user: No Virtualization resets the device too.
    Fault("menu", "frozen", ("2",), BUFFER_FAILURE, user_config="hrtf = true\n"),
    # A device that is gone makes no buffer, whatever the answer.
    Fault("menu", "killed", ("1", "2", "3", "4"), BUFFER_FAILURE),
    # Lost while playing: silence, and Enter still ends the run with 0.
    Fault("playing", "frozen", ("2",)),
    Fault("playing", "killed", ("2", "4")),
    # Thawed just before, at or just after the moment the open is given up: the run either fails
    # with the message or plays; the open left behind never takes the process down at its exit.
    *(Fault("start", "frozen", ("2",), NO_DEVICE_MESSAGE, may_play=True, thaw_at_s=OPENING_GIVE_UP_S + offset_s)
      for offset_s in (-0.05, 0.0, 0.05)),
    # Stopped for seconds and let run for a few milliseconds, over and over: every wait on it is
    # bounded all the same (tools/server-fault-sweep tries many more timings).
    Fault("menu", "stutter", ("2", "4"), BUFFER_FAILURE, may_play=True, stutter=(1.0, 0.05)),
    Fault("menu", "stutter", ("4",), BUFFER_FAILURE, may_play=True, stutter=(2.5, 0.03)),
    # Killed while its listening socket is held, as on a desktop whose systemd holds it: a
    # connection is accepted and never answered, and that must not count as a server.
    Fault("menu", "killed", ("1", "2", "3", "4"), BUFFER_FAILURE, socket_activation="hold"),
    # A healthy sink that takes nothing (suspended, as a Bluetooth headset starting or a USB DAC
    # waking is): the server answers, so the tone plays however soon or late the user answers,
    # and is heard once the sink resumes.
    Fault("start", "suspended", ("4",), answer_after_s=0.1),
    Fault("start", "suspended", ("2",), answer_after_s=1.0),
)


class ServerFaultTest(unittest.TestCase):
    """Whatever the server does and whenever: the program answers within 6 s of the choice, exits
    within 2 s of Enter, says only its own messages, Ctrl+C ends it, and once the server runs again
    it finds nothing of the program's left."""

    def test_faults(self):
        for server in SERVERS:
            if not server.installed():
                print(f"skipped: {server.NAME} is not installed (tools/setup-debian --test installs it)",
                      file=sys.stderr)
                continue
            for fault in FAULTS:
                for answer in fault.answers:
                    with self.subTest(server=server.NAME, moment=fault.moment, fault=fault.kind, answer=answer,
                                      interrupt=fault.interrupt, user_config=fault.user_config,
                                      thaw_at_s=fault.thaw_at_s, stutter=fault.stutter,
                                      socket_activation=fault.socket_activation,
                                      answer_after_s=fault.answer_after_s), \
                            private_sandbox(server, socket_activation=fault.socket_activation) as sandbox:
                        self.check_fault(sandbox, fault, answer)

    def check_fault(self, sandbox: ServerSandbox, fault: Fault, answer: str) -> None:
        # What keeps striking the server (a stutter, a pending thaw) ends before it is stopped.
        stoppers: list = []
        try:
            self.run_fault(sandbox, fault, answer, stoppers)
        finally:
            for stop in stoppers:
                stop()

    def run_fault(self, sandbox: ServerSandbox, fault: Fault, answer: str, stoppers: list) -> None:
        label = (f"{sandbox.NAME} {fault.kind} at {fault.moment}, answer {answer}" + (", Ctrl+C" if fault.interrupt else "") +
                 (f", user config {fault.user_config!r}" if fault.user_config else "") +
                 (f", thawed at {fault.thaw_at_s} s" if fault.thaw_at_s is not None else "") +
                 (f", stopped {fault.stutter[0]} s / running {fault.stutter[1]} s" if fault.kind == "stutter" else "") +
                 (f", sockets held ({fault.socket_activation})" if fault.socket_activation else "") +
                 (f", answered {fault.answer_after_s} s after the menu" if fault.kind == "suspended" else ""))
        if fault.user_config:
            with open(os.path.join(sandbox.dir, "home", ".alsoftrc"), "w") as f:
                f.write(fault.user_config)

        def strike() -> None:
            if fault.kind == "killed":
                kill_daemon(sandbox)
                if fault.socket_activation:
                    self.assertEqual(refusing_sockets(sandbox), [], "the server's sockets should still accept")
            elif fault.kind == "stutter":
                stoppers.append(Stutter(sandbox, *fault.stutter).start().stop)
            elif fault.kind == "suspended":
                sandbox.pactl("suspend-sink", SINK_NAME, "1")
            else:
                signal_daemon(sandbox, signal.SIGSTOP)

        if fault.moment == "start":
            strike()
        run = start_run(self, sandbox)
        figures = {}
        if fault.thaw_at_s is not None:
            stoppers.append(thaw_at(sandbox, run.launch_time + fault.thaw_at_s).cancel)
        played = False
        if not fault.menu_shows:
            # Answers are there in case the program asks, with Enter to end a run that plays.
            try:
                run.write(answer + "\n\n")
            except AssertionError:
                pass            # it may already have exited and closed its input
            run.close_stdin()
            status = run.wait(NO_DEVICE_BOUND_S)
            self.assertIsNotNone(status, f"no exit within {NO_DEVICE_BOUND_S} s: {run.describe()}")
            figures["exit_after_launch_s"] = round(run.exit_time - run.launch_time, 3)
            played = fault.may_play and status == 0
            if played:
                expected_stdout = EXPECTED_STDOUT
            else:
                self.assertGreaterEqual(figures["exit_after_launch_s"], OPENING_GIVE_UP_S - 0.5,
                                        "the failure came before the layer's wait for the device was over")
                expected_stdout = b""
        else:
            self.assertTrue(run.wait_for_stdout_ending(MENU), f"the menu prompt did not come: {run.describe()}")
            if fault.moment == "menu":
                strike()
            # The user reads the menu before typing; the engine notices a lost server meanwhile.
            if fault.moment != "playing":
                time.sleep(fault.answer_after_s)
            answered = time.monotonic()
            run.write(answer + "\n")
            if fault.interrupt:
                time.sleep(INTERRUPT_AFTER_ANSWER_S)
                self.assertTrue(run.running(), f"the program did not wait on the server: {run.describe()}")
                interrupted = time.monotonic()
                run.process.send_signal(signal.SIGINT)
                status = run.wait(SIGINT_EXIT_BOUND_S)
                self.assertIsNotNone(status, f"Ctrl+C did not end the program: {run.describe()}")
                figures["exit_after_signal_s"] = round(run.exit_time - interrupted, 3)
                self.assertEqual(status, -signal.SIGINT, run.describe())
                expected_stdout = MENU_STDOUT
            elif fault.message and not fault.may_play:
                status = run.wait(ANSWER_BOUND_S)
                if status is None and run.stdout.endswith(CLOSING):
                    self.fail(f"the program says the tone is playing, with no server to play it: {run.describe()}")
                self.assertIsNotNone(status, f"no answer within {ANSWER_BOUND_S} s of the choice: {run.describe()}")
                figures["exit_after_answer_s"] = round(run.exit_time - answered, 3)
                expected_stdout = MENU_STDOUT
            elif fault.may_play and not run.wait_for_stdout_ending(CLOSING, ANSWER_BOUND_S):
                # Not playing: then the step's failure, within the same bound.
                status = run.wait(max(0.0, answered + ANSWER_BOUND_S - time.monotonic()))
                self.assertIsNotNone(status, f"no answer within {ANSWER_BOUND_S} s of the choice: {run.describe()}")
                figures["exit_after_answer_s"] = round(run.exit_time - answered, 3)
                expected_stdout = MENU_STDOUT
            else:
                played = True
                self.assertTrue(run.wait_for_stdout_ending(CLOSING, ANSWER_BOUND_S),
                                f"the closing lines did not come within {ANSWER_BOUND_S} s: {run.describe()}")
                figures["closing_after_answer_s"] = round(time.monotonic() - answered, 3)
                if fault.moment == "playing":
                    time.sleep(PLAY_BEFORE_FAULT_S)
                    self.assertEqual(sandbox.sink_input_binaries(), ["orbit-tone"],
                                     "the program's stream should be playing on the daemon")
                    strike()
                if fault.kind == "suspended":
                    figures.update(self.hear_after_resume(sandbox))
                time.sleep(AFTER_FAULT_S)
                self.assertTrue(run.running(), f"the program ended by itself: {run.describe()}")
                self.assertEqual(run.stdout, EXPECTED_STDOUT, "the program wrote more after the fault")
                pressed = press_enter(run)
                status = run.wait(ENTER_EXIT_BOUND_S)
                self.assertIsNotNone(status, f"no exit within {ENTER_EXIT_BOUND_S} s of Enter: {run.describe()}")
                figures["exit_after_enter_s"] = round(run.exit_time - pressed, 3)
                expected_stdout = EXPECTED_STDOUT
        figures["played"] = played
        report(label, figures)
        if not fault.interrupt:
            self.assertEqual(status, 0 if played or not fault.message else 1, run.describe())
        self.assertEqual(run.stdout, expected_stdout)
        self.assertEqual(run.stderr, b"" if played else fault.message,
                         "only the program's own message belongs on standard error")

        # Once the server runs again, it finds the program gone and keeps nothing of it.
        if fault.kind in ("frozen", "stutter"):
            for stop in stoppers:
                stop()
            thaw_daemon(sandbox)
            self.assertTrue(server_answers(sandbox, timeout_s=10.0), "the thawed daemon does not answer")
            self.assertEqual(sandbox.wait_for_no_sink_input(), [], "a stream of the program's was left")
            self.assertEqual(wait_for_no_client_of_ours(sandbox), [], "a client of the program's was left")


    def hear_after_resume(self, sandbox: ServerSandbox) -> dict:
        """Resumes the suspended sink and records its monitor: the tone must come."""
        sandbox.pactl("suspend-sink", SINK_NAME, "0")
        recorder = sandbox.recorder()
        recorder.start()
        time.sleep(HEARD_AFTER_RESUME_S)
        rec = recorder.stop()
        # The monitor's first second or so may be missing; the last second must hold the tone.
        coverage = recording.tone_coverage(rec, max(0, rec.frames - rec.rate_hz), rec.frames)
        self.assertGreater(coverage, 0.9, f"the tone is not heard after the sink resumed: {coverage:.2f} of the "
                                          f"last second of {rec.duration_s:.1f} s recorded")
        return {"tone_heard_after_resume": round(coverage, 2)}


class InterruptTest(SandboxTestCase):
    """Ctrl+C while the tone plays: the program installs no handler, so SIGINT ends the
    process at once, and the server drops its stream."""

    def setUp(self) -> None:
        # A shell that starts the tests in the background has them ignore SIGINT, and the
        # program would inherit that; a handler of ours is reset to the default by exec.
        if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
            signal.signal(signal.SIGINT, signal.default_int_handler)
            self.addCleanup(signal.signal, signal.SIGINT, signal.SIG_IGN)

    def test_sigint_while_playing(self):
        for answer in ("2", "4"):
            with self.subTest(answer=answer):
                run = start_run(self, self.sandbox)
                play(self, run, answer)
                time.sleep(PLAY_BEFORE_FAULT_S)
                self.assertEqual(self.sandbox.sink_input_binaries(), ["orbit-tone"])

                interrupted = time.monotonic()
                run.process.send_signal(signal.SIGINT)
                status = run.wait(SIGINT_EXIT_BOUND_S)
                self.assertIsNotNone(status, f"SIGINT did not end the program within {SIGINT_EXIT_BOUND_S} s: "
                                             f"{run.describe()}")
                exit_s = run.exit_time - interrupted
                left = self.sandbox.wait_for_no_sink_input()
                stream_gone_s = time.monotonic() - interrupted
                report(f"SIGINT, answer {answer}", {"exit_after_signal_s": round(exit_s, 3),
                                                    "stream_gone_after_signal_s": round(stream_gone_s, 3)})
                self.assertEqual(status, -signal.SIGINT, f"not a death by SIGINT: {run.describe()}")
                self.assertEqual(run.stdout, EXPECTED_STDOUT)
                self.assertEqual(run.stderr, b"")
                self.assertEqual(left, [], "the program's stream was left on the server after Ctrl+C")
                self.assertEqual(wait_for_no_client_of_ours(self.sandbox), [],
                                 "the program's client was left on the server after Ctrl+C")


class MemcheckTest(SandboxTestCase):
    """Whole runs under valgrind's memcheck: no invalid access, no use of uninitialised
    memory, no leak, once the sound libraries' own (tests/e2e/valgrind.supp) are set aside."""

    @classmethod
    def setUpClass(cls) -> None:
        if shutil.which("valgrind") is None:
            raise RuntimeError("Couldn't find valgrind: install valgrind (Debian: apt-get install valgrind)")
        super().setUpClass()

    def start_memcheck(self, sandbox_dir: str, env: dict[str, str], cwd: str, label: str) -> tuple[WrappedRun, str]:
        log_path = os.path.join(sandbox_dir, f"memcheck-{label}.log")
        run = WrappedRun(memcheck_command(log_path), memcheck_env(env), cwd)
        self.addCleanup(run.kill)
        return run, log_path

    def check_report(self, log_path: str, label: str, extra: dict) -> None:
        self.assertTrue(os.path.exists(log_path), f"valgrind wrote no report at {log_path}")
        memcheck = MemcheckReport.read(log_path)
        figures = memcheck.summary()
        figures.update(extra)
        line = report(f"memcheck, {label}", figures)
        self.assertIsNotNone(memcheck.errors, f"the report has no error summary; {line}\n{memcheck.excerpt()}")
        self.assertEqual(memcheck.error_lines, [], f"invalid accesses or uninitialised values; {line}\n"
                                                   f"{memcheck.excerpt()}")
        for kind in ("definitely lost", "indirectly lost", "possibly lost"):
            self.assertEqual(memcheck.leaks.get(kind, 0), 0, f"{kind}: see {log_path}; {line}\n{memcheck.excerpt()}")
        self.assertEqual(memcheck.errors, 0, f"memcheck counted errors; {line}\n{memcheck.excerpt()}")

    def test_full_hrtf_run(self):
        run, log_path = self.start_memcheck(self.sandbox.dir, self.sandbox.client_env(),
                                            os.path.join(self.sandbox.dir, "home"), "full-hrtf")
        menu = run.wait_for_stdout_ending(MENU, MEMCHECK_TIMEOUT_S)
        if not menu and run.wait(EXIT_TIMEOUT_S) == 1 and run.stderr == NO_DEVICE_MESSAGE:
            self.fail(f"under valgrind the device took longer than the layer's {OPENING_GIVE_UP_S} s to open")
        self.assertTrue(menu, f"no menu: {run.describe()}")
        opening_s = run.opening_s()
        run.write("4\n")
        self.assertTrue(run.wait_for_stdout_ending(CLOSING, MEMCHECK_TIMEOUT_S), f"no closing lines: {run.describe()}")
        time.sleep(MEMCHECK_PLAY_S)
        streams = self.sandbox.sink_input_binaries()
        pressed = press_enter(run)
        status = run.wait(MEMCHECK_TIMEOUT_S)
        self.assertIsNotNone(status, f"no exit within {MEMCHECK_TIMEOUT_S} s of Enter: {run.describe()}")
        left = self.sandbox.wait_for_no_sink_input()

        self.assertEqual(streams, ["orbit-tone"], "the tone was not playing on the daemon")
        self.assertEqual(run.stdout, EXPECTED_STDOUT)
        self.assertEqual(run.stderr, b"")
        self.assertEqual(left, [], "a stream was left on the daemon")
        self.check_report(log_path, "answer 4", {
            "exit_status": status,
            "device_opening_s": None if opening_s is None else round(opening_s, 3),
            "first_output_after_launch_s": round(run.first_output_time - run.launch_time, 3),
            "exit_after_enter_s": round(run.exit_time - pressed, 3)})
        self.assertNotEqual(status, MEMCHECK_ERROR_STATUS, "memcheck found errors")
        self.assertEqual(status, 0, run.describe())

    def test_run_with_server_killed(self):
        with private_sandbox() as sandbox:
            run, log_path = self.start_memcheck(sandbox.dir, sandbox.client_env(),
                                                os.path.join(sandbox.dir, "home"), "server-killed")
            self.assertTrue(run.wait_for_stdout_ending(MENU, MEMCHECK_TIMEOUT_S), f"no menu: {run.describe()}")
            run.write("4\n")
            self.assertTrue(run.wait_for_stdout_ending(CLOSING, MEMCHECK_TIMEOUT_S),
                            f"no closing lines: {run.describe()}")
            time.sleep(PLAY_BEFORE_FAULT_S)
            kill_daemon(sandbox)
            time.sleep(AFTER_FAULT_S)
            press_enter(run)
            status = run.wait(MEMCHECK_TIMEOUT_S)
            self.assertIsNotNone(status, f"no exit within {MEMCHECK_TIMEOUT_S} s of Enter: {run.describe()}")
            self.assertEqual(run.stdout, EXPECTED_STDOUT)
            self.assertEqual(run.stderr, b"")
            self.check_report(log_path, "answer 4, server killed mid-play", {"exit_status": status})
            self.assertEqual(status, 0, run.describe())

    def test_no_device(self):
        # Without a server the engine falls to ALSA, whose configuration is read (and kept).
        scratch = tempfile.mkdtemp(prefix="orbit-tone-memcheck-none-", dir="/tmp")
        self.addCleanup(shutil.rmtree, scratch, True)
        run, log_path = self.start_memcheck(scratch, no_server_env(scratch), scratch, "no-device")
        try:
            run.write("1\n\n")
        except AssertionError:
            pass                # it may already have exited and closed its input
        run.close_stdin()
        status = run.wait(MEMCHECK_TIMEOUT_S)
        self.assertIsNotNone(status, f"no exit within {MEMCHECK_TIMEOUT_S} s: {run.describe()}")
        self.assertEqual(run.stdout, b"")
        self.assertEqual(run.stderr, NO_DEVICE_MESSAGE)
        self.check_report(log_path, "no device", {"exit_status": status})
        self.assertEqual(status, 1, run.describe())


# What the soak answers, what standard error then says, and whether the answer's line is
# followed by Enter (False: the input ends instead, which ends the wait by itself).
NOTICE = UNRECOGNIZED_NOTICE
SOAK_ANSWERS = [
    # Numbers the menu offers, alone or with more on the line.
    ("1\n", b"", True), ("2\n", b"", True), ("3\n", b"", True), ("4\n", b"", True),
    ("3 and more words\n", b"", True), ("  4\t\n", b"", True), ("2x\n", b"", True), ("+1\n", b"", True),
    # Blank lines are skipped: the menu waits for a word.
    ("\n\n2\n", b"", True),
    # Other numbers.
    ("0\n", NOTICE, True), ("5\n", NOTICE, True), ("9\n", NOTICE, True), ("42\n", NOTICE, True),
    ("-1\n", NOTICE, True), ("4294967296\n", NOTICE, True), ("12345678901234567890\n", NOTICE, True),
    # Letters.
    ("a\n", NOTICE, True), ("abc\n", NOTICE, True), ("x4\n", NOTICE, True), ("Q\n", NOTICE, True),
    # Empty input: blank lines, then the input ends.
    ("\n", NOTICE, False), ("", NOTICE, False),
    # The input closed early: right after a choice, or before the menu even shows.
    ("3\n", b"", False), ("7\n", NOTICE, False),
]


class SoakTest(SandboxTestCase):
    """Many short runs in a row against one daemon, with random answers (fixed seed)."""

    def test_consecutive_runs(self):
        # Every kind of answer at least once, the rest drawn at random, in a random order.
        rng = random.Random(SOAK_SEED)
        plan = SOAK_ANSWERS + [rng.choice(SOAK_ANSWERS) for _ in range(SOAK_RUNS - len(SOAK_ANSWERS))]
        rng.shuffle(plan)
        started = time.monotonic()
        slowest_s = 0.0
        for index, (answer, expected_stderr, enter) in enumerate(plan):
            wait_for_menu = rng.random() < 0.8     # else typed ahead, before the menu shows
            with self.subTest(run=index, answer=answer, enter=enter, seed=SOAK_SEED):
                began = time.monotonic()
                run = ProgramRun(self.sandbox.client_env(), cwd=os.path.join(self.sandbox.dir, "home"))
                try:
                    self.soak_run(run, answer, enter, wait_for_menu)
                    self.assertEqual(run.stdout, EXPECTED_STDOUT, run.describe())
                    self.assertEqual(run.stderr, expected_stderr, run.describe())
                    self.assertEqual(run.process.returncode, 0, run.describe())
                finally:
                    run.kill()
                self.assertEqual(self.sandbox.wait_for_no_sink_input(), [],
                                 "the run left a stream on the daemon")
                slowest_s = max(slowest_s, time.monotonic() - began)
        duration_s = time.monotonic() - started
        report("soak", {"runs": SOAK_RUNS, "seed": SOAK_SEED, "duration_s": round(duration_s, 1),
                        "slowest_run_s": round(slowest_s, 3)})
        self.assertTrue(server_answers(self.sandbox), "the daemon stopped answering during the soak")
        self.assertEqual(self.sandbox.sink_inputs(), [], "streams were left on the daemon")
        self.assertNotIn("orbit-tone", client_binaries(self.sandbox), "clients were left on the daemon")

    def soak_run(self, run: ProgramRun, answer: str, enter: bool, wait_for_menu: bool) -> None:
        """One run, bounded at every step; a run still going at a bound is killed by kill()."""
        if wait_for_menu:
            self.assertTrue(run.wait_for_stdout_ending(MENU), f"the menu prompt did not come: {run.describe()}")
        if answer:
            run.write(answer)
        if enter:
            self.assertTrue(run.wait_for_stdout_ending(CLOSING),
                            f"the closing lines did not come: {run.describe()}")
            run.write("\n")
        run.close_stdin()
        status = run.wait()
        self.assertIsNotNone(status, f"the run did not exit within {EXIT_TIMEOUT_S} s: {run.describe()}")


if __name__ == "__main__":
    run_suite(__doc__.splitlines()[0])
