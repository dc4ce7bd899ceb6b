"""Python binding of the Kelvo client library (``libkelvo.so`` / ``KelvoDLL.dll``).

Find units, open one, drive it::

    import kelvo

    for summary in kelvo.discover():
        print(summary.model_name, summary.unit_id, summary.total, summary.bits)
    with kelvo.open("KV-108:1") as unit:
        unit.write_port(0, 0xA5)
        print(unit.read_port(0))

Statuses other than OK are raised as :class:`KelvoError` subclasses (which
are :class:`OSError`), one per status; arguments a unit's model lacks raise
:class:`ValueError` before anything is sent. Threads may share units. The
binding logs through the ``logging`` module, logger ``"kelvo"``. The C
functions themselves, with exact ctypes declarations, are in
:mod:`kelvo.raw`; the model table is in :mod:`kelvo.models`; a simulator
for tests in :mod:`kelvo.testing`.
"""

import builtins as _builtins
import os as _os
import re as _re

from . import models, raw
from .discovery import (
    disable_trace,
    discover,
    enable_trace,
    library_version,
    open,
    units,
)
from .errors import (
    BadChannelError,
    BadSettingError,
    CommError,
    KelvoError,
    NoMemoryError,
    NotOpenError,
    OpenError,
    StaleUnitError,
    UnitClosedError,
    check,
)
from .raw import LibraryNotFoundError
from .unit import SamplingSettings, SamplingStatus, Unit, UnitSummary, VersionInfo


def _package_version() -> str:
    # A built package carries _version.py; a source checkout reads the
    # library's version from the project's CMakeLists.txt.
    try:
        from ._version import version

        return version
    except ImportError:
        pass
    cmake = _os.path.join(_os.path.dirname(__file__), _os.pardir, _os.pardir, _os.pardir,
                         "CMakeLists.txt")
    try:
        with _builtins.open(cmake, encoding="utf-8") as f:
            found = _re.search(r"project\(\s*kelvo\s+VERSION\s+([0-9.]+)", f.read())
    except OSError:
        found = None
    return found.group(1) if found else "0+unknown"


__version__ = _package_version()

__all__ = [
    "raw",
    "models",
    "discover",
    "units",
    "open",
    "library_version",
    "enable_trace",
    "disable_trace",
    "Unit",
    "UnitSummary",
    "VersionInfo",
    "SamplingSettings",
    "SamplingStatus",
    "KelvoError",
    "NoMemoryError",
    "NotOpenError",
    "CommError",
    "BadSettingError",
    "BadChannelError",
    "OpenError",
    "UnitClosedError",
    "StaleUnitError",
    "LibraryNotFoundError",
    "check",
]
