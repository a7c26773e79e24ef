"""Cyclic garbage collection paused while the store builds or encodes many objects at once.

Building thousands of rows or records allocates thousands of containers that all stay
alive: the collector would run over and over across a growing heap, finding nothing
to free. :func:`paused` turns it off for such a stretch. Pauses nest and overlap
across threads: the first one to begin notes whether collection was on, the last one
to end puts that back (also when the stretch raises). Cycles made meanwhile are
collected by the first collection after the pause.
"""

from __future__ import annotations

import contextlib
import gc
import threading
from collections.abc import Iterator

_lock = threading.Lock()
_active = 0
_resume = False


@contextlib.contextmanager
def paused() -> Iterator[None]:
    """Run the block with cyclic garbage collection off (see the module's description)."""
    global _active, _resume
    with _lock:
        if _active == 0:
            _resume = gc.isenabled()
            gc.disable()
        _active += 1
    try:
        yield
    finally:
        with _lock:
            _active -= 1
            if _active == 0 and _resume:
                gc.enable()
