"""Runs kelvo-sim for one test: started, waited for, stopped by its own pid.

Discovery broadcasts, so these tests run only in a private network
namespace (scripts/netns-run): require_private_network() refuses anything
else. KELVO_SIM names the simulator, KELVO_LIBRARY the library.
"""

from __future__ import annotations

import ctypes
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from typing import List, Optional

READY_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 10.0


def require_private_network() -> None:
    """Raise unless lo is the only network interface of this process."""
    with open("/proc/net/dev", encoding="ascii") as f:
        names = [line.split(":", 1)[0].strip() for line in f.readlines()[2:]]
    if names != ["lo"]:
        raise RuntimeError(
            "refusing to run: these tests broadcast and must run in a private network "
            f"namespace whose only interface is lo (found: {', '.join(names)}). Run them as "
            "scripts/netns-run python3 -m unittest discover -s python/tests -v"
        )


def required_file(variable: str) -> str:
    """The existing file named by an environment variable, or a clear error."""
    path = os.environ.get(variable, "")
    if not path or not os.path.isfile(path):
        raise RuntimeError(f"set {variable} to the path of an existing file (now {path!r})")
    return path


def _die_with_parent() -> None:
    # PR_SET_PDEATHSIG: should the test process be killed, the simulator
    # gets SIGTERM instead of living on in the namespace.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)


class Simulator:
    """A running kelvo-sim. ``directory`` holds its device-list file when
    ``ini_mode`` is given; point WINDIR there to let the library read it."""

    def __init__(self, args: List[str], ini_mode: Optional[int] = 1) -> None:
        self.directory = tempfile.mkdtemp(prefix="kelvo-py-")
        command = [required_file("KELVO_SIM"), *args]
        if ini_mode is not None:
            command += ["--ini", os.path.join(self.directory, "Kelvo.ini"),
                        "--ini-mode", str(ini_mode)]
        self.process: Optional[subprocess.Popen] = subprocess.Popen(
            command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
            preexec_fn=_die_with_parent)
        try:
            self._wait_ready()
        except BaseException:
            self.stop()
            raise

    def _wait_ready(self) -> None:
        assert self.process is not None and self.process.stdout is not None
        deadline = time.monotonic() + READY_TIMEOUT_S
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise RuntimeError("kelvo-sim printed no ready line in time")
            readable, _, _ = select.select([self.process.stdout], [], [], remaining)
            if not readable:
                continue
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError(f"kelvo-sim ended early (status {self.process.wait()})")
            if line.startswith("kelvo-sim: ready"):
                return

    def stop(self) -> None:
        """Terminate the simulator and wait for it; safe to call twice."""
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
