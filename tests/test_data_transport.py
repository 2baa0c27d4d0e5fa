"""Batches through shared memory, both ends in this process: views that stay the batch's own until
it is released, a pool that keeps within its bound and follows the batches' size, and no slot left
mapped once the pool closes, but those of batches still held."""

import gc
import socket
from multiprocessing import Pipe

import numpy as np
import pytest

from corvane_data import transport


def mapped_slots():
    """The slots this process maps, by inode: both ends' mappings of one slot count once."""
    with open("/proc/self/maps", encoding="utf-8") as maps:
        return {line.split()[4] for line in maps if f"/memfd:{transport.SLOT_NAME}" in line}


class Crossing:
    """A worker's slots and the loader's pool of them, joined by the two pipes a worker has.

    Batches here are small enough for a pipe's buffer, so one thread plays both ends."""

    def __init__(self, bound):
        self.others = mapped_slots()  # slots of other tests' batches still alive
        self.task_reader, self.task_writer = Pipe(duplex=False)
        self.result_reader, self.result_writer = Pipe(duplex=False)
        grants, worker_grants = socket.socketpair()
        self.worker = transport.WorkerSlots(worker_grants)
        self.pool = transport.SlotPool(self.task_writer.send, grants, bound)

    def cross(self, batch):
        while self.task_reader.poll():
            self.worker.take(self.task_reader.recv())
        self.worker.send(self.result_writer, batch, {}, 0.0)
        received, _ = self.pool.receive(self.result_reader)
        return received

    def slots(self):
        return mapped_slots() - self.others

    def end_worker(self):
        """What the worker's end does to its mappings."""
        for mapping in self.worker.mapped.values():
            mapping.close()
        self.worker.mapped.clear()
        self.worker.grants.close()
        for pipe in (self.task_reader, self.task_writer, self.result_reader, self.result_writer):
            pipe.close()


@pytest.fixture
def crossing():
    made = []
    yield lambda bound: made.append(Crossing(bound)) or made[-1]
    for each in made:  # after a failure too, so that it leaves nothing to the next test
        each.pool.close()
        each.end_worker()


def came_by_pipe(batch):
    """Whether the batch's arrays are views of memory of their own (the pipe's) or of a slot."""
    base = batch["ids"]["a"]
    while not isinstance(base, memoryview):
        base = base.base
    return isinstance(base.obj, bytearray)


def batch_of(size, mark):
    """A batch of the kinds of arrays batches hold, about ``size`` int64 values, each filled with ``mark``."""
    return {"ids": {"a": np.full(size, mark, dtype=np.int64), "b": np.full(0, mark, dtype=np.int64)},
            "pairs": np.full((2, size // 2), mark, dtype=np.int64),
            "label": np.full(size // 4, mark, dtype=np.float32),
            "mask": np.arange(size // 8) % 2 == mark % 2,
            "strided": np.full(size, mark, dtype=np.int64)[::2],  # not contiguous: pickled in line
            "index": mark}


def arrays(batch):
    return [batch["ids"]["a"], batch["ids"]["b"], batch["pairs"], batch["label"], batch["mask"],
            batch["strided"]]


def same(received, sent):
    for got, expected in zip(arrays(received), arrays(sent), strict=True):
        assert got.dtype == expected.dtype and got.shape == expected.shape
        assert np.array_equal(got, expected)
        assert got.flags.writeable and got.flags.c_contiguous
    assert received["index"] == sent["index"]


# Batch sizes in int64 values, and how many received batches the user keeps alive.
@pytest.mark.parametrize("sizes, kept", [
    ([400] * 12, 1),                          # a loop that holds the batch of its step
    ([400] * 12, 5),                          # a loop that keeps a few: the pool grows to its bound
    ([400] * 12, 12),                         # an epoch kept in a list: the rest come by pipe
    ([100, 400, 1600, 400, 100, 3000, 50], 1),  # growing batches retire the slots too small
])
def test_a_batch_is_its_own_until_released_and_the_pool_keeps_its_bound(crossing, sizes, kept):
    bound = 3
    crossing = crossing(bound)
    held, piped = [], []
    for mark, size in enumerate(sizes):
        sent = batch_of(size, mark)
        received = crossing.cross(sent)
        same(received, sent)
        if came_by_pipe(received):
            piped.append(mark)
        for array in arrays(received):
            array[...] = 7  # the user's writes stay in the user's batch
        held = [*held, received][-kept:]
        del received
        assert len(crossing.pool.slots) <= bound
        assert all((array == np.asarray(7).astype(array.dtype)).all()  # none written into while held
                   for mine in held for array in arrays(mine))
    if len(set(sizes)) == 1:
        if kept == len(sizes):  # the slots hold the first batches they got; the pipe the rest
            assert len(sizes) - len(piped) == bound
        else:  # only the first batches, before the pool has grown, come by pipe
            assert max(piped) < 2 * kept + 1
    held.clear()
    gc.collect()
    assert not crossing.pool.leased
    crossing.pool.close()
    crossing.end_worker()
    assert crossing.slots() == set()


def test_closing_unmaps_every_slot_but_those_of_held_batches(crossing):
    crossing = crossing(bound=2)
    first = crossing.cross(batch_of(400, 1))  # by pipe; a slot is granted
    held = crossing.cross(batch_of(400, 2))   # in that slot
    crossing.cross(batch_of(400, 3))          # by pipe, as the one slot is held; a second granted
    assert len(crossing.slots()) == 2
    crossing.pool.close()
    crossing.end_worker()
    assert len(crossing.slots()) == 1
    same(held, batch_of(400, 2))  # the held batch stays readable after its pool closed
    del held
    gc.collect()
    assert crossing.slots() == set()
    del first
