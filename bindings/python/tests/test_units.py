"""The object API against kelvo-sim: discovery, I/O, sampling, errors, threads.

Run inside scripts/netns-run with KELVO_LIBRARY and KELVO_SIM set. Each test
starts its own simulator (kelvo.testing) and stops it afterwards. With
--all-models the unit of model code c is at 127.0.0.(c + 1), unit ID 1.
"""

import ctypes
import logging
import os
import socket
import tempfile
import threading
import time
import unittest

import kelvo
import kelvo.testing
from kelvo import raw
from kelvo.testing import Simulator, require_private_network
from support import required_file

# Model code -> (ports or channels, bits) as the library reports them.
MODELS = {
    1: (2, 8), 2: (2, 8), 3: (2, 8), 4: (2, 8), 5: (2, 8), 6: (2, 8), 7: (2, 8), 8: (3, 8),
    9: (16, 16), 10: (4, 12), 11: (2, 16), 12: (8, 8), 13: (4, 8), 14: (8, 8), 15: (4, 8),
    16: (8, 8), 17: (4, 8), 18: (2, 8), 19: (16, 16), 20: (4, 12),
}
POLL_LIMIT_S = 3.0


def setUpModule():
    require_private_network()
    raw.load(required_file("KELVO_LIBRARY"))


class SimTestCase(unittest.TestCase):
    """Starts the simulator and lets the library find its units."""

    SIM_ARGS = ["--all-models"]
    INI_MODE = 1  # file only: no broadcast, so discover() is quick

    def setUp(self):
        self.sim = Simulator(args=self.SIM_ARGS, ini_mode=self.INI_MODE, control=True,
                             exchange_log=True)
        self.addCleanup(self.sim.stop)  # also when the rest of setUp fails
        self.found = kelvo.discover() if self.INI_MODE is None else self.sim.discover()


class DiscoveryTest(SimTestCase):
    SIM_ARGS = ["--all-models", "--unit", "KV-116:9@127.0.0.40,aux=0x21"]
    INI_MODE = None  # no device-list file: the library broadcasts

    def test_discover_lists_every_model(self):
        by_code = {}
        for s in self.found:
            by_code.setdefault(s.model_code, []).append(s)
        self.assertEqual(sorted(by_code), list(range(1, 21)))
        for code, (total, bits) in MODELS.items():
            first = min(by_code[code], key=lambda s: s.unit_id)
            self.assertEqual((first.model_name, first.unit_id, first.aux_byte),
                             (f"KV-{100 + code}", 1, 0))
            self.assertEqual((first.total, first.bits), (total, bits), first.model_name)
        # Unit ID and aux byte come from the unit and must not be swapped.
        extra = [s for s in by_code[16] if s.unit_id == 9]
        self.assertEqual(len(extra), 1)
        self.assertEqual((extra[0].aux_byte, extra[0].key), (0x21, "KV-116:9"))
        self.assertEqual(len(self.found), 21)
        self.assertEqual(kelvo.units(), self.found)  # browsing again finds the same
        with kelvo.open(extra[0]) as unit, kelvo.open("KV-116:1") as other:
            unit.write_port(0, 0x3C)
            self.assertEqual((unit.read_port(0), other.read_port(0)), (0x3C, 0))

        # A listed address next to the broadcast: the library identifies it
        # (it answers the broadcast too, so it is listed twice).
        both = kelvo.discover(["127.0.0.40", "127.0.0.99"], broadcast=True)
        self.assertEqual(len(both), 22)
        self.assertEqual([s.key for s in both].count("KV-116:9"), 2)


class OpenTest(SimTestCase):
    def test_open_by_name_code_and_address(self):
        by_name = kelvo.open("KV-103:1")
        self.assertEqual(by_name.summary.model_code, 3)
        self.assertEqual(by_name.label, "KV-103:1")
        # One unit, one library handle, however it is opened; the handle
        # survives a 64-bit round trip through ctypes.
        self.assertEqual(kelvo.open("kv-103:1").handle, by_name.handle)
        self.assertEqual(kelvo.open("3:1").handle, by_name.handle)
        self.assertEqual(kelvo.open(3, 1).handle, by_name.handle)
        self.assertEqual(kelvo.open("127.0.0.4").handle, by_name.handle)
        self.assertEqual(kelvo.open("127.0.0.4").model.name, "KV-103")  # told by its handle

        version = by_name.version()
        self.assertEqual(version.device_version, (1, 3))
        self.assertEqual(version.device_date, "2025/11/14")
        self.assertEqual(version.library_version, kelvo.library_version().library_version)
        self.assertEqual(kelvo.library_version().device_date, "")

        with kelvo.open("127.0.0.9") as unit:  # KV-108
            unit.write_port(2, 0x42)
            self.assertEqual(unit.read_port(2), 0x42)
        self.assertFalse(unit.close())  # the with block closed it

        for bad in ("KV-199:1", "KV-103:7", "127.0.0.99"):
            with self.assertRaises(kelvo.OpenError, msg=bad):
                kelvo.open(bad)
        with self.assertRaises(ValueError):
            kelvo.open("KV-103")

    def test_discover_given_addresses_without_broadcast(self):
        started = time.monotonic()
        found = kelvo.discover(["127.0.0.10", "127.0.0.9", "127.0.0.99"], broadcast=False)
        self.assertLess(time.monotonic() - started, 1.4)  # no broadcast and its 1.5 s wait
        self.assertEqual([s.key for s in found], ["KV-109:1", "KV-108:1"])  # .99: nobody
        self.assertEqual((found[0].total, found[0].bits, found[0].aux_byte), (16, 16, 0))
        with kelvo.open("KV-108:1") as unit:
            unit.write_port(1, 0x3C)
            self.assertEqual(unit.read_port(1), 0x3C)
        with self.assertRaises(ValueError):
            kelvo.discover(broadcast=False)  # nothing to look at


class IoTest(SimTestCase):
    def test_digital_write_and_read_back(self):
        with kelvo.open("KV-108:1") as unit:  # three ports, each readable and writable
            unit.write_port(0, 0xA5)
            self.assertEqual(unit.read_port(0), 0xA5)
            unit.write_port(0, 0xFF, mask=0x0F)  # only the low lines change
            self.assertEqual(unit.read_port(0), 0xAF)
            unit.write_ports([1, 2, 1], [0x11, 0x22, 0x33], [0xFF, 0xFF, 0x0F])
            self.assertEqual(unit.read_ports([2, 1, 0, 2]), [0x22, 0x03, 0xAF, 0x22])
            unit.set_directions([0xFF, 0x00, 0x0F])
            with self.assertRaises(ValueError):
                unit.write_port(256, 0)  # would alias port 0 in the C call
        with kelvo.open("KV-112:1") as inputs:  # driven through the control channel
            self.sim.command("set KV-112:1 di 3 0x5A")
            self.assertEqual(inputs.read_ports([3, 0]), [0x5A, 0])
            with self.assertRaises(ValueError):
                inputs.read_outputs()  # an input unit has none
        # Output ports read back with their numbers: the library reads inputs only.
        with kelvo.open("KV-103:1") as inout, kelvo.open("KV-116:1") as wide:
            inout.write_port(1, 0x3C)
            self.sim.command("set KV-103:1 di 0 0x81")
            self.assertEqual(inout.read_outputs(), {1: 0x3C})
            wide.write_ports([4, 7], [0x12, 0xFE])
            self.assertEqual(wide.read_outputs(), {4: 0x12, 5: 0, 6: 0, 7: 0xFE})

    def test_analog_read(self):
        with kelvo.open("KV-109:1") as unit:  # channels 3, 7, 11, 15 are constants
            self.assertEqual(unit.read_analog(3), 1000)
            unit.set_gain(3, 2)  # x4
            self.assertEqual(unit.read_analog(3), 4000)
            self.assertEqual(unit.read_analogs([15, 3, 7, 3]), {3: 4000, 7: 2000, 15: 4000})
            square = unit.read_analog(2)  # +-4000: proves sign extension
            self.assertIn(square, (4000, -4000))

    def test_analog_write(self):
        with kelvo.open("KV-110:1") as unit:  # four 12-bit outputs
            unit.write_analog(1, 1234)
            unit.write_analogs({2: -5, 0: 100})
            # The outputs read back through raw access: CMD_READ, selector 0xFF.
            block = unit.access(bytes([0x11, 0, 0, 0xFF, 240, 0, 0, 0]))
            entries = [int.from_bytes(block[i:i + 4], "little", signed=True)
                       for i in range(0, 16, 4)]
            self.assertEqual(entries, [100, 1234, -5, 0])
            single = unit.access(bytes([0x11, 0, 0, 1, 2, 0, 0, 0]), reply_length=2)
            self.assertEqual(single, (1234).to_bytes(2, "little"))

    def test_counters(self):
        with kelvo.open("KV-111:1") as unit:
            unit.write_counter(0, 500)
            self.assertEqual(unit.read_counter(0), 500)  # mode 0 holds the count
            unit.write_counter(0, 0xFFFF)
            self.assertEqual(unit.read_counter(0), -1)  # 16-bit, sign-extended
            unit.write_counter(1, 0)
            unit.set_counter_mode(1, 1, 0)  # count up, 100 per second
            time.sleep(0.2)
            self.assertGreater(unit.read_counter(1), 0)

    def test_arguments_outside_the_model_raise_before_any_exchange(self):
        dio, ai, ao, counter = (kelvo.open(key)
                                for key in ("KV-103:1", "KV-109:1", "KV-110:1", "KV-111:1"))
        before = len(self.sim.exchanges())
        refused = [
            (lambda: dio.read_port(1), "port 1 out of range for KV-103 (1 input port)"),
            (lambda: dio.write_ports([0, 2], [1, 1]), "port 2 out of range for KV-103"),
            (lambda: dio.read_analog(0), "KV-103 is a digital input and output unit, not an "
                                         "analog unit"),
            (lambda: ai.read_analogs([3, 99]), "channel 99 out of range for KV-109"),
            (lambda: ai.write_analog(0, 1), "KV-109 (no output channels)"),
            (lambda: ai.set_gain(3, 4), "gain 4 is not one of KV-109's gains"),
            (lambda: ao.write_analog(0, 100000), "the 12-bit values of KV-110 (-2048..4095)"),
            (lambda: ao.write_analogs({0: 1, 9: 7}), "channel 9 out of range for KV-110"),
            (lambda: counter.read_counter(2), "counter 2 out of range for KV-111"),
            (lambda: counter.write_counter(0, 1 << 16), "16-bit values of KV-111"),
            (lambda: counter.write_port(0, 1), "KV-111 is a counter unit, not a digital unit"),
        ]
        for call, message in refused:
            with self.assertRaises(ValueError, msg=message) as caught:
                call()
            self.assertIn(message, str(caught.exception))
        self.assertEqual(len(self.sim.exchanges()), before)


class SamplingTest(SimTestCase):
    def wait_for_samples(self, unit, analog=False):
        deadline = time.monotonic() + POLL_LIMIT_S
        status = unit.sampling_status(analog=analog)
        while status.count == 0 and time.monotonic() < deadline:
            time.sleep(0.02)
            status = unit.sampling_status(analog=analog)
        time.sleep(0.05)  # some more samples at one per millisecond
        return status

    def test_digital_sampling_and_memory(self):
        with kelvo.open("KV-112:1") as unit:
            settings = kelvo.SamplingSettings(
                timing=0x04, cycle=100, frequency=0x123456, output_mode=0x08,
                trigger_lower=3, trigger_upper=2, trigger_value=0x1234,
                trigger_data1=(1, 2), trigger_data2=(3, 4))
            settings.apply(unit)
            self.assertEqual(kelvo.SamplingSettings.read(unit), settings)
            # The analog trigger shares bytes with the digital trigger data.
            unit.set_analog_trigger(3, 0x80)
            self.assertEqual(unit.get_trigger_data(), ((3, 2), (0x80, 4)))
            self.assertEqual(unit.get_analog_trigger(), (3, 0x80))
            self.assertEqual(unit.get_trigger(analog=True), (3, 2, 0x1234))

            kelvo.SamplingSettings(cycle=1).apply(unit)  # one sample per ms
            unit.write_port(0, 0x5A)
            unit.start_sampling()
            status = self.wait_for_samples(unit)
            self.assertEqual(status.state, 1)
            self.assertGreaterEqual(status.count, 4096)
            unit.stop_sampling()
            self.assertEqual(unit.sampling_status().state, 0)
            self.assertEqual(unit.read_memory(16), (b"\x5a" + bytes(7)) * 2)

            pattern = bytes(range(256)) * 3  # four chunks of at most 248 bytes
            unit.write_memory(pattern)
            self.assertEqual(unit.read_memory(600), pattern[:600])
            unit.seek_memory(300)
            self.assertEqual(unit.read_memory(100, from_position=True), pattern[300:400])
            unit.seek_memory(10, analog=True)
            unit.write_memory(b"xyz", from_position=True, analog=True)
            unit.seek_memory(8)
            self.assertEqual(unit.read_memory(8, from_position=True, analog=True),
                             pattern[8:10] + b"xyz" + pattern[13:16])
            # One chunk from the start really starts at address 0.
            unit.write_memory(b"\x01\x02\x03\x04")
            self.assertEqual(unit.read_memory(4), b"\x01\x02\x03\x04")
            self.assertEqual(unit.read_memory(4, from_position=True), pattern[4:8])

    def test_analog_sampling(self):
        with kelvo.open("KV-109:1") as unit:
            unit.set_target_channels([3, 99])  # 99 is skipped by the library
            unit.set_sampling_cycle(1, analog=True)
            self.assertEqual(unit.get_sampling_cycle(analog=True), (0, 1))
            unit.start_sampling(analog=True)
            self.assertGreater(self.wait_for_samples(unit, analog=True).count, 0)
            unit.stop_sampling(analog=True)
            # One 16-bit record per sample: channel 3 reads 1000.
            self.assertEqual(unit.read_memory(4, analog=True), (1000).to_bytes(2, "little") * 2)


class ErrorTest(SimTestCase):
    def test_status_codes_map_to_exceptions(self):
        with kelvo.open("KV-110:1") as analog_output:
            with self.assertRaises(kelvo.BadSettingError) as caught:
                analog_output.set_analog_trigger(16, 0)
        error = caught.exception
        self.assertIsInstance(error, OSError)
        self.assertEqual((error.code, error.unit, error.operation),
                         (0x8020, "KV-110:1", "set_analog_trigger(16)"))
        self.assertTrue(str(error).startswith(
            "KV-110:1: set_analog_trigger(16) (Kelvo_SetMemTrgDataAI): "), str(error))

        expected = {0x8008: kelvo.NoMemoryError, 0x8010: kelvo.NotOpenError,
                    0x8011: kelvo.CommError, 0x8020: kelvo.BadSettingError,
                    0x8021: kelvo.BadChannelError, 0x1234: kelvo.KelvoError}
        for code, cls in expected.items():
            with self.assertRaises(cls) as caught:
                kelvo.check(code)
            self.assertIs(type(caught.exception), cls)
            self.assertEqual(caught.exception.code, code)
        kelvo.check(0)

    def test_unit_down_raises_comm_error_until_reconnected(self):
        trace = os.path.join(self.sim.directory, "trace")
        kelvo.enable_trace(trace)
        self.addCleanup(kelvo.disable_trace)
        self.sim.discover()  # the library reads the trace setting here
        with kelvo.open("KV-108:1") as unit:
            self.sim.command("down KV-108:1")
            with self.assertRaises(kelvo.CommError) as caught:
                unit.read_port(0)
            self.assertTrue(str(caught.exception).startswith("KV-108:1: read_port(0) "))
            with self.assertRaisesRegex(kelvo.CommError, "status could not be read"):
                unit.sampling_status()  # not "idle, empty" as the C call says
            self.sim.command("up KV-108:1")
            unit.reconnect()  # the library's own reconnect failed while it was down
            self.assertEqual(unit.read_port(0), 0)
        with open(trace, encoding="ascii") as f:
            lines = [line for line in f if "127.0.0.9" in line]
        self.assertIn("reconnect failed", lines[0])

    def test_units_share_a_counted_connection_and_stay_closed(self):
        first, second = kelvo.open("KV-108:1"), kelvo.open("127.0.0.9")
        first.write_port(0, 0x5A)
        self.assertTrue(first.close())
        self.assertFalse(first.close())
        self.assertEqual(second.read_port(0), 0x5A)  # the other one keeps working
        for call in (lambda: first.read_port(0), lambda: first.access(bytes(8)),
                     first.reconnect):
            with self.assertRaises(kelvo.UnitClosedError) as caught:
                call()
            self.assertEqual(caught.exception.unit, "KV-108:1")
        with second:
            pass  # the last one closes the library's connection
        with self.assertRaises(kelvo.UnitClosedError):
            second.read_port(0)
        # Nothing reconnected behind the closed objects.
        self.assertEqual(raw.Kelvo_Close(second.handle), 0)

    def test_bad_and_stale_handles(self):
        value = ctypes.c_uint8(0xEE)
        status = raw.Kelvo_ReadDIO(0x12345678_9ABC, 0, ctypes.byref(value))
        self.assertEqual((status, value.value), (raw.STATUS_NOT_OPEN, 0))
        with self.assertRaises(kelvo.NotOpenError):
            kelvo.check(status)

        unit = kelvo.open("KV-108:1")
        with self.assertLogs("kelvo", logging.WARNING) as logs:
            self.sim.discover()  # ends every earlier handle
        self.assertIn("KV-108:1", logs.output[0])
        with self.assertRaises(kelvo.StaleUnitError) as caught:
            unit.read_port(0)
        self.assertIsInstance(caught.exception, kelvo.NotOpenError)
        self.assertIn("kelvo.discover()", str(caught.exception))
        self.assertFalse(unit.close())
        with kelvo.open("KV-108:1") as again:
            self.assertEqual(again.read_port(0), 0)


class FakeUnitTest(unittest.TestCase):
    """A unit whose replies announce fewer data bytes than were asked for."""

    ADDRESS = "127.0.0.77"

    def serve(self, listener):
        connection, _ = listener.accept()
        with connection:
            while True:
                request = connection.recv(256)
                if len(request) < 8:
                    return
                # A valid header announcing 2 data bytes, and those 2 bytes.
                connection.sendall(bytes([request[0] | 0x80, 0, request[2], request[3], 2, 0,
                                          0, 0]) + bytes(8) + b"\x12\x34")

    def test_short_reply_raises_and_a_second_simulator_moves_aside(self):
        listener = socket.create_server((self.ADDRESS, 10001))
        self.addCleanup(listener.close)
        threading.Thread(target=self.serve, args=(listener,), daemon=True).start()
        with tempfile.NamedTemporaryFile("wb", suffix=".ini", delete=False) as f:
            f.write(f"1\r\nfake,3,1,{self.ADDRESS},02-00-00-00-00-01,0\r\n".encode())
        self.addCleanup(os.remove, f.name)
        listing = f.name
        kelvo.discover(device_list=listing)
        with kelvo.open("KV-103:1") as unit:
            with self.assertRaisesRegex(kelvo.CommError, "fewer bytes"):
                unit.read_outputs()
            # Two announced bytes are what a raw exchange gives back, no more.
            self.assertEqual(unit.access(bytes([0x11, 0, 0, 0xFF, 2, 0, 0, 0]), 2),
                             b"\x12\x34")

        with Simulator(["KV-108:1"]) as first, Simulator(["KV-108:2"]) as second:
            self.assertEqual((first.base_address, second.base_address),
                             ("127.0.0.2", "127.0.1.2"))
            self.assertEqual([s.key for s in second.discover()], ["KV-108:2"])
            with self.assertRaisesRegex(kelvo.testing.SimulatorError, "in use"):
                Simulator(["KV-108:3@127.0.0.2"])


class ThreadTest(SimTestCase):
    SIM_ARGS = ["--all-models"] + [a for n in range(2, 9) for a in ("--unit", f"KV-108:{n}")]
    ROUNDS = 200

    def run_threads(self, work):
        errors = []

        def guarded(target, argument):
            try:
                target(argument)
            except Exception as e:  # reported below, with the thread's argument
                errors.append(f"{target.__name__}({argument}): {e!r}")

        # Daemon threads: a worker stuck in the library must not keep the
        # test process alive after the failure is reported.
        threads = [threading.Thread(target=guarded, args=w, daemon=True) for w in work]
        deadline = time.monotonic() + 60
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=max(0.0, deadline - time.monotonic()))
        self.assertFalse(any(t.is_alive() for t in threads), "a worker hung")
        self.assertEqual(errors, [])

    def test_threads_on_one_unit_and_on_eight_units(self):
        def own_lines(lines):  # four threads, two lines of port 0 each, one unit
            with kelvo.open("KV-108:1") as unit:
                for i in range(self.ROUNDS):
                    value = (i * 0x55) & lines
                    unit.write_port(0, value, mask=lines)
                    got = unit.read_port(0) & lines
                    if got != value:
                        raise AssertionError(f"round {i}: read {got:#x}, wrote {value:#x}")

        self.run_threads([(own_lines, 0x03 << (2 * t)) for t in range(4)])

        def own_unit(n):  # eight threads, one unit each
            with kelvo.open(f"KV-108:{n}") as unit:
                for i in range(self.ROUNDS):
                    port, value = i % 3, (n * 31 + i) & 0xFF
                    unit.write_port(port, value)
                    got = unit.read_port(port)
                    if got != value:
                        raise AssertionError(f"round {i}: read {got:#x}, wrote {value:#x}")

        self.run_threads([(own_unit, n) for n in range(1, 9)])


if __name__ == "__main__":
    unittest.main()
