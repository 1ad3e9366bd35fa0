"""Checks of the rows and ids given to from_array and append, all made on
the client before anything is sent, and their cut into shard sources.

A source is (rows, ids, first_row, count): rows and ids are a numpy slice
or the Delayed block of a dask array (ids None for row numbers), first_row
the store row of its first row.
"""
import math
import operator

import dask.array as da
import numpy as np
from tessaly import _check_id_count

from ._convert import ids_to_uint64, object_rows_to_float32

# Object arrays are taken element by element, as Vectorstore takes them.
ROW_KINDS = "fiubO"
ID_KINDS = "iubO"


def check_rows_per_shard(rows_per_shard):
    if rows_per_shard is None:
        return None
    rows_per_shard = operator.index(rows_per_shard)
    if rows_per_shard < 1:
        raise ValueError(f"rows_per_shard must be at least 1, not {rows_per_shard}")
    return rows_per_shard


def check_known_rows(array, name):
    if any(math.isnan(size) for size in array.chunks[0]):
        raise ValueError(f"{name} has unknown chunk sizes; call {name}.compute_chunk_sizes() first")


def check_vectors(vectors, first_row):
    """The rows as a numpy or dask array of shape (n, d) and a real or object dtype."""
    if isinstance(vectors, np.ndarray):
        vectors = np.asarray(vectors)
    elif not isinstance(vectors, da.Array):
        raise TypeError(f"vectors must be a 2-D dask or numpy array, not {type(vectors).__name__}")
    if vectors.ndim != 2:
        raise ValueError(f"vectors must be 2-D (rows, vector_size), not {vectors.ndim}-D")
    if vectors.dtype.kind not in ROW_KINDS:
        raise TypeError(f"vectors must have a bool, integer, floating or object dtype, "
                        f"not {vectors.dtype}")
    if isinstance(vectors, np.ndarray) and vectors.dtype.kind == "O":
        # Checked here, before sending, and sent as the float32 rows.
        vectors = object_rows_to_float32(vectors, first_row)
    if isinstance(vectors, da.Array):
        if math.isnan(vectors.shape[1]) or len(vectors.chunks[1]) > 1:
            raise ValueError(f"vectors must not be chunked across columns (column chunks "
                             f"{vectors.chunks[1]}); rechunk it with vectors.rechunk({{1: -1}})")
        check_known_rows(vectors, "vectors")
    return vectors


def row_chunks(vectors, rows_per_shard, default_shards):
    """The row count of each shard: a dask array's own chunks unless
    rows_per_shard is given; for a numpy array, rows_per_shard rows (default:
    as many shards as default_shards() says)."""
    n = vectors.shape[0]
    if rows_per_shard is None:
        if isinstance(vectors, da.Array):
            return vectors.chunks[0]
        rows_per_shard = max(1, -(-n // max(1, default_shards())))
    whole, rest = divmod(n, rows_per_shard)
    return (rows_per_shard,) * whole + ((rest,) if rest else ())


def check_ids(ids, n, first_row):
    """ids as a 1-D dask array or a 1-D numpy array of n u64 values, or None."""
    if ids is None:
        return None
    if not isinstance(ids, (da.Array, np.ndarray)):
        raise TypeError(f"ids must be a 1-D dask or numpy array of integers or None, "
                        f"not {type(ids).__name__}")
    if ids.ndim != 1:
        raise ValueError(f"ids must be 1-D, not {ids.ndim}-D")
    if ids.dtype.kind not in ID_KINDS:
        raise TypeError(f"ids must have a bool, integer or object dtype, not {ids.dtype}")
    if isinstance(ids, da.Array):
        check_known_rows(ids, "ids")
    _check_id_count(ids.shape[0], n)
    if isinstance(ids, np.ndarray):
        ids = ids_to_uint64(ids, first_row)
    return ids


def blocks(array, chunks):
    """One block per chunk: numpy slices, or the Delayed blocks of a dask array."""
    if array is None:
        return [None] * len(chunks)
    if isinstance(array, np.ndarray):
        ends = np.cumsum(chunks)
        return [array[end - count:end] for end, count in zip(ends, chunks)]
    array = array.rechunk((chunks,) + array.chunks[1:])
    return list(array.to_delayed().ravel())


def shard_sources(vectors, ids, first_row, rows_per_shard, default_shards):
    """Checks vectors and ids; returns (vector_size, a source per non-empty shard)."""
    rows_per_shard = check_rows_per_shard(rows_per_shard)
    vectors = check_vectors(vectors, first_row)
    ids = check_ids(ids, vectors.shape[0], first_row)
    chunks = row_chunks(vectors, rows_per_shard, default_shards)
    sources = []
    for rows, id_block, count in zip(blocks(vectors, chunks), blocks(ids, chunks), chunks):
        if count:
            sources.append((rows, id_block, first_row, count))
        first_row += count
    return vectors.shape[1], sources
