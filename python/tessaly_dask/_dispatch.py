"""One task per worker holding shards, run on that worker, with every wait
bounded.

A search task names the futures of the shards one worker holds as its
arguments and is pinned, without fallback, to that worker, as the scheduler
reports it. So the scheduler never picks another worker for it, work
stealing never moves it (a pinned task has no other worker to go to), and
the shards, which cannot be pickled, never have to travel. If that worker
dies, its shards are rebuilt elsewhere (see _shard_set), and a pinned task
would wait forever for the dead worker: so while waiting, the holders are
checked every POLL seconds, and a round whose holders changed is cancelled
and run again on the new holders.

A round's tasks go to the scheduler in one message: the client batches its
messages, and a second one sent within its interval (10 ms) would wait for
it, holding back that worker's start.
"""
import copy
import time
import uuid
import warnings

import dask
from dask.sizeof import sizeof
from distributed import CancelledError

from ._errors import NoWorkersError
from ._placement import holders_of, workers_now

POLL = 0.5
# Finished tasks whose results take more than this are released at once:
# the workers would hold them until the next search, and a batch that
# large takes long enough that the client's batching interval is no matter.
SPENT_BYTES = 1 << 20
# A gather is retried (after the holders are checked) when it takes longer.
GATHER_SLICE = 30.0


class Watch:
    """The bounds of one call: an overall deadline and a limit on the time
    spent with no worker in the cluster."""

    def __init__(self, client, timeout, no_worker_timeout):
        self.client = client
        self.timeout = timeout
        self.no_worker_timeout = no_worker_timeout
        self.started = time.monotonic()
        self.no_workers_since = None

    def remaining(self):
        if self.timeout is None:
            return float("inf")
        return self.timeout - (time.monotonic() - self.started)

    def slice(self, longest=POLL):
        return max(0.0, min(longest, self.remaining()))

    def check(self, waiting_for):
        """Raises when the call ran out of time or the cluster out of
        workers; returns the workers (see _placement.workers_now)."""
        if self.remaining() <= 0:
            raise TimeoutError(f"{waiting_for} did not finish within {self.timeout} s; "
                               f"the workers may be paused, busy or gone")
        workers = workers_now(self.client)
        now = time.monotonic()
        if workers:
            self.no_workers_since = None
        elif self.no_workers_since is None:
            self.no_workers_since = now
        elif now - self.no_workers_since >= self.no_worker_timeout:
            raise NoWorkersError(f"the cluster has had no worker for {self.no_worker_timeout} s, "
                                 f"so no shard can be held or searched")
        return workers


def waited(futures, seconds):
    """Whether every future finished (or failed) within the given seconds;
    False too when one was cancelled (client.restart, say)."""
    # Future.exception waits through the future's own client, the store's:
    # distributed.wait takes the default client, which need not be the
    # store's (and Client.as_current would change Dask's global
    # configuration, which concurrent searches could then leave changed).
    # It fetches no result, which a shard could not give: a store is not
    # picklable.
    deadline = time.monotonic() + seconds
    for future in futures:
        if future.cancelled():
            return False
        if not future.done():
            try:
                future.exception(timeout=max(0.0, deadline - time.monotonic()))
            except (TimeoutError, CancelledError):
                return False
    return not any(future.cancelled() for future in futures)


def raise_error_of(future):
    """Raises a copy of the future's exception. Raising the one the client
    keeps would hang this call's frames, and with them the futures, on the
    client's own record of the future, which would then never be released."""
    error = future.exception()
    raise copy.copy(error).with_traceback(error.__traceback__)


def raise_failed_build(shards):
    for shard in shards:
        if shard.status == "error":
            raise_error_of(shard)


def locate(shard_set, watch):
    """The shards' futures and the address of the worker holding each, once all are built."""
    client = shard_set.client
    # The holders found by the last round that went through still stand
    # while no shard was rebuilt or lost since: a shard is built only on
    # the worker planned for it, so it cannot have moved. If one did, its
    # pinned task cannot finish, and collect sees the move and asks again.
    last = shard_set.located
    if last is not None and last[0] is shard_set.futures and all(
            shard.status == "finished" for shard in last[0]):
        return last
    while True:
        shards = shard_set.futures
        if waited(shards, watch.slice()):
            raise_failed_build(shards)
            holders = holders_of(client, shards)
            found = [holders.get(shard.key, ()) for shard in shards]
            if all(found):
                return shards, [addresses[0] for addresses in found]
        shard_set.heal(watch.check("building the shards"))


def moved(client, shards, holders):
    """Whether any shard is no longer held by the worker its task is pinned to."""
    now = holders_of(client, shards)
    return any(holder not in now.get(shard.key, ()) for shard, holder in zip(shards, holders))


def gather_within(client, futures, seconds):
    async def fetch():
        return await client.gather(futures, asynchronous=True)
    return client.sync(fetch, callback_timeout=seconds)


def collect(shard_set, tasks, shards, holders, watch, doing):
    """The tasks' results, or None when the round must run again: a holder
    changed, a task was cancelled or a shard was rebuilt. `doing` names the
    tasks' work in a timeout's message ("searching the shards")."""
    client = shard_set.client
    while not waited(tasks, watch.slice()):
        if moved(client, shards, holders) or any(task.cancelled() for task in tasks):
            return None
        if shard_set.heal(watch.check(doing)):
            return None
    if any(task.status != "finished" for task in tasks):
        if moved(client, shards, holders):
            return None
        for task in tasks:
            if task.status == "error":
                raise_error_of(task)
    while True:
        try:
            return gather_within(client, tasks, watch.slice(GATHER_SLICE))
        except CancelledError:
            return None
        except TimeoutError:
            if moved(client, shards, holders):
                return None
            watch.check("fetching the results")


def submit_per_holder(client, function, shards, holders, args, per_shard=None):
    """One pinned task per holder, function(its shards in shard order, *args),
    all in one graph, with per_shard's items for its shards as a last
    argument when given; returns the tasks and each one's shard indices."""
    groups = {}
    for index, holder in enumerate(holders):
        groups.setdefault(holder, []).append(index)
    calls = []
    for holder, indices in groups.items():
        with dask.annotate(workers=[holder], allow_other_workers=False):
            own = () if per_shard is None else ([per_shard[index] for index in indices],)
            calls.append(dask.delayed(function, pure=False)(
                [shards[index] for index in indices], *args, *own,
                dask_key_name=f"tessaly-search-{uuid.uuid4().hex}"))
    with warnings.catch_warnings():
        # The queries travel inside the graph on purpose: each worker needs them.
        warnings.filterwarnings("ignore", message="Sending large graph")
        return client.compute(calls), list(groups.values())


def run_on_holders(shard_set, function, args, watch, per_shard=None, doing="searching the shards"):
    """function(shards, *args) on every worker holding shards, given that
    worker's shards in shard order and returning one result for each: one
    task per worker, one round trip for the whole call. per_shard, if
    given, holds an item per shard, and each task gets its own shards'
    items as a last argument. Returns every shard's result, in shard
    order; `doing` is what a timeout says was not finished."""
    client = shard_set.client
    while True:
        shards, holders = locate(shard_set, watch)
        tasks, groups = submit_per_holder(client, function, shards, holders, args, per_shard)
        # The last round's tasks are released only now, after this round's
        # were sent: releasing them as soon as their results came would
        # hold this round's message back for the client's batching interval.
        for task in shard_set.take_spent():
            task.release()
        results = None
        try:
            results = collect(shard_set, tasks, shards, holders, watch, doing)
        finally:
            if results is None:
                shard_set.located = None
                client.cancel(tasks)
                for task in tasks:
                    task.release()
        if results is not None:
            shard_set.located = shards, holders
            if sizeof(results) <= SPENT_BYTES:
                shard_set.put_spent(tasks)
            else:
                for task in tasks:
                    task.release()
            per_shard = [None] * len(shards)
            for indices, answers in zip(groups, results):
                for index, answer in zip(indices, answers, strict=True):
                    per_shard[index] = answer
            return per_shard
        watch.check(doing)
