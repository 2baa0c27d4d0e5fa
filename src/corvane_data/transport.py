"""How a batch crosses from a worker process to the loader: one pipe per worker.

A batch's arrays cross as raw bytes beside a small pickled header (pickle's
out-of-band buffers), straight from the worker's arrays into the parent's: no
pickled copy on either side. The pipe's kernel buffer is widened to
``PIPE_BYTES``, so that megabytes cross in a few writes instead of one context
switch per 64 KiB.
"""

from __future__ import annotations

import fcntl
import pickle
from multiprocessing.connection import Connection
from typing import Any

PIPE_BYTES = 1 << 20


def widen(connection: Connection) -> None:
    """Asks for a ``PIPE_BYTES`` kernel buffer (Linux); elsewhere, or if refused, keeps the default."""
    try:
        fcntl.fcntl(connection.fileno(), fcntl.F_SETPIPE_SZ, PIPE_BYTES)
    except (AttributeError, OSError):
        pass


def send_batch(results: Connection, batch: Any) -> None:
    buffers: list[pickle.PickleBuffer] = []
    header = pickle.dumps(batch, protocol=5, buffer_callback=buffers.append)
    raw = [buffer.raw() for buffer in buffers]
    results.send(("batch", header, [view.nbytes for view in raw]))
    for view in raw:
        results.send_bytes(view)


def send_error(results: Connection, report: str) -> None:
    results.send(("error", report, []))


def receive(results: Connection) -> Any:
    """The next batch, or the report of a worker's error; ``EOFError`` once the worker is gone."""
    kind, payload, sizes = results.recv()
    buffers = [bytearray(size) for size in sizes]
    for buffer in buffers:
        results.recv_bytes_into(buffer)
    if kind == "error":
        return str(payload)
    return pickle.loads(payload, buffers=buffers)
