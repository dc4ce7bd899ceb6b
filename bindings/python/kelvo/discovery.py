"""Finding and opening units, the library's version and trace."""

from __future__ import annotations

import builtins
import os
import re
import tempfile
from ctypes import byref
from typing import Callable, Iterable, List, Optional, Tuple, Union

from . import _state, raw
from .errors import OpenError
from .models import model, model_by_name
from .unit import Unit, UnitSummary, VersionInfo, _byte, _version_info, identify

__all__ = ["discover", "units", "open", "library_version", "enable_trace", "disable_trace"]

_log = _state.log
_ADDRESS = re.compile(r"^\d{1,3}(\.\d{1,3}){3}$")
# Device-list mode lines: only the listed units / listed units and broadcast.
_LISTED_ONLY, _LISTED_AND_BROADCAST = 1, 2
# A listed unit whose model code, aux byte and unit ID are all 255 is one the
# library must identify; it drops those that stay unidentified.
_UNKNOWN = (0xFF, 0xFF, 0xFF)


def library_version() -> VersionInfo:
    """The library's own version (the unit fields are zero)."""
    info = raw.VersionInfo()
    raw.load().Kelvo_GetVerInfo(None, byref(info))
    return _version_info(info)


def enable_trace(path: Union[str, "os.PathLike[str]"] = "stderr") -> None:
    """Switch on the library's trace, to a file or to ``"stderr"``.

    The library reads the setting (the environment variable ``KELVO_TRACE``)
    when it searches for units, so the trace starts with the next
    :func:`discover`. A library built without a trace ignores it.
    """
    os.environ["KELVO_TRACE"] = os.fspath(path)
    _log.info("library trace to %s from the next discover()", os.fspath(path))


def disable_trace() -> None:
    """Switch the library's trace off again from the next :func:`discover`."""
    os.environ.pop("KELVO_TRACE", None)


def _browse() -> List[UnitSummary]:
    lib = raw.load()
    count = lib.Kelvo_BrowseDevice(None)
    if count <= 0:
        return []
    records = (raw.DeviceSummary * count)()
    written = lib.Kelvo_BrowseDevice(records)
    return [UnitSummary._from_c(records[i]) for i in range(min(written, count))]


def units() -> List[UnitSummary]:
    """The units the library knows now, in list order, without searching."""
    with _state.gate.shared():
        return _browse()


def discover(addresses: Optional[Iterable[str]] = None, *, broadcast: Optional[bool] = None,
             device_list: Optional[Union[str, "os.PathLike[str]"]] = None) -> List[UnitSummary]:
    """Find units (``Kelvo_Initial``) and list them.

    ``discover()`` reads the system's device-list file ``Kelvo.ini`` (on
    Linux in ``$WINDIR``, else ``/etc``) and, unless its first line is 1,
    broadcasts a query on the local network and waits at least 1.5 s.

    ``discover(["192.168.0.20", ...])`` looks at these addresses only,
    without broadcasting: through a private device list in place of the
    system's, the library connects to each address and the unit there says
    who it is; addresses where no unit answers are left out. With
    ``broadcast=True`` the library broadcasts as well and identifies the
    listed units itself. ``device_list=PATH`` uses that device-list file in
    place of the system's, as it stands (its first line decides whether the
    library broadcasts). Private lists need Linux.

    Every :class:`Unit` opened before is ended: its calls raise
    :class:`StaleUnitError`. Open the units again.
    """
    listing, wanted = _private_list(addresses, broadcast, device_list)
    with raw.lock, _state.gate.exclusive(), _state.table_lock:
        lib = raw.load()
        ended = sorted(c.label for c in _state.connections.values())
        if ended:
            _log.warning("discover() ends the open unit(s) %s: their calls raise "
                         "StaleUnitError", ", ".join(ended))
        _state.generation += 1
        _state.connections.clear()
        if listing is None:
            count = lib.Kelvo_Initial()
        else:
            count = _initial_with(lib, listing, wanted)
        found = _browse()
    _log.info("discover(): %d unit(s): %s", count, " ".join(s.key for s in found))
    return found


def _device_list(mode: int, lines: Iterable[Tuple[str, Tuple[int, int, int]]]) -> bytes:
    return (f"{mode}\r\n" + "".join(
        f"{a},{code},{unit_id},{a},00-00-00-00-00-00,{aux}\r\n"
        for a, (code, aux, unit_id) in lines)).encode("ascii")


def _private_list(addresses: Optional[Iterable[str]], broadcast: Optional[bool],
                  device_list: Optional[Union[str, "os.PathLike[str]"]]
                  ) -> Tuple[Optional[bytes], List[str]]:
    """The text of the device list discover() should use (None for the
    system's), and the addresses the binding has the units at identified
    first (none when the library does it itself)."""
    if addresses is None and device_list is None:
        if broadcast is False:
            raise ValueError("discover(broadcast=False) needs addresses or a device_list")
        return None, []
    if device_list is not None:
        if addresses is not None or broadcast is not None:
            raise TypeError("discover(): give either device_list or addresses/broadcast")
        with builtins.open(device_list, "rb") as f:
            return f.read(), []
    wanted = list(addresses or ())
    for address in wanted:
        if not isinstance(address, str) or not _ADDRESS.match(address):
            raise ValueError(f"discover(): not an IPv4 address: {address!r}")
    if broadcast:
        # When it broadcasts, the library identifies the listed units too.
        return _device_list(_LISTED_AND_BROADCAST, [(a, _UNKNOWN) for a in wanted]), []
    # Listed only, the library takes the file's values as they stand and
    # asks nobody: list the addresses, let the library connect to each and
    # ask the unit through it, then list what the units said.
    distinct = list(dict.fromkeys(wanted))
    return _device_list(_LISTED_ONLY, [(a, (0, 0, 0)) for a in distinct]), distinct


def _identified(lib: object, addresses: List[str]) -> bytes:
    """A listed-only device list of the units at ``addresses`` as they name
    themselves, in the order given; addresses without a unit are left out.
    Called with the list of just these addresses in place."""
    lines = []
    for address in addresses:
        handle = lib.Kelvo_OpenByIP(address.encode("ascii"))  # type: ignore[attr-defined]
        identity = identify(handle) if handle else None
        if identity is None:
            _log.warning("discover(): no unit answered at %s", address)
        else:
            lines.append((address, identity))
    return _device_list(_LISTED_ONLY, lines)


def _initial_with(lib: object, listing: bytes, wanted: List[str]) -> int:
    """Kelvo_Initial with ``listing`` as its device-list file: the library
    reads Kelvo.ini from $KELVO_DEVICE_LIST_DIR, which points at a private
    directory for this call. With ``wanted`` addresses, once more with the
    list of the units found at them."""
    saved = os.environ.get("KELVO_DEVICE_LIST_DIR")
    with tempfile.TemporaryDirectory(prefix="kelvo-list-") as directory:
        with builtins.open(os.path.join(directory, "Kelvo.ini"), "wb") as f:
            f.write(listing)
        os.environ["KELVO_DEVICE_LIST_DIR"] = directory
        try:
            count = int(lib.Kelvo_Initial())  # type: ignore[attr-defined]
            if wanted:
                with builtins.open(os.path.join(directory, "Kelvo.ini"), "wb") as f:
                    f.write(_identified(lib, wanted))
                count = int(lib.Kelvo_Initial())  # type: ignore[attr-defined]
            return count
        finally:
            if saved is None:
                os.environ.pop("KELVO_DEVICE_LIST_DIR", None)
            else:
                os.environ["KELVO_DEVICE_LIST_DIR"] = saved


def open(target: Union[str, int, UnitSummary], unit_id: Optional[int] = None) -> Unit:
    """Connect to a unit the library lists and return it as a :class:`Unit`.

    ``target`` is ``"KV-103:1"`` (model name or code, then unit ID), a
    dotted IPv4 address such as ``"127.0.0.2"``, a :class:`UnitSummary`, or
    a model code with ``unit_id``. Run :func:`discover` first.

    Opening a unit that is already open gives another Unit on the same
    connection; the connection closes with the last of them.

    Raises :class:`OpenError` when no listed unit matches or the unit
    refuses the connection.
    """
    if isinstance(target, str) and _ADDRESS.match(target):
        return _open_address(target)
    if isinstance(target, UnitSummary):
        code, ident = target.model_code, target.unit_id
    elif isinstance(target, int):
        if unit_id is None:
            raise TypeError("open(model_code, unit_id): unit_id is missing")
        code, ident = target, unit_id
    else:
        name, sep, ident_text = target.partition(":")
        if not sep or not ident_text.strip().isdigit():
            raise ValueError(f"expected 'MODEL:UNITID' or an IPv4 address, got {target!r}")
        ident = int(ident_text)
        if name.strip().isdigit():
            code = int(name)
        else:
            named = model_by_name(name)
            if named is None:
                raise OpenError(f"{target}: no model is called {name.strip()!r}",
                                unit=target, operation="open")
            code = named.code
    _byte(code, "model code")
    _byte(ident, "unit ID")

    with _state.gate.shared(), _state.table_lock:
        listed = [u for u in _browse() if (u.model_code, u.unit_id) == (code, ident)]
        label = listed[0].key if listed else f"{code}:{ident}"
        if not listed:
            raise OpenError(f"{label}: no such unit is listed; run kelvo.discover() first",
                            unit=label, operation="open")

        def reopen() -> Optional[int]:
            return raw.lib.Kelvo_Open(code, ident)

        return _attach(label, reopen, lambda _: listed[0])


def _open_address(address: str) -> Unit:
    text = address.encode("ascii")

    def reopen() -> Optional[int]:
        return raw.lib.Kelvo_OpenByIP(text)

    with _state.gate.shared(), _state.table_lock:
        raw.load()
        return _attach(address, reopen, _summary_of)


def _attach(label: str, reopen: Callable[[], Optional[int]],
            summary_of: Callable[[int], Optional[UnitSummary]]) -> Unit:
    """Open through ``reopen`` and return a Unit on the handle's connection;
    ``summary_of`` tells a new connection's unit. Called with the gate
    shared and the table lock held."""
    handle = reopen()
    if not handle:
        raise OpenError(f"{label}: open: no such unit is listed, or it refused the connection",
                        unit=label, operation="open")
    connection = _state.connections.get(handle)
    if connection is None:
        summary = summary_of(handle)
        connection = _state.Connection(handle, label, summary,
                                       model(summary.model_code) if summary else None, reopen)
        _state.connections[handle] = connection
        _log.info("%s: connected", label)
    connection.refs += 1
    return Unit(connection, label)


def _summary_of(handle: int) -> Optional[UnitSummary]:
    """The listed unit behind a handle opened by address. The list carries
    no addresses, so ask the unit who it is (one exchange on its
    connection); None if it does not say."""
    identity = identify(handle)
    if identity is None:
        _log.info("the unit at handle 0x%x did not say who it is; only the library checks "
                  "arguments", handle)
        return None
    code, _, unit_id = identity
    return next((s for s in _browse() if (s.model_code, s.unit_id) == (code, unit_id)), None)
