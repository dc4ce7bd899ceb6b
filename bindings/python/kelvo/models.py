"""The Kelvo unit models: kind, counts and value width of each model code.

The table of ``kelvo_models.h``: a built package carries it as
``kelvo/_models.py``, written from the header when the package was built; a
source checkout reads the header itself. :class:`kelvo.Unit` checks ports,
channels, values and gains against it before it calls the library, and
raises :class:`ValueError` naming the model for anything the model lacks.
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

try:
    from ._models import KIND_NAMES, KINDS, ROWS
except ImportError:  # a source checkout: the header beside the package
    from ._model_header import read as _read_header

    KINDS, KIND_NAMES, ROWS = _read_header()

# KelvoKind
DIGITAL_IN = KINDS["DIGITAL_IN"]
DIGITAL_OUT = KINDS["DIGITAL_OUT"]
DIGITAL_INOUT = KINDS["DIGITAL_INOUT"]
DIGITAL_BIDIR = KINDS["DIGITAL_BIDIR"]
ANALOG_IN = KINDS["ANALOG_IN"]
ANALOG_OUT = KINDS["ANALOG_OUT"]
COUNTER = KINDS["COUNTER"]

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


#: Model code -> :class:`Model`, codes 1..20.
MODELS: Dict[int, Model] = {row[0]: Model(*row) for row in ROWS}


def model(code: int) -> Optional[Model]:
    """The model of a code, or None for a code that names no model."""
    return MODELS.get(code)


def model_by_name(name: str) -> Optional[Model]:
    """The model called ``name`` (``"KV-103"``, any case), or None."""
    wanted = name.strip().upper()
    return next((m for m in MODELS.values() if m.name == wanted), None)
