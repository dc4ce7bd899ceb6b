"""The gateway's Sparkplug B face and its store-and-forward, against a real broker.

mosquitto on 127.0.0.1, kelvo-sim with one unit of each model and a gateway that
finds them by broadcast: run only inside scripts/netns-run. Every Sparkplug
message is decoded with python3-protobuf from the gateway's own schema
(SPARKPLUG_PROTO), compiled by protoc into the test's directory.

The tests run in the order of their names and share the processes; the last
one stops the broker for a minute.
"""

from __future__ import annotations

import ctypes
import importlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from typing import Callable, Dict, List, Optional, Tuple

import harness
from harness import Control, publish, stop
from test_gateway import expected_topics, load_models

GROUP = "plant"
NODE = "edge1"
BASE = f"spBv1.0/{GROUP}"
WAIT_S = harness.WAIT_S
PERIOD_MS = 25  # four polls to every change of the outage test
OUTAGE_S = 60
CHANGE_S = 0.1
# The gateway reconnects with a backoff of up to 30 s.
RECONNECT_S = 40
# Datatypes.
INT64, UINT8, DOUBLE, BOOLEAN, STRING = 4, 5, 10, 11, 12
# A scaled channel: its engineering value is a metric of its own.
SCALED = '[unit."KV-109-1".ai.0]\nscale = [0, 4000, 0.0, 100.0]\nunit = "degC"\n'
CLIENT = f"kelvo-gateway-{NODE}-sparkplug"

pb = None  # the compiled schema


def compile_schema(work: str):
    subprocess.run(["protoc", f"--proto_path={os.path.dirname(os.environ['SPARKPLUG_PROTO'])}",
                    f"--python_out={work}", os.environ["SPARKPLUG_PROTO"]], check=True)
    sys.path.insert(0, work)
    return importlib.import_module("sparkplug_b_pb2")


def value(metric):
    """A metric's value as Python sees it: signed for Int64 (data leaves the type out)."""
    kind = metric.WhichOneof("value")
    v = getattr(metric, kind) if kind else None
    if kind == "long_value" and metric.datatype in (0, INT64) and v >= 1 << 63:
        v -= 1 << 64
    return v


class Message:
    def __init__(self, at: float, topic: str, raw: bytes) -> None:
        self.at, self.topic = at, topic
        parts = topic.split("/")
        self.type = parts[2] if len(parts) > 2 else ""
        self.device = parts[4] if len(parts) > 4 else ""
        self.payload = pb.Payload()
        self.raw = raw
        if not topic.startswith("spBv1.0/STATE/") and "/history/" not in topic:
            self.payload.ParseFromString(raw)

    def metrics(self) -> Dict[str, object]:
        return {m.name: value(m) for m in self.payload.metrics}


class Subscriber:
    """mosquitto_sub with binary payloads (as hex), every message kept in order.
    With `client_id`, a persistent session that the broker keeps across its restarts."""

    def __init__(self, topics: List[str], client_id: Optional[str] = None) -> None:
        self.lock = threading.Condition()
        self.log: List[Message] = []
        args = ["stdbuf", "-oL", "mosquitto_sub", "-h", "127.0.0.1", "-q", "1", "-F", "%t %x"]
        if client_id:
            args += ["-c", "-i", client_id]
        for t in topics:
            args += ["-t", t]
        # stderr not inherited: a subscriber that outlived the test would hold ctest's pipe.
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self) -> None:
        for line in self.proc.stdout:
            topic, _, hexed = line.rstrip("\n").partition(" ")
            m = Message(time.monotonic(), topic, bytes.fromhex(hexed))
            with self.lock:
                self.log.append(m)
                self.lock.notify_all()

    def since(self, start: float, kind: str = "") -> List[Message]:
        with self.lock:
            return [m for m in self.log if m.at >= start and (not kind or m.type == kind)]

    def wait(self, check: Callable[[], bool], timeout: float = WAIT_S) -> bool:
        deadline = time.monotonic() + timeout
        with self.lock:
            while not check():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.lock.wait(left)
            return True

    def wait_for(self, start: float, kind: str, count: int = 1,
                 timeout: float = WAIT_S) -> List[Message]:
        self.wait(lambda: len([m for m in self.log if m.at >= start and m.type == kind]) >= count,
                  timeout)
        return self.since(start, kind)

    def close(self) -> None:
        stop(self.proc)  # SIGTERM, SIGKILL if that does not do
        self.thread.join(timeout=WAIT_S)


def metric_names(model) -> List[str]:
    """Every metric a unit of this model is born with: each plain value topic and,
    for a digital port, its eight lines."""
    names = []
    for topic in expected_topics(model):
        names.append(topic)
        if topic.startswith(("di/", "do/")):
            names += [f"{topic}/{b}" for b in range(8)]
    return names


def assert_seq_runs(test: unittest.TestCase, messages: List[Message]) -> None:
    """seq counts every message of the node but the NDEATH, 0..255, from 0 at each NBIRTH."""
    expected = None
    for m in messages:
        if m.type not in ("NBIRTH", "DBIRTH", "DDATA", "DDEATH"):
            continue  # NDEATH (the will has none), commands
        if m.type == "NBIRTH":
            expected = 0
        if expected is not None:
            test.assertEqual(m.payload.seq, expected, f"{m.topic} seq")
            expected = (expected + 1) % 256


class SparkplugTest(unittest.TestCase):
    work: str
    broker: Optional[subprocess.Popen] = None
    sim: Optional[subprocess.Popen] = None
    gateway: Optional[subprocess.Popen] = None
    sub: Subscriber

    @classmethod
    def start_broker(cls) -> None:
        # Persistent, and without a limit on what it queues for a subscriber that is
        # away: the outage test's subscriber must not lose what comes meanwhile.
        cls.broker = harness.start_broker(cls.work, True,
                                          extra="max_queued_messages 0\nautosave_interval 0\n")

    @classmethod
    def write_config(cls, name: str, text: str) -> str:
        path = os.path.join(cls.work, name)
        with open(path, "w", encoding="ascii") as f:
            f.write("[units]\nrescan_s = 0\n" + text)
        return path

    @classmethod
    def start_gateway(cls, node: str = NODE, extra: str = "",
                      stderr=subprocess.DEVNULL) -> subprocess.Popen:
        config = cls.write_config(
            f"{node}.toml",
            f'[sparkplug]\nenabled = true\ngroup_id = "{GROUP}"\n{extra}'
            f'[store]\npath = "{cls.work}/{node}.db"\n')
        return harness.start_gateway("--id", node, "--period", str(PERIOD_MS), "--config",
                                     config, stderr=stderr)

    @classmethod
    def setUpClass(cls) -> None:
        global pb
        harness.require_private_network()
        cls.models = load_models()
        cls.work = tempfile.mkdtemp(prefix="kelvo-spb-test.")
        pb = compile_schema(cls.work)
        cls.start_broker()
        cls.sub = Subscriber([f"{BASE}/#"])
        control = os.path.join(cls.work, "control")
        cls.sim = harness.start_sim("--all-models", "--ini", os.path.join(cls.work, "Kelvo.ini"),
                                    "--control", control)
        cls.control = Control(control)
        cls.started = time.monotonic()
        cls.gateway = cls.start_gateway(extra=SCALED)

    @classmethod
    def tearDownClass(cls) -> None:
        for proc in (cls.gateway, cls.sim, cls.broker):
            stop(proc, signal.SIGKILL)
        cls.sub.close()
        cls.control.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    def dcmd(self, device: str, name: str, datatype: int, **v) -> None:
        payload = pb.Payload(timestamp=int(time.time() * 1000))
        payload.metrics.add(name=name, datatype=datatype, **v)
        publish(f"{BASE}/DCMD/{NODE}/{device}", payload.SerializeToString())

    def broker_log(self) -> List[str]:
        with open(os.path.join(self.work, "mosquitto-1883.log"), encoding="utf-8",
                  errors="replace") as f:
            return f.read().splitlines()

    def publications(self, kind: str) -> List[str]:
        """How the broker saw the node publish: "q0, r0" and the like, per message."""
        return [line.split("(", 1)[1].split(", m")[0].split(", ", 1)[1]
                for line in self.broker_log()
                if f"Received PUBLISH from {CLIENT} " in line and f"/{kind}/" in line]

    def births(self, start: float) -> Tuple[Message, Dict[str, Message]]:
        units = [f"{m}-1" for m in self.models]
        self.assertTrue(self.sub.wait(
            lambda: {m.device for m in self.sub.since(start, "DBIRTH")} >= set(units)))
        nbirth = self.sub.since(start, "NBIRTH")
        self.assertEqual(len(nbirth), 1)
        return nbirth[0], {m.device: m for m in self.sub.since(start, "DBIRTH")}

    # -- tests, in order ------------------------------------------------------

    def test_1_births(self) -> None:
        """An NBIRTH with bdSeq and the rebirth control, then a DBIRTH per unit with
        every point as a metric: name, datatype, value and timestamp."""
        nbirth, dbirths = self.births(self.started)
        metrics = {m.name: m for m in nbirth.payload.metrics}
        self.assertEqual(nbirth.payload.seq, 0)
        self.assertTrue(nbirth.payload.HasField("timestamp"))
        self.assertEqual(metrics["bdSeq"].datatype, INT64)
        self.assertIn(metrics["bdSeq"].long_value, range(256))
        self.assertEqual(metrics["Node Control/Rebirth"].boolean_value, False)
        self.assertEqual(nbirth.topic, f"{BASE}/NBIRTH/{NODE}")
        now_ms = time.time() * 1000
        for model, table in self.models.items():
            birth = dbirths[f"{model}-1"]
            names = [m.name for m in birth.payload.metrics]
            scaled = ["ai/0/value"] if model == "KV-109" else []
            self.assertEqual(sorted(names), sorted(metric_names(table) + scaled), model)
            for m in birth.payload.metrics:
                self.assertEqual(m.datatype, DOUBLE if m.name.endswith("/value") else
                                 BOOLEAN if m.name.count("/") == 2 else
                                 UINT8 if m.name[:2] in ("di", "do") else INT64, m.name)
                self.assertIsNotNone(m.WhichOneof("value"), m.name)
                self.assertLess(abs(m.timestamp - now_ms), 60_000, m.name)
                self.assertFalse(m.HasField("alias"), m.name)
        value_metric = [m for m in dbirths["KV-109-1"].payload.metrics if m.name == "ai/0/value"][0]
        self.assertEqual(list(value_metric.properties.keys), ["engUnit"])
        self.assertEqual(value_metric.properties.values[0].type, STRING)
        self.assertEqual(value_metric.properties.values[0].string_value, "degC")
        # Births at QoS 0, not retained; a clean session; commands subscribed at QoS 1.
        self.assertEqual(set(self.publications("NBIRTH") + self.publications("DBIRTH")),
                         {"q0, r0"})
        log = self.broker_log()
        self.assertTrue(any(f"as {CLIENT} (p2, c1," in line for line in log))
        self.assertTrue(any(f"{CLIENT} 1 {BASE}/NCMD/{NODE}" in line for line in log))
        self.assertTrue(any(f"{CLIENT} 1 {BASE}/DCMD/{NODE}/+" in line for line in log))
        assert_seq_runs(self, self.sub.since(self.started))

    def test_2_data_and_commands(self) -> None:
        """A change at a unit is a DDATA metric with its lines; DCMD writes reach the unit
        through the one command path, and a refused one changes nothing."""
        start = time.monotonic()
        before = time.time() * 1000
        self.control("set KV-101:1 di 1 90")
        self.assertTrue(self.sub.wait(lambda: any(
            m.device == "KV-101-1" and m.metrics().get("di/1") == 90
            for m in self.sub.since(start, "DDATA"))))
        data = [m for m in self.sub.since(start, "DDATA")
                if m.device == "KV-101-1" and m.metrics().get("di/1") == 90][0]
        got = {m.name: m for m in data.payload.metrics}
        # 0 -> 90 (0b01011010): the lines that changed, and only those.
        self.assertEqual({n for n in got if n.startswith("di/1/")},
                         {"di/1/1", "di/1/3", "di/1/4", "di/1/6"})
        self.assertTrue(all(m.boolean_value for n, m in got.items() if n != "di/1"))
        self.assertFalse(got["di/1"].is_historical)
        self.assertFalse(got["di/1"].HasField("datatype"))  # declared in the birth only
        self.assertEqual(set(self.publications("DDATA")), {"q1, r0"})
        self.assertGreaterEqual(got["di/1"].timestamp, before - 5)

        self.dcmd("KV-108-1", "do/0", UINT8, int_value=165)
        self.dcmd("KV-114-1", "do/2/5", BOOLEAN, boolean_value=True)
        self.dcmd("KV-110-1", "ao/1", INT64, long_value=(-2048) & (2**64 - 1))
        self.dcmd("KV-111-1", "cnt/0", INT64, long_value=1234)
        # Refused: an input, and a value beyond the port.
        self.dcmd("KV-101-1", "di/0", UINT8, int_value=1)
        self.dcmd("KV-108-1", "do/1", INT64, long_value=300)

        def shows(device, name, v):
            return lambda: any(m.device == device and m.metrics().get(name) == v
                               for m in self.sub.since(start, "DDATA"))
        self.assertTrue(self.sub.wait(shows("KV-108-1", "do/0", 165)))
        self.assertTrue(self.sub.wait(shows("KV-114-1", "do/2/5", True)))
        self.assertTrue(self.sub.wait(shows("KV-110-1", "ao/1", -2048)))
        self.assertTrue(self.sub.wait(shows("KV-111-1", "cnt/0", 1234)))
        self.assertEqual(json.loads(self.control("state KV-108:1"))["ports"][:2], [165, 0])
        self.assertEqual(json.loads(self.control("state KV-114:1"))["ports"][2], 0x20)
        self.assertEqual(json.loads(self.control("state KV-101:1"))["ports"][0], 0)
        assert_seq_runs(self, self.sub.since(self.started))

    def test_3_death_birth_rebirth(self) -> None:
        """DDEATH when a unit stops answering, DBIRTH when it is back; an NCMD rebirth
        brings a fresh NBIRTH (same bdSeq) and every DBIRTH."""
        start = time.monotonic()
        self.control("down KV-113:1")
        deaths = self.sub.wait_for(start, "DDEATH")
        self.assertEqual([m.device for m in deaths], ["KV-113-1"])
        self.control("up KV-113:1")
        self.assertTrue(self.sub.wait(lambda: any(
            m.device == "KV-113-1" for m in self.sub.since(start, "DBIRTH"))))
        self.assertLess(deaths[0].at, self.sub.since(start, "DBIRTH")[0].at)
        self.assertEqual(set(self.publications("DDEATH")), {"q0, r0"})

        old_bdseq = self.births(self.started)[0].metrics()["bdSeq"]
        start = time.monotonic()
        command = pb.Payload(timestamp=int(time.time() * 1000))
        command.metrics.add(name="Node Control/Rebirth", datatype=BOOLEAN, boolean_value=True)
        publish(f"{BASE}/NCMD/{NODE}", command.SerializeToString())
        nbirth, dbirths = self.births(start)
        self.assertEqual(nbirth.payload.seq, 0)
        self.assertEqual(nbirth.metrics()["bdSeq"], old_bdseq)
        self.assertEqual(len(dbirths), 20)
        assert_seq_runs(self, self.sub.since(self.started))

    def test_4_will_on_kill(self) -> None:
        """kill -9: the broker publishes the NDEATH will with the session's bdSeq; the
        next session's NBIRTH carries the next bdSeq."""
        bdseq = [m.metrics()["bdSeq"] for m in self.sub.since(self.started, "NBIRTH")][-1]
        start = time.monotonic()
        stop(self.gateway, signal.SIGKILL)
        deaths = self.sub.wait_for(start, "NDEATH")
        self.assertEqual(len(deaths), 1)
        self.assertEqual(deaths[0].topic, f"{BASE}/NDEATH/{NODE}")
        self.assertEqual(deaths[0].metrics()["bdSeq"], bdseq)
        self.assertFalse(deaths[0].payload.HasField("seq"))
        start = time.monotonic()
        type(self).gateway = self.start_gateway()
        nbirth, _ = self.births(start)
        self.assertEqual(nbirth.metrics()["bdSeq"], (bdseq + 1) % 256)

    def test_5_primary_host(self) -> None:
        """With a primary host (and Sparkplug alone), nothing is born before its STATE says
        online; when it goes offline the session ends (NDEATH) and changes wait, sent as
        history once it is back, after the births."""
        host = "spBv1.0/STATE/scada"
        publish(host, json.dumps({"online": False, "timestamp": 1}), retain=True)
        start = time.monotonic()
        gateway = self.start_gateway("edge2", 'primary_host = "scada"\nplain_topics = false\n')
        try:
            mine = lambda kind: [m for m in self.sub.since(start, kind)
                                 if m.topic.split("/")[3] == "edge2"]
            time.sleep(1.5)
            self.assertEqual(mine("NBIRTH"), [])
            publish(host, json.dumps({"online": True, "timestamp": 2}), retain=True)
            self.assertTrue(self.sub.wait(lambda: len(mine("DBIRTH")) == 20))
            publish(host, json.dumps({"online": False, "timestamp": 3}), retain=True)
            self.assertTrue(self.sub.wait(lambda: len(mine("NDEATH")) == 1))
            away = time.monotonic()
            self.control("set KV-112:1 di 3 77")
            time.sleep(0.5)
            self.assertEqual([m for m in mine("DDATA") if m.at > away], [])
            publish(host, json.dumps({"online": True, "timestamp": 4}), retain=True)
            self.assertTrue(self.sub.wait(lambda: any(
                m.metrics().get("di/3") == 77 for m in mine("DDATA") if m.at > away)))
            back = [m for m in self.sub.since(away) if m.topic.split("/")[3] == "edge2"]
            self.assertEqual([m.type for m in back[:21]], ["NBIRTH"] + ["DBIRTH"] * 20)
            late = [m for m in back if m.type == "DDATA" and "di/3" in m.metrics()][0]
            self.assertTrue(late.payload.metrics[0].is_historical)
            assert_seq_runs(self, back)
            # An offline STATE older than the last one seen is ignored.
            publish(host, json.dumps({"online": False, "timestamp": 3}), retain=True)
            time.sleep(1.0)
            self.assertEqual(len(mine("NDEATH")), 1)
            # A clean stop publishes the NDEATH itself.
            stop(gateway)
            self.assertTrue(self.sub.wait(lambda: len(mine("NDEATH")) == 2))
            # Sparkplug alone: one session, the gateway's own client ID, no plain topics.
            sent = [line for line in self.broker_log()
                    if "Received PUBLISH from kelvo-gateway-edge2 " in line]
            self.assertTrue(any("/NBIRTH/edge2'" in line for line in sent))
            self.assertFalse(any("'kelvo/" in line for line in sent))
        finally:
            stop(gateway)
            publish(host, "", retain=True)

    def test_6_outage(self) -> None:
        """The broker is away for a minute while twenty units change every 100 ms, and
        the gateway is killed and restarted meanwhile: every change it saw arrives after
        the reconnect, in order, marked historical, with the time it was read."""
        lib = AnalogOutputs(self.work)
        changes: Dict[Tuple[str, str], List[Tuple[float, int]]] = {}
        sub = Subscriber([f"{BASE}/#", f"kelvo/gateway/{NODE}/history/#"], client_id="spb-outage")
        time.sleep(0.5)  # subscribed, so the broker keeps what comes while it is away
        sub.close()
        stop(self.broker)
        outage_ms = time.time() * 1000
        kill_window = [0.0, 0.0]

        def change(k: int) -> None:
            for model, table in self.models.items():
                kind = table[0]
                unit = f"{model}:1"
                made = time.time()  # before: the unit cannot show it any sooner
                if kind in (1, 3, 4):
                    self.control(f"set {unit} di 0 {k % 256}")
                    name, v = "di/0", k % 256
                elif kind == 2:
                    self.control(f"set {unit} do 0 {k % 256}")
                    name, v = "do/0", k % 256
                elif kind == 5:
                    self.control(f"set {unit} ai 0 {k}")
                    name, v = "ai/0", k
                elif kind == 6:
                    lib.write(model, 0, k % 4000)
                    name, v = "ao/0", k % 4000
                else:
                    self.control(f"set {unit} cnt 0 {k}")
                    name, v = "cnt/0", k
                changes.setdefault((f"{model}-1", name), []).append((made, v))

        def kill_and_restart() -> None:
            kill_window[0] = time.time()
            stop(self.gateway, signal.SIGKILL)
            type(self).gateway = self.start_gateway()
            kill_window[1] = time.time()

        restart = threading.Timer(OUTAGE_S / 2, kill_and_restart)
        restart.start()
        begin = time.monotonic()
        k = 1
        while time.monotonic() - begin < OUTAGE_S:
            change(k)
            k += 1
            # Late (a loaded machine): the next change still comes no sooner than
            # three polls later, so that the gateway can see every one.
            time.sleep(max(3 * PERIOD_MS / 1000, begin + k * CHANGE_S - time.monotonic()))
        restart.join()
        self.start_broker()
        restarted = time.monotonic()
        sub = Subscriber([f"{BASE}/#", f"kelvo/gateway/{NODE}/history/#"], client_id="spb-outage")
        try:
            last = {key: seen[-1][1] for key, seen in changes.items()}

            def arrived() -> bool:
                got = {}
                for m in sub.since(restarted, "DDATA"):
                    for n, v in m.metrics().items():
                        got[(m.device, n)] = v
                return all(got.get(key) == v for key, v in last.items())
            self.assertTrue(sub.wait(arrived, timeout=RECONNECT_S + 20))
            data = [m for m in sub.since(restarted, "DDATA")]
            historical = {}
            for m in data:
                for metric in m.payload.metrics:
                    key = (m.device, metric.name)
                    if key in changes:
                        historical.setdefault(key, []).append(
                            (value(metric), metric.timestamp, metric.is_historical))
            for key, made in changes.items():
                self.assert_all_in_order(key, made, historical.get(key, []), kill_window,
                                         outage_ms)
            assert_seq_runs(self, sub.since(restarted))
            # The plain topics keep their history too: not retained, off the value topics.
            plain = [json.loads(m.raw) for m in sub.since(restarted)
                     if m.topic == f"kelvo/gateway/{NODE}/history/KV-101-1/di/0"]
            self.assertGreater(len(plain), OUTAGE_S * 5)
            self.assertEqual([p["ts"] for p in plain], sorted(p["ts"] for p in plain))
            self.assertTrue(all(p["ts"] >= outage_ms for p in plain))
        finally:
            sub.close()

    def assert_all_in_order(self, key, made, received, kill_window, outage_ms) -> None:
        """Each change made while the gateway ran shows, in the order made, with the
        time it was read."""
        def may_miss(at: int) -> None:
            # Only what changed while the gateway was down may be missing.
            t = made[at][0]
            self.assertTrue(kill_window[0] - 0.2 <= t <= kill_window[1] + 0.2,
                            f"{key}: {made[at][1]} made at {t:.3f} is missing; DEBUG {[(r[0], r[1] - int(made[0][0]*1000)) for r in received if abs(r[1] - t * 1000) < 600]} made {[(m[1], int((m[0] - made[0][0]) * 1000)) for m in made if abs(m[0] - t) < 0.6]}")

        at = -1
        for v, stamp, historical in received:
            if stamp < outage_ms or (at >= 0 and made[at][1] == v):
                continue  # the value before the outage; a message sent again
            at += 1
            while at < len(made) and made[at][1] != v:
                may_miss(at)
                at += 1
            self.assertLess(at, len(made), f"{key}: {v} out of order or never made")
            self.assertTrue(historical, f"{key}: {v} not marked historical")
            # Read after it was made, and long before the replay.
            self.assertGreaterEqual(stamp, made[at][0] * 1000 - 5, key)
            if at + 1 < len(made):
                self.assertLessEqual(stamp, made[at + 1][0] * 1000 + 500, key)
        for missing in range(at + 1, len(made)):
            may_miss(missing)


class AnalogOutputs:
    """The analog output units through the library (the simulator's control channel
    sets inputs only), as another client writing them would."""

    def __init__(self, list_dir: str) -> None:
        os.environ["KELVO_DEVICE_LIST_DIR"] = list_dir
        self.lib = ctypes.CDLL(os.environ["KELVO_LIBRARY"])
        self.lib.Kelvo_OpenByIP.restype = ctypes.c_void_p
        self.lib.Kelvo_OpenByIP.argtypes = [ctypes.c_char_p]
        self.lib.Kelvo_WriteAIO.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int32]
        if self.lib.Kelvo_Initial() < 20:
            raise RuntimeError("the library did not find the simulated units")
        self.handles = {}

    def write(self, model: str, channel: int, v: int) -> None:
        if model not in self.handles:
            address = f"127.0.0.{int(model[3:]) - 99}"
            self.handles[model] = self.lib.Kelvo_OpenByIP(address.encode())
        assert self.lib.Kelvo_WriteAIO(self.handles[model], channel, v) == 0


if __name__ == "__main__":
    unittest.main()
