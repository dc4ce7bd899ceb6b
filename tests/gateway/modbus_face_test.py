"""kelvo-gateway's Modbus TCP face against kelvo-sim --all-models, with
independent clients: mbpoll, pymodbus and raw frames.

Runs only in a private network namespace (scripts/netns-run): the gateway
finds the units by broadcast. No broker is started; the gateway keeps
retrying it, which the Modbus face does not depend on. The tests run in the
order of their names and share the processes.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest
from typing import List, Optional

import harness
from harness import Control, stop

try:
    from pymodbus.client import ModbusTcpClient
except ImportError:  # pragma: no cover - the ctest entry names a python that has it
    ModbusTcpClient = None

PORT = 15020
WAIT_S = harness.WAIT_S
IDLE_S = 2
CLIENTS = 64

CONFIG = f"""
[units]
rescan_s = 0
[modbus]
clients = {CLIENTS}
idle_timeout_s = {IDLE_S}
[unit."KV-109-1".ai.0]
scale = [0, 32000, 0, 100]
unit = "degC"
[unit."KV-110-1".ao.0]
scale = [0, 4000, 0, 10]
unit = "V"
[unit."KV-112-1".di.3]
bits = ["door", "pump"]
[unit."KV-118-1"]
modbus_id = 40
"""


def frame(unit: int, function: int, data: bytes, transaction: int = 7) -> bytes:
    return struct.pack(">HHHBB", transaction, 0, len(data) + 2, unit, function) + data


def connect() -> socket.socket:
    s = socket.create_connection(("127.0.0.1", PORT), timeout=WAIT_S)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def receive(s: socket.socket) -> bytes:
    """One answer frame; b"" when the server closed the connection."""
    data = b""
    while len(data) < 6 or len(data) < 6 + struct.unpack(">H", data[4:6])[0]:
        want = 6 - len(data) if len(data) < 6 else 6 + struct.unpack(">H", data[4:6])[0] - len(data)
        chunk = s.recv(want)
        if not chunk:
            return b""
        data += chunk
    return data


def ask(unit: int, function: int, data: bytes) -> bytes:
    """The PDU of the answer to one request on a connection of its own."""
    with connect() as s:
        s.sendall(frame(unit, function, data))
        answer = receive(s)
    return answer[7:]


@unittest.skipIf(ModbusTcpClient is None, "python3-pymodbus is not installed")
class ModbusFaceTest(unittest.TestCase):
    work: str
    sim: Optional[subprocess.Popen] = None
    gateway: Optional[subprocess.Popen] = None

    @classmethod
    def setUpClass(cls) -> None:
        harness.require_private_network()
        cls.work = tempfile.mkdtemp(prefix="kelvo-modbus-test.")
        os.environ["KELVO_DEVICE_LIST_DIR"] = cls.work
        control = os.path.join(cls.work, "control")
        cls.sim = harness.start_sim("--all-models", "--control", control)
        cls.control = Control(control)
        cls.config = os.path.join(cls.work, "gateway.toml")
        with open(cls.config, "w", encoding="ascii") as f:
            f.write(CONFIG)
        cls.gateway = harness.start_gateway("--period", "100", "--config", cls.config,
                                            "--modbus", f"127.0.0.1:{PORT}")
        cls.client = ModbusTcpClient("127.0.0.1", port=PORT, timeout=WAIT_S)
        cls.client.connect()

    @classmethod
    def tearDownClass(cls) -> None:
        cls.client.close()
        for proc in (cls.gateway, cls.sim):
            stop(proc, signal.SIGKILL)
        cls.control.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    def state(self, unit: str) -> dict:
        return json.loads(self.control(f"state {unit}"))

    def eventually(self, read, expected, timeout: float = WAIT_S):
        """Reads until `read()` gives `expected` (the gateway polls every period)."""
        deadline = time.monotonic() + timeout
        while True:
            got = read()
            if got == expected or time.monotonic() > deadline:
                self.assertEqual(got, expected)
                return
            time.sleep(0.05)

    def registers(self, unit: int, address: int, count: int, holding: bool = False) -> List[int]:
        read = self.client.read_holding_registers if holding else self.client.read_input_registers
        answer = read(address, count, slave=unit)
        self.assertFalse(answer.isError(), answer)
        return answer.registers

    # -- tests, in order ----------------------------------------------------

    def test_1_done_when(self) -> None:
        # mbpoll reads the three port bytes of KV-108-1 as the simulator holds them.
        for port, value in enumerate((17, 34, 201)):
            self.control(f"set KV-108:1 di {port} {value}")
        self.eventually(lambda: self.registers(8, 0, 3), [17, 34, 201])
        out = subprocess.run(["mbpoll", "-m", "tcp", "-a", "8", "-t", "3", "-0", "-r", "0",
                              "-c", "3", "-1", "-p", str(PORT), "127.0.0.1"],
                             capture_output=True, text=True, timeout=WAIT_S, check=True).stdout
        self.assertIn("[0]: \t17", out)
        self.assertIn("[1]: \t34", out)
        self.assertIn("[2]: \t201", out)
        # write_coil(3, True, slave=8) sets bit 3 of port 0 and nothing else.
        self.assertFalse(self.client.write_coil(3, True, slave=8).isError())
        self.assertEqual(self.state("KV-108:1")["ports"], [17 | 8, 34, 201])
        # No unit 99: gateway path unavailable.
        self.assertEqual(ask(99, 4, struct.pack(">HH", 0, 3)), bytes([0x84, 0x0A]))

    def test_2_every_table_read(self) -> None:
        self.control("set KV-112:1 di 3 165")  # 1010 0101
        self.control("set KV-109:1 ai 2 -1234")
        self.control("set KV-109:1 ai 0 16000")  # 50 degC by its scale
        self.control("set KV-111:1 cnt 1 54321")
        self.eventually(lambda: self.registers(12, 3, 1), [165])
        bits = self.client.read_discrete_inputs(24, 8, slave=12).bits
        self.assertEqual(bits[:8], [True, False, True, False, False, True, False, True])
        self.eventually(lambda: self.registers(9, 102, 1), [-1234 & 0xFFFF])
        self.eventually(lambda: self.registers(9, 300, 2), list(struct.unpack(
            ">HH", struct.pack(">f", 50.0))))
        self.eventually(lambda: self.registers(11, 202, 2), [0, 54321])
        self.assertEqual(self.registers(8, 1000, 5), [108, 1, 0, 1, 0x0103])
        # A block across the map's gaps: what a unit lacks reads 0.
        block = self.registers(9, 100, 125)
        self.assertEqual(len(block), 125)
        self.assertEqual(block[2], -1234 & 0xFFFF)
        self.assertEqual(block[16:], [0] * 109)

    def test_3_every_table_written(self) -> None:
        c = self.client
        # Holding registers: a port byte, three ports at once, an analog code,
        # a scaled engineering value, a counter preset.
        self.assertFalse(c.write_register(5, 0x3C, slave=14).isError())
        self.assertEqual(self.state("KV-114:1")["ports"][5], 0x3C)
        self.assertFalse(c.write_registers(0, [1, 2, 3], slave=8).isError())
        self.assertEqual(self.state("KV-108:1")["ports"], [1, 2, 3])
        self.assertFalse(c.write_register(101, 3000, slave=10).isError())
        self.assertFalse(c.write_registers(300, list(struct.unpack(
            ">HH", struct.pack(">f", 2.5))), slave=10).isError())
        self.assertEqual(self.state("KV-110:1")["outputs"][:2], [1000, 3000])
        self.assertEqual(self.registers(10, 100, 2, holding=True), [1000, 3000])
        self.assertFalse(c.write_registers(200, [0, 40000], slave=11).isError())
        self.assertEqual(self.state("KV-111:1")["counters"][0], 40000)
        # Coils across two ports: one masked command per port.
        self.assertFalse(c.write_register(0, 0, slave=14).isError())
        self.assertFalse(c.write_register(1, 0xFF, slave=14).isError())
        self.assertFalse(c.write_coils(6, [True, True, False, False], slave=14).isError())
        self.assertEqual(self.state("KV-114:1")["ports"][:2], [0xC0, 0xFC])
        self.assertEqual(c.read_coils(6, 4, slave=14).bits[:4], [True, True, False, False])
        # A write then a read in one segment: answered in order, the read after the write.
        with connect() as s:
            s.sendall(frame(14, 6, struct.pack(">HH", 2, 0x5A), 1) +
                      frame(14, 3, struct.pack(">HH", 2, 1), 2))
            first, second = receive(s), receive(s)
        self.assertEqual(first[:2] + first[7:], b"\x00\x01\x06\x00\x02\x00\x5A")
        self.assertEqual(second[:2] + second[7:], b"\x00\x02\x03\x02\x00\x5A")

    def test_4_exception_codes(self) -> None:
        def code(unit: int, function: int, data: bytes) -> int:
            pdu = ask(unit, function, data)
            self.assertEqual(pdu[0], function | 0x80, pdu)
            return pdu[1]

        read = struct.pack(">HH", 0, 1)
        self.assertEqual(code(8, 0x2B, b"\x0e\x01\x00"), 0x01)  # no such function
        self.assertEqual(code(8, 4, struct.pack(">HH", 5, 1)), 0x02)  # port 5 of 3
        self.assertEqual(code(1, 1, read), 0x02)  # KV-101 has no outputs
        self.assertEqual(code(9, 3, struct.pack(">HH", 1000, 1)), 0x02)  # not in holding
        self.assertEqual(code(8, 3, struct.pack(">HH", 0, 126)), 0x03)  # count
        self.assertEqual(code(14, 6, struct.pack(">HH", 0, 256)), 0x03)  # not a byte
        self.assertEqual(code(10, 6, struct.pack(">HH", 100, 4096)), 0x03)  # 12 bits
        self.assertEqual(code(11, 6, struct.pack(">HH", 201, 1)), 0x03)  # half a preset
        self.assertEqual(code(14, 5, struct.pack(">HH", 0, 0x1234)), 0x03)  # coil value
        self.assertEqual(code(14, 16, struct.pack(">HHB", 0, 2, 3) + b"\0\0\0"), 0x03)
        # A refused write changes nothing, even where part of it was valid.
        self.assertEqual(code(14, 16, struct.pack(">HHBHH", 7, 2, 4, 9, 9)), 0x02)
        self.assertEqual(self.state("KV-114:1")["ports"][7], 0)
        # The unit refuses once: server device failure; the next write goes through.
        self.control("fault add KV-114:1=status:1,times=1,cmd=0x21")
        self.assertEqual(code(14, 6, struct.pack(">HH", 4, 9)), 0x04)
        self.assertEqual(ask(14, 6, struct.pack(">HH", 4, 9)), bytes([6, 0, 4, 0, 9]))
        self.assertEqual(code(200, 4, read), 0x0A)
        # An offline unit: reads and writes fail to respond, its info still reads.
        self.control("down KV-120:1")
        try:
            deadline = time.monotonic() + WAIT_S
            while ask(19, 3, struct.pack(">HH", 100, 1))[0] != 0x83 and \
                    time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertEqual(code(19, 3, struct.pack(">HH", 100, 1)), 0x0B)
            self.assertEqual(code(19, 6, struct.pack(">HH", 100, 1)), 0x0B)
            self.assertEqual(ask(19, 4, struct.pack(">HH", 1003, 1)), bytes([4, 2, 0, 0]))
        finally:
            self.control("up KV-120:1")

    def test_5_clients_garbage_and_stalls(self) -> None:
        self.client.close()
        request = frame(8, 4, struct.pack(">HH", 1000, 1))
        clients = [connect() for _ in range(CLIENTS)]
        try:
            for s in clients:
                s.sendall(request)
            for s in clients:
                self.assertEqual(receive(s)[7:], bytes([4, 2, 0, 108]))
            with connect() as extra:  # past the limit: closed at once
                self.assertEqual(extra.recv(16), b"")
        finally:
            for s in clients:
                s.close()
        # Garbage and oversized frames cost their own connection only.
        for bad in (struct.pack(">HHHB", 1, 0x1234, 6, 8) + b"\x04\0\0\0\1",
                    struct.pack(">HHHB", 1, 0, 300, 8) + b"\x04" * 300,
                    struct.pack(">HHHB", 1, 0, 1, 8)):
            with connect() as s:
                s.sendall(bad)
                self.assertEqual(s.recv(16), b"")
        # A client that stalls mid-frame holds back nobody, and is closed when idle.
        staller = connect()
        staller.sendall(request[:5])
        started = time.monotonic()
        self.control("set KV-108:1 di 2 99")
        self.eventually(lambda: ask(8, 4, struct.pack(">HH", 2, 1)), bytes([4, 2, 0, 99]))
        self.assertLess(time.monotonic() - started, IDLE_S)
        self.assertEqual(staller.recv(16), b"")
        staller.close()

    def test_6_map_and_word_order(self) -> None:
        out = subprocess.run([os.environ["KELVO_GATEWAY"], "--config", self.config,
                              "--print-modbus-map", "--csv"], capture_output=True, text=True,
                             timeout=WAIT_S, check=True).stdout.splitlines()
        ids = {line.split(",")[1]: int(line.split(",")[0]) for line in out[1:]}
        self.assertEqual(ids["KV-101-1"], 1)
        self.assertEqual(ids["KV-117-1"], 17)
        self.assertEqual(ids["KV-118-1"], 40)
        self.assertEqual(ids["KV-120-1"], 19)
        self.assertIn('12,KV-112-1,"KV-112-1",discrete input,25,1,bit,r,di/3/1,"pump",""', out)
        self.assertIn('9,KV-109-1,"KV-109-1",input register,300,2,float32,r,ai/0,'
                      '"engineering value","degC"', out)
        # Low word first on a second gateway, on the same units.
        config = os.path.join(self.work, "low.toml")
        with open(config, "w", encoding="ascii") as f:
            f.write('[units]\nrescan_s = 0\n[modbus]\nword_order = "low_first"\n')
        low = harness.start_gateway("--config", config, "--modbus", f"127.0.0.1:{PORT + 1}")
        try:
            with ModbusTcpClient("127.0.0.1", port=PORT + 1, timeout=WAIT_S) as c:
                self.assertEqual(c.read_input_registers(202, 2, slave=11).registers, [54321, 0])
        finally:
            stop(low)

    def test_7_bad_settings(self) -> None:
        """Refused at start with exit status 2, naming what is wrong; nothing starts."""
        path = os.path.join(self.work, "bad.toml")
        cases = [
            ('[unit."KV-101-1"]\nmodbus_id = 248\n', [], ":2: 'modbus_id' must be 1..247"),
            ('[unit."KV-101-1"]\nmodbus_id = 3\n[unit."KV-102-1"]\nmodbus_id = 3\n', [],
             ":4: units 'KV-101-1' and 'KV-102-1' both have modbus_id 3"),
            ('[modbus]\nword_order = "middle"\n', [], ":2: 'word_order' must be"),
            ('[modbus]\nclients = 0\n', [], ":2: 'clients' must be 1..4096"),
            ('[modbus]\nport = 502\n', [], ":2: unknown key 'port' in [modbus]"),
            ("", ["--modbus", "127.0.0.1:70000"], "bad port '70000'"),
            ("", ["--modbus", f"127.0.0.1:{PORT}"], "cannot listen on"),  # taken by the test's
        ]
        for text, args, message in cases:
            with open(path, "w", encoding="ascii") as f:
                f.write(text)
            run = subprocess.run([os.environ["KELVO_GATEWAY"], "--config", path, *args],
                                 capture_output=True, text=True, timeout=WAIT_S)
            self.assertEqual(run.returncode, 2, text + " ".join(args))
            self.assertIn(message, run.stderr, text + " ".join(args))


if __name__ == "__main__":
    unittest.main()
