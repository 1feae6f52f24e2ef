#!/usr/bin/python3
"""End-to-end tests of the built orbit-tone heard through a private PulseAudio
null sink (tools/pulse-sandbox) and measured with tools/recording.py.

    tests/e2e/test_orbit_tone.py --exe build/orbit-tone [-v] [unittest names...]
    tests/e2e/test_orbit_tone.py --exe build-windows-x64/orbit-tone.exe --wine [-v] [...]

Each test class starts one private daemon and stops it by pid at the end. The program is run
as a user would: answers go through a pipe on its standard input. --keep-temp keeps the
daemons' folders (logs) for a look after a failure.

With --wine the Windows executable runs through Wine, in a private prefix made for the run
and removed after it. The dialogue is the same, with each line ending in "\r\n" (the C
runtime's text mode); Wine renders every 3D algorithm as panning, so the HRTF-specific
levels are not judged there.
"""

from __future__ import annotations

import math
import os
import re
import sys
import tempfile
import time
import unittest

# Run from the source tree: leave no __pycache__ folders in it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from e2e_support import (EXPECTED_STDOUT, EXIT_TIMEOUT_S, NO_DEVICE_MESSAGE,  # noqa: E402
                         NO_VIRTUALIZATION_NOTICE, UNRECOGNIZED_NOTICE, ProgramRun,
                         SandboxTestCase, console_text, no_server_env, run_suite,
                         program_clock_offset_s, recording, set_up_module, under_wine)

PLAY_S = 5.0                    # how long each mode's tone is heard before Enter
ORBIT_PLAY_S = 15.0             # a little over two turns of the orbit
STILL_WAITING_S = 0.5           # after the closing lines, the program must still wait this long
ENTER_EXIT_BOUND_S = 1.0        # the run ends about 0.17 s after Enter; allow plenty
PERIOD_FRAMES, PERIODS = 1472, 14   # the program's engine period at 44100 Hz, and their count


def setUpModule():
    set_up_module()


def tone_figures(label: str, analysis: recording.Analysis, extra: dict | None = None) -> str:
    """The measured figures as one line, also written to standard error for the log."""
    figures = analysis.summary()
    if extra:
        figures.update(extra)
    line = f"measured ({label}): {figures}"
    print(line, file=sys.stderr)
    return line


class ToneTest(SandboxTestCase):
    """Each menu answer plays the looped tone at about half of full scale."""

    def check_mode_plays_tone(self, answer: str) -> None:
        recorder = self.start_recorder()
        run = self.start_program()
        self.answer_menu(run, answer + "\n")
        self.wait_for_closing_prompt(run)
        time.sleep(1.5)
        if under_wine():
            # The stream's process is Wine's loader; its application name is the executable's.
            streams = self.sandbox.sink_input_property("application.name")
            expected_streams = ["orbit-tone.exe"]
        else:
            streams, expected_streams = self.sandbox.sink_input_binaries(), ["orbit-tone"]
        time.sleep(PLAY_S - 1.5)
        pressed = time.monotonic()
        status, exit_s = self.finish(run)
        rec = recorder.stop()

        # The dialogue: all four modes are honoured on a 44100 Hz stereo sink, so no notice.
        self.assertNotIn(console_text(NO_VIRTUALIZATION_NOTICE), run.stdout,
                         f"mode {answer} fell back to no virtualization on a 44100 Hz stereo sink")
        self.assertEqual(run.stdout, console_text(EXPECTED_STDOUT))
        self.assertEqual(run.stderr, b"")
        self.assertEqual(status, 0)
        self.assertEqual(streams, expected_streams,
                         "while the tone plays, the daemon should hold exactly one stream, the program's")

        # The sound: present until Enter, without dropouts, repeating every 100 frames.
        analysis = recording.analyse(rec)
        figures = tone_figures(f"answer {answer}", analysis, {"exit_after_enter_s": round(exit_s, 3)})
        self.assertIsNotNone(analysis.tone, f"the recording holds no tone; {figures}")
        self.assertGreaterEqual(analysis.tone.duration_s, 2.0, figures)
        self.assertGreaterEqual(rec.start_time + analysis.tone.end_s, pressed - 1.0,
                                f"the tone stopped before Enter; {figures}")
        self.assertGreaterEqual(analysis.coverage, 0.9, f"the tone has dropouts; {figures}")
        p = analysis.periodicity
        self.assertIsNotNone(p, figures)
        self.assertGreater(p.autocorr_period, 0.999, f"the sound does not repeat every 100 frames; {figures}")
        self.assertLess(p.autocorr_half_period, -0.99, f"the sound is no sine of 100 frames; {figures}")
        # A steady 440 Hz sine would also correlate well at lag 100: the loop's 441 Hz and
        # the residual tell them apart (440 Hz: about -37 dB).
        self.assertLess(p.repeat_residual_db, -42.0, f"the sound does not repeat every 100 frames; {figures}")
        self.assertIsNotNone(p.fundamental_hz, figures)
        self.assertAlmostEqual(p.fundamental_hz, 441.0, delta=0.3, msg=figures)

        # The level: about half of full scale; panning may put all of it on one side.
        louder = max(analysis.left, analysis.right, key=lambda level: level.peak)
        self.assertGreaterEqual(louder.peak, 0.2, f"the tone is too quiet; {figures}")
        self.assertLessEqual(louder.peak, 1.0, figures)
        self.assertGreaterEqual(louder.rms, 0.1, f"the tone is too quiet; {figures}")

    def test_mode_1_default(self):
        self.check_mode_plays_tone("1")

    def test_mode_2_no_virtualization(self):
        self.check_mode_plays_tone("2")

    def test_mode_3_light_hrtf(self):
        self.check_mode_plays_tone("3")

    def test_mode_4_full_hrtf(self):
        self.check_mode_plays_tone("4")


class DialogueTest(SandboxTestCase):
    """The console dialogue and the exit, against the private daemon; no sound judged."""

    def test_unrecognized_numbers_use_default(self):
        for answer in ("7", "0", "42", "-1"):
            with self.subTest(answer=answer):
                run = self.start_program()
                self.answer_menu(run, answer + "\n")
                self.wait_for_closing_prompt(run)
                status, _ = self.finish(run)
                self.assertEqual(run.stdout, console_text(EXPECTED_STDOUT))
                self.assertEqual(run.stderr, console_text(UNRECOGNIZED_NOTICE))
                self.assertEqual(status, 0)

    def test_letters_use_default_and_still_wait_for_enter(self):
        run = self.start_program()
        self.answer_menu(run, "abc\n")
        self.wait_for_closing_prompt(run)
        time.sleep(STILL_WAITING_S)
        self.assertTrue(run.running(), f"the program did not wait for Enter: {run.describe()}")
        status, _ = self.finish(run)
        self.assertEqual(run.stdout, console_text(EXPECTED_STDOUT))
        self.assertEqual(run.stderr, console_text(UNRECOGNIZED_NOTICE))
        self.assertEqual(status, 0)

    def test_number_followed_by_words_selects_it(self):
        run = self.start_program()
        self.answer_menu(run, "3 and more words\n")
        self.wait_for_closing_prompt(run)
        time.sleep(STILL_WAITING_S)
        self.assertTrue(run.running(),
                        f"the rest of the answer's line was taken for Enter: {run.describe()}")
        status, _ = self.finish(run)
        self.assertEqual(run.stdout, console_text(EXPECTED_STDOUT))
        self.assertEqual(run.stderr, b"", "3 must be taken as the choice")
        self.assertEqual(status, 0)

    def test_closed_input_uses_default_and_ends(self):
        run = self.start_program()
        run.close_stdin()
        # No Enter is ever written: the end of input must end the wait by itself.
        status, _ = self.finish(run, enter=False)
        self.assertEqual(run.stdout, console_text(EXPECTED_STDOUT))
        self.assertEqual(run.stderr, console_text(UNRECOGNIZED_NOTICE))
        self.assertEqual(status, 0)

    def test_enter_ends_run_promptly(self):
        for answer in ("2", "4"):
            with self.subTest(answer=answer):
                run = self.start_program()
                self.answer_menu(run, answer + "\n")
                self.wait_for_closing_prompt(run)
                time.sleep(1.5)
                status, exit_s = self.finish(run)
                print(f"measured (answer {answer}): exit {exit_s:.3f} s after Enter", file=sys.stderr)
                self.assertEqual(status, 0, run.describe())
                self.assertLess(exit_s, ENTER_EXIT_BOUND_S,
                                f"the program took {exit_s:.3f} s to exit after Enter")


class EnginePeriodTest(SandboxTestCase):
    """The engine mixes at the orbit's pace unless the user configured its period: what it
    is first configured with, as its log says ("Pre-reset: ..., 44100hz, 1472 update size
    x14"). The count the server grants, and so what later resets ask for, is the server's."""

    def first_period(self, env: dict[str, str], home: str) -> tuple[int, int]:
        log = os.path.join(home, "engine.log")
        env.update(HOME=home, ALSOFT_LOGLEVEL="3", ALSOFT_LOGFILE=log)
        run = ProgramRun(env, cwd=home)
        self.addCleanup(run.kill)
        self.answer_menu(run, "4\n")
        self.wait_for_closing_prompt(run)
        status, _ = self.finish(run)
        self.assertEqual(status, 0, run.describe())
        with open(log, errors="replace") as f:
            found = re.search(r"Pre-reset: .*?(\d+)hz, (\d+) update size x(\d+)", f.read())
        self.assertIsNotNone(found, f"no configuration in the engine's log {log}")
        self.assertEqual(int(found[1]), 44100)
        return int(found[2]), int(found[3])

    def test_period_reaches_engine_and_user_settings_win(self):
        if under_wine():
            self.skipTest("the Windows executable plays through Wine's own sound stack")
        ours = (PERIOD_FRAMES, PERIODS)
        # (the user's ~/.alsoftrc, the file the user names through ALSOFT_CONF, expected)
        cases = ((None, None, ours),
                 ("[general]\nperiods = 3\n", None, (PERIOD_FRAMES, 3)),
                 ("[general]\nperiods = 3\n", "[general]\nperiod_size = 512\n", (512, 3)))
        for alsoftrc, named, expected in cases:
            with self.subTest(alsoftrc=alsoftrc, named=named):
                home = tempfile.mkdtemp(dir=self.sandbox.dir)
                env = self.sandbox.client_env()
                if alsoftrc is not None:
                    with open(os.path.join(home, ".alsoftrc"), "w") as f:
                        f.write(alsoftrc)
                if named is not None:
                    env["ALSOFT_CONF"] = os.path.join(home, "named.conf")
                    with open(env["ALSOFT_CONF"], "w") as f:
                        f.write(named)
                self.assertEqual(self.first_period(env, home), expected)


class NoSoundServerTest(unittest.TestCase):
    """Without any sound server (and no sound card) the device cannot be created."""

    def test_no_device_fails_with_message(self):
        with tempfile.TemporaryDirectory(prefix="orbit-tone-e2e-none-") as scratch:
            run = ProgramRun(no_server_env(scratch), cwd=scratch)
            self.addCleanup(run.kill)
            # Answers are there in case the program asks; it must not get that far.
            try:
                run.write("1\n\n")
            except AssertionError:
                pass            # it may already have exited and closed its input
            run.close_stdin()
            status = run.wait()
            self.assertIsNotNone(status, f"the program did not exit within {EXIT_TIMEOUT_S} s: "
                                         f"{run.describe()}")
            self.assertEqual(run.stdout, b"")
            self.assertEqual(run.stderr, console_text(NO_DEVICE_MESSAGE))
            self.assertEqual(status, 1)


class OrbitTest(SandboxTestCase):
    """The source circles clockwise once every 2*pi s of the program's counter time
    (CLOCK_MONOTONIC; under Wine, CLOCK_MONOTONIC_RAW): the balance (right over left) follows
    sin(t), loudest on the right when sin(t) = 1, a little late by the output's latency."""

    def test_orbit_balance_follows_clock(self):
        for answer in ("2", "4"):
            with self.subTest(answer=answer):
                self.check_orbit(answer)

    def check_orbit(self, answer: str) -> None:
        recorder = self.start_recorder()
        run = self.start_program()
        self.answer_menu(run, answer + "\n")
        self.wait_for_closing_prompt(run)
        time.sleep(ORBIT_PLAY_S)
        status, _ = self.finish(run)
        rec = recorder.stop()
        self.assertEqual(status, 0, run.describe())

        recorder_start_s = rec.start_time - recorder.launch_time
        # The balance is fitted against the clock the program turns the source by.
        rec.start_time += program_clock_offset_s()
        analysis = recording.analyse(rec)
        figures = tone_figures(f"orbit, answer {answer}", analysis, {"recorder_start_after_launch_s":
                                          round(recorder_start_s, 3)})
        self.assertIsNotNone(analysis.tone, f"the recording holds no tone; {figures}")
        self.assertGreaterEqual(analysis.tone.duration_s, 2.0 * math.pi, f"less than a turn heard; {figures}")
        fit = analysis.balance_fit
        self.assertIsNotNone(fit, figures)
        self.assertGreater(fit.correlation, 0.8, f"the balance does not follow sin(t); {figures}")
        # A phase near pi would be a counter-clockwise orbit (or swapped channels).
        self.assertGreaterEqual(fit.lag_s, -0.05, f"the balance leads the clock; {figures}")
        self.assertLessEqual(fit.lag_s, 1.5, f"the balance lags the clock by more than any "
                                             f"plausible output latency; {figures}")
        extreme_db = max(abs(b.balance_db) for b in analysis.balance)
        if under_wine():
            # Wine renders every algorithm, the HRTF ones too, as a constant-power pan that
            # leaves the far channel about 20 to 30 dB down at the sides (50 ms windows),
            # not silent: no HRTF-specific levels to judge there.
            self.assertGreaterEqual(extreme_db, 15.0, f"no pan towards the sides; {figures}")
        elif answer == "2":
            # Panning: a source at the side is heard on one channel only.
            self.assertGreaterEqual(extreme_db, 20.0, f"no hard pan at the sides; {figures}")
        else:
            # HRTF: both ears hear the source from every direction, a few dB apart.
            self.assertGreaterEqual(extreme_db, 2.0, f"no left/right difference; {figures}")
            self.assertLessEqual(extreme_db, 15.0, f"HRTF rendering pans hard; {figures}")


if __name__ == "__main__":
    run_suite(__doc__.splitlines()[0], wine_option=True)
