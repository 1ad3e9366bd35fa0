"""Many queries in one call: every list is exactly what `search` gives its query."""
import array
import math

import numpy as np
import pytest

import reference
from tessaly import Vectorstore


def exact(lists):
    """Results with the scores as bits, so that NaN compares and -0.0 differs from 0.0."""
    return [[(reference.bits([score])[0], i) for score, i in found] for found in lists]


def mixed_store(size):
    """Ties, zero vectors, NaN and infinite elements, over a last partial block of 16."""
    rng = np.random.default_rng(size)
    rows = rng.choice([-1.0, -0.0, 0.0, 0.5, 1.0, 2.0], size=(size, 3))
    rows[::7] = rows[0]                 # ties
    rows[3::11] = 0.0                   # zero vectors score 0.0 against anything
    rows[5::13, 1] = math.nan           # NaN scores, except against a zero query
    rows[6::17, 2] = math.inf
    return Vectorstore(3, [(row, i % 23) for i, row in enumerate(rows)])


QUERIES = np.array([[1, 0, 0], [0.5, -1, 2], [0, 0, 0], [1, 0, 0], [math.nan, 1, 0], [-1, 2, 0.25],
                    [1e-30, 1, 0], [2, 2, 2], [0, -0.0, 1]], dtype=np.float64)
KINDS = {
    "lists": lambda q: q.tolist(),
    "tuples of ints": lambda q: tuple(tuple(int(x) if x == x and abs(x) < 10 else 0 for x in row) for row in q),
    "numpy rows": lambda q: list(q.astype(np.float32)),
    "float32 matrix": lambda q: q.astype(np.float32),
    "float64 matrix": lambda q: q,
    "column-major": lambda q: np.asfortranarray(q),
    "strided view": lambda q: np.repeat(q, 2, axis=1)[:, ::2],
    "memoryview": lambda q: memoryview(q.astype(np.float32)),
    "array.array rows": lambda q: [array.array("d", row) for row in q],
    "int matrix": lambda q: np.nan_to_num(q, nan=3).astype(np.int64),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("size", [1, 16, 33, 70])
def test_each_list_is_searchs(kind, size):
    store, queries = mixed_store(size), KINDS[kind](QUERIES)
    rows = np.asarray(queries) if kind == "memoryview" else queries  # a 2-D memoryview cannot be iterated
    for top_k in (0, 1, 7, size, size + 5):
        expected = exact(store.search(q, top_k) for q in rows)
        assert exact(store.search_batch(queries, top_k)) == expected
        for n_threads in (None, 0, 1, 3, size + 1):
            assert exact(store.parallel_search_batch(queries, top_k, n_threads)) == expected


@pytest.mark.parametrize("batch_size", [1, 2, 7, 8, 9, 17])
def test_a_query_ranks_alike_alone_and_at_any_position(batch_size):
    store = mixed_store(40)
    others = np.random.default_rng(batch_size).standard_normal((batch_size, 3))
    for query in QUERIES:
        alone = exact(store.search_batch([query], 5))
        for position in range(batch_size):
            batch = others.copy()
            batch[position] = query
            assert exact(store.search_batch(batch, 5))[position] == alone[0]
            assert exact(store.parallel_search_batch(batch, 5, 2))[position] == alone[0]


def test_empty_batches_and_keywords():
    store = mixed_store(20)
    assert store.search_batch([], 3) == store.parallel_search_batch(np.empty((0, 3)), 3) == []
    assert store.search_batch(vectors=[[1, 0, 0]] * 2, top_k=0) == [[], []]
    assert Vectorstore(3).parallel_search_batch([[1, 2, 3]], 4, n_threads=8) == [[]]


@pytest.mark.parametrize("vectors, top_k, n_threads, error, message", [
    ("ab", 1, None, TypeError, "argument 'vectors': Can't extract `str` to `Vec`"),
    (["ab"], 1, None, TypeError, "argument 'vectors': Can't extract `str` to `Vec`"),
    (5, 1, None, TypeError, "argument 'vectors': expected a 2-D array of shape (n, vector_size) or a sequence "
                            "of vectors, got 'int' object"),
    (np.zeros((2, 3, 3)), 1, None, TypeError, "argument 'vectors': a batch of vectors has two dimensions, not 3"),
    ([[1, 0, 0], [1, 0]], 1, None, ValueError, "query has length 2 but vectorstore expects 3"),
    ([[1, 0], [1]], 1, None, ValueError, "query has length 2 but vectorstore expects 3"),
    ([[1, 0]], -1, None, OverflowError, None),  # every argument converts before lengths are checked
    ([[1, 0]], 1, -1, OverflowError, None),
])
@pytest.mark.parametrize("store", [mixed_store(20), Vectorstore(3)], ids=["full", "empty"])
def test_errors_in_the_order_of_search(store, vectors, top_k, n_threads, error, message):
    calls = [lambda: store.parallel_search_batch(vectors, top_k, n_threads)]
    if n_threads is None:
        calls.append(lambda: store.search_batch(vectors, top_k))
    for call in calls:
        with pytest.raises(error) as raised:
            call()
        if message is not None:
            assert str(raised.value) == message
