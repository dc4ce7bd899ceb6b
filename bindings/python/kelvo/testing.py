"""Simulated units for tests: run ``kelvo-sim``, find its units, steer them.

::

    from kelvo.testing import Simulator

    with Simulator(["KV-108:1", "KV-109:1"]) as sim:
        units = sim.discover()              # kelvo.discover() on the sim's units only
        with kelvo.open("KV-108:1") as unit:
            sim.command("set KV-108:1 di 0 0x5A")
            assert unit.read_port(0) == 0x5A

The simulator serves its units on loopback addresses and writes a device-list
file whose first line 1 keeps the library from broadcasting;
:meth:`Simulator.discover` points the library at it. ``kelvo-sim`` itself
answers broadcast queries: run tests that broadcast (a plain
:func:`kelvo.discover`) only in a private network namespace, see
:func:`require_private_network`.

The simulator is found through ``KELVO_SIM``, then ``PATH``.
"""

from __future__ import annotations

import ctypes
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections import deque
from typing import Deque, List, Optional, Sequence

__all__ = ["Simulator", "SimulatorError", "require_private_network", "find_simulator"]

READY_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 10.0
CONTROL_TIMEOUT_S = 5.0
COMMAND_PORT = 10001
# Where a simulator without --base-address puts its units: 127.0.0.2 on, or,
# while another simulator has those, 127.0.N.2 on (N = 1, 2, ...).
_BASE_TRIES = 16


class SimulatorError(RuntimeError):
    """kelvo-sim could not be started, did not get ready, or refused a command."""


def require_private_network() -> None:
    """Raise unless ``lo`` is this process's only network interface (Linux)."""
    with open("/proc/net/dev", encoding="ascii") as f:
        names = [line.split(":", 1)[0].strip() for line in f.readlines()[2:]]
    if names != ["lo"]:
        raise SimulatorError(
            "refusing to run: this broadcasts and must run in a private network namespace "
            f"whose only interface is lo (found: {', '.join(names)})")


def find_simulator() -> str:
    """The kelvo-sim to run: ``KELVO_SIM``, else the one on ``PATH``."""
    path = os.environ.get("KELVO_SIM") or shutil.which("kelvo-sim")
    if not path or not os.path.isfile(path):
        raise SimulatorError("kelvo-sim not found: set KELVO_SIM to its path or put it on PATH "
                             f"(KELVO_SIM={os.environ.get('KELVO_SIM', '')!r})")
    return path


def _listener_free(address: str) -> bool:
    """True if nothing listens on the command port at ``address``."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.settimeout(1.0)
        return probe.connect_ex((address, COMMAND_PORT)) != 0


def _relay(stream: "subprocess.IO[str]", said: Deque[str]) -> None:
    for line in stream:
        said.append(line)
        sys.stderr.write(line)
    stream.close()


def _die_with_parent() -> None:
    # PR_SET_PDEATHSIG: should the test process be killed, the simulator
    # gets SIGTERM instead of living on.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)


class Simulator:
    """A running ``kelvo-sim``: started by the constructor, ready when it returns.

    ``units`` are ``"MODEL:UNITID[@ADDRESS][,aux=N]"`` texts (``"KV-108:1"``);
    ``args`` are further command-line options (``["--all-models"]``,
    ``["--fault", RULE]`` ...). ``ini_mode`` is the first line of the
    device-list file it writes (1: no broadcast; None: no file).
    ``control`` opens its control channel for :meth:`command`;
    ``exchange_log`` records every exchange for :meth:`exchanges`.
    Use it as a context manager, or call :meth:`stop`.

    Without ``--base-address`` in ``args`` the units go to 127.0.0.2 and on,
    as ``kelvo-sim`` puts them, or, while another simulator serves those, to
    the first 127.0.N.2 whose addresses are free (:attr:`base_address`).
    The simulator's stderr goes on to this process's stderr; should it end
    before it is ready, :class:`SimulatorError` carries what it said.
    """

    def __init__(self, units: Sequence[str] = (), args: Sequence[str] = (), *,
                 ini_mode: Optional[int] = 1, control: bool = False,
                 exchange_log: bool = False, simulator: Optional[str] = None) -> None:
        self.directory = tempfile.mkdtemp(prefix="kelvo-sim-")
        self.device_list = os.path.join(self.directory, "Kelvo.ini")
        self.control_path = os.path.join(self.directory, "control") if control else None
        self.exchange_log = os.path.join(self.directory, "exchanges") if exchange_log else None
        command = [simulator or find_simulator(), *args]
        for unit in units:
            command += ["--unit", unit]
        if ini_mode is not None:
            command += ["--ini", self.device_list, "--ini-mode", str(ini_mode)]
        if self.control_path:
            command += ["--control", self.control_path]
        if self.exchange_log:
            command += ["--exchange-log", self.exchange_log]
        self._control: Optional[socket.socket] = None
        self._replies = b""
        self.process: Optional[subprocess.Popen] = None
        self.base_address: Optional[str] = None
        """The first address handed to units without one; None when ``args`` set it."""
        choose = "--base-address" not in args
        for attempt in range(_BASE_TRIES if choose else 1):
            base = f"127.0.{attempt}.2"
            if choose and not _listener_free(base):
                continue
            said = self._start(command + (["--base-address", base] if choose else []))
            if self.process is not None:
                self.base_address = base if choose else None
                return
            taken = re.search(r"(\d+\.\d+\.\d+\.\d+):\d+: Address already in use", said)
            # Another base helps only where a unit without an address met it.
            if not (choose and taken and f"@{taken.group(1)}" not in " ".join(command)):
                break
        shutil.rmtree(self.directory, ignore_errors=True)
        raise SimulatorError(f"kelvo-sim ended early: {said.strip() or 'no message'}")

    def _start(self, command: List[str]) -> str:
        """Run the simulator until it is ready; what it said on stderr when it
        ended before (self.process is None then)."""
        process = subprocess.Popen(
            command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
            text=True,
            preexec_fn=_die_with_parent if sys.platform.startswith("linux") else None)
        said: Deque[str] = deque(maxlen=20)
        # Passes stderr on and keeps its last lines for the error message.
        relay = threading.Thread(target=_relay, args=(process.stderr, said), daemon=True)
        relay.start()
        self.process = process
        try:
            status = self._wait_ready()
        except BaseException:
            self.stop()
            raise
        if status is None:
            return ""
        self.process = None
        process.stdout.close()  # type: ignore[union-attr]
        relay.join(STOP_TIMEOUT_S)  # it ends at the end of stderr
        return f"(status {status}) " + "".join(said)

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def _wait_ready(self) -> Optional[int]:
        """None once ready; the exit status if it ended before."""
        assert self.process is not None and self.process.stdout is not None
        deadline = time.monotonic() + READY_TIMEOUT_S
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise SimulatorError("kelvo-sim printed no ready line in time")
            readable, _, _ = select.select([self.process.stdout], [], [], remaining)
            if not readable:
                continue
            line = self.process.stdout.readline()
            if not line:
                return self.process.wait()
            if line.startswith("kelvo-sim: ready"):
                return None

    def discover(self, **kwargs: object) -> list:
        """:func:`kelvo.discover` with this simulator's device-list file."""
        import kelvo

        return kelvo.discover(device_list=self.device_list, **kwargs)  # type: ignore[arg-type]

    def command(self, line: str) -> str:
        """Send one control-channel command; return the reply after ``ok``.

        ``set KV-108:1 di 0 0x5A``, ``down 127.0.0.3``, ``fault add RULE``,
        ``state KV-109:1`` ... An ``error`` reply raises :class:`SimulatorError`.
        """
        if self.control_path is None:
            raise SimulatorError("start the Simulator with control=True to send commands")
        if self._control is None:
            self._control = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self._control.settimeout(CONTROL_TIMEOUT_S)
            self._control.connect(self.control_path)
        self._control.sendall(line.rstrip("\n").encode() + b"\n")
        while b"\n" not in self._replies:
            chunk = self._control.recv(4096)
            if not chunk:
                raise SimulatorError(f"kelvo-sim closed its control channel after {line!r}")
            self._replies += chunk
        reply, self._replies = self._replies.split(b"\n", 1)
        text = reply.decode(errors="replace")
        if text == "ok" or text.startswith("ok "):
            return text[3:]
        raise SimulatorError(f"kelvo-sim: {line!r}: {text}")

    def exchanges(self) -> List[str]:
        """The exchange log so far, one line per exchange (``exchange_log=True``)."""
        if self.exchange_log is None:
            raise SimulatorError("start the Simulator with exchange_log=True")
        try:
            with open(self.exchange_log, encoding="ascii") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def stop(self) -> None:
        """Terminate the simulator and wait for it; safe to call twice."""
        if self._control is not None:
            self._control.close()
            self._control = None
        if self.process is not None:
            process, self.process = self.process, None
            process.terminate()
            try:
                process.wait(timeout=STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            if process.stdout is not None:
                process.stdout.close()
        shutil.rmtree(self.directory, ignore_errors=True)
