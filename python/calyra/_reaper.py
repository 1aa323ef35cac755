"""Releasing managers on a thread of the package's own.

The garbage collector finalizes a Headset on whichever thread it happens to
run, which may be a thread of the library delivering a chunk. A manager must
never be freed, stopped or disconnected from inside its own callbacks (the
free waits for the callback that is calling it), so work that arrives on a
thread Python did not start is queued here and done by one daemon thread.
"""

import queue
import threading
from typing import Callable, Optional

_jobs: "queue.Queue[Callable[[], None]]" = queue.Queue()
_thread: Optional[threading.Thread] = None
_start_lock = threading.Lock()


def on_foreign_thread() -> bool:
    """True on a thread that Python did not start (a library thread)."""
    return isinstance(threading.current_thread(), threading._DummyThread)


def submit(job: Callable[[], None]) -> None:
    """Runs `job` on the release thread, after the jobs queued before it."""
    global _thread
    with _start_lock:
        if _thread is None:
            _thread = threading.Thread(target=_run, name="calyra-release", daemon=True)
            _thread.start()
    _jobs.put(job)


def flush() -> None:
    """Waits until every queued release is done. Must not be called from a
    library thread (the queued work may wait for that very thread)."""
    if not on_foreign_thread():
        _jobs.join()


def _run() -> None:
    while True:
        job = _jobs.get()
        try:
            job()
        except Exception:  # noqa: BLE001 - a release that fails must not end the thread
            import traceback
            traceback.print_exc()
        finally:
            _jobs.task_done()
