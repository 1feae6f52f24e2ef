"""Shared pieces of the end-to-end tests: a private PulseAudio daemon per test class
(tools/pulse-sandbox), the executable run as a user would through pipes, and the program's
expected console texts.

Natively the program runs against the system's OpenAL Soft, whose log says what it rendered
(EngineLog below).

The Windows executable runs the same way through Wine (configure(..., wine=True)), in a
private prefix created once per run by a host process of its own (`wine-host` below): the
host owns the prefix's server and services, and stops them and removes the prefix when its
standard input closes, so that nothing is left behind even if the tests are killed. The Windows
executable of the build on OpenAL Soft (preset windows-x64-openal; configure(..., openal=True))
plays through our layer and the engine beside it, whose log says what it rendered, as natively.

    e2e_support.py wine-host DIR [--keep]
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import pwd
import re
import select
import shlex
import shutil
import signal
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
PIPEWIRE_SANDBOX_TOOL = os.path.join(ROOT, "tools", "pipewire-sandbox")
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

# Wine: the prefix's audio driver is pinned to PulseAudio, so that without a reachable server
# the device cannot be created (rather than falling back to ALSA and a real sound card), and
# the Mono and Gecko add-ons are kept out (the prefix would otherwise try to install them).
WINE_AUDIO_DRIVER = "pulse"
WINE_DLL_OVERRIDES = "mscoree,mshtml="
WINE_STEP_TIMEOUT_S = 180.0     # each step of the prefix's creation; it takes seconds
WINE_STOP_TIMEOUT_S = 30.0
# Debian's Wine keeps a prefix's server socket in a folder of that prefix's own, "wine-XXXXXX" in
# the temporary folder (/tmp: Wine is given no TMPDIR), which the file PREFIX/wineserver names and
# which outlives the server. The host removes it once the prefix has stopped.
WINE_TEMP_DIR = "/tmp"
WINE_SOCKET_FOLDER_NAME = re.compile(r"wine-[A-Za-z0-9]+")

_settings = {"exe": os.environ.get("ORBIT_TONE_EXE"), "keep": False, "wine": False, "openal": False}
_wine_prefix: "WinePrefix | None" = None


def configure(exe: str | None, keep_temp: bool, wine: bool = False, openal: bool = False) -> None:
    if exe:
        _settings["exe"] = os.path.abspath(exe)
    _settings["keep"] = keep_temp
    _settings["wine"] = wine
    _settings["openal"] = wine and openal


def run_suite(description: str, wine_option: bool = False) -> None:
    """A test script's main: --exe, --keep-temp (and --wine where the suite supports it),
    then unittest's own arguments."""
    parser = argparse.ArgumentParser(description=description, add_help=False)
    parser.add_argument("--exe", help="the orbit-tone executable (or ORBIT_TONE_EXE)")
    parser.add_argument("--keep-temp", action="store_true", help="keep the daemons' folders")
    if wine_option:
        parser.add_argument("--wine", action="store_true",
                            help="the executable is the Windows one: run it through Wine")
        parser.add_argument("--openal", action="store_true",
                            help="with --wine: the executable plays through our layer on OpenAL Soft "
                                 "(preset windows-x64-openal), not through Wine's DirectSound")
    args, rest = parser.parse_known_args()
    if getattr(args, "openal", False) and not args.wine:
        sys.exit("--openal is for the Windows executable: give --wine too")
    configure(args.exe, args.keep_temp, wine=getattr(args, "wine", False), openal=getattr(args, "openal", False))
    try:
        executable()
    except RuntimeError as error:
        sys.exit(str(error))
    unittest.main(argv=[sys.argv[0]] + rest)


def under_wine() -> bool:
    """The executable is the Windows one, run through Wine."""
    return bool(_settings["wine"])


def through_openal() -> bool:
    """The program plays through our layer on OpenAL Soft: natively, or the Windows build on it."""
    return not under_wine() or bool(_settings["openal"])


def program_path(path: str) -> str:
    """A path of this machine as the program names it: under Wine, on drive Z:."""
    return "Z:" + path.replace("/", "\\") if under_wine() else path


def host_path(path: str) -> str:
    """A path the program names (under Wine, on drive Z:) as this machine names it."""
    if re.match(r"^[Zz]:\\", path):
        return path[2:].replace("\\", "/")
    return path


def user_config_path(home: str) -> str:
    """Where a user's own OpenAL Soft settings go: ~/.alsoftrc in home, or under Wine alsoft.ini
    in the prefix's roaming application data folder, which every run in the prefix reads."""
    if not under_wine():
        return os.path.join(home, ".alsoftrc")
    if _wine_prefix is None:
        raise RuntimeError("the Wine prefix is not set up: call set_up_module() from setUpModule()")
    user = pwd.getpwuid(os.getuid()).pw_name
    return os.path.join(_wine_prefix.dir, "prefix", "drive_c", "users", user, "AppData", "Roaming",
                        "alsoft.ini")


def executable() -> str:
    exe = _settings["exe"]
    usable = exe and (os.path.isfile(exe) if under_wine() else os.access(exe, os.X_OK))
    if not usable:
        raise RuntimeError(f"Couldn't find the orbit-tone executable: {exe!r} (pass --exe PATH)")
    return exe


def console_text(text: bytes) -> bytes:
    """A console text as the program writes it to a pipe: the Windows C runtime writes its
    standard streams in text mode, each "\\n" as "\\r\\n"."""
    return text.replace(b"\n", b"\r\n") if under_wine() else text


def program_clock_offset_s() -> float:
    """What to add to a time.monotonic() stamp to get the program's performance-counter time.
    Natively nothing: the Linux layer counts CLOCK_MONOTONIC. Wine's QueryPerformanceCounter
    counts CLOCK_MONOTONIC_RAW, which drifts from CLOCK_MONOTONIC as the system clock is
    slewed (by 0.27 s within the first hour of uptime on a test VM)."""
    if not under_wine():
        return 0.0
    before = time.clock_gettime(time.CLOCK_MONOTONIC)
    raw = time.clock_gettime(time.CLOCK_MONOTONIC_RAW)
    after = time.clock_gettime(time.CLOCK_MONOTONIC)
    return raw - (before + after) / 2.0


def set_up_module() -> None:
    """Run-wide set-up (a test module's setUpModule): under Wine, the private prefix, removed
    by a module cleanup."""
    global _wine_prefix
    if not under_wine() or _wine_prefix is not None:
        return
    prefix = WinePrefix()
    unittest.addModuleCleanup(_remove_wine_prefix)
    _wine_prefix = prefix
    prefix.start()


def _remove_wine_prefix() -> None:
    global _wine_prefix
    prefix, _wine_prefix = _wine_prefix, None
    if prefix is not None:
        prefix.stop()


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
           if not k.startswith(("PULSE_", "PIPEWIRE_", "ALSOFT_", "XDG_"))
           and k not in ("HOME", "DBUS_SESSION_BUS_ADDRESS")}
    return env


# The process that holds a socket-activated server's listening sockets (tools/socket-holder):
# its pid file lies beside the daemons', and it is no daemon of the server's.
SOCKET_HOLDER = "socket-holder"


class ServerSandbox:
    """A private sound server with a null sink (SINK_NAME) as its default, started and stopped
    by pid through a tool of tools/ ("TOOL start DIR [--rate HZ] [--channels N]
    [--socket-activation hold|restart]", which prints the exports that put a client in it, and
    "TOOL stop DIR"). rate_hz None: the server's own rate. socket_activation: the server gets
    its listening sockets from a holder of ours, as from systemd's socket units, so that they
    still accept once the server is killed; "hold" leaves it down, "restart" starts it again on
    the next connection."""

    TOOL = ""
    NAME = ""                   # the server's name, for messages
    EXPORTS: tuple[str, ...] = ()   # what start must print

    def __init__(self, rate_hz: int | None = None, channels: int = 2,
                 socket_activation: str | None = None) -> None:
        if socket_activation not in (None, "hold", "restart"):
            raise ValueError(f"socket_activation is None, 'hold' or 'restart', not {socket_activation!r}")
        self.dir = _temp_dir("orbit-tone-e2e-")
        self.exports: dict[str, str] = {}
        self.sink_options = ["--channels", str(channels)]
        if rate_hz is not None:
            self.sink_options += ["--rate", str(rate_hz)]
        self.socket_activation = socket_activation
        if socket_activation:
            self.sink_options += ["--socket-activation", socket_activation]
        self.daemons: dict[str, int] = {}   # the server's processes by name, as recorded at start
        self.holder: int | None = None      # the socket holder's pid, with socket activation

    @staticmethod
    def installed() -> bool:
        """The server's programs are installed (PulseAudio's are always required)."""
        return True

    def start(self) -> None:
        _become_subreaper()
        done = subprocess.run([self.TOOL, "start", self.dir, *self.sink_options], capture_output=True,
                              text=True, timeout=30)
        if done.returncode != 0:
            raise RuntimeError(f"Couldn't start the private {self.NAME} in {self.dir}: {done.stderr.strip()}")
        for line in done.stdout.splitlines():
            words = shlex.split(line)
            if len(words) == 2 and words[0] == "export" and "=" in words[1]:
                name, value = words[1].split("=", 1)
                self.exports[name] = value
        for name in self.EXPORTS:
            if name not in self.exports:
                raise RuntimeError(f"{os.path.basename(self.TOOL)} start printed no {name}: {done.stdout!r}")
        self.daemons = self._recorded_pids()
        self.holder = self.daemons.pop(SOCKET_HOLDER, None)

    def _recorded_pids(self) -> dict[str, int]:
        """The pid files in the folder now, by name (a socket holder rewrites a daemon's when it
        starts it again)."""
        pids = {}
        for pid_file in sorted(os.listdir(self.dir)):
            if pid_file.endswith(".pid"):
                try:
                    with open(os.path.join(self.dir, pid_file)) as f:
                        pids[pid_file[:-len(".pid")]] = int(f.read().strip())
                except (OSError, ValueError):
                    pass        # removed or being rewritten meanwhile
        return pids

    def stop(self) -> None:
        """Stops the server, frozen or killed ones too, and removes its folder (unless kept)."""
        try:
            # A holder may have started daemons of its own since: they are reaped here too.
            started_later = [pid for name, pid in self._recorded_pids().items() if name != SOCKET_HOLDER]
            done = subprocess.run([self.TOOL, "stop", self.dir], capture_output=True, text=True,
                                  timeout=30)
            if done.returncode != 0:
                raise RuntimeError(f"Couldn't stop the private {self.NAME} (pids {self.daemons}): "
                                   f"{done.stderr.strip()}")
            self._reap(started_later)
        finally:
            if not _settings["keep"]:
                shutil.rmtree(self.dir, ignore_errors=True)

    def _reap(self, started_later: list[int]) -> None:
        deadline = time.monotonic() + 5.0
        pids = set(self.daemons.values()) | set(started_later) | ({self.holder} if self.holder else set())
        for pid in sorted(pids):
            while time.monotonic() < deadline:
                try:
                    reaped, _ = os.waitpid(pid, os.WNOHANG)
                except ChildProcessError:
                    break       # reaped already, or not our child: its own parent reaps it
                if reaped == pid:
                    break
                time.sleep(0.02)

    def daemon_pids(self) -> list[int]:
        """The pids of the server's processes that still run (frozen ones included): what a
        test signals to kill or freeze the whole server. With socket activation, those the
        holder has started since count too, and the holder itself never does."""
        pids = set(self.daemons.values())
        if self.socket_activation:
            pids |= {pid for name, pid in self._recorded_pids().items() if name != SOCKET_HOLDER}
        return [pid for pid in sorted(pids) if self._is_ours(pid)]

    def _is_ours(self, pid: int) -> bool:
        """pid is a live (not a zombie) process of this server, not a reused pid."""
        raise NotImplementedError

    def client_env(self) -> dict[str, str]:
        """The environment of a client pinned to this server, with a private HOME."""
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
        return self.sink_input_property("application.process.binary")

    def sink_input_property(self, name: str) -> list[str]:
        """The property name of each sink input that has it (the streams playing now). A
        stream that names no process of its own (PipeWire shows those of its own clients so,
        OpenAL Soft 1.24's among them) has its client's properties."""
        clients = {index: properties for index, _, properties in self._listing("clients")}
        values = []
        for _, fields, properties in self._listing("sink-inputs"):
            if name not in properties and "application.process.id" not in properties:
                properties = clients.get(fields.get("Client", ""), {})
            if name in properties:
                values.append(properties[name])
        return values

    def _listing(self, kind: str) -> list[tuple[str, dict[str, str], dict[str, str]]]:
        """pactl's long list of kind ("sink-inputs", "clients"): each entry's index, fields
        ("Client": "57") and properties."""
        entries: list[tuple[str, dict[str, str], dict[str, str]]] = []
        for line in self.pactl("list", kind).splitlines():
            if line and not line[0].isspace() and "#" in line:
                entries.append((line.rsplit("#", 1)[1].strip(), {}, {}))
            elif entries and line.startswith("\t\t") and " = " in line:
                key, value = line.strip().split(" = ", 1)
                entries[-1][2][key] = value.strip('"')
            elif entries and line.startswith("\t") and ": " in line:
                key, value = line.strip().split(": ", 1)
                entries[-1][1][key] = value
        return entries

    def sink_input_formats(self) -> list[str]:
        """The sample format of each sink input ("float32le 1ch 44100Hz"), the last column of
        pactl's short list."""
        return [line.split("\t")[-1] for line in self.sink_inputs()]

    def wait_for_no_sink_input(self, timeout_s: float = 3.0) -> list[str]:
        """Polls until the server holds no stream; returns what is left after timeout_s."""
        deadline = time.monotonic() + timeout_s
        left = self.sink_inputs()
        while left and time.monotonic() < deadline:
            time.sleep(0.05)
            left = self.sink_inputs()
        return left

    def recorder(self) -> recording.MonitorRecorder:
        return recording.MonitorRecorder(MONITOR, self.client_env())


def _process_state(pid: int) -> str | None:
    """The state letter of a process (None: there is none)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return None


class PulseSandbox(ServerSandbox):
    """A private PulseAudio daemon with a null sink (44100 Hz stereo unless told otherwise),
    started and stopped by pid through tools/pulse-sandbox."""

    TOOL = SANDBOX_TOOL
    NAME = "PulseAudio daemon"
    EXPORTS = ("PULSE_SERVER", "PULSE_CLIENTCONFIG", "XDG_RUNTIME_DIR")

    def _is_ours(self, pid: int) -> bool:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmdline = f.read()
        except OSError:
            return False
        return _process_state(pid) not in (None, "Z", "X") and b"pulseaudio" in cmdline


class PipeWireSandbox(ServerSandbox):
    """A private PipeWire session as Debian's desktops run it (a D-Bus session bus, pipewire,
    wireplumber, pipewire-pulse) with a null sink as the default, its graph at PipeWire's own
    48000 Hz unless told otherwise; started and stopped by pid through tools/pipewire-sandbox.
    Clients find it through XDG_RUNTIME_DIR alone, as on a desktop: OpenAL Soft 1.19 through
    pipewire-pulse, 1.24 through its own PipeWire backend."""

    TOOL = PIPEWIRE_SANDBOX_TOOL
    NAME = "PipeWire session"
    EXPORTS = ("XDG_RUNTIME_DIR", "PULSE_CLIENTCONFIG", "DBUS_SESSION_BUS_ADDRESS")

    @staticmethod
    def installed() -> bool:
        programs = ("pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon", "pw-dump")
        return all(shutil.which(name) for name in programs)

    def _is_ours(self, pid: int) -> bool:
        # Every process of the session carries its folder in its environment.
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                ours = f"ORBIT_TONE_SANDBOX={os.path.realpath(self.dir)}".encode() in f.read().split(b"\0")
        except OSError:
            return False
        return ours and _process_state(pid) not in (None, "Z", "X")

    def graph_rate_hz(self) -> int | None:
        """The rate the sink runs at now (None while it is suspended), from PipeWire's own
        view of it."""
        done = subprocess.run(["pw-dump"], capture_output=True, text=True, env=self.client_env(), timeout=10)
        if done.returncode != 0:
            raise AssertionError(f"pw-dump failed: {done.stderr.strip()}")
        for item in json.loads(done.stdout):
            info = item.get("info") or {}
            if (info.get("props") or {}).get("node.name") == SINK_NAME and info.get("state") == "running":
                formats = (info.get("params") or {}).get("Format") or [{}]
                return formats[0].get("rate")
        return None


# OpenAL Soft's log, with ALSOFT_LOGLEVEL=3 and ALSOFT_LOGFILE: 1.19 starts its lines with
# "AL lib: (II) function: ", 1.24 with "[ALSOFT] (II) ".
_ENGINE_VERSION = re.compile(r"Initializing library v(\d+\.\d+\.\d+)")
# Each reset of the device ends its choice of renderer with one of these lines: HRTF with a
# dataset, or else (1.19) "aluInitRenderer: HRTF disabled", "... Front stablizer disabled" and
# the like, (1.24) "Stereo rendering", "Using built-in Mono decoder", "UHJ enabled", ...
_RENDERER = re.compile(r'aluInitRenderer: |HRTF rendering enabled, using "|Stereo rendering$|'
                       r"Using built-in \S+ decoder$|Using \S+ decoder: |UHJ enabled|BS2B enabled")
_HRTF_IN_USE = re.compile(r'HRTF rendering enabled, using "(.*)"$')
_LOADING = re.compile(r"Loading (.*\.mhr)\.\.\.$")
# The device attributes of each reset, one a line: "ALC_HRTF_SOFT = 1" asks for HRTF.
_HRTF_REQUEST = re.compile(r"ALC_HRTF_SOFT = 1$")
_BACKENDS = re.compile(r"Supported backends: (.*)$")
_PLAYBACK_BACKEND = re.compile(r'Added "(.*)" for playback$')


class EngineLog:
    """What OpenAL Soft's log file says: the engine's version, the HRTF dataset its last reset
    renders with (None: no HRTF), the dataset files it loaded, whether HRTF was ever asked for,
    and the backends it has and plays through."""

    def __init__(self, path: str) -> None:
        with open(path, errors="replace") as f:
            lines = f.read().splitlines()
        self.version: str | None = None
        self.renderer_line: str | None = None
        self.dataset: str | None = None
        self.loaded_files: list[str] = []
        self.hrtf_requested = False
        self.backends: list[str] = []
        self.playback_backend: str | None = None
        for line in lines:
            version = _ENGINE_VERSION.search(line)
            if version and self.version is None:
                self.version = version.group(1)
            self.hrtf_requested = self.hrtf_requested or bool(_HRTF_REQUEST.search(line))
            backends = _BACKENDS.search(line)
            if backends:
                self.backends = backends.group(1).split(", ")
            backend = _PLAYBACK_BACKEND.search(line)
            if backend and self.playback_backend is None:
                self.playback_backend = backend.group(1)
            loading = _LOADING.search(line)
            if loading:
                self.loaded_files.append(host_path(loading.group(1)))
            if _RENDERER.search(line):
                self.renderer_line = line
                hrtf = _HRTF_IN_USE.search(line)
                self.dataset = hrtf.group(1) if hrtf else None

    def file_of(self, dataset: str) -> str | None:
        """The file the engine loaded the named dataset from (a file's dataset is named after
        it, less .mhr); None for a built-in one."""
        for path in reversed(self.loaded_files):
            if os.path.basename(path)[:-len(".mhr")] == dataset:
                return path
        return None


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


def _wine_env(env: dict[str, str], work_dir: str) -> dict[str, str]:
    """env for a Wine process in the prefix work_dir/prefix: quiet, with no display (nothing
    pops up on a desktop) and none of the caller's own Wine settings. No TMPDIR either: Debian
    13's Wine 10 aborts at start whenever it is set, to any value ("free(): invalid pointer")."""
    env = {k: v for k, v in env.items()
           if not k.startswith("WINE") and k not in ("DISPLAY", "WAYLAND_DISPLAY", "TMPDIR")}
    env.update({"WINEPREFIX": os.path.join(work_dir, "prefix"), "WINEDEBUG": "-all",
                "WINEDLLOVERRIDES": WINE_DLL_OVERRIDES})
    return env


def _wine_socket_folder(prefix: str) -> str | None:
    """The folder in which the prefix's server keeps its socket (WINE_TEMP_DIR), as the prefix
    names it; None while it names none."""
    try:
        with open(os.path.join(prefix, "wineserver"), errors="replace") as f:
            name = f.read().strip()
    except FileNotFoundError:
        return None
    if not WINE_SOCKET_FOLDER_NAME.fullmatch(name):
        raise RuntimeError(f"{prefix}/wineserver names {name!r}, not a socket folder of Wine's")
    return os.path.join(WINE_TEMP_DIR, name)


class WinePrefix:
    """The run's private Wine prefix, in a temporary folder: created, kept up and removed by a
    host process (`e2e_support.py wine-host`) that holds it until its standard input closes."""

    def __init__(self) -> None:
        self.dir = _temp_dir("orbit-tone-wine-")
        self.host: subprocess.Popen | None = None

    def start(self) -> None:
        command = [sys.executable, "-B", os.path.abspath(__file__), "wine-host", self.dir]
        if _settings["keep"]:
            command.append("--keep")
        # A session of its own: a Ctrl-C meant for the tests does not cut the host's clean-up
        # short; the host notices the end of the tests by its input closing.
        try:
            self.host = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         start_new_session=True)
        except OSError:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise
        line = self.host.stdout.readline().decode(errors="replace").split()
        if len(line) != 2 or line[0] != "ready":
            # The host has cleaned up after itself, or does so as its input closes.
            host, self.host = self.host, None
            host.stdin.close()
            status = host.wait(timeout=WINE_STOP_TIMEOUT_S + 10.0)
            host.stdout.close()
            raise RuntimeError(f"Couldn't create the Wine prefix in {self.dir} (host exit status "
                               f"{status}); see the messages above")
        print(f"measured (wine prefix): created and started in {float(line[1]):.1f} s", file=sys.stderr)

    def stop(self) -> None:
        if self.host is None:
            return
        host, self.host = self.host, None
        if host.stdin and not host.stdin.closed:
            host.stdin.close()
        try:
            status = host.wait(timeout=WINE_STOP_TIMEOUT_S + 10.0)
        except subprocess.TimeoutExpired:
            host.kill()
            host.wait()
            raise RuntimeError(f"the Wine host (pid {host.pid}) did not stop within "
                               f"{WINE_STOP_TIMEOUT_S + 10.0:.0f} s; killed it") from None
        host.stdout.close()
        if status != 0:
            raise RuntimeError(f"the Wine host failed to stop the prefix's processes or remove "
                               f"{self.dir} (exit status {status}); see the messages above")

    def env(self, env: dict[str, str]) -> dict[str, str]:
        """env for a Wine process in this prefix."""
        return _wine_env(env, self.dir)


def program_data_dir() -> str:
    """The program's own data folder, whose openal/hrtf holds the light datasets, as the layer
    finds it: share/orbit-tone beside the executable (a build tree, the Windows folder), or
    installed, ../share/orbit-tone (/usr/share/orbit-tone for /usr/bin/orbit-tone)."""
    folder = os.path.dirname(executable())
    beside = os.path.join(folder, "share", "orbit-tone")
    installed = os.path.normpath(os.path.join(folder, "..", "share", "orbit-tone"))
    if not under_wine() and not os.path.isdir(beside) and os.path.isdir(installed):
        return installed
    return beside


def engine_data_dir() -> str:
    """The folder whose openal/hrtf holds the engine's own datasets: the system's."""
    return "/usr/share"


def program_command(env: dict[str, str]) -> tuple[list[str], dict[str, str]]:
    """The command line and environment that run the executable with env: itself, or under
    Wine in the run's prefix (set up by set_up_module())."""
    if not under_wine():
        return [executable()], env
    if _wine_prefix is None:
        raise RuntimeError("the Wine prefix is not set up: call set_up_module() from setUpModule()")
    return ["wine", executable()], _wine_prefix.env(env)


class ProgramRun:
    """The executable run as a user would: answers written to a pipe on its standard input,
    its two output streams read as they come. A wrapper command (valgrind, say) may run it."""

    def __init__(self, env: dict[str, str], cwd: str, wrapper: list[str] | None = None) -> None:
        command, env = program_command(env)
        self.launch_time = time.monotonic()
        self.process = subprocess.Popen([*(wrapper or []), *command], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=cwd)
        self._out = bytearray()
        self._err = bytearray()
        self._changed = threading.Condition()
        # Set before the readers start: the first of them may record its output at once.
        self.first_output_time: float | None = None
        self.exit_time: float | None = None
        self._readers = [threading.Thread(target=self._pump, args=(self.process.stdout, self._out), daemon=True),
                         threading.Thread(target=self._pump, args=(self.process.stderr, self._err), daemon=True)]
        for reader in self._readers:
            reader.start()

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
        """The exit status, or None if the program is still running after timeout_s. The exit
        is seen through a pidfd the moment it happens (Popen.wait polls with growing sleeps,
        which would round the time up to 7.5, 15.5, 31.5, 63.5 or 113.5 ms)."""
        if self.exit_time is None and self.process.returncode is None:
            try:
                pidfd = os.pidfd_open(self.process.pid)
            except OSError:
                pidfd = None    # reaped meanwhile; Popen.wait below tells its status
            if pidfd is not None:
                try:
                    poller = select.poll()
                    poller.register(pidfd, select.POLLIN)
                    if not poller.poll(int(timeout_s * 1000)):
                        return None
                    self.exit_time = time.monotonic()
                finally:
                    os.close(pidfd)
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
    """Test cases that share one private server (a PulseAudio daemon unless the class names
    another), started for the class and always stopped."""

    server: "type[ServerSandbox]" = PulseSandbox
    sandbox: ServerSandbox

    @classmethod
    def setUpClass(cls) -> None:
        cls.sandbox = cls.server()
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
        self.assertTrue(run.wait_for_stdout_ending(console_text(MENU)),
                        f"the menu prompt did not come: {run.describe()}")
        run.write(answer)

    def wait_for_closing_prompt(self, run: ProgramRun) -> None:
        self.assertTrue(run.wait_for_stdout_ending(console_text(CLOSING)),
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


# ---------------------------------------------------------------------------------------
# The Wine host: `e2e_support.py wine-host DIR [--keep]`, started by WinePrefix.

class _HostStopped(Exception):
    """A signal asked the host to stop early."""


def _host_log(message: str) -> None:
    print(f"wine-host: {message}", file=sys.stderr, flush=True)


def _wait_for_server_lock(server: subprocess.Popen, prefix: str, timeout_s: float) -> None:
    """Waits until the server holds its prefix's lock file: from then on, Wine clients connect
    to it instead of starting a server of their own. The lock must lie in the socket folder the
    prefix names, the one the host removes after the run."""
    deadline = time.monotonic() + timeout_s
    fd_dir = f"/proc/{server.pid}/fd"
    while time.monotonic() < deadline:
        if server.poll() is not None:
            raise RuntimeError(f"the wineserver exited with status {server.returncode} during start-up")
        try:
            targets = [os.readlink(os.path.join(fd_dir, fd)) for fd in os.listdir(fd_dir)]
        except OSError:
            targets = []
        locks = [t for t in targets if os.path.basename(os.path.dirname(t)).startswith("server-")
                 and t.endswith("/lock")]
        if locks:
            folder = _wine_socket_folder(prefix)
            if folder is None or os.path.dirname(os.path.dirname(locks[0])) != os.path.realpath(folder):
                raise RuntimeError(f"the wineserver keeps its socket beside {locks[0]}, not in the folder "
                                   f"{prefix}/wineserver names ({folder}), which the host removes")
            return
        time.sleep(0.02)
    raise RuntimeError(f"the wineserver did not take its lock within {timeout_s:.0f} s")


def _reap_children(deadline: float) -> list[int]:
    """Reaps every child of this process (the host's own, and the Wine processes it adopted as
    a subreaper) until none is left or deadline passes; returns the pids still alive then."""
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return []
        if pid:
            continue
        if time.monotonic() >= deadline:
            break
        time.sleep(0.02)
    alive = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == os.getpid():
                alive.append(int(entry))
    return alive


def _wine_host(work_dir: str, keep: bool) -> int:
    """Creates the prefix in work_dir/prefix, starts its server and services, prints "ready
    SECONDS", holds them until standard input closes (or SIGTERM, SIGINT, SIGHUP), then stops
    every process of the prefix and removes work_dir and the server's socket folder (unless
    keep). Returns the exit status: 0 only if all went well."""

    def stop_early(signum, _frame):
        raise _HostStopped(signal.Signals(signum).name)

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, stop_early)
    _become_subreaper()
    started = time.monotonic()
    prefix = os.path.join(work_dir, "prefix")
    log_path = os.path.join(work_dir, "wine.log")
    # No sound server can be reached from here: the prefix's own processes play nothing.
    env = _wine_env(no_server_env(work_dir), work_dir)
    server: subprocess.Popen | None = None
    status = 0

    def step(*command: str) -> None:
        with open(log_path, "ab") as log:
            log.write(f"$ {' '.join(command)}\n".encode())
            log.flush()
            step_started = time.monotonic()
            # The log file, not a pipe: services started here keep their output streams open.
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                  env=env, cwd=work_dir, timeout=WINE_STEP_TIMEOUT_S)
            log.write(f"# status {done.returncode} after {time.monotonic() - step_started:.2f} s\n".encode())
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed with status {done.returncode}")

    try:
        try:
            # Create the prefix and pin its audio driver; then let everything end, so that the
            # prefix is complete on disk before the server that keeps it up starts.
            step("wineboot", "-i")
            step("wine", "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Audio",
                 "/d", WINE_AUDIO_DRIVER, "/f")
            step("wineserver", "-w")
            _reap_children(time.monotonic())

            # Keep a server up for the whole run, with the prefix's services started once:
            # each run of the program then takes a fraction of a second, and starts nothing
            # that could outlive it holding its output pipes.
            with open(log_path, "ab") as log:
                server = subprocess.Popen(["wineserver", "--foreground", "--persistent"],
                                          stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                          env=env, cwd=work_dir)
            _wait_for_server_lock(server, prefix, 10.0)
            step("wine", "wineboot")
            if server.poll() is not None:
                raise RuntimeError(f"the wineserver (pid {server.pid}) exited with status "
                                   f"{server.returncode} while the services started")
        except (RuntimeError, OSError, subprocess.TimeoutExpired) as error:
            tail = ""
            try:
                with open(log_path, errors="replace") as f:
                    tail = "".join(f.readlines()[-10:])
            except OSError:
                pass
            _host_log(f"couldn't set up the Wine prefix in {prefix}: {error}\n"
                      f"the end of {log_path}:\n{tail}")
            status = 1
        else:
            try:
                print(f"ready {time.monotonic() - started:.2f}", flush=True)
                sys.stdin.buffer.read()
            except BrokenPipeError:
                _host_log("the tests ended before the prefix was ready")
                status = 1
    except _HostStopped as stop:
        _host_log(f"stopping early on {stop}")
        status = 1
    finally:
        for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
        # Stop every process of this prefix (the server signals them all), then the server.
        try:
            subprocess.run(["wineserver", "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, env=env, timeout=WINE_STOP_TIMEOUT_S)
        except (OSError, subprocess.TimeoutExpired) as error:
            _host_log(f"wineserver -k failed: {error}")
            status = 1
        if server is not None:
            try:
                server.wait(timeout=WINE_STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                _host_log(f"the wineserver (pid {server.pid}) ignored wineserver -k; killing it")
                server.kill()
                server.wait()
                status = 1
        left = _reap_children(time.monotonic() + WINE_STOP_TIMEOUT_S)
        if left:
            _host_log(f"processes of the prefix survived wineserver -k: {left}; killing them")
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            _reap_children(time.monotonic() + 5.0)
            status = 1
        if not keep:
            try:
                socket_folder = _wine_socket_folder(prefix)
            except (RuntimeError, OSError) as error:
                _host_log(f"couldn't tell the server's socket folder: {error}")
                socket_folder = None
                status = 1
            for folder in (socket_folder, work_dir):
                if folder is not None:
                    shutil.rmtree(folder, ignore_errors=True)
                    if os.path.exists(folder):
                        _host_log(f"couldn't remove {folder}")
                        status = 1
    return status


if __name__ == "__main__":
    if len(sys.argv) in (3, 4) and sys.argv[1] == "wine-host" and sys.argv[3:] in ([], ["--keep"]):
        sys.exit(_wine_host(os.path.abspath(sys.argv[2]), keep=len(sys.argv) == 4))
    sys.exit(f"usage: {sys.argv[0]} wine-host DIR [--keep]")
