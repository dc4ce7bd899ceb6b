"""The Kelvo unit models: kind, counts and value width of each model code.

A copy of the table in ``include/kelvo_models.h`` (the binding's tests compare
the two). :class:`kelvo.Unit` checks ports, channels, values and gains against
it before it calls the library, and raises :class:`ValueError` naming the
model for anything the model lacks.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Optional, Tuple

__all__ = [
    "Model",
    "MODELS",
    "GAINS",
    "DIGITAL_IN",
    "DIGITAL_OUT",
    "DIGITAL_INOUT",
    "DIGITAL_BIDIR",
    "ANALOG_IN",
    "ANALOG_OUT",
    "COUNTER",
    "model",
    "model_by_name",
]

# KelvoKind
DIGITAL_IN = 1
DIGITAL_OUT = 2
DIGITAL_INOUT = 3
DIGITAL_BIDIR = 4
ANALOG_IN = 5
ANALOG_OUT = 6
COUNTER = 7

KIND_NAMES = {
    DIGITAL_IN: "digital input",
    DIGITAL_OUT: "digital output",
    DIGITAL_INOUT: "digital input and output",
    DIGITAL_BIDIR: "bidirectional digital",
    ANALOG_IN: "analog input",
    ANALOG_OUT: "analog output",
    COUNTER: "counter",
}

#: Gain codes of an analog channel: 0..3 multiply the input by 1, 2, 4, 8.
GAINS: Tuple[int, ...] = (0, 1, 2, 3)


@dataclass(frozen=True)
class Model:
    """One row of the model table.

    Digital units: ``total`` ports, of which ports ``0..inputs-1`` are
    readable and every port is writable (an in/out unit's outputs are ports
    ``inputs..total-1``). Analog units: ``inputs`` input and ``outputs``
    output channels. Counter units: ``total`` counters, each readable and
    writable. ``bits`` is the width of one port or value.
    """

    code: int
    name: str
    kind: int
    total: int
    inputs: int
    outputs: int
    bits: int

    @property
    def kind_name(self) -> str:
        """``"digital input"``, ``"analog output"``, ..."""
        return KIND_NAMES[self.kind]

    @property
    def digital(self) -> bool:
        return DIGITAL_IN <= self.kind <= DIGITAL_BIDIR

    @property
    def analog(self) -> bool:
        return self.kind in (ANALOG_IN, ANALOG_OUT)

    @property
    def value_range(self) -> Tuple[int, int]:
        """The values that fit ``bits``: signed or unsigned, as the library sends them."""
        return -(1 << (self.bits - 1)), (1 << self.bits) - 1


def _row(code: int, kind: int, total: int, inputs: int, outputs: int, bits: int) -> Model:
    return Model(code, f"KV-{100 + code}", kind, total, inputs, outputs, bits)


#: Model code -> :class:`Model`, codes 1..20.
MODELS: Dict[int, Model] = {m.code: m for m in (
    _row(1, DIGITAL_IN, 2, 2, 0, 8),
    _row(2, DIGITAL_IN, 2, 2, 0, 8),
    _row(3, DIGITAL_INOUT, 2, 1, 1, 8),
    _row(4, DIGITAL_INOUT, 2, 1, 1, 8),
    _row(5, DIGITAL_OUT, 2, 0, 2, 8),
    _row(6, DIGITAL_OUT, 2, 0, 2, 8),
    _row(7, DIGITAL_OUT, 2, 0, 2, 8),
    _row(8, DIGITAL_BIDIR, 3, 3, 3, 8),
    _row(9, ANALOG_IN, 16, 16, 0, 16),
    _row(10, ANALOG_OUT, 4, 0, 4, 12),
    _row(11, COUNTER, 2, 2, 2, 16),
    _row(12, DIGITAL_IN, 8, 8, 0, 8),
    _row(13, DIGITAL_IN, 4, 4, 0, 8),
    _row(14, DIGITAL_OUT, 8, 0, 8, 8),
    _row(15, DIGITAL_OUT, 4, 0, 4, 8),
    _row(16, DIGITAL_INOUT, 8, 4, 4, 8),
    _row(17, DIGITAL_INOUT, 4, 2, 2, 8),
    _row(18, DIGITAL_BIDIR, 2, 2, 2, 8),
    _row(19, ANALOG_IN, 16, 16, 0, 16),
    _row(20, ANALOG_OUT, 4, 0, 4, 12),
)}


def model(code: int) -> Optional[Model]:
    """The model of a code, or None for a code that names no model."""
    return MODELS.get(code)


def model_by_name(name: str) -> Optional[Model]:
    """The model called ``name`` (``"KV-103"``, any case), or None."""
    wanted = name.strip().upper()
    return next((m for m in MODELS.values() if m.name == wanted), None)
