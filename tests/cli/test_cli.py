"""Integration tests of the kelvo command-line tool against kelvo-sim.

Every command that names a unit, and list, runs Kelvo_Initial, which
broadcasts: the module refuses to run unless lo is the only network
interface, that is inside scripts/netns-run. KELVO_CLI and KELVO_SIM name the
two programs. Each test class starts one simulator and stops it by its pid.

A kelvo run that finds units by broadcast costs a 1.5 s discovery wait, so
most classes name their units with --device-list (the simulator's own list),
which takes milliseconds; HealthyUnitsTest keeps to broadcast discovery.
"""

from __future__ import annotations

import ctypes
import json
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

RUN_TIMEOUT_S = 20.0
READY_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 10.0
SEARCH_NOTE = "searching for units..."

# Ports or channels and bits per value of each model.
MODELS: Dict[str, Tuple[int, int]] = {
    "KV-101": (2, 8), "KV-102": (2, 8), "KV-103": (2, 8), "KV-104": (2, 8),
    "KV-105": (2, 8), "KV-106": (2, 8), "KV-107": (2, 8), "KV-108": (3, 8),
    "KV-109": (16, 16), "KV-110": (4, 12), "KV-111": (2, 16), "KV-112": (8, 8),
    "KV-113": (4, 8), "KV-114": (8, 8), "KV-115": (4, 8), "KV-116": (8, 8),
    "KV-117": (4, 8), "KV-118": (2, 8), "KV-119": (16, 16), "KV-120": (4, 12),
}

# Set up by setUpModule.
KELVO = ""
SIMULATOR = ""
LIBRARY = ""
WORK_DIR = ""
CHILD_ENV: Dict[str, str] = {}


def all_models_address(model: str) -> str:
    """Where --all-models puts a model: KV-101 at 127.0.0.2, ..., KV-120 at 127.0.0.21."""
    return f"127.0.0.{int(model[3:]) - 99}"


def require_private_network() -> None:
    with open("/proc/net/dev", encoding="ascii") as f:
        names = [line.split(":", 1)[0].strip() for line in f.readlines()[2:]]
    if names != ["lo"]:
        raise RuntimeError(
            "refusing to run: kelvo broadcasts its discovery query, so these tests run only in "
            "a private network namespace whose only interface is lo (found: "
            f"{', '.join(names)}). Run them through ctest (-R cli_integration) or as "
            "scripts/netns-run python3 -m unittest discover -s tests/cli -v")


def required_program(variable: str) -> str:
    path = os.environ.get(variable, "")
    if not path or not os.access(path, os.X_OK):
        raise RuntimeError(f"set {variable} to the path of the built program (now {path!r})")
    return path


def setUpModule() -> None:  # noqa: N802 (unittest's name)
    global KELVO, SIMULATOR, LIBRARY, WORK_DIR, CHILD_ENV
    require_private_network()
    KELVO = required_program("KELVO_CLI")
    SIMULATOR = required_program("KELVO_SIM")
    LIBRARY = os.environ.get("KELVO_LIBRARY", "")
    WORK_DIR = tempfile.mkdtemp(prefix="kelvo-cli-test-")
    # The library reads Kelvo.ini from WINDIR: an empty directory means none,
    # so every unit comes from discovery.
    windows_dir = os.path.join(WORK_DIR, "windows")
    os.mkdir(windows_dir)
    CHILD_ENV = dict(os.environ, WINDIR=windows_dir)


def tearDownModule() -> None:  # noqa: N802
    if WORK_DIR:
        shutil.rmtree(WORK_DIR, ignore_errors=True)


def _die_with_parent() -> None:
    # PR_SET_PDEATHSIG: should the test process be killed, its children get
    # SIGTERM instead of living on in the namespace.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)


@dataclass
class Run:
    args: Sequence[str]
    code: int
    out: str
    err: str
    seconds: float

    def describe(self) -> str:
        return (f"kelvo {' '.join(self.args)}\nexit {self.code} after {self.seconds:.2f} s\n"
                f"--- stdout\n{self.out}--- stderr\n{self.err}---")


def kelvo(*args: str, timeout: float = RUN_TIMEOUT_S) -> Run:
    start = time.monotonic()
    done = subprocess.run([KELVO, *args], capture_output=True, text=True, env=CHILD_ENV,
                          stdin=subprocess.DEVNULL, timeout=timeout, preexec_fn=_die_with_parent)
    return Run(args, done.returncode, done.stdout, done.stderr, time.monotonic() - start)


def byte_text(b: int) -> str:
    """A byte as the hex dump's text column shows it."""
    return chr(b) if 0x20 <= b < 0x7F else "."


DUMP_LINE = re.compile(
    r"^([0-9a-f]{8}) ((?: [0-9a-f]{2}| {3}){8}) ((?: [0-9a-f]{2}| {3}){8})  \|(.{0,16})\|$")


def parse_dump(test: unittest.TestCase, text: str) -> Tuple[List[int], bytes]:
    """The offsets and bytes of a hex dump; checks each line's text column."""
    offsets: List[int] = []
    data = bytearray()
    for line in text.splitlines():
        m = DUMP_LINE.match(line)
        test.assertIsNotNone(m, f"not a hex dump line: {line!r}")
        assert m is not None
        line_bytes = bytes.fromhex(m.group(2) + m.group(3))
        test.assertEqual(m.group(4), "".join(byte_text(b) for b in line_bytes), line)
        offsets.append(int(m.group(1), 16))
        data += line_bytes
    return offsets, bytes(data)


PORT_LINE = re.compile(r"^port (\d+): 0x([0-9A-F]{2}) ([01]{8})$")
CHANNEL_LINE = re.compile(r"^channel (\d+): (-?\d+)$")


def parse_ports(test: unittest.TestCase, text: str) -> List[Tuple[int, int]]:
    """(port, value) per line of a dio read; the bit column must match the hex."""
    result = []
    for line in text.splitlines():
        m = PORT_LINE.match(line)
        test.assertIsNotNone(m, f"not a port line: {line!r}")
        assert m is not None
        value = int(m.group(2), 16)
        test.assertEqual(int(m.group(3), 2), value, line)
        result.append((int(m.group(1)), value))
    return result


def parse_channels(test: unittest.TestCase, text: str) -> List[Tuple[int, int]]:
    result = []
    for line in text.splitlines():
        m = CHANNEL_LINE.match(line)
        test.assertIsNotNone(m, f"not a channel line: {line!r}")
        assert m is not None
        result.append((int(m.group(1)), int(m.group(2))))
    return result


def parse_fields(text: str) -> Dict[str, str]:
    """Lines of the form 'label   value' (info, mem config, mem status)."""
    fields = {}
    for line in text.splitlines():
        m = re.match(r"^(\S+(?: \S+)*?)\s{2,}(.*)$", line)
        if m:
            fields[m.group(1)] = m.group(2)
    return fields


class KelvoTestCase(unittest.TestCase):
    """Assertions on kelvo runs that show the whole run when they fail."""

    # Put before every command's words: how the class's units are found.
    FIND: List[str] = []

    def kelvo(self, *args: str) -> Run:
        return kelvo(*self.FIND, *args)

    def expect(self, run: Run, code: int, *stderr_parts: str) -> Run:
        self.assertEqual(run.code, code, run.describe())
        for part in stderr_parts:
            self.assertIn(part, run.err, run.describe())
        return run

    def ok(self, *args: str) -> Run:
        run = self.expect(self.kelvo(*args), 0)
        # A search by broadcast says so; direct addressing makes none.
        self.assertEqual(SEARCH_NOTE in run.err, not self.FIND, run.describe())
        return run

    def refused_locally(self, code: int, args: Sequence[str], message: str) -> None:
        """A mistake found before any network search: no discovery, no delay."""
        run = kelvo(*args)
        self.expect(run, code, message)
        self.assertIn("kelvo: ", run.err, run.describe())
        self.assertNotIn(SEARCH_NOTE, run.err, run.describe())
        self.assertEqual(run.out, "", run.describe())


class SimulatorTestCase(KelvoTestCase):
    """Runs one kelvo-sim with SIM_ARGS for the whole class."""

    SIM_ARGS: List[str] = []
    UNIT_COUNT = 0
    # Find the units through the simulator's device list, not by broadcast.
    DIRECT = True
    sim: Optional[subprocess.Popen] = None

    @classmethod
    def setUpClass(cls) -> None:
        log_dir = tempfile.mkdtemp(prefix="sim-", dir=WORK_DIR)
        cls.sim_out = os.path.join(log_dir, "stdout")
        cls.sim_err = os.path.join(log_dir, "stderr")
        cls.device_list = os.path.join(log_dir, "Kelvo.ini")
        cls.control_path = os.path.join(log_dir, "control")
        cls.FIND = ["--device-list", cls.device_list] if cls.DIRECT else []
        with open(cls.sim_out, "wb") as out, open(cls.sim_err, "wb") as err:
            cls.sim = subprocess.Popen([SIMULATOR, *cls.SIM_ARGS, "--ini", cls.device_list,
                                        "--control", cls.control_path], stdout=out, stderr=err,
                                       stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        # Runs even when the rest of setUpClass fails.
        cls.addClassCleanup(cls.stop_simulator)
        cls.wait_ready()

    @classmethod
    def wait_ready(cls) -> None:
        assert cls.sim is not None
        expected = f"kelvo-sim: ready ({cls.UNIT_COUNT} units)"
        deadline = time.monotonic() + READY_TIMEOUT_S
        for _ in range(int(READY_TIMEOUT_S / 0.05) + 1):
            with open(cls.sim_out, encoding="utf-8", errors="replace") as f:
                text = f.read()
            if expected in text:
                return
            if cls.sim.poll() is not None or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        with open(cls.sim_err, encoding="utf-8", errors="replace") as f:
            errors = f.read()
        raise RuntimeError(f"kelvo-sim {' '.join(cls.SIM_ARGS)} did not print {expected!r} "
                           f"within {READY_TIMEOUT_S} s (exit status {cls.sim.poll()}; "
                           f"stdout {text!r}; stderr {errors!r})")

    @classmethod
    def stop_simulator(cls) -> None:
        sim, cls.sim = cls.sim, None
        if sim is None or sim.poll() is not None:
            return
        os.kill(sim.pid, signal.SIGTERM)
        try:
            status = sim.wait(timeout=STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            os.kill(sim.pid, signal.SIGKILL)
            sim.wait(timeout=STOP_TIMEOUT_S)
            raise RuntimeError("kelvo-sim did not end on SIGTERM; killed")
        if status != 0:
            raise RuntimeError(f"kelvo-sim ended with status {status} on SIGTERM")

    def control(self, line: str) -> str:
        """One command on the simulator's control channel; its reply line."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(RUN_TIMEOUT_S)
            s.connect(self.control_path)
            s.sendall(line.encode() + b"\n")
            reply = b""
            while not reply.endswith(b"\n"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                reply += chunk
        return reply.decode().rstrip("\n")


class HelpAndUsageTest(KelvoTestCase):
    """Help, version and command-line mistakes: all settled without any network search."""

    COMMANDS = [
        [], ["list"], ["info"], ["raw"], ["watch"],
        ["dio"], ["dio", "read"], ["dio", "write"], ["dio", "dir"],
        ["aio"], ["aio", "read"], ["aio", "write"], ["aio", "gain"],
        ["cou"], ["cou", "read"], ["cou", "write"], ["cou", "mode"],
        ["mem"], ["mem", "config"], ["mem", "start"], ["mem", "stop"], ["mem", "status"],
        ["mem", "seek"], ["mem", "read"], ["mem", "write"],
    ]

    def test_help_on_every_command_and_version(self) -> None:
        for command in self.COMMANDS:
            with self.subTest(command=command):
                run = kelvo(*command, "--help")
                self.expect(run, 0)
                self.assertIn("Usage: " + " ".join(["kelvo", *command]), run.out, run.describe())
                self.assertNotIn(SEARCH_NOTE, run.err, run.describe())
                # The exit codes are listed under every command.
                for code in range(6):
                    self.assertRegex(run.out, rf"(?m)^  {code}  \w", run.describe())
        top = kelvo("-h")
        self.expect(top, 0)
        for name in ("list", "info", "raw", "dio", "aio", "cou", "mem", "watch"):
            self.assertRegex(top.out, rf"(?m)^  {name} ", top.describe())

        version = self.expect(kelvo("--version"), 0)
        self.assertRegex(version.out, r"^kelvo \d+\.\d+\.\d+\.\d+\nlibrary \d+\.\d+ "
                         r"\(20\d\d/\d\d/\d\d\)\n$", version.describe())
        self.assertNotIn(SEARCH_NOTE, version.err)

    def test_local_refusals_follow_one_exit_code_table(self) -> None:
        """Alike mistakes get the same code in every command, before any search."""
        missing = os.path.join(WORK_DIR, "no-such-dir", "x.bin")
        cases = {
            # 1: the command line is malformed.
            1: [
                ([], "A subcommand is required"),
                (["dio"], "subcommand is required"),
                (["lsit"], "unknown command 'lsit'; did you mean 'list'?"),
                (["dio", "raed", "KV-108:1", "0"], "unknown command 'raed'; did you mean 'read'?"),
                (["mem", "stats", "KV-112:1"], "did you mean 'status'?"),
                (["--jsn", "list"], "unknown option '--jsn'; did you mean '--json'?"),
                (["watch", "KV-112:1", "--cont", "3"], "did you mean '--count'?"),
                (["info"], "UNIT is required"),
                (["list", "extra"], "extra"),
                (["info", "KV-999:1"], "unknown model 'KV-999'"),
                (["info", "300.1.1.1"], "bad unit '300.1.1.1'"),
                (["--address", "10.0.0", "list"], "bad address '10.0.0'"),
                (["dio", "read", "KV-108:1"], "give the ports to read, or --all"),
                (["dio", "read", "KV-108:1", "0", "--all"], "give the ports to read, or --all"),
                (["dio", "write", "KV-108:1", "0"], "a value is missing"),
                (["aio", "read", "KV-109:1"], "give the channels to read, or --all"),
                (["aio", "write", "KV-110:1", "0", "abc"], "bad value 'abc'"),
                (["aio", "gain", "KV-109:1", "0"], "GAIN is required"),
                (["raw", "KV-103:1", "12 000"], "bad hex bytes"),
                (["mem", "write", "KV-113:1"], "give a FILE to write, or --hex BYTES"),
                (["mem", "seek", "KV-113:1", "-1"], "bad position '-1'"),
                (["mem", "config", "KV-112:1", "--cycle", "3"],
                 "the library keeps sampling settings only while this process runs"),
            ],
            # 4: a number or a unit kind out of range, whichever command finds it.
            4: [
                (["info", "KV-103:256"], "unit ID 256 out of range (0..255)"),
                (["dio", "read", "KV-108:1", "256"], "port 256 out of range (0..255)"),
                (["dio", "write", "KV-108:1", "0", "0x1FF"], "value 0x1FF out of range"),
                (["dio", "write", "KV-108:1", "0", "1/0x100"], "mask 0x100 out of range"),
                (["dio", "dir", "KV-108:1", *["0"] * 9], "at most 8 direction bytes"),
                (["cou", "mode", "KV-111:1", "0", "16", "0"], "low mode 16 out of range (0..15)"),
                (["raw", "KV-103:1", "12", "00", "00"], "a raw frame is 8 to 256 bytes, not 3"),
                (["raw", "KV-103:1", "00" * 8, "-n", "241"], "241"),
                (["watch", "KV-112:1", "-i", "5"], "5"),
                (["mem", "read", "KV-113:1", "0x10000000"], "length 0x10000000 out of range"),
                (["mem", "start", "KV-109:1", "--channels", "3,16"],
                 "sampling channel 16 out of range (0..15)"),
                # Kinds: a unit named by model is checked against the model table first.
                (["aio", "read", "KV-108:1", "0"],
                 "aio read on KV-108:1: KV-108 is a bidirectional digital unit, not an analog "
                 "unit"),
                (["dio", "write", "KV-109:1", "0", "1"],
                 "KV-109 is an analog input unit, not a digital unit"),
                (["cou", "read", "KV-110:1", "0"], "KV-110 is an analog output unit, not a counter"),
            ],
            # 5: local failures.
            5: [
                (["mem", "read", "KV-113:1", "16", "-o", missing], f"cannot create {missing}"),
                (["mem", "read", "KV-113:1", "16", "--csv", missing], f"cannot create {missing}"),
                (["watch", "KV-113:1", "--csv", missing], f"cannot create {missing}"),
                (["mem", "write", "KV-113:1", missing], f"cannot open {missing}"),
            ],
        }
        for code, runs in cases.items():
            for args, message in runs:
                with self.subTest(code=code, args=args):
                    self.refused_locally(code, args, message)
                    # With --json the same refusal is one JSON document on stdout.
                    run = kelvo("--json", *args)
                    self.expect(run, code, message)
                    self.assertEqual(json.loads(run.out)["exit_code"], code, run.describe())
        # The JSON document takes stdout: no other output may go there.
        run = self.expect(kelvo("--json", "watch", "KV-112:1", "--csv", "-"), 1,
                          "--json takes stdout")
        self.assertEqual(json.loads(run.out)["exit_code"], 1, run.describe())

class SimulatorConfigTest(unittest.TestCase):
    """kelvo-sim's --config file: every mistake named with its line, before any socket."""

    def test_config_mistakes_name_their_line(self) -> None:
        cases = [
            ("unit = [\"KV-108:1\"]\nmem-sise = 4096\n", ":2: unknown key 'mem-sise'"),
            ("# units\n\nmem-size = abc\n", ":3: --mem-size"),
            ("unit = [\"KV-199:1\"]\n", ":1: unit 'KV-199:1': unknown model"),
            ("no-discovery = yes\n", ":1: 'no-discovery' takes true or false"),
            ("seed = [1, 2]\n", ":1: 'seed' takes one value"),
            ("unit = KV-108:1\nfault = \"KV-108:1=explode\"\n", ":2: unknown fault 'explode'"),
            ("unit\n", ":1: expected key = value"),
        ]
        for text, message in cases:
            with self.subTest(text=text):
                path = os.path.join(WORK_DIR, "sim.conf")
                with open(path, "w", encoding="ascii") as f:
                    f.write(text)
                done = subprocess.run([SIMULATOR, "--config", path], capture_output=True,
                                      text=True, timeout=RUN_TIMEOUT_S, stdin=subprocess.DEVNULL)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertIn(f"kelvo-sim: {path}{message}", done.stderr)
                self.assertEqual(done.stdout, "")
        version = subprocess.run([SIMULATOR, "--version"], capture_output=True, text=True,
                                 timeout=RUN_TIMEOUT_S)
        self.assertRegex(version.stdout, r"^kelvo-sim \d+\.\d+\.\d+\.\d+\n$")


class HealthyUnitsTest(SimulatorTestCase):
    """One unit of every model, plus a second counter unit with an aux byte."""

    EXTRA = ("KV-111", 2, 0x5A, "127.0.0.30")
    SIM_ARGS = ["--all-models", "--unit", "KV-111:2@127.0.0.30,aux=0x5A"]
    UNIT_COUNT = 21

    def expected_units(self) -> List[Tuple[str, int, int, int, int]]:
        units = [(name, 1, 0, ports, bits) for name, (ports, bits) in MODELS.items()]
        name, unit_id, aux, _ = self.EXTRA
        units.append((name, unit_id, aux, *MODELS[name]))
        return sorted(units)

    def test_list_by_broadcast_and_at_addresses(self) -> None:
        table = self.expect(kelvo("list"), 0, SEARCH_NOTE)
        lines = table.out.splitlines()
        self.assertEqual(lines[0].split(), ["INDEX", "MODEL", "UNIT", "ID", "AUX",
                                            "PORTS/CHANNELS", "BITS"], table.describe())
        rows = []
        for index, line in enumerate(lines[1:]):
            m = re.match(r"^(\d+)\s+(KV-\d{3})\s+(\d+)\s+0x([0-9A-F]{2})\s+(\d+)\s+(\d+)$", line)
            self.assertIsNotNone(m, f"bad row {line!r}\n{table.describe()}")
            assert m is not None
            self.assertEqual(int(m.group(1)), index, line)
            rows.append((m.group(2), int(m.group(3)), int(m.group(4), 16), int(m.group(5)),
                         int(m.group(6))))
        self.assertEqual(sorted(rows), self.expected_units(), table.describe())

        # The same units from the simulator's device list, with their addresses.
        listed = self.ok("list", "--json")
        entries = json.loads(listed.out)
        self.assertEqual([e["index"] for e in entries], list(range(self.UNIT_COUNT)))
        keys = {"index", "key", "model_name", "model_code", "unit_id", "aux_byte", "total", "bits",
                "kind", "address"}
        for e in entries:
            self.assertEqual(set(e), keys, e)
            self.assertEqual(e["model_code"], int(e["model_name"][3:]) - 100, e)
            self.assertEqual(e["key"], f"{e['model_name']}:{e['unit_id']}", e)
            if e["unit_id"] == 1:
                self.assertEqual(e["address"], all_models_address(e["model_name"]), e)
        self.assertEqual(sorted((e["model_name"], e["unit_id"], e["aux_byte"], e["total"],
                                 e["bits"]) for e in entries), self.expected_units(),
                         listed.describe())

    def test_info_by_name_and_by_address(self) -> None:
        library = self.expect(self.kelvo("--version"), 0).out.splitlines()[1].split(" ", 1)[1]

        by_name = parse_fields(self.ok("info", "KV-109:1").out)
        self.assertEqual(by_name, {
            "unit": "KV-109:1", "model": "KV-109 (code 9)", "unit ID": "1", "aux byte": "0x00",
            "kind": "analog input", "channels": "16 (16 readable, 0 writable), 16 bits each",
            "library": library, "unit version": "1.3 (2025/11/14), info byte 0x01"})

        # Two KV-111 units are listed: the address must be matched to the right one.
        name, unit_id, aux, address = self.EXTRA
        by_address = parse_fields(self.ok("info", address).out)
        self.assertEqual(by_address, {
            "unit": address, "model": f"{name} (code 11)", "unit ID": str(unit_id),
            "aux byte": f"0x{aux:02X}", "kind": "counter",
            "channels": "2 (2 readable, 2 writable), 16 bits each",
            "library": library, "unit version": "1.3 (2025/11/14), info byte 0x01"})
        as_json = json.loads(self.ok("--json", "info", address).out)
        self.assertEqual({k: as_json[k] for k in ("unit", "key", "model_code", "aux_byte",
                                                  "device_version", "device_date")},
                         {"unit": address, "key": f"{name}:{unit_id}", "model_code": 11,
                          "aux_byte": aux, "device_version": [1, 3],
                          "device_date": "2025/11/14"})

    def test_unknown_units_exit_2(self) -> None:
        run = self.expect(self.kelvo("dio", "read", "KV-103:9", "0"), 2,
                          f"unit KV-103:9 not found ({self.UNIT_COUNT} units found; "
                          "see 'kelvo list')")
        self.assertEqual(run.out, "")
        run = self.expect(self.kelvo("info", "127.0.0.99"), 2, "no unit answered at 127.0.0.99")
        self.assertEqual(run.out, "")

    def test_dio_write_masks_read_back_and_directions(self) -> None:
        # Ports start at 0. Port 0 under the default mask -m, port 1 under its
        # own mask, port 2 whole.
        run = self.ok("dio", "write", "KV-108:1", "0", "0x5A", "1", "0xF0/0x3C", "2", "0x81/0xFF",
                      "-m", "0x0F")
        self.assertEqual(run.out.splitlines(), [
            "port 0: wrote 0x5A under mask 0x0F", "port 1: wrote 0xF0 under mask 0x3C",
            "port 2: wrote 0x81 under mask 0xFF"])
        # One port by address: only the upper four lines of port 2 change.
        run = self.ok("dio", "write", all_models_address("KV-108"), "2", "0x5C/0xF0")
        self.assertEqual(run.out, "port 2: wrote 0x5C under mask 0xF0\n")
        # Several ports in the given order, one twice, unit named by model code.
        run = self.ok("dio", "read", "8:1", "2", "0", "1", "2")
        self.assertEqual(parse_ports(self, run.out), [(2, 0x51), (0, 0x0A), (1, 0x30), (2, 0x51)])

        run = self.ok("dio", "dir", "kv-108:1", "0xFF", "0", "0x0F")
        self.assertEqual(run.out.splitlines(), [
            "port 0: direction 0xFF", "port 1: direction 0x00", "port 2: direction 0x0F"])

        # KV-103 has two ports but only port 0 is an input.
        run = self.expect(self.kelvo("dio", "read", "KV-103:1", "1"), 4,
                          "dio read on KV-103:1: port 1 out of range for KV-103 (1 input port)")
        self.assertEqual(run.out, "")

    def test_aio_read_gain_and_write_read_back_through_raw(self) -> None:
        # Channels 3, 7, 11, 15 of an analog input unit are constants.
        run = self.ok("aio", "read", "KV-109:1", "3", "7", "11", "15", "3", "0")
        values = parse_channels(self, run.out)
        self.assertEqual(values[:5], [(3, 1000), (7, 2000), (11, 3000), (15, 4000), (3, 1000)])
        self.assertEqual(values[5][0], 0)
        self.assertLessEqual(abs(values[5][1]), 4000, run.describe())

        # Gain 2 multiplies by 4, on that channel only.
        run = self.ok("aio", "gain", "KV-119:1", "3", "2")
        self.assertEqual(run.out, "channel 3: gain 0x02\n")
        run = self.ok("aio", "read", all_models_address("KV-119"), "--all")
        values = dict(parse_channels(self, run.out))
        self.assertEqual(sorted(values), list(range(16)), run.describe())
        self.assertEqual([values[c] for c in (3, 7, 11, 15)], [4000, 2000, 3000, 4000])
        for group in range(4):
            self.assertLessEqual(abs(values[4 * group]), 4000, run.describe())  # sine
            self.assertLessEqual(abs(values[4 * group + 1]), 4000, run.describe())  # ramp
            self.assertEqual(abs(values[4 * group + 2]), 4000, run.describe())  # square

        # Several channels in one write; the later pair for channel 0 wins.
        run = self.ok("aio", "write", "KV-110:1", "0", "2048", "3", "4095", "1", "-100",
                      "0", "1234")
        self.assertEqual(run.out.splitlines(), [
            "channel 0: wrote 1234", "channel 1: wrote -100", "channel 3: wrote 4095"])
        # The outputs read back with a raw CMD_READ of the whole block: 32-bit
        # little-endian entries, channel by channel.
        run = self.ok("raw", "KV-110:1", "11", "00", "00", "ff", "f0", "00", "00", "00",
                      "-n", "16")
        offsets, data = parse_dump(self, run.out)
        self.assertEqual(offsets, [0])
        self.assertEqual(data, b"".join(v.to_bytes(4, "little", signed=True)
                                        for v in (1234, -100, 0, 4095)))

        run = self.expect(self.kelvo("aio", "write", "KV-110:1", "2", "4096"), 4,
                          "value 4096 does not fit the 12-bit channels of KV-110 (-2048..4095)")
        self.assertEqual(run.out, "")
        run = self.expect(self.kelvo("aio", "write", "KV-110:1", "7", "5"), 4,
                          "aio write on KV-110:1: channel 7 out of range for KV-110 "
                          "(4 output channels)")
        self.assertEqual(run.out, "")

    def test_counters_hold_then_count_after_mode(self) -> None:
        run = self.ok("cou", "write", "KV-111:1", "0", "1000", "1", "30000")
        self.assertEqual(run.out.splitlines(), ["channel 0: wrote 1000", "channel 1: wrote 30000"])
        # Mode 0: both counters hold their values.
        run = self.ok("cou", "read", "KV-111:1", "0", "1")
        self.assertEqual(parse_channels(self, run.out), [(0, 1000), (1, 30000)])

        # Count up at 100 per second on channel 0 only.
        started = time.monotonic()
        run = self.ok("cou", "mode", "KV-111:1", "0", "1", "0")
        self.assertEqual(run.out, "channel 0: mode 0x01 (high 0, low 1)\n")
        set_at = time.monotonic()
        time.sleep(0.5)
        run = self.ok("cou", "read", "KV-111:1", "--all")
        elapsed = time.monotonic() - started
        values = parse_channels(self, run.out)
        self.assertEqual([c for c, _ in values], [0, 1])
        # At least the pause since the mode was set: 50 counts.
        self.assertGreaterEqual(values[0][1], 1000 + int(100 * (time.monotonic() - set_at)) - 60,
                                run.describe())
        self.assertGreaterEqual(values[0][1], 1000 + 45, run.describe())
        self.assertLessEqual(values[0][1], 1000 + 100 * elapsed + 10, run.describe())
        self.assertEqual(values[1][1], 30000, run.describe())

    def test_watch_prints_values_then_changes_for_count_polls(self) -> None:
        name, unit_id, _, address = self.EXTRA
        # The second counter unit: channel 0 counts down at 1600 per second.
        self.ok("cou", "mode", f"11:{unit_id}", "0", "3", "15")
        run = self.ok("watch", address, "--count", "3", "--interval", "100")
        lines = run.out.splitlines()
        pattern = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} channel (\d): (-?\d+)(?: -> (-?\d+))?$")
        parsed = []
        for line in lines:
            m = pattern.match(line)
            self.assertIsNotNone(m, f"bad watch line {line!r}\n{run.describe()}")
            assert m is not None
            parsed.append(m.groups())
        # First poll: both channels; then one change of channel 0 per later poll.
        self.assertEqual([(c, new is None) for c, _, new in parsed],
                         [("0", True), ("1", True), ("0", False), ("0", False)], run.describe())
        self.assertEqual(parsed[1][1], "0", run.describe())
        first = int(parsed[0][1])
        self.assertLess(first, 0, run.describe())
        previous = first
        for _, old, new in parsed[2:]:
            self.assertEqual(int(old), previous, run.describe())
            # 100 ms apart at 1600 per second: about 160 down.
            self.assertTrue(0 < previous - int(new) <= 1600, run.describe())
            previous = int(new)
        self.assertLess(run.seconds, 10)

    def test_watch_without_count_ends_with_0_on_sigterm(self) -> None:
        watch = subprocess.Popen([KELVO, *self.FIND, "watch", "KV-112:1", "-i", "100"],
                                 stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, env=CHILD_ENV,
                                 preexec_fn=_die_with_parent)
        try:
            assert watch.stdout is not None
            seen = b""
            deadline = time.monotonic() + RUN_TIMEOUT_S
            for _ in range(1000):
                left = deadline - time.monotonic()
                if (b"port 7:" in seen and seen.endswith(b"\n")) or left <= 0:
                    break
                readable, _, _ = select.select([watch.stdout], [], [], left)
                chunk = os.read(watch.stdout.fileno(), 4096) if readable else b""
                if readable and not chunk:
                    break
                seen += chunk
            self.assertIn(b"port 7:", seen, "watch printed no first poll")
            os.kill(watch.pid, signal.SIGTERM)
            out, err = watch.communicate(timeout=STOP_TIMEOUT_S)
        finally:
            if watch.poll() is None:
                os.kill(watch.pid, signal.SIGKILL)
                watch.wait(timeout=STOP_TIMEOUT_S)
        text = (seen + out).decode()
        self.assertEqual(watch.returncode, 0, f"{text}\n{err.decode()}")
        first = [line.split(" ", 1)[1] for line in text.splitlines()[:8]]
        self.assertEqual(first, [f"port {p}: 0x00 00000000" for p in range(8)], text)

    def test_mem_settings_start_status_stop(self) -> None:
        # Settings go with start; --json shows what the library sent. By
        # address, so the unit's model is looked up.
        address = all_models_address("KV-109")
        run = self.ok("--json", "mem", "start", address, "--cycle", "10", "--timing-flag",
                      "--frequency", "5000", "--output-mode", "on", "--trigger", "1", "2",
                      "0x1234", "--channels", "0,3,15")
        result = json.loads(run.out)
        self.assertEqual((result["unit"], result["action"]), (address, "start"))
        self.assertEqual({k: result["settings"][k] for k in (
            "cycle", "timing", "frequency", "output_mode", "trigger_lower", "trigger_upper",
            "trigger_value", "target_channels")}, {
            "cycle": 10, "timing": 4, "frequency": 5000, "output_mode": 8, "trigger_lower": 1,
            "trigger_upper": 2, "trigger_value": 0x1234, "target_channels": [0, 3, 15]},
            run.describe())
        self.ok("mem", "stop", address)
        # Without settings, config shows the library's defaults for this run.
        fields = parse_fields(self.ok("mem", "config", "KV-112:1").out)
        self.assertEqual((fields["sampling cycle"], fields["sampling channels"]), ("0", "none"))

        # 8-byte digital samples every millisecond.
        run = self.ok("mem", "start", "KV-112:1", "--cycle", "1")
        self.assertEqual(run.out, "sampling started on KV-112:1\n")
        status = parse_fields(self.ok("mem", "status", "KV-112:1").out)
        self.assertEqual(status["sampling status"], "0x01", status)
        recording = int(status["memory count"])
        self.assertGreater(recording, 0, status)
        self.assertEqual(recording % 4096, 0, status)
        run = self.ok("mem", "stop", "KV-112:1")
        self.assertEqual(run.out, "sampling stopped on KV-112:1\n")
        status = parse_fields(self.ok("mem", "status", "KV-112:1").out)
        self.assertEqual(status["sampling status"], "0x00", status)
        self.assertGreaterEqual(int(status["memory count"]), recording, status)

    def test_mem_write_read_back_seek_and_hex_dump(self) -> None:
        blob = bytearray(random.Random(1114).randbytes(600))
        source = os.path.join(WORK_DIR, "mem-in.bin")
        copy = os.path.join(WORK_DIR, "mem-out.bin")
        with open(source, "wb") as f:
            f.write(blob)

        run = self.ok("mem", "write", "KV-113:1", source)
        self.assertEqual(run.out, "600 bytes written to the memory of KV-113:1\n")
        run = self.ok("mem", "write", "KV-113:1", "--hex", "de ad be ef", "--seek", "0x104")
        self.assertEqual(run.out, "4 bytes written to the memory of KV-113:1\n")
        blob[0x104:0x108] = b"\xde\xad\xbe\xef"

        run = self.ok("mem", "read", "KV-113:1", "600", "-o", copy)
        self.assertIn(f"600 bytes read from KV-113:1 into {copy}", run.err)
        self.assertEqual(run.out, "")
        with open(copy, "rb") as f:
            self.assertEqual(f.read(), bytes(blob))

        run = self.ok("mem", "seek", "KV-113:1", "0x100")
        self.assertEqual(run.out, "memory position set to 256 (0x100)\n")
        run = self.ok("mem", "read", "KV-113:1", "16", "--from-seek")
        _, data = parse_dump(self, run.out)
        self.assertEqual(data, bytes(blob[0x100:0x110]), run.describe())
        # A read of one chunk still starts at address 0, wherever the unit's
        # position was left; so does a write.
        self.ok("mem", "seek", "KV-113:1", "0x40")
        run = self.ok("--json", "mem", "read", "KV-113:1", "4")
        self.assertEqual(json.loads(run.out)["data"], blob[0:4].hex(), run.describe())
        self.ok("mem", "write", "KV-113:1", "--hex", "77")
        blob[0] = 0x77
        run = self.ok("mem", "read", "KV-113:1", "2")
        self.assertEqual(parse_dump(self, run.out)[1], bytes(blob[0:2]), run.describe())

        # As CSV: a digital unit's samples are 8-byte port images (KV-113: 4 ports).
        csv_path = os.path.join(WORK_DIR, "mem.csv")
        self.ok("mem", "read", "KV-113:1", "20", "--csv", csv_path)
        with open(csv_path, encoding="ascii") as f:
            rows = f.read().splitlines()
        self.assertEqual(rows, ["sample,port0,port1,port2,port3",
                                "0," + ",".join(str(b) for b in blob[0:4]),
                                "1," + ",".join(str(b) for b in blob[8:12])])

        # --seek labels the dump with the memory offsets; a part line at the end.
        run = self.ok("mem", "read", all_models_address("KV-113"), "40", "--seek", "0x10")
        offsets, data = parse_dump(self, run.out)
        self.assertEqual(offsets, [0x10, 0x20, 0x30], run.describe())
        self.assertEqual(data, bytes(blob[0x10:0x38]), run.describe())


class DirectAddressingTest(SimulatorTestCase):
    """Units that answer no discovery query: found only at the addresses given."""

    SIM_ARGS = ["--all-models", "--no-discovery"]
    UNIT_COUNT = 20

    def test_address_without_broadcast_and_unknown_addresses(self) -> None:
        run = self.expect(kelvo("--address", "127.0.0.9", "dio", "read", "KV-108:1", "0"), 0)
        self.assertNotIn(SEARCH_NOTE, run.err, run.describe())
        self.assertEqual(parse_ports(self, run.out), [(0, 0)])
        print(f"\n  kelvo --address 127.0.0.9 dio read KV-108:1 0: {run.seconds * 1000:.0f} ms",
              flush=True)
        run = self.expect(kelvo("--address", "127.0.0.9", "--address", "127.0.0.10", "list"), 0)
        self.assertEqual([line.split()[1] + " " + line.split()[-1]
                          for line in run.out.splitlines()[1:]],
                         ["KV-108 127.0.0.9", "KV-109 127.0.0.10"], run.describe())

        # No unit at the address: not found (2), alike in every command.
        for args in (["dio", "read", "127.0.0.99", "0"], ["aio", "read", "KV-109:1", "0"],
                     ["cou", "read", "KV-111:1", "0"], ["info", "127.0.0.99"],
                     ["mem", "status", "127.0.0.99"], ["raw", "127.0.0.99", "00" * 8],
                     ["watch", "127.0.0.99", "-c", "1"]):
            with self.subTest(args=args):
                run = self.expect(kelvo("--address", "127.0.0.99", *args), 2,
                                  "no unit answered at 127.0.0.99")
                self.assertEqual(run.out, "", run.describe())
        # A unit named by address, of the wrong kind: refused (4).
        self.expect(kelvo("--address", "127.0.0.9", "aio", "read", "127.0.0.9", "0"), 4,
                    "aio read on 127.0.0.9: KV-108 is a bidirectional digital unit")

    def test_dark_addresses_outputs_and_addresses_as_units(self) -> None:
        # Nothing answers in 10.77.0.0/24 (the namespace loses the SYNs): not
        # found within the connect limit, naming the address.
        for args in (["--address", "10.77.0.5", "list"], ["dio", "read", "10.77.0.5", "0"],
                     ["--address", "127.0.0.9", "--address", "10.77.0.6", "list"]):
            with self.subTest(args=args):
                run = self.expect(kelvo(*args), 2, "no unit answered at 10.77.0.")
                self.assertLess(run.seconds, 6.0, run.describe())
                self.assertNotIn(SEARCH_NOTE, run.err, run.describe())
        self.assertIn("KV-108", run.out)  # the unit that answered is still listed
        # A unit given as an address is looked for there only: no broadcast.
        self.expect(kelvo("dio", "write", "127.0.0.9", "1", "0x5A"), 0)
        run = self.expect(kelvo("dio", "read", "127.0.0.9", "--outputs"), 0)
        self.assertNotIn(SEARCH_NOTE, run.err, run.describe())
        self.assertEqual(parse_ports(self, run.out), [(0, 0), (1, 0x5A), (2, 0)])
        # KV-103: port 0 reads, port 1 is its output.
        self.expect(kelvo("dio", "write", "KV-103:1", "1", "0x3C", *self.FIND), 0)
        run = self.expect(kelvo("--json", "dio", "read", "KV-103:1", "--outputs", *self.FIND), 0)
        self.assertEqual(json.loads(run.out)["ports"], [{"port": 1, "value": 0x3C}])
        self.expect(kelvo("dio", "read", "KV-103:1", "0", "--outputs", *self.FIND), 4,
                    "port 0 is no output port of KV-103")

    def test_short_read_reply_is_no_value(self) -> None:
        """A unit that answers a read with fewer data bytes than asked for: its reply
        is refused, not shown with the request's own bytes as values."""
        server = socket.socket()
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind(("127.0.0.70", 10001))
        server.listen(4)
        server.settimeout(RUN_TIMEOUT_S)

        def serve() -> None:
            try:
                while True:
                    conn, _ = server.accept()
                    with conn:
                        while request := conn.recv(256):
                            reply = bytearray(16)
                            reply[0], reply[2] = request[0] | 0x80, request[2]
                            if request[0] == 0x12:  # identification: a KV-108, unit 7
                                reply[4:] = [3] + [0] * 11 + [8, 0, 7]
                            conn.sendall(bytes(reply))  # reads: no data bytes
            except OSError:
                pass

        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        try:
            run = self.expect(kelvo("dio", "read", "127.0.0.70", "--outputs"), 3,
                              "fewer port bytes than asked for")
            self.assertEqual(run.out, "")
        finally:
            server.close()
            thread.join(timeout=RUN_TIMEOUT_S)

    def test_input_set_through_the_control_channel_reads_back(self) -> None:
        self.assertEqual(self.control("set KV-108:1 di 1 0xA5"), "ok")
        self.assertEqual(self.control("set KV-109:1 ai 5 -1234"), "ok")
        run = self.ok("--json", "dio", "read", "KV-108:1", "1")
        self.assertEqual(json.loads(run.out)["ports"], [{"port": 1, "value": 0xA5}])
        run = self.ok("aio", "read", all_models_address("KV-109"), "5")
        self.assertEqual(parse_channels(self, run.out), [(5, -1234)])
        state = self.control("state KV-108:1")
        self.assertTrue(state.startswith("ok "), state)
        self.assertEqual(json.loads(state[3:])["ports"], [0, 0xA5, 0])

        # And through the library, as an application's test would.
        if not LIBRARY:
            self.skipTest("KELVO_LIBRARY not set")
        lib = ctypes.CDLL(LIBRARY)
        lib.Kelvo_Open.restype = ctypes.c_void_p
        lib.Kelvo_Open.argtypes = [ctypes.c_uint32, ctypes.c_uint32]
        lib.Kelvo_ReadDIO.restype = ctypes.c_uint16
        lib.Kelvo_ReadDIO.argtypes = [ctypes.c_void_p, ctypes.c_uint32,
                                      ctypes.POINTER(ctypes.c_uint8)]
        lib.Kelvo_Close.argtypes = [ctypes.c_void_p]
        saved = os.environ.get("WINDIR")
        os.environ["WINDIR"] = os.path.dirname(self.device_list)  # the simulator's list, mode 1
        try:
            self.assertEqual(lib.Kelvo_Initial(), self.UNIT_COUNT)
            handle = lib.Kelvo_Open(8, 1)
            self.assertTrue(handle)
            value = ctypes.c_uint8()
            self.assertEqual(lib.Kelvo_ReadDIO(handle, 1, ctypes.byref(value)), 0)
            self.assertEqual(value.value, 0xA5)
            self.assertEqual(self.control("set 127.0.0.9 di 1 0x3C"), "ok")
            self.assertEqual(lib.Kelvo_ReadDIO(handle, 1, ctypes.byref(value)), 0)
            self.assertEqual(value.value, 0x3C)
            lib.Kelvo_Close(handle)
        finally:
            if saved is None:
                del os.environ["WINDIR"]
            else:
                os.environ["WINDIR"] = saved

    def test_every_command_prints_one_json_document(self) -> None:
        commands = [
            ["list"], ["info", "KV-103:1"], ["raw", "KV-103:1", "12 00 00 00 09 00 00 00"],
            ["dio", "read", "KV-116:1", "--all"], ["dio", "write", "KV-116:1", "4", "0x0F"],
            ["dio", "dir", "KV-116:1", "0xFF"],
            ["aio", "read", "KV-119:1", "3"], ["aio", "write", "KV-120:1", "0", "100"],
            ["aio", "gain", "KV-119:1", "0", "1"],
            ["cou", "read", "KV-111:1", "0"], ["cou", "write", "KV-111:1", "1", "7"],
            ["cou", "mode", "KV-111:1", "1", "0", "0"],
            ["mem", "config", "KV-114:1"], ["mem", "start", "KV-114:1"],
            ["mem", "status", "KV-114:1"], ["mem", "stop", "KV-114:1"],
            ["mem", "seek", "KV-114:1", "8"], ["mem", "write", "KV-114:1", "--hex", "01"],
            ["mem", "read", "KV-114:1", "4"], ["watch", "KV-113:1", "-c", "2", "-i", "10"],
        ]
        for args in commands:
            with self.subTest(args=args):
                run = self.ok("--json", *args)
                document = json.loads(run.out)
                if args[0] != "list":
                    self.assertEqual(document["unit"], args[2] if args[0] in
                                     ("dio", "aio", "cou", "mem") else args[1], run.describe())
        # The option may come anywhere, as every global option.
        self.assertEqual(json.loads(self.ok("cou", "read", "KV-111:1", "1", "--json").out),
                         {"unit": "KV-111:1", "channels": [{"channel": 1, "value": 7}]})

    def test_watch_writes_csv_rows_with_timestamps(self) -> None:
        self.assertEqual(self.control("set KV-111:1 cnt 0 500"), "ok")
        self.assertEqual(self.control("set KV-111:1 cnt 1 0"), "ok")
        path = os.path.join(WORK_DIR, "watch.csv")
        run = self.ok("watch", "KV-111:1", "-c", "3", "-i", "20", "--csv", path)
        self.assertIn("channel 0: 500", run.out)
        with open(path, encoding="ascii") as f:
            rows = f.read().splitlines()
        self.assertEqual(rows[0], "time,channel0,channel1")
        self.assertEqual(len(rows), 4, rows)
        for row in rows[1:]:
            self.assertRegex(row, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d,500,0$")
        # '-' puts the rows on stdout instead of the text.
        run = self.ok("watch", "KV-111:1", "-c", "1", "--csv", "-")
        self.assertRegex(run.out, r"^time,channel0,channel1\n\S+,500,0\n$")


class FaultyUnitsTest(SimulatorTestCase):
    """Units that are found by discovery but fail their command exchanges."""

    SIM_ARGS = [
        # Never answers a command.
        "--unit", "KV-103:2@127.0.0.40", "--fault", "127.0.0.40=drop",
        # Answers every command with status 5 instead of doing it.
        "--unit", "KV-112:3@127.0.0.41", "--fault", "127.0.0.41=status:5",
        # Answers its first command, loses the reply of the second.
        "--unit", "KV-113:4@127.0.0.42", "--fault", "127.0.0.42=drop,after=1,times=1",
    ]
    UNIT_COUNT = 3

    def test_silent_unit_exits_3(self) -> None:
        run = self.expect(self.kelvo("dio", "read", "KV-103:2", "0"), 3,
                          "kelvo: dio read on KV-103:2: unit did not answer")
        self.assertEqual(run.out, "")
        # Found, connected, then the reply wait of 1.5 s ran out.
        self.assertGreater(run.seconds, 1.4, run.describe())

    def test_refusing_unit_exits_3(self) -> None:
        run = self.expect(self.kelvo("info", "KV-112:3"), 3,
                          "kelvo: version request on KV-112:3: unit did not answer")
        # What the list tells is printed before the unit is asked.
        fields = parse_fields(run.out)
        self.assertEqual(fields["model"], "KV-112 (code 12)", run.describe())
        self.assertNotIn("unit version", fields, run.describe())

        run = self.expect(self.kelvo("raw", "127.0.0.41", "12", "00", "00", "00", "09", "00", "00",
                                "00"), 3, "kelvo: raw exchange on 127.0.0.41: unit did not answer")
        self.assertEqual(run.out, "")

    def test_mem_status_of_a_silent_unit_says_so(self) -> None:
        self.expect(self.kelvo("mem", "status", "KV-103:2"), 3,
                    "the sampling status could not be read")

    def test_watch_stops_at_the_first_failed_poll(self) -> None:
        run = self.expect(self.kelvo("watch", "KV-113:4", "--count", "3", "--interval", "100"), 3,
                          "kelvo: watch on KV-113:4: unit did not answer")
        values = [line.split(" ", 1)[1] for line in run.out.splitlines()]
        self.assertEqual(values, [f"port {p}: 0x00 00000000" for p in range(4)], run.describe())


if __name__ == "__main__":
    unittest.main()
