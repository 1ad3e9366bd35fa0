"""The same bits on every machine: the scores of a fixed, seeded set of stores
and queries hash to one constant on x86-64, 32-bit x86 and 64-bit ARM, on
whichever kernel path each machine's searches take."""
import hashlib
import math
import struct

import numpy as np
import pytest

import tessaly

# sha256 of every result below; the same on every architecture.
EXPECTED = "1a73636f1d6eb7fd1ec49b3499ec4ccb971674adc7de5e5d5a0fad98cccbdce6"

SPECIALS = [0.0, -0.0, 1e-45, -1e-45, 1e-40, -3e-39, 3e-23, 1e-30, 1.8e19, -2e19, 3e38, -3.4e38,
            math.inf, -math.inf, math.nan, 1.0, -1.0, 0.1]


def values(rng, shape):
    """Exact float32s from integers alone (no libm on the way). Each row is
    small fractions; or such, scaled so that their squares are subnormal or
    near the top of the range; or mixed with special values; or raw bit
    patterns of every exponent, NaNs with payloads included."""
    rows, dimension = shape
    fractions = rng.integers(-1000, 1001, size=shape).astype(np.float32) / np.float32(256)
    specials = np.array(SPECIALS, dtype=np.float32)[rng.integers(0, len(SPECIALS), size=shape)]
    raw = rng.integers(0, 2**32, size=shape, dtype=np.uint64).astype(np.uint32).view(np.float32)
    mixed = np.where(rng.integers(0, 4, size=shape) == 0, specials, fractions)
    flavour = rng.integers(0, 10, size=(rows, 1))
    return np.select([flavour < 5, flavour == 5, flavour == 6, flavour < 9],
                     [fractions, fractions * np.float32(2.0**-70), fractions * np.float32(2.0**60), mixed], raw)


def results(dimension, count, seed):
    rng = np.random.default_rng(seed)
    rows = values(rng, (count, dimension))
    rows[1::7] = rows[0]      # ties
    rows[2::11] = 0.0         # zero vectors
    ids = rng.integers(0, 2**64, size=count, dtype=np.uint64)
    store = tessaly.Vectorstore(dimension, [(row, int(i)) for row, i in zip(rows, ids)])
    queries = np.concatenate([values(rng, (5, dimension)), rows[:3]])
    yield [tessaly.cosine_similarity(q, row) for q in queries for row in rows[:9]]
    for q in queries:
        for top_k in (1, 5, count + 2):
            yield store.search(q, top_k)
        yield store.parallel_search(q, 6, 3)
    yield from store.search_batch(queries, 7)
    yield from store.parallel_search_batch(queries, count, 2)


def test_every_score_hashes_to_the_one_constant():
    digest = hashlib.sha256()
    for dimension, count, seed in [(1, 5, 1), (3, 40, 2), (16, 33, 3), (37, 70, 4), (128, 100, 5)]:
        for found in results(dimension, count, seed):
            for item in found:
                score, id = item if isinstance(item, tuple) else (item, 0)
                digest.update(struct.pack("<dQ", score, id))
    assert digest.hexdigest() == EXPECTED


# sha256 of the results below, of stores large enough for the int8 first
# pass; the same with it and without it, on every architecture.
EXPECTED_LARGE = "81e0c19cce6299b515dcf534daf7fea33fc29ee70faf39f20896b51528bda540"


def large_results(first_pass):
    rng = np.random.default_rng(11)
    for dimension, count in [(8, 4200), (96, 2600)]:
        rows = values(rng, (count, dimension))
        rows[1::7] = rows[0]      # ties
        rows[2::11] = 0.0         # zero vectors
        store = tessaly.Vectorstore.from_array(rows, first_pass=first_pass)
        queries = np.concatenate([values(rng, (5, dimension)), rows[:3]])
        for q in queries:
            yield store.search(q, 10)
            yield store.parallel_search(q, 50, 2)
        yield from store.search_batch(queries, 100)
        yield from store.parallel_search_batch(queries, 3, 2)


@pytest.mark.parametrize("first_pass", ["int8", None])
def test_stores_with_and_without_the_first_pass_hash_alike(first_pass):
    digest = hashlib.sha256()
    for found in large_results(first_pass):
        for score, id in found:
            digest.update(struct.pack("<dQ", score, id))
    assert digest.hexdigest() == EXPECTED_LARGE
