"""The object API against kelvo-sim: discovery, I/O, sampling, errors, threads.

Run inside scripts/netns-run with KELVO_LIBRARY and KELVO_SIM set. Each test
starts its own simulator and stops it in tearDown. With --all-models the
unit of model code c is at 127.0.0.(c + 1), unit ID 1.
"""

import ctypes
import os
import threading
import time
import unittest

import kelvo
from kelvo import raw
from simulator import Simulator, require_private_network, required_file

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
        self.sim = Simulator(self.SIM_ARGS, ini_mode=self.INI_MODE)
        self.addCleanup(self.sim.stop)  # also when the rest of setUp fails
        self.saved_windir = os.environ.get("WINDIR")
        os.environ["WINDIR"] = self.sim.directory
        self.found = kelvo.discover()

    def tearDown(self):
        self.sim.stop()
        if self.saved_windir is None:
            os.environ.pop("WINDIR", None)
        else:
            os.environ["WINDIR"] = self.saved_windir


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

    def test_analog_read(self):
        with kelvo.open("KV-109:1") as unit:  # channels 3, 7, 11, 15 are constants
            self.assertEqual(unit.read_analog(3), 1000)
            unit.set_gain(3, 2)  # x4
            self.assertEqual(unit.read_analog(3), 4000)
            self.assertEqual(unit.read_analogs([15, 3, 7, 3, 40]),
                             {3: 4000, 7: 2000, 15: 4000, 40: 0})
            square = unit.read_analog(2)  # +-4000: proves sign extension
            self.assertIn(square, (4000, -4000))

    def test_analog_write(self):
        with kelvo.open("KV-110:1") as unit:  # four 12-bit outputs
            unit.write_analog(1, 1234)
            unit.write_analogs({2: -5, 0: 100, 9: 7})  # 9 is not a channel: dropped
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
            with self.assertRaises(kelvo.BadChannelError):
                unit.read_counter(2)


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
        with kelvo.open("KV-105:1") as output_only:
            with self.assertRaises(kelvo.BadChannelError) as caught:
                output_only.read_port(0)
            self.assertEqual(caught.exception.code, 0x8021)
            self.assertIn("Kelvo_ReadDIO", str(caught.exception))
        with kelvo.open("KV-110:1") as analog_output:
            with self.assertRaises(kelvo.BadChannelError):
                analog_output.read_analog(0)
            with self.assertRaises(kelvo.BadSettingError) as caught:
                analog_output.set_analog_trigger(16, 0)
            self.assertEqual(caught.exception.code, 0x8020)

        expected = {0x8008: kelvo.NoMemoryError, 0x8010: kelvo.NotOpenError,
                    0x8011: kelvo.CommError, 0x8020: kelvo.BadSettingError,
                    0x8021: kelvo.BadChannelError, 0x1234: kelvo.KelvoError}
        for code, cls in expected.items():
            with self.assertRaises(cls) as caught:
                kelvo.check(code)
            self.assertIs(type(caught.exception), cls)
            self.assertEqual(caught.exception.code, code)
        kelvo.check(0)

    def test_closed_unit_fails_once_then_reconnects(self):
        unit = kelvo.open("KV-108:1")
        unit.write_port(0, 0x77)
        self.assertTrue(unit.close())
        self.assertFalse(unit.close())
        with self.assertRaises(kelvo.CommError):
            unit.access(bytes(8))  # raw access does not reconnect
        with self.assertRaises(kelvo.CommError) as caught:
            unit.read_port(0)
        self.assertEqual(caught.exception.code, 0x8011)
        self.assertEqual(unit.read_port(0), 0x77)  # the library reconnected
        unit.close()
        unit.reconnect()  # explicit reconnect: no failure at all
        self.assertEqual(unit.read_port(0), 0x77)
        unit.close()

    def test_bad_and_stale_handles(self):
        value = ctypes.c_uint8(0xEE)
        status = raw.Kelvo_ReadDIO(0x12345678_9ABC, 0, ctypes.byref(value))
        self.assertEqual((status, value.value), (raw.STATUS_NOT_OPEN, 0))
        with self.assertRaises(kelvo.NotOpenError):
            kelvo.check(status)

        unit = kelvo.open("KV-108:1")
        kelvo.discover()  # invalidates every earlier handle
        with self.assertRaises(kelvo.NotOpenError):
            unit.read_port(0)
        self.assertFalse(unit.close())
        with kelvo.open("KV-108:1") as again:
            self.assertEqual(again.read_port(0), 0)


class ThreadTest(SimTestCase):
    ROUNDS = 150

    def test_threads_share_units(self):
        shared = kelvo.open("KV-108:1")
        analog = kelvo.open("KV-109:1")
        errors = []

        def digital_worker(port):
            try:
                for i in range(self.ROUNDS):
                    shared.write_port(port, i & 0xFF)
                    got = shared.read_port(port)
                    if got != i & 0xFF:
                        errors.append(f"port {port} round {i}: read {got}")
                        return
            except kelvo.KelvoError as e:
                errors.append(f"port {port}: {e}")

        def analog_worker():
            try:
                for i in range(self.ROUNDS):
                    if analog.read_analog(7) != 2000:
                        errors.append(f"channel 7 round {i}")
                        return
            except kelvo.KelvoError as e:
                errors.append(f"analog: {e}")

        # Daemon threads: a worker stuck in the library must not keep the
        # test process alive after the failure is reported.
        threads = [threading.Thread(target=digital_worker, args=(p,), daemon=True)
                   for p in (0, 1)]
        threads.append(threading.Thread(target=analog_worker, daemon=True))
        deadline = time.monotonic() + 30
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=max(0.0, deadline - time.monotonic()))
        self.assertFalse(any(t.is_alive() for t in threads), "a worker hung")
        self.assertEqual(errors, [])
        shared.close()
        analog.close()


if __name__ == "__main__":
    unittest.main()
