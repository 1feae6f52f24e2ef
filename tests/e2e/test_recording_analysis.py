#!/usr/bin/python3
"""Checks of the measuring chain the end-to-end tests rely on: tools/recording.py on
synthetic recordings of known figures, and tools/pulse-sandbox with its recorder on a
known tone played through the private sink by pacat (no orbit-tone involved).

    tests/e2e/test_recording_analysis.py [-v]
"""

from __future__ import annotations

import array
import math
import os
import subprocess
import sys
import time
import unittest

# Run from the source tree: leave no __pycache__ folders in it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from e2e_support import SandboxTestCase, recording  # noqa: E402

RATE_HZ = recording.RATE_HZ
# The program's tone: 440 Hz computed into 100 frames at half of full scale, looped.
TONE_LOOP = [int(round(16383 * math.sin(2 * math.pi * 440 * i / RATE_HZ))) for i in range(100)]


def pan_gains(x: float) -> tuple[float, float]:
    """Constant-power panning: x = -1 hard left, 0 centre, +1 hard right."""
    angle = (x + 1.0) * math.pi / 4.0
    return math.cos(angle), math.sin(angle)


def synthetic(seconds: float, start_time: float, lag_s: float = 0.0, silence_s: float = 0.0,
              mode: str = "pan", loop=TONE_LOOP) -> recording.Recording:
    """The looped tone, its balance following sin(t - lag_s) on the monotonic time base that
    starts at start_time, after silence_s of silence. mode 'pan' pans hard at the sides;
    'hrtf' keeps both channels, up to 5.4 dB apart."""
    left, right = array.array("h"), array.array("h")
    silent = int(silence_s * RATE_HZ)
    for i in range(int(seconds * RATE_HZ)):
        if i < silent:
            left.append(0)
            right.append(0)
            continue
        x = math.sin(start_time + i / RATE_HZ - lag_s)
        if mode == "pan":
            gl, gr = pan_gains(x)
        elif mode == "hrtf":
            half = 10.0 ** (5.4 * x / 40.0)
            gl, gr = 0.7 / half, 0.7 * half
        else:
            gl = gr = 1.0
        s = loop[i % len(loop)]
        left.append(int(s * gl))
        right.append(int(s * gr))
    return recording.Recording(left, right, RATE_HZ, start_time)


class AnalysisTest(unittest.TestCase):
    """recording.py recovers the figures put into synthetic recordings."""

    def test_tone_span_levels_and_period(self):
        rec = synthetic(3.0, 1000.0, silence_s=1.2, mode="centre")
        analysis = recording.analyse(rec)
        self.assertIsNotNone(analysis.tone)
        self.assertAlmostEqual(analysis.tone.start_s, 1.2, delta=0.011)
        self.assertAlmostEqual(analysis.tone.end_s, 3.0, delta=0.011)
        self.assertEqual(analysis.coverage, 1.0)
        for level in (analysis.left, analysis.right):
            self.assertAlmostEqual(level.peak, 16383 / 32768, delta=0.001)
            self.assertAlmostEqual(level.rms, 16383 / 32768 / math.sqrt(2), delta=0.003)
        p = analysis.periodicity
        self.assertGreater(p.autocorr_period, 0.999)
        self.assertLess(p.autocorr_half_period, -0.99)
        self.assertAlmostEqual(p.fundamental_hz, 441.0, delta=0.01)

    def test_other_periods_and_silence_are_told_apart(self):
        # A steady 440 Hz sine, and the same tone looped over 1000 frames, are close to
        # repeating every 100 frames, but not exactly.
        for loop_frames, hz in ((RATE_HZ, 440.0), (1000, 441.0)):
            loop = [int(round(16383 * math.sin(2 * math.pi * 440 * i / RATE_HZ))) for i in range(loop_frames)]
            p = recording.analyse(synthetic(1.0, 0.0, mode="centre", loop=loop)).periodicity
            self.assertGreater(p.repeat_residual_db, -40.0)
            self.assertGreater(p.repeat_residual_low_db, -40.0)
            self.assertAlmostEqual(p.fundamental_hz, hz, delta=0.15)
        p = recording.analyse(synthetic(1.0, 0.0, mode="centre")).periodicity
        self.assertLess(p.repeat_residual_db, -90.0)
        self.assertLess(p.repeat_residual_low_db, -90.0)
        self.assertEqual(recording.repeat_residual_db(TONE_LOOP * 10, 0, 500, 100), recording.RESIDUAL_FLOOR_DB)
        silent = recording.Recording(array.array("h", [0] * 44100), array.array("h", [0] * 44100))
        self.assertIsNone(recording.analyse(silent).tone)
        # A dropout in the middle lowers the coverage.
        rec = synthetic(2.0, 0.0, mode="centre")
        for i in range(44100, 44100 + 4410):
            rec.left[i] = rec.right[i] = 0
        self.assertAlmostEqual(recording.analyse(rec).coverage, 0.95, delta=0.01)
        # ... and not the level of what was heard, which leaves it out (0.2 dB down otherwise).
        whole_db = recording.dbfs(math.sqrt(recording.heard_power(synthetic(2.0, 0.0, mode="centre"), 0, 88200)))
        heard_db = recording.dbfs(math.sqrt(recording.heard_power(rec, 0, 88200)))
        self.assertAlmostEqual(heard_db, whole_db, delta=0.02)
        # The many short gaps of a starved output (Wine's, on a loaded machine): 20 ms in every
        # 100, in more than half of the 50 ms windows. They show as dropouts, not as a sound
        # that repeats otherwise or plays quieter.
        starved = synthetic(2.0, 0.0, mode="centre")
        for gap in range(1000, starved.frames - 882, 4410):
            for i in range(gap, gap + 882):
                starved.left[i] = starved.right[i] = 0
        analysis = recording.analyse(starved)
        self.assertLess(analysis.coverage, 0.95)
        self.assertGreaterEqual(len(analysis.glitches), 12)
        self.assertGreater(analysis.periodicity.autocorr_period, 0.999)
        self.assertLess(analysis.periodicity.autocorr_half_period, -0.99)
        heard_db = recording.dbfs(math.sqrt(recording.heard_power(starved, 0, starved.frames)))
        self.assertAlmostEqual(heard_db, whole_db, delta=0.02)

    def test_balance_sign_and_limit(self):
        rec = synthetic(0.5, 0.0, mode="centre")
        for i in range(rec.frames):
            rec.left[i] //= 2           # right louder by 6.02 dB
        curve = recording.balance_curve(rec, 50.0)
        self.assertEqual(len(curve), 10)
        for point in curve:
            self.assertAlmostEqual(point.balance_db, 6.02, delta=0.05)
        for i in range(rec.frames):
            rec.left[i] = 0             # right only: limited, not infinite
        self.assertEqual({p.balance_db for p in recording.balance_curve(rec)}, {recording.BALANCE_LIMIT_DB})
        self.assertAlmostEqual(curve[0].offset_s, 0.025, places=6)

    def test_balance_fit_recovers_lag(self):
        for mode, lag_s, min_correlation in (("pan", 0.4, 0.9), ("hrtf", 0.9, 0.999), ("pan", 0.0, 0.9)):
            with self.subTest(mode=mode, lag_s=lag_s):
                start = 76543.21          # a monotonic clock some way into the machine's uptime
                rec = synthetic(8.0, start, lag_s=lag_s, silence_s=1.0, mode=mode)
                fit = recording.analyse(rec).balance_fit
                self.assertIsNotNone(fit)
                self.assertGreater(fit.correlation, min_correlation)
                self.assertAlmostEqual(fit.lag_s, lag_s, delta=0.03)
                self.assertGreater(fit.amplitude, 4.0)
        # A mirrored orbit (left loudest when sin(t) = 1) shows as a lag near pi.
        rec = synthetic(8.0, 500.0, mode="hrtf")
        rec.left, rec.right = rec.right, rec.left
        self.assertAlmostEqual(abs(recording.analyse(rec).balance_fit.lag_s), math.pi, delta=0.05)

    def test_glitch_cut_into_tone_is_found_to_the_frame(self):
        # What a stalled stream makes: silence put in (4-10 ms were seen on these machines;
        # 1 ms is far below any level window), and frames dropped. Each is one glitch,
        # from where it was cut until a loop after the tone resumes.
        for mode, at_s, frames, kind in (("pan", 1.2345, 44, "silence"), ("hrtf", 2.5, 220, "silence"),
                                         ("pan", 0.75, 441, "silence"), ("hrtf", 3.1, 37, "skip")):
            with self.subTest(mode=mode, kind=kind, frames=frames):
                rec = synthetic(4.0, 1000.0, mode=mode)
                at = int(at_s * RATE_HZ)
                for channel in (rec.left, rec.right):
                    if kind == "silence":
                        channel[at:at] = array.array("h", [0] * frames)
                    else:
                        del channel[at:at + frames]
                glitches = recording.find_glitches(rec, 0, rec.frames)
                self.assertEqual(len(glitches), 1, [(g.start_frame, g.end_frame) for g in glitches])
                end = at + (frames if kind == "silence" else 0) + recording.TONE_PERIOD_FRAMES
                self.assertAlmostEqual(glitches[0].start_frame, at, delta=5)
                self.assertAlmostEqual(glitches[0].end_frame, end, delta=5)
                self.assertEqual(len(recording.analyse(rec).glitches), 1)

    def test_clean_orbiting_tone_has_no_glitch(self):
        # The orbit moves gains (hard to each side) and both ears' levels, slowly; the
        # sound repeats all the same.
        for mode in ("pan", "hrtf"):
            with self.subTest(mode=mode):
                rec = synthetic(7.0, 76543.21, mode=mode)
                self.assertEqual(recording.find_glitches(rec, 0, rec.frames), [])

    def test_raw_round_trip_and_command_line(self):
        rec = synthetic(2.0, 321.5, lag_s=0.3, mode="hrtf")
        data = rec.to_bytes()
        self.assertEqual(len(data), rec.frames * 4)
        again = recording.Recording.from_bytes(data + b"\x01", start_time=321.5)
        self.assertEqual(again.left, rec.left)
        self.assertEqual(again.right, rec.right)
        tool = os.path.join(os.path.dirname(recording.__file__), "recording.py")
        done = subprocess.run([sys.executable, tool, "-", "--start-time", "321.5", "--json"],
                              input=data, capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(b'"fundamental_hz": 441.0', done.stdout)
        self.assertIn(b'"lag_s": 0.3', done.stdout)


class SandboxRecorderTest(SandboxTestCase):
    """A known stereo tone played into the private sink comes back through the recorder
    with its level, period and balance, and on the recorder's monotonic time base."""

    def test_known_tone_through_private_sink(self):
        recorder = self.start_recorder()
        env = self.sandbox.client_env()
        player = subprocess.Popen(["pacat", "--playback", "--format=s16le", f"--rate={RATE_HZ}",
                                   "--channels=2", "--raw", "--latency-msec=50"],
                                  stdin=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.addCleanup(lambda: player.poll() is None and player.kill())
        # Written as it plays, panned by sin(time of writing): a fake orbit whose lag is
        # what the pipe, the daemon and the recorder add.
        written = 0
        began = time.monotonic()
        while time.monotonic() - began < 9.0:
            gl, gr = pan_gains(math.sin(time.monotonic()))
            gl, gr = 0.5 * gl, gr     # right 6 dB louder at the centre as well
            block = array.array("h")
            for i in range(written, written + 441):
                s = TONE_LOOP[i % 100]
                block.append(int(s * gl))
                block.append(int(s * gr))
            written += 441
            player.stdin.write(block.tobytes())
            player.stdin.flush()
        player.stdin.close()
        self.assertEqual(player.wait(timeout=10), 0, player.stderr.read())
        player.stderr.close()
        self.assertEqual(self.sandbox.wait_for_no_sink_input(), [])
        rec = recorder.stop()

        analysis = recording.analyse(rec)
        figures = f"measured: {analysis.summary()}"
        self.assertIsNotNone(analysis.tone, figures)
        self.assertGreater(analysis.tone.duration_s, 5.0, figures)
        self.assertGreater(analysis.coverage, 0.99, figures)
        self.assertGreater(analysis.periodicity.autocorr_period, 0.99, figures)
        self.assertAlmostEqual(analysis.right.peak, 16383 / 32768, delta=0.01, msg=figures)
        self.assertAlmostEqual(analysis.left.peak, 0.5 * 16383 / 32768, delta=0.01, msg=figures)
        fit = analysis.balance_fit
        self.assertGreater(fit.correlation, 0.85, figures)
        self.assertGreater(fit.offset, 3.0, figures)
        self.assertGreaterEqual(fit.lag_s, 0.0, figures)
        self.assertLessEqual(fit.lag_s, 1.5, figures)


if __name__ == "__main__":
    unittest.main()
