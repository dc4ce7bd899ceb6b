"""Benchmarks of kelvo-gateway: printed figures, no pass or fail.

    scripts/netns-run python3 bench/gateway_bench.py [BUILD_DIR] [SECTION...]

1. latency from an input change (the simulator's control channel) to the
   MQTT message a subscriber gets, 20 units, 100 ms period;
2. the poll cycle of 100 units whose replies each take 5 ms;
3. messages per second with 100 units that change every period;
4. messages saved by report by exception: analog inputs following the
   simulator's waves, published every poll, on every change, and past a
   deadband;
5. commands first: from a `/set` publish to its confirmation on the output's
   topic, 100 units polled every period, each reply 5 ms late;
6. 1,000 units found by broadcast, 100 ms period, Home Assistant discovery on:
   time until all are online, the gateway's CPU, RSS and threads, the poll
   cycle, and the publish rate of a burst (Home Assistant's `online`, which
   makes the gateway publish every discovery config again);
7. Modbus TCP: 125-register reads with 1 and 32 clients, requests/s and
   latency, beside libmodbus's own server on the same machine
   (kelvo-bench-modbus-load, repetitions in rotating order; the clients
   pinned to one CPU, the server, the whole gateway included, to the other).
8. the web face (section `web`; needs Debian's python3 for selenium): one
   /api/events client with 100 units changing every 100 ms period, the CPU
   of twenty such clients against none, and the time until the dashboard
   shows its units in headless chromium.
9. fault isolation (`dead`): the poll cycle of 99 units with one unit dead
   (every reply lost) against none, in turns;
10. the fault soak (`soak`, about two minutes, run only when named): 100
   units, 10,000 faults through the control channel (one-shot fault rules,
   units held down and brought back, restarts): how soon a unit brought
   back is online, reconnects, the gateway's threads and sockets, and
   whether every unit is online and polled at the end. KELVO_SOAK_SEED
   repeats a run's faults.
11. store-and-forward with the Sparkplug face (`store`): the replay rate
   after a broker outage, the disk bytes per stored change, and the CPU the
   store takes while the broker is up.

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
import fault_soak  # noqa: E402
import harness  # noqa: E402
from harness import Control, Watcher, stop  # noqa: E402

LATENCY_SAMPLES = 200
COMMAND_SAMPLES = 300
REPLY_DELAY_MS = 5
LARGE_COUNT = 1000
LARGE_SECONDS = 10
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


def command_latency(work: str) -> Dict[str, float]:
    """`/set` publish → the output's topic carries the new value, 100 units polled every
    100 ms with replies 5 ms late and analog waves running; the commands go to 10 units
    in turn, each at any phase of the poll period, through publishers kept open."""
    run = Run(work, ["--count", "100", "--analog-waves", "--fault",
                     f"*=delay:{REPLY_DELAY_MS}"], 100)
    units = [f"KV-{m}-{i}" for m in DIGITAL_OUTPUTS for i in (1, 2)]
    publishers = {u: subprocess.Popen(
        ["mosquitto_pub", "-h", "127.0.0.1", "-p", str(harness.BROKER_PORT), "-q", "1",
         "-t", f"kelvo/{u}/do/0/set", "-l"], stdin=subprocess.PIPE, text=True) for u in units}
    try:
        w = run.watcher
        w.wait(lambda: all(w.latest.get(f"kelvo/{u}/state") == "online" for u in units))
        time.sleep(1)
        samples = []
        for i in range(COMMAND_SAMPLES):
            time.sleep(random.uniform(0, 0.1))
            unit = units[i % len(units)]
            topic, value = f"kelvo/{unit}/do/0", str(i % 255 + 1)
            start = time.monotonic()
            publishers[unit].stdin.write(value + "\n")
            publishers[unit].stdin.flush()
            if w.wait_payload(topic, value, timeout=2.0):
                samples.append((next(t for t, p in w.since(start, topic) if p == value) -
                                start) * 1000)
        reply = statistics.median(s["cycle_ms_p50"] for s in gateway_stats(run.stderr_path)[1:])
        return {"p50": statistics.median(samples), "p99": percentile(samples, 0.99),
                "max": max(samples), "samples": len(samples), "reply": reply}
    finally:
        for p in publishers.values():
            p.stdin.close()
            stop(p)
        run.close()


def proc_times(pid: int) -> float:
    """User plus system CPU seconds of a process."""
    with open(f"/proc/{pid}/stat", encoding="ascii") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_status(pid: int) -> Dict[str, int]:
    with open(f"/proc/{pid}/status", encoding="ascii") as f:
        rows = dict(line.split(":", 1) for line in f if ":" in line)
    return {"rss_mb": int(rows["VmRSS"].split()[0]) / 1024, "threads": int(rows["Threads"])}


def large(work: str) -> Dict[str, float]:
    """1,000 simulated units found by broadcast, every face on."""
    procs = [harness.start_broker(work, persistent=False)]
    procs.append(harness.start_sim("--count", str(LARGE_COUNT)))
    w = Watcher("kelvo/+/state")
    burst_log = os.path.join(work, "burst.log")
    config = os.path.join(work, "large.toml")
    with open(config, "w", encoding="utf-8") as f:
        f.write("[homeassistant]\nenabled = true\n")
        # Every face on, the web and Modbus faces without clients.
        f.write(f'[http]\nlisten = "127.0.0.1:{WEB_PORT}"\n'
                f'[modbus]\nlisten = "127.0.0.1:{MODBUS_PORT}"\n[sparkplug]\nenabled = true\n')
    err = open(os.path.join(work, "large.err"), "w", encoding="utf-8")
    try:
        start = time.monotonic()
        gw = subprocess.Popen([os.environ["KELVO_GATEWAY"], "--broker",
                               f"127.0.0.1:{harness.BROKER_PORT}", "--id", "bench", "--period",
                               "100", "--stats", "1", "--config", config],
                              stdout=subprocess.DEVNULL, stderr=err)
        procs.append(gw)
        online = lambda: sum(p == "online" for p in w.latest.values())  # noqa: E731
        w.wait(lambda: online() >= LARGE_COUNT, timeout=60)
        result = {"online_s": time.monotonic() - start, "online": online()}
        time.sleep(2)
        first_stats = len(gateway_stats(err.name))
        cpu0, t0 = proc_times(gw.pid), time.monotonic()
        time.sleep(LARGE_SECONDS)
        result["cpu"] = (proc_times(gw.pid) - cpu0) / (time.monotonic() - t0)
        result.update(proc_status(gw.pid))
        lines = gateway_stats(err.name)[first_stats:]
        result["cycle_p50"] = statistics.median(s["cycle_ms_p50"] for s in lines)
        result["cycle_p99"] = statistics.median(s["cycle_ms_p99"] for s in lines)
        result["cycle_p99_worst"] = max(s["cycle_ms_p99"] for s in lines)
        result["cycle_max"] = max(s["cycle_ms_max"] for s in lines)
        # The burst: every discovery config again, as fast as the gateway publishes.
        with open(burst_log, "w", encoding="ascii") as out:
            sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p",
                                    str(harness.BROKER_PORT), "-t", "homeassistant/#", "-R",
                                    "-F", "%U"], stdout=out)
            procs.append(sub)
            time.sleep(1)
            harness.publish("homeassistant/status", "online")
            size = -1
            while size != os.path.getsize(burst_log):  # until a second passes without one
                size = os.path.getsize(burst_log)
                time.sleep(1)
        with open(burst_log, encoding="ascii") as f:
            stamps = [float(line) for line in f if line.strip()]
        result["rss_after_mb"] = proc_status(gw.pid)["rss_mb"]
        result["burst"] = len(stamps)
        result["burst_per_s"] = (len(stamps) - 1) / max(stamps[-1] - stamps[0], 1e-9)
        return result
    finally:
        w.close()
        for proc in reversed(procs):
            stop(proc)
        err.close()


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


STORE_UNITS = 100
STORE_OUTAGE_S = 10
STORE_CPU_S = 10


def thread_times(pid: int) -> Dict[str, float]:
    """CPU seconds of a process's threads, summed by thread name."""
    times: Dict[str, float] = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat", encoding="ascii") as f:
                stat = f.read()
        except OSError:
            continue
        name = stat.split("(", 1)[1].rsplit(")", 1)[0]
        fields = stat.rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        times[name] = times.get(name, 0.0) + cpu
    return times


def store(work: str) -> Dict[str, float]:
    """100 units changing every 20 ms, Sparkplug alone, the store on disk:
    the store's CPU while the broker is up, then an outage, the rows and bytes it leaves,
    and how fast they go out after the reconnect."""
    db = os.path.join(work, "store.db")
    extra = "max_queued_messages 0\n"  # the subscriber must not lose the replay
    procs = [harness.start_broker(work, persistent=False, extra=extra)]
    control_path = os.path.join(work, "control")
    procs.append(harness.start_sim("--count", str(STORE_UNITS), "--control", control_path))
    control = Control(control_path)
    config = os.path.join(work, "store.toml")
    with open(config, "w", encoding="utf-8") as f:
        # Sparkplug alone: every row of the store is one DDATA.
        f.write(f'[sparkplug]\nenabled = true\ngroup_id = "bench"\nplain_topics = false\n'
                f'[store]\npath = "{db}"\n')
    err_path = os.path.join(work, "store.err")
    err = open(err_path, "w", encoding="utf-8")
    stop_driver = threading.Event()

    def drive() -> None:
        value = 0
        while not stop_driver.is_set():
            value = (value + 1) % 256
            for unit in range(STORE_UNITS):
                model = 101 + unit % 20
                ident = f"KV-{model}:{unit // 20 + 1}"
                if model in DIGITAL_INPUTS:
                    control(f"set {ident} di 0 {value}")
                elif model in DIGITAL_OUTPUTS:
                    control(f"set {ident} do 0 {value}")
            time.sleep(0.02)

    gw = harness.start_gateway("--id", "bench", "--period", "20", "--stats", "1", "--config",
                               config, stderr=err)
    driver = threading.Thread(target=drive)
    try:
        time.sleep(2.0)
        driver.start()
        time.sleep(1.0)
        live_log = os.path.join(work, "live.log")
        with open(live_log, "w", encoding="ascii") as out:
            live = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-t",
                                     "spBv1.0/bench/DDATA/#", "-F", "%U"], stdout=out)
            time.sleep(0.5)
            before, t0 = thread_times(gw.pid), time.monotonic()
            time.sleep(STORE_CPU_S)
            after, t1 = thread_times(gw.pid), time.monotonic()
            stop(live)
        with open(live_log, encoding="ascii") as f:
            stamps = [float(line) for line in f if line.strip()]
        used = {name: after.get(name, 0.0) - before.get(name, 0.0) for name in after}
        total = sum(used.values())
        result = {"cpu_total": total / (t1 - t0),
                  "writer_share": used.get("kelvo-store", 0.0) / total,
                  "forward_share": used.get("kelvo-forward", 0.0) / total}
        result["ddata_per_s"] = len(stamps) / (stamps[-1] - stamps[0]) if len(stamps) > 1 else 0
        stats = gateway_stats(err_path)
        result["stored_while_up"] = stats[-1]["store_put"] - stats[-11]["store_put"]

        stop(procs[0])
        time.sleep(STORE_OUTAGE_S)
        stop_driver.set()
        driver.join()
        time.sleep(1.5)
        rows = gateway_stats(err_path)[-1]["store_rows"]
        files = [db, db + "-wal"]
        result["rows"] = rows
        result["bytes_per_row"] = sum(os.path.getsize(f) for f in files if os.path.exists(f)) / rows
        result["db_bytes_per_row"] = os.path.getsize(db) / rows

        procs[0] = harness.start_broker(work, persistent=False, extra=extra)
        log = os.path.join(work, "replay.log")
        with open(log, "w", encoding="ascii") as out:
            sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-t",
                                    "spBv1.0/bench/DDATA/#", "-F", "%U", "-C", str(rows)],
                                   stdout=out)
            try:
                sub.wait(timeout=90)
            except subprocess.TimeoutExpired:
                sub.kill()
                sub.wait()
        with open(log, encoding="ascii") as f:
            times = [float(line) for line in f if line.strip()]
        result["received"] = len(times)
        result["replay_per_s"] = (len(times) - 1) / (times[-1] - times[0]) if len(times) > 1 else 0
        return result
    finally:
        stop_driver.set()
        if driver.is_alive():
            driver.join()
        stop(gw)
        control.close()
        for proc in reversed(procs):
            stop(proc)
        err.close()


def store_rows(work: str) -> List[str]:
    r = store(work)
    return [
        f"| the store's CPU while the broker is up: {STORE_UNITS} units polled and changing "
        f"every 20 ms, Sparkplug alone, {r['ddata_per_s']:,.0f} DDATA/s (gateway "
        f"{r['cpu_total']:.2f} core) | store writer {r['writer_share'] * 100:.1f} % of the "
        f"gateway's CPU, {r['stored_while_up']} changes stored in the last 10 s (live changes "
        f"skip the disk); the Sparkplug sender, encoding and publishing: "
        f"{r['forward_share'] * 100:.1f} % | < 5 % |",
        f"| disk per stored change after a {STORE_OUTAGE_S} s outage ({r['rows']:,} changes) | "
        f"{r['bytes_per_row']:.0f} bytes (database + WAL; {r['db_bytes_per_row']:.0f} in the "
        "database alone) | |",
        f"| replay after the reconnect, to a subscriber ({r['received']:,} of {r['rows']:,} "
        f"DDATA) | {r['replay_per_s']:,.0f} messages/s | ≥ 20,000 messages/s |"]


def latency_rows(work: str) -> List[str]:
    lat = latency(work)
    return [f"| input change → MQTT message, 20 units, 100 ms period ({lat['samples']} changes) "
            f"| median {lat['median']:.1f} ms, 90 % {lat['p90']:.1f} ms, max {lat['max']:.1f} ms"
            " | median < 105 ms |"]


def cycle_rows(work: str) -> List[str]:
    cyc = poll_cycle(work)
    return [f"| poll cycle, 100 units, each reply 5 ms late | median {cyc['p50']:.1f} ms, "
            f"99 % {cyc['p99']:.1f} ms, max {cyc['max']:.1f} ms ({cyc['cycles_per_s']:.0f} "
            "cycles/s) | < 10 ms + broker's share |"]


def message_rows(work: str) -> List[str]:
    rows = []
    for period in (100, 20):
        m = messages(work, period)
        rows.append(f"| messages/s, 100 units changing every period, {period} ms period | "
                    f"{m['received_per_s']:,.0f} received ({m['published_per_s']:,.0f} "
                    f"published), poll cycle 99 % {m['cycle_p99']:.1f} ms | |")
    return rows


def exception_rows(work: str) -> List[str]:
    rows = []
    for slow, waves in ((False, "1..4 s"), (True, "30..60 s")):
        poll, change, deadband = (exception_messages(work, m, slow)
                                  for m in ("poll", "change", "deadband"))
        rows.append(f"| analog messages/s, {WAVE_UNITS} units × 16 channels, waves of {waves}, "
                    f"100 ms period: every poll / on change / deadband {DEADBAND} codes | "
                    f"{poll:,.0f} / {change:,.0f} / {deadband:,.0f} ({1 - deadband / poll:.0%} "
                    "saved against every poll) | |")
    return rows


def command_rows(work: str) -> List[str]:
    cmd = command_latency(work)
    return [f"| `/set` publish → confirmation, 100 units polled every 100 ms, each reply "
            f"{REPLY_DELAY_MS} ms late ({cmd['samples']} commands) | median {cmd['p50']:.1f} ms,"
            f" 99 % {cmd['p99']:.1f} ms, max {cmd['max']:.1f} ms | 99 % ≤ reply "
            f"({cmd['reply']:.1f} ms) + 20 ms = {cmd['reply'] + 20:.1f} ms |"]


def large_rows(work: str) -> List[str]:
    big = large(work)
    return [
        f"| {LARGE_COUNT:,} units found by broadcast, 100 ms period: start → all online | "
        f"{big['online_s']:.1f} s ({big['online']} online) | 3 s |",
        f"| the same, gateway CPU (every face on: MQTT, Home Assistant, web, Modbus, Sparkplug)"
        f" | {big['cpu']:.2f} core "
        f"({big['cpu'] / (LARGE_COUNT * 10) * 1e6:.0f} µs per poll), {big['threads']} "
        "threads | 0.25 core |",
        f"| the same, gateway RSS | {big['rss_mb']:.0f} MB ({big['rss_after_mb']:.0f} MB after the"
        " burst below) | ≤ 64 MB |",
        f"| the same, poll cycle | median {big['cycle_p50']:.1f} ms, 99 % "
        f"{big['cycle_p99']:.1f} ms (worst second {big['cycle_p99_worst']:.1f} ms), max "
        f"{big['cycle_max']:.1f} ms | 99 % ≤ 100 ms |",
        f"| burst publish to mosquitto ({big['burst']:,} discovery configs again) | "
        f"{big['burst_per_s']:,.0f} messages/s | ≥ 30,000 messages/s |"]


MODBUS_PORT = 15020
MODBUS_SECONDS = 2.0
MODBUS_REPS = 3
# The clients on one CPU, the server (the whole gateway, or libmodbus's) on
# the other: left to the scheduler, a round trip on loopback costs several
# times more or less from run to run, as the two land on one CPU or two.
MODBUS_CPUS = os.environ.get("KELVO_BENCH_CPUS", "0,1").split(",")


def modbus_load(build: str, port: int, unit: int, clients: int) -> Dict[str, float]:
    out = subprocess.run(["taskset", "-c", MODBUS_CPUS[0],
                          os.path.join(build, "kelvo-bench-modbus-load"), "read",
                          f"127.0.0.1:{port}", str(unit), "100", "125", str(clients),
                          str(MODBUS_SECONDS)], capture_output=True, text=True, check=True,
                         timeout=60).stdout
    return json.loads(out)


def modbus_rows(work: str) -> List[str]:
    build = os.path.dirname(os.environ["KELVO_GATEWAY"])
    run = Run(work, ["--all-models"], 100,
              f'[units]\nrescan_s = 0\n[modbus]\nlisten = "127.0.0.1:{MODBUS_PORT}"\n')
    subprocess.run(["taskset", "-a", "-p", "-c", MODBUS_CPUS[1], str(run.procs[-1].pid)],
                   check=True, capture_output=True)
    anchor = subprocess.Popen(["taskset", "-c", MODBUS_CPUS[1],
                               os.path.join(build, "kelvo-bench-modbus-load"), "serve",
                               f"127.0.0.1:{MODBUS_PORT + 1}"], stdout=subprocess.PIPE, text=True)
    rows = []
    try:
        harness.wait_ready(anchor, "kelvo-bench-modbus-load: ready")
        for clients in (1, 32):
            # KV-109-1 (unit 9): 16 analog codes, then the map's gap, read as one block.
            results: Dict[str, List[Dict[str, float]]] = {"gateway": [], "libmodbus": []}
            for rep in range(MODBUS_REPS):
                order = [("gateway", MODBUS_PORT, 9), ("libmodbus", MODBUS_PORT + 1, 1)]
                for name, port, unit in order[rep % 2:] + order[:rep % 2]:
                    results[name].append(modbus_load(build, port, unit, clients))
            med = {name: {key: statistics.median(r[key] for r in runs) for key in runs[0]}
                   for name, runs in results.items()}
            gw, lm = med["gateway"], med["libmodbus"]
            rows.append(
                f"| Modbus TCP, 125-register reads, {clients} client{'s' if clients > 1 else ''}"
                f" (median of {MODBUS_REPS} × {MODBUS_SECONDS:.0f} s) | gateway "
                f"{gw['requests_per_s']:,.0f} requests/s, p50 {gw['p50_us'] / 1000:.2f} ms, p99 "
                f"{gw['p99_us'] / 1000:.2f} ms; libmodbus server {lm['requests_per_s']:,.0f} "
                f"requests/s, p99 {lm['p99_us'] / 1000:.2f} ms; ratio "
                f"{gw['requests_per_s'] / lm['requests_per_s']:.2f}"
                f"{'' if gw['errors'] == 0 else ', errors ' + str(gw['errors'])} | ≥ 0.8 × "
                "libmodbus, p99 ≤ 1 ms |")
    finally:
        stop(anchor)
        run.close()
    return rows


WEB_PORT = 18080
WEB_SECONDS = 6.0
WEB_CLIENTS = 20
WEB_LOADS = 10
WEB_ROUNDS = 3


class EventReader:
    """An /api/events stream on a thread: (arrival, data) of every point event."""

    def __init__(self, keep: bool) -> None:
        import socket
        self.sock = socket.create_connection(("127.0.0.1", WEB_PORT), timeout=harness.WAIT_S)
        self.sock.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        self.keep = keep
        self.events: List[tuple] = []
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self) -> None:
        buffer = b""
        try:
            while True:
                chunk = self.sock.recv(1 << 16)
                if not chunk:
                    return
                if not self.keep:
                    continue
                now = time.time()
                buffer += chunk
                *events, buffer = buffer.split(b"\n\n")
                for e in events:
                    for line in e.split(b"\n"):
                        if line.startswith(b"data: {") and b'"point"' in line:
                            self.events.append((now, json.loads(line[6:])))
        except OSError:
            return

    def close(self) -> None:
        import socket
        self.sock.shutdown(socket.SHUT_RDWR)
        self.sock.close()
        self.thread.join(timeout=harness.WAIT_S)


def web_events(work: str) -> Dict[str, float]:
    """One stream with 100 units changing every period; then the gateway's CPU with twenty
    streams against none."""
    run = Run(work, ["--count", "100", "--analog-waves"], 100,
              f'[http]\nlisten = "127.0.0.1:{WEB_PORT}"\n')
    stop_driver = threading.Event()
    driven: Dict[tuple, List[tuple]] = {}

    def drive() -> None:
        n = 0
        while not stop_driver.is_set():
            n += 1
            for unit_id in range(1, 6):
                for models, kind, wrap in ((DIGITAL_INPUTS, "di", 256), (DIGITAL_OUTPUTS, "do", 256),
                                           (COUNTERS, "cnt", 65536)):
                    for m in models:
                        run.control(f"set KV-{m}:{unit_id} {kind} 0 {n % wrap}")
                        driven.setdefault((f"KV-{m}-{unit_id}", f"{kind}/0"), []).append(
                            (time.time(), n % wrap))
            time.sleep(0.1)

    def cpu_over(seconds: float) -> float:
        pid = run.procs[-1].pid
        before, start = proc_times(pid), time.monotonic()
        time.sleep(seconds)
        return (proc_times(pid) - before) / (time.monotonic() - start)

    try:
        time.sleep(2)
        driver = threading.Thread(target=drive, daemon=True)
        driver.start()
        time.sleep(1)
        reader = EventReader(keep=True)
        time.sleep(1)
        driven.clear()
        time.sleep(WEB_SECONDS)
        stop_driver.set()
        driver.join()
        time.sleep(0.5)
        reader.close()
        got: Dict[tuple, List[tuple]] = {}
        lags, reads = [], []
        for arrival, e in reader.events:
            key = (e["unit"], e["point"])
            got.setdefault(key, []).append((arrival, e["raw"]))
            reads.append((arrival - e["at"] / 1000) * 1000)
        sent = seen = 0
        for key, values in driven.items():
            arrivals = got.get(key, [])
            for t, v in values:
                sent += 1
                later = [a for a, raw in arrivals if raw == v and a >= t]
                if later:
                    seen += 1
                    lags.append((later[0] - t) * 1000)
        # CPU: the same load, no stream against twenty.
        stop_driver.clear()
        driver = threading.Thread(target=drive, daemon=True)
        driver.start()
        time.sleep(1)
        # Alternated, so that the machine's other load falls on both alike.
        idle = busy = 0.0
        for _ in range(WEB_ROUNDS):
            idle += cpu_over(WEB_SECONDS) / WEB_ROUNDS
            readers = [EventReader(keep=False) for _ in range(WEB_CLIENTS)]
            time.sleep(1)
            busy += cpu_over(WEB_SECONDS) / WEB_ROUNDS
            for r in readers:
                r.close()
            time.sleep(0.5)
        stop_driver.set()
        driver.join()
        return {"sent": sent, "seen": seen, "lag_p50": statistics.median(lags),
                "lag_p99": percentile(lags, 0.99), "read_p50": statistics.median(reads),
                "read_p99": percentile(reads, 0.99), "read_max": max(reads),
                "events_per_s": len(reader.events) / (WEB_SECONDS + 1.5),
                "cpu_none": idle, "cpu_clients": busy}
    finally:
        stop_driver.set()
        run.close()


def dashboard_ready(work: str) -> Dict[str, float]:
    """DOM loaded and the overview's units shown, in headless chromium, 20 units."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.ui import WebDriverWait
    run = Run(work, ["--all-models"], 100, f'[http]\nlisten = "127.0.0.1:{WEB_PORT}"\n')
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                f"--user-data-dir={work}/chromium"):
        options.add_argument(arg)
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        dom, ready = [], []
        for _ in range(WEB_LOADS + 1):
            browser.get("about:blank")
            browser.get(f"http://127.0.0.1:{WEB_PORT}/")
            WebDriverWait(browser, harness.WAIT_S).until(
                lambda b: b.execute_script("return document.body.dataset.ready") == "1")
            units = browser.execute_script(
                "return document.querySelectorAll('#units tbody tr').length")
            timing = browser.execute_script(
                "const n = performance.getEntriesByType('navigation')[0];"
                "return [n.domContentLoadedEventEnd, Number(document.body.dataset.readyMs)];")
            assert units == 20, units
            dom.append(timing[0])
            ready.append(timing[1])
        # The first load fills chromium's caches.
        return {"dom": statistics.median(dom[1:]), "ready": statistics.median(ready[1:]),
                "ready_max": max(ready[1:])}
    finally:
        browser.quit()
        run.close()


def web_rows(work: str) -> List[str]:
    ev = web_events(work)
    cost = ev["cpu_clients"] / ev["cpu_none"] - 1 if ev["cpu_none"] else 0
    try:
        page = dashboard_ready(work)
        page_row = (f"| dashboard in headless chromium, 20 units: DOM loaded / units shown "
                    f"(median of {WEB_LOADS} loads) | {page['dom']:.0f} ms / "
                    f"{page['ready']:.0f} ms (max {page['ready_max']:.0f} ms) | ≤ 300 ms |")
    except ImportError:
        page_row = ("| dashboard in headless chromium | not measured: no selenium in this Python "
                    "(Debian's /usr/bin/python3 has it) | ≤ 300 ms |")
    return [
        f"| /api/events, 1 client, 100 units changing every 100 ms period: changes received | "
        f"{ev['seen']:,} of {ev['sent']:,} driven ({ev['seen'] / max(1, ev['sent']):.1%}), "
        f"{ev['events_per_s']:,.0f} events/s | every change |",
        f"| the same, point read → event at the client | median {ev['read_p50']:.1f} ms, 99 % "
        f"{ev['read_p99']:.1f} ms, max {ev['read_max']:.1f} ms (input set → event: median "
        f"{ev['lag_p50']:.1f} ms, 99 % {ev['lag_p99']:.1f} ms) | ≤ 100 ms (one period) |",
        f"| the same, gateway CPU with {WEB_CLIENTS} event clients against none | "
        f"{ev['cpu_clients']:.3f} against {ev['cpu_none']:.3f} core ({cost:+.1%}) | ≤ +10 % |",
        page_row]


SOAK_UNITS = 100
SOAK_FAULTS = 10000
SOAK_RATE = 125  # faults per second: 80 s
DEAD_PHASES = 6
DEAD_PHASE_S = 4
DEAD_UNIT = "KV-109:1"


def dead_unit(work: str) -> Dict[str, float]:
    """The others' poll cycle (answered polls only) with one unit whose every reply is
    lost, against all answering, in turns (the machine's load changes meanwhile)."""
    run = Run(work, ["--count", str(SOAK_UNITS)], 100)
    units = fault_soak.counted_units(SOAK_UNITS)
    try:
        w = run.watcher
        w.wait(lambda: fault_soak.all_online(w, units), timeout=30)
        time.sleep(1)
        p99: Dict[str, List[float]] = {"none": [], "dead": []}
        for i in range(DEAD_PHASES):
            phase = ("none", "dead")[i % 2]
            rule = run.control(f"fault add {DEAD_UNIT}=drop") if phase == "dead" else None
            time.sleep(1)  # the dead unit's worker is in its first wait by now
            first = len(gateway_stats(run.stderr_path))
            time.sleep(DEAD_PHASE_S)
            p99[phase] += [s["cycle_ms_p99"] for s in gateway_stats(run.stderr_path)[first:]]
            if rule:
                run.control(f"fault clear {rule}")
        return {k: statistics.median(v) for k, v in p99.items()}
    finally:
        run.close()


def dead_rows(work: str) -> List[str]:
    d = dead_unit(work)
    return [f"| the other units' poll cycle 99 % (median over seconds), {SOAK_UNITS} units, one "
            f"dead (every reply lost) against none | {d['dead']:.2f} ms against {d['none']:.2f}"
            f" ms ({d['dead'] - d['none']:+.2f} ms) | at most + 1 ms |"]


def soak(work: str) -> Dict[str, object]:
    seed = int(os.environ.get("KELVO_SOAK_SEED", random.randrange(1 << 31)))
    run = Run(work, ["--count", str(SOAK_UNITS)], 100)
    units = fault_soak.counted_units(SOAK_UNITS)
    try:
        w = run.watcher
        w.wait(lambda: fault_soak.all_online(w, units), timeout=30)
        time.sleep(1)
        gw = run.procs[-1]
        figures = fault_soak.storm(run.control, w, units, gw.pid, SOAK_FAULTS, SOAK_RATE, 0.1,
                                   seed)
        figures["seed"] = seed
        figures["not_updated"] = fault_soak.check_units(run.control, w, units, 77, 10)
        figures["stuck"] = fault_soak.stuck(w, units)
        figures["exit"] = gw.poll()
        return figures
    finally:
        run.close()


def soak_rows(work: str) -> List[str]:
    s = soak(work)
    threads, sockets = s["threads"], s["sockets"]
    return [
        f"| fault soak, {SOAK_UNITS} units, 100 ms period: {s['faults']:,} faults in "
        f"{s['seconds']:.0f} s (seed {s['seed']}: {fault_soak.kinds_text(s)}) | "
        f"{s['reconnects']:,} reconnects; all online {s['settled_s']:.1f} s after the last fault;"
        f" at the end {len(s['stuck'])} units not online, {len(s['not_updated'])} not showing a "
        "new value | none stuck |",
        f"| the same: a unit brought back (`up`) → online ({s['returns']:,} returns, "
        f"{s['unreturned']} not seen) | median {s['return_p50'] * 1000:.0f} ms, 99 % "
        f"{s['return_p99'] * 1000:.0f} ms, max {s['return_max'] * 1000:.0f} ms | ≤ period + 1 s"
        " = 1,100 ms |",
        f"| the same: gateway threads / sockets, start → most → end | {threads[0]} → "
        f"{threads[1]} → {threads[2]} / {sockets[0]} → {sockets[1]} → {sockets[2]} | flat |"]


SECTIONS = {"latency": latency_rows, "cycle": cycle_rows, "messages": message_rows,
            "exception": exception_rows, "commands": command_rows, "large": large_rows,
            "modbus": modbus_rows,
            "web": web_rows,
            "dead": dead_rows, "soak": soak_rows, "store": store_rows}
# Run only when named.
LONG_SECTIONS = {"soak"}


def main() -> None:
    """gateway_bench.py [BUILD_DIR] [SECTION...]: every section unless some are named."""
    harness.require_private_network()
    args = sys.argv[1:]
    build = os.path.abspath(args.pop(0) if args and args[0] not in SECTIONS
                            else os.path.join(ROOT, "build"))
    unknown = [a for a in args if a not in SECTIONS]
    if unknown:
        sys.exit(f"unknown sections {unknown}; known: {', '.join(SECTIONS)}")
    os.environ["KELVO_GATEWAY"] = os.path.join(build, "kelvo-gateway")
    os.environ["KELVO_SIM"] = os.path.join(build, "kelvo-sim")
    rows = []
    with tempfile.TemporaryDirectory(prefix="kelvo-gw-bench.") as work:
        for name, section in SECTIONS.items():
            if name in args or (not args and name not in LONG_SECTIONS):
                rows += section(work)
    print("| Gateway measurement | Result | Goal |")
    print("|---|---|---|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
