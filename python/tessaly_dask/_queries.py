"""Query checks, done on the client before anything is sent.

tessaly converts and checks a query (a batch) itself, as
`Vectorstore.search` (`Vectorstore.search_batch`, `search_arrays`) of a
store of the same dimension would: errors have its type and text, and the
float32 queries sent are the bits it would search with.
"""
from tessaly import _search_arguments, _search_batch_arguments, _where_argument


def query_vector(vector_size, vector, top_k):
    """Raises what Vectorstore.search(vector, top_k) raises; returns (a
    (1, vector_size) float32 array, top_k as an int)."""
    query, top_k = _search_arguments(vector_size, vector, top_k)
    return query[None, :], top_k


def query_block(vector_size, queries, top_k):
    """Raises what Vectorstore.search_batch(queries, top_k) raises, which
    search_arrays(queries, top_k) raises too; returns (an (m, vector_size)
    float32 array, top_k as an int)."""
    return _search_batch_arguments(vector_size, queries, top_k)


def where_mask(entries, where):
    """Raises what search_arrays(..., where=where) raises on a store of
    `entries` rows; returns None or the mask as a numpy bool array."""
    return _where_argument(entries, where)
