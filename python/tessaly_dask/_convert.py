"""Rows and ids as the float32 elements and u64 ids tessaly stores,
converted by tessaly itself, so that the bits and the errors are its own.

tessaly's private functions run the store methods' conversions without a
store: `_search_batch_arguments` converts each row of a batch as `insert`
converts a vector, `_search_arguments` one vector, and `_id_array` each id
as `insert` converts its id. A batch is converted in one go; only when
tessaly refuses it are its rows taken one at a time, to name the row.

They run on the client (numpy rows and ids) and on the workers (the blocks
of a dask array), so this module needs only numpy and tessaly.
"""
import numpy as np
from tessaly import _id_array, _search_arguments, _search_batch_arguments

# Ids converted in one go per step while looking for the one tessaly
# refused: one at a time, a large integer array would take seconds.
IDS_PER_STEP = 1 << 16


def store_rows(rows, first_row):
    """For rows (a 2-D array of a real or object dtype), an array from which
    Vectorstore.from_array stores the bits it would store for the rows
    themselves, only faster: float32 and float64 rows as they are, which it
    reads in place. A row tessaly refuses raises its error, naming the row."""
    rows = np.asarray(rows)
    if rows.dtype.kind == "O":
        return object_rows_to_float32(rows, first_row)
    if rows.dtype in (np.float32, np.float64):
        return rows
    # tessaly takes other numbers one at a time, by __float__: 10x (int64) to
    # 25x (bool) slower than numpy's cast to the same doubles, which it narrows.
    return rows.astype(np.float64)


def object_rows_to_float32(rows, first_row):
    """A 2-D object array's rows as a C-contiguous float32 array, converted
    by tessaly; a row it refuses raises its error, naming the row."""
    try:
        return _search_batch_arguments(rows.shape[1], rows, 0)[0]
    except (TypeError, OverflowError):
        raise_for_refused_row(rows, first_row)
        raise


def raise_for_refused_row(rows, first_row):
    # Each row as a query of a store of its own length, which converts it
    # as insert would.
    for row, vector in enumerate(rows, first_row):
        try:
            _search_arguments(rows.shape[1], vector, 0)
        except (TypeError, OverflowError) as error:
            raise type(error)(f"row {row} of vectors: {error}") from None


def ids_to_uint64(ids, first_row):
    """Bool, integer or object ids as the u64 values tessaly stores; an id
    it refuses raises its error, naming its row."""
    ids = np.asarray(ids)
    if ids.dtype.kind == "b":
        # tessaly takes no numpy.bool_ for an id; this layer takes a bool
        # array as its Python bools, 0 and 1.
        return ids.astype(np.uint64)
    try:
        return _id_array(ids)
    except (TypeError, OverflowError):
        raise_for_refused_id(ids, first_row)
        raise


def raise_for_refused_id(ids, first_row):
    # In steps, each in one go; then the refused step one id at a time, each
    # as insert converts its id.
    for start in range(0, len(ids), IDS_PER_STEP):
        step = ids[start:start + IDS_PER_STEP]
        try:
            _id_array(step)
            continue
        except (TypeError, OverflowError):
            pass
        # tolist: an integer array's ids as ints, an object array's as they are.
        for row, id in enumerate(step.tolist(), first_row + start):
            try:
                _id_array((id,))
            except OverflowError:
                raise OverflowError(f"id {id!r} of row {row} is not in [0, 2**64)") from None
            except TypeError as error:
                raise TypeError(f"id {id!r} of row {row}: {error}") from None
