"""What runs on the workers: building a shard and searching it.

These functions travel by reference (module and name), so every worker must
be able to import tessaly_dask; importing it registers the shard's size
with Dask (see _sizing.py).
"""
from itertools import chain

import numpy as np

import tessaly

from ._convert import ids_to_uint64, rows_to_float32
from ._sizing import entries_bytes


def spill_target():
    """The managed memory, in bytes, above which this worker spills to disk, or None."""
    try:
        from distributed import get_worker
        from distributed.spill import SpillBuffer
        data = get_worker().data
    except (ImportError, ValueError):
        return None
    return data.n if isinstance(data, SpillBuffer) else None


def check_fits(count, vector_size):
    # A value at least as large as the spill target goes straight to disk,
    # where a shard cannot go (a store is not picklable): say so plainly,
    # before building it.
    target = spill_target()
    size = entries_bytes(count, vector_size)
    if target is not None and size >= target:
        raise MemoryError(
            f"a shard of {count} rows needs about {size} bytes, at least this worker's "
            f"spill target of {target} bytes; use smaller shards or give workers more memory")


def build_shard(rows, ids, first_row):
    """A Vectorstore of these rows; ids None means the row numbers from first_row."""
    rows = rows_to_float32(rows, first_row)
    check_fits(*rows.shape)
    if ids is None:
        ids = range(first_row, first_row + len(rows))
    else:
        ids = ids_to_uint64(ids, first_row).tolist()
    shard = tessaly.Vectorstore(rows.shape[1])
    insert = shard.insert
    for row, id in zip(rows, ids):
        insert(row, id)
    return shard


def search_shards(shards, queries, top_k):
    """For each shard, in order, its own ranked top_k for every row of a 2-D
    float32 array, from one pass over the shard: (scores, ids), a float32 and
    a uint64 array of shape (len(queries), min(top_k, len(shard)))."""
    return [shard_arrays(shard, queries, top_k) for shard in shards]


def shard_arrays(shard, queries, top_k):
    lists = shard.search_batch(queries, top_k)
    shape = (len(lists), min(top_k, len(shard)))
    pairs = list(chain.from_iterable(lists))
    # A score is a float32 widened exactly, so narrowing it back is exact;
    # ids go straight to uint64, never through a double.
    scores = np.fromiter((score for score, _ in pairs), np.float64, len(pairs))
    ids = np.fromiter((id for _, id in pairs), np.uint64, len(pairs))
    return scores.astype(np.float32).reshape(shape), ids.reshape(shape)
