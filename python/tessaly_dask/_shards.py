"""What runs on the workers: building a shard, searching it and copying it out.

These functions travel by reference (module and name), so every worker must
be able to import tessaly_dask; importing it registers the shard's size
with Dask (see _sizing.py).
"""
import numpy as np
from dask.sizeof import sizeof

import tessaly

from ._convert import ids_to_uint64, store_rows
from ._sizing import entries_bytes, store_bytes


class Shard:
    """A shard's store, as a worker holds it.

    A worker names the type of every result to the scheduler, by pickling
    it; Vectorstore's type names no module, so pickling it fails, and Dask
    logs the failure with a traceback for every shard built. This type
    pickles by name.
    """
    __slots__ = ("store",)

    def __init__(self, store):
        self.store = store

    def __reduce__(self):
        raise TypeError("a shard stays on its worker: a tessaly.Vectorstore cannot be pickled")


sizeof.register(Shard)(lambda shard: store_bytes(shard.store))


def spill_target():
    """The managed memory, in bytes, above which this worker spills to disk, or None."""
    try:
        from distributed import get_worker
        from distributed.spill import SpillBuffer
        data = get_worker().data
    except (ImportError, ValueError):
        return None
    return data.n if isinstance(data, SpillBuffer) else None


def check_fits(count, vector_size, first_pass):
    # A value at least as large as the spill target goes straight to disk,
    # where a shard cannot go (a store is not picklable): say so plainly,
    # before building it.
    target = spill_target()
    size = entries_bytes(count, vector_size, first_pass)
    if target is not None and size >= target:
        raise MemoryError(
            f"a shard of {count} rows needs about {size} bytes, at least this worker's "
            f"spill target of {target} bytes; use smaller shards or give workers more memory")


def build_shard(rows, ids, first_row, first_pass):
    """A Shard of these rows, with the first pass `first_pass` ("int8" or
    None); ids None means the row numbers from first_row."""
    rows = store_rows(rows, first_row)
    check_fits(*rows.shape, first_pass)
    if ids is None:
        ids = np.arange(first_row, first_row + len(rows), dtype=np.uint64)
    else:
        ids = ids_to_uint64(ids, first_row)
    return Shard(tessaly.Vectorstore.from_array(rows, ids, first_pass=first_pass))


def worker_threads():
    """The threads of the worker running this task (1 outside a worker)."""
    try:
        from distributed import get_worker
        return get_worker().state.nthreads
    except (ImportError, ValueError):
        return 1


def search_shards(shards, queries, top_k, masks=None):
    """For each shard, in order, its own ranked top_k for every row of a 2-D
    float32 array, from one pass over the shard: (scores, ids), a float32 and
    a uint64 array of shape (len(queries), min(top_k, len(shard))); with
    masks, only over the rows each shard's mask selects."""
    # One task holds all of this worker's shards, so each scan takes all of
    # its threads (one runs on this thread).
    threads = worker_threads()
    if masks is None:
        masks = [None] * len(shards)
    return [shard.store.search_arrays(queries, top_k, threads, where=mask)
            for shard, mask in zip(shards, masks, strict=True)]


def export_shards(shards):
    """For each shard, in order, its rows and ids as arrays: (vectors, ids),
    float32 of shape (len(shard), vector_size) and uint64 of shape
    (len(shard),)."""
    return [shard.store.to_arrays() for shard in shards]
