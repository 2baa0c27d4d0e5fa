"""How a batch crosses from a worker process to the loader: through shared memory that both reuse.

Each worker has a pool of *slots*: anonymous shared files (``memfd_create``)
that the loader's process creates and hands to the worker as file
descriptors, through a socket of their own, and that both processes map once.
A worker lays a batch's arrays into a free slot (one copy, into pages that
earlier batches have already touched) and sends a small pickled header
through its result pipe; the loader's arrays are views of the slot, made in
place from pickle's out-of-band buffers, with no copy at all. They are
writable and contiguous, as arrays of the batch's own would be.

A slot goes back to its worker once every array of the batch that came in it
has been released: each of them holds the batch's :class:`_Lease` (through
its ``.base``), whose finaliser tells the worker, by its task pipe, that the
slot is free. A worker without a free slot large enough sends the batch
through the pipe instead, into memory of the loader's own, and asks for a
slot of that size; the pool grows so, up to ``bound`` slots per worker. A
training loop that drops each batch after its step settles on a few slots
per worker and copies nothing but its first batches; a user who keeps
batches (an epoch in a list) still gets independent arrays: once the pool
is full, the batches kept beyond it come through the pipe, each in memory of
its own. A worker whose free slots are all too small for a batch gives the
smallest back (*retires* it), and the loader replaces it with a larger one.

Slots have no names: nothing in ``/dev/shm``, nothing for multiprocessing's
resource tracker. A slot's memory lives exactly as long as a mapping of it
or a descriptor in flight does, so whatever ends a worker, the loader or
both, the kernel frees it with the last of them. The loader unmaps its
slots when the pool closes, but for those of batches the user still holds,
which go with the batch. Where ``memfd_create`` is missing, there are no
slots, and every batch comes through the pipe.
"""

from __future__ import annotations

import fcntl
import mmap
import os
import pickle
import socket
import time
import weakref
from collections.abc import Callable
from multiprocessing.connection import Connection
from typing import Any

PIPE_BYTES = 1 << 20
ALIGN = 64  # bytes: every array of a slot starts on a cache line
HEADROOM = 1.25  # a new slot's size over the batch that asked for it: room for larger batches
SLOT_NAME = "corvane-batch-slot"  # what /proc/<pid>/maps shows, as /memfd:<name> (deleted)

Timings = dict[str, float]  # seconds per phase of one batch


def widen(connection: Connection) -> None:
    """Asks for a ``PIPE_BYTES`` kernel buffer (Linux); elsewhere, or if refused, keeps the default."""
    try:
        fcntl.fcntl(connection.fileno(), fcntl.F_SETPIPE_SZ, PIPE_BYTES)
    except (AttributeError, OSError):
        pass


# A worker's messages to the loader are (kind, header, spans, slot, need, retired, timings):
#   "slot":  the batch lies in slot ``slot``, its buffers at ``spans`` (offset, size);
#   "pipe":  the worker had no free slot that large; the buffers follow through the pipe, of
#            sizes ``spans``, and ``need`` is the bytes they would take in a slot;
#   "error": ``header`` is the report of a worker's error.
# ``retired`` lists the slots the worker has given back since its last message.
# The loader's messages to a worker, through its task pipe, are ("grant", slot), whose
# descriptor the grant socket carries, and ("free", slot), beside the tasks.


class WorkerSlots:
    """A worker's side of its pool: the slots it has mapped, and which of them are free."""

    def __init__(self, grants: socket.socket) -> None:
        self.grants = grants
        self.mapped: dict[int, mmap.mmap] = {}
        self.free: list[int] = []  # most recently freed last: its pages are the warmest
        self.retired: list[int] = []  # given back since the last message

    def take(self, message: tuple[Any, ...]) -> None:
        """Applies one of the loader's messages about slots."""
        kind, slot = message
        if kind == "free":
            self.free.append(slot)
            return
        _, descriptors, _, _ = socket.recv_fds(self.grants, 1, 1)
        try:
            self.mapped[slot] = mmap.mmap(descriptors[0], os.fstat(descriptors[0]).st_size)
        except (IndexError, OSError):  # none came, or no room to map it: the slot goes back
            self.retired.append(slot)
            return
        finally:
            for descriptor in descriptors:
                os.close(descriptor)
        self.free.append(slot)

    def send(self, results: Connection, batch: Any, timings: Timings, start: float) -> None:
        """Sends ``batch``: laid into a free slot, or through the pipe if none is large enough.

        Adds to ``timings`` the seconds from ``start`` until the batch is laid
        out, as ``"worker sends"``.
        """
        buffers: list[pickle.PickleBuffer] = []
        header = pickle.dumps(batch, protocol=5, buffer_callback=buffers.append)
        raw = [buffer.raw() for buffer in buffers]
        spans, need = _layout([view.nbytes for view in raw])
        slot = self._fitting(need)
        retired, self.retired = self.retired, []
        if slot is None:
            timings["worker sends"] = time.perf_counter() - start
            results.send(("pipe", header, [view.nbytes for view in raw], None, need, retired,
                          timings))
            for view in raw:
                results.send_bytes(view)
            return
        memory = memoryview(self.mapped[slot])
        for (offset, size), view in zip(spans, raw):
            memory[offset:offset + size] = view
        memory.release()
        timings["worker sends"] = time.perf_counter() - start
        results.send(("slot", header, spans, slot, 0, retired, timings))

    def _fitting(self, need: int) -> int | None:
        """The most recently freed slot of at least ``need`` bytes; else retires the smallest free one."""
        for position in range(len(self.free) - 1, -1, -1):
            if len(self.mapped[self.free[position]]) >= need:
                return self.free.pop(position)
        if self.free:
            smallest = min(self.free, key=lambda slot: len(self.mapped[slot]))
            self.free.remove(smallest)
            self.mapped.pop(smallest).close()
            self.retired.append(smallest)
        return None


def _layout(sizes: list[int]) -> tuple[list[tuple[int, int]], int]:
    """Each buffer's (offset, size) in a slot, aligned to ``ALIGN``, and the bytes they need in all."""
    spans, end = [], 0
    for size in sizes:
        start = -(-end // ALIGN) * ALIGN
        spans.append((start, size))
        end = start + size
    return spans, end


def send_error(results: Connection, report: str) -> None:
    results.send(("error", report, [], None, 0, [], {}))


class Failure(str):
    """The report of a worker's error, as received."""


class SlotPool:
    """The loader's side of one worker's slots: it creates and grants them, and lends their batches.

    Parameters
    ----------
    send : callable
        Sends a message to the worker, through its task pipe; called from
        finalisers too, so it must not block (a queue's ``put``).
    grants : socket
        This end of the worker's grant socket, which carries each new slot's
        descriptor.
    bound : int
        The most slots the worker gets.
    """

    def __init__(self, send: Callable[[tuple[Any, ...]], None], grants: socket.socket,
                 bound: int) -> None:
        self._send = send
        self.grants = grants
        self.bound = bound if hasattr(os, "memfd_create") else 0
        self.slots: dict[int, mmap.mmap] = {}
        self.leased: set[int] = set()  # slots that hold a batch the user has not released
        self._next = 0
        self.closed = False

    def receive(self, results: Connection) -> tuple[Any, Timings]:
        """The next batch of the worker and its timings, or a :class:`Failure`.

        Raises ``EOFError`` (or ``OSError``) once the worker is gone.
        """
        kind, header, spans, slot, need, retired, timings = results.recv()
        for gone in retired:  # the worker has unmapped it
            self.slots.pop(gone).close()
        if kind == "error":
            return Failure(header), timings
        if kind == "pipe":
            buffers = [bytearray(size) for size in spans]
            for buffer in buffers:
                results.recv_bytes_into(buffer)
            if need and len(self.slots) < self.bound:
                self._grant(need)
            return pickle.loads(header, buffers=buffers), timings
        lease = _Lease(self.slots[slot])
        self.leased.add(slot)
        weakref.finalize(lease, self._give_back, slot).atexit = False
        memory = memoryview(lease)
        return pickle.loads(header, buffers=[memory[start:start + size]
                                             for start, size in spans]), timings

    def close(self) -> None:
        """Unmaps every slot but those of batches the user still holds, which go with the batch.

        No slot goes back to the worker any more. Idempotent.
        """
        self.closed = True
        for slot, mapping in self.slots.items():
            if slot not in self.leased:
                mapping.close()
        self.slots.clear()
        self.leased.clear()
        self.grants.close()

    def _grant(self, need: int) -> None:
        size = -(-int(need * HEADROOM) // mmap.PAGESIZE) * mmap.PAGESIZE
        try:
            descriptor = os.memfd_create(SLOT_NAME, os.MFD_CLOEXEC)
        except OSError:  # out of descriptors, say: batches keep coming by pipe
            return
        try:
            os.ftruncate(descriptor, size)
            mapping = mmap.mmap(descriptor, size)
        except OSError:
            return
        else:
            try:
                socket.send_fds(self.grants, [b"g"], [descriptor])
            except OSError:  # the worker is gone: its result pipe tells the loader
                mapping.close()
                return
        finally:
            os.close(descriptor)  # the mapping, and the worker's copy in flight, keep the file
        slot, self._next = self._next, self._next + 1
        self.slots[slot] = mapping
        self._send(("grant", slot))

    def _give_back(self, slot: int) -> None:
        if not self.closed:
            self.leased.discard(slot)
            self._send(("free", slot))


class _Lease:
    """What a received batch's arrays hold: its slot's memory, given back when the lease is released.

    Every array is a view of a ``memoryview`` of the lease (its buffer comes
    from :meth:`__buffer__`), so the lease lives until the last of them is
    released; it holds the slot's mapping, which stays mapped as long as the
    lease does, even after its pool has closed.
    """

    __slots__ = ("_mapping", "__weakref__")

    def __init__(self, mapping: mmap.mmap) -> None:
        self._mapping = mapping

    def __buffer__(self, flags: int) -> memoryview:
        return memoryview(self._mapping)
