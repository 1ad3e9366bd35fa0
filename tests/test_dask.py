"""tessaly_dask: a store sharded over a Dask cluster answers exactly as one store.

One two-worker process cluster serves the module; the tests that take
workers away run last on it, and the one that leaves no worker at all has a
cluster of its own.
"""
import array
import gc
import linecache
import logging
import math
import os
import pickle
import signal
import struct
import sys
import threading
import time
from collections import Counter

import pytest

if os.environ.get("TESSALY_BUILD_DIR", "").endswith("-address"):
    pytest.skip("Dask's worker processes do not run under AddressSanitizer",
                allow_module_level=True)
np = pytest.importorskip("numpy")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import tessaly  # noqa: E402
from conftest import run_python  # noqa: E402
from tessaly_dask import NoWorkersError, ShardedVectorstore  # noqa: E402

BIG = 2**60 + 2**36 + 1   # int -> float32 directly and through double round differently


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=logging.CRITICAL) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def bits(results):
    """Search results with each score as its exact double bits (NaN included)."""
    return [(struct.pack("<d", score), id) for score, id in results]


def reference(rows, ids=None):
    # The ids as given (tolist keeps an object array's objects), as a user
    # of one store would pass them.
    ids = range(len(rows)) if ids is None else ids.tolist() if isinstance(ids, np.ndarray) else ids
    return tessaly.Vectorstore(rows.shape[1], [(row, id) for row, id in zip(rows, ids)])


def tie_rows():
    """Few distinct small-integer rows: equal scores everywhere, runs of
    duplicates across every shard boundary, a zero row, and a row that scores
    NaN (or, made integer, scores exactly 0 against [1, 1, 0] only if
    converted to float32 through double)."""
    rng = np.random.default_rng(7)
    rows = rng.integers(-1, 2, (60, 3)).astype(np.float64)
    rows[10:30] = rows[10]
    rows[44] = 0
    rows[51] = [np.inf, -2.0**60, 0]
    return rows


def integer_rows(rows):
    rows = np.nan_to_num(rows, posinf=0).astype(np.int64)
    rows[51, 0] = BIG
    return rows


class LyingFloat(float):
    def __float__(self):
        return 0.0


class Index:
    def __index__(self):
        return BIG


def object_rows(rows, exotic):
    """Rows as Python floats, ints (BIG among them) and bools; exotic adds
    numbers of classes defined here, which workers need not import."""
    mixed = rows.astype(object)
    mixed[::3] = integer_rows(rows)[::3].astype(object)
    mixed[1::4, 0] = [bool(value) for value in integer_rows(rows)[1::4, 0]]
    if exotic:
        mixed[2, 1], mixed[5, 2], mixed[7, 0] = LyingFloat(3.5), Index(), np.float32(0.1)
    return mixed


def object_ids(ids, exotic):
    mixed = ids.astype(object)
    mixed[::5] = [int(id) for id in ids[::5]]
    mixed[1], mixed[2] = True, 2**64 - 1
    if exotic:
        mixed[3], mixed[4] = np.int8(7), Index()
    return mixed


QUERIES = [[1, 0, 0], [1, -1, 1], [0, 0, 0], [math.nan, 1, 0], [0.5, 2, -1], [1, 1, 0]]
TOP_KS = [0, 1, 7, 25, 60, 100]


def assert_agrees(store, expected):
    for top_k in TOP_KS:
        assert bits_lists(store.search_batch(QUERIES, top_k)) == \
            bits_lists([expected.search(query, top_k) for query in QUERIES]), top_k
    for query in QUERIES:
        assert bits(store.search(query, 25)) == bits(expected.search(query, 25))


def bits_lists(lists):
    return [bits(results) for results in lists]


@pytest.mark.parametrize("make", [
    lambda rows, ids: {"vectors": rows.astype(np.float32), "rows_per_shard": 7},
    lambda rows, ids: {"vectors": rows, "ids": ids, "rows_per_shard": 1},
    lambda rows, ids: {"vectors": integer_rows(rows), "ids": ids},
    lambda rows, ids: {"vectors": da.from_array(rows, chunks=((13, 0, 20, 1, 26), 3)),
                       "ids": da.from_array(ids, chunks=30)},
    lambda rows, ids: {"vectors": da.from_array(rows.astype(np.float32), chunks=(9, 3)),
                       "ids": ids, "rows_per_shard": 16},
    # What Vectorstore takes as rows and ids: bools, and object arrays of
    # anything it converts (a dask array's are converted on the workers).
    lambda rows, ids: {"vectors": rows.astype(bool), "ids": ids % 3 == 0, "rows_per_shard": 9},
    lambda rows, ids: {"vectors": object_rows(rows, True), "ids": object_ids(ids, True),
                       "rows_per_shard": 8},
    lambda rows, ids: {"vectors": da.from_array(object_rows(rows, False), chunks=(25, 3)),
                       "ids": da.from_array(object_ids(ids, False), chunks=20)},
], ids=["numpy-float32", "one-row-shards", "numpy-int64", "dask-uneven-chunks", "dask-rechunked",
        "numpy-bool", "numpy-object", "dask-object"])
def test_agrees_with_one_store(client, make):
    rows = tie_rows()
    ids = np.random.default_rng(3).integers(0, 2**64, len(rows), dtype=np.uint64)
    arguments = make(rows, ids)
    store = ShardedVectorstore.from_array(client, **arguments)
    vectors, ids = arguments["vectors"], arguments.get("ids")
    vectors = vectors.compute() if isinstance(vectors, da.Array) else vectors
    ids = ids.compute() if isinstance(ids, da.Array) else ids
    assert_agrees(store, reference(vectors, ids))


@pytest.mark.parametrize("first_pass", ["int8", None])
def test_first_pass_reaches_the_shards_and_changes_no_result(client, first_pass):
    rng = np.random.default_rng(3)
    rows = rng.standard_normal((6000, 24), dtype=np.float32)
    store = ShardedVectorstore.from_array(client, rows, first_pass=first_pass, rows_per_shard=3000)
    store.append(rows[:2500])
    assert store.first_pass == first_pass
    one = tessaly.Vectorstore.from_array(np.concatenate([rows, rows[:2500]]), first_pass=None)
    queries = rng.standard_normal((8, 24), dtype=np.float32)
    assert store.search_batch(queries, 10) == one.search_batch(queries, 10)
    with pytest.raises(ValueError, match="^first_pass must be 'int8' or None, not 'int4'$"):
        ShardedVectorstore.from_array(client, rows, first_pass="int4")


def test_append_spreads_and_continues(client):
    rows = tie_rows()
    store = ShardedVectorstore.from_array(client, rows[:40], rows_per_shard=10)
    distributed.wait(store.shards)
    holders = client.who_has(list(store.shards))
    assert sorted(Counter(holders[shard.key][0] for shard in store.shards).values()) == [2, 2]
    store.append(da.from_array(rows[40:55], chunks=5))
    store.append(rows[55:], np.array([7, 7, 9, 2**64 - 1, 0], dtype=np.uint64), rows_per_shard=2)
    assert (len(store), store.n_shards, store.vector_size) == (60, 10, 3)
    assert store.shard_lengths == (10,) * 4 + (5,) * 3 + (2, 2, 1)
    assert all(isinstance(shard, distributed.Future) for shard in store.shards)
    assert repr(store) == "ShardedVectorstore(vector_size=3, len=60, n_shards=10)"
    ids = list(range(55)) + [7, 7, 9, 2**64 - 1, 0]
    assert_agrees(store, reference(rows, ids))


def interrupted_at_line(function, line):
    """Runs function() with a KeyboardInterrupt raised, as a Ctrl-C would
    be, at the `line`-th line that ShardSet.add executes; whether it was.
    The lines of its `with` statement are left alone: a lock's release there
    is the interpreter's affair."""
    from tessaly_dask._shard_set import ShardSet
    seen = [0]

    def local(frame, event, arg):
        text = linecache.getline(frame.f_code.co_filename, frame.f_lineno).strip()
        if event == "line" and not text.startswith("with "):
            seen[0] += 1
            if seen[0] == line:
                raise KeyboardInterrupt
        return local

    sys.settrace(lambda frame, event, arg: local if frame.f_code is ShardSet.add.__code__ else None)
    try:
        function()
    except KeyboardInterrupt:
        return True
    finally:
        sys.settrace(None)
    return False


def test_an_interrupted_append_leaves_the_store_as_it_was_or_appended(client):
    # One store per line of ShardSet.add that an interrupt can land on, then
    # a further append to each, then one restart that loses every shard: a
    # store whose records went out of step rebuilds wrong rows, or fails.
    rows = tie_rows()
    stores = []
    for line in range(1, 30):
        store = ShardedVectorstore.from_array(client, rows[:20], rows_per_shard=10)
        interrupted = interrupted_at_line(lambda: store.append(rows[20:40], rows_per_shard=5), line)
        if not interrupted:
            assert store.shard_lengths == (10, 10, 5, 5, 5, 5)
            break
        before = (len(store), store.shard_lengths, len(store.shards)) == (20, (10, 10), 2)
        appended = (len(store), store.shard_lengths, len(store.shards)) == (40, (10, 10, 5, 5, 5, 5), 6)
        assert before or appended, line
        if before:
            store.append(rows[20:40], rows_per_shard=5)
        stores.append(store)
    assert len(stores) > 3
    client.restart()
    for store in stores:
        store.append(rows[40:], rows_per_shard=15)
        assert_agrees(store, reference(rows))


@pytest.mark.parametrize("query", [
    [BIG, 2**60], np.array([BIG, 2**60]), np.array([BIG, 2**60], dtype=np.uint64),
    [np.int64(BIG), 2**60], [Index(), 2**60], np.array([BIG, 2**60], dtype=object),
    [1 + 2**-24, 1.0], np.array([1 + 2**-24, 1.0]), array.array("d", [1 + 2**-24, 1.0]),
    [LyingFloat(3.5), 1.0], np.array([[3.0, 9.0], [1 + 2**-24, 1.0]])[:, 0],
    np.array([1 + 2**-24, 1.0], dtype=np.longdouble), bytes([250, 3]),
], ids=lambda query: type(query).__name__)
def test_query_conversion_matches_tessaly(client, query):
    # A row (1, -1) scores exactly 0 against a query of two equal float32
    # elements and not otherwise: one rounding step apart changes the bits.
    rows = np.array([[1, -1], [1, 0], [0, 1], [-1, 1], [3, -2]], dtype=np.float32)
    store = ShardedVectorstore.from_array(client, rows, rows_per_shard=2)
    expected = reference(rows).search(query, 5)
    assert bits(store.search(query, 5)) == bits(expected)
    assert bits_lists(store.search_batch([query, query], 5)) == [bits(expected)] * 2


@pytest.mark.parametrize("queries, top_k", [
    (QUERIES, 7), (QUERIES, 100), (np.empty((0, 3)), 5), (QUERIES, 0),
], ids=["top_k-7", "fewer-entries-than-top_k", "no-queries", "top_k-0"])
def test_search_arrays_matches_one_store(client, queries, top_k):
    rows = tie_rows()
    ids = np.arange(len(rows), dtype=np.uint64) * np.uint64(2**58) + np.uint64(2**63 - 7)
    store = ShardedVectorstore.from_array(client, rows, ids, rows_per_shard=7)
    lists = reference(rows, ids).search_batch(queries, top_k)
    shape = (len(queries), min(top_k, len(rows)))
    scores, found = store.search_arrays(queries, top_k)
    assert (scores.dtype, found.dtype, scores.shape, found.shape) == \
        (np.float32, np.uint64, shape, shape)
    expected = np.array([[score for score, _ in row] for row in lists], np.float32)
    assert scores.tobytes() == expected.tobytes()
    assert found.tolist() == [[id for _, id in row] for row in lists]


@pytest.mark.parametrize("where", [
    np.zeros(60, bool), np.ones(60, bool), np.arange(60) == 33, np.arange(60) % 3 == 0,
    (np.arange(60) >= 14) & (np.arange(60) < 21), [i % 5 != 1 for i in range(60)],
], ids=["none", "all", "one-row", "every-third", "one-shard-exactly", "list-of-bools"])
def test_where_is_cut_by_shard(client, where):
    rows = tie_rows()
    ids = np.arange(len(rows), dtype=np.uint64) * np.uint64(3) + np.uint64(2**63)
    store = ShardedVectorstore.from_array(client, rows, ids, rows_per_shard=7)
    mask = np.asarray(where)
    alone = tessaly.Vectorstore.from_array(rows[mask], ids[mask])
    for top_k in (4, 100):
        scores, found = store.search_arrays(QUERIES, top_k, where=where)
        expected_scores, expected_ids = alone.search_arrays(QUERIES, top_k)
        assert scores.tobytes() == expected_scores.tobytes() and found.shape == expected_ids.shape
        assert found.tolist() == expected_ids.tolist()


@pytest.mark.parametrize("where", [np.ones(59, bool), np.ones(60), "no"])
def test_bad_where_fails_as_one_store(client, where):
    store = ShardedVectorstore.from_array(client, tie_rows(), rows_per_shard=7)
    with pytest.raises(Exception) as expected:
        reference(tie_rows()).search_arrays(QUERIES, 3, where=where)
    with pytest.raises(type(expected.value)) as raised:
        store.search_arrays(QUERIES, 3, where=where)
    assert str(raised.value) == str(expected.value)


def exported_rows(client):
    """Float32 rows with bits a conversion could change (NaN payloads, -0.0,
    infinities), their ids up to 2**64 - 1, built in uneven shards (one of
    none) and grown by append."""
    rows = tie_rows().astype(np.float32)
    rows[3:6] = np.array([[0x7FC00123, 0x80000000, 0x7F800001], [0xFF800000, 1, 0x7F800000],
                          [0xFFC00000, 0x80000001, 0]], dtype=np.uint32).view(np.float32)
    ids = np.uint64(2**64 - 1) - np.arange(len(rows), dtype=np.uint64)
    store = ShardedVectorstore.from_array(
        client, da.from_array(rows[:45], chunks=((13, 0, 20, 12), 3)), ids[:45])
    store.append(rows[45:], ids[45:], rows_per_shard=4)
    return store, rows, ids


@pytest.mark.parametrize("make", [
    exported_rows,
    lambda client: (ShardedVectorstore(client, 4), np.empty((0, 4), np.float32), np.empty(0, np.uint64)),
], ids=["uneven-shards-and-append", "empty"])
def test_to_arrays_gathers_the_shards_in_row_order(client, make):
    store, rows, ids = make(client)
    vectors, found = store.to_arrays()
    assert (vectors.dtype, vectors.shape, found.dtype, found.shape) == \
        (np.float32, rows.shape, np.uint64, ids.shape)
    assert vectors.flags.c_contiguous
    assert np.array_equal(vectors.view(np.uint32), rows.view(np.uint32)) and found.tolist() == ids.tolist()
    if len(rows):
        rebuilt = ShardedVectorstore.from_array(client, vectors, found, rows_per_shard=9)
        assert_agrees(rebuilt, reference(rows, ids))


# Each holds two elements that are equal in float32 only when converted as
# tessaly converts them; a row (1, -1) then scores exactly 0.
@pytest.mark.parametrize("queries", [
    memoryview(np.array([[1 + 2**-24, 1.0], [3.0, 9.0]])),
    memoryview(np.asfortranarray([[3.0, 9.0], [1 + 2**-24, 1.0]], dtype=np.float32))[::-1],
    np.array([[LyingFloat(3.5), 3.5], [Index(), BIG]], dtype=object),
], ids=["memoryview-2d", "memoryview-2d-strided", "object-array-overriding-float"])
def test_batch_inputs_convert_as_one_store(client, queries):
    rows = np.array([[1, -1], [1, 0], [0, 1], [-1, 1], [3, -2]], dtype=np.float32)
    store = ShardedVectorstore.from_array(client, rows, rows_per_shard=2)
    expected = reference(rows).search_batch(queries, 5)
    assert bits_lists(store.search_batch(queries, 5)) == bits_lists(expected)
    assert store.search_arrays(queries, 5)[0].tobytes() == \
        np.array([[score for score, _ in row] for row in expected], np.float32).tobytes()


BAD_SEARCHES = [
    ([1, 0], 1), ([1, 0, 0, 0], 1), ("abc", 1), (None, 1), ([1, "x", 0], 1), ([1, 2**1100, 0], 1),
    (np.zeros((1, 3)), 1), ([1, 0, 0], -1), ([1, 0, 0], 2**64), ([1, 0, 0], 1.0),
    ([1, 0, 0], "2"), ([1, 0], 2**64),
]


@pytest.mark.parametrize("vector, top_k", BAD_SEARCHES)
def test_errors_match_vectorstore(client, vector, top_k):
    store = ShardedVectorstore.from_array(client, tie_rows()[:6], rows_per_shard=3)
    local = reference(tie_rows()[:6])
    calls = [(store.search, local.search, vector),
             (store.search_batch, local.search_batch, [[0, 1, 0], vector]),
             (store.search_arrays, local.search_arrays, [[0, 1, 0], vector])]
    if isinstance(vector, list) and vector == [1, 0, 0]:
        calls.append((store.search_batch, local.search_batch, np.zeros((2, 3))))
    for sharded, one_store, argument in calls:
        with pytest.raises(Exception) as expected:
            one_store(argument, top_k)
        with pytest.raises(type(expected.value)) as raised:
            sharded(argument, top_k)
        assert str(raised.value) == str(expected.value)


@pytest.mark.parametrize("vectors, ids, rows_per_shard, error", [
    ([[1.0, 2.0]], None, None, TypeError),
    (np.zeros(3), None, None, ValueError),
    (np.zeros((2, 2, 2)), None, None, ValueError),
    (np.zeros((2, 2), dtype=complex), None, None, TypeError),
    (np.array([["a", "b"]]), None, None, TypeError),
    (da.zeros((4, 4), chunks=(2, 2)), None, None, ValueError),
    (np.zeros((3, 2)), np.arange(2), None, ValueError),
    (np.zeros((3, 2)), np.zeros(3), None, TypeError),
    (np.zeros((3, 2)), np.zeros((3, 1), dtype=int), None, ValueError),
    (np.zeros((3, 2)), np.array([0, -1, 2]), None, OverflowError),
    (np.zeros((3, 2)), np.array([0, 2**64, 2], dtype=object), None, OverflowError),
    (np.zeros((3, 2)), np.array([0, 1.0, 2], dtype=object), None, TypeError),
    (np.zeros((3, 2)), np.array([0, np.True_, 2], dtype=object), None, TypeError),
    (np.array([[1, "x"]], dtype=object), None, None, TypeError),
    (np.array([[1, 2**1100]], dtype=object), None, None, OverflowError),
    (np.zeros((3, 2)), [0, 1, 2], None, TypeError),
    (np.zeros((3, 2)), None, 0, ValueError),
    (np.zeros((3, 2)), None, 1.5, TypeError),
    (da.zeros((4, 2), chunks=2)[da.arange(4) > 1], None, None, ValueError),
])
def test_bad_input_raises_before_sending(client, monkeypatch, vectors, ids, rows_per_shard,
                                         error):
    def no_sending(*args, **kwargs):
        raise AssertionError("sent before the input was checked")
    monkeypatch.setattr(client, "compute", no_sending)
    with pytest.raises(error):
        ShardedVectorstore.from_array(client, vectors, ids, rows_per_shard=rows_per_shard)


def test_appended_columns_must_match(client, monkeypatch):
    store = ShardedVectorstore.from_array(client, np.ones((4, 3)), rows_per_shard=2)
    monkeypatch.setattr(client, "compute", lambda *args, **kwargs: 1 / 0)
    with pytest.raises(ValueError, match="^vectors has 2 columns but the store expects 3$"):
        store.append(np.ones((4, 2)))


def test_build_errors_surface_at_search(client):
    ids = da.from_array(np.array([1, 2, -3, 4]), chunks=2)
    store = ShardedVectorstore.from_array(client, np.ones((4, 2)), ids, rows_per_shard=2)
    with pytest.raises(OverflowError, match="^id -3 of row 2 is not in"):
        store.search([1, 0], 1)


def test_import_without_dask_says_what_to_install():
    result = run_python("""
        import sys

        class Uninstalled:
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] in ("dask", "distributed"):
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)

        sys.meta_path.insert(0, Uninstalled())
        try:
            import tessaly_dask
        except ImportError as error:
            print(type(error).__name__, error.name, error)
    """)
    assert result.stdout == ("ImportError dask tessaly_dask needs dask[array], distributed and "
                             "numpy (No module named 'dask'): pip install \"tessaly[dask]\"\n")


def test_pickling_refused(client):
    store = ShardedVectorstore.from_array(client, np.ones((4, 2)), rows_per_shard=2)
    with pytest.raises(TypeError, match="^cannot pickle 'tessaly_dask.ShardedVectorstore' "
                                        "object: its shards live on the workers of its client"):
        pickle.dumps(store)


def test_closed_client(client, monkeypatch):
    # A client of its own, so that closing it leaves the module's one open;
    # and no default client to fall back on: the store uses only its own.
    def no_default(*args, **kwargs):
        raise ValueError("No clients found")
    monkeypatch.setattr(distributed.client, "default_client", no_default)
    with distributed.Client(client.scheduler.address, set_as_default=False) as own:
        store = ShardedVectorstore.from_array(own, np.ones((4, 2)), rows_per_shard=2)
        assert store.search([1, 0], 1) == [(0.7071067690849304, 0)]
    for call in (lambda: store.search([1, 0], 1), lambda: store.search_batch([[1, 0]], 1),
                 lambda: store.append(np.ones((2, 2))),
                 lambda: ShardedVectorstore.from_array(own, np.ones((2, 2)))):
        with pytest.raises(RuntimeError, match="^the distributed.Client is closed; "):
            call()


def test_queued_searches_stay_on_their_shard(client):
    # One shard, so one worker has a queue of searches and the other none:
    # what Dask's work stealing acts on, were the tasks free to move.
    rows = np.random.default_rng(5).standard_normal((100_000, 16), dtype=np.float32)
    queries = rows[:64] + 0.5
    store = ShardedVectorstore.from_array(client, rows, rows_per_shard=len(rows), timeout=60)
    local = reference(rows)
    expected = bits_lists([local.search(query, 5) for query in queries])
    results = []

    def run():
        for _ in range(4):
            results.append(bits_lists(store.search_batch(queries, 5)) == expected)

    threads = [threading.Thread(target=run) for _ in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [True] * 24


def test_survives_killed_and_retired_workers(client):
    rows = tie_rows()
    store = ShardedVectorstore.from_array(client, rows, rows_per_shard=8, timeout=60)
    expected = bits_lists([reference(rows).search(query, 30) for query in QUERIES])
    assert bits_lists(store.search_batch(QUERIES, 30)) == expected

    victim = client.who_has([store.shards[0]])[store.shards[0].key][0]
    os.kill(client.run(os.getpid)[victim], signal.SIGKILL)
    assert bits_lists(store.search_batch(QUERIES, 30)) == expected     # at once, and
    client.wait_for_workers(2, timeout=30)
    assert victim not in client.who_has([store.shards[0]])[store.shards[0].key]
    assert bits_lists(store.search_batch(QUERIES, 30)) == expected     # once it is back

    # A retiring worker cannot hand its shards over; searching rebuilds them
    # elsewhere, and then the retirement completes. Stores of earlier tests,
    # never searched again, must be gone first.
    gc.collect()
    retiring = client.who_has([store.shards[0]])[store.shards[0].key][0]
    retirement = threading.Thread(target=client.retire_workers, args=([retiring],))
    retirement.start()
    deadline = time.monotonic() + 30
    while retirement.is_alive() and time.monotonic() < deadline:
        assert bits_lists(store.search_batch(QUERIES, 30)) == expected
    retirement.join(timeout=1)
    assert not retirement.is_alive() and retiring not in client.nthreads()


def test_no_worker_left():
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address=":0",
                                  silence_logs=logging.CRITICAL) as cluster:
        with distributed.Client(cluster) as client:
            rows = tie_rows()
            store = ShardedVectorstore.from_array(client, rows, rows_per_shard=20,
                                                  no_worker_timeout=1)
            expected = bits(reference(rows).search([1, 0, 0], 30))
            assert bits(store.search([1, 0, 0], 30)) == expected
            cluster.scale(0)
            while client.nthreads():
                time.sleep(0.05)
            started = time.monotonic()
            with pytest.raises(NoWorkersError, match="no worker for 1.0 s"):
                store.search([1, 0, 0], 30)
            assert time.monotonic() - started < 5
            # Workers that join later get the lost shards rebuilt.
            cluster.scale(1)
            client.wait_for_workers(1, timeout=30)
            assert bits(store.search([1, 0, 0], 30)) == expected
