"""Small float32 oracles that follow the kernel's order of operations.

Every sum starts at -0.0 and runs in index order; each product is rounded to
float32 before it is added; the zero tests are on the squared norms; every
NaN score is the positive quiet NaN. numpy's
float32 ufuncs round every operation to single precision, so vectorising
across entries (one "lane" per row) keeps each row's own order exact.
"""
import math

import numpy as np

F32 = np.float32


def _ordered_sum_of_products(a, b):
    """Row-wise sum of a[:, i] * b[:, i] for i ascending, from -0.0."""
    total = np.full(a.shape[0], -0.0, dtype=F32)
    for i in range(a.shape[1]):
        total = total + a[:, i] * b[:, i]
    return total


def scores(matrix, query):
    """Kernel scores of every row of `matrix` (n, d) against `query` (d,)."""
    matrix = np.asarray(matrix, dtype=F32).reshape(-1, len(query))
    query = np.asarray(query, dtype=F32)
    q = np.broadcast_to(query, matrix.shape)
    with np.errstate(all="ignore"):
        dot = _ordered_sum_of_products(q, matrix)
        sq = _ordered_sum_of_products(q, q)
        sm = _ordered_sum_of_products(matrix, matrix)
        result = dot / (np.sqrt(sq) * np.sqrt(sm))
    result = np.where(np.isnan(result), F32(math.nan), result)
    return np.where((sq == 0) | (sm == 0), F32(0.0), result).astype(F32)


def cosine(a, b):
    """The kernel's score of two equal-length vectors, as a Python float."""
    a = np.asarray(a, dtype=F32)
    b = np.asarray(b, dtype=F32)
    if len(a) == 0:
        return 0.0
    return float(scores(b.reshape(1, -1), a)[0])


def ranked(score_list, ids, top_k):
    """Best first, ties in input order, NaN after every number; cut to top_k."""
    keyed = [(1 if s != s else 0, -s if s == s else 0.0, i)
             for i, s in enumerate(score_list)]
    order = sorted(range(len(keyed)), key=lambda i: keyed[i])
    return [(float(score_list[i]), ids[i]) for i in order[:top_k]]


def bits(values):
    """float32 bit patterns, for exact comparison that also tells -0.0 and NaNs apart."""
    return np.asarray(values, dtype=F32).view(np.uint32).tolist()
