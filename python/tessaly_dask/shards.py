"""What runs on the workers: building a shard and searching it.

These functions travel by reference (module and name), so every worker must
be able to import tessaly_dask; importing it registers the shard's size
with Dask (see sizing.py).
"""
import numpy as np

import tessaly

from .queries import element_to_double, through_double
from .sizing import entries_bytes


def rows_to_float32(rows, first_row):
    """The float32 rows tessaly would store for these rows: float32 as is,
    float64 narrowed, anything else through double."""
    rows = np.asarray(rows)
    if rows.dtype == np.float32:
        return np.ascontiguousarray(rows)
    if rows.dtype.kind == "O":
        return object_rows_to_float32(rows, first_row)
    return np.ascontiguousarray(rows.astype(np.float64, copy=False).astype(np.float32))


def object_rows_to_float32(rows, first_row):
    """A 2-D object array's rows as float32, each element converted as
    tessaly converts it; a row tessaly refuses raises its error."""
    # tessaly checks each row itself (as a query of an empty store, which
    # converts it as insert would), so what it refuses is refused here.
    probe = tessaly.Vectorstore(rows.shape[1])
    for row, vector in enumerate(rows, first_row):
        try:
            probe.search(vector, 0)
        except (TypeError, OverflowError) as error:
            raise type(error)(f"row {row} of vectors: {error}") from None
    return np.ascontiguousarray(through_double(np.frompyfunc(element_to_double, 1, 1)(rows)))


def check_id_range(ids, first_row):
    """Raises OverflowError for ids outside [0, 2**64), naming the first one's row."""
    if ids.dtype.kind == "i" and len(ids) and ids.min() < 0:
        row = first_row + int(np.argmax(ids < 0))
        raise OverflowError(f"id {int(ids[row - first_row])} of row {row} is not in [0, 2**64)")


def ids_to_uint64(ids, first_row):
    """Bool, integer or object ids as the u64 values tessaly stores, checked."""
    ids = np.asarray(ids)
    if ids.dtype.kind != "O":
        check_id_range(ids, first_row)
        return ids.astype(np.uint64, copy=False)
    # Any object Vectorstore takes as an id, converted by tessaly itself:
    # inserted into a store of empty vectors, and read back in insertion
    # order (every entry scores 0.0, and ties keep that order).
    probe = tessaly.Vectorstore(0)
    for row, id in enumerate(ids, first_row):
        try:
            probe.insert((), id)
        except OverflowError:
            raise OverflowError(f"id {id!r} of row {row} is not in [0, 2**64)") from None
        except TypeError as error:
            raise TypeError(f"id {id!r} of row {row}: {error}") from None
    return np.array([id for _, id in probe.search((), len(probe))], dtype=np.uint64)


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


def search_shard(shard, queries, top_k):
    """The shard's own ranked top_k for every row of a 2-D float32 array,
    from one pass over the shard."""
    return shard.search_batch(queries, top_k)
