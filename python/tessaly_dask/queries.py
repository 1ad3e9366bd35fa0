"""Query checks and conversion to float32, done on the client.

A query (a batch) is checked by tessaly itself, by searching an empty store
of the same dimension: that runs the very conversion and length checks of
`Vectorstore.search` (`Vectorstore.search_batch`), so errors have its type
and text, and nothing is sent before they are raised. The query is then converted to float32 with the
bits tessaly would give it: the buffer rule for plain float32/float64
buffers, and double then float32 for everything else.
"""
import array
import operator

import numpy as np

import tessaly

# Only these exact types are read as buffers by tessaly; anything else is
# iterated element by element.
BUFFER_TYPES = (memoryview, np.ndarray, array.array)
NUMERIC_KINDS = "fiub"


def check_query(vector_size, vector, top_k):
    """Raises what Vectorstore.search(vector, top_k) raises; returns top_k as an int."""
    tessaly.Vectorstore(vector_size).search(vector, top_k)
    return operator.index(top_k)


def native_float_format(view):
    text = view.format
    if text[:1] in ("@", "=", "<"):
        text = text[1:]
    return text if text in ("f", "d") else None


def from_buffer(vector):
    """The float32 copy tessaly's buffer rule gives, or None when it does not apply."""
    if type(vector) not in BUFFER_TYPES:
        return None
    try:
        view = memoryview(vector)
    except TypeError:
        return None
    kind = native_float_format(view)
    if view.ndim != 1 or kind is None or not view.c_contiguous:
        return None
    if view.itemsize != (4 if kind == "f" else 8):
        return None
    values = np.frombuffer(view, dtype=np.float32 if kind == "f" else np.float64)
    return values.astype(np.float32)


def element_to_double(element):
    # The float value itself, even for a float subclass with its own
    # __float__; otherwise __float__, then __index__.
    if isinstance(element, float):
        return float.__float__(element)
    return float(element)


def through_double(values):
    return np.asarray(values, dtype=np.float64).astype(np.float32)


def query_vector(vector):
    """One checked query as a 1-D float32 array."""
    buffered = from_buffer(vector)
    if buffered is not None:
        return buffered
    if type(vector) is np.ndarray and vector.ndim == 1 and vector.dtype.kind in NUMERIC_KINDS:
        return through_double(vector)
    return through_double([element_to_double(element) for element in vector])


def query_block(vector_size, queries, top_k):
    """Checks a batch as Vectorstore.search_batch checks it; returns (float32 rows, top_k)."""
    tessaly.Vectorstore(vector_size).search_batch(queries, top_k)
    top_k = operator.index(top_k)
    if type(queries) is np.ndarray and queries.ndim == 2:
        # tessaly reads a float32 or float64 matrix in one go, narrowing
        # each element once; anything else goes element by element.
        if queries.dtype in (np.float32, np.float64) and queries.dtype.isnative:
            return np.ascontiguousarray(queries, dtype=np.float32), top_k
        return np.ascontiguousarray(through_double(queries)), top_k
    rows = [query_vector(vector) for vector in queries]
    block = np.stack(rows) if rows else np.empty((0, vector_size), np.float32)
    return np.ascontiguousarray(block, dtype=np.float32), top_k
