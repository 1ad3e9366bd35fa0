"""Ranked search on the calling thread: examples, result shape, and agreement with the oracle."""
import math

import numpy as np
import pytest

import reference
from tessaly import Vectorstore, cosine_similarity

FIVE = [([1, 0], 10), ([0, 1], 20), ([1, 1], 30), ([2, 0], 40), ([-1, 0], 50)]
ALL_FIVE = [(1.0, 10), (1.0, 40), (0.7071067690849304, 30), (0.0, 20), (-1.0, 50)]


@pytest.fixture
def store():
    return Vectorstore(2, FIVE)


@pytest.mark.parametrize("query, top_k, expected", [
    ([1, 0], 3, ALL_FIVE[:3]),             # 10 and 40 tie and keep insertion order
    ([1, 0], 5, ALL_FIVE),
    ([1, 0], 10, ALL_FIVE),
    ([1, 0], 10**9, ALL_FIVE),             # nothing is sized by top_k
    ([1, 0], 0, []),
    ([0, 0], 2, [(0.0, 10), (0.0, 20)]),   # a zero query scores 0.0 everywhere
    ((-1, 0), 2, [(1.0, 50), (0.0, 20)]),
    (range(2), 1, [(1.0, 20)]),
])
def test_five_entry_examples(store, query, top_k, expected):
    assert store.search(query, top_k) == expected


def test_keywords_and_single_precision(store):
    assert store.search(vector=[0, 1], top_k=1) == store.search(top_k=1, vector=[0, 1]) == [(1.0, 20)]
    assert Vectorstore(3, [([1, 2, 3], 1)]).search([1, 2, 3], 1) == [(0.9999999403953552, 1)]


@pytest.mark.parametrize("entries", [FIVE, []])
@pytest.mark.parametrize("query, top_k", [([1, 0, 0], 0), ([1, 0, 0], 3), ([1], 5)])
def test_query_length_checked_before_anything_else(entries, query, top_k):
    with pytest.raises(ValueError, match=f"^query has length {len(query)} but vectorstore expects 2$"):
        Vectorstore(2, entries).search(query, top_k)


@pytest.mark.parametrize("top_k, error", [(-1, OverflowError), (2**64, OverflowError), (None, TypeError),
                                          (1.0, TypeError)])
def test_bad_top_k(store, top_k, error):
    with pytest.raises(error):
        store.search([1, 0], top_k)


def test_result_shape():
    store = Vectorstore(2, [([1, 0], 2**63), ([0, 1], 2**64 - 1), ([1, 1], 0)])
    result = store.search([1, 0], 5)
    assert type(result) is list and len(result) == 3
    for pair in result:
        assert type(pair) is tuple and len(pair) == 2
        assert type(pair[0]) is float and type(pair[1]) is int
    assert [i for _, i in result] == [2**63, 0, 2**64 - 1]
    assert store.search([1, 0], 5) is not result


def test_stable_over_many_copies():
    store = Vectorstore(3, [([0.3, -1.7, 2.9], i) for i in range(100)])
    result = store.search([0.3, -1.7, 2.9], 100)
    assert [i for _, i in result] == list(range(100))
    assert len({s for s, _ in result}) == 1


ABOVE_ONE = [1.384077548980713, 6.04530143737793, 0]  # scores 1.0000001192092896 against itself


@pytest.mark.parametrize("stored, query", [([1, 2, 3], [1, 2, 3]), ([0.1, 0.2, 0.3], [0.1, 0.2, 0.3]),
                                           (ABOVE_ONE, ABOVE_ONE), ([4, 5, 6], [1, 2, 3]),
                                           ([1.0, -0.0, 0], [-0.0, 1.0, 0]), ([1e20, 1, 1], [1e20, 1, 1])])
def test_scores_are_the_kernels_32_bit_scores(stored, query):
    [(score, _)] = Vectorstore(3, [(stored, 1)]).search(query, 1)
    expected = cosine_similarity(query, stored)
    assert reference.bits([score]) == reference.bits([expected])


def test_repeated_search_is_identical(store):
    first = store.search([0.3, 0.9], 4)
    assert store.search([0.3, 0.9], 4) == first
    assert len(store) == 5 and store.search([1, 0], 10) == ALL_FIVE


@pytest.mark.parametrize("size", [5, 20, 21, 100, 1000])
@pytest.mark.parametrize("top_k", [0, 3, 2000])
def test_all_nan_scores_keep_insertion_order(size, top_k):
    rng = np.random.default_rng(size)
    rows = rng.standard_normal((size, 3)).astype(np.float32) + 4.0  # no zero vectors
    store = Vectorstore(3, [(row.tolist(), i) for i, row in enumerate(rows)])
    result = store.search([math.nan, 1, 1], top_k)
    assert [i for _, i in result] == list(range(min(size, top_k)))
    assert all(math.isnan(s) for s, _ in result)


def one_hot(rng, dim):
    """One non-zero element among signed zeros: against another one-hot it can score -0.0."""
    vector = np.where(rng.integers(2, size=dim) == 1, -0.0, 0.0).astype(np.float32)
    vector[rng.integers(dim)] = rng.choice([-1.5, 1.0, 3.0])
    return vector


def random_store(rng, rows, dim):
    """Random rows with deliberate ties: duplicates, scaled copies, zero and signed-zero rows."""
    matrix = rng.standard_normal((rows, dim)).astype(np.float32)
    for i in range(rows):
        kind = rng.integers(6)
        if kind == 0 and i:
            matrix[i] = matrix[rng.integers(i)]                  # exact duplicate
        elif kind == 1:
            matrix[i] = 0.0
        elif kind == 2:
            matrix[i] = np.where(rng.integers(2, size=dim) == 1, -0.0, 0.0)
        elif kind == 3 and i:
            matrix[i] = matrix[rng.integers(i)] * np.float32(2)  # same direction
        elif kind == 4:
            matrix[i] = one_hot(rng, dim)
    ids = [int(x) for x in rng.integers(0, 2**64, size=rows, dtype=np.uint64)]
    ids[::7] = [ids[0]] * len(ids[::7])  # repeated identifiers, returned as separate entries
    return matrix, ids


@pytest.mark.parametrize("seed", range(12))
def test_matches_reference(seed):
    rng = np.random.default_rng(seed)
    rows, dim = int(rng.integers(1, 80)), int(rng.integers(1, 9))
    matrix, ids = random_store(rng, rows, dim)
    store = Vectorstore(dim, [(row.tolist(), i) for row, i in zip(matrix, ids)])
    queries = [rng.standard_normal(dim).astype(np.float32), matrix[rng.integers(rows)],
               -matrix[rng.integers(rows)], np.zeros(dim, np.float32), np.full(dim, -0.0, np.float32),
               one_hot(rng, dim), one_hot(rng, dim)]
    for query in queries:
        expected_scores = reference.scores(matrix, query)
        for top_k in (0, 1, 5, rows - 1, rows, rows + 3):
            got = store.search(query.tolist(), top_k)
            want = reference.ranked(expected_scores, ids, top_k)
            assert [i for _, i in got] == [i for _, i in want]
            assert reference.bits([s for s, _ in got]) == reference.bits([s for s, _ in want])
