"""The float32 elements and u64 ids tessaly stores, computed with numpy.

tessaly reads a 1-D or 2-D numpy array or memoryview (and a 1-D
array.array) of native float32 or float64 in one go, whatever its memory
order or strides, narrowing float64 to float32 once. Everything else it
takes element by element, each element through double: a float (or float
subclass) gives its value without calling an overridden __float__, any
other object its __float__, then its __index__. The functions here give the
same bits, for input that tessaly has already accepted (so its errors come
first, with its own text).

They run on the client (queries, numpy rows and ids) and on the workers
(the blocks of a dask array), so this module needs only numpy and tessaly.
"""
import array

import numpy as np

import tessaly

# Numbers numpy converts to double exactly as their __float__ does (a cast
# of each element), so such arrays need not go one Python object at a time.
NUMERIC_KINDS = "fiub"


def native_float_format(text):
    """'f' or 'd' for a buffer format of native float32 or float64, else None.
    '<' counts as native: tessaly is built for little-endian machines only."""
    if text[:1] in ("@", "=", "<"):
        text = text[1:]
    return text if text in ("f", "d") else None


def float_grid(value, ndim):
    """value as a numpy view of ndim dimensions when tessaly reads it in one
    go (any strides), else None. Only these exact types qualify."""
    kind = type(value)
    if kind is np.ndarray:
        dtype = value.dtype
        if value.ndim == ndim and dtype.kind == "f" and dtype.itemsize in (4, 8) and dtype.isnative:
            return value
        return None
    if kind is not memoryview and not (kind is array.array and ndim == 1):
        return None
    try:
        view = memoryview(value)
    except (TypeError, ValueError):   # a released view: tessaly iterates it and reports that
        return None
    if view.ndim != ndim or native_float_format(view.format) is None or view.suboffsets:
        return None
    return np.asarray(view)


def element_to_double(element):
    # The float value itself, even for a float subclass with its own
    # __float__; otherwise __float__, then __index__.
    if isinstance(element, float):
        return float.__float__(element)
    return float(element)


def through_double(values):
    return np.asarray(values, dtype=np.float64).astype(np.float32)


def elements_to_float32(objects):
    """An object array of any shape, each element converted as tessaly converts it."""
    return through_double(np.frompyfunc(element_to_double, 1, 1)(objects))


def vector_to_float32(vector):
    """One vector tessaly accepted, as a 1-D float32 array."""
    grid = float_grid(vector, 1)
    if grid is not None:
        return grid.astype(np.float32)
    if type(vector) is np.ndarray and vector.ndim == 1 and vector.dtype.kind in NUMERIC_KINDS:
        return through_double(vector)
    return through_double([element_to_double(element) for element in vector])


def batch_to_float32(vectors, vector_size):
    """A batch tessaly accepted, as a C-contiguous (m, vector_size) float32 array."""
    grid = float_grid(vectors, 2)
    if grid is not None:
        return np.ascontiguousarray(grid, dtype=np.float32)
    if type(vectors) is np.ndarray and vectors.ndim == 2 and vectors.dtype.kind in NUMERIC_KINDS:
        return np.ascontiguousarray(through_double(vectors))
    rows = [vector_to_float32(vector) for vector in vectors]
    if not rows:
        return np.empty((0, vector_size), np.float32)
    return np.ascontiguousarray(np.stack(rows), dtype=np.float32)


def rows_to_float32(rows, first_row):
    """The float32 rows tessaly would store for these rows (a 2-D array of a
    real or object dtype): float32 as is, float64 narrowed, anything else
    through double."""
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
    return np.ascontiguousarray(elements_to_float32(rows))


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
