"""Tells Dask how much memory a shard holds.

Dask measures results with `dask.sizeof.sizeof`, which would count a store
as its small Python object. Its real size keeps the workers' memory
accounting and the scheduler's cost of moving a shard honest. Importing
tessaly_dask registers it, in the client and in every worker that runs a
shard task.
"""
import sys

from dask.sizeof import sizeof

import tessaly

# An entry is its float32 elements, in a block of 16 entries, and its 8-byte
# id; nothing else is kept per entry.
ID_BYTES = 8


def entries_bytes(count, vector_size):
    return count * (4 * vector_size + ID_BYTES)


def store_bytes(store):
    return sys.getsizeof(store) + entries_bytes(len(store), store.vector_size)


sizeof.register(tessaly.Vectorstore)(store_bytes)
