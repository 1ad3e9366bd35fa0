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
# id; with the int8 first pass, also its int8 elements (in groups of four)
# and 8 bytes of terms.
ID_BYTES = 8
INT8_TERMS_BYTES = 8


def entries_bytes(count, vector_size, first_pass):
    per_entry = 4 * vector_size + ID_BYTES
    if first_pass == "int8":
        per_entry += -(-vector_size // 4) * 4 + INT8_TERMS_BYTES
    return count * per_entry


def store_bytes(store):
    return sys.getsizeof(store) + entries_bytes(len(store), store.vector_size, store.first_pass)


sizeof.register(tessaly.Vectorstore)(store_bytes)
