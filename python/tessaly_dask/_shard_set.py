"""The shards of one store: their futures, where each was meant to be built,
and what each is built from.

Each shard is one task, `build_shard` over its source, restricted to the
worker chosen for it; the restriction applies to that task only, never to
the tasks of the input's graph. A mere preference would let Dask's work
stealing move builds waiting on a busy worker to an idle one, leaving, say,
three shards on one worker and five on the other, and a search as slow as
its most loaded worker. Shards Dask cannot finish are left to `heal`, which
rebuilds each under a new key on a running worker and releases the old one:
- its worker is gone (the shard was lost with it, or never built there):
  Dask would keep it waiting for that worker;
- its worker is retiring: Dask would try forever to copy the shard away,
  which it cannot do, so the retirement would never end.
"""
import threading
import uuid
import warnings
from typing import NamedTuple

import dask

from ._placement import holders_of, plan_workers
from ._shards import build_shard


class Shards(NamedTuple):
    """Everything known of each shard, index for index. Replaced whole by one
    assignment, never changed in place: an interrupt (Ctrl-C) anywhere in
    `add` or `heal` leaves either the old record or the new one, never
    lists out of step, which would pair a shard with another's rows."""
    futures: tuple = ()
    lengths: tuple = ()
    sources: tuple = ()   # what each is built from
    planned: tuple = ()   # the worker each was meant to be built on


class ShardSet:
    def __init__(self, client, first_pass):
        self.client = client
        self.first_pass = first_pass   # every shard's, rebuilt ones too
        self.shards = Shards()
        self._lock = threading.Lock()
        # (futures, holders) of the last search round that went through.
        self.located = None
        # That round's finished tasks, released once the next round is sent.
        self._spent = []
        self._spent_lock = threading.Lock()

    def put_spent(self, tasks):
        with self._spent_lock:
            self._spent += tasks

    def take_spent(self):
        with self._spent_lock:
            spent, self._spent = self._spent, []
        return spent

    @property
    def futures(self):
        return self.shards.futures

    @property
    def lengths(self):
        return self.shards.lengths

    def _build(self, sources, plan):
        tasks = []
        for (rows, ids, first_row, _), worker in zip(sources, plan):
            preference = {} if worker is None else {"workers": [worker],
                                                    "allow_other_workers": False}
            with dask.annotate(**preference):
                tasks.append(dask.delayed(build_shard, pure=True)(
                    rows, ids, first_row, self.first_pass,
                    dask_key_name=f"tessaly-shard-{uuid.uuid4().hex}"))
        with warnings.catch_warnings():
            # Rows given as numpy travel inside the graph on purpose: the
            # scheduler keeps them as the source of a lost shard.
            warnings.filterwarnings("ignore", message="Sending large graph")
            return self.client.compute(tasks)

    def add(self, sources, workers):
        """Builds new shards after the existing ones, spread over the workers."""
        with self._lock:
            old = self.shards
            lengths = [count for *_, count in sources]
            plan = plan_workers(self.client, old.futures, old.lengths, lengths, workers)
            futures = self._build(sources, plan)
            self.shards = Shards(old.futures + tuple(futures), old.lengths + tuple(lengths),
                                 old.sources + tuple(sources), old.planned + tuple(plan))

    def _stranded(self, shards, workers):
        def closing(address):
            return workers.get(address, (0, ""))[1].startswith("closing")

        holders = holders_of(self.client, shards.futures)
        stranded = []
        for index, (future, planned) in enumerate(zip(shards.futures, shards.planned)):
            if future.status == "cancelled":
                stranded.append(index)
            elif future.status in ("pending", "lost"):
                if planned is not None and (planned not in workers or closing(planned)):
                    stranded.append(index)
            elif any(closing(address) for address in holders.get(future.key, ())):
                stranded.append(index)
        return stranded

    def heal(self, workers):
        """Rebuilds every shard stranded by a worker that is gone or retiring,
        or cancelled (client.restart), on running workers. Returns whether
        any was rebuilt."""
        if not any(status == "running" for _, status in workers.values()):
            return False
        with self._lock:
            old = self.shards
            stranded = self._stranded(old, workers)
            if not stranded:
                return False
            plan = plan_workers(self.client, old.futures, old.lengths,
                                [old.lengths[index] for index in stranded], workers)
            rebuilt = self._build([old.sources[index] for index in stranded], plan)
            futures, planned = list(old.futures), list(old.planned)
            for index, worker, future in zip(stranded, plan, rebuilt):
                futures[index] = future
                planned[index] = worker
            self.shards = old._replace(futures=tuple(futures), planned=tuple(planned))
            # Released only once the record no longer names them: were this
            # interrupted, the old record's futures would still be held.
            self.client.cancel([old.futures[index] for index in stranded])
            return True
