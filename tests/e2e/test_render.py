#!/usr/bin/python3
"""End-to-end tests of orbit-tone-render, the offline renderer: its files repeat byte for
byte, last as long as asked, start ahead and turn clockwise, tell the two HRTF renderings
apart; a bad command line or an interrupted render leaves no file behind.

    tests/e2e/test_render.py --exe build/orbit-tone-render [-v] [unittest names...]

No sound server is needed: the renderer uses the engine's loopback device.
"""

from __future__ import annotations

import math
import operator
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import wave

# Run from the source tree: leave no __pycache__ folders in it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from e2e_support import executable, recording, run_suite  # noqa: E402

SECONDS = "2"                   # past a quarter turn (pi/2 s), short for the sanitizer builds
RATE_HZ = 44100
FILES = ["1-default.wav", "2-no-virtualization.wav", "3-light-hrtf.wav", "4-full-hrtf.wav"]
PAUSE_S = 0.066                 # the animator's pause: the source stays put for this long
RUN_TIMEOUT_S = 120.0
KEMAR_SOFA = "/usr/share/libmysofa/MIT_KEMAR_normal_pinna.sofa"
# Public SOFA sets beside the source tree, read in place where they are there.
SHARED_SOFA = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                            "shared", "data", "sofa"))
PUBLIC_SETS = [("CIPIC_subject_003_hrir_final", "44100"), ("LISTEN_1002_IRC_1002_C_HRIR", "48000")]
HARD_PAN_DB = 40.0              # the far channel of a panned source holds nothing but dither
# Over a turn, the loudness match (12 directions) leaves each rendering within 0.05 dB of
# panning's mean power; measured at 4 directions it would be 0.09-0.15 dB off.
MATCHED_DB = 0.08


def render(*arguments: str) -> subprocess.CompletedProcess:
    return subprocess.run([executable(), *arguments], capture_output=True, timeout=RUN_TIMEOUT_S)


def load(path: str) -> tuple[wave._wave_params, recording.Recording]:
    with wave.open(path, "rb") as w:
        params = w.getparams()
        data = w.readframes(params.nframes)
    return params, recording.Recording.from_bytes(data, params.framerate)


def levels_db(rec: recording.Recording, start_s: float, end_s: float) -> tuple[float, float]:
    """Left and right RMS levels (dBFS) of the span [start_s, end_s)."""
    left, right = recording.levels(rec, int(start_s * rec.rate_hz), int(end_s * rec.rate_hz))
    return left.rms_dbfs, right.rms_dbfs


def at_quarter_turn(rec: recording.Recording) -> tuple[float, float]:
    """The levels while the source stands at the last position before pi/2 rad, 3 degrees
    ahead of the right side."""
    start_s = math.floor(math.pi / 2 / PAUSE_S) * PAUSE_S
    return levels_db(rec, start_s + 0.01, start_s + PAUSE_S)


def mean_power_db(rec: recording.Recording) -> float:
    """Both channels' mean power, in dB of full scale."""
    power = sum(sum(map(operator.mul, rec.channel(c), rec.channel(c))) / len(rec.channel(c)) for c in (0, 1))
    return 10 * math.log10(power / 2 / 32768 ** 2)


def clipped(rec: recording.Recording) -> int:
    """How many samples sit at full scale."""
    return sum(rec.channel(c).count(32767) + rec.channel(c).count(-32768) for c in (0, 1))


def write_loud_ahead_dataset(path: str, rate: int) -> None:
    """A MinPHR02 dataset (stereo, 24-bit, 8 taps, one field at 1.4 m, rings of 1, 16, 16, 16
    and 1 azimuths) whose only loud direction is ahead: an impulse at full scale there, every
    other direction 40 dB down. Matched to panning's loudness over a turn, ahead would clip."""
    rings = [1, 16, 16, 16, 1]
    ahead = rings[0] + rings[1]
    data = bytearray(b"MinPHR02") + struct.pack("<IBBBB", rate, 1, 1, 8, 1) + struct.pack("<HB", 1400, len(rings))
    data += bytes(rings)
    for hrir in range(sum(rings)):
        first = (1 << 23) - 1 if hrir == ahead else ((1 << 23) - 1) // 100
        data += (struct.pack("<i", first)[:3] * 2) + bytes(7 * 2 * 3)
    data += bytes(2 * sum(rings))
    with open(path, "wb") as f:
        f.write(data)


def lufs_of(line: str) -> float:
    """The loudness a report line gives."""
    match = re.search(r"; (-?[0-9.]+) LUFS;", line)
    if not match:
        raise AssertionError(f"no loudness in {line!r}")
    return float(match.group(1))


class RenderTest(unittest.TestCase):
    """All four choices rendered twice into two folders, as a user would run it."""

    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory(prefix="orbit-tone-render-")
        cls.folders = [os.path.join(cls.temp.name, name) for name in ("first", "second")]
        cls.runs = []
        for folder in cls.folders:
            os.mkdir(folder)
            cls.runs.append(render("--seconds", SECONDS, "--output", folder))
        cls.rendered = {name: load(os.path.join(cls.folders[0], name)) for name in FILES
                        if os.path.exists(os.path.join(cls.folders[0], name))}

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    def test_renders_repeat_byte_for_byte_and_last_as_asked(self):
        for folder, run in zip(self.folders, self.runs):
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(run.stderr, b"")
            lines = run.stdout.decode().splitlines()
            self.assertEqual([line.split(": ")[0] for line in lines],
                             [os.path.join(folder, name) for name in FILES], "one line per file")
            self.assertEqual(sorted(os.listdir(folder)), FILES, "no temporary file left")
        self.assertIn("panning", self.runs[0].stdout.decode().splitlines()[0], "Default renders as panning here")
        # Each line's loudness is the file's: at 441 Hz K-weighting is nearly flat, so BS.1770's
        # -0.691 dB plus the two channels' mean power, within a few tenths for the gating.
        for name, line in zip(FILES, self.runs[0].stdout.decode().splitlines()):
            with self.subTest(loudness=name):
                _, rec = self.rendered[name]
                power = sum(sum(x * x for x in rec.channel(c)) / len(rec.channel(c)) for c in (0, 1)) / 32768 ** 2
                self.assertAlmostEqual(lufs_of(line), -0.691 + 10 * math.log10(power), delta=0.3, msg=line)

        frames = math.floor(float(SECONDS) * RATE_HZ)
        for name in FILES:
            with self.subTest(name):
                first, second = (os.path.join(folder, name) for folder in self.folders)
                with open(first, "rb") as a, open(second, "rb") as b:
                    self.assertTrue(a.read() == b.read(), "two renders differ")
                params, rec = self.rendered[name]
                self.assertEqual((params.nchannels, params.sampwidth, params.framerate, params.nframes),
                                 (2, 2, RATE_HZ, frames))
                self.assertEqual(clipped(rec), 0, "samples at full scale")
                self.assertEqual(os.path.getsize(first), 44 + 4 * frames)

        # Another rate, and a length that is not a whole number of pauses.
        with tempfile.TemporaryDirectory(prefix="orbit-tone-render-") as folder:
            run = render("--rate=48000", "--seconds=1.7", "--output", folder, "2")
            self.assertEqual(run.returncode, 0, run.stderr)
            params, _ = load(os.path.join(folder, FILES[1]))
            self.assertEqual((params.framerate, params.nframes), (48000, math.floor(1.7 * 48000)))

    def test_panning_starts_ahead_and_turns_clockwise(self):
        for name in FILES[:2]:
            with self.subTest(name):
                _, rec = self.rendered[name]
                left_db, right_db = levels_db(rec, 0.0, PAUSE_S)
                self.assertGreater(left_db, -20.0)
                self.assertAlmostEqual(left_db, right_db, delta=0.1, msg="ahead at t = 0")
                left_db, right_db = at_quarter_turn(rec)
                self.assertGreater(right_db - left_db, HARD_PAN_DB,
                                   f"at pi/2 s, a hard pan to the right: left {left_db:.1f} dB, "
                                   f"right {right_db:.1f} dB")

    def test_full_and_light_hrtf_differ(self):
        (_, light), (_, full) = self.rendered[FILES[2]], self.rendered[FILES[3]]
        for name in FILES[2:]:
            with self.subTest(name):
                left_db, right_db = at_quarter_turn(self.rendered[name][1])
                self.assertTrue(3.0 < right_db - left_db < 20.0,
                                f"at pi/2 s, HRTF keeps the far ear audible: left {left_db:.1f} dB, "
                                f"right {right_db:.1f} dB")
        for channel in (0, 1):
            a, b = light.channel(channel), full.channel(channel)
            difference = sum((x - y) ** 2 for x, y in zip(a, b))
            energy = sum(x * x for x in b)
            self.assertGreater(difference, 1e-3 * energy,
                               "light and full HRTF render samples less than 30 dB apart")

    def test_bad_command_lines_are_refused_and_write_nothing(self):
        with tempfile.TemporaryDirectory(prefix="orbit-tone-render-") as folder:
            mine = os.path.join(folder, FILES[1])
            with open(mine, "wb") as f:
                f.write(b"mine")
            missing = os.path.join(folder, "missing")
            cases = [
                (["--frobnicate"], 2, "unknown option '--frobnicate' (try --help)"),
                (["-s", "2"], 2, "unknown option '-s' (try --help)"),
                (["--seconds"], 2, "--seconds needs a value (try --help)"),
                (["--force=yes"], 2, "--force takes no value"),
                (["5"], 2, "unknown choice '5': the choices are 1 to 4 (try --help)"),
                (["--rate", "22050"], 2, "--rate takes 44100 or 48000, not '22050'"),
                (["--hrtf", "mine.wav"], 2, "--hrtf takes a .sofa or .mhr file, not 'mine.wav'"),
                (["--hrtf", missing + ".sofa", "4"], 1, f"{missing}.sofa: No such file or directory"),
                (["--output="], 2, "--output needs a folder"),
                (["--seconds", "1e-9"], 2, "--seconds 1e-9 is shorter than one frame at 44100 Hz"),
                (["--output", missing], 1, f"there is no folder {missing}"),
                # Every output is checked before the first is rendered.
                (["1", "2"], 1, f"{mine} exists (--force overwrites it)"),
            ]
            cases += [(["--seconds", value], 2,
                       f"--seconds takes a number of seconds above 0 and up to 600, not '{value}'")
                      for value in ("0", "-1", "601", "nan", "inf", "2s", "")]
            for arguments, status, message in cases:
                with self.subTest(arguments):
                    run = render("--output", folder, *arguments)
                    self.assertEqual((run.returncode, run.stdout, run.stderr.decode()),
                                     (status, b"", f"orbit-tone-render: {message}\n"))
                    self.assertEqual(os.listdir(folder), [FILES[1]])
                    with open(mine, "rb") as f:
                        self.assertEqual(f.read(), b"mine")

            run = render("--help", "--output", folder)
            self.assertEqual(run.returncode, 0)
            self.assertTrue(run.stdout.startswith(b"Usage: orbit-tone-render "), run.stdout)
            run = render("--force", "--seconds", "0.1", "--output", folder, "2")
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(load(mine)[0].nframes, 4410, "--force overwrites")

    def test_own_hrtf_renders_full_hrtf_and_leaves_nothing(self):
        """--hrtf: Full HRTF with a SOFA file (KEMAR, from libmysofa1; the public sets beside the
        tree) or a .mhr file, at each rate, through a folder of its own that is gone afterwards;
        no sample at full scale, even where matching panning's loudness would clip."""
        if not os.path.isfile(KEMAR_SOFA):
            self.skipTest(f"{KEMAR_SOFA} is missing (libmysofa1 installs it)")
        with tempfile.TemporaryDirectory(prefix="orbit-tone-render-") as folder:
            tmp = os.path.join(folder, "tmp")
            os.mkdir(tmp)
            out = os.path.join(folder, "out")
            os.mkdir(out)
            env = dict(os.environ, TMPDIR=tmp)

            def check_full_hrtf(sofa: str, rate: str, dataset: str) -> None:
                run = subprocess.run([executable(), "--seconds", SECONDS, "--rate", rate, "--output", out, "--force",
                                      "--hrtf", sofa, "4"], capture_output=True, timeout=RUN_TIMEOUT_S, env=env)
                self.assertEqual((run.returncode, run.stderr), (0, b""))
                self.assertIn(f": HRTF, dataset {dataset}-{rate}; ", run.stdout.decode())
                rec = load(os.path.join(out, FILES[3]))[1]
                left_db, right_db = at_quarter_turn(rec)
                self.assertTrue(3.0 < right_db - left_db < 20.0, f"left {left_db:.1f} dB, right {right_db:.1f} dB")
                self.assertEqual(clipped(rec), 0, "samples at full scale")

            for rate in ("44100", "48000"):
                with self.subTest(rate=rate):
                    check_full_hrtf(KEMAR_SOFA, rate, "MIT_KEMAR_normal_pinna")
                    self.assertEqual(os.listdir(tmp), [], "the dataset's folder was left behind")
            for name, rate in PUBLIC_SETS:
                with self.subTest(name):
                    sofa = os.path.join(SHARED_SOFA, name + ".sofa")
                    if not os.path.isfile(sofa):
                        self.skipTest(f"{sofa} is absent: the public SOFA sets are not beside this tree")
                    check_full_hrtf(sofa, rate, name)
            # Loud ahead only: the match stops at the headroom and says so; nothing clips, and
            # ahead, where the turn starts, peaks at the headroom (1 dB below full scale).
            loud = os.path.join(folder, "loud-ahead-44100.mhr")
            write_loud_ahead_dataset(loud, 44100)
            run = subprocess.run([executable(), "--seconds", SECONDS, "--output", out, "--force", "--hrtf", loud, "4"],
                                 capture_output=True, timeout=RUN_TIMEOUT_S, env=env)
            self.assertEqual((run.returncode, run.stderr), (0, b""))
            self.assertRegex(run.stdout.decode(), r" LUFS \(the loudness match stopped [0-9]+\.[0-9] dB short, at the headroom "
                                                  r"below full scale\); ")
            rec = load(os.path.join(out, FILES[3]))[1]
            self.assertEqual(clipped(rec), 0, "samples at full scale")
            peak_db = 20 * math.log10(max(abs(x) for c in (0, 1) for x in rec.channel(c)) / 32768)
            self.assertAlmostEqual(peak_db, -1.0, delta=0.2)
            engine_set = "/usr/share/openal/hrtf/default-44100.mhr"
            if os.path.isfile(engine_set):
                run = subprocess.run([executable(), "--seconds", "0.5", "--output", out, "--force", "--hrtf", engine_set, "4"],
                                     capture_output=True, timeout=RUN_TIMEOUT_S, env=env)
                self.assertEqual((run.returncode, run.stderr), (0, b""))
                self.assertIn(": HRTF, dataset default-44100-44100; ", run.stdout.decode())
                self.assertEqual(os.listdir(tmp), [])

    def test_choices_match_in_loudness(self):
        """Each choice's mean power over one whole turn at each rate, against No
        Virtualization's: within what the layer's match over 12 directions gives."""
        with tempfile.TemporaryDirectory(prefix="orbit-tone-render-") as folder:
            for rate in ("44100", "48000"):
                run = render("--seconds", str(2 * math.pi), "--rate", rate, "--output", folder, "--force")
                self.assertEqual(run.returncode, 0, run.stderr)
                reference = mean_power_db(load(os.path.join(folder, FILES[1]))[1])
                for name, line in zip(FILES, run.stdout.decode().splitlines()):
                    power = mean_power_db(load(os.path.join(folder, name))[1])
                    print(f"measured (loudness at {rate} Hz, {name}): {lufs_of(line):.1f} LUFS, mean power "
                          f"{power - reference:+.3f} dB against No Virtualization's", file=sys.stderr)
                    with self.subTest(rate=rate, choice=name):
                        self.assertAlmostEqual(power, reference, delta=MATCHED_DB, msg=line)

    def test_interrupted_render_leaves_no_file(self):
        with tempfile.TemporaryDirectory(prefix="orbit-tone-render-") as folder:
            with subprocess.Popen([executable(), "--seconds", "600", "--output", folder, "4"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) as process:
                try:
                    deadline = time.monotonic() + RUN_TIMEOUT_S
                    while not os.listdir(folder) and process.poll() is None and time.monotonic() < deadline:
                        time.sleep(0.01)
                    self.assertEqual(len(os.listdir(folder)), 1, "the render's file, under way")
                    process.send_signal(signal.SIGTERM)
                    stderr = process.communicate(timeout=RUN_TIMEOUT_S)[1]
                finally:
                    process.kill()  # nothing, once it has ended
            self.assertEqual(process.returncode, -signal.SIGTERM, stderr)
            self.assertEqual(os.listdir(folder), [], "the partial file was removed")


if __name__ == "__main__":
    run_suite(__doc__.splitlines()[0])
