#!/usr/bin/python3
"""End-to-end tests of the built orbit-tone heard through a private PulseAudio
null sink (tools/pulse-sandbox) and measured with tools/recording.py.

    tests/e2e/test_orbit_tone.py --exe build/orbit-tone [-v] [unittest names...]
    tests/e2e/test_orbit_tone.py --exe build-windows-x64/orbit-tone.exe --wine [-v] [...]

Each test class starts one private daemon and stops it by pid at the end. The program is run
as a user would: answers go through a pipe on its standard input. --keep-temp keeps the
daemons' folders (logs) for a look after a failure.

RenderingTest reads what each answer really renders from OpenAL Soft's own log, on several
sinks and user settings, the sinks on PipeWire too (tools/pipewire-sandbox).

With --wine the Windows executable runs through Wine, in a private prefix made for the run
and removed after it. The dialogue is the same, with each line ending in "\r\n" (the C
runtime's text mode); Wine renders every 3D algorithm as panning, so the HRTF-specific
levels are not judged there. With --wine --openal the Windows build on OpenAL Soft
(preset windows-x64-openal) renders each algorithm itself, judged as natively.

    tests/e2e/test_orbit_tone.py --exe build-windows-x64-openal/orbit-tone.exe --wine --openal [...]
"""

from __future__ import annotations

import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass, field

# Run from the source tree: leave no __pycache__ folders in it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from e2e_support import (CLOSING, EXPECTED_STDOUT, EXIT_TIMEOUT_S, INTRODUCTION, MENU,  # noqa: E402
                         NO_DEVICE_MESSAGE, NO_VIRTUALIZATION_NOTICE, UNRECOGNIZED_NOTICE, EngineLog,
                         PipeWireSandbox, ProgramRun, PulseSandbox, SandboxTestCase, console_text,
                         engine_data_dir, executable, no_server_env, program_data_dir, program_path, run_suite,
                         program_clock_offset_s, recording, set_up_module, through_openal, under_wine,
                         user_config_path)

PLAY_S = 5.0                    # how long each mode's tone is heard before Enter
ORBIT_PLAY_S = 15.0             # a little over two turns of the orbit
STILL_WAITING_S = 0.5           # after the closing lines, the program must still wait this long
ENTER_EXIT_BOUND_S = 1.0        # the run ends within about 0.07 s of Enter; allow plenty
PERIOD_FRAMES, PERIODS = 1472, 12   # the program's engine period, and their count


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
        # the residual tell them apart (440 Hz: about -37 dB in every window; the loop far
        # less wherever the source holds still, even under HRTF).
        self.assertLess(p.repeat_residual_low_db, -42.0,
                        f"the sound does not repeat every 100 frames; {figures}")
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


# How each engine (by its version's major.minor) logs the configuration it first resets the
# device with, and the rate it is first configured at: 1.19 "Pre-reset: Stereo, Float32, 44100hz,
# 1472 update size x12" at the sink's rate; 1.24 "Pre-reset: Stereo, Float32, 48000hz, 1472 /
# 17664 buffer" (the period and the whole queue) at its own default rate, before it scales the
# period to the sink's (1352 frames at 44100 Hz).
FIRST_PERIOD_LOGS = {
    "1.19": (re.compile(r"Pre-reset: .*?(\d+)hz, (\d+) update size x(\d+)$", re.M), 44100,
             lambda size, count: (size, count)),
    "1.24": (re.compile(r"Pre-reset: .*?(\d+)hz, (\d+) / (\d+) buffer$", re.M), 48000,
             lambda size, buffer: (size, buffer // size)),
}


class EnginePeriodTest(SandboxTestCase):
    """The engine mixes at the orbit's pace unless the user configured its period: what it
    is first configured with, as its log says (FIRST_PERIOD_LOGS). The count the server
    grants, and so what later resets ask for, is the server's."""

    def first_period(self, env: dict[str, str], home: str) -> tuple[int, int]:
        log = os.path.join(home, "engine.log")
        env.update(HOME=home, ALSOFT_LOGLEVEL="3", ALSOFT_LOGFILE=log)
        run = ProgramRun(env, cwd=home)
        self.addCleanup(run.kill)
        self.answer_menu(run, "4\n")
        self.wait_for_closing_prompt(run)
        status, _ = self.finish(run)
        self.assertEqual(status, 0, run.describe())
        version = EngineLog(log).version
        self.assertIsNotNone(version, f"{log} names no engine version")
        family = ".".join(version.split(".")[:2])
        self.assertIn(family, FIRST_PERIOD_LOGS, f"no expectations for OpenAL Soft {version}")
        pattern, rate_hz, period = FIRST_PERIOD_LOGS[family]
        with open(log, errors="replace") as f:
            found = pattern.search(f.read())
        self.assertIsNotNone(found, f"no configuration in the engine's log {log}")
        self.assertEqual(int(found[1]), rate_hz)
        return period(int(found[2]), int(found[3]))

    def test_period_reaches_engine_and_user_settings_win(self):
        if under_wine():
            self.skipTest("the Windows executable plays through Wine's own sound stack, or through the "
                          "Windows engine (1.24), whose log this test does not read")
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


# What each answer renders, per set-up, on each sound server and engine (by its version's
# major.minor, and " on Windows" for the Windows build on OpenAL Soft under Wine): the dataset the
# engine loaded, or None for no HRTF (plain panning), and whether the program prints the
# no-virtualization notice. Our light sets are made per rate from 1.19's default-<rate>, and
# once, at 48000 Hz, from 1.24's single "Default HRTF", which 1.24 resamples to any rate. The
# Windows engine has that dataset built in ("Built-In HRTF") and no data folder of its own.
# 1.19 plays through PulseAudio, on PipeWire through pipewire-pulse; 1.24 through PipeWire's own
# protocol where a PipeWire session runs; the Windows build through Wine's WASAPI, on PulseAudio.
WINDOWS_1_24 = "1.24 on Windows"


def on_every_engine(dataset: str | None) -> dict[str, str | None]:
    return {"1.19": dataset, "1.24": dataset, WINDOWS_1_24: dataset}


PANNING = on_every_engine(None)
BUILT_IN = "Built-In HRTF"
LIGHT = {"1.19": "orbit-tone-light-44100", "1.24": "orbit-tone-light-48000",
         WINDOWS_1_24: "orbit-tone-light-48000"}
FULL = {"1.19": "default-44100", "1.24": "Default HRTF", WINDOWS_1_24: BUILT_IN}
LIGHT_48000 = on_every_engine("orbit-tone-light-48000")
FULL_48000 = {"1.19": "default-48000", "1.24": "Default HRTF", WINDOWS_1_24: BUILT_IN}
MINE = on_every_engine("mine-44100")
# The user's dataset: a copy of the engine's own, in a folder of its own.
MINE_FOLDER = "my-hrtf"
# The servers, as the sandbox that runs each.
SERVERS = {"PulseAudio": PulseSandbox, "PipeWire": PipeWireSandbox}

# answer: (dataset per engine, notice, or notice per engine)
Cells = dict[str, tuple[dict[str, str | None], bool | dict[str, bool]]]


@dataclass(frozen=True)
class RenderingSetup:
    sink_rate_hz: int | None = None     # None: the server's own (PulseAudio 44100, PipeWire 48000)
    sink_channels: int = 2
    user_config: str = ""   # ~/.alsoftrc; {mine} stands for the user's dataset folder
    cells: Cells = field(default_factory=dict)
    # The answers whose cells differ on PipeWire.
    pipewire_cells: Cells = field(default_factory=dict)
    servers: tuple[str, ...] = tuple(SERVERS)
    # Before the runs, the user imports KEMAR (orbit-tone-hrtf import ... --default).
    imports_kemar: bool = False


RENDERING_SETUPS = {
    # At the server's own rate: PipeWire's graph runs at 48000 Hz, where 1.19 loads the
    # datasets made for it.
    "stereo": RenderingSetup(cells={
        "1": (PANNING, False), "2": (PANNING, False), "3": (LIGHT, False), "4": (FULL, False)},
        pipewire_cells={"3": (LIGHT_48000, False), "4": (FULL_48000, False)}),
    # HRTF is binaural: on a mono sink 3 and 4 fall back, and the stream stays mono.
    "mono": RenderingSetup(sink_channels=1, cells={"3": (PANNING, True), "4": (PANNING, True)}),
    # 1.19 has no dataset for 96 kHz: the engine runs at the nearest rate that has one.
    "stereo_96000": RenderingSetup(sink_rate_hz=96000, cells={
        "3": (LIGHT_48000, False), "4": (FULL_48000, False)}),
    # The user's settings are the engine's own business, read and applied the same whatever
    # it plays through; what a server changes (the rate, the layout) the set-ups above cover
    # on both. So these run on PulseAudio alone.
    # The user's `hrtf` setting: 1.19 holds the program to it. For 1.24 it is a deprecated
    # default that a program's explicit request (HRTF on for 3 and 4, off for 2) overrides,
    # and the engine reports no "denied" or "required" status that would tell the program.
    "user_forces_own_dataset": RenderingSetup(
        sink_rate_hz=44100, user_config="hrtf = true\ndefault-hrtf = mine-44100\nhrtf-paths = {mine},\n",
        servers=("PulseAudio",), cells={
            "1": (MINE, False), "2": ({"1.19": "mine-44100", "1.24": None, WINDOWS_1_24: None}, False),
            "3": (LIGHT, False), "4": (MINE, False)}),
    "user_turns_hrtf_off": RenderingSetup(sink_rate_hz=44100, user_config="hrtf = false\n",
                                          servers=("PulseAudio",), cells={
        "3": ({"1.19": None, "1.24": LIGHT["1.24"], WINDOWS_1_24: LIGHT[WINDOWS_1_24]},
              {"1.19": True, "1.24": False, WINDOWS_1_24: False}),
        "4": ({"1.19": None, "1.24": FULL["1.24"], WINDOWS_1_24: FULL[WINDOWS_1_24]},
              {"1.19": True, "1.24": False, WINDOWS_1_24: False})}),
    # The user's own HRTF, imported from a SOFA file with default-hrtf = kemar-48000 written for
    # them: Full HRTF loads it from their dataset folder at the output's rate (1.19 the file
    # for that rate; 1.24 the one named, resampled), and nothing else changes.
    "user_imports_own_hrtf": RenderingSetup(imports_kemar=True, cells={
        "2": (PANNING, False), "3": (LIGHT, False), "4": ({"1.19": "kemar-44100", "1.24": "kemar-48000"}, False)},
        pipewire_cells={"3": (LIGHT_48000, False), "4": ({"1.19": "kemar-48000", "1.24": "kemar-48000"}, False)}),
}
KEMAR_SOFA = "/usr/share/libmysofa/MIT_KEMAR_normal_pinna.sofa"


class RenderingTest(unittest.TestCase):
    """What each answer renders on each set-up, on each sound server (a private one per set-up
    and server): the notice, and the dataset OpenAL Soft's own log says it rendered with,
    loaded from the right folder."""

    def setUp(self):
        if not through_openal():
            self.skipTest("Wine renders every algorithm as panning and writes no OpenAL Soft log")

    def check_setup(self, setup_name: str) -> None:
        setup = RENDERING_SETUPS[setup_name]
        # Wine's own audio stack is what speaks to the server there: PulseAudio serves.
        for server in ("PulseAudio",) if under_wine() else setup.servers:
            with self.subTest(server=server):
                if not SERVERS[server].installed():
                    self.skipTest(f"{server} is not installed (tools/setup-debian --test installs it)")
                started = time.monotonic()
                self.check_server(setup_name, server)
                print(f"measured ({setup_name} on {server}): {time.monotonic() - started:.2f} s",
                      file=sys.stderr)

    def check_server(self, setup_name: str, server: str) -> None:
        setup = RENDERING_SETUPS[setup_name]
        sandbox = SERVERS[server](setup.sink_rate_hz, setup.sink_channels)
        self.addCleanup(sandbox.stop)
        sandbox.start()
        home = os.path.join(sandbox.dir, "home")
        mine = os.path.join(sandbox.dir, MINE_FOLDER)
        if setup.user_config:
            os.makedirs(mine)
            shutil.copyfile(self.engine_dataset(), os.path.join(mine, "mine-44100.mhr"))
            config = user_config_path(home)
            with open(config, "w") as f:
                f.write(setup.user_config.format(mine=program_path(mine)))
            self.addCleanup(os.remove, config)
        if setup.imports_kemar:
            importer = os.path.join(os.path.dirname(executable()), "orbit-tone-hrtf")
            if under_wine() or not os.path.isfile(importer) or not os.path.isfile(KEMAR_SOFA):
                self.skipTest(f"no {importer} (built where libmysofa is found) or no {KEMAR_SOFA}")
            run = subprocess.run([importer, "import", KEMAR_SOFA, "--name", "kemar", "--default"],
                                 capture_output=True, env=sandbox.client_env(), timeout=120)
            self.assertEqual((run.returncode, run.stderr), (0, b""))
        # Where each dataset must come from: ours in the program's data folder, the user's, the engine's.
        folders = {"orbit-tone-light-": os.path.join(program_data_dir(), "openal", "hrtf"), "mine-": mine,
                   "kemar-": os.path.join(home, ".local", "share", "openal", "hrtf")}
        cells = dict(setup.cells)
        if server == "PipeWire":
            cells.update(setup.pipewire_cells)
        for answer, (datasets, notice) in cells.items():
            with self.subTest(answer=answer):
                log_path = os.path.join(sandbox.dir, f"engine-{answer}.log")
                env = sandbox.client_env()
                env.update({"ALSOFT_LOGLEVEL": "3", "ALSOFT_LOGFILE": program_path(log_path)})
                run = ProgramRun(env, cwd=home)
                self.addCleanup(run.kill)
                self.assertTrue(run.wait_for_stdout_ending(console_text(MENU)), f"no menu: {run.describe()}")
                run.write(answer + "\n")
                self.assertTrue(run.wait_for_stdout_ending(console_text(CLOSING)),
                                f"no closing lines: {run.describe()}")
                time.sleep(0.5)
                formats = sandbox.sink_input_formats()
                graph_rate_hz = sandbox.graph_rate_hz() if server == "PipeWire" else None
                run.write("\n")
                run.close_stdin()
                status = run.wait()
                self.assertEqual(status, 0, run.describe())
                self.assertEqual(run.stderr, b"")
                self.assertEqual(sandbox.wait_for_no_sink_input(), [], "the program left a stream behind")
                log = EngineLog(log_path)
                print(f"rendered (OpenAL Soft {log.version} via {log.playback_backend}, {setup_name} on "
                      f"{server}, answer {answer}): {log.dataset or 'no HRTF'} "
                      f"{log.file_of(log.dataset) if log.dataset else ''}, notice "
                      f"{console_text(NO_VIRTUALIZATION_NOTICE) in run.stdout}, stream {formats}"
                      f"{f', graph {graph_rate_hz} Hz' if graph_rate_hz else ''}", file=sys.stderr)
                self.assertIsNotNone(log.version, f"{log_path} names no engine version")
                family = ".".join(log.version.split(".")[:2]) + (" on Windows" if under_wine() else "")
                self.assertIn(family, datasets, f"no expectations for OpenAL Soft {log.version}")
                if server == "PipeWire":
                    # An engine that speaks PipeWire's own protocol plays through it there.
                    native = "pipewire" if "pipewire" in log.backends else "pulse"
                    self.assertEqual(log.playback_backend, native, "the engine played through another backend")
                    self.assertEqual(graph_rate_hz, setup.sink_rate_hz or 48000,
                                     "the graph does not run at the sink's rate")

                if isinstance(notice, dict):
                    notice = notice[family]
                notice_text = NO_VIRTUALIZATION_NOTICE if notice else b""
                self.assertEqual(run.stdout, console_text(INTRODUCTION + MENU + notice_text + CLOSING),
                                 "with the notice" if notice else "without the notice")
                if setup.sink_channels == 1:
                    self.assertTrue(formats and all(" 1ch " in f for f in formats),
                                    f"the stream on the mono sink is not mono: {formats}")
                    # The layer found its own stream on the server and learned it is mono: it
                    # never asks the engine for HRTF there.
                    self.assertFalse(log.hrtf_requested, "HRTF was asked for on a mono output")
                self.assertEqual(log.dataset, datasets[family], f"last renderer line: {log.renderer_line!r}")
                if log.dataset == BUILT_IN:
                    self.assertIsNone(log.file_of(log.dataset), f"{log.dataset} came from a file")
                elif log.dataset is not None:
                    folder = next((f for prefix, f in folders.items() if log.dataset.startswith(prefix)),
                                  os.path.join(engine_data_dir(), "openal", "hrtf"))
                    loaded_from = os.path.dirname(log.file_of(log.dataset) or "")
                    self.assertEqual(os.path.realpath(loaded_from), os.path.realpath(folder),
                                     f"{log.dataset} came from elsewhere: {log.loaded_files}")

    def engine_dataset(self) -> str:
        """The engine's own dataset for 44100 Hz, or its single one. The Windows engine has
        its own built in: our light one, beside the executable, serves as the user's."""
        if under_wine():
            return os.path.join(program_data_dir(), "openal", "hrtf", LIGHT[WINDOWS_1_24] + ".mhr")
        folder = os.path.join(engine_data_dir(), "openal", "hrtf")
        for name in ("default-44100.mhr", "Default HRTF.mhr"):
            if os.path.isfile(os.path.join(folder, name)):
                return os.path.join(folder, name)
        self.fail(f"{folder} holds no dataset of the engine's")

    def test_stereo(self):
        self.check_setup("stereo")

    def test_user_imports_own_hrtf(self):
        self.check_setup("user_imports_own_hrtf")

    def test_mono(self):
        self.check_setup("mono")

    def test_stereo_96000(self):
        self.check_setup("stereo_96000")

    def test_user_forces_own_dataset(self):
        self.check_setup("user_forces_own_dataset")

    def test_user_turns_hrtf_off(self):
        self.check_setup("user_turns_hrtf_off")


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
        turn_db = {}
        # Wine's own DirectSound renders 3 as it renders 4, as panning: 3 is heard through ours.
        answers = ("2", "3", "4") if through_openal() else ("2", "4")
        for answer in answers:
            with self.subTest(answer=answer):
                turn_db[answer] = self.check_orbit(answer)
        # Through our layer every rendering is as loud as panning over a whole turn.
        for answer in ("3", "4"):
            if through_openal() and turn_db.get(answer) is not None and turn_db.get("2") is not None:
                with self.subTest(answer=answer, compared_with="2"):
                    self.assertAlmostEqual(turn_db[answer], turn_db["2"], delta=0.5,
                                           msg=f"mean power of both ears over whole turns, dBFS: {turn_db}")

    def check_orbit(self, answer: str) -> float | None:
        """Checks the orbit heard for an answer; returns the mean power of both ears over the
        whole turns heard, in dBFS."""
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
        turn_frames = round(2.0 * math.pi * analysis.tone.rate_hz)
        turns = analysis.tone.duration_s // (2.0 * math.pi)
        # What the output dropped (Wine's, starved on a loaded machine) is left out of the level.
        turn_db = recording.dbfs(math.sqrt(recording.heard_power(
            rec, analysis.tone.start_frame, analysis.tone.start_frame + int(turns) * turn_frames)))
        print(f"measured (orbit, answer {answer}): {turns:.0f} turns at {turn_db:.2f} dBFS", file=sys.stderr)
        extreme_db = max(abs(b.balance_db) for b in analysis.balance)
        if not through_openal():
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
        return turn_db


if __name__ == "__main__":
    run_suite(__doc__.splitlines()[0], wine_option=True)
