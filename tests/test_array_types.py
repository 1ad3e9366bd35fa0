"""Arrays of every numeric element type, read in place by the array methods,
convert each element as the per-element path converts the number it
iterates to; objects that are arrays only by __array__ are converted once."""
import sys

import numpy as np
import pytest

import reference
import tessaly
from conftest import run_python
from tessaly import Vectorstore

NUMERIC_TYPES = ["bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64",
                 "float16", "float32", "float64"]
ROUNDING = [2**24 + 1, 2**53 + 1,  # round once on the way to float32...
            2**60 + 2**36 + 1, 2**63 + 2**39 + 1]  # ...and these to a tie in double first, then to even
FLOAT_BITS = {  # extremes, subnormals, signed zeros, infinities, NaNs with payloads (signalling ones too)
    "float16": [0x0001, 0x03FF, 0x0400, 0x8000, 0x7BFF, 0x7C00, 0xFC00, 0x7C01, 0x7E00, 0xFE55, 0x3C00],
    "float32": [0x00000001, 0x007FFFFF, 0x80000000, 0x7F7FFFFF, 0x7F800000, 0xFF800000, 0x7F800001,
                0x7FC00000, 0xFFC12345, 0x3F800001],
    # 1 + 2**-24 and 1 + 3 * 2**-24 (ties), just above a tie, 2**-149, 2**-150 (a tie with 0) and just
    # above it, float32's largest plus half an ulp (a tie with infinity), NaNs, -0.0, double's least.
    "float64": [0x3FF0000010000000, 0x3FF0000030000000, 0x3FF0000010000001, 0x36A0000000000000,
                0x3690000000000000, 0x3690000000000001, 0x47EFFFFFF0000000, 0x7FF0000000000001,
                0xFFF8000000000123, 0x8000000000000000, 0x0000000000000001],
}


def hard_grid(name, rows=6, columns=5):
    """A rows x columns grid of the type: its hard cases first, then random bits."""
    dtype = np.dtype(name)
    if dtype.kind == "b":  # every nonzero byte is true
        return np.resize(np.array([0, 1, 2, 255], np.uint8), (rows, columns)).view(bool)
    rng = np.random.default_rng(sum(map(ord, name)))
    bits_type = np.dtype(f"u{dtype.itemsize}")
    grid = rng.integers(0, np.iinfo(bits_type).max, rows * columns, dtype=bits_type, endpoint=True).view(dtype)
    if dtype.kind == "f":
        hard = np.array(FLOAT_BITS[name], bits_type).view(dtype)
    else:
        info = np.iinfo(dtype)
        candidates = [info.min, info.max, 0, 1, -1, info.max - 1] + ROUNDING + [-v for v in ROUNDING]
        hard = np.array([v for v in candidates if info.min <= v <= info.max], dtype)
    grid[:len(hard)] = hard
    return grid.reshape(rows, columns)


LAYOUTS = {
    "C order": lambda grid: grid,
    "Fortran order": np.asfortranarray,
    "every other element": lambda grid: np.repeat(np.repeat(grid, 2, axis=0), 2, axis=1)[::2, 1::2],
    "rows backwards": lambda grid: grid[::-1].copy()[::-1],
}
CONTAINERS = {"numpy array": lambda grid: grid, "memoryview": memoryview}


def converted(vectors, width):
    """A batch as search_batch converts it, as a float32 array."""
    return tessaly._search_batch_arguments(width, vectors, 0)[0]


def answers(store, queries):
    """Every entry's score bits and id for each query, with the store's size."""
    scores, ids = store.search_arrays(queries, len(store))
    return repr(store), scores.view(np.uint32).tolist(), ids.tolist()


@pytest.mark.parametrize("container", CONTAINERS)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("order", ["native", "swapped"])
@pytest.mark.parametrize("name", NUMERIC_TYPES)
def test_every_numeric_type_converts_as_its_elements_do(name, order, layout, container):
    grid = hard_grid(name)
    if order == "swapped":
        if grid.dtype.itemsize == 1:
            pytest.skip("one byte has one order")
        grid = grid.byteswap().view(grid.dtype.newbyteorder())
    vectors = CONTAINERS[container](LAYOUTS[layout](grid))
    rows, width, ids = list(grid), grid.shape[1], list(range(len(grid)))  # rows: element by element
    expected = converted(rows, width)
    assert reference.bits(converted(vectors, width)) == reference.bits(expected)
    if grid.dtype.kind in "biu":  # and as Python's own ints and bools convert
        assert reference.bits(converted(grid.tolist(), width)) == reference.bits(expected)

    queries = np.concatenate([expected, np.eye(width, dtype=np.float32),
                              np.random.default_rng(1).standard_normal((8, width), dtype=np.float32)])
    one_by_one = Vectorstore(width, list(zip(rows, ids)))
    assert answers(Vectorstore.from_array(vectors, ids), queries) == answers(one_by_one, queries)
    appended = Vectorstore.from_array(np.zeros((0, width), np.float32))
    appended.append(vectors)
    appended.append(vectors)
    assert answers(appended, queries) == answers(Vectorstore(width, list(zip(rows + rows, range(12)))), queries)

    assert repr(one_by_one.search_batch(vectors, 3)) == repr(one_by_one.search_batch(rows, 3))
    assert repr(one_by_one.parallel_search_batch(vectors, 3, 2)) == repr(one_by_one.search_batch(rows, 3))
    for found, wanted in zip(one_by_one.search_arrays(vectors, 3, 2), one_by_one.search_arrays(expected, 3)):
        assert found.view(np.uint64 if found.itemsize == 8 else np.uint32).tolist() == \
            wanted.view(np.uint64 if wanted.itemsize == 8 else np.uint32).tolist()


@pytest.mark.parametrize("vectors", [memoryview(np.zeros((0, 3), np.int32)), np.zeros((0, 3), ">f2"),
                                     memoryview(np.zeros((0, 3), np.uint8))], ids=["int32 view", "float16", "uint8 view"])
def test_empty_batches_of_any_type_have_their_width(vectors):
    assert repr(Vectorstore.from_array(vectors)) == "Vectorstore(vector_size=3, len=0)"
    store = Vectorstore.from_array(np.ones((2, 3)))
    store.append(vectors)
    assert len(store) == 2 and store.search_batch(vectors, 1) == []
    assert [a.shape for a in store.search_arrays(vectors, 1)] == [(0, 1), (0, 1)]


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning",
                            "ignore:Warning. converting a masked element to nan:UserWarning")
@pytest.mark.parametrize("vectors, error, message", [
    (np.array([[1 + 2j, 3]]), None, None),
    (np.array([[1, 2.5]], np.longdouble), None, None),
    (np.array([[1, "x"]], object), TypeError, "argument 'vectors': must be real number, not str"),
    (np.array([[1, 2]], "M8[s]"), TypeError, "argument 'vectors': float() argument must be a string or a real "
                                             "number, not 'datetime.datetime'"),
    (memoryview(b"ab").cast("c", (1, 2)), NotImplementedError, "multi-dimensional sub-views are not implemented"),
    (np.ma.masked_array([[1, 2.5], [3, 4]], mask=[[0, 1], [0, 0]]), None, None),  # masked elements: NaN
], ids=["complex", "long double", "object", "datetime", "char view", "masked"])
def test_other_types_go_element_by_element(vectors, error, message):
    rows = [list(row) for row in vectors] if error is None else None
    for call in (lambda v: Vectorstore.from_array(v).search_batch([[1, 1], [0, 1]], 2),
                 lambda v: Vectorstore.from_array([[0, 1], [1, 1]]).search_batch(v, 2)):
        if error is None:
            assert repr(call(vectors)) == repr(call(rows))
        else:
            with pytest.raises(error) as raised:
                call(vectors)
            assert str(raised.value) == message


class ByProtocol:
    """An array only through __array__, counting the conversions."""

    def __init__(self, array):
        self.array, self.conversions = array, 0

    def __array__(self, dtype=None, copy=None):
        self.conversions += 1
        return self.array


GRID = np.arange(24, dtype=np.int16).reshape(8, 3) - 5
CALLS = {
    "from_array": lambda v: repr(Vectorstore.from_array(v, list(range(8, 16))).search_batch(GRID, 8)),
    "append": lambda v: (store := Vectorstore.from_array(GRID[:1])).append(v) or repr(store.search_batch(GRID, 9)),
    "search_batch": lambda v: repr(Vectorstore.from_array(GRID).search_batch(v, 3)),
    "parallel_search_batch": lambda v: repr(Vectorstore.from_array(GRID).parallel_search_batch(v, 3, 2)),
    "search_arrays": lambda v: [a.tolist() for a in Vectorstore.from_array(GRID).search_arrays(v, 3)],
}


@pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")
@pytest.mark.parametrize("call", CALLS)
def test_arrays_by_protocol_are_converted_once(call):
    by_protocol = ByProtocol(GRID)
    assert CALLS[call](by_protocol) == CALLS[call](GRID)
    assert by_protocol.conversions == 1
    assert CALLS[call](np.asmatrix(GRID)) == CALLS[call](GRID)


def test_a_dask_array_reads_as_its_values():
    da = pytest.importorskip("dask.array")
    rows = np.random.default_rng(2).integers(0, 256, (100, 784), dtype=np.uint8)
    lazy = da.from_array(rows, chunks=(30, 784))
    for call in (lambda v: Vectorstore.from_array(v).search_batch(rows[:3], 5),
                 lambda v: Vectorstore.from_array(rows).search_arrays(v, 5)[1].tolist()):
        assert call(lazy) == call(rows)


def test_a_failed_conversion_is_the_error():
    class Broken:
        def __array__(self, dtype=None, copy=None):
            raise ValueError("no data")
    store = Vectorstore.from_array(GRID)
    for call in (Vectorstore.from_array, store.append, lambda v: store.search_batch(v, 1)):
        with pytest.raises(ValueError, match="^no data$"):
            call(Broken())
    assert len(store) == 8


def test_arrays_by_protocol_without_numpy_are_read_as_before():
    result = run_python("""
        import sys
        sys.modules["numpy"] = None  # import numpy now fails
        import tessaly
        class Rows(list):
            def __array__(self, dtype=None, copy=None):
                raise AssertionError("not called without numpy")
        print(tessaly.Vectorstore.from_array(Rows([[1, 0], [0, 1]])).search_batch(Rows([[1, 0]]), 1))
    """)
    assert result.stdout.strip() == "[[(1.0, 0)]]", result.stderr


def test_no_call_keeps_what_it_read():
    grid = hard_grid("uint16")
    view, by_protocol = memoryview(grid), ByProtocol(grid)
    store = Vectorstore.from_array(grid)
    calls = [Vectorstore.from_array, store.append, lambda v: store.search_batch(v, 1),
             lambda v: store.search_arrays(v, 1), lambda v: store.append(v, ids=[1]),
             lambda v: store.search_batch(v, -1)]
    for vectors in (grid, view, by_protocol):
        before = sys.getrefcount(vectors), sys.getrefcount(grid)
        for call in calls:
            try:
                call(vectors)
            except (ValueError, OverflowError):
                pass
        assert (sys.getrefcount(vectors), sys.getrefcount(grid)) == before
    view.release()  # no buffer left exported
