"""Exceptions raised by the object API, one class per status code.

Every one is a :class:`KelvoError`, which is an :class:`OSError`: code that
already handles I/O failures handles the units' failures too.
"""

from __future__ import annotations

from typing import Dict, Optional, Type

from . import raw

__all__ = [
    "KelvoError",
    "NoMemoryError",
    "NotOpenError",
    "CommError",
    "BadSettingError",
    "BadChannelError",
    "OpenError",
    "UnitClosedError",
    "StaleUnitError",
    "check",
]


class KelvoError(OSError):
    """Base of every error the binding raises for a unit.

    ``code`` is the library's 16-bit status (``0x8011`` ...), or ``None`` for
    failures that the library reports without a status (opening a unit).
    ``unit`` names the unit (``"KV-103:1"`` or its address) and
    ``operation`` what was being done, when known; the message starts with
    both.
    """

    code: Optional[int] = None
    unit: Optional[str] = None
    operation: Optional[str] = None

    def __init__(self, message: str, code: Optional[int] = None, *,
                 unit: Optional[str] = None, operation: Optional[str] = None) -> None:
        super().__init__(message)
        if code is not None:
            self.code = code
        self.unit = unit
        self.operation = operation

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class NoMemoryError(KelvoError):
    """0x8008: the library could not get a working buffer."""

    code = raw.STATUS_NO_MEMORY


class NotOpenError(KelvoError):
    """0x8010: the handle is not a unit the library knows."""

    code = raw.STATUS_NOT_OPEN


class CommError(KelvoError):
    """0x8011: the exchange with the unit failed. The library has already
    replaced the connection, so the next call may well succeed."""

    code = raw.STATUS_COMM_ERROR


class BadSettingError(KelvoError):
    """0x8020: a sampling setting is out of range."""

    code = raw.STATUS_BAD_SETTING


class BadChannelError(KelvoError):
    """0x8021: a port or channel number is outside the unit's model."""

    code = raw.STATUS_BAD_CHANNEL


class OpenError(KelvoError):
    """A unit could not be opened: it is not listed, or it refused the
    connection. ``code`` is ``None``: the library gives no reason."""


class UnitClosedError(KelvoError):
    """The :class:`kelvo.Unit` was closed; open the unit again to go on."""


class StaleUnitError(NotOpenError):
    """A later :func:`kelvo.discover` rebuilt the library's list of units,
    which ends every handle opened before it; open the unit again."""


_BY_CODE: Dict[int, Type[KelvoError]] = {
    cls.code: cls  # type: ignore[misc]
    for cls in (NoMemoryError, NotOpenError, CommError, BadSettingError, BadChannelError)
}

_MEANING = {
    raw.STATUS_NO_MEMORY: "no memory for a working buffer",
    raw.STATUS_NOT_OPEN: "not a known unit handle",
    raw.STATUS_COMM_ERROR: "the exchange with the unit failed",
    raw.STATUS_BAD_SETTING: "setting out of range",
    raw.STATUS_BAD_CHANNEL: "port or channel outside the model",
}


def check(status: int, what: str = "Kelvo call", *, unit: Optional[str] = None,
          operation: Optional[str] = None) -> None:
    """Raise the exception for a 16-bit status; return for ``STATUS_OK``.

    ``what`` says which call on which unit failed and starts the message.
    An unknown status raises :class:`KelvoError` with that code.
    """
    if status == raw.STATUS_OK:
        return
    meaning = _MEANING.get(status, "unknown status")
    raise _BY_CODE.get(status, KelvoError)(f"{what}: {meaning} (0x{status:04X})", status,
                                           unit=unit, operation=operation)
