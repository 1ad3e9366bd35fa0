"""search_arrays(..., where=): a search over the entries a boolean mask
selects answers exactly as a store of those rows alone."""
import pytest

np = pytest.importorskip("numpy")

import tessaly  # noqa: E402

N, D = 24_000, 12


def rows_and_ids():
    rng = np.random.default_rng(4)
    rows = rng.standard_normal((N, D), dtype=np.float32)
    rows[100:3_000] = rows[100]            # exact ties, across blocks and chunks
    rows[5_000] = 0                        # scores NaN
    ids = (np.arange(N, dtype=np.uint64) * np.uint64(7919)) ^ np.uint64(2**63)
    return rows, ids


def mask_of(name):
    rng = np.random.default_rng(11)
    i = np.arange(N)
    return {
        "none": np.zeros(N, bool),
        "all": np.ones(N, bool),
        "one entry": i == 12_345,
        "every other": i % 2 == 1,
        "first and last of each block of 16": (i % 16 == 0) | (i % 16 == 15),
        "random 10%": rng.random(N) < 0.1,
        "random 90%": rng.random(N) < 0.9,
        "one run": (i >= 6_001) & (i < 8_999),
        "the ties and a far run": ((i >= 50) & (i < 200)) | (i >= 20_000),
    }[name]


MASKS = ["none", "all", "one entry", "every other", "first and last of each block of 16", "random 10%",
         "random 90%", "one run", "the ties and a far run"]


@pytest.mark.parametrize("first_pass", ["int8", None])
@pytest.mark.parametrize("mask_name", MASKS)
def test_where_ranks_as_the_selected_rows_alone(mask_name, first_pass):
    rows, ids = rows_and_ids()
    mask = mask_of(mask_name)
    store = tessaly.Vectorstore.from_array(rows, ids, first_pass=first_pass)
    alone = tessaly.Vectorstore.from_array(rows[mask], ids[mask], first_pass=first_pass)
    rng = np.random.default_rng(2)
    queries = np.concatenate([rng.standard_normal((5, D), dtype=np.float32), rows[[100, 5_000, 7_000]]])
    # The same mask as a list of bools, and strided backwards in memory.
    forms = [mask, mask.tolist(), np.ascontiguousarray(mask[::-1])[::-1]]
    for top_k in (1, 10, 2_000):
        expected_scores, expected_ids = alone.search_arrays(queries, top_k, 1)
        assert expected_ids.shape == (len(queries), min(top_k, int(mask.sum())))
        for n_threads in (None, 1, 2, 3):
            for where in forms[:1] if n_threads else forms:
                scores, found = store.search_arrays(queries, top_k, n_threads, where=where)
                assert found.shape == expected_ids.shape
                assert scores.view(np.uint32).tolist() == expected_scores.view(np.uint32).tolist()
                assert found.tolist() == expected_ids.tolist()


@pytest.mark.parametrize("where, error, text", [
    (np.ones(N, np.float64), TypeError, r"^argument 'where': expected a 1-D array of booleans.*dtype float64"),
    (np.ones(N, np.uint8), TypeError, r"dtype uint8; make one by comparing, as numpy.isin\(ids, allowed\)"),
    ([1, 0] * (N // 2), TypeError, r"^argument 'where': .* got an array of dtype int(32|64)"),
    ("yes", TypeError, r"^argument 'where': .* got an array of dtype <U3"),
    (np.ones(N - 1, bool), ValueError, rf"^where has {N - 1} entries but the store has {N}; give one boolean"),
    ([True], ValueError, rf"^where has 1 entries but the store has {N}"),
    (np.ones((2, N), bool), ValueError, rf"^where must be a 1-D array of booleans, got a 2-D array of shape "
                                        rf"\(2, {N}\); flatten it with where.ravel\(\)$"),
    (True, ValueError, r"^where must be a 1-D array of booleans, got a 0-D array of shape \(\)"),
])
def test_bad_where_names_it(where, error, text):
    store = tessaly.Vectorstore.from_array(np.ones((N, 3), np.float32))
    with pytest.raises(error, match=text):
        store.search_arrays(np.ones((1, 3), np.float32), 2, where=where)
    with pytest.raises(error, match=text):
        tessaly._where_argument(N, where)
    # By position it is no argument at all.
    with pytest.raises(TypeError, match=r"takes from 2 to 3 positional arguments but 4 were given"):
        store.search_arrays(np.ones((1, 3), np.float32), 2, None, np.ones(N, bool))
