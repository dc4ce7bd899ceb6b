"""Exceptions raised by the object API, one class per status code."""

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
    "check",
]


class KelvoError(Exception):
    """Base of every error the binding raises for a unit.

    ``code`` is the library's 16-bit status (``0x8011`` ...), or ``None`` for
    failures that the library reports without a status (opening a unit).
    """

    code: Optional[int] = None

    def __init__(self, message: str, code: Optional[int] = None) -> None:
        super().__init__(message)
        if code is not None:
            self.code = code


class NoMemoryError(KelvoError):
    """0x8008: the library could not get a working buffer."""

    code = raw.STATUS_NO_MEMORY


class NotOpenError(KelvoError):
    """0x8010: the handle is not a unit the library knows (for instance one
    opened before the last :func:`kelvo.discover`)."""

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


def check(status: int, what: str = "Kelvo call") -> None:
    """Raise the exception for a 16-bit status; return for ``STATUS_OK``.

    ``what`` says which call on which unit failed and starts the message.
    An unknown status raises :class:`KelvoError` with that code.
    """
    if status == raw.STATUS_OK:
        return
    meaning = _MEANING.get(status, "unknown status")
    raise _BY_CODE.get(status, KelvoError)(f"{what}: {meaning} (0x{status:04X})", status)
