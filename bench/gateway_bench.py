"""Benchmarks of kelvo-gateway: printed figures, no pass or fail.

    scripts/netns-run python3 bench/gateway_bench.py [BUILD_DIR]

1. latency from an input change (the simulator's control channel) to the
   MQTT message a subscriber gets, 20 units, 100 ms period;
2. the poll cycle of 100 units whose replies each take 5 ms;
3. messages per second with 100 units that change every period;
4. messages saved by report by exception: analog inputs following the
   simulator's waves, published every poll, on every change, and past a
   deadband.

Runs mosquitto, kelvo-sim and the gateway inside the private network namespace
(the gateway broadcasts its discovery query); prints a Markdown table.
"""

from __future__ import annotations

import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from typing import Dict, List

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "gateway"))
import harness  # noqa: E402
from harness import Control, Watcher, stop  # noqa: E402

LATENCY_SAMPLES = 200
STATS_SECONDS = 6
MESSAGE_SECONDS = 5.0

# Models of --count 100 (KV-101..KV-120 in turn, unit IDs 1..5), by what the
# control channel can change: an input port, an output port, a counter.
DIGITAL_INPUTS = [101, 102, 103, 104, 108, 112, 113, 116, 117, 118]
DIGITAL_OUTPUTS = [105, 106, 107, 114, 115]
COUNTERS = [111]


def percentile(values: List[float], q: float) -> float:
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * q))]


def gateway_stats(path: str) -> List[Dict[str, float]]:
    with open(path, encoding="utf-8", errors="replace") as f:
        return [json.loads(line.split("stats ", 1)[1]) for line in f if "stats {" in line]


class Run:
    """A broker, a simulator and a gateway, stopped again at the end."""

    def __init__(self, work: str, sim_args: List[str], period_ms: int,
                 settings: str = "") -> None:
        self.procs: List[subprocess.Popen] = []
        self.procs.append(harness.start_broker(work, persistent=False))
        control = os.path.join(work, "control")
        self.procs.append(harness.start_sim(*sim_args, "--control", control))
        self.control = Control(control)
        self.stderr_path = os.path.join(work, "gateway.err")
        self.stderr = open(self.stderr_path, "w", encoding="utf-8")
        self.watcher = Watcher()
        config = os.path.join(work, "bench.toml")
        with open(config, "w", encoding="utf-8") as f:
            f.write(settings)
        self.procs.append(harness.start_gateway("--id", "bench", "--period", str(period_ms),
                                                "--stats", "1", "--config", config,
                                                stderr=self.stderr))

    def close(self) -> None:
        self.watcher.close()
        self.control.close()
        for proc in reversed(self.procs):
            stop(proc)
        self.stderr.close()


def latency(work: str) -> Dict[str, float]:
    run = Run(work, ["--all-models"], 100)
    try:
        w = run.watcher
        topic = "kelvo/KV-101-1/di/0"
        w.wait_payload(topic, "0", timeout=harness.WAIT_S)
        samples = []
        for i in range(LATENCY_SAMPLES):
            time.sleep(random.uniform(0, 0.1))  # any phase of the poll period
            value = str(i % 255 + 1)
            start = time.monotonic()
            run.control(f"set KV-101:1 di 0 {value}")
            if w.wait_payload(topic, value, timeout=2.0):
                samples.append((w.since(start, topic)[-1][0] - start) * 1000)
        return {"median": statistics.median(samples), "p90": percentile(samples, 0.9),
                "max": max(samples), "samples": len(samples)}
    finally:
        run.close()


def poll_cycle(work: str) -> Dict[str, float]:
    run = Run(work, ["--count", "100", "--fault", "*=delay:5"], 100)
    try:
        time.sleep(STATS_SECONDS + 0.5)
        lines = gateway_stats(run.stderr_path)[1:]  # the first second holds the start
        return {"p50": statistics.median(s["cycle_ms_p50"] for s in lines),
                "p99": max(s["cycle_ms_p99"] for s in lines),
                "max": max(s["cycle_ms_max"] for s in lines),
                "cycles_per_s": statistics.median(s["cycles"] / s["seconds"] for s in lines)}
    finally:
        run.close()


def messages(work: str, period_ms: int) -> Dict[str, float]:
    run = Run(work, ["--count", "100", "--analog-waves"], period_ms)
    stop_driver = threading.Event()

    def drive() -> None:
        """Every period, a new value on every unit the control channel can change."""
        n = 0
        while not stop_driver.is_set():
            n += 1
            commands = []
            for unit_id in range(1, 6):
                commands += [f"set KV-{m}:{unit_id} di 0 {n % 256}" for m in DIGITAL_INPUTS]
                commands += [f"set KV-{m}:{unit_id} do 0 {n % 256}" for m in DIGITAL_OUTPUTS]
                commands += [f"set KV-{m}:{unit_id} cnt 0 {n % 65536}" for m in COUNTERS]
            for c in commands:
                run.control(c)
            time.sleep(period_ms / 1000)

    try:
        time.sleep(2)
        driver = threading.Thread(target=drive, daemon=True)
        driver.start()
        time.sleep(1)
        start = time.monotonic()
        with run.watcher.lock:
            first = len(run.watcher.log)
        time.sleep(MESSAGE_SECONDS)
        with run.watcher.lock:
            received = len(run.watcher.log) - first
        elapsed = time.monotonic() - start
        stop_driver.set()
        driver.join()
        lines = gateway_stats(run.stderr_path)[-4:]
        return {"received_per_s": received / elapsed,
                "published_per_s": statistics.median(s["messages_per_s"] for s in lines),
                "cycle_p99": max(s["cycle_ms_p99"] for s in lines)}
    finally:
        stop_driver.set()
        run.close()


WAVE_UNITS = 5
DEADBAND = 80  # codes: 1 % of the waves' span of 8,000


def exception_messages(work: str, mode: str, slow: bool) -> float:
    """Messages/s on the analog inputs of five KV-109 polled every 100 ms, 16 channels each
    in groups of four: sine, ramp, square and constant, amplitude 4,000 codes; the
    simulator's periods of 1..4 s, or, `slow`, 30..60 s (a plant's temperatures and levels)."""
    units = [f"KV-109:{i}@127.0.6.{i}" for i in range(1, WAVE_UNITS + 1)]
    settings = '[gateway]\npublish = "poll"\n' if mode == "poll" else ""
    if mode == "deadband":
        settings += "".join(f'[unit."KV-109-{i}".ai.{c}]\ndeadband = {DEADBAND}\n'
                            for i in range(1, WAVE_UNITS + 1) for c in range(16))
    run = Run(work, [a for u in units for a in ("--unit", u)] + ["--analog-waves"], 100,
              settings)
    try:
        for i in range(1, WAVE_UNITS + 1) if slow else ():
            for c in range(16):
                wave = ("sine", "ramp", "square", "")[c % 4]
                if wave:
                    run.control(f"wave KV-109:{i} ai {c} {wave} {30000 + 10000 * (c // 4)} 4000")
        time.sleep(2)
        with run.watcher.lock:
            first = len(run.watcher.log)
        start = time.monotonic()
        time.sleep(MESSAGE_SECONDS)
        with run.watcher.lock:
            log = run.watcher.log[first:]
        elapsed = time.monotonic() - start
        return sum("/ai/" in topic for _, topic, _ in log) / elapsed
    finally:
        run.close()


def main() -> None:
    harness.require_private_network()
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    os.environ["KELVO_GATEWAY"] = os.path.join(build, "kelvo-gateway")
    os.environ["KELVO_SIM"] = os.path.join(build, "kelvo-sim")
    with tempfile.TemporaryDirectory(prefix="kelvo-gw-bench.") as work:
        lat = latency(work)
        cyc = poll_cycle(work)
        msg100 = messages(work, 100)
        msg20 = messages(work, 20)
        exc = {(slow, mode): exception_messages(work, mode, slow)
               for slow in (False, True) for mode in ("poll", "change", "deadband")}
    print("| Gateway measurement | Result | Goal |")
    print("|---|---|---|")
    print(f"| input change → MQTT message, 20 units, 100 ms period ({lat['samples']} changes) | "
          f"median {lat['median']:.1f} ms, 90 % {lat['p90']:.1f} ms, max {lat['max']:.1f} ms | "
          "median < 105 ms |")
    print(f"| poll cycle, 100 units, each reply 5 ms late | median {cyc['p50']:.1f} ms, "
          f"99 % {cyc['p99']:.1f} ms, max {cyc['max']:.1f} ms ({cyc['cycles_per_s']:.0f} "
          "cycles/s) | < 10 ms + broker's share |")
    for period, m in ((100, msg100), (20, msg20)):
        print(f"| messages/s, 100 units changing every period, {period} ms period | "
              f"{m['received_per_s']:,.0f} received ({m['published_per_s']:,.0f} published), "
              f"poll cycle 99 % {m['cycle_p99']:.1f} ms | |")
    for slow, waves in ((False, "1..4 s"), (True, "30..60 s")):
        poll, change, deadband = (exc[(slow, m)] for m in ("poll", "change", "deadband"))
        print(f"| analog messages/s, {WAVE_UNITS} units × 16 channels, waves of {waves}, 100 ms "
              f"period: every poll / on change / deadband {DEADBAND} codes | {poll:,.0f} / "
              f"{change:,.0f} / {deadband:,.0f} ({1 - deadband / poll:.0%} saved against every "
              "poll) | |")


if __name__ == "__main__":
    main()
