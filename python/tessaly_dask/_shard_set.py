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

import dask

from ._placement import holders_of, plan_workers
from ._shards import build_shard


class ShardSet:
    def __init__(self, client, first_pass):
        self.client = client
        self.first_pass = first_pass   # every shard's, rebuilt ones too
        self.futures = ()   # replaced whole, never changed in place
        self.lengths = ()
        self._sources = []
        self._planned = []
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
            lengths = [count for *_, count in sources]
            plan = plan_workers(self.client, self.futures, self.lengths, lengths, workers)
            futures = self._build(sources, plan)
            self._sources += sources
            self._planned += plan
            self.futures += tuple(futures)
            self.lengths += tuple(lengths)

    def _stranded(self, futures, workers):
        def closing(address):
            return workers.get(address, (0, ""))[1].startswith("closing")

        holders = holders_of(self.client, futures)
        stranded = []
        for index, future in enumerate(futures):
            planned = self._planned[index]
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
            futures = list(self.futures)
            stranded = self._stranded(futures, workers)
            if not stranded:
                return False
            plan = plan_workers(self.client, futures, self.lengths,
                                [self.lengths[index] for index in stranded], workers)
            rebuilt = self._build([self._sources[index] for index in stranded], plan)
            self.client.cancel([futures[index] for index in stranded])
            for index, worker, future in zip(stranded, plan, rebuilt):
                futures[index] = future
                self._planned[index] = worker
            self.futures = tuple(futures)
            return True
