"""Query checks, done on the client before anything is sent.

A query (a batch) is checked by tessaly itself, by searching an empty store
of the same dimension: that runs the very conversion and length checks of
`Vectorstore.search` (`Vectorstore.search_batch`, `search_arrays`), so
errors have its type and text. The query is then converted to the float32 bits tessaly would
give it (see _convert).
"""
import operator

import tessaly

from ._convert import batch_to_float32, vector_to_float32


def query_vector(vector_size, vector, top_k):
    """Raises what Vectorstore.search(vector, top_k) raises; returns (a
    (1, vector_size) float32 array, top_k as an int)."""
    tessaly.Vectorstore(vector_size).search(vector, top_k)
    return vector_to_float32(vector)[None, :], operator.index(top_k)


def query_block(vector_size, queries, top_k, method="search_batch"):
    """Raises what Vectorstore.<method>(queries, top_k) raises (search_batch
    or search_arrays); returns (an (m, vector_size) float32 array, top_k as
    an int)."""
    getattr(tessaly.Vectorstore(vector_size), method)(queries, top_k)
    return batch_to_float32(queries, vector_size), operator.index(top_k)
