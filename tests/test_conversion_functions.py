"""The module's private conversion functions, which tessaly_dask converts
through: the bits and the errors of the store methods they stand for."""
import array
import struct

import pytest

np = pytest.importorskip("numpy")

import tessaly  # noqa: E402

BIG = 2**60 + 2**36 + 1   # through double to float32: 2**60; directly: one step above


class LyingFloat(float):
    def __float__(self):
        return 0.0


class Index:
    def __index__(self):
        return BIG


# Every query below holds two elements that are equal in float32 only when
# converted as the store converts them; the row (1, -1) then scores exactly 0.
STORE = tessaly.Vectorstore(2, [(row, i) for i, row in enumerate(
    [[1, -1], [1, 0], [0, 1], [-1, 1], [3, -2], [0.1, 7.3]])])
TOP_K = 6

BATCHES = {
    "list-of-lists": [[1 + 2**-24, 1.0], [BIG, 2**60], [LyingFloat(3.5), 3.5], [Index(), 2**60]],
    "float64-C": np.array([[1 + 2**-24, 1.0], [0.1, 0.1]]),
    "float64-Fortran": np.asfortranarray([[1 + 2**-24, 1.0], [0.1, 0.1]]),
    "float32-C": np.array([[0.1, 0.1], [2.5, 2.5]], np.float32),
    "float32-Fortran-reversed": np.asfortranarray([[3.0, 3.0], [0.1, 0.1]], np.float32)[::-1],
    "memoryview": memoryview(np.array([[1 + 2**-24, 1.0], [0.3, 0.3]])),
    "object-array": np.array([[LyingFloat(3.5), 3.5], [Index(), BIG]], dtype=object),
    "int64-array": np.array([[BIG, 2**60]]),
    "list-of-buffers": [np.array([1 + 2**-24, 1.0]), np.array([[1 + 2**-24, 9.0], [1.0, 3.0]])[:, 0],
                        array.array("d", [1 + 2**-24, 1.0]), memoryview(array.array("d", [0.3, 0.3])),
                        np.array([Index(), 2**60], dtype=object), np.array([BIG, 2**60], np.uint64)],
    "empty": np.empty((0, 2)),
}


def bits(results):
    return [(struct.pack("<d", score), id) for score, id in results]


@pytest.mark.parametrize("vectors", BATCHES.values(), ids=BATCHES.keys())
def test_conversions_give_the_bits_of_the_methods(vectors):
    queries, top_k = tessaly._search_batch_arguments(2, vectors, TOP_K)
    assert (queries.dtype, queries.shape, queries.flags.c_contiguous, top_k) == \
        (np.float32, (len(vectors), 2), True, TOP_K)
    assert queries[:, 0].tobytes() == queries[:, 1].tobytes()
    assert [bits(row) for row in STORE.search_batch(queries, TOP_K)] == \
        [bits(row) for row in STORE.search_batch(vectors, TOP_K)]
    # A 2-D memoryview has no rows to iterate: its elements as floats instead.
    for vector, row in zip(vectors.tolist() if isinstance(vectors, memoryview) else vectors, queries):
        query, top_k = tessaly._search_arguments(2, vector, TOP_K)
        assert (query.dtype, query.tobytes(), top_k) == (np.float32, row.tobytes(), TOP_K)
        assert bits(STORE.search(query, TOP_K)) == bits(STORE.search(vector, TOP_K))


@pytest.mark.parametrize("method, arguments", [
    ("search", ([1, "x"], 1)), ("search", ([1, 2**1100], 1)), ("search", ("ab", 1)),
    ("search", (None, 1)), ("search", ([1, 0, 0], 1)), ("search", ([1, 0], -1)),
    ("search", ([1, 0], 2**64)), ("search", ([1, "x"], -1)), ("search", ([1, 0, 0], "1")),
    ("search_batch", ([[1, 0], [1, "x"]], 1)), ("search_batch", ([[1, 0], [1, 0, 0]], 1)),
    ("search_batch", (np.zeros((2, 3)), 1)), ("search_batch", (np.zeros((2, 2, 2)), 1)),
    ("search_batch", (np.array([[1, "x"]], dtype=object), 1)), ("search_batch", ([[1, 0, 0]], "2")),
    ("search_arrays", ([[1, 0], "ab"], 1)), ("search_arrays", (5, 1)),
], ids=lambda value: value if isinstance(value, str) else repr(value)[:40])
def test_query_errors_are_the_methods(method, arguments):
    with pytest.raises(Exception) as expected:
        getattr(tessaly.Vectorstore(2), method)(*arguments)
    function = tessaly._search_arguments if method == "search" else tessaly._search_batch_arguments
    with pytest.raises(Exception) as raised:
        function(2, *arguments)
    assert (type(raised.value), str(raised.value)) == (type(expected.value), str(expected.value))


def inserted(ids):
    """The ids as insert converts them, read back in insertion order (every entry scores 0)."""
    store = tessaly.Vectorstore(0)
    for id in ids:
        store.insert((), id)
    return [id for _, id in store.search((), len(store))]


@pytest.mark.parametrize("ids", [
    np.array([0, 5, 2**64 - 1], np.uint64), np.array([3, 7, 2**62], np.int64), np.array([1, 2], np.int8),
    np.arange(10, dtype=np.int32)[::-3], [0, True, 2**64 - 1, Index(), np.int8(7)],
    np.array([0, True, 2**64 - 1, Index()], dtype=object), range(3), (),
    np.array([0, -1], np.int64), np.array([2, -2**63], np.int64), np.array([3, -4, 5], np.int16)[::2],
    np.array([7, 1, -1], np.int8)[::-1], [0, 1.5], [0, 2**64], [0, "x"],
    np.array([0, np.True_], dtype=object),
], ids=repr)
def test_id_array_converts_as_insert(ids):
    try:
        expected = inserted(ids)
    except Exception as error:
        with pytest.raises(type(error)) as raised:
            tessaly._id_array(ids)
        assert str(raised.value) == str(error)
    else:
        got = tessaly._id_array(ids)
        assert (got.dtype, got.tolist()) == (np.uint64, expected)


@pytest.mark.parametrize("id_count, row_count", [(3, 4), (4, 3), (0, 2), (2, 2)])
def test_id_count_check_is_from_arrays(id_count, row_count):
    try:
        tessaly.Vectorstore.from_array(np.zeros((row_count, 1)), np.arange(id_count))
    except ValueError as error:
        with pytest.raises(ValueError) as raised:
            tessaly._check_id_count(id_count, row_count)
        assert str(raised.value) == str(error)
    else:
        assert tessaly._check_id_count(id_count, row_count) is None


def test_private_functions_stay_out_of_the_namespace():
    names = ["_search_arguments", "_search_batch_arguments", "_id_array", "_check_id_count"]
    assert not set(names) & (set(vars(tessaly)) | set(tessaly.__all__))
    assert [getattr(tessaly, name).__text_signature__ for name in names] == [
        "(vector_size, vector, top_k)", "(vector_size, vectors, top_k)", "(ids)", "(id_count, row_count)"]
    with pytest.raises(AttributeError, match="^module 'tessaly' has no attribute '_nothing'$") as raised:
        tessaly._nothing
    assert (raised.value.name, raised.value.obj) == ("_nothing", tessaly)
