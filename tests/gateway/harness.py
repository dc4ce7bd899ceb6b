"""What the gateway's test and its benchmark share: the broker, the simulator
and the gateway as processes, a subscriber that keeps every message, and the
simulator's control channel. Everything is started inside the caller's
network namespace and stopped by its pid.

KELVO_GATEWAY and KELVO_SIM name the programs.
"""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import threading
import time
from typing import Callable, Dict, List, Optional, Tuple

BROKER_PORT = 1883
WAIT_S = 10.0


def require_private_network() -> None:
    with open("/proc/net/dev", encoding="ascii") as f:
        names = [line.split(":", 1)[0].strip() for line in f.readlines()[2:]]
    if names != ["lo"]:
        raise RuntimeError("refusing to run: the gateway broadcasts its discovery query; "
                           "run this inside scripts/netns-run")


def stop(proc: Optional[subprocess.Popen], sig: int = signal.SIGTERM) -> Optional[int]:
    """Ends a process started here (by its pid) and returns its exit status."""
    if proc is None:
        return None
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if proc.stdout:
        proc.stdout.close()
    return proc.returncode


def wait_ready(proc: subprocess.Popen, prefix: str) -> str:
    """Waits for the program's ready line on stdout."""
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if line.startswith(prefix):
            return line
        if not line and proc.poll() is not None:
            break
    raise RuntimeError(f"no ready line from {proc.args[0]}")


class Watcher:
    """A mosquitto_sub on PREFIX/#: the latest payload of every topic and every message."""

    def __init__(self, pattern: str = "kelvo/#", port: int = BROKER_PORT) -> None:
        self.lock = threading.Condition()
        self.latest: Dict[str, str] = {}
        self.log: List[Tuple[float, str, str]] = []
        self.proc = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-q", "1",
             "-t", pattern, "-F", "%t %p"],
            stdout=subprocess.PIPE, text=True, errors="replace")
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self) -> None:
        for line in self.proc.stdout:
            topic, _, payload = line.rstrip("\n").partition(" ")
            with self.lock:
                self.latest[topic] = payload
                self.log.append((time.monotonic(), topic, payload))
                self.lock.notify_all()

    def wait(self, check: Callable[[], bool], timeout: float = WAIT_S) -> bool:
        deadline = time.monotonic() + timeout
        with self.lock:
            while not check():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.lock.wait(left)
            return True

    def wait_payload(self, topic: str, payload: str, timeout: float = WAIT_S) -> bool:
        return self.wait(lambda: self.latest.get(topic) == payload, timeout)

    def since(self, start: float, topic: str) -> List[Tuple[float, str]]:
        with self.lock:
            return [(t, p) for t, tp, p in self.log if tp == topic and t >= start]

    def close(self) -> None:
        # The reader ends at the end of the pipe; close the pipe after it.
        self.proc.terminate()
        self.proc.wait(timeout=WAIT_S)
        self.thread.join(timeout=WAIT_S)
        stop(self.proc)


class Lines:
    """Every line a process writes to a pipe (its stderr, say), kept as it comes."""

    def __init__(self, stream) -> None:
        self.lock = threading.Condition()
        self.lines: List[str] = []
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream) -> None:
        for line in stream:
            with self.lock:
                self.lines.append(line.rstrip("\n"))
                self.lock.notify_all()

    def wait(self, check: Callable[[List[str]], bool], timeout: float = WAIT_S) -> bool:
        deadline = time.monotonic() + timeout
        with self.lock:
            while not check(self.lines):
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.lock.wait(left)
            return True

    def count(self, text: str) -> int:
        with self.lock:
            return sum(text in line for line in self.lines)


def snapshot(seconds: float = 1.0) -> Dict[str, str]:
    """The retained messages a new subscriber gets."""
    w = Watcher()
    time.sleep(seconds)
    w.close()
    with w.lock:
        return dict(w.latest)


def publish(topic: str, payload: str | bytes, retain: bool = False,
            port: int = BROKER_PORT) -> None:
    args = ["mosquitto_pub", "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-t", topic]
    if retain:
        args.append("-r")
    if isinstance(payload, bytes):
        subprocess.run(args + ["-s"], input=payload, check=True, timeout=WAIT_S)
    else:
        subprocess.run(args + ["-m", payload], check=True, timeout=WAIT_S)


class Control:
    """The simulator's control channel: one command, one reply line."""

    def __init__(self, path: str) -> None:
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(WAIT_S)
        self.sock.connect(path)
        self.reader = self.sock.makefile("r", encoding="ascii")

    def __call__(self, command: str) -> str:
        self.sock.sendall(command.encode() + b"\n")
        reply = self.reader.readline().strip()
        if not reply.startswith("ok"):
            raise RuntimeError(f"{command}: {reply}")
        return reply[3:]

    def close(self) -> None:
        self.reader.close()
        self.sock.close()


def start_broker(work: str, persistent: bool, port: int = BROKER_PORT,
                 bridge_to: Optional[int] = None, extra: str = "") -> subprocess.Popen:
    """mosquitto on 127.0.0.1:PORT; with `persistent`, its store is kept in WORK/store;
    with `bridge_to`, it bridges kelvo/# both ways to the broker on that port; `extra`:
    more lines of its configuration."""
    conf = os.path.join(work, f"mosquitto-{port}.conf")
    with open(conf, "w", encoding="ascii") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\n{extra}")
        if bridge_to:
            f.write(f"connection plant\naddress 127.0.0.1:{bridge_to}\n"
                    "topic kelvo/# both 1\n")
        if persistent:
            # mosquitto started as root saves as its own user.
            os.chmod(work, 0o755)
            store = os.path.join(work, "store")
            os.makedirs(store, exist_ok=True)
            os.chmod(store, 0o777)
            f.write(f"persistence true\npersistence_location {store}/\n")
    log = os.path.join(work, f"mosquitto-{port}.log")
    with open(log, "wb") as out:
        broker = subprocess.Popen(["mosquitto", "-c", conf, "-v"], stdout=out,
                                  stderr=subprocess.STDOUT)
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        probe = subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(port),
                                "-t", "probe", "-n"], capture_output=True)
        if probe.returncode == 0:
            return broker
        time.sleep(0.05)
    stop(broker)
    with open(log, encoding="utf-8", errors="replace") as f:
        raise RuntimeError("mosquitto did not start:\n" + f.read()[-2000:])


def start_sim(*args: str) -> subprocess.Popen:
    sim = subprocess.Popen([os.environ["KELVO_SIM"], *args], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    wait_ready(sim, "kelvo-sim: ready")
    return sim


def start_gateway(*args: str, stderr=subprocess.DEVNULL,
                  broker: Optional[str] = f"127.0.0.1:{BROKER_PORT}") -> subprocess.Popen:
    """The gateway, on the test broker unless `broker` is None (then its settings say)."""
    broker_args = ["--broker", broker] if broker else []
    gw = subprocess.Popen([os.environ["KELVO_GATEWAY"], *broker_args, *args],
                          stdout=subprocess.PIPE, stderr=stderr, text=True)
    wait_ready(gw, "kelvo-gateway: ready")
    return gw
