"""Units: the :class:`Unit` object, its operations and their argument checks.

Opening a unit that is already open gives a second :class:`Unit` on the same
library connection; the connection closes with the last of them. Every call
on a unit checks its arguments against the unit's model first
(:mod:`kelvo.models`) and raises :class:`ValueError` naming the model before
anything reaches the unit.

Threads may share units and use different units at the same time. Calls on
one unit take turns; each may block for up to 1.5 s while the unit answers.
"""

from __future__ import annotations

import contextlib
import ctypes
import logging
import operator
from ctypes import byref, c_int32, c_uint8, c_uint16, c_uint32
from dataclasses import dataclass, field
from typing import Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple

from . import _state, raw
from .errors import CommError, OpenError, StaleUnitError, UnitClosedError, check
from .models import COUNTER, GAINS, Model

__all__ = [
    "UnitSummary",
    "VersionInfo",
    "SamplingSettings",
    "SamplingStatus",
    "Unit",
]

_log = _state.log
CHUNK = 248  # data bytes of one memory-transfer exchange
_MAX_ACCESS_REPLY = 240  # data area of a command frame

# Raw requests the binding sends through Kelvo_Access: the 8-byte header.
# Byte 0 command, 1 status (0), 2 sequence (the library puts the unit's in),
# 3 selector, 4 length of the data asked for.
CMD_READ, CMD_INFO, CMD_MEM_STATUS = 0x11, 0x12, 0x1B
_READ_IMAGE = bytes([CMD_READ, 0, 0, 0xFF, 9, 0, 0, 0])  # port image and one byte past it
_IDENTIFY = bytes([CMD_INFO, 0, 0, 0, 9, 0, 0, 0])  # data: model code, aux byte, unit ID
_MEM_STATUS = bytes([CMD_MEM_STATUS, 0, 0, 0, 24, 0, 0, 0])
_PORT_IMAGE = 8
# Kelvo_Access copies only as many data bytes as the reply announces and
# leaves the rest of the buffer as the caller gave it, so a short reply
# would hand back request bytes as data. Byte 2 of the buffer (the library
# sends its own sequence number there) and bytes past the request are the
# caller's free choice: one of them preset to a value the reply then
# changes proves that the data reached it. Two presets tell a reply byte
# that happens to equal the first from a byte the reply never reached.
_PRESETS = (0xA5, 0x5A)
ACCESS_OK, ACCESS_FAILED, ACCESS_SHORT = "ok", "failed", "short"


def access_reaching(handle: int, request: bytes, last: int) -> Tuple[str, bytes]:
    """Kelvo_Access of ``request`` whose reply data must reach byte ``last``
    (2, or past the request): ``(ACCESS_OK, data)``, ``(ACCESS_FAILED, b"")``
    when the exchange failed, ``(ACCESS_SHORT, b"")`` when the reply carried
    fewer data bytes. Called with the unit held."""
    assert last == 2 or len(request) <= last < _MAX_ACCESS_REPLY
    for preset in _PRESETS:
        buffer = (c_uint8 * 256)(*request)
        buffer[last] = preset
        if not raw.lib.Kelvo_Access(handle, len(request), buffer):
            return ACCESS_FAILED, b""
        if buffer[last] != preset:
            return ACCESS_OK, bytes(buffer[:_MAX_ACCESS_REPLY])
    return ACCESS_SHORT, b""


def identify(handle: int) -> Optional[Tuple[int, int, int]]:
    """(model code, aux byte, unit ID) of the connected unit behind
    ``handle``, as it tells them; None when it does not."""
    outcome, data = access_reaching(handle, _IDENTIFY, 2)
    return (data[0], data[1], data[2]) if outcome == ACCESS_OK else None


def _ranged(value: int, low: int, high: int, what: str) -> int:
    number = operator.index(value)
    if not low <= number <= high:
        raise ValueError(f"{what} must be {low}..{high}, got {value!r}")
    return number


def _byte(value: int, what: str) -> int:
    return _ranged(value, 0, 0xFF, what)


def _bytes_array(values: Sequence[int], what: str) -> "ctypes.Array[c_uint8]":
    items = [_byte(v, what) for v in values]
    if len(items) > 0xFF:
        raise ValueError(f"at most 255 {what}s per call, got {len(items)}")
    return (c_uint8 * max(len(items), 1))(*items)


def _text(raw_bytes: bytes) -> str:
    return raw_bytes.split(b"\0", 1)[0].decode("ascii", "replace")


@dataclass(frozen=True)
class UnitSummary:
    """One unit as the library lists it after :func:`discover`."""

    model_name: str
    """Model name, e.g. ``"KV-103"``; empty for a model the library does not know."""
    model_code: int
    """Model code, 1..20 for the known models."""
    unit_id: int
    """Tells units of the same model apart."""
    aux_byte: int
    """Second identification byte of the unit."""
    total: int
    """Number of ports (digital units) or channels (analog and counter units)."""
    bits: int
    """Width of one port or channel value in bits."""

    @property
    def key(self) -> str:
        """``"MODEL:UNITID"``, the text :func:`open` accepts for this unit."""
        return f"{self.model_name or self.model_code}:{self.unit_id}"

    @classmethod
    def _from_c(cls, record: raw.DeviceSummary) -> "UnitSummary":
        return cls(
            model_name=_text(record.name),
            model_code=record.modelCode,
            unit_id=record.unitId,
            aux_byte=record.auxByte,
            total=record.total,
            bits=record.bits,
        )


@dataclass(frozen=True)
class VersionInfo:
    """Versions of the library and, when it answered, of the unit.

    A part that could not be obtained is 0 / ``(0, 0)`` / ``""``.
    """

    library_version: Tuple[int, int]
    library_date: str
    device_info: int
    device_version: Tuple[int, int]
    device_date: str


@dataclass(frozen=True)
class SamplingStatus:
    """What a unit reports about its sampling memory.

    ``state`` is the unit's status byte, passed on uninterpreted (the
    simulator uses 1 for recording, 2 for memory full). ``count`` is the
    memory in use in bytes, in steps of 4096.
    """

    state: int
    count: int


@dataclass
class SamplingSettings:
    """The sampling settings the library keeps for a unit.

    They live in the library, not in the unit: :meth:`apply` stores them and
    :meth:`read` reads them back, neither talks to the unit. The unit gets
    them with the next :meth:`Unit.start_sampling` or
    :meth:`Unit.stop_sampling`. What the values mean is the unit's business;
    the library only stores them.
    """

    timing: int = 0
    """Timing flag, 0x00 or 0x04; shared by the sampling cycle and frequency."""
    cycle: int = 0
    """Sampling cycle, 0..255 (digital and analog input units)."""
    frequency: int = 0
    """Sampling frequency, 0..0xFFFFFF (analog output units)."""
    output_mode: int = 0
    """Output-mode flag, 0x00 or 0x08 (analog output units)."""
    trigger_lower: int = 0
    """Lower trigger code, 0..15."""
    trigger_upper: int = 0
    """Upper trigger code, 0..15."""
    trigger_value: int = 0
    """Value that goes with the trigger codes, 0..65535."""
    trigger_data1: Tuple[int, int] = (0, 0)
    """First trigger-data pair (digital units). For analog input units the
    first byte is the trigger channel, see :meth:`Unit.set_analog_trigger`."""
    trigger_data2: Tuple[int, int] = (0, 0)
    """Second trigger-data pair (digital units). For analog input units the
    first byte is the trigger data."""
    target_channels: Optional[Tuple[int, ...]] = field(default=None)
    """Analog input channels 0..15 to record. The library cannot report them,
    so :meth:`read` leaves this ``None``; ``None`` also makes :meth:`apply`
    leave the stored selection alone."""

    def apply(self, unit: "Unit") -> None:
        """Store every setting for ``unit``; nothing is sent to the unit.

        All values are checked before anything is stored.
        """
        _ranged(self.cycle, 0, 0xFF, "cycle")
        _ranged(self.frequency, 0, 0xFFFFFF, "frequency")
        _ranged(self.trigger_value, 0, 0xFFFF, "trigger value")
        for name in ("trigger_lower", "trigger_upper"):
            _ranged(getattr(self, name), 0, 15, name.replace("_", " "))
        _check_flag(self.timing, 0x04, "timing")
        _check_flag(self.output_mode, 0x08, "output mode")
        _pair(self.trigger_data1, "trigger data 1")
        _pair(self.trigger_data2, "trigger data 2")
        with unit._held():
            unit.set_sampling_cycle(self.cycle, timing=self.timing)
            unit.set_sampling_frequency(self.frequency, timing=self.timing)
            unit.set_output_mode(self.output_mode)
            unit.set_trigger(self.trigger_lower, self.trigger_upper, self.trigger_value)
            unit.set_trigger_data(self.trigger_data1, self.trigger_data2)
            if self.target_channels is not None:
                unit.set_target_channels(self.target_channels)

    @classmethod
    def read(cls, unit: "Unit") -> "SamplingSettings":
        """The settings stored for ``unit`` (``target_channels`` is ``None``)."""
        with unit._held():
            timing, cycle = unit.get_sampling_cycle()
            _, frequency = unit.get_sampling_frequency()
            lower, upper, value = unit.get_trigger()
            data1, data2 = unit.get_trigger_data()
            return cls(
                timing=timing,
                cycle=cycle,
                frequency=frequency,
                output_mode=unit.get_output_mode(),
                trigger_lower=lower,
                trigger_upper=upper,
                trigger_value=value,
                trigger_data1=data1,
                trigger_data2=data2,
            )


def _check_flag(value: int, flag: int, what: str) -> int:
    number = operator.index(value)
    if number not in (0, flag):
        raise ValueError(f"{what} must be 0x00 or 0x{flag:02X}, got {value!r}")
    return number


def _pair(values: Sequence[int], what: str) -> "ctypes.Array[c_uint8]":
    if len(values) != 2:
        raise ValueError(f"{what} must be two bytes, got {values!r}")
    return _bytes_array(values, what)


class Unit:
    """An open unit. Get one from :func:`kelvo.open`.

    Use it as a context manager to close it on exit. Several Unit objects on
    one unit share the library's connection, which stays open until the last
    of them is closed. A closed Unit raises :class:`UnitClosedError`; one
    opened before a later :func:`kelvo.discover` raises
    :class:`StaleUnitError`. Neither ever reconnects: open the unit again.

    Every method raises a :class:`KelvoError` subclass when the library
    reports a status other than OK, and :class:`ValueError` before any
    exchange for arguments the unit's model lacks (a channel, a port, a
    value wider than its bits, a gain, an analog call on a digital unit) or
    that the C interface cannot carry (a port number above 255 ...).
    """

    def __init__(self, connection: _state.Connection, label: str) -> None:
        self._conn = connection
        self._closed = False
        self.label = label
        """What the unit was opened by: ``"KV-103:1"`` or an address."""

    def __repr__(self) -> str:
        state = "closed" if self._closed else "stale" if self._conn.stale else "open"
        return f"<kelvo.Unit {self.label} {state} handle=0x{self._conn.handle:x}>"

    def __enter__(self) -> "Unit":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def handle(self) -> int:
        """The library's handle, for use with :mod:`kelvo.raw`."""
        return self._conn.handle

    @property
    def summary(self) -> Optional[UnitSummary]:
        """The unit's :class:`UnitSummary`; None if it could not be told."""
        return self._conn.summary  # type: ignore[return-value]

    @property
    def model(self) -> Optional[Model]:
        """The unit's :class:`kelvo.models.Model`; None for an unknown model,
        whose arguments only the library checks."""
        return self._conn.model  # type: ignore[return-value]

    @property
    def closed(self) -> bool:
        """True once :meth:`close` was called or a later discover() ended it."""
        return self._closed or self._conn.stale

    # -- plumbing ------------------------------------------------------------

    @contextlib.contextmanager
    def _held(self) -> Iterator[None]:
        """Keep the unit to this thread across several calls."""
        with _state.gate.shared(), self._conn.lock:
            yield

    def _usable(self, operation: str) -> int:
        # Called with the unit's lock held.
        if self._closed:
            raise UnitClosedError(f"{self.label}: {operation}: the unit was closed; open it "
                                  "again", unit=self.label, operation=operation)
        if self._conn.stale:
            raise StaleUnitError(
                f"{self.label}: {operation}: kelvo.discover() rebuilt the list of units after "
                "this unit was opened, which ended its handle; open it again",
                unit=self.label, operation=operation)
        return self._conn.handle

    def _raw(self, operation: str, name: str, *args: object) -> int:
        """Call library function ``name`` with the handle first; its result."""
        with self._held():
            result = getattr(raw.lib, name)(self._usable(operation), *args)
        if _log.isEnabledFor(logging.DEBUG):
            _log.debug("%s: %s (%s) -> 0x%X", self.label, operation, name, result)
        return int(result)

    def _call(self, operation: str, name: str, *args: object) -> None:
        status = self._raw(operation, name, *args)
        check(status, f"{self.label}: {operation} ({name})", unit=self.label,
              operation=operation)

    # -- model checks -----------------------------------------------------------

    def _refuse(self, operation: str, message: str) -> ValueError:
        return ValueError(f"{self.label}: {operation}: {message}")

    def _family(self, operation: str, family: str) -> Optional[Model]:
        """The unit's model after checking that it is a ``family`` unit
        ("digital", "analog" or "counter"); None when the model is unknown."""
        m = self.model
        if m is None:
            return None
        fits = m.digital if family == "digital" else m.analog if family == "analog" \
            else m.kind == COUNTER
        if not fits:
            raise self._refuse(operation, f"{m.name} is {_a(m.kind_name)} unit, not "
                                          f"{_a(family)} unit")
        return m

    def _positions(self, operation: str, family: str, numbers: Iterable[int],
                   limit: str) -> None:
        """Check port or channel numbers against the model's ``limit``
        ("inputs", "outputs" or "total")."""
        m = self._family(operation, family)
        if m is None:
            return
        count = getattr(m, limit)
        noun = "port" if family == "digital" else "counter" if family == "counter" \
            else "channel"
        side = {"inputs": "input ", "outputs": "output ", "total": ""}[limit]
        for number in numbers:
            if not 0 <= number < count:
                having = f"{count} {side}{noun}{'' if count == 1 else 's'}" if count \
                    else f"no {side}{noun}s"
                raise self._refuse(operation, f"{noun} {number} out of range for {m.name} "
                                              f"({having})")

    def _values(self, operation: str, values: Iterable[int]) -> None:
        m = self.model
        if m is None:
            return
        low, high = m.value_range
        for value in values:
            if not low <= value <= high:
                raise self._refuse(operation, f"value {value} does not fit the {m.bits}-bit "
                                              f"values of {m.name} ({low}..{high})")

    # -- connection, raw access, versions --------------------------------------

    def close(self) -> bool:
        """Close this Unit; True if it was open.

        The library's connection closes with the last open Unit on it. A
        closed Unit raises :class:`UnitClosedError` from then on.
        """
        conn = self._conn
        with self._held():
            if self._closed:
                return False
            self._closed = True
            with _state.table_lock:
                if conn.stale:
                    return False
                conn.refs -= 1
                if conn.refs > 0:
                    _log.debug("%s: closed, %d more open on its connection", self.label,
                               conn.refs)
                    return True
                _state.connections.pop(conn.handle, None)
                raw.lib.Kelvo_Close(conn.handle)
        _log.info("%s: connection closed", self.label)
        return True

    def reconnect(self) -> None:
        """Connect again the way the unit was opened (no-op when connected).

        The library reconnects on its own after a failed exchange; this is
        for a unit whose reconnect failed (it was switched off, say).
        """
        with self._held():
            self._usable("reconnect")
            with _state.table_lock:
                handle = self._conn.reopen()
        if not handle:
            raise OpenError(f"{self.label}: reconnect: the connection was refused",
                            unit=self.label, operation="reconnect")

    def access(self, request: bytes, reply_length: int = _MAX_ACCESS_REPLY) -> bytes:
        """Exchange a raw frame (``Kelvo_Access``).

        ``request`` is 8..256 bytes, header first; the library replaces byte
        2 with the unit's sequence number. Returns the first
        ``reply_length`` (0..240) bytes of the reply's data area. The
        library copies as many bytes as the reply's byte 4 announces; the
        bytes after them are the request's bytes (or zeros past its end).

        Raises :class:`CommError` when the exchange fails or the unit is not
        connected (raw access does not reconnect).
        """
        _ranged(len(request), 8, 256, "request length")
        _ranged(reply_length, 0, _MAX_ACCESS_REPLY, "reply length")
        buffer = (c_uint8 * 256)(*request)
        if not self._raw("access", "Kelvo_Access", len(request), buffer):
            raise CommError(f"{self.label}: access (Kelvo_Access): not connected, or no valid "
                            "reply", raw.STATUS_COMM_ERROR, unit=self.label, operation="access")
        return bytes(buffer[:reply_length])

    def version(self) -> VersionInfo:
        """Library and unit versions; the unit part is zero if it did not answer."""
        info = raw.VersionInfo()
        self._raw("version", "Kelvo_GetVerInfo", byref(info))
        return _version_info(info)

    # -- digital I/O -----------------------------------------------------------

    def read_port(self, port: int) -> int:
        """Read one digital port (8 lines); ports below the model's inputs."""
        operation = f"read_port({port})"
        self._positions(operation, "digital", [port], "inputs")
        value = c_uint8()
        self._call(operation, "Kelvo_ReadDIO", _byte(port, "port"), byref(value))
        return value.value

    def write_port(self, port: int, value: int, mask: int = 0xFF) -> None:
        """Set the lines of ``port`` selected by ``mask`` to ``value``."""
        operation = f"write_port({port})"
        self._positions(operation, "digital", [port], "total")
        self._call(operation, "Kelvo_WriteDIO", _byte(port, "port"), _byte(value, "value"),
                   _byte(mask, "mask"))

    def read_outputs(self) -> Dict[int, int]:
        """Read the output ports back: ``{port: value}`` for each port the
        model can write, in one exchange of the whole port image.

        The library reads only input ports; this reads the image as the
        unit holds it (``Kelvo_Access``). Raises :class:`CommError` when the
        exchange fails or the reply carries fewer bytes than asked for.
        """
        operation = "read_outputs"
        m = self._family(operation, "digital")
        if m is not None and not m.outputs:
            raise self._refuse(operation, f"{m.name} has no output ports")
        with self._held():
            outcome, data = access_reaching(self._usable(operation), _READ_IMAGE, _PORT_IMAGE)
        if outcome != ACCESS_OK:
            reason = "no valid reply" if outcome == ACCESS_FAILED else \
                "the reply carries fewer bytes than the port image"
            raise CommError(f"{self.label}: {operation} (Kelvo_Access): {reason}",
                            raw.STATUS_COMM_ERROR, unit=self.label, operation=operation)
        ports = range(_PORT_IMAGE) if m is None else range(m.total - m.outputs, m.total)
        return {port: data[port] for port in ports}

    def read_ports(self, ports: Sequence[int]) -> List[int]:
        """Read several ports in one exchange; result i is port ``ports[i]``."""
        operation = f"read_ports({list(ports)})"
        array = _bytes_array(ports, "port")
        self._positions(operation, "digital", ports, "inputs")
        data = (c_uint8 * len(array))()
        self._call(operation, "Kelvo_MultiReadDIO", len(ports), array, data)
        return list(data[: len(ports)])

    def write_ports(
        self, ports: Sequence[int], values: Sequence[int], masks: Optional[Sequence[int]] = None
    ) -> None:
        """Write ``values[i]`` under ``masks[i]`` (default 0xFF) to ``ports[i]``
        in one exchange; a later entry for the same port wins."""
        operation = f"write_ports({list(ports)})"
        if masks is None:
            masks = [0xFF] * len(ports)
        if not len(ports) == len(values) == len(masks):
            raise ValueError("ports, values and masks must have the same length")
        arrays = (_bytes_array(ports, "port"), _bytes_array(values, "value"),
                  _bytes_array(masks, "mask"))
        self._positions(operation, "digital", ports, "total")
        self._call(operation, "Kelvo_MultiWriteDIO", len(ports), *arrays)

    def set_directions(self, directions: Sequence[int]) -> None:
        """Send direction bytes for ports 0..len-1; what the bits mean is the unit's."""
        operation = f"set_directions({len(directions)} ports)"
        _ranged(len(directions), 0, 8, "number of direction bytes")
        array = _bytes_array(directions, "direction")
        if directions:
            self._positions(operation, "digital", [len(directions) - 1], "total")
        self._call(operation, "Kelvo_SetChDirDIO", len(directions), array)

    # -- analog I/O --------------------------------------------------------------

    def read_analog(self, channel: int) -> int:
        """Read one analog input channel, sign-extended from the model's width."""
        return self._read_value(f"read_analog({channel})", "analog", "Kelvo_ReadAIO", channel)

    def write_analog(self, channel: int, value: int) -> None:
        """Write one analog output channel; the value must fit the model's bits."""
        self._write_value(f"write_analog({channel})", "analog", "Kelvo_WriteAIO", channel,
                          value)

    def read_analogs(self, channels: Sequence[int]) -> Dict[int, int]:
        """Read several analog inputs in one exchange.

        Returns ``{channel: value}`` for each distinct channel asked for, in
        ascending order. Values are the 32-bit entries as the unit sent them
        (not sign-extended from the model's width).
        """
        operation = f"read_analogs({list(channels)})"
        array = _bytes_array(channels, "channel")
        self._positions(operation, "analog", channels, "inputs")
        values = (c_int32 * len(array))()
        self._call(operation, "Kelvo_MultiReadAIO", len(channels), array, values)
        # The library fills values[k] from the k-th lowest channel asked for.
        return {channel: values[k] for k, channel in enumerate(sorted(set(channels)))}

    def write_analogs(self, values: Mapping[int, int]) -> None:
        """Write several analog outputs in one exchange: ``{channel: value}``."""
        channels = sorted(values)
        operation = f"write_analogs({channels})"
        numbers = [_ranged(values[c], -(2**31), 2**31 - 1, "value") for c in channels]
        array = _bytes_array(channels, "channel")
        self._positions(operation, "analog", channels, "outputs")
        self._values(operation, numbers)
        c_values = (c_int32 * max(len(numbers), 1))(*numbers)
        self._call(operation, "Kelvo_MultiWriteAIO", len(channels), array, c_values)

    def set_gain(self, channel: int, gain: int) -> None:
        """Set the gain code of an analog channel: 0..3 multiply by 1, 2, 4, 8."""
        operation = f"set_gain({channel}, {gain})"
        self._positions(operation, "analog", [channel], "total")
        if self.model is not None and gain not in GAINS:
            raise self._refuse(operation, f"gain {gain} is not one of {self.model.name}'s "
                                          f"gains {list(GAINS)}")
        self._call(operation, "Kelvo_SetGainAIO", _byte(channel, "channel"),
                   _byte(gain, "gain"))

    # -- counters ----------------------------------------------------------------

    def read_counter(self, channel: int) -> int:
        """Read one counter, sign-extended from the model's width."""
        return self._read_value(f"read_counter({channel})", "counter", "Kelvo_ReadCOU",
                                channel)

    def write_counter(self, channel: int, value: int) -> None:
        """Set one counter; the value must fit the model's bits."""
        self._write_value(f"write_counter({channel})", "counter", "Kelvo_WriteCOU", channel,
                          value)

    def set_counter_mode(self, channel: int, mode_low: int, mode_high: int = 0) -> None:
        """Send the mode byte ``(mode_high << 4) | mode_low`` of a counter."""
        operation = f"set_counter_mode({channel})"
        self._positions(operation, "counter", [channel], "total")
        self._call(operation, "Kelvo_SetModeCOU", _byte(channel, "channel"),
                   _ranged(mode_low, 0, 15, "mode_low"), _ranged(mode_high, 0, 15, "mode_high"))

    def _read_value(self, operation: str, family: str, name: str, channel: int) -> int:
        self._positions(operation, family, [channel], "inputs")
        value = c_int32()
        self._call(operation, name, _byte(channel, "channel"), byref(value))
        return value.value

    def _write_value(self, operation: str, family: str, name: str, channel: int,
                     value: int) -> None:
        number = _ranged(value, -(2**31), 2**31 - 1, "value")
        self._positions(operation, family, [channel], "outputs")
        self._values(operation, [number])
        self._call(operation, name, _byte(channel, "channel"), number)

    # -- sampling settings (stored in the library, sent with start/stop) ----------

    def set_sampling_cycle(self, cycle: int, timing: int = 0, *, analog: bool = False) -> None:
        """Store the sampling cycle (0..255) and timing flag (0x00 or 0x04).

        ``analog`` calls the ``...AI`` export instead of ``...DIO``; both
        store the same setting.
        """
        name = "Kelvo_SetMemSamplingCycleAI" if analog else "Kelvo_SetMemSamplingCycleDIO"
        self._call(f"set_sampling_cycle({cycle})", name, _check_flag(timing, 0x04, "timing"),
                   _byte(cycle, "cycle"))

    def get_sampling_cycle(self, *, analog: bool = False) -> Tuple[int, int]:
        """The stored ``(timing, cycle)``."""
        name = "Kelvo_GetMemSamplingCycleAI" if analog else "Kelvo_GetMemSamplingCycleDIO"
        timing, cycle = c_uint8(), c_uint8()
        self._call("get_sampling_cycle", name, byref(timing), byref(cycle))
        return timing.value, cycle.value

    def set_sampling_frequency(self, frequency: int, timing: int = 0) -> None:
        """Store the analog-output sampling frequency (0..0xFFFFFF) and the
        timing flag (0x00 or 0x04, shared with the sampling cycle)."""
        self._call(f"set_sampling_frequency({frequency})", "Kelvo_SetMemSamplingFreqAO",
                   _check_flag(timing, 0x04, "timing"),
                   _ranged(frequency, 0, 0xFFFFFF, "frequency"))

    def get_sampling_frequency(self) -> Tuple[int, int]:
        """The stored ``(timing, frequency)``."""
        timing, frequency = c_uint8(), c_uint32()
        self._call("get_sampling_frequency", "Kelvo_GetMemSamplingFreqAO", byref(timing),
                   byref(frequency))
        return timing.value, frequency.value

    def set_output_mode(self, mode: int) -> None:
        """Store the analog-output mode flag (0x00 or 0x08)."""
        self._call(f"set_output_mode({mode})", "Kelvo_SetMemOutputModeAO",
                   _check_flag(mode, 0x08, "mode"))

    def get_output_mode(self) -> int:
        """The stored output-mode flag (0x00 or 0x08)."""
        mode = c_uint8()
        self._call("get_output_mode", "Kelvo_GetMemOutputModeAO", byref(mode))
        return mode.value

    def set_trigger(self, lower: int, upper: int, value: int, *, analog: bool = False) -> None:
        """Store the trigger: lower and upper codes 0..15 each (the binding
        puts the upper code into bits 4..7) and a 16-bit value."""
        name = "Kelvo_SetMemTriggerAIO" if analog else "Kelvo_SetMemTriggerDIO"
        self._call(f"set_trigger({lower}, {upper})", name,
                   _ranged(lower, 0, 15, "lower trigger code"),
                   _ranged(upper, 0, 15, "upper trigger code") << 4,
                   _ranged(value, 0, 0xFFFF, "trigger value"))

    def get_trigger(self, *, analog: bool = False) -> Tuple[int, int, int]:
        """The stored ``(lower, upper, value)``; codes are 0..15."""
        name = "Kelvo_GetMemTriggerAIO" if analog else "Kelvo_GetMemTriggerDIO"
        lower, upper, value = c_uint8(), c_uint8(), c_uint16()
        self._call("get_trigger", name, byref(lower), byref(upper), byref(value))
        return lower.value, upper.value >> 4, value.value

    def set_trigger_data(self, data1: Sequence[int], data2: Sequence[int]) -> None:
        """Store the two digital trigger-data pairs (two bytes each)."""
        self._call("set_trigger_data", "Kelvo_SetMemTrgDataDIO", 2, _pair(data1, "data1"),
                   _pair(data2, "data2"))

    def get_trigger_data(self) -> Tuple[Tuple[int, int], Tuple[int, int]]:
        """The stored digital trigger-data pairs."""
        count = c_uint8(2)
        data1, data2 = (c_uint8 * 2)(), (c_uint8 * 2)()
        self._call("get_trigger_data", "Kelvo_GetMemTrgDataDIO", byref(count), data1, data2)
        return (data1[0], data1[1]), (data2[0], data2[1])

    def set_analog_trigger(self, channel: int, data: int) -> None:
        """Store the analog trigger channel (the library refuses 16 and up
        with :class:`BadSettingError`) and trigger data byte."""
        self._call(f"set_analog_trigger({channel})", "Kelvo_SetMemTrgDataAI",
                   _byte(channel, "channel"), _byte(data, "data"))

    def get_analog_trigger(self) -> Tuple[int, int]:
        """The stored ``(channel, data)`` of the analog trigger."""
        channel, data = c_uint8(), c_uint8()
        self._call("get_analog_trigger", "Kelvo_GetMemTrgDataAI", byref(channel), byref(data))
        return channel.value, data.value

    def set_target_channels(self, channels: Sequence[int]) -> None:
        """Select the analog input channels to record (0..15; others are
        skipped by the library). Replaces the previous selection."""
        array = _bytes_array(channels, "channel")
        self._call(f"set_target_channels({list(channels)})", "Kelvo_SetMemTargetChannelAI",
                   len(channels), array)

    # -- sampling control and memory ----------------------------------------------

    def start_sampling(self, *, analog: bool = False) -> None:
        """Start recording with the stored settings (``Kelvo_MemStart*``)."""
        self._call("start_sampling", "Kelvo_MemStartAIO" if analog else "Kelvo_MemStartDIO")

    def stop_sampling(self, *, analog: bool = False) -> None:
        """Stop recording (``Kelvo_MemStop*``); the settings travel along."""
        self._call("stop_sampling", "Kelvo_MemStopAIO" if analog else "Kelvo_MemStopDIO")

    def sampling_status(self, *, analog: bool = False) -> SamplingStatus:
        """The unit's sampling status byte and memory count.

        Raises :class:`CommError` when the status could not be read.
        """
        name = "Kelvo_MemSampleStatusAIO" if analog else "Kelvo_MemSampleStatusDIO"
        count = c_uint32()
        with self._held():
            handle = self._usable("sampling_status")
            state = int(getattr(raw.lib, name)(handle, byref(count)))
            # The library gives a failed exchange as status 0 and count 0,
            # which an idle unit with empty memory reports too: the unit
            # must answer a status request of its own for that to stand.
            answered = bool(state or count.value) or raw.lib.Kelvo_Access(
                handle, len(_MEM_STATUS), (c_uint8 * 256)(*_MEM_STATUS))
        if not answered:
            raise CommError(f"{self.label}: sampling_status ({name}): the status could not be "
                            "read: the unit did not answer", raw.STATUS_COMM_ERROR,
                            unit=self.label, operation="sampling_status")
        return SamplingStatus(state=state, count=count.value)

    def seek_memory(self, position: int, *, analog: bool = False) -> None:
        """Set the unit's memory position, where the next ``from_position``
        transfer starts."""
        self._call(f"seek_memory({position})",
                   "Kelvo_MemSeekAIO" if analog else "Kelvo_MemSeekDIO",
                   _ranged(position, 0, 0xFFFFFFFF, "position"))

    def read_memory(self, length: int, *, from_position: bool = False,
                    analog: bool = False) -> bytes:
        """Read ``length`` bytes of sampling memory, in exchanges of 248 bytes.

        From address 0, or with ``from_position`` from the unit's memory
        position: the one :meth:`seek_memory` set, or the end of the last
        transfer (every transfer moves the position past its bytes, so
        consecutive ``from_position`` reads go through memory in order).
        """
        size = _ranged(length, 0, 0xFFFFFFFF, "length")
        buffer = (c_uint8 * max(size, 1))()
        self._transfer(f"read_memory({size})", "Read", size, buffer, from_position, analog)
        return bytes(buffer)[:size]

    def write_memory(self, data: bytes, *, from_position: bool = False,
                     analog: bool = False) -> None:
        """Write ``data`` into sampling memory from address 0, or with
        ``from_position`` from the unit's memory position (see
        :meth:`read_memory`)."""
        buffer = (c_uint8 * max(len(data), 1)).from_buffer_copy(bytes(data) or b"\0")
        self._transfer(f"write_memory({len(data)})", "Write", len(data), buffer, from_position,
                       analog)

    def _transfer(self, operation: str, kind: str, size: int, buffer: "ctypes.Array[c_uint8]",
                  from_position: bool, analog: bool) -> None:
        suffix = "AIO" if analog else "DIO"
        with self._held():
            if not from_position and 0 < size <= CHUNK:
                # Only the first of several chunks tells the unit to start at
                # address 0; a transfer of one chunk goes on from the unit's
                # position, so put that at 0 first.
                self._call(operation, f"Kelvo_MemSeek{suffix}", 0)
                kind = "Seek" + kind
            self._call(operation, f"Kelvo_Mem{kind}{suffix}", size, buffer)


def _a(noun: str) -> str:
    return ("an " if noun[0] in "aeiou" else "a ") + noun


def _version_info(info: raw.VersionInfo) -> VersionInfo:
    return VersionInfo(
        library_version=(info.libraryMajor, info.libraryMinor),
        library_date=_text(info.libraryDate),
        device_info=info.deviceInfo,
        device_version=(info.deviceMajor, info.deviceMinor),
        device_date=_text(info.deviceDate),
    )
