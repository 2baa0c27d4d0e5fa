"""Where batches are sampled: in this process or in worker processes, behind one small interface.

A loader hands each worker its batches, each with its own sampler seed, in
order, and takes the batches back in the same order (:class:`Workers`). Worker processes are
owned by their :class:`ProcessWorkers` and end with it, or with the process
that started them:

- ``close()`` ends every worker at once (SIGTERM, then SIGKILL for one that
  has not ended within ``GRACE`` seconds), whatever it is doing: a worker
  holds nothing that needs a clean exit.
- Only the parent holds the writing end of a worker's task pipe and the
  reading end of its result pipe. When the parent dies, however it dies, the
  worker reads the end of its tasks or fails to write its result, and ends.
- A worker ignores SIGINT: Ctrl-C in a terminal reaches the whole process
  group, and the parent decides what an interrupt ends.
- Tasks are written by a thread of the parent's own, so the parent never
  blocks on a worker that is still writing a batch the parent has not read;
  a dead worker's task pipe fails to write instead of filling up.
"""

from __future__ import annotations

import multiprocessing
import os
import queue
import signal
import threading
import traceback
from multiprocessing.connection import Connection, wait
from pathlib import Path
from typing import Any, Protocol

from corvane_data import transport
from corvane_data.sampling import Recipe, Sampler

GRACE = 1.0  # seconds a terminated worker gets before it is killed


class Workers(Protocol):
    """Where batches are sampled: this process, worker processes or a cluster's actors."""

    count: int

    def submit(self, worker: int, index: int, seed: int, *rows: Any) -> None:
        """Queues batch ``index`` on ``worker``: its sampler seed and its task's rows."""

    def receive(self, worker: int) -> Any:
        """The next batch of ``worker``, in the order submitted."""

    def close(self) -> None: ...


class InProcess:
    """Samples in this process, as worker 0."""

    count = 1

    def __init__(self, sampler: Sampler) -> None:
        self.sampler = sampler
        self.pending: list[tuple[Any, ...]] = []

    def submit(self, worker: int, index: int, seed: int, *rows: Any) -> None:
        self.pending.append((index, seed, *rows))

    def receive(self, worker: int) -> Any:
        return self.sampler.sample(*self.pending.pop(0))

    def close(self) -> None:
        self.pending.clear()


class ProcessWorkers:
    """Worker processes, each with its own task pipe and result pipe, so that results come in order.

    Starting them is all or nothing: if one fails to start, those already
    started are ended before the error propagates.
    """

    def __init__(self, folder: Path, recipe: Recipe, count: int, start_method: str,
                 timeout: float = 600.0) -> None:
        context: Any = multiprocessing.get_context(start_method)
        self.count = count
        self.timeout = timeout
        self.processes: list[Any] = []
        self.tasks: list[Connection] = []
        self.results: list[Connection] = []
        self._closed = False
        self._sender = _TaskSender(self.tasks)
        try:
            for _ in range(count):
                self._start_one(context, (str(folder), recipe))
        except BaseException:
            self.close()
            raise

    def _start_one(self, context: Any, arguments: tuple[str, Recipe]) -> None:
        task_reader, task_writer = context.Pipe(duplex=False)
        result_reader, result_writer = context.Pipe(duplex=False)
        self.tasks.append(task_writer)
        self.results.append(result_reader)
        transport.widen(result_reader)
        try:
            process = context.Process(target=_worker_main, daemon=True,
                                      args=(*arguments, task_reader, result_writer))
            process.start()
            self.processes.append(process)
        finally:  # the worker holds these ends now; only it may read tasks and write results
            task_reader.close()
            result_writer.close()

    def submit(self, worker: int, index: int, seed: int, *rows: Any) -> None:
        self._sender.send(worker, (index, seed, *rows))

    def receive(self, worker: int) -> Any:
        results = self.results[worker]
        waited = 0.0
        while not results.poll(1.0):
            waited += 1.0
            if waited >= self.timeout:
                raise TimeoutError(f"worker {worker} sent nothing for {waited:.0f} s")
        try:
            received = transport.receive(results)
        except (EOFError, OSError):
            process = self.processes[worker]
            process.join(timeout=GRACE)
            raise RuntimeError(f"worker {worker} (pid {process.pid}) ended with exit code "
                               f"{process.exitcode}") from None
        if isinstance(received, str):
            raise RuntimeError(f"worker {worker} failed:\n{received}")
        return received

    def close(self) -> None:
        """Ends every worker now; takes at most about ``2 * GRACE`` seconds. Idempotent."""
        if self._closed:
            return
        self._closed = True
        self._sender.stop()
        for process in self.processes:
            if process.is_alive():
                process.terminate()
        _join_all(self.processes, GRACE)
        for process in self.processes:
            if process.is_alive():
                process.kill()
        _join_all(self.processes, GRACE)
        self._sender.join(GRACE)  # its pipes have no readers left, so a write fails at once
        for connection in (*self.tasks, *self.results):
            connection.close()
        for process in self.processes:
            if process.exitcode is not None:
                process.close()


def _join_all(processes: list[Any], timeout: float) -> None:
    """Waits up to ``timeout`` seconds in all for the processes to end."""
    alive = [process.sentinel for process in processes if process.is_alive()]
    if alive:
        wait(alive, timeout)
    for process in processes:
        if not process.is_alive():
            process.join()


class _TaskSender:
    """Writes tasks into the workers' pipes from a thread, in the order they were sent.

    In order, one thread is enough: the loader waits for batch ``i`` only
    after sending every task up to ``i``, so the task this thread is blocked
    on is never one that the awaited batch depends on.
    """

    def __init__(self, pipes: list[Connection]) -> None:
        self._pipes = pipes
        self._queue: queue.SimpleQueue[tuple[int, Any] | None] = queue.SimpleQueue()
        self._stopped = False
        self._thread = threading.Thread(target=self._run, name="corvane-task-sender", daemon=True)
        self._thread.start()

    def send(self, worker: int, task: Any) -> None:
        self._queue.put((worker, task))

    def stop(self) -> None:
        """Sends nothing more; what is queued is dropped."""
        self._stopped = True
        self._queue.put(None)

    def join(self, timeout: float) -> None:
        self._thread.join(timeout)

    def _run(self) -> None:
        broken: set[int] = set()
        while (item := self._queue.get()) is not None and not self._stopped:
            worker, task = item
            if worker in broken:
                continue
            try:
                self._pipes[worker].send(task)
            except (OSError, ValueError):  # the worker is gone: its result pipe tells the loader
                broken.add(worker)


def _worker_main(folder: str, recipe: Recipe, tasks: Connection, results: Connection) -> None:
    """A worker process: maps the graph once and samples the batches it is sent, in order.

    It ends when its task pipe ends (the parent closed it, or died) or its
    result pipe has no reader left.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        _serve(folder, recipe, tasks, results)
    except (ConnectionError, EOFError):  # the parent is gone or stopped reading: nobody to tell
        return


def _serve(folder: str, recipe: Recipe, tasks: Connection, results: Connection) -> None:
    try:
        sampler = recipe.make(folder)
    except Exception:  # noqa: BLE001 - reported to the parent, which raises it
        transport.send_error(results, _report())
        return
    while True:
        task = tasks.recv()
        try:
            transport.send_batch(results, sampler.sample(*task))
        except ConnectionError:
            raise
        except Exception:  # noqa: BLE001 - reported to the parent, which raises it
            transport.send_error(results, _report())


def _report() -> str:
    return f"{traceback.format_exc()}(in process {os.getpid()})"
