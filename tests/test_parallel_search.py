"""Search on per-call worker threads: same answers as search, checks, and thread failures."""
import math
import random

import pytest

from conftest import IS_32_BIT, run_python
from tessaly import Vectorstore

FIVE = [([1, 0], 10), ([0, 1], 20), ([1, 1], 30), ([2, 0], 40), ([-1, 0], 50)]
HUGE_COUNT = 2**32 - 1 if IS_32_BIT else 2**62
# (entries, n_threads) pairs whose chunk sizes and leftover chunks differ.
CHUNKINGS = [(10, 4), (10, 3), (9, 6), (5, 4), (3, 8), (7, 1)]


@pytest.mark.parametrize("n_threads, error, message", [
    (-1, OverflowError, None),                 # never taken as 0 or 1
    (2**64, OverflowError, None),
    ("2", TypeError, "argument 'n_threads': "),
    (1.0, TypeError, "argument 'n_threads': "),
])
@pytest.mark.parametrize("query", [[1, 0], [1, 0, 0]])
def test_n_threads_conversion_wins_over_length(query, n_threads, error, message):
    with pytest.raises(error) as info:
        Vectorstore(2, FIVE).parallel_search(query, 1, n_threads)
    assert message is None or str(info.value).startswith(message)


@pytest.mark.parametrize("entries", [FIVE, []])
def test_query_length_error(entries):
    with pytest.raises(ValueError, match="^query has length 3 but vectorstore expects 2$"):
        Vectorstore(2, entries).parallel_search([1, 0, 0], 0, 2)


@pytest.mark.parametrize("n_threads", [None, 0, 1, 7, HUGE_COUNT])
def test_empty_store(n_threads):
    assert Vectorstore(2).parallel_search([1, 0], 5, n_threads) == []


def test_keywords_and_default_count():
    store = Vectorstore(2, FIVE)
    expected = store.search([1, 0], 3)
    assert store.parallel_search(n_threads=2, top_k=3, vector=[1, 0]) == expected
    assert store.parallel_search([1, 0], 3) == expected
    assert store.parallel_search([1, 0], 3, None) == expected


def thread_counts(size):
    return sorted({0, 1, 2, 3, max(size - 1, 1), size, size + 1, 1000})


@pytest.mark.parametrize("seed", range(16))
def test_agrees_with_search(seed):
    rng = random.Random(seed)
    size, dim = rng.randint(1, 60), rng.randint(1, 4)
    # Small integers in few dimensions give many equal scores across chunk boundaries.
    store = Vectorstore(dim, [([rng.randint(-2, 2) for _ in range(dim)], rng.getrandbits(64))
                              for _ in range(size)])
    query = [rng.randint(-2, 2) for _ in range(dim)]
    for top_k in (0, 1, 2, size // 2, size, size + 4):
        expected = store.search(query, top_k)
        for n_threads in thread_counts(size):
            assert store.parallel_search(query, top_k, n_threads) == expected, (top_k, n_threads)


@pytest.mark.parametrize("size, n_threads", CHUNKINGS)
def test_every_position_of_each_chunking(size, n_threads):
    # The best entry is placed at every position in turn, so a chunk that is
    # skipped, shortened or read twice shows up in the result.
    for best in range(size):
        entries = [([1.0, 0.0] if i == best else [1.0, 1.0 + i % 3], i) for i in range(size)]
        store = Vectorstore(2, entries)
        for top_k in range(size + 2):
            assert store.parallel_search([1, 0], top_k, n_threads) == store.search([1, 0], top_k)


@pytest.mark.parametrize("n_threads", [1, 2, 3, 4, 5, 6])
def test_ties_span_chunk_boundaries(n_threads):
    store = Vectorstore(3, [([0.5, 1.5, -2.5], i) for i in range(1, 6)])
    result = store.parallel_search([0.5, 1.5, -2.5], 5, n_threads)
    assert [i for _, i in result] == [1, 2, 3, 4, 5] and len({s for s, _ in result}) == 1


@pytest.mark.parametrize("size, n_threads", CHUNKINGS + [(50, 4), (50, 0)])
@pytest.mark.parametrize("top_k", [0, 2, 100])
def test_all_nan_scores_keep_insertion_order(size, n_threads, top_k):
    store = Vectorstore(2, [([1 + i, 2], i) for i in range(size)])
    result = store.parallel_search([math.nan, 1], top_k, n_threads)
    assert [i for _, i in result] == list(range(min(size, top_k)))
    assert all(math.isnan(s) for s, _ in result)


def test_spawn_failure_end_to_end():
    too_large = 2**31 + 2**30 if IS_32_BIT else 2**60
    result = run_python("""
        import os, tessaly

        def threads():
            return len(os.listdir('/proc/self/task'))

        store = tessaly.Vectorstore(2, [([1, 0], 1), ([1, 1], 2), ([0, 1], 3)])
        before = threads()
        for n_threads in (1, 3, None, 1):
            try:
                try:
                    store.parallel_search([1, 0], 2, n_threads)
                except Exception:
                    raise SystemExit('caught by except Exception')
            except BaseException as error:
                assert type(error).__name__ == 'PanicException', repr(error)
                assert not isinstance(error, Exception)
                assert error.args[0].startswith('failed to spawn thread: '), error.args
            else:
                raise SystemExit('no failure')
        assert threads() == before, (before, threads())
        assert store.search([1, 0], 2) == [(1.0, 1), (0.7071067690849304, 2)]
        store.insert([2, 0], 4)
        assert repr(store) == 'Vectorstore(vector_size=2, len=4)'
        print('done')
    """, env={"TESSALY_WORKER_STACK_SIZE": str(too_large)})
    assert result.returncode == 0 and result.stdout.strip() == "done", result.stderr
    assert "failed to spawn thread" in result.stderr


def test_default_count_follows_affinity():
    result = run_python("""
        import os, tessaly, _tessaly_testhooks as hooks
        mask = os.sched_getaffinity(0)
        full = hooks.available_parallelism()
        assert 1 <= full <= len(mask), (full, mask)
        os.sched_setaffinity(0, {min(mask)})
        assert hooks.available_parallelism() == 1
        store = tessaly.Vectorstore(1, [([1.0], i) for i in range(6)])
        assert store.parallel_search([1.0], 6) == store.search([1.0], 6)
        os.sched_setaffinity(0, mask)
        assert hooks.available_parallelism() == full
        print('done')
    """)
    assert result.returncode == 0 and result.stdout.strip() == "done", result.stderr
