"""Python binding of the Kelvo client library (``libkelvo.so`` / ``KelvoDLL.dll``).

Find units, open one, drive it::

    import kelvo

    for summary in kelvo.discover():
        print(summary.model_name, summary.unit_id, summary.total, summary.bits)
    with kelvo.open("KV-108:1") as unit:
        unit.write_port(0, 0xA5)
        print(unit.read_port(0))

Statuses other than OK are raised as :class:`KelvoError` subclasses, one per
status. The C library is not thread-safe; every call this package makes holds
one process-wide lock (:data:`kelvo.raw.lock`), so threads may share units.
The C functions themselves, with exact ctypes declarations, are in
:mod:`kelvo.raw`.
"""

from . import raw
from .errors import (
    BadChannelError,
    BadSettingError,
    CommError,
    KelvoError,
    NoMemoryError,
    NotOpenError,
    OpenError,
    check,
)
from .raw import LibraryNotFoundError
from .unit import (
    SamplingSettings,
    SamplingStatus,
    Unit,
    UnitSummary,
    VersionInfo,
    discover,
    library_version,
    open,
    units,
)

__version__ = "1.0.0"

__all__ = [
    "raw",
    "discover",
    "units",
    "open",
    "library_version",
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
    "LibraryNotFoundError",
    "check",
]
