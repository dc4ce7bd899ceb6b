"""kelvo-gateway against a real broker and simulated units.

The module starts mosquitto on 127.0.0.1, kelvo-sim with one unit of each
model, and a gateway that finds the units by broadcast, so it runs only in a
private network namespace (scripts/netns-run). A second simulator and a second
gateway, addressed directly, share the broker later on. Everything started
here is stopped by its pid.

KELVO_GATEWAY, KELVO_SIM and KELVO_LIBRARY name the programs and the library;
KELVO_MODELS_H the public model table, from which the expected topics come.
The tests run in the order of their names and share the processes.
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
from typing import Dict, List, Optional, Tuple

import fault_soak
import harness
from harness import Control, Watcher, publish, snapshot, stop

PERIOD_S = 0.1
REPLY_TIMEOUT_S = 1.5
# A stopped unit must be offline within two periods plus the reply timeout;
# the slack covers process scheduling on a loaded machine.
OFFLINE_BOUND_S = 2 * PERIOD_S + REPLY_TIMEOUT_S
SLACK_S = 0.5
WAIT_S = harness.WAIT_S

# Kinds as in kelvo_models.h.
DIGITAL_IN, DIGITAL_OUT, DIGITAL_INOUT, DIGITAL_BIDIR = 1, 2, 3, 4
ANALOG_IN, ANALOG_OUT, COUNTER = 5, 6, 7


def load_models() -> Dict[str, Tuple[int, int, int, int, int]]:
    """name -> (kind, total, inputs, outputs, bits), read from the public header."""
    kinds = {"DIGITAL_IN": 1, "DIGITAL_OUT": 2, "DIGITAL_INOUT": 3, "DIGITAL_BIDIR": 4,
             "ANALOG_IN": 5, "ANALOG_OUT": 6, "COUNTER": 7}
    with open(os.environ["KELVO_MODELS_H"], encoding="ascii") as f:
        rows = re.findall(r'\{\d+, "(KV-\d+)", KELVO_KIND_(\w+), (\d+), (\d+), (\d+), (\d+)\}',
                          f.read())
    return {name: (kinds[kind], *map(int, rest)) for name, kind, *rest in rows}


def expected_topics(model: Tuple[int, int, int, int, int]) -> List[str]:
    """The value topics a unit of this model publishes."""
    kind, total, inputs, outputs, _ = model
    if kind in (DIGITAL_IN, DIGITAL_INOUT, DIGITAL_BIDIR):
        topics = [f"di/{p}" for p in range(inputs)]
        first_out = inputs if kind == DIGITAL_INOUT else 0
        if kind != DIGITAL_IN:
            topics += [f"do/{p}" for p in range(first_out, total)]
        return topics
    if kind == DIGITAL_OUT:
        return [f"do/{p}" for p in range(total)]
    if kind == ANALOG_IN:
        return [f"ai/{c}" for c in range(inputs)]
    if kind == ANALOG_OUT:
        return [f"ao/{c}" for c in range(outputs)]
    return [f"cnt/{c}" for c in range(inputs)]


class Library:
    """The library through ctypes, on the simulator's device list (no broadcast)."""

    def __init__(self, list_dir: str) -> None:
        # Inherited by the gateways too, which must use lists of their own.
        os.environ["KELVO_DEVICE_LIST_DIR"] = list_dir
        self.lib = ctypes.CDLL(os.environ["KELVO_LIBRARY"])
        self.lib.Kelvo_OpenByIP.restype = ctypes.c_void_p
        self.lib.Kelvo_OpenByIP.argtypes = [ctypes.c_char_p]
        self.lib.Kelvo_ReadDIO.argtypes = [ctypes.c_void_p, ctypes.c_uint32,
                                           ctypes.POINTER(ctypes.c_uint8)]
        if self.lib.Kelvo_Initial() < 20:
            raise RuntimeError("the library did not find the simulated units")

    def read_port(self, address: str, port: int) -> int:
        value = ctypes.c_uint8()
        handle = self.lib.Kelvo_OpenByIP(address.encode())
        assert self.lib.Kelvo_ReadDIO(handle, port, ctypes.byref(value)) == 0
        return value.value


def all_models_address(model: str) -> str:
    """Where --all-models puts a model: KV-101 at 127.0.0.2, ..., KV-120 at 127.0.0.21."""
    return f"127.0.0.{int(model[3:]) - 99}"


class GatewayTest(unittest.TestCase):
    work: str
    broker: Optional[subprocess.Popen] = None
    sims: List[subprocess.Popen] = []
    gateway_a: Optional[subprocess.Popen] = None
    gateway_b: Optional[subprocess.Popen] = None
    watcher: Watcher
    models: Dict[str, Tuple[int, int, int, int, int]]

    @classmethod
    def start_broker(cls, persistent: bool) -> None:
        cls.broker = harness.start_broker(cls.work, persistent)

    @classmethod
    def start_sim(cls, *args: str) -> subprocess.Popen:
        cls.sims.append(harness.start_sim(*args))
        return cls.sims[-1]

    @classmethod
    def start_gateway(cls, *args: str) -> subprocess.Popen:
        return harness.start_gateway("--period", str(int(PERIOD_S * 1000)), *args)

    @classmethod
    def setUpClass(cls) -> None:
        harness.require_private_network()
        cls.models = load_models()
        cls.work = tempfile.mkdtemp(prefix="kelvo-gw-test.")
        cls.start_broker(persistent=True)
        cls.watcher = Watcher()
        control = os.path.join(cls.work, "control")
        cls.start_sim("--all-models", "--ini", os.path.join(cls.work, "Kelvo.ini"),
                      "--control", control)
        cls.control = Control(control)
        cls.library = Library(cls.work)
        # Found by broadcast, once: the second segment's simulator comes later in
        # the same namespace.
        config = os.path.join(cls.work, "seg-a.toml")
        with open(config, "w", encoding="ascii") as f:
            f.write("[units]\nrescan_s = 0\n")
        cls.gateway_a = cls.start_gateway("--id", "seg-a", "--config", config)

    @classmethod
    def tearDownClass(cls) -> None:
        for proc in (cls.gateway_a, cls.gateway_b, *cls.sims, cls.broker):
            stop(proc, signal.SIGKILL)
        cls.watcher.close()
        cls.control.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    # -- helpers ------------------------------------------------------------

    def assert_units_published(self, retained: Dict[str, str], units: List[str]) -> None:
        """Each unit: state online, info naming it, a value for every topic of its model."""
        for unit in units:
            model = unit.rsplit("-", 1)[0]
            base = f"kelvo/{unit}"
            self.assertEqual(retained.get(f"{base}/state"), "online", unit)
            info = json.loads(retained[f"{base}/info"])
            kind, total, inputs, outputs, bits = self.models[model]
            self.assertEqual((info["model"], info["unitId"], info["bits"], info["inputs"],
                              info["outputs"]), (model, int(unit.rsplit("-", 1)[1]), bits,
                                                 inputs, outputs), unit)
            self.assertEqual(info.get("ports", info.get("channels")), total, unit)
            self.assertRegex(info["mac"] or "", r"^[0-9A-F]{2}(-[0-9A-F]{2}){5}$", unit)
            self.assertTrue(info["firmware"], unit)
            for topic in expected_topics(self.models[model]):
                self.assertRegex(retained.get(f"{base}/{topic}", ""), r"^-?\d+$",
                                 f"{base}/{topic}")

    def errors_for(self, start: float, unit: str) -> List[dict]:
        return [json.loads(p) for _, p in self.watcher.since(start, f"kelvo/{unit}/error")]

    # -- tests, in order ----------------------------------------------------

    def test_1_all_units_retained(self) -> None:
        """Twenty units, found by broadcast: state, info and every value, retained."""
        units = [f"{m}-1" for m in self.models]
        self.assertTrue(self.watcher.wait(
            lambda: all(self.watcher.latest.get(f"kelvo/{u}/state") == "online" for u in units)))
        retained = snapshot()
        self.assertEqual(retained.get("kelvo/gateway/seg-a/state"), "online")
        self.assert_units_published(retained, units)
        for model in self.models:
            info = json.loads(retained[f"kelvo/{model}-1/info"])
            self.assertEqual(info["address"], all_models_address(model))

    def test_2_commands(self) -> None:
        """Accepted commands change the unit and are confirmed; bad ones only reach error."""
        w = self.watcher
        dio = all_models_address("KV-108")
        publish("kelvo/KV-108-1/do/0/set", "165")
        self.assertTrue(w.wait_payload("kelvo/KV-108-1/do/0", "165"))
        self.assertEqual(self.library.read_port(dio, 0), 165)
        publish("kelvo/KV-108-1/do/0/set", '{"value": 15, "mask": 15}')
        self.assertTrue(w.wait_payload("kelvo/KV-108-1/do/0", str(0xA0 | 0x0F)))
        self.assertEqual(self.library.read_port(dio, 0), 0xAF)
        publish("kelvo/KV-110-1/ao/1/set", "-2048")
        publish("kelvo/KV-111-1/cnt/0/set", "1234")
        self.assertTrue(w.wait_payload("kelvo/KV-110-1/ao/1", "-2048"))
        self.assertTrue(w.wait_payload("kelvo/KV-111-1/cnt/0", "1234"))

        # Inputs changed at the units show up within a period or two.
        self.control("set KV-101:1 di 1 90")
        self.control("set KV-109:1 ai 5 -1234")
        self.control("set KV-111:1 cnt 1 65535")
        self.assertTrue(w.wait_payload("kelvo/KV-101-1/di/1", "90", timeout=1.0))
        self.assertTrue(w.wait_payload("kelvo/KV-109-1/ai/5", "-1234", timeout=1.0))
        self.assertTrue(w.wait_payload("kelvo/KV-111-1/cnt/1", "65535", timeout=1.0))
        state = json.loads(self.control("state KV-111:1"))
        self.assertEqual(state["counters"][0], 1234)

        start = time.monotonic()
        bad = {
            "KV-108-1": [("do/0/set", "ten"), ("do/0/set", "256"), ("do/0/set", '{"value": 1, '),
                         ("do/0/set", '{"value": 1, "mask": 300}'), ("do/3/set", "1"),
                         ("di/0/set", "1"), ("xx/0/set", "1"), ("do/set", "1"),
                         ("do/0/set", b"\xff\x00\xfe")],
            "KV-110-1": [("ao/1/set", "4096"), ("ao/4/set", "1"), ("ao/1/set", "1.5")],
            "KV-101-1": [("do/0/set", "1")],
        }
        for unit, commands in bad.items():
            for subtopic, payload in commands:
                publish(f"kelvo/{unit}/{subtopic}", payload)
        for unit, commands in bad.items():
            self.assertTrue(w.wait(lambda: len(self.errors_for(start, unit)) >= len(commands)),
                            unit)
            errors = self.errors_for(start, unit)
            self.assertEqual(sorted(e["topic"] for e in errors),
                             sorted(f"kelvo/{unit}/{s}" for s, _ in commands))
            self.assertTrue(all(e["reason"] for e in errors))
        # Nothing changed.
        self.assertEqual(self.library.read_port(dio, 0), 0xAF)
        self.assertEqual(w.latest["kelvo/KV-110-1/ao/1"], "-2048")
        self.assertEqual(w.since(start, "kelvo/KV-108-1/do/0"), [])

    def own_units(self, name: str, units: List[str], settings: str) -> Tuple[Control, object]:
        """A simulator of its own with `units` (MODEL:ID@ADDRESS) and a gateway serving them
        with `settings` added to its file; both are stopped at the end of the test."""
        control = os.path.join(self.work, f"control-{name}")
        sim = self.start_sim(*[a for u in units for a in ("--unit", u)], "--control", control,
                             "--no-discovery")
        self.addCleanup(stop, sim)
        addresses = ", ".join(f'"{u.split("@")[1]}"' for u in units)
        config = os.path.join(self.work, f"{name}.toml")
        with open(config, "w", encoding="ascii") as f:
            f.write(f"[units]\naddresses = [{addresses}]\nrescan_s = 0\n{settings}")
        gw = self.start_gateway("--id", name, "--config", config)
        self.addCleanup(stop, gw)
        ctl = Control(control)
        self.addCleanup(ctl.close)
        return ctl, gw

    def test_2a_names_scaling_bits(self) -> None:
        """Configured names replace the unit's in its topics; a scaled channel publishes its
        engineering value and takes one; every bit has its topics, and a bit command (1, 0,
        ON, OFF, true, false) changes that bit alone. Commands come first: a unit polled
        once a minute carries each one out at once, not at its next poll."""
        w = self.watcher
        sim, _ = self.own_units("names", ["KV-109:5@127.0.4.2", "KV-108:5@127.0.4.3",
                                          "KV-110:5@127.0.4.4"], """
[unit."KV-109-5"]
name = "boiler"
[unit."KV-109-5".ai.0]
scale = [0, 4000, 0.0, 100.0]
unit = "degC"
decimals = 1
[unit."KV-108-5".di.0]
bits = ["door", "pump_ok"]
[unit."KV-110-5"]
name = "valves"
period_ms = 60000
[unit."KV-110-5".ao.1]
scale = [0, 4000, 0, 100]
""")
        sim("set KV-109:5 ai 0 2000")
        self.assertTrue(w.wait_payload("kelvo/boiler/ai/0/value", "50.0"))
        self.assertEqual(w.latest["kelvo/boiler/ai/0"], "2000")
        sim("set KV-109:5 ai 0 -3")
        self.assertTrue(w.wait_payload("kelvo/boiler/ai/0/value", "-0.1"))
        info = json.loads(w.latest["kelvo/boiler/info"])
        self.assertEqual((info["model"], info["name"], info["points"]["ai/0"]["unit"]),
                         ("KV-109", "boiler", "degC"))
        self.assertEqual(json.loads(w.latest["kelvo/KV-108-5/info"])["points"]["di/0"]["bits"],
                         ["door", "pump_ok"])
        self.assertFalse([t for t in w.latest if t.startswith(("kelvo/KV-109-5/",
                                                               "kelvo/KV-110-5/"))])
        self.assertNotIn("kelvo/boiler/ai/1/value", w.latest)  # not scaled

        sim("set KV-108:5 di 0 2")
        self.assertTrue(w.wait(lambda: [w.latest.get(f"kelvo/KV-108-5/di/0/{b}")
                                        for b in range(8)] == ["0", "1"] + ["0"] * 6))
        do = "kelvo/KV-108-5/do/0"
        publish(f"{do}/set", "165")
        self.assertTrue(w.wait_payload(do, "165"))
        for payload, value in (("ON", 173), ("off", 165), ("true", 173), ("false", 165),
                               ("1", 173), ("0", 165), ("ON", 173)):
            publish(f"{do}/3/set", payload)
            self.assertTrue(w.wait(lambda: (w.latest[do], w.latest[f"{do}/3"]) ==
                                   (str(value), str(value >> 3 & 1))), payload)
        self.assertEqual(json.loads(sim("state KV-108:5"))["ports"][0], 173)

        # Its first poll was at the start, its next is a minute away.
        publish("kelvo/valves/ao/1/value/set", "25")
        self.assertTrue(w.wait_payload("kelvo/valves/ao/1/value", "25.00", timeout=WAIT_S))
        self.assertEqual(w.latest["kelvo/valves/ao/1"], "1000")
        self.assertEqual(json.loads(sim("state KV-110:5"))["outputs"][1], 1000)

        start = time.monotonic()
        bad = [(f"{do}/3/set", "maybe"), (f"{do}/8/set", "1"), ("kelvo/KV-108-5/di/0/1/set", "1"),
               ("kelvo/valves/ao/1/value/set", "150"), ("kelvo/valves/ao/0/value/set", "1"),
               ("kelvo/valves/ao/1/value/set", "nan")]
        for topic, payload in bad:
            publish(topic, payload)
        self.assertTrue(w.wait(lambda: sorted(e["topic"] for e in self.errors_for(
            start, "KV-108-5") + self.errors_for(start, "valves")) == sorted(t for t, _ in bad)))
        self.assertEqual(json.loads(sim("state KV-108:5"))["ports"][0], 173)
        self.assertEqual(json.loads(sim("state KV-110:5"))["outputs"][1], 1000)

    def test_2b_report_by_exception(self) -> None:
        """A deadband holds back small moves, a heartbeat republishes unchanged values, "poll"
        publishes every poll, and no digital change is lost to any of them."""
        w = self.watcher
        sim, _ = self.own_units("exception", ["KV-109:6@127.0.4.5", "KV-112:6@127.0.4.6",
                                              "KV-111:6@127.0.4.7"], """
[unit."KV-109-6".ai.0]
scale = [0, 1000, 0, 10]
deadband = 0.5
[unit."KV-112-6"]
heartbeat_s = 1
[unit."KV-111-6"]
publish = "poll"
""")
        ai = "kelvo/KV-109-6/ai/0"
        sim("set KV-109:6 ai 0 1000")
        self.assertTrue(w.wait_payload(f"{ai}/value", "10.00"))
        start = time.monotonic()
        sim("set KV-109:6 ai 0 1040")  # 0.4 from the last report: held back
        time.sleep(5 * PERIOD_S)
        sim("set KV-109:6 ai 0 1060")  # 0.6 from it: reported
        self.assertTrue(w.wait_payload(f"{ai}/value", "10.60"))
        self.assertNotIn("1040", [p for _, p in w.since(start, ai)])
        # Every observed edge of a digital input, each held for two polls.
        for value in (1, 0, 1, 0):
            sim(f"set KV-112:6 di 0 {value}")
            time.sleep(2 * PERIOD_S)
        def edges() -> List[str]:
            seen = [p for _, p in w.since(start, "kelvo/KV-112-6/di/0/0")]
            return [p for i, p in enumerate(seen) if i == 0 or p != seen[i - 1]]

        self.assertTrue(w.wait(lambda: edges()[-4:] == ["1", "0", "1", "0"]), edges())
        # Unchanged values come again once a second; "poll" sends every poll.
        start = time.monotonic()
        time.sleep(2.5)
        polls = len(w.since(start, "kelvo/KV-111-6/cnt/1"))
        self.assertGreaterEqual(polls, 2.5 / PERIOD_S / 3)  # a loaded machine polls late
        for topic in ("di/3", "di/3/7"):
            self.assertIn(len(w.since(start, f"kelvo/KV-112-6/{topic}")), (2, 3), topic)
        self.assertEqual(w.since(start, "kelvo/KV-109-6/ai/5"), [])  # no heartbeat

    def test_3_unit_stops_restarts_and_answers_late(self) -> None:
        """Offline within two periods plus the reply timeout, online again after;
        a stalled unit holds up no other. The quality topic follows: offline, good, and
        stale while commands hold the polls back."""
        w = self.watcher
        start = time.monotonic()
        self.assertTrue(w.wait_payload("kelvo/KV-114-1/quality", "good"))
        self.control("down KV-114:1")
        self.assertTrue(w.wait_payload("kelvo/KV-114-1/state", "offline"))
        self.assertTrue(w.wait_payload("kelvo/KV-114-1/quality", "offline"))
        went = w.since(start, "kelvo/KV-114-1/state")[0]
        self.assertEqual(went[1], "offline")
        self.assertLess(went[0] - start, OFFLINE_BOUND_S + SLACK_S)
        publish("kelvo/KV-114-1/do/1/set", "2")
        self.assertTrue(w.wait(lambda: [e["reason"] for e in self.errors_for(start, "KV-114-1")]
                               == ["unit offline"]))
        self.control("up KV-114:1")
        self.assertTrue(w.wait_payload("kelvo/KV-114-1/state", "online"))
        self.assertTrue(w.wait_payload("kelvo/KV-114-1/quality", "good"))
        # Three slow writes in a row: no poll for 2.7 s, past the reply timeout and
        # two periods; the unit answers all along.
        self.control("fault add KV-115:1=delay:900,cmd=0x21,times=3")
        for value in (1, 2, 3):
            publish("kelvo/KV-115-1/do/0/set", str(value))
        self.assertTrue(w.wait_payload("kelvo/KV-115-1/quality", "stale"))
        self.assertEqual(w.latest["kelvo/KV-115-1/state"], "online")
        self.assertTrue(w.wait_payload("kelvo/KV-115-1/do/0", "3"))
        self.assertTrue(w.wait_payload("kelvo/KV-115-1/quality", "good"))

        # Two replies later than the timeout: offline, then back. Meanwhile
        # another unit's input change still arrives within a few periods.
        start = time.monotonic()
        self.control("fault add KV-113:1=delay:1700,times=2")
        self.assertTrue(w.wait_payload("kelvo/KV-113-1/state", "offline"))
        changed = time.monotonic()
        self.control("set KV-112:1 di 7 33")
        self.assertTrue(w.wait_payload("kelvo/KV-112-1/di/7", "33", timeout=4 * PERIOD_S + SLACK_S))
        self.assertLess(w.since(changed, "kelvo/KV-112-1/di/7")[0][0] - changed,
                        4 * PERIOD_S + SLACK_S)
        self.assertTrue(w.wait_payload("kelvo/KV-113-1/state", "online"))

        # A write whose exchange fails after the request went out may or may not
        # have been carried out: "outcome unknown", and the output's topic, read
        # back at once, says what the unit holds. (A restart drops the request; a
        # lost, late or wrong reply or a closed connection follows a done one.)
        topic = "kelvo/KV-105-1/do/0"
        for fault, value in (("restart:300", 9), ("drop", 1), ("delay:1700", 2), ("seq", 3),
                             ("close", 4)):
            start = time.monotonic()
            self.control(f"fault add KV-105:1={fault},cmd=0x21,times=1")
            publish(f"{topic}/set", str(value))
            self.assertTrue(w.wait(lambda: self.errors_for(start, "KV-105-1")), fault)
            [error] = self.errors_for(start, "KV-105-1")
            self.assertEqual(error["outcome"], "unknown", fault)
            held = json.loads(self.control("state KV-105:1"))["ports"][0]
            self.assertEqual(held, 0 if fault.startswith("restart") else value, fault)
            if held:
                self.assertIn(f"read back do/0 = {held}", error["reason"])
            self.assertTrue(w.wait_payload(topic, str(held)), fault)
            self.assertTrue(w.wait_payload("kelvo/KV-105-1/state", "online"), fault)
        publish(f"{topic}/set", "5")
        self.assertTrue(w.wait_payload(topic, "5"))

    def test_3a_fault_storm(self) -> None:
        """Ten units under 300 random faults (late and lost replies, bad replies, closed
        connections, restarts, units held down): none stays offline or unpolled, each unit
        brought back returns, and the gateway ends with the threads and sockets it had."""
        models = [101, 103, 105, 108, 109, 110, 111, 112, 114, 119]
        units = [(f"KV-{m}-7", f"KV-{m}:7", m) for m in models]
        sim, gw = self.own_units("storm", [f"KV-{m}:7@127.0.5.{10 + i}"
                                           for i, m in enumerate(models)], "")
        w = self.watcher
        self.assertTrue(w.wait(lambda: fault_soak.all_online(w, units)))
        seed = int(os.environ.get("KELVO_SOAK_SEED", random.randrange(1 << 31)))
        figures = fault_soak.storm(sim, w, units, gw.pid, 300, 60, PERIOD_S, seed)
        self.assertEqual(fault_soak.stuck(w, units), [], seed)
        self.assertEqual(fault_soak.check_units(sim, w, units, 99, WAIT_S), [], seed)
        self.assertGreater(figures["reconnects"], 0, seed)
        self.assertEqual(figures["unreturned"], 0, seed)
        self.assertLess(figures["return_max"], WAIT_S, seed)  # not a figure: a hang
        for counts in (figures["threads"], figures["sockets"]):
            self.assertEqual(counts[0], counts[2], (seed, figures))

    def test_4_broker_restarts(self) -> None:
        """A persistent session keeps commands; a fresh broker gets everything again."""
        w = self.watcher
        # A retained command is carried out when it is sent, but not again
        # when the broker hands it out on the next connect.
        publish("kelvo/KV-118-1/do/1/set", "77", retain=True)
        self.assertTrue(w.wait_payload("kelvo/KV-118-1/do/1", "77"))
        publish("kelvo/KV-118-1/do/1/set", "78")
        self.assertTrue(w.wait_payload("kelvo/KV-118-1/do/1", "78"))
        # The broker keeps the gateway's session across its restart: a command
        # published before the gateway is back reaches the unit.
        stop(self.broker)
        self.start_broker(persistent=True)
        self.watcher.close()  # its session went with the broker
        type(self).watcher = w = Watcher()
        publish("kelvo/KV-108-1/do/2/set", "66")
        self.assertTrue(w.wait_payload("kelvo/KV-108-1/do/2", "66", timeout=40))
        self.assertTrue(w.wait(lambda: any("retained" in e["reason"]
                                           for e in self.errors_for(0, "KV-118-1"))))
        self.assertEqual(self.library.read_port(all_models_address("KV-118"), 1), 78)
        publish("kelvo/KV-118-1/do/1/set", "", retain=True)  # clears it
        # A broker that lost everything: the gateway publishes it all again.
        stop(self.broker)
        shutil.rmtree(os.path.join(self.work, "store"))
        self.start_broker(persistent=False)
        units = [f"{m}-1" for m in self.models]
        deadline = time.monotonic() + 40
        while time.monotonic() < deadline:
            retained = snapshot(0.5)
            if all(retained.get(f"kelvo/{u}/state") == "online" for u in units):
                break
        self.assert_units_published(retained, units)
        self.assertEqual(retained["kelvo/KV-108-1/do/2"], "66")
        self.assertEqual(retained["kelvo/gateway/seg-a/state"], "online")
        # The watcher's own session went with the broker: start a new one.
        self.watcher.close()
        type(self).watcher = Watcher()

    def test_4a_broker_stalls(self) -> None:
        """A broker that stops reading: the gateway's memory stays bounded, and once the
        keepalive has dropped the connection and it is back, the last retained value is the
        current one, not one left unacknowledged by the stalled session."""
        control = os.path.join(self.work, "control-stall")
        self.start_sim("--unit", "KV-112:3@127.0.3.2", "--unit", "KV-109:3@127.0.3.3",
                       "--analog-waves", "--control", control, "--no-discovery")
        sim = Control(control)
        config = os.path.join(self.work, "stall.toml")
        with open(config, "w", encoding="ascii") as f:
            f.write('[units]\naddresses = ["127.0.3.2", "127.0.3.3"]\nrescan_s = 0\n'
                    '[unit."KV-109-3"]\nperiod_ms = 10\n[broker]\nkeepalive = 5\n')
        gw = harness.start_gateway("--id", "stall", "--config", config, "--stats", "1",
                                   stderr=subprocess.PIPE)
        log = harness.Lines(gw.stderr)
        topic = "kelvo/KV-112-3/di/0"
        w = self.watcher
        try:
            sim("set KV-112:3 di 0 0")
            self.assertTrue(w.wait_payload(topic, "0"))

            def rss() -> int:
                with open(f"/proc/{gw.pid}/status", encoding="ascii") as f:
                    return int(re.search(r"VmRSS:\s+(\d+)", f.read())[1])

            before = rss()
            os.kill(self.broker.pid, signal.SIGSTOP)
            try:
                for value in (1, 2, 3):
                    time.sleep(1)
                    sim(f"set KV-112:3 di 0 {value}")
                self.assertTrue(log.wait(lambda lines: any("lost the broker" in l for l in lines),
                                         timeout=15))
                during = rss()
                sim("set KV-112:3 di 0 4")
                time.sleep(0.3)
            finally:
                os.kill(self.broker.pid, signal.SIGCONT)
            self.assertTrue(log.wait(lambda _: log.count("connected to") >= 2, timeout=15))
            stats = [json.loads(l.split("stats ", 1)[1]) for l in log.lines if " stats " in l]
            most = {k: max(s[k] for s in stats) for k in ("inflight", "queued")}
            print(f"\nstall: RSS {before} kB before, {during} kB at the drop; most {most}")
            self.assertLessEqual(most["inflight"], 256)
            self.assertLessEqual(most["queued"], 16)  # KV-109-3's channels
            # Whatever the old session left would come right after the
            # reconnect; give it time to.
            time.sleep(2)
            self.assertEqual(snapshot(0.5).get(topic), "4")
        finally:
            stop(gw)
            log.thread.join(timeout=WAIT_S)  # it ends at the end of the pipe
            gw.stderr.close()
            sim.close()

    def test_5_second_segment(self) -> None:
        """A second gateway with its own units and ID shares the broker without a clash;
        a listed unit that comes up later is found, the others keep going meanwhile."""
        w = self.watcher
        self.start_sim("--unit", "KV-108:2@127.0.1.2", "--unit", "KV-111:2@127.0.1.3",
                       "--base-address", "127.0.1.2")
        config = os.path.join(self.work, "seg-b.toml")
        with open(config, "w", encoding="ascii") as f:
            f.write('[gateway]\nid = "seg-b"\n[units]\nrescan_s = 1\n'
                    'addresses = ["127.0.1.2", "127.0.1.3", "127.0.1.4"]\n'
                    '[unit."KV-111-2"]\nperiod_ms = 200\n')
        type(self).gateway_b = self.start_gateway("--config", config)
        self.assertTrue(w.wait_payload("kelvo/gateway/seg-b/state", "online"))
        self.assertTrue(w.wait(lambda: w.latest.get("kelvo/KV-111-2/state") == "online"))
        retained = snapshot()
        self.assert_units_published(retained, ["KV-108-2", "KV-111-2"])
        info = json.loads(retained["kelvo/KV-111-2/info"])
        self.assertEqual((info["periodMs"], info["gateway"]), (200, "seg-b"))
        start = time.monotonic()
        publish("kelvo/KV-108-2/do/1/set", "7")
        self.assertTrue(w.wait_payload("kelvo/KV-108-2/do/1", "7"))
        # Neither gateway answers for the other's units.
        self.assertEqual(self.errors_for(start, "KV-108-2"), [])

        self.start_sim("--unit", "KV-103:2@127.0.1.4")
        self.assertTrue(w.wait_payload("kelvo/KV-103-2/state", "online"))
        self.assertEqual(json.loads(w.latest["kelvo/KV-103-2/info"])["address"], "127.0.1.4")
        publish("kelvo/KV-103-2/do/1/set", "9")
        self.assertTrue(w.wait_payload("kelvo/KV-103-2/do/1", "9"))
        self.assertEqual([p for _, p in w.since(start, "kelvo/KV-108-2/state")], [])

    def test_5a_home_assistant(self) -> None:
        """Discovery describes every unit of every model with the right entities, each with
        its own unique_id; a switch's payload_on changes the unit; availability follows the
        unit; every config comes again when Home Assistant says it is online."""
        ha, hak = Watcher("ha/#"), Watcher("hak/#")
        self.addCleanup(ha.close)
        self.addCleanup(hak.close)
        config = os.path.join(self.work, "ha.toml")
        with open(config, "w", encoding="ascii") as f:
            f.write('[gateway]\nprefix = "hak"\n[units]\nrescan_s = 0\n'
                    '[unit."KV-109-1".ai.0]\nscale = [0, 4000, 0, 10]\nunit = "V"\n'
                    '[homeassistant]\nenabled = true\nprefix = "ha"\n')
        gw = self.start_gateway("--id", "ha", "--config", config)
        self.addCleanup(stop, gw)
        per_kind = {"di": ("binary_sensor", 8), "do": ("switch", 8), "ai": ("sensor", 1),
                    "cnt": ("sensor", 1), "ao": ("number", 1)}
        expected: Dict[str, Dict[str, int]] = {}
        for model, row in self.models.items():
            counts = expected.setdefault(f"hak_{model}-1", {})
            for topic in expected_topics(row):
                component, n = per_kind[topic.split("/")[0]]
                counts[component] = counts.get(component, 0) + n
        total = sum(sum(c.values()) for c in expected.values())
        self.assertTrue(ha.wait(lambda: len(ha.latest) >= total), len(ha.latest))
        time.sleep(0.5)  # nothing more comes
        with ha.lock:
            configs = {t: json.loads(p) for t, p in ha.latest.items()}
        found: Dict[str, Dict[str, int]] = {}
        for topic in configs:
            _, component, node, _, _ = topic.split("/")
            found.setdefault(node, {}).setdefault(component, 0)
            found[node][component] += 1
        # (The second segment's units answer the broadcast too.)
        self.assertEqual({node: found.get(node) for node in expected}, expected)
        self.assertEqual(len({c["unique_id"] for c in configs.values()}), len(configs))
        sensor = configs["ha/sensor/hak_KV-109-1/ai_0/config"]
        self.assertEqual((sensor["state_topic"], sensor["unit_of_measurement"]),
                         ("hak/KV-109-1/ai/0/value", "V"))

        switch = configs["ha/switch/hak_KV-108-1/do_1_6/config"]
        before = self.library.read_port(all_models_address("KV-108"), 1)
        publish(switch["command_topic"], switch["payload_on"])
        self.assertTrue(hak.wait_payload(switch["state_topic"], switch["payload_on"]))
        self.assertEqual(self.library.read_port(all_models_address("KV-108"), 1), before | 0x40)

        available = configs["ha/binary_sensor/hak_KV-101-1/di_0_0/config"]["availability"]
        self.assertEqual([a["topic"] for a in available],
                         ["hak/KV-101-1/state", "hak/gateway/ha/state"])
        self.control("down KV-101:1")
        try:
            self.assertTrue(hak.wait_payload(available[0]["topic"],
                                             available[0]["payload_not_available"]))
        finally:
            self.control("up KV-101:1")
        self.assertTrue(hak.wait_payload(available[0]["topic"], "online"))
        start = time.monotonic()
        publish("ha/status", "online")
        self.assertTrue(ha.wait(lambda: len({t for at, t, _ in ha.log
                                             if at >= start and t.endswith("/config")})
                                        == len(configs)))

    def test_6_stops(self) -> None:
        """SIGTERM marks the gateway's units offline; SIGKILL leaves it to the will."""
        w = self.watcher
        self.assertEqual(stop(self.gateway_b), 0)
        for topic in ("kelvo/KV-108-2/state", "kelvo/KV-111-2/state",
                      "kelvo/gateway/seg-b/state"):
            self.assertTrue(w.wait_payload(topic, "offline"), topic)
        self.assertEqual(w.latest["kelvo/gateway/seg-a/state"], "online")
        stop(self.gateway_a, signal.SIGKILL)
        self.assertTrue(w.wait_payload("kelvo/gateway/seg-a/state", "offline"))

    def test_7_bad_configuration(self) -> None:
        """Unknown keys, wrong types, files too big, too deep or not regular, and unusable
        topic parts are refused with their line; nothing starts."""
        path = os.path.join(self.work, "bad.toml")
        fifo = os.path.join(self.work, "fifo")
        os.mkfifo(fifo)
        cases = {
            '[gateway]\nid = "x"\nperiod = 100\n': ":3: unknown key 'period' in [gateway]",
            '[broker]\nport = "1883"\n': ":2: 'port' must be an integer",
            '[units]\naddresses = ["10.0.0.300"]\n': ":2:",
            '[unit."KV-101-1"]\nperiod_ms = 5\n': ":2: 'period_ms' must be 10..3600000",
            '[gateway\n': ":1:",
            "#\n[" + ".".join(["a"] * 50000) + "]\n": ":2: nested more than 32 levels deep",
            "x = " + "[" * 33 + "]" * 33 + "\n": ":1: nested more than 32",
            '[gateway]\nprefix = "kel\\u0000vo"\n': ":2: 'prefix' holds a NUL character",
            "#" * (1 << 20) + "\n": ": larger than 1048576 bytes",
            '[unit."KV-101-1"]\nname = "a"\n[unit."KV-102-1"]\nname = "a"\n':
                ":4: units 'KV-101-1' and 'KV-102-1' would both be named 'a'",
            '[unit."KV-101-1"]\nname = "KV-102-1"\n[unit."KV-102-1"]\nperiod_ms = 50\n':
                ":3: units 'KV-101-1' and 'KV-102-1' would both be named 'KV-102-1'",
            '[unit."KV-101-1"]\nname = "a/b"\n': ":2: 'name' must be a usable topic level",
            '[unit."KV-109-1".ai.16]\nunit = "V"\n': ":1: KV-109 has no ai channel '16'",
            '[unit."KV-109-1".ao.0]\nunit = "V"\n': ":1: KV-109 has no ao channel '0'",
            '[unit."KV-109-1".ai.0]\nscale = [0, 0, 1, 2]\n': ":2: 'scale' needs two different",
            '[unit."KV-109-1".ai.0]\ndeadband = -1\n': ":2: 'deadband' must not be negative",
            '[unit."KV-101-1".di.0]\nbits = ["a", 2]\n': ":2: 'bits' holds something other",
            '[unit."KV-101-1"]\npublish = "sometimes"\n': ":2: 'publish' must be",
            '[sparkplug]\ngroup_id = "pl+ant"\n': ":2: 'group_id' must be a usable topic level",
            '[store]\nmax_mb = 0\n': ":2: 'max_mb' must be 1..1048576",
        }
        runs = [(["--config", path], text, path + message) for text, message in cases.items()]
        runs += [(["--config", path], '[broker]\npassword = "x"\npassword_file = "/etc/hostname"\n',
                  "give the broker password or a password file, not both"),
                 (["--config", "/dev/zero"], None, "/dev/zero: not a regular file"),
                 (["--config", fifo], None, fifo + ": not a regular file"),
                 (["--password-file", "/dev/zero"], None, "/dev/zero: not a regular file"),
                 (["--config", path], "[sparkplug]\nplain_topics = false\n",
                  "plain_topics = false needs [sparkplug] enabled = true"),
                 (["--config", path], '[store]\npath = "/nonexistent/store.db"\n',
                  "[store] path /nonexistent/store.db: ")]
        runs += [(["--prefix", prefix], None, "is not a usable topic prefix")
                 for prefix in ("a//b", "kel/+", "/kelvo", "\x01")]
        for args, text, message in runs:
            if text is not None:
                with open(path, "w", encoding="ascii") as f:
                    f.write(text)
            run = subprocess.run([os.environ["KELVO_GATEWAY"], *args],
                                 capture_output=True, text=True, timeout=WAIT_S)
            self.assertEqual(run.returncode, 2, args)
            self.assertIn(message, run.stderr, args)

    def test_8_tls_and_password(self) -> None:
        """TLS against a CA file, with a user and password, to a broker that comes up after
        the gateway; a wrong password is retried."""
        if not shutil.which("openssl"):
            self.skipTest("no openssl to make the certificates (Debian package openssl)")
        tls = os.path.join(self.work, "tls")
        os.makedirs(tls)
        os.chmod(self.work, 0o755)

        def openssl(*args: str) -> None:
            subprocess.run(["openssl", *args], cwd=tls, check=True, capture_output=True,
                           timeout=WAIT_S)

        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
                "-subj", "/CN=kelvo-test-ca")
        openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=broker")
        with open(os.path.join(tls, "san"), "w", encoding="ascii") as f:
            f.write("subjectAltName=IP:127.0.0.1\n")
        for name, days in (("server.pem", "2"), ("expired.pem", "-1")):
            openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-out", name, "-days", days, "-extfile", "san")
        subprocess.run(["mosquitto_passwd", "-c", "-b", os.path.join(tls, "passwords"), "gw",
                        "secret"], check=True, capture_output=True, timeout=WAIT_S)
        for name in os.listdir(tls):
            os.chmod(os.path.join(tls, name), 0o644)
        os.chmod(tls, 0o755)
        conf = os.path.join(tls, "mosquitto.conf")
        with open(conf, "w", encoding="ascii") as f:
            f.write(f"listener 8883 127.0.0.1\ncafile {tls}/ca.pem\ncertfile {tls}/server.pem\n"
                    f"keyfile {tls}/server.key\npassword_file {tls}/passwords\n"
                    "allow_anonymous false\n"
                    f"listener 8884 127.0.0.1\ncafile {tls}/ca.pem\ncertfile {tls}/expired.pem\n"
                    f"keyfile {tls}/server.key\n")
        tls_client = ["-h", "127.0.0.1", "-p", "8883", "--cafile", f"{tls}/ca.pem", "-u", "gw",
                      "-P", "secret"]
        # The right password comes from a private file, the wrong one from a
        # settings file anyone may read (a warning); port 8884 has an expired
        # certificate (a TLS failure that names its reason).
        password_file = os.path.join(tls, "password")
        with open(password_file, "w", encoding="ascii") as f:
            f.write("secret\n")
        os.chmod(password_file, 0o600)
        gateways = []
        logs = []
        broker = None
        try:
            for name, port, password in (("wrong", 8883, 'password = "wrong"'),
                                         ("secret", 8883, f'password_file = "{password_file}"'),
                                         ("expired", 8884, f'password_file = "{password_file}"')):
                config = os.path.join(tls, f"{name}.toml")
                with open(config, "w", encoding="ascii") as f:
                    f.write(f'[gateway]\nid = "{name}"\n[units]\naddresses = ["127.0.0.9"]\n'
                            f'[broker]\nhost = "127.0.0.1"\nport = {port}\nusername = "gw"\n'
                            f'{password}\n[broker.tls]\nca_file = "{tls}/ca.pem"\n')
                gateways.append(harness.start_gateway("--config", config, broker=None,
                                                      stderr=subprocess.PIPE))
                logs.append(harness.Lines(gateways[-1].stderr))
            broker = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + WAIT_S
            while subprocess.run(["mosquitto_pub", *tls_client, "-t", "probe", "-n"],
                                 capture_output=True).returncode != 0:
                self.assertLess(time.monotonic(), deadline, "the TLS broker did not start")
                time.sleep(0.1)
            sub = subprocess.run(["mosquitto_sub", *tls_client, "-t", "kelvo/gateway/+/state",
                                  "-t", "kelvo/KV-108-1/state", "-v", "-C", "2", "-W", "15"],
                                 capture_output=True, text=True, timeout=20)
            self.assertEqual(sorted(sub.stdout.splitlines()),
                             ["kelvo/KV-108-1/state online", "kelvo/gateway/secret/state online"],
                             sub.stderr)
            self.assertIsNone(gateways[0].poll())  # refused, still trying
            self.assertEqual(logs[0].count("holds the broker password and every user may read"), 1)
            self.assertTrue(logs[2].wait(
                lambda _: logs[2].count("TLS: the broker's certificate was refused: certificate "
                                        "has expired") == 1))
        finally:
            for gw, log in zip(gateways, logs):
                stop(gw)
                log.thread.join(timeout=WAIT_S)
                gw.stderr.close()
            stop(broker)


    def test_9_unit_vanishes(self) -> None:
        """A unit gone from the network (no refusal, packets lost) is offline within the
        bound, while the library still waits in the system's connect to it."""
        def ip(*args: str) -> None:
            subprocess.run(["ip", *args], check=True, capture_output=True, timeout=WAIT_S)

        # An address of its own on lo: once it is taken away, packets to it
        # are lost (the namespace routes everything else to lo, which drops
        # them), and a connect waits for the system's timeout.
        address = "10.99.0.2"
        ip("addr", "add", f"{address}/32", "dev", "lo")
        self.start_sim("--unit", f"KV-101:3@{address}")
        gw = self.start_gateway("--id", "vanish", "--address", address)
        try:
            w = self.watcher
            self.assertTrue(w.wait_payload("kelvo/KV-101-3/state", "online"))
            start = time.monotonic()
            ip("addr", "del", f"{address}/32", "dev", "lo")
            self.assertTrue(w.wait_payload("kelvo/KV-101-3/state", "offline"))
            self.assertLess(w.since(start, "kelvo/KV-101-3/state")[0][0] - start,
                            OFFLINE_BOUND_S + SLACK_S)
            # Its worker is still in that connect; the gateway goes on.
            self.assertIsNone(gw.poll())
        finally:
            stop(gw, signal.SIGKILL)

    def test_10_dark_addresses_hold_up_neither_start_nor_stop(self) -> None:
        """A listed address where nothing answers (10.77.0.0/24 goes nowhere in the
        namespace: SYNs are lost) neither delays the units that answer nor the stop."""
        self.start_sim("--unit", "KV-102:4@127.0.0.60", "--no-discovery")
        start = time.monotonic()
        gw = subprocess.Popen([os.environ["KELVO_GATEWAY"], "--broker",
                               f"127.0.0.1:{harness.BROKER_PORT}", "--id", "dark",
                               "--address", "10.77.0.5", "--address", "127.0.0.60"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(self.watcher.wait_payload("kelvo/KV-102-4/state", "online", 3.0))
            print(f"\n  online {time.monotonic() - start:.2f} s after start", flush=True)
            stopped = time.monotonic()
            gw.send_signal(signal.SIGTERM)
            self.assertEqual(gw.wait(timeout=WAIT_S), 0)
            self.assertLess(time.monotonic() - stopped, 3.0)
            self.assertEqual(self.watcher.latest["kelvo/KV-102-4/state"], "offline")
        finally:
            stop(gw, signal.SIGKILL)
        # A stop in the middle of start-up, while both addresses are still asked.
        gw = subprocess.Popen([os.environ["KELVO_GATEWAY"], "--broker",
                               f"127.0.0.1:{harness.BROKER_PORT}", "--id", "dark",
                               "--address", "10.77.0.5", "--address", "10.77.0.6"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(0.3)
            stopped = time.monotonic()
            gw.send_signal(signal.SIGTERM)
            gw.wait(timeout=WAIT_S)
            self.assertLess(time.monotonic() - stopped, 3.0)
        finally:
            stop(gw, signal.SIGKILL)

    def test_11_flood_of_discovery_answers(self) -> None:
        """Hundreds of fake discovery answers from as many addresses: the gateway asks
        them with a few threads, not one each, and serves the real units."""
        fakes = []
        listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("0.0.0.0", 30718))
        for i in range(400):
            f = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            f.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            f.bind((f"127.0.{2 + i // 200}.{1 + i % 200}", 30718))
            fakes.append(f)
        done = threading.Event()

        def answer() -> None:
            listener.settimeout(0.2)
            while not done.is_set():
                try:
                    _, asker = listener.recvfrom(64)
                except OSError:
                    continue
                for f in fakes:
                    f.sendto(bytes(30), asker)

        answerer = threading.Thread(target=answer, daemon=True)
        answerer.start()
        start = time.monotonic()
        gw = subprocess.Popen([os.environ["KELVO_GATEWAY"], "--broker",
                               f"127.0.0.1:{harness.BROKER_PORT}", "--id", "flood",
                               "--prefix", "flood"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        most = 0
        try:
            ready = ""
            while not ready and time.monotonic() - start < 30:
                with open(f"/proc/{gw.pid}/status", encoding="ascii") as status:
                    threads = re.search(r"^Threads:\s+(\d+)", status.read(), re.M)
                most = max(most, int(threads.group(1)) if threads else 0)
                if select.select([gw.stdout], [], [], 0.02)[0]:
                    ready = gw.stdout.readline()
                    if not ready and gw.poll() is not None:
                        break
            took = time.monotonic() - start
            print(f"\n  ready after {took:.2f} s, at most {most} threads", flush=True)
            match = re.match(r"kelvo-gateway: ready \((\d+) units\)", ready)
            self.assertIsNotNone(match, ready)
            assert match is not None
            self.assertGreaterEqual(int(match.group(1)), 20)
            self.assertLess(most, 20 + 20)  # a worker per unit, a few of its own
        finally:
            done.set()
            stop(gw, signal.SIGKILL)
            answerer.join(timeout=WAIT_S)
            listener.close()
            for f in fakes:
                f.close()


class ServiceUnitTest(unittest.TestCase):
    def test_exposure(self) -> None:
        """The sample systemd unit keeps its exposure rating under 3."""
        if not shutil.which("systemd-analyze"):
            self.skipTest("no systemd-analyze (Debian package systemd)")
        unit = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                            "gateway", "kelvo-gateway.service")
        run = subprocess.run(["systemd-analyze", "security", "--offline=yes", unit],
                             capture_output=True, text=True, timeout=60)
        found = re.search(r"Overall exposure level for kelvo-gateway.service: ([\d.]+)",
                          run.stdout)
        if not found:
            self.skipTest(f"systemd-analyze cannot rate units offline: {run.stderr.strip()}")
        self.assertLess(float(found[1]), 3.0, run.stdout)


if __name__ == "__main__":
    unittest.main()
