"""The object API: discovery, units and their operations.

Every call into the library is made while holding :data:`kelvo.raw.lock`, one
process-wide re-entrant lock: the C library keeps one list of units and one
command buffer per unit and must never be entered by two threads at once.
Python threads may therefore share :class:`Unit` objects freely; calls from
different threads simply take turns (each may block for up to 1.5 s while a
unit answers).
"""

from __future__ import annotations

import ctypes
import operator
import re
from ctypes import byref, c_int32, c_uint8, c_uint16, c_uint32
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from . import raw
from .errors import CommError, NotOpenError, OpenError, check

__all__ = [
    "UnitSummary",
    "VersionInfo",
    "SamplingSettings",
    "SamplingStatus",
    "Unit",
    "discover",
    "units",
    "open",
    "library_version",
]

# Bumped by every discover(): Kelvo_Initial invalidates all handles, and the
# memory of a released unit record may be reused for a new one, so an old
# handle must not reach the library again.
_generation = 0

_ADDRESS = re.compile(r"^\d{1,3}(\.\d{1,3}){3}$")
_MAX_ACCESS_REPLY = 240  # data area of a command frame


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
    memory in use in bytes, in steps of 4096. The library reports a failed
    exchange as state 0 and count 0, so the binding cannot raise for it.
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
        with raw.lock:
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
        with raw.lock:
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
    """An open unit. Get one from :func:`open`.

    Use it as a context manager to close its connection on exit. Closing
    keeps the unit usable: the library reconnects on the next call, which
    then fails once with :class:`CommError` (see :meth:`close`).

    Every method raises a :class:`KelvoError` subclass when the library
    reports a status other than OK, and :class:`ValueError` for arguments
    outside what the C interface can carry (a port number above 255 ...).
    """

    def __init__(
        self,
        handle: int,
        label: str,
        summary: Optional[UnitSummary],
        reopen: Callable[[], Optional[int]],
    ) -> None:
        self._handle = handle
        self._generation = _generation
        self._reopen = reopen
        self.label = label
        """What the unit was opened by: ``"KV-103:1"`` or an address."""
        self.summary = summary
        """The unit's :class:`UnitSummary` when opened by model and unit ID, else None."""

    def __repr__(self) -> str:
        return f"<kelvo.Unit {self.label} handle=0x{self._handle:x}>"

    def __enter__(self) -> "Unit":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def handle(self) -> int:
        """The library's handle, for use with :mod:`kelvo.raw`."""
        return self._handle

    # -- plumbing ------------------------------------------------------------

    def _live(self, name: str) -> int:
        # Called with the lock held.
        if self._generation != _generation:
            raise NotOpenError(
                f"{name} on {self.label}: kelvo.discover() ran since this unit was opened; "
                "open it again",
                raw.STATUS_NOT_OPEN,
            )
        return self._handle

    def _call(self, name: str, detail: str, *args: object) -> None:
        with raw.lock:
            status = getattr(raw.lib, name)(self._live(name), *args)
        check(status, f"{name}({detail}) on {self.label}")

    # -- connection, raw access, versions --------------------------------------

    def close(self) -> bool:
        """Close the connection; True if one was open.

        The unit stays known to the library: the next operation reconnects
        on its way but reports :class:`CommError` once; :meth:`reconnect`
        connects again without that failure.
        """
        with raw.lock:
            if self._generation != _generation:
                return False
            return bool(raw.lib.Kelvo_Close(self._handle))

    def reconnect(self) -> None:
        """Connect again the way the unit was opened (no-op when connected)."""
        with raw.lock:
            self._live("reconnect")
            handle = self._reopen()
        if not handle:
            raise OpenError(f"{self.label}: the connection was refused")
        self._handle = handle

    def access(self, request: bytes, reply_length: int = _MAX_ACCESS_REPLY) -> bytes:
        """Exchange a raw frame (``Kelvo_Access``).

        ``request`` is 8..256 bytes, header first; the library replaces byte
        2 with the unit's sequence number. Returns the first
        ``reply_length`` (0..240) bytes of the reply's data area. The
        library copies as many bytes as the reply's byte 4 announces; the
        bytes after them are the request's bytes (or zeros past its end).

        Raises :class:`CommError` when the exchange fails or the unit is not
        connected (unlike the other operations, raw access does not
        reconnect a closed unit: call :meth:`reconnect`).
        """
        _ranged(len(request), 8, 256, "request length")
        _ranged(reply_length, 0, _MAX_ACCESS_REPLY, "reply length")
        buffer = (c_uint8 * 256)(*request)
        with raw.lock:
            ok = raw.lib.Kelvo_Access(self._live("Kelvo_Access"), len(request), buffer)
        if not ok:
            raise CommError(
                f"Kelvo_Access on {self.label}: not connected, or no valid reply",
                raw.STATUS_COMM_ERROR,
            )
        return bytes(buffer[:reply_length])

    def version(self) -> VersionInfo:
        """Library and unit versions; the unit part is zero if it did not answer."""
        with raw.lock:
            return _version(self._live("Kelvo_GetVerInfo"))

    # -- digital I/O -----------------------------------------------------------

    def read_port(self, port: int) -> int:
        """Read one digital port (8 lines) below the model's input count."""
        value = c_uint8()
        self._call("Kelvo_ReadDIO", f"port {port}", _byte(port, "port"), byref(value))
        return value.value

    def write_port(self, port: int, value: int, mask: int = 0xFF) -> None:
        """Set the lines of ``port`` selected by ``mask`` to ``value``."""
        self._call(
            "Kelvo_WriteDIO",
            f"port {port}",
            _byte(port, "port"),
            _byte(value, "value"),
            _byte(mask, "mask"),
        )

    def read_ports(self, ports: Sequence[int]) -> List[int]:
        """Read several ports in one exchange; result i is port ``ports[i]``."""
        array = _bytes_array(ports, "port")
        data = (c_uint8 * len(array))()
        self._call("Kelvo_MultiReadDIO", f"ports {list(ports)}", len(ports), array, data)
        return list(data[: len(ports)])

    def write_ports(
        self, ports: Sequence[int], values: Sequence[int], masks: Optional[Sequence[int]] = None
    ) -> None:
        """Write ``values[i]`` under ``masks[i]`` (default 0xFF) to ``ports[i]``
        in one exchange; a later entry for the same port wins."""
        if masks is None:
            masks = [0xFF] * len(ports)
        if not len(ports) == len(values) == len(masks):
            raise ValueError("ports, values and masks must have the same length")
        self._call(
            "Kelvo_MultiWriteDIO",
            f"ports {list(ports)}",
            len(ports),
            _bytes_array(ports, "port"),
            _bytes_array(values, "value"),
            _bytes_array(masks, "mask"),
        )

    def set_directions(self, directions: Sequence[int]) -> None:
        """Send direction bytes for ports 0..len-1 (at most 8); what the bits
        mean is the unit's."""
        _ranged(len(directions), 0, 8, "number of direction bytes")
        array = _bytes_array(directions, "direction")
        self._call("Kelvo_SetChDirDIO", f"{len(directions)} ports", len(directions), array)

    # -- analog I/O --------------------------------------------------------------

    def read_analog(self, channel: int) -> int:
        """Read one analog input channel, sign-extended from the model's width."""
        return self._read_value("Kelvo_ReadAIO", channel)

    def write_analog(self, channel: int, value: int) -> None:
        """Write one analog output channel; bits beyond the model's value
        width are dropped by the library."""
        self._write_value("Kelvo_WriteAIO", channel, value)

    def read_analogs(self, channels: Sequence[int]) -> Dict[int, int]:
        """Read several analog inputs in one exchange.

        Returns ``{channel: value}`` for each distinct channel asked for, in
        ascending order. Channels the model does not have read as 0. Values
        are the 32-bit entries as the unit sent them (not sign-extended
        from the model's width).
        """
        array = _bytes_array(channels, "channel")
        values = (c_int32 * len(array))()
        self._call("Kelvo_MultiReadAIO", f"channels {list(channels)}", len(channels), array, values)
        # The library fills values[k] from the k-th lowest channel that the
        # model has; channels it lacks are all higher, so they come last.
        return {channel: values[k] for k, channel in enumerate(sorted(set(channels)))}

    def write_analogs(self, values: Mapping[int, int]) -> None:
        """Write several analog outputs in one exchange: ``{channel: value}``.
        Channels the model does not have are left out without an error."""
        channels = sorted(values)
        numbers = [_ranged(values[c], -(2**31), 2**31 - 1, "value") for c in channels]
        array = _bytes_array(channels, "channel")
        c_values = (c_int32 * max(len(numbers), 1))(*numbers)
        self._call("Kelvo_MultiWriteAIO", f"channels {channels}", len(channels), array, c_values)

    def set_gain(self, channel: int, gain: int) -> None:
        """Send the gain byte of an analog channel (not range-checked by the
        library; the meaning is the unit's)."""
        self._call("Kelvo_SetGainAIO", f"channel {channel}", _byte(channel, "channel"),
                   _byte(gain, "gain"))

    # -- counters ----------------------------------------------------------------

    def read_counter(self, channel: int) -> int:
        """Read one counter, sign-extended from the model's width."""
        return self._read_value("Kelvo_ReadCOU", channel)

    def write_counter(self, channel: int, value: int) -> None:
        """Set one counter."""
        self._write_value("Kelvo_WriteCOU", channel, value)

    def set_counter_mode(self, channel: int, mode_low: int, mode_high: int = 0) -> None:
        """Send the mode byte ``(mode_high << 4) | mode_low`` of a counter."""
        self._call(
            "Kelvo_SetModeCOU",
            f"channel {channel}",
            _byte(channel, "channel"),
            _ranged(mode_low, 0, 15, "mode_low"),
            _ranged(mode_high, 0, 15, "mode_high"),
        )

    def _read_value(self, name: str, channel: int) -> int:
        value = c_int32()
        self._call(name, f"channel {channel}", _byte(channel, "channel"), byref(value))
        return value.value

    def _write_value(self, name: str, channel: int, value: int) -> None:
        self._call(
            name,
            f"channel {channel}",
            _byte(channel, "channel"),
            _ranged(value, -(2**31), 2**31 - 1, "value"),
        )

    # -- sampling settings (stored in the library, sent with start/stop) ----------

    def set_sampling_cycle(self, cycle: int, timing: int = 0, *, analog: bool = False) -> None:
        """Store the sampling cycle (0..255) and timing flag (0x00 or 0x04).

        ``analog`` calls the ``...AI`` export instead of ``...DIO``; both
        store the same setting.
        """
        name = "Kelvo_SetMemSamplingCycleAI" if analog else "Kelvo_SetMemSamplingCycleDIO"
        self._call(name, f"cycle {cycle}", _check_flag(timing, 0x04, "timing"),
                   _byte(cycle, "cycle"))

    def get_sampling_cycle(self, *, analog: bool = False) -> Tuple[int, int]:
        """The stored ``(timing, cycle)``."""
        name = "Kelvo_GetMemSamplingCycleAI" if analog else "Kelvo_GetMemSamplingCycleDIO"
        timing, cycle = c_uint8(), c_uint8()
        self._call(name, "", byref(timing), byref(cycle))
        return timing.value, cycle.value

    def set_sampling_frequency(self, frequency: int, timing: int = 0) -> None:
        """Store the analog-output sampling frequency (0..0xFFFFFF) and the
        timing flag (0x00 or 0x04, shared with the sampling cycle)."""
        self._call(
            "Kelvo_SetMemSamplingFreqAO",
            f"frequency {frequency}",
            _check_flag(timing, 0x04, "timing"),
            _ranged(frequency, 0, 0xFFFFFF, "frequency"),
        )

    def get_sampling_frequency(self) -> Tuple[int, int]:
        """The stored ``(timing, frequency)``."""
        timing, frequency = c_uint8(), c_uint32()
        self._call("Kelvo_GetMemSamplingFreqAO", "", byref(timing), byref(frequency))
        return timing.value, frequency.value

    def set_output_mode(self, mode: int) -> None:
        """Store the analog-output mode flag (0x00 or 0x08)."""
        self._call("Kelvo_SetMemOutputModeAO", f"mode {mode}", _check_flag(mode, 0x08, "mode"))

    def get_output_mode(self) -> int:
        """The stored output-mode flag (0x00 or 0x08)."""
        mode = c_uint8()
        self._call("Kelvo_GetMemOutputModeAO", "", byref(mode))
        return mode.value

    def set_trigger(self, lower: int, upper: int, value: int, *, analog: bool = False) -> None:
        """Store the trigger: lower and upper codes 0..15 each (the binding
        puts the upper code into bits 4..7) and a 16-bit value."""
        name = "Kelvo_SetMemTriggerAIO" if analog else "Kelvo_SetMemTriggerDIO"
        self._call(
            name,
            f"codes {lower}/{upper}",
            _ranged(lower, 0, 15, "lower trigger code"),
            _ranged(upper, 0, 15, "upper trigger code") << 4,
            _ranged(value, 0, 0xFFFF, "trigger value"),
        )

    def get_trigger(self, *, analog: bool = False) -> Tuple[int, int, int]:
        """The stored ``(lower, upper, value)``; codes are 0..15."""
        name = "Kelvo_GetMemTriggerAIO" if analog else "Kelvo_GetMemTriggerDIO"
        lower, upper, value = c_uint8(), c_uint8(), c_uint16()
        self._call(name, "", byref(lower), byref(upper), byref(value))
        return lower.value, upper.value >> 4, value.value

    def set_trigger_data(self, data1: Sequence[int], data2: Sequence[int]) -> None:
        """Store the two digital trigger-data pairs (two bytes each)."""
        self._call(
            "Kelvo_SetMemTrgDataDIO", "", 2, _pair(data1, "data1"), _pair(data2, "data2")
        )

    def get_trigger_data(self) -> Tuple[Tuple[int, int], Tuple[int, int]]:
        """The stored digital trigger-data pairs."""
        count = c_uint8(2)
        data1, data2 = (c_uint8 * 2)(), (c_uint8 * 2)()
        self._call("Kelvo_GetMemTrgDataDIO", "", byref(count), data1, data2)
        return (data1[0], data1[1]), (data2[0], data2[1])

    def set_analog_trigger(self, channel: int, data: int) -> None:
        """Store the analog trigger channel (the library refuses 16 and up
        with :class:`BadSettingError`) and trigger data byte."""
        self._call("Kelvo_SetMemTrgDataAI", f"channel {channel}", _byte(channel, "channel"),
                   _byte(data, "data"))

    def get_analog_trigger(self) -> Tuple[int, int]:
        """The stored ``(channel, data)`` of the analog trigger."""
        channel, data = c_uint8(), c_uint8()
        self._call("Kelvo_GetMemTrgDataAI", "", byref(channel), byref(data))
        return channel.value, data.value

    def set_target_channels(self, channels: Sequence[int]) -> None:
        """Select the analog input channels to record (0..15; others are
        skipped by the library). Replaces the previous selection."""
        array = _bytes_array(channels, "channel")
        self._call("Kelvo_SetMemTargetChannelAI", f"channels {list(channels)}", len(channels),
                   array)

    # -- sampling control and memory ----------------------------------------------

    def start_sampling(self, *, analog: bool = False) -> None:
        """Start recording with the stored settings (``Kelvo_MemStart*``)."""
        self._call("Kelvo_MemStartAIO" if analog else "Kelvo_MemStartDIO", "")

    def stop_sampling(self, *, analog: bool = False) -> None:
        """Stop recording (``Kelvo_MemStop*``); the settings travel along."""
        self._call("Kelvo_MemStopAIO" if analog else "Kelvo_MemStopDIO", "")

    def sampling_status(self, *, analog: bool = False) -> SamplingStatus:
        """The unit's sampling status byte and memory count."""
        name = "Kelvo_MemSampleStatusAIO" if analog else "Kelvo_MemSampleStatusDIO"
        count = c_uint32()
        with raw.lock:
            state = getattr(raw.lib, name)(self._live(name), byref(count))
        return SamplingStatus(state=state, count=count.value)

    def seek_memory(self, position: int, *, analog: bool = False) -> None:
        """Set the unit's memory position for the ``from_position`` transfers."""
        self._call(
            "Kelvo_MemSeekAIO" if analog else "Kelvo_MemSeekDIO",
            f"position {position}",
            _ranged(position, 0, 0xFFFFFFFF, "position"),
        )

    def read_memory(self, length: int, *, from_position: bool = False,
                    analog: bool = False) -> bytes:
        """Read ``length`` bytes of sampling memory, in chunks of 248.

        From the start of memory (``Kelvo_MemRead*``), or with
        ``from_position`` from the position set by :meth:`seek_memory` or
        left by the last transfer (``Kelvo_MemSeekRead*``).
        """
        kind = "SeekRead" if from_position else "Read"
        name = f"Kelvo_Mem{kind}{'AIO' if analog else 'DIO'}"
        size = _ranged(length, 0, 0xFFFFFFFF, "length")
        buffer = (c_uint8 * max(size, 1))()
        self._call(name, f"{size} bytes", size, buffer)
        return bytes(buffer)[:size]

    def write_memory(self, data: bytes, *, from_position: bool = False,
                     analog: bool = False) -> None:
        """Write ``data`` into sampling memory, from its start or (with
        ``from_position``) from the current position."""
        kind = "SeekWrite" if from_position else "Write"
        name = f"Kelvo_Mem{kind}{'AIO' if analog else 'DIO'}"
        buffer = (c_uint8 * max(len(data), 1)).from_buffer_copy(bytes(data) or b"\0")
        self._call(name, f"{len(data)} bytes", len(data), buffer)


def _version(handle: Optional[int]) -> VersionInfo:
    info = raw.VersionInfo()
    raw.lib.Kelvo_GetVerInfo(handle, byref(info))
    return VersionInfo(
        library_version=(info.libraryMajor, info.libraryMinor),
        library_date=_text(info.libraryDate),
        device_info=info.deviceInfo,
        device_version=(info.deviceMajor, info.deviceMinor),
        device_date=_text(info.deviceDate),
    )


def library_version() -> VersionInfo:
    """The library's own version (the unit fields are zero)."""
    with raw.lock:
        raw.load()
        return _version(None)


def units() -> List[UnitSummary]:
    """The units the library knows now, in list order, without searching."""
    with raw.lock:
        lib = raw.load()
        count = lib.Kelvo_BrowseDevice(None)
        if count <= 0:
            return []
        records = (raw.DeviceSummary * count)()
        written = lib.Kelvo_BrowseDevice(records)
        return [UnitSummary._from_c(records[i]) for i in range(min(written, count))]


def discover() -> List[UnitSummary]:
    """Find units (``Kelvo_Initial``) and list them.

    Reads the device-list file ``Kelvo.ini`` (on Linux in ``$WINDIR``, else
    ``/etc``) and, unless its first line is 1, broadcasts a query on the
    local network and waits at least 1.5 s for answers.

    Every :class:`Unit` opened before becomes unusable (its calls raise
    :class:`NotOpenError`): open the units again.
    """
    global _generation
    with raw.lock:
        lib = raw.load()
        _generation += 1
        lib.Kelvo_Initial()
        return units()


def open(target: Union[str, int, UnitSummary], unit_id: Optional[int] = None) -> Unit:
    """Connect to a unit the library lists and return it as a :class:`Unit`.

    ``target`` is ``"KV-103:1"`` (model name or code, then unit ID), a
    dotted IPv4 address such as ``"127.0.0.2"``, a :class:`UnitSummary`, or
    a model code with ``unit_id``. Run :func:`discover` first. Opening a
    unit that is already open returns a Unit on the same connection.

    Raises :class:`OpenError` when no listed unit matches or the unit
    refuses the connection.
    """
    if isinstance(target, UnitSummary):
        code, ident, label = target.model_code, target.unit_id, target.key
    elif isinstance(target, int):
        if unit_id is None:
            raise TypeError("open(model_code, unit_id): unit_id is missing")
        code, ident, label = target, unit_id, f"{target}:{unit_id}"
    elif _ADDRESS.match(target):
        return _open_address(target)
    else:
        model, sep, ident_text = target.partition(":")
        if not sep or not ident_text.strip().isdigit():
            raise ValueError(f"expected 'MODEL:UNITID' or an IPv4 address, got {target!r}")
        ident, label = int(ident_text), target
        code = -1 if not model.strip().isdigit() else int(model)
        if code < 0:
            named = [u for u in units() if u.model_name.upper() == model.strip().upper()]
            if not named:
                raise OpenError(f"{target}: no unit of model {model!r} is listed; "
                                "run kelvo.discover() first")
            code = named[0].model_code
    _byte(code, "model code")
    _byte(ident, "unit ID")

    with raw.lock:
        listed = [u for u in units() if (u.model_code, u.unit_id) == (code, ident)]
        if not listed:
            raise OpenError(f"{label}: no such unit is listed; run kelvo.discover() first")

        def reopen() -> Optional[int]:
            return raw.lib.Kelvo_Open(code, ident)

        handle = reopen()
        if not handle:
            raise OpenError(f"{label}: the unit refused the connection")
        return Unit(handle, listed[0].key, listed[0], reopen)


def _open_address(address: str) -> Unit:
    text = address.encode("ascii")

    def reopen() -> Optional[int]:
        return raw.lib.Kelvo_OpenByIP(text)

    with raw.lock:
        raw.load()
        handle = reopen()
        if not handle:
            raise OpenError(f"{address}: no unit with this address is listed, or it refused "
                            "the connection")
        # Constructed under the lock: it records the discovery it belongs to.
        return Unit(handle, address, None, reopen)
