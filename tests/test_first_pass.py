"""The int8 first pass changes no result: stores built by from_array with and
without it answer every search method with the same bits, ids and order, on
data chosen to sit on the bound's edges, on every kernel path."""
import struct

import numpy as np
import pytest

import _tessaly_testhooks as hooks
from tessaly import Vectorstore

# Large enough for a first pass in each of two workers' chunks.
ENTRIES = 4200


def gaussian(rng, n, d):
    return rng.standard_normal((n, d), dtype=np.float32)


def ties_and_ulps(rng, n, d):
    rows = np.repeat(gaussian(rng, 1, d), n, axis=0)
    rows[1::3, 0] = np.nextafter(rows[1::3, 0], np.float32(np.inf))
    rows[2::3] = gaussian(rng, len(rows[2::3]), d)
    return rows


def half_steps(rng, n, d):
    rows = ((rng.integers(-127, 127, (n, d)) + 0.5) / 127).astype(np.float32)
    rows[:, 0] = 1
    return rows


def outliers(rng, n, d):
    rows = gaussian(rng, n, d)
    rows[np.arange(n), rng.integers(0, d, n)] = 300
    return rows


def specials(rng, n, d):
    rows = gaussian(rng, n, d)
    rows[0::9] = 0
    rows[1::9, 0] = np.nan
    rows[2::9, -1] = -np.inf
    rows[3::9, 0] = 1e-42
    rows[4::9] *= np.float32(1e30)
    rows[5::9] *= np.float32(1e-30)
    return rows


def near_duplicates(rng, n, d):
    rows = np.repeat(gaussian(rng, 1, d), n, axis=0)
    rows[np.arange(n), rng.integers(0, d, n)] += np.float32(1e-6)
    return rows


DATA = [gaussian, ties_and_ulps, half_steps, outliers, specials, near_duplicates]


def bits(lists):
    return [[(struct.pack("<f", score), id) for score, id in row] for row in lists]


@pytest.mark.parametrize("make", DATA, ids=lambda make: make.__name__)
@pytest.mark.parametrize("d", [1, 7, 128, 1031])
def test_every_search_method_gives_the_same_bits(make, d):
    rng = np.random.default_rng(d)
    n = ENTRIES if d < 1000 else 2100   # large rows: one chunk's worth
    rows = make(rng, n, d)
    ids = rng.integers(0, 2**64, n, dtype=np.uint64)
    plain = Vectorstore.from_array(rows, ids, first_pass=None)
    fast = Vectorstore.from_array(rows, ids)
    assert (plain.first_pass, fast.first_pass) == (None, "int8")
    queries = np.concatenate([gaussian(rng, 6, d), rows[[0, 5, n - 1]], np.zeros((1, d), np.float32)])
    for top_k in (1, 10, 130, n + 1):
        expected = bits(plain.search_batch(queries, top_k))
        assert bits([fast.search(q, top_k) for q in queries]) == expected
        assert bits([fast.parallel_search(q, top_k, 2) for q in queries]) == expected
        assert bits(fast.search_batch(queries, top_k)) == expected
        assert bits(fast.parallel_search_batch(queries, top_k, n_threads=2)) == expected
        scores, found = fast.search_arrays(queries, top_k, n_threads=2)
        want_scores, want_ids = plain.search_arrays(queries, top_k)
        assert scores.tobytes() == want_scores.tobytes() and (found == want_ids).all()
        for path in hooks.kernel_paths():
            assert bits([hooks.search_on_path(fast, q, top_k, path) for q in queries]) == expected, path
            assert bits(hooks.search_batch_on_path(fast, queries, top_k, path)) == expected, path


def test_inserts_appends_and_failed_appends_keep_the_copy_in_step():
    rng = np.random.default_rng(1)
    rows = gaussian(rng, 5000, 16)
    store = Vectorstore.from_array(rows[:3000])
    for row, id in zip(rows[3000:3500], range(3000, 3500)):
        store.insert(row, id)
    store.append(rows[3500:4500], np.arange(3500, 4500))
    with pytest.raises(OverflowError):   # the last id fails: nothing of this append stays
        store.append(rows[4500:], [*range(4500, 4999), -1])
    store.append(rows[4500:])
    plain = Vectorstore.from_array(rows, first_pass=None)
    queries = gaussian(rng, 8, 16)
    assert bits(store.search_batch(queries, 10)) == bits(plain.search_batch(queries, 10))
