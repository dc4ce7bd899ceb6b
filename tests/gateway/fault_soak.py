"""The gateway under a storm of unit faults, driven through the simulator's
control channel: what the soak bench and the short soak test share.

A run injects a fixed number of faults at a fixed rate, picked by a seeded
die: one-shot fault rules (a late or lost reply, a bad status, a wrong
sequence number, a closed connection, a restart), units held down and brought
back, and restarts. It samples the gateway's threads and sockets as it goes,
then clears every fault and checks that each unit is online and polled again.
Every loop is bounded by the fault count or a deadline.
"""

from __future__ import annotations

import os
import random
import statistics
import time
from typing import Dict, List, Tuple

from harness import Control, Watcher, publish

# A unit: its topic level, its control-channel name, and its model number.
Unit = Tuple[str, str, int]

# What the control channel can change on each model, for the final check: a
# digital input port, a digital output port, an analog input, a counter; an
# analog output unit is given a command instead.
DIGITAL_INPUT_MODELS = {101, 102, 103, 104, 108, 112, 113, 116, 117, 118}
DIGITAL_OUTPUT_MODELS = {105, 106, 107, 114, 115}
ANALOG_INPUT_MODELS = {109, 119}
COUNTER_MODELS = {111}
ANALOG_OUTPUT_MODELS = {110, 120}

REPLY_TIMEOUT_S = 1.5
RETURN_GUARD_S = 5.0


def counted_units(count: int) -> List[Unit]:
    """The units of `kelvo-sim --count N`: KV-101..KV-120 in turn, unit IDs 1, 2, ..."""
    units = []
    for i in range(count):
        model, unit_id = 101 + i % 20, 1 + i // 20
        units.append((f"KV-{model}-{unit_id}", f"KV-{model}:{unit_id}", model))
    return units


def threads_and_sockets(pid: int) -> Tuple[int, int]:
    with open(f"/proc/{pid}/status", encoding="ascii") as f:
        threads = next(int(line.split()[1]) for line in f if line.startswith("Threads:"))
    sockets = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            sockets += os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:")
        except OSError:
            pass  # closed meanwhile
    return threads, sockets


def all_online(w: Watcher, units: List[Unit]) -> bool:
    return all(w.latest.get(f"kelvo/{topic}/state") == "online" for topic, _, _ in units)


def random_rule(die: random.Random) -> str:
    kind = die.choice(["delay", "delay", "drop", "status", "seq", "close", "restart"])
    if kind == "delay":
        return f"delay:{die.randint(5, 2500)}"  # some past the reply timeout
    if kind == "status":
        return f"status:{die.randint(1, 255)}"
    if kind == "restart":
        return f"restart:{die.randint(0, 800)}"
    return kind


def storm(control: Control, w: Watcher, units: List[Unit], gateway_pid: int, faults: int,
          per_second: float, period_s: float, seed: int) -> Dict[str, object]:
    """Injects `faults` faults at `per_second`, then clears them and brings every unit back.
    Returns the figures: fault counts, return times, reconnects, threads and sockets."""
    die = random.Random(seed)
    kinds: Dict[str, int] = {}
    down_until: Dict[str, Tuple[float, str]] = {}  # control name -> (up at, topic)
    returns: List[float] = []
    pending: List[Tuple[float, str]] = []  # (up sent, topic): return times to measure
    # Units on their way back: no new fault until they are online (or a
    # while has passed), so that the return time is the gateway's alone.
    returning: Dict[str, float] = {}  # topic -> up sent
    start_counts = threads_and_sockets(gateway_pid)
    most = list(start_counts)
    start = time.monotonic()
    samples = 0

    def bring_up(name: str, topic: str) -> None:
        # The unit's one-shot rules go too, so that its return meets no fault.
        control(f"fault clear {name}")
        if w.latest.get(f"kelvo/{topic}/state") == "offline":
            pending.append((time.monotonic(), topic))
            returning[topic] = time.monotonic()
        control(f"up {name}")

    sent = 0
    # A slot where every unit is down or on its way back is skipped: at most
    # as many slots again as faults.
    for n in range(2 * faults):
        if sent == faults:
            break
        due = start + n / per_second
        now = time.monotonic()
        if due > now:
            time.sleep(due - now)
        now = time.monotonic()
        for name, (at, topic) in list(down_until.items()):
            if at <= now:
                del down_until[name]
                bring_up(name, topic)
        for back, at in list(returning.items()):
            if w.latest.get(f"kelvo/{back}/state") == "online" or now - at > RETURN_GUARD_S:
                del returning[back]
        candidates = [u for u in units if u[1] not in down_until and u[0] not in returning]
        if not candidates:
            continue
        topic, name, _ = die.choice(candidates)
        sent += 1
        roll = die.random()
        if roll < 0.6:
            rule = random_rule(die)
            control(f"fault add {name}={rule},times=1")
            kind = rule.split(":")[0]
        elif roll < 0.8:
            control(f"down {name}")
            down_until[name] = (now + die.uniform(0.05, 1.0), topic)
            kind = "down/up"
        else:
            try:
                control(f"restart {name} {die.randint(0, 800)}")
            except RuntimeError:
                pass  # down by a restart rule's doing meanwhile: still a fault sent
            kind = "restart (control)"
        kinds[kind] = kinds.get(kind, 0) + 1
        if time.monotonic() - start >= samples:  # about once a second
            samples += 1
            for i, v in enumerate(threads_and_sockets(gateway_pid)):
                most[i] = max(most[i], v)

    for name, (_, topic) in down_until.items():
        bring_up(name, topic)
    control("fault clear")
    elapsed = time.monotonic() - start
    # Back to calm: every unit online within a reply timeout (a fault in
    # flight), two periods and a second.
    settle_by = time.monotonic() + REPLY_TIMEOUT_S + 2 * period_s + 1.0
    w.wait(lambda: all_online(w, units), timeout=max(0.0, settle_by - time.monotonic()) + 10)
    settled = time.monotonic() - (start + elapsed)

    for at, topic in pending:
        came = [t for t, p in w.since(at, f"kelvo/{topic}/state") if p == "online"]
        if came:
            returns.append(came[0] - at)
    reconnects = 0
    for topic, _, _ in units:
        states = [p for _, p in w.since(start, f"kelvo/{topic}/state")]
        reconnects += sum(1 for a, b in zip(states, states[1:]) if (a, b) == ("offline", "online"))
    end_counts = threads_and_sockets(gateway_pid)
    # A socket or thread the storm left behind shows at the end; give the
    # last reconnects a moment to close theirs.
    deadline = time.monotonic() + 3
    while end_counts != start_counts and time.monotonic() < deadline:
        time.sleep(0.2)
        end_counts = threads_and_sockets(gateway_pid)
    returns.sort()
    return {
        "faults": sent, "kinds": kinds, "seconds": elapsed, "settled_s": settled,
        "returns": len(returns), "unreturned": len(pending) - len(returns),
        "return_p50": statistics.median(returns) if returns else 0.0,
        "return_p99": returns[min(len(returns) - 1, len(returns) * 99 // 100)] if returns else 0.0,
        "return_max": returns[-1] if returns else 0.0,
        "reconnects": reconnects,
        "threads": (start_counts[0], most[0], end_counts[0]),
        "sockets": (start_counts[1], most[1], end_counts[1]),
    }


def check_units(control: Control, w: Watcher, units: List[Unit], value: int,
                timeout: float) -> List[str]:
    """Sets a fresh value on every unit (an input through the control channel, an analog
    output by command) and returns the units whose topic did not show it in time."""
    expect: Dict[str, str] = {}
    for topic, name, model in units:
        if model in DIGITAL_INPUT_MODELS:
            control(f"set {name} di 0 {value % 256}")
            expect[f"kelvo/{topic}/di/0"] = str(value % 256)
        elif model in DIGITAL_OUTPUT_MODELS:
            control(f"set {name} do 0 {value % 256}")
            expect[f"kelvo/{topic}/do/0"] = str(value % 256)
        elif model in ANALOG_INPUT_MODELS:
            control(f"set {name} ai 0 {value % 2000}")
            expect[f"kelvo/{topic}/ai/0"] = str(value % 2000)
        elif model in COUNTER_MODELS:
            control(f"set {name} cnt 0 {value % 65536}")
            expect[f"kelvo/{topic}/cnt/0"] = str(value % 65536)
        elif model in ANALOG_OUTPUT_MODELS:
            publish(f"kelvo/{topic}/ao/0/set", str(value % 4096))
            expect[f"kelvo/{topic}/ao/0"] = str(value % 4096)
    w.wait(lambda: all(w.latest.get(t) == v for t, v in expect.items()), timeout=timeout)
    return sorted(t for t, v in expect.items() if w.latest.get(t) != v)


def stuck(w: Watcher, units: List[Unit]) -> List[str]:
    return [topic for topic, _, _ in units if w.latest.get(f"kelvo/{topic}/state") != "online"]


def kinds_text(figures: Dict[str, object]) -> str:
    return ", ".join(f"{v} {k}" for k, v in sorted(figures["kinds"].items(),
                                                   key=lambda kv: -kv[1]))
