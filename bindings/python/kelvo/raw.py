"""The C API as it is: ctypes declarations of the library's 54 functions.

Every export is declared with the exact argument and result types of
``kelvo.h``: handles are ``c_void_p`` (never cut to 32 bits on a 64-bit
Python), statuses ``c_uint16``, the two ``Kelvo_MemSampleStatus*`` results
``c_uint8``. The library is loaded on first use::

    import ctypes
    from kelvo import raw

    handle = raw.Kelvo_Open(3, 1)
    value = ctypes.c_uint8()
    status = raw.Kelvo_ReadDIO(handle, 0, ctypes.byref(value))

``raw.lib`` is the loaded ``ctypes.CDLL`` (``WinDLL`` on Windows, whose
exports are standard-call); each ``raw.Kelvo_*`` name is the same function
object as ``raw.lib.Kelvo_*``.

Where the library comes from, in this order:

1. the path in the environment variable ``KELVO_LIBRARY``, if it is set (and
   then nothing else is tried, so a wrong path is reported, not papered over);
2. ``libkelvo.so`` inside the ``kelvo`` package directory, then in the
   directory that holds the package. On Windows ``KelvoDLL.dll`` in each of
   them, in its subfolder ``x64`` (64-bit Python) or ``x86`` (32-bit
   Python) first, then beside it;
3. the system's usual search for that name.

Threads: the library lets calls on different units run at once and
serializes calls on one unit itself; ``Kelvo_Initial`` waits for the calls
in flight and ends every handle. :func:`kelvo.discover` takes :data:`lock`:
hold it around raw calls that must not meet a discovery.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
import sys
import threading
from ctypes import POINTER, Structure, c_char, c_char_p, c_int32, c_uint8, c_uint16, c_uint32
from ctypes import c_void_p
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

__all__ = [
    "DeviceSummary",
    "VersionInfo",
    "PROTOTYPES",
    "STATUS_OK",
    "STATUS_NO_MEMORY",
    "STATUS_NOT_OPEN",
    "STATUS_COMM_ERROR",
    "STATUS_BAD_SETTING",
    "STATUS_BAD_CHANNEL",
    "LibraryNotFoundError",
    "load",
    "lock",
]

# 16-bit results of the I/O, configuration and sampling calls.
STATUS_OK = 0x0000
STATUS_NO_MEMORY = 0x8008
STATUS_NOT_OPEN = 0x8010
STATUS_COMM_ERROR = 0x8011
STATUS_BAD_SETTING = 0x8020
STATUS_BAD_CHANNEL = 0x8021

#: Taken by :func:`kelvo.discover` around ``Kelvo_Initial``: hold it around
#: raw calls that must not meet a discovery. Re-entrant; a thread holding it
#: may use the object API.
lock = threading.RLock()


class DeviceSummary(Structure):
    """One unit as listed by browsing: 21 bytes, no padding."""

    _pack_ = 1
    _fields_ = [
        ("modelCode", c_uint8),
        ("unitId", c_uint8),
        ("auxByte", c_uint8),
        ("total", c_uint8),
        ("bits", c_uint8),
        ("name", c_char * 16),
    ]


class VersionInfo(Structure):
    """Library and unit versions: 37 bytes, no padding."""

    _pack_ = 1
    _fields_ = [
        ("libraryMajor", c_uint8),
        ("libraryMinor", c_uint8),
        ("libraryDate", c_char * 16),
        ("deviceInfo", c_uint8),
        ("deviceMajor", c_uint8),
        ("deviceMinor", c_uint8),
        ("deviceDate", c_char * 16),
    ]


assert ctypes.sizeof(DeviceSummary) == 21
assert ctypes.sizeof(VersionInfo) == 37

_H = c_void_p  # KELVO_HANDLE
_U8P = POINTER(c_uint8)
_U16P = POINTER(c_uint16)
_U32P = POINTER(c_uint32)
_I32P = POINTER(c_int32)

#: name -> (restype, argtypes), in the order of kelvo.h.
PROTOTYPES: Dict[str, Tuple[Any, Tuple[Any, ...]]] = {
    # Discovery and connections
    "Kelvo_Initial": (c_int32, ()),
    "Kelvo_BrowseDevice": (c_int32, (POINTER(DeviceSummary),)),
    "Kelvo_BrowseDeviceIndex": (c_int32, (c_int32, POINTER(DeviceSummary))),
    "Kelvo_Open": (_H, (c_uint32, c_uint32)),
    "Kelvo_OpenByIP": (_H, (c_char_p,)),
    "Kelvo_Close": (c_int32, (_H,)),
    "Kelvo_Access": (c_int32, (_H, c_int32, _U8P)),
    "Kelvo_GetVerInfo": (c_int32, (_H, POINTER(VersionInfo))),
    # Digital I/O
    "Kelvo_ReadDIO": (c_uint16, (_H, c_uint32, _U8P)),
    "Kelvo_WriteDIO": (c_uint16, (_H, c_uint32, c_uint32, c_uint32)),
    "Kelvo_MultiReadDIO": (c_uint16, (_H, c_uint32, _U8P, _U8P)),
    "Kelvo_MultiWriteDIO": (c_uint16, (_H, c_uint32, _U8P, _U8P, _U8P)),
    "Kelvo_SetChDirDIO": (c_uint16, (_H, c_uint32, _U8P)),
    # Analog I/O and counters
    "Kelvo_ReadAIO": (c_uint16, (_H, c_uint32, _I32P)),
    "Kelvo_WriteAIO": (c_uint16, (_H, c_uint32, c_int32)),
    "Kelvo_MultiReadAIO": (c_uint16, (_H, c_uint32, _U8P, _I32P)),
    "Kelvo_MultiWriteAIO": (c_uint16, (_H, c_uint32, _U8P, _I32P)),
    "Kelvo_SetGainAIO": (c_uint16, (_H, c_uint32, c_uint32)),
    "Kelvo_ReadCOU": (c_uint16, (_H, c_uint32, _I32P)),
    "Kelvo_WriteCOU": (c_uint16, (_H, c_uint32, c_int32)),
    "Kelvo_SetModeCOU": (c_uint16, (_H, c_uint32, c_uint32, c_uint32)),
    # Sampling settings
    "Kelvo_SetMemSamplingCycleDIO": (c_uint16, (_H, c_uint32, c_uint32)),
    "Kelvo_GetMemSamplingCycleDIO": (c_uint16, (_H, _U8P, _U8P)),
    "Kelvo_SetMemTrgDataDIO": (c_uint16, (_H, c_uint32, _U8P, _U8P)),
    "Kelvo_GetMemTrgDataDIO": (c_uint16, (_H, _U8P, _U8P, _U8P)),
    "Kelvo_SetMemTriggerDIO": (c_uint16, (_H, c_uint32, c_uint32, c_uint32)),
    "Kelvo_GetMemTriggerDIO": (c_uint16, (_H, _U8P, _U8P, _U16P)),
    "Kelvo_SetMemSamplingCycleAI": (c_uint16, (_H, c_uint32, c_uint32)),
    "Kelvo_GetMemSamplingCycleAI": (c_uint16, (_H, _U8P, _U8P)),
    "Kelvo_SetMemOutputModeAO": (c_uint16, (_H, c_uint32)),
    "Kelvo_GetMemOutputModeAO": (c_uint16, (_H, _U8P)),
    "Kelvo_SetMemTargetChannelAI": (c_uint16, (_H, c_uint32, _U8P)),
    "Kelvo_SetMemSamplingFreqAO": (c_uint16, (_H, c_uint32, c_uint32)),
    "Kelvo_GetMemSamplingFreqAO": (c_uint16, (_H, _U8P, _U32P)),
    "Kelvo_SetMemTrgDataAI": (c_uint16, (_H, c_uint32, c_uint32)),
    "Kelvo_GetMemTrgDataAI": (c_uint16, (_H, _U8P, _U8P)),
    "Kelvo_SetMemTriggerAIO": (c_uint16, (_H, c_uint32, c_uint32, c_uint32)),
    "Kelvo_GetMemTriggerAIO": (c_uint16, (_H, _U8P, _U8P, _U16P)),
    # Sampling control and memory transfer
    "Kelvo_MemStartDIO": (c_uint16, (_H,)),
    "Kelvo_MemStopDIO": (c_uint16, (_H,)),
    "Kelvo_MemSampleStatusDIO": (c_uint8, (_H, _U32P)),
    "Kelvo_MemSeekDIO": (c_uint16, (_H, c_uint32)),
    "Kelvo_MemReadDIO": (c_uint16, (_H, c_uint32, _U8P)),
    "Kelvo_MemWriteDIO": (c_uint16, (_H, c_uint32, _U8P)),
    "Kelvo_MemSeekReadDIO": (c_uint16, (_H, c_uint32, _U8P)),
    "Kelvo_MemSeekWriteDIO": (c_uint16, (_H, c_uint32, _U8P)),
    "Kelvo_MemStartAIO": (c_uint16, (_H,)),
    "Kelvo_MemStopAIO": (c_uint16, (_H,)),
    "Kelvo_MemSampleStatusAIO": (c_uint8, (_H, _U32P)),
    "Kelvo_MemSeekAIO": (c_uint16, (_H, c_uint32)),
    "Kelvo_MemReadAIO": (c_uint16, (_H, c_uint32, _U8P)),
    "Kelvo_MemWriteAIO": (c_uint16, (_H, c_uint32, _U8P)),
    "Kelvo_MemSeekReadAIO": (c_uint16, (_H, c_uint32, _U8P)),
    "Kelvo_MemSeekWriteAIO": (c_uint16, (_H, c_uint32, _U8P)),
}

assert len(PROTOTYPES) == 54


class LibraryNotFoundError(OSError):
    """The Kelvo library could not be loaded from any of the places tried."""


_WINDOWS = sys.platform == "win32"
_LIBRARY_NAME = "KelvoDLL.dll" if _WINDOWS else "libkelvo.so"
_loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL  # type: ignore[attr-defined]
_lib: Optional[ctypes.CDLL] = None
_ARCH_FOLDERS = {32: "x86", 64: "x64"}


def python_bits() -> int:
    """The width of a pointer in this Python: 32 or 64."""
    return struct.calcsize("P") * 8


def candidates() -> List[str]:
    """The files or names :func:`load` tries, in order."""
    return list(_candidates())


def _candidates() -> Iterator[str]:
    named = os.environ.get("KELVO_LIBRARY")
    if named:
        yield named
        return
    package_dir = os.path.dirname(os.path.abspath(__file__))
    yield from search_order(_WINDOWS, python_bits(), package_dir)
    # Only reached when the package has no copy: find_library may run
    # external tools (ldconfig) to answer.
    system = ctypes.util.find_library("KelvoDLL" if _WINDOWS else "kelvo")
    if system and system != _LIBRARY_NAME:
        yield system
    yield _LIBRARY_NAME  # the dynamic loader's own search


def search_order(windows: bool, bits: int, package_dir: str) -> List[str]:
    """The files tried in and beside the package. The Windows DLL comes in
    two builds of one name, in folders ``x86`` (32-bit) and ``x64``
    (64-bit): the one that matches this Python comes first."""
    name = "KelvoDLL.dll" if windows else "libkelvo.so"
    folders = [package_dir, os.path.dirname(package_dir)]
    if not windows:
        return [os.path.join(folder, name) for folder in folders]
    arch = _ARCH_FOLDERS[bits]
    return [path for folder in folders
            for path in (os.path.join(folder, arch, name), os.path.join(folder, name))]


def bitness_hint(windows: bool, bits: int) -> str:
    """What to do when no library loads."""
    if not windows:
        return "set KELVO_LIBRARY to the library's path"
    return (f"KelvoDLL.dll comes as {_ARCH_FOLDERS[32]}\\KelvoDLL.dll (32-bit) and "
            f"{_ARCH_FOLDERS[64]}\\KelvoDLL.dll (64-bit); this {bits}-bit Python needs the "
            f"{_ARCH_FOLDERS[bits]} one (a DLL of the other width fails with WinError 193); "
            "or set KELVO_LIBRARY to its path")


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    for name, (restype, argtypes) in PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = list(argtypes)
    return lib


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Load the library once and declare its functions; return it.

    ``path`` names the file to load and overrides the usual search; it only
    matters on the first call (later calls return the loaded library).

    Raises :class:`LibraryNotFoundError` naming every file tried, why each
    failed, and whether this Python is 32- or 64-bit (on Windows it names
    both DLL builds and the one this Python needs).
    """
    global _lib
    with lock:
        if _lib is not None:
            return _lib
        tried: List[str] = []
        for candidate in [path] if path else _candidates():
            is_path = os.path.dirname(candidate) != ""
            if is_path and not os.path.exists(candidate):
                tried.append(f"  {candidate}: no such file")
                continue
            try:
                lib = _declare(_loader(candidate))
            except (OSError, AttributeError) as error:
                tried.append(f"  {candidate}: {error}")
                continue
            _lib = lib
            module = sys.modules[__name__]
            module.lib = lib  # type: ignore[attr-defined]
            for name in PROTOTYPES:
                setattr(module, name, getattr(lib, name))
            return lib
        hint = bitness_hint(_WINDOWS, python_bits())
        raise LibraryNotFoundError(
            f"cannot load the Kelvo library into this {python_bits()}-bit Python "
            f"({sys.platform}); tried:\n" + "\n".join(tried) + f"\n({hint})"
        )


def loaded() -> bool:
    """Whether the library has been loaded."""
    return _lib is not None


def __getattr__(name: str) -> Any:
    # The library is loaded on the first use of `lib` or of a function name;
    # load() then puts them into the module, so this runs once per name.
    if name == "lib" or name in PROTOTYPES:
        load()
        return globals()[name]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> Sequence[str]:
    return sorted(set(globals()) | set(PROTOTYPES) | {"lib"})
