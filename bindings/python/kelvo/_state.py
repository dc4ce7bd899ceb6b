"""The binding's shared state: open connections, discovery generations, locks.

The library itself lets calls on different units run at once and serializes
calls on one unit; ``Kelvo_Initial`` waits for the calls in flight. The
binding's locks guard its own state. They are always taken in this order:

``kelvo.raw.lock``
    taken by discover() first, so that code holding it around raw calls
    keeps discover() out (and may still use the object API meanwhile).
``gate``
    shared by every call on a unit and by open/close/browse; exclusive for
    :func:`kelvo.discover`, whose ``Kelvo_Initial`` ends every handle. No
    call can therefore pass a handle to the library while it is being
    invalidated (the memory of a released unit record may be reused for a
    new one, so a stale handle must never reach the library).
``Connection.lock``
    one per open unit, around its calls and its closing: no call can pass
    the closed check and then reach the library after the last close's
    ``Kelvo_Close``, where it would reconnect the unit. (The library
    serializes calls on one unit anyway, so this costs no concurrency.)
``table_lock``
    the table of open connections and their counts; held across
    ``Kelvo_Open``/``Kelvo_Close`` so that an open cannot slip between a
    close's count reaching zero and its ``Kelvo_Close``.
"""

from __future__ import annotations

import contextlib
import logging
import threading
from typing import Callable, Dict, Iterator, Optional


log = logging.getLogger("kelvo")
log.addHandler(logging.NullHandler())


class Gate:
    """A shared/exclusive lock. Shared holders may nest; a waiting exclusive
    holder keeps new shared holders out."""

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self._readers = 0
        self._writer: Optional[int] = None
        self._waiting = 0
        self._local = threading.local()

    @contextlib.contextmanager
    def shared(self) -> Iterator[None]:
        depth = getattr(self._local, "depth", 0)
        if depth or self._writer == threading.get_ident():
            self._local.depth = depth + 1
            try:
                yield
            finally:
                self._local.depth = depth
            return
        with self._cond:
            while self._writer is not None or self._waiting:
                self._cond.wait()
            self._readers += 1
        self._local.depth = 1
        try:
            yield
        finally:
            self._local.depth = 0
            with self._cond:
                self._readers -= 1
                if not self._readers:
                    self._cond.notify_all()

    @contextlib.contextmanager
    def exclusive(self) -> Iterator[None]:
        me = threading.get_ident()
        if self._writer == me:
            yield
            return
        if getattr(self._local, "depth", 0):
            raise RuntimeError("kelvo.discover() cannot run inside a call on a unit")
        with self._cond:
            self._waiting += 1
            try:
                while self._writer is not None or self._readers:
                    self._cond.wait()
            finally:
                self._waiting -= 1
            self._writer = me
        try:
            yield
        finally:
            with self._cond:
                self._writer = None
                self._cond.notify_all()


gate = Gate()
table_lock = threading.RLock()

# Bumped by every discover(): connections of an older generation are stale.
generation = 0


class Connection:
    """One library handle, shared by every :class:`kelvo.Unit` opened on it.

    ``refs`` counts the open Unit objects; the last one to close closes the
    library's connection.
    """

    def __init__(self, handle: int, label: str, summary: object, model: object,
                 reopen: Callable[[], Optional[int]]) -> None:
        self.handle = handle
        self.label = label
        self.summary = summary
        self.model = model
        self.reopen = reopen
        self.generation = generation
        self.refs = 0
        self.lock = threading.RLock()

    @property
    def stale(self) -> bool:
        return self.generation != generation


#: handle -> Connection, for the handles of the current generation.
connections: Dict[int, Connection] = {}
