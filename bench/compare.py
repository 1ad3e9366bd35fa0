"""Side-by-side latency of exact top-k cosine search, against the floor of
reading the same bytes, with and without the int8 first pass.

    tools/python bench/compare.py                    # every shape (several minutes)
    tools/python bench/compare.py --quick            # the smallest shape only
    tools/python bench/compare.py --only batch       # one section (and the build rates)
    tools/python bench/compare.py --plot chart.png   # also draw the table

One run, one machine, the same data for every tool (float32 standard normal,
fixed seed). Latency is the median over QUERIES queries after a warm-up, in
ms per query; every method and floor is timed once per query in turn (in a
new order each round), so that a drift in the machine's speed touches all of
them alike, each right after an untimed call of its own (a store that fits
in cache is then found there, as by a stream of queries). faiss
(IndexFlatIP, one query per call), hnswlib (BFIndex, cosine) and numpy work
on their own copies (faiss and numpy on L2-normalised rows, their fastest
exact cosine), faiss and numpy on OpenBLAS limited to the row's threads.

tessaly keeps two stores of the same rows, both built by `from_array`: one
with `first_pass=None` (the float32 blocks alone, as the constructor builds
them; every row that existed before the first pass runs on it, so its
figures stay comparable with earlier runs), and one with the int8 copy
(`first_pass="int8"`, the default), whose searches scan the copy first and
score with the float32 kernel only the entries that can reach the top k.
Both give the same bits; only the time differs. Each is timed through
`search` on the best kernel path, `parallel_search(n_threads=2)`, and by
the test hooks on every path the processor has but scalar; every row of
the copy's store is also stated as a ratio to the same method on the store
without it, taken within each round ("vs no copy").

A peer users pick for speed sits beside them: faiss's IndexScalarQuantizer
with 8-bit codes (QT_8bit, inner product) on the L2-normalised rows, trained
on them, one thread, one query per call and as a batch. It is approximate,
so its recall@k against the exact result (tessaly's top k: the share of
those ids it also returns, averaged over the queries) is printed beside
its time.

The floor is measured natively by the test hooks: one read of a contiguous
matrix of the store's float32 bytes, with independent accumulators, on one
and on two threads. Every time is stated as a ratio to the floor of its
thread count (two threads for the methods that use more); the first pass
reads a quarter of those bytes, so it can go below the floor.

The batch section answers 64 and 256 queries per call (top_k 10) and
reports queries per second: tessaly's batch methods on both stores, a loop
of `search` (over LOOPED queries), faiss's batches (flat, and 8-bit over
SCANNED queries a call, which costs it the same per query), numpy (a matrix
product and a partition per query, one thread) and hnswlib's BFIndex (one
thread). A float32 batch is bound by arithmetic, not memory, so its floor
is the core's rate of multiplies and adds (one thread, independent chains
in registers, measured natively), and tessaly's pairs per second (entries
x elements x queries) are quoted as a share of it, with and without the
copy (the first pass does most of its work in int8, so it can pass the
float peak). Ratios to faiss's flat batch and to the store without the
copy are medians of ratios taken within each round. The rows include
making the result lists; their share of the time is reported too.

The adversarial section times the first pass where it cannot pay: 100,000
near-duplicates of one vector (each element nudged by 1e-6, so that no
int8 bound tells them apart) and 100,000 zero vectors (which no bound
covers), `search` and `search_batch` on the store with the copy against
the store without it, as the median of the ratios within each round.

The arrays section times building from a 2-D array, with and without the
copy, and `to_arrays` of such a store (also in paired rounds of its own)
against numpy's own copy of it, `search_arrays` at top_k 100 against
top_k 1 and against `search_batch`, how soon Ctrl-C stops a long batch, how
freely another thread runs during one, and the memory a batch of 300,000
queries takes beside its results (all on stores without the copy),
`from_array` of 60,000 x 784 uint8 (MNIST's shape, with the copy, as users
build) against the same rows as float32, and how freely another thread
runs while such uint8 arrays are converted; then `search_arrays(...,
where=mask)` with a tenth of 1,000,000 x 128 selected as one run and at
random, and nine tenths at random, against the full search and against
faiss's flat index with an IDSelectorBatch of the same ids. The
resident memory a store adds is measured for each shape in a fresh
process, as the constructor builds it from numpy rows and as `from_array`
builds it with and without the copy, and quoted as a multiple of the raw
float32 bytes (n x d x 4).

The peers run as their users get them, at their best: OpenBLAS (numpy's
and faiss's BLAS) with the kernel it picks for this processor, since the
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE variables some machines set are
dropped before numpy loads it (here only: never in tests or CI); their
thread counts set by direct calls, never a threadpoolctl context per call,
which costs more than a small faiss search. Ratios are taken within a
round (every method and floor back to back, in a new order each round)
and their median is quoted, since this machine's memory speed drifts from
minute to minute.

The benchmark runs in the source tree (`tools/python bench/compare.py`),
not from an installed wheel: it needs the test hooks module, built with
the tests and never installed, and the peers.
"""
import argparse
import os

# Before numpy loads OpenBLAS, which reads them once (see above).
DROPPED_BLAS_SETTINGS = {name: os.environ.pop(name) for name in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
                         if name in os.environ}

import random  # noqa: E402
import signal  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402

import faiss  # noqa: E402
import hnswlib  # noqa: E402
import numpy as np  # noqa: E402
from threadpoolctl import ThreadpoolController, threadpool_info  # noqa: E402

import _tessaly_testhooks as hooks  # noqa: E402
import tessaly  # noqa: E402

SHAPES = [(100_000, 128), (1_000_000, 128), (100_000, 768)]
TOP_KS = [10, 1000]
QUERIES = 21
BATCHES = [64, 256]  # queries per batch, top_k 10
BATCH_ROUNDS = 5
LOOPED = 16  # queries of a batch timed one search at a time (its cost per query is constant)
# Queries of a batch given to faiss's 8-bit index in one call: it costs the
# same per query whatever the batch (79 and 74 q/s at 64 and 256 queries
# over 100,000 x 128, a GENERIC build), and a whole batch of 256 over
# 1,000,000 x 128 would take half a minute a round.
SCANNED = 32
BUILD_ROWS = 200_000
ADVERSARIAL_ROWS = 100_000
ADVERSARIAL_NUDGE = 1e-6
FLAGS = ("sse2", "avx2", "avx_vnni", "avx512f", "avx512_vnni", "fma", "asimd", "asimddp")
FIRST_PASS = ", first pass"  # the suffix of a row on the store with the int8 copy

# Resident memory a store adds, as its user sees it, in a fresh process: the
# growth of the resident set while the constructor builds it from numpy rows
# (the list of pairs made beforehand), or while from_array builds it from
# the array, without the int8 copy or with it.
MEMORY_KINDS = {"pairs": "the constructor, from numpy rows",
                "none": "from_array(first_pass=None)",
                "int8": 'from_array(first_pass="int8")'}
MEMORY_PROBE = """
import gc, os, sys
import numpy as np
import tessaly
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
n, d, kind = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
data = np.random.default_rng(1).standard_normal((n, d), dtype=np.float32)
pairs = [(row, i) for i, row in enumerate(data)] if kind == "pairs" else None
gc.collect()
before = resident()
if kind == "pairs":
    store = tessaly.Vectorstore(d, pairs)
else:
    store = tessaly.Vectorstore.from_array(data, first_pass=None if kind == "none" else kind)
print(resident() - before)
"""


def processor():
    """The processor's model (family and model numbers on x86) and the
    instruction sets that matter here."""
    fields = {}
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if not line.strip():
                break  # the first processor is enough
            key, _, value = line.partition(":")
            fields[key.strip()] = value.strip()
    model = fields.get("model name", "unknown processor")
    if "cpu family" in fields:
        model += f" (family {fields['cpu family']}, model {fields.get('model')})"
    flags = set(fields.get("flags", fields.get("Features", "")).split())
    return model, [flag for flag in FLAGS if flag in flags]


def blas():
    found = [f"{i['internal_api']} {i.get('version') or ''} (kernel {i.get('architecture') or 'unknown'})".strip()
             for i in threadpool_info() if i.get("user_api") == "blas"]
    return ", ".join(sorted(set(found))) or "no BLAS found by threadpoolctl"


def faiss_build():
    """The instruction set faiss was compiled for (GENERIC, AVX2, AVX512, ...)."""
    options = faiss.get_compile_options().split() if hasattr(faiss, "get_compile_options") else []
    return "compiled " + " ".join(options) if options else "compile options unknown"


class PeerThreads:
    """The peers' thread counts (faiss's OpenMP and OpenBLAS), set by direct
    calls when they change: entering and leaving a threadpoolctl context
    costs about 0.6 ms, more than half of a small faiss search."""

    def __init__(self):
        self.blas = [c for c in ThreadpoolController().lib_controllers if c.user_api == "blas"]
        self.current = None

    def use(self, threads):
        if threads != self.current:
            faiss.omp_set_num_threads(threads)
            for controller in self.blas:
                controller.set_num_threads(threads)
            self.current = threads


PEERS = PeerThreads()


class Stores:
    """tessaly's two stores of the rows (without and with the int8 copy), and
    the peers' indexes of the same rows."""

    def __init__(self, data):
        n, d = data.shape
        self.unit = data / np.linalg.norm(data, axis=1, keepdims=True)
        self.plain = tessaly.Vectorstore.from_array(data, first_pass=None)
        self.fast = tessaly.Vectorstore.from_array(data, first_pass="int8")
        assert (self.plain.first_pass, self.fast.first_pass) == (None, "int8")
        self.flat = faiss.IndexFlatIP(d)
        self.flat.add(self.unit)
        self.sq8 = faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_8bit, faiss.METRIC_INNER_PRODUCT)
        self.sq8.train(self.unit)
        self.sq8.add(self.unit)
        self.brute = hnswlib.BFIndex(space="cosine", dim=d)
        self.brute.init_index(max_elements=n)
        self.brute.add_items(data, np.arange(n))


def store_memory(n, d, kind):
    probe = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(n), str(d), kind],
                           capture_output=True, text=True, check=True)
    return int(probe.stdout)


def recall(found, exact):
    """The share of the exact result's ids that an approximate one also
    returns, averaged over the queries (lists of ids, one per query)."""
    return statistics.mean(len(set(map(int, f)) & set(e)) / len(e) for f, e in zip(found, exact))


def exact_ids(store, queries, k):
    return [[i for _, i in store.search(q, k)] for q in queries]


def numpy_top_k(unit, q, k):
    scores = unit @ q
    top = np.argpartition(-scores, k - 1)[:k] if k < len(scores) else np.arange(len(scores))
    return top[np.argsort(-scores[top], kind="stable")]


def build_rates(d, rng):
    """Rows per second into a store, from numpy rows: the constructor and
    insert, each timed three times in turn after an untimed round of both
    (the first touch of memory the hypervisor has taken back is its cost,
    not the store's: see the README), and the first, cold round."""
    rows = rng.standard_normal((BUILD_ROWS, d), dtype=np.float32)
    pairs = [(row, i) for i, row in enumerate(rows)]

    def constructor():
        started = time.perf_counter()
        tessaly.Vectorstore(d, pairs)
        return time.perf_counter() - started

    def inserting():
        store = tessaly.Vectorstore(d)
        insert = store.insert
        started = time.perf_counter()
        for vector, i in pairs:
            insert(vector, i)
        return time.perf_counter() - started

    cold = (constructor(), inserting())
    timed = [(constructor(), inserting()) for _ in range(3)]
    steady = [statistics.median(t[i] for t in timed) for i in (0, 1)]
    return [BUILD_ROWS / t for t in steady], [BUILD_ROWS / t for t in cold]


def bench_shape(n, d, rng, threads, paths):
    data = rng.standard_normal((n, d), dtype=np.float32)
    queries = rng.standard_normal((QUERIES, d), dtype=np.float32)
    unit_queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    raw = data.nbytes
    s = Stores(data)
    memory = {kind: store_memory(n, d, kind) for kind in MEMORY_KINDS}

    best = hooks.search_path()
    floor_reads = {t: (lambda t=t: hooks.stream_buffer(data, t)) for t in (1, 2)}
    samples = {t: [] for t in floor_reads}
    rows = {}
    for k in TOP_KS:
        def faiss_search(index, q, t):
            PEERS.use(t)
            return index.search(q.reshape(1, -1), k)

        def on_one_thread(method):
            def run(q):
                PEERS.use(1)
                return method(q)
            return run

        def both(name, threads, method):
            """A tessaly row on the store without the copy and its twin on the
            store with it: (name, threads, run, queries, twin's name)."""
            return [(name, threads, lambda q: method(s.plain, q), queries, None),
                    (name + FIRST_PASS, threads, lambda q: method(s.fast, q), queries, name)]
        # (name, threads, run, queries, name of the row without the copy)
        cells = [
            ("faiss IndexFlatIP, 1 thread", 1, lambda q: faiss_search(s.flat, q, 1), unit_queries, None),
            (f"faiss IndexFlatIP, {threads} threads", threads, lambda q: faiss_search(s.flat, q, threads),
             unit_queries, None),
            ("faiss IndexScalarQuantizer 8bit, 1 thread", 1, lambda q: faiss_search(s.sq8, q, 1), unit_queries,
             None),
            ("hnswlib BFIndex (cosine)", 1, lambda q: s.brute.knn_query(q, k), queries, None),
            ("numpy, 1 thread", 1, on_one_thread(lambda q: numpy_top_k(s.unit, q, k)), unit_queries, None),
        ]
        cells += both(f"search ({best})", 1, lambda store, q: store.search(q, k))
        for path in paths:
            if path != "scalar":
                cells += both(f"search on {path}", 1, lambda store, q, p=path: hooks.search_on_path(store, q, k, p))
        cells += both("parallel_search(n_threads=2)", 2, lambda store, q: store.parallel_search(q, k, 2))
        cells += [("parallel_search()", threads, lambda q: s.plain.parallel_search(q, k), queries, None)]
        # Round robin: every method (and the floors) once per query, so that
        # a change in the machine's speed during the run touches all alike,
        # and each ratio is taken within its round. In a new order every
        # round, so that no method always follows the same neighbour (which
        # may have pushed its data out of the cache).
        times = [[] for _ in cells]
        floors_of_round = {t: [] for t in floor_reads}
        turns = [("floor", t) for t in floor_reads] + [("cell", i) for i in range(len(cells))]
        for q in range(-1, QUERIES):  # -1: the warm-up round
            for kind, key in random.Random(q).sample(turns, len(turns)):
                if kind == "floor":
                    floor_reads[key]()
                    elapsed = floor_reads[key]()
                    if q >= 0:
                        floors_of_round[key].append(elapsed)
                        if k == TOP_KS[0]:
                            samples[key].append(elapsed)
                    continue
                _, _, run, qs, _ = cells[key]
                run(qs[q - 1])  # the method's own data back in cache, where it fits
                started = time.perf_counter()
                run(qs[q])
                if q >= 0:
                    times[key].append(time.perf_counter() - started)
        by_name = {cell[0]: cell_times for cell, cell_times in zip(cells, times)}
        # The 8-bit index's recall against the exact top k (tessaly's), untimed.
        approximate = [s.sq8.search(q.reshape(1, -1), k)[1][0] for q in unit_queries]
        notes = {"faiss IndexScalarQuantizer 8bit, 1 thread":
                 f"recall@{k} {recall(approximate, exact_ids(s.plain, queries, k)):.3f}"}
        # (name, threads, ms, ratio to the floor, to faiss-1, to the twin without the copy, note)
        rows[k] = [(name, t, statistics.median(cell) * 1e3,
                    statistics.median(a / b for a, b in zip(cell, floors_of_round[min(t, 2)])),
                    statistics.median(a / b for a, b in zip(cell, times[0])),
                    statistics.median(a / b for a, b in zip(cell, by_name[twin])) if twin else None,
                    notes.get(name, ""))
                   for (name, t, _, _, twin), cell in zip(cells, times)]
    floors = {t: statistics.median(samples[t]) * 1e3 for t in floor_reads}
    del s
    return {"n": n, "d": d, "raw": raw, "memory": memory, "floors": floors, "rows": rows, "best": best}


def numpy_batch(unit, queries, k):
    scores = unit @ queries.T
    top = np.argpartition(-scores, k - 1, axis=0)[:k]
    return [column[np.argsort(-scores[column, j], kind="stable")] for j, column in enumerate(top.T)]


def bench_batches(n, d, rng, threads):
    """Queries per second of each batch method, for each batch size."""
    s = Stores(rng.standard_normal((n, d), dtype=np.float32))
    best = hooks.search_path()
    results = {}
    for m in BATCHES:
        queries = rng.standard_normal((m, d), dtype=np.float32)
        unit_queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)

        def faiss_batch(index, count=m):
            PEERS.use(1)  # OpenMP and OpenBLAS alike
            return index.search(unit_queries[:count], 10)

        def numpy_one_thread():
            PEERS.use(1)
            numpy_batch(s.unit, unit_queries, 10)
        # (name, run, queries answered per run, name of the row without the copy)
        cells = [
            ("search_batch", lambda: s.plain.search_batch(queries, 10), m, None),
            ("search_batch" + FIRST_PASS, lambda: s.fast.search_batch(queries, 10), m, "search_batch"),
            ("parallel_search_batch(n_threads=2)", lambda: s.plain.parallel_search_batch(queries, 10, 2), m, None),
            ("loop of search", lambda: [s.plain.search(q, 10) for q in queries[:LOOPED]], min(m, LOOPED), None),
            ("faiss IndexFlatIP batch, 1 thread", lambda: faiss_batch(s.flat), m, None),
            ("faiss IndexScalarQuantizer 8bit batch, 1 thread", lambda: faiss_batch(s.sq8, SCANNED), min(m, SCANNED),
             None),
            ("numpy, 1 thread", numpy_one_thread, m, None),
            ("hnswlib BFIndex, 1 thread", lambda: s.brute.knn_query(queries, 10, num_threads=1), m, None),
        ]
        times = [[] for _ in cells]
        for r in range(-1, BATCH_ROUNDS):  # -1: the warm-up round
            for i in random.Random(1000 + r).sample(range(len(cells)), len(cells)):
                started = time.perf_counter()
                cells[i][1]()
                if r >= 0:
                    times[i].append(time.perf_counter() - started)
        by_name = {cell[0]: (cell[2], cell_times) for cell, cell_times in zip(cells, times)}

        def rate_ratio(name, other):
            """The median over rounds of name's queries per second over other's."""
            (count, mine), (their_count, theirs) = by_name[name], by_name[other]
            return statistics.median((count / a) / (their_count / b) for a, b in zip(mine, theirs))
        # The share of making the result lists: the same batch with and
        # without them, back to back, the median of the differences.
        with_lists, without = [], []
        for _ in range(2 * BATCH_ROUNDS + 1):
            started = time.perf_counter()
            s.plain.search_batch(queries, 10)
            middle = time.perf_counter()
            hooks.search_batch_on_path(s.plain, queries, 10, best, False)
            with_lists.append(middle - started)
            without.append(time.perf_counter() - middle)
        share = statistics.median(a - b for a, b in zip(with_lists, without)) / statistics.median(with_lists)
        exact = [[i for _, i in found] for found in s.plain.search_batch(queries[:SCANNED], 10)]
        notes = {"faiss IndexScalarQuantizer 8bit batch, 1 thread":
                 f"recall@10 {recall(faiss_batch(s.sq8, SCANNED)[1], exact):.3f} ({min(m, SCANNED)} queries a call)"}
        # (name, queries per second, ratio to faiss-1, to the twin without the copy, note)
        results[m] = ([(name, count / statistics.median(t), rate_ratio(name, "faiss IndexFlatIP batch, 1 thread"),
                        rate_ratio(name, twin) if twin else None, notes.get(name, ""))
                       for (name, _, count, twin), t in zip(cells, times)], share)
    del s
    return {"n": n, "d": d, "rates": results}


def bench_adversarial(rng, d=128):
    """The first pass where it cannot pay: `search` and `search_batch` on a
    store with the int8 copy against one without, on near-duplicates and on
    zero vectors, medians of the ratios within each round."""
    n = ADVERSARIAL_ROWS
    base = rng.standard_normal(d, dtype=np.float32)
    near = base + rng.choice(np.array([-ADVERSARIAL_NUDGE, ADVERSARIAL_NUDGE], dtype=np.float32), (n, d))
    data_sets = {f"{n:,} near-duplicates of one vector (elements nudged by {ADVERSARIAL_NUDGE:g})": near,
                 f"{n:,} zero vectors": np.zeros((n, d), dtype=np.float32)}
    queries = rng.standard_normal((QUERIES, d), dtype=np.float32)
    batch = rng.standard_normal((BATCHES[0], d), dtype=np.float32)
    out = {}
    for label, data in data_sets.items():
        stores = {"without": tessaly.Vectorstore.from_array(data, first_pass=None),
                  "with": tessaly.Vectorstore.from_array(data, first_pass="int8")}
        one = {kind: [] for kind in stores}
        for q in range(-1, QUERIES):  # -1: the warm-up round
            for kind in random.Random(3000 + q).sample(list(stores), len(stores)):
                stores[kind].search(queries[q - 1], 10)
                started = time.perf_counter()
                stores[kind].search(queries[q], 10)
                if q >= 0:
                    one[kind].append(time.perf_counter() - started)
        batched = rounds({kind: (lambda store=store: store.search_batch(batch, 10)) for kind, store in stores.items()},
                         BATCH_ROUNDS)
        out[label] = {"search": median_ratio(one, "with", "without"),
                      "search_ms": {kind: statistics.median(t) * 1e3 for kind, t in one.items()},
                      "batch": median_ratio(batched, "with", "without"),
                      "batch_ms": {kind: statistics.median(t) * 1e3 for kind, t in batched.items()}}
        del stores
    return {"n": n, "d": d, "sets": out}


ARRAY_MEMORY_PROBE = """
import sys, threading, time, numpy as np, tessaly
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
rng = np.random.default_rng(3)
store = tessaly.Vectorstore.from_array(rng.standard_normal((20_000, 64), dtype=np.float32), first_pass=None)
queries = rng.standard_normal((300_000, 64), dtype=np.float32)
store.search_arrays(queries[:1000], 100)
peak, done = [0], [False]
def watch():
    while not done[0]:
        peak[0] = max(peak[0], resident())
        time.sleep(0.001)
watcher = threading.Thread(target=watch)
before = resident()
watcher.start()
scores, ids = store.search_arrays(queries, 100)
done[0] = True
watcher.join()
print(peak[0] - before - scores.nbytes - ids.nbytes)
"""


def bench_where(rng, threads):
    """search_arrays over the entries a mask selects, at 1,000,000 x 128 with
    256 queries (top 10, every thread): a tenth as one run of entries (data
    kept per tenant, whose other blocks are never read), a tenth and nine
    tenths at random, against the full search, and faiss's flat index with
    an IDSelectorBatch of the same ids."""
    n, d, k = 1_000_000, 128, 10
    data = rng.standard_normal((n, d), dtype=np.float32)
    queries = rng.standard_normal((256, d), dtype=np.float32)
    store = tessaly.Vectorstore.from_array(data)
    masks = {"10% as one run": np.zeros(n, bool), "10% at random": rng.random(n) < 0.1,
             "90% at random": rng.random(n) < 0.9}
    masks["10% as one run"][400_000:500_000] = True
    cells = {"full": lambda: store.search_arrays(queries, k)}
    for name, mask in masks.items():
        cells[name] = lambda mask=mask: store.search_arrays(queries, k, where=mask)
    timed = rounds(cells, 7)
    out = {"ratio": {name: median_ratio(timed, name, "full") for name in masks},
           "ms": {name: statistics.median(t) * 1e3 for name, t in timed.items()}}
    # faiss: the same ids in a selector, on unit rows (its inner product is
    # then the cosine); fewer rounds, each several seconds long.
    index = faiss.IndexFlatIP(d)
    index.add(data / np.linalg.norm(data, axis=1, keepdims=True))
    del data
    PEERS.use(threads)
    peers = {}
    for name, mask in masks.items():
        selector = faiss.IDSelectorBatch(np.flatnonzero(mask).astype(np.int64))
        parameters = faiss.SearchParameters(sel=selector)
        peers[name] = lambda parameters=parameters: index.search(queries, k, params=parameters)
        peers[name + " (tessaly)"] = cells[name]
    timed = rounds(peers, 3)
    out["vs_faiss"] = {name: median_ratio(timed, name + " (tessaly)", name) for name in masks}
    out["faiss_ms"] = {name: statistics.median(timed[name]) * 1e3 for name in masks}
    return out


def print_where(w):
    print("\n## search_arrays(..., where=mask): 256 queries over 1,000,000 x 128, top 10, every thread")
    print(f"full search {w['ms']['full']:.0f} ms")
    for name, ratio in w["ratio"].items():
        print(f"{name}: {w['ms'][name]:.0f} ms, {ratio:.3f}x the full search; faiss IndexFlatIP with an "
              f"IDSelectorBatch of the same ids {w['faiss_ms'][name]:.0f} ms (tessaly {w['vs_faiss'][name]:.3f}x)")


def rounds(cells, count):
    """Seconds of each cell, every round all cells back to back in a new order."""
    times = {name: [] for name in cells}
    for r in range(-1, count):  # -1: the warm-up round
        for name in random.Random(2000 + r).sample(list(cells), len(cells)):
            started = time.perf_counter()
            cells[name]()
            if r >= 0:
                times[name].append(time.perf_counter() - started)
    return times


def median_ratio(times, a, b):
    return statistics.median(x / y for x, y in zip(times[a], times[b]))


def bench_arrays(rng):
    """Array-shaped work: building from a 2-D array (with and without the
    int8 copy), answering in arrays, and long batches that let Python run
    (on stores without the copy, as before it existed)."""
    out = {}
    data = rng.standard_normal((1_000_000, 128), dtype=np.float32)
    exported = tessaly.Vectorstore.from_array(data, first_pass=None)
    built = rounds({"numpy copy": lambda: np.array(data, copy=True),
                    "from_array": lambda: tessaly.Vectorstore.from_array(data, first_pass=None),
                    "from_array" + FIRST_PASS: lambda: tessaly.Vectorstore.from_array(data, first_pass="int8"),
                    "to_arrays": exported.to_arrays}, 5)
    for name in ("from_array", "from_array" + FIRST_PASS, "to_arrays"):
        out[name] = median_ratio(built, name, "numpy copy")
        out[name + " ms"] = statistics.median(built[name]) * 1e3
    out["copy_ms"] = statistics.median(built["numpy copy"]) * 1e3
    # The copy alone against numpy's, in rounds of their own: each takes
    # a tenth of a build's time, so three times the rounds cost little.
    copied = rounds({"numpy copy": lambda: np.array(data, copy=True), "to_arrays": exported.to_arrays}, 15)
    out["to_arrays paired"] = median_ratio(copied, "to_arrays", "numpy copy")
    out["to_arrays paired ms"] = {name: statistics.median(t) * 1e3 for name, t in copied.items()}
    del data, exported

    # Element types other than float32 are converted in slabs without the
    # interpreter lock: uint8 images against the same rows as float32.
    images = rng.integers(0, 256, (60_000, 784), dtype=np.uint8)
    images32 = images.astype(np.float32)
    typed = rounds({"uint8": lambda: tessaly.Vectorstore.from_array(images),
                    "float32": lambda: tessaly.Vectorstore.from_array(images32)}, 7)
    out["uint8_vs_float32"] = median_ratio(typed, "uint8", "float32")
    out["typed_ms"] = {name: statistics.median(t) * 1e3 for name, t in typed.items()}
    del images32

    store = tessaly.Vectorstore.from_array(rng.standard_normal((20_000, 64), dtype=np.float32), first_pass=None)
    queries = rng.standard_normal((4_000, 64), dtype=np.float32)
    answered = rounds({"arrays, top 1": lambda: store.search_arrays(queries, 1, 1),
                       "arrays, top 100": lambda: store.search_arrays(queries, 100, 1),
                       "lists, top 100": lambda: store.search_batch(queries, 100)}, 7)
    out["top_100_vs_1"] = median_ratio(answered, "arrays, top 100", "arrays, top 1")
    out["arrays_vs_lists"] = median_ratio(answered, "arrays, top 100", "lists, top 100")
    out["answer_ms"] = {name: statistics.median(t) * 1e3 for name, t in answered.items()}

    # A batch of about 1.5 s over 100,000 x 128.
    store = tessaly.Vectorstore.from_array(rng.standard_normal((100_000, 128), dtype=np.float32), first_pass=None)
    queries = rng.standard_normal((64, 128), dtype=np.float32)
    started = time.perf_counter()
    store.search_batch(queries, 10)
    queries = np.tile(queries, (max(1, round(1.5 / (time.perf_counter() - started))), 1))
    spins, stop = [0], [False]

    def spin():
        while not stop[0]:
            spins[0] += 1
    spinner = threading.Thread(target=spin)
    spinner.start()

    def spin_rate(call):
        before, started = spins[0], time.perf_counter()
        call()
        return (spins[0] - before) / (time.perf_counter() - started)
    free = spin_rate(lambda: time.sleep(1.0))
    out["other_thread"] = spin_rate(lambda: store.search_batch(queries, 10)) / free

    def build_from_images():
        for _ in range(8):  # each store dropped as the next is built
            tessaly.Vectorstore.from_array(images)
    out["other_thread_uint8"] = statistics.median(
        spin_rate(build_from_images) / spin_rate(lambda: time.sleep(0.5)) for _ in range(3))
    del images
    stop[0] = True
    spinner.join()
    fired = []

    def interrupt():
        fired.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(0.3, interrupt).start()
    try:
        store.search_batch(queries, 10)
        out["interrupt"] = float("inf")
    except KeyboardInterrupt:
        out["interrupt"] = time.perf_counter() - fired[0]
    del store

    probe = subprocess.run([sys.executable, "-c", ARRAY_MEMORY_PROBE], capture_output=True, text=True, check=True)
    out["memory"] = int(probe.stdout) / 2**20
    return out


def print_arrays(a):
    print("\n## arrays (medians of the ratios taken within each round)")
    print(f"from_array of 1,000,000 x 128 float32, numpy.array(copy=True) {a['copy_ms']:.0f} ms: "
          f"first_pass=None {a['from_array ms']:.0f} ms ({a['from_array']:.2f}x), "
          f"first_pass=\"int8\" {a['from_array' + FIRST_PASS + ' ms']:.0f} ms ({a['from_array' + FIRST_PASS]:.2f}x)")
    ms = a["to_arrays paired ms"]
    print(f"to_arrays of 1,000,000 x 128: {a['to_arrays ms']:.0f} ms ({a['to_arrays']:.2f}x numpy's copy in those "
          f"rounds); paired with numpy's copy alone, 15 rounds: {ms['to_arrays']:.0f} ms against "
          f"{ms['numpy copy']:.0f} ms ({a['to_arrays paired']:.2f}x)")
    ms = a["answer_ms"]
    print(f"4,000 queries over 20,000 x 64, one thread: search_arrays top 1 {ms['arrays, top 1']:.0f} ms, "
          f"top 100 {ms['arrays, top 100']:.0f} ms ({a['top_100_vs_1']:.2f}x); search_batch top 100 "
          f"{ms['lists, top 100']:.0f} ms (search_arrays {a['arrays_vs_lists']:.2f}x of it)")
    print(f"Ctrl-C 0.3 s into a 1.5 s batch: KeyboardInterrupt {a['interrupt'] * 1e3:.0f} ms after the signal")
    print(f"another thread during a 1.5 s batch: {a['other_thread']:.2f} of its rate with the lock free")
    ms = a["typed_ms"]
    print(f"from_array of 60,000 x 784: uint8 {ms['uint8']:.0f} ms, float32 {ms['float32']:.0f} ms "
          f"({a['uint8_vs_float32']:.2f}x); another thread meanwhile: {a['other_thread_uint8']:.2f} of its "
          f"rate with the lock free")
    print(f"search_arrays over 300,000 queries: {a['memory']:.1f} MiB beside the two result arrays")


def print_batches(result, floor):
    n, d = result["n"], result["d"]
    print(f"\n## batches over {n:,} x {d}, top_k 10 (queries per second; ratios: medians of those within each round)")
    for m, (rows, share) in result["rates"].items():
        print(f"{m} queries per batch:")
        for name, rate, to_faiss, to_twin, note in rows:
            extra = ""
            if name.startswith(("search_batch", "parallel")):
                extra = f"  {n * d * rate / 1e9:6.1f} G pairs/s = {n * d * rate / floor:.2f} of the peak"
            if to_twin is not None:
                extra += f", {to_twin:.2f}x the rate without the copy"
            if note:
                extra += f"  {note}"
            print(f"  {name:<48} {rate:9.1f} q/s  {to_faiss:5.2f}x faiss-1{extra}")
        print(f"  result lists: {share:.1%} of search_batch's time")


def print_adversarial(result):
    print(f"\n## adversarial stores, {result['n']:,} x {result['d']}, top_k 10: with the int8 copy against without "
          f"(medians of the ratios within each round)")
    for label, r in result["sets"].items():
        one, batch = r["search_ms"], r["batch_ms"]
        print(f"{label}: search {one['with']:.2f} ms against {one['without']:.2f} ms ({r['search']:.2f}x); "
              f"search_batch of {BATCHES[0]} queries {batch['with']:.1f} ms against {batch['without']:.1f} ms "
              f"({r['batch']:.2f}x)")


def print_shape(result):
    n, d, raw, floors = result["n"], result["d"], result["raw"], result["floors"]
    print(f"\n## {n:,} x {d}  ({raw / 1e6:.0f} MB of float32)")
    for kind, how in MEMORY_KINDS.items():
        memory = result["memory"][kind]
        print(f"resident memory of the store, {how}: {memory / n:.0f} bytes per entry = "
              f"{memory / raw:.3f}x the raw float32 bytes")
    for t, ms in floors.items():
        print(f"floor, {t} thread{'s' if t > 1 else ''}: {ms:.2f} ms ({raw / ms / 1e6:.1f} GB/s)")
    print(f"ratios: medians of the ratios taken within each round; rows ending '{FIRST_PASS[2:]}' run on the "
          f"store with the int8 copy, the others on the store without it")
    print(f"{'top_k':>6} {'method':<48} {'ms/query':>9} {'vs faiss-1':>10} {'vs floor':>9} {'vs no copy':>10}")
    for k, rows in result["rows"].items():
        for name, _, ms, to_floor, to_faiss, to_twin, note in rows:
            twin = f"{to_twin:>9.2f}x" if to_twin is not None else " " * 10
            print(f"{k:>6} {name:<48} {ms:>9.2f} {to_faiss:>9.2f}x {to_floor:>8.2f}x {twin}  {note}".rstrip())


def lookup(result, k, name, column=2):
    """A row's median time (column 2), ratio to its floor (3), to faiss-1 (4)
    or to its twin without the copy (5)."""
    return next(row[column] for row in result["rows"][k] if row[0] == name)


def bounded(text, value, bound, at_most, applies):
    """A target line: checked where it applies, else only reported."""
    if not applies:
        return (f"{text} (reported)", value, True)
    return (f"{text} {'<=' if at_most else '>='} {bound}", value, value <= bound if at_most else value >= bound)


# The first pass's targets hold at these shapes (the others are reported).
FIRST_PASS_SEARCH_SHAPES = {(1_000_000, 128), (100_000, 768)}
FIRST_PASS_BATCH_SHAPES = {(100_000, 128), (1_000_000, 128)}
FIRST_PASS_BATCH_QUERIES = 256


def targets(summary, rates, paths, batches=(), floor=None, arrays=None, adversarial=None, where=None):
    """(target, measured, met) for every shape and top_k."""
    out = []
    share_bound = 0.85 if "avx512" in paths else 0.8
    for r in batches:
        shape = f"{r['n']:,} x {r['d']}"
        for m, (rows, _) in r["rates"].items():
            rate = {row[0]: row for row in rows}
            batch = rate["search_batch"][1]
            share = r["n"] * r["d"] * batch / floor
            out.append((f"{shape}, {m} queries: search_batch pairs/s / multiply-add peak >= {share_bound}", share,
                        share >= share_bound))
            out.append((f"{shape}, {m} queries: search_batch / faiss batch 1 thread (reported)",
                        rate["search_batch"][2], True))
            loop = rate["loop of search"][1]
            out.append((f"{shape}, {m} queries: search_batch / loop of search >= 3", batch / loop, batch / loop >= 3))
            parallel = rate["parallel_search_batch(n_threads=2)"][1]
            out.append((f"{shape}, {m} queries: parallel_search_batch(2) / search_batch >= 1.85", parallel / batch,
                        parallel / batch >= 1.85))
            applies = (r["n"], r["d"]) in FIRST_PASS_BATCH_SHAPES and m == FIRST_PASS_BATCH_QUERIES
            _, fast, to_faiss, _, _ = rate["search_batch" + FIRST_PASS]
            out.append(bounded(f"{shape}, {m} queries: search_batch{FIRST_PASS} pairs/s / multiply-add peak",
                               r["n"] * r["d"] * fast / floor, 2.0, False, applies))
            out.append(bounded(f"{shape}, {m} queries: search_batch{FIRST_PASS} / faiss batch 1 thread",
                               to_faiss, 2.5, False, applies))
    for r in summary:
        shape = f"{r['n']:,} x {r['d']}"
        k = TOP_KS[0]
        search = f"search ({r['best']})"
        to_floor = lookup(r, k, search, 3)
        out.append((f"{shape}, top {k}: search / 1-thread floor <= 1.05", to_floor, to_floor <= 1.05))
        to_faiss = lookup(r, k, search, 4)
        out.append((f"{shape}, top {k}: search / faiss 1 thread <= 0.8", to_faiss, to_faiss <= 0.8))
        for path, bound in (("avx512", 1.10), ("avx2", 1.10), ("sse2", 1.3)):
            if path in paths:
                ratio = lookup(r, k, f"search on {path}", 3)
                out.append((f"{shape}, top {k}: {path} path / 1-thread floor <= {bound}", ratio, ratio <= bound))
        parallel = lookup(r, k, "parallel_search(n_threads=2)", 3)
        out.append((f"{shape}, top {k}: parallel_search(2) / 2-thread floor <= 1.15", parallel, parallel <= 1.15))
        ratio = lookup(r, 1000, search) / lookup(r, 10, search)
        out.append((f"{shape}: search top 1000 / top 10 <= 1.1", ratio, ratio <= 1.1))
        applies = (r["n"], r["d"]) in FIRST_PASS_SEARCH_SHAPES
        out.append(bounded(f"{shape}, top {k}: {search}{FIRST_PASS} / 1-thread floor",
                           lookup(r, k, search + FIRST_PASS, 3), 0.40, True, applies))
        if "avx2" in paths:
            out.append(bounded(f"{shape}, top {k}: search on avx2{FIRST_PASS} / 1-thread floor",
                               lookup(r, k, f"search on avx2{FIRST_PASS}", 3), 0.5, True, applies))
        out.append(bounded(f"{shape}, top {k}: parallel_search(2){FIRST_PASS} / 2-thread floor",
                           lookup(r, k, "parallel_search(n_threads=2)" + FIRST_PASS, 3), 0.45, True, applies))
        memory = {kind: r["memory"][kind] / r["raw"] for kind in MEMORY_KINDS}
        at_128 = r["d"] == 128
        out.append(bounded(f"{shape}: resident memory / raw bytes, constructor", memory["pairs"], 1.03, True, at_128))
        out.append(bounded(f"{shape}: resident memory / raw bytes, from_array without the copy", memory["none"],
                           1.02, True, at_128))
        out.append(bounded(f"{shape}: resident memory / raw bytes, from_array with the copy", memory["int8"], 1.30,
                           True, at_128))
    if adversarial:
        for label, a in adversarial["sets"].items():
            for method in ("search", "batch"):
                name = "search" if method == "search" else f"search_batch ({BATCHES[0]} queries)"
                out.append(bounded(f"{label}: {name} with the copy / without", a[method], 1.3, True, True))
    (constructor, inserting), _ = rates
    out.append(("numpy rows, constructor: million rows/s >= 3", constructor / 1e6, constructor >= 3e6))
    out.append(("numpy rows, insert: million rows/s >= 3", inserting / 1e6, inserting >= 3e6))
    if arrays:
        a = arrays
        fast = a["from_array" + FIRST_PASS]
        out += [
            ("from_array(first_pass=None) / numpy copy of 1,000,000 x 128 float32 <= 2", a["from_array"],
             a["from_array"] <= 2),
            ('from_array(first_pass="int8") / numpy copy of 1,000,000 x 128 float32 <= 2.5', fast, fast <= 2.5),
            ("to_arrays / numpy copy of 1,000,000 x 128 float32 <= 1.5", a["to_arrays paired"],
             a["to_arrays paired"] <= 1.5),
            ("search_arrays top_k 100 / top_k 1 (4,000 queries, 20,000 x 64, one thread) <= 1.5",
             a["top_100_vs_1"], a["top_100_vs_1"] <= 1.5),
            ("search_arrays / search_batch at top_k 100 <= 0.7", a["arrays_vs_lists"], a["arrays_vs_lists"] <= 0.7),
            ("Ctrl-C during a long batch: seconds to KeyboardInterrupt <= 0.25", a["interrupt"], a["interrupt"] <= 0.25),
            ("another thread during a long batch: its rate / its rate alone >= 0.5", a["other_thread"],
             a["other_thread"] >= 0.5),
            ("from_array of 60,000 x 784: uint8 / float32 <= 1.5", a["uint8_vs_float32"],
             a["uint8_vs_float32"] <= 1.5),
            ("another thread during from_array of uint8: its rate / its rate alone >= 0.5",
             a["other_thread_uint8"], a["other_thread_uint8"] >= 0.5),
            ("search_arrays over 300,000 queries: MiB beside the result arrays <= 64", a["memory"], a["memory"] <= 64),
        ]
    if where:
        r = where["ratio"]
        out += [
            ("where=, 10% as one run / full search (1,000,000 x 128, 256 queries) <= 0.2", r["10% as one run"],
             r["10% as one run"] <= 0.2),
            ("where=, 10% at random / full search <= 1.05", r["10% at random"], r["10% at random"] <= 1.05),
            ("where=, 90% at random / full search <= 1.05", r["90% at random"], r["90% at random"] <= 1.05),
        ]
    return out


def plot(summary, label, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(len(TOP_KS), len(summary), figsize=(6.2 * len(summary), 5.6 * len(TOP_KS)),
                                squeeze=False)
    for column, r in enumerate(summary):
        for row, k in enumerate(TOP_KS):
            ax = axes[row][column]
            names = [row[0] for row in r["rows"][k]]
            times = [row[2] for row in r["rows"][k]]
            colours = ["#55a868" if name.endswith(FIRST_PASS) else "#4c72b0" if name.startswith(("search", "parallel"))
                       else "#999999" for name in names]
            ax.barh(range(len(names)), times, color=colours)
            ax.set_yticks(range(len(names)), names, fontsize=8)
            ax.invert_yaxis()
            for t, style in ((1, "-"), (2, "--")):
                ax.axvline(r["floors"][t], color="#c44e52", linestyle=style, linewidth=1.2,
                           label=f"floor, {t} thread{'s' if t > 1 else ''}")
            ax.set_title(f"{r['n']:,} x {r['d']}, top_k {k}", fontsize=10)
            ax.set_xlabel("ms per query (median)")
            if row == 0 and column == 0:
                ax.legend(fontsize=8, loc="lower right")
    figure.suptitle(f"Exact top-k cosine search, tessaly (blue; with the int8 first pass, green) and peers\n{label}",
                    fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="only the smallest shape")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the table as a chart")
    parser.add_argument("--only", choices=("single", "batch", "adversarial", "arrays"),
                        help="only one section (and the build rates)")
    args = parser.parse_args()
    threads = len(os.sched_getaffinity(0))
    paths = hooks.kernel_paths()
    model, flags = processor()
    print(f"processor: {model}; {os.cpu_count()} processors, {threads} usable; flags: {' '.join(flags)}")
    print(f"kernel paths: {', '.join(paths)}; search uses {hooks.search_path()}")
    dropped = ", ".join(f"{name}={value}" for name, value in DROPPED_BLAS_SETTINGS.items()) or "none"
    print(f"tessaly (CPython {sys.version.split()[0]}), faiss {faiss.__version__} ({faiss_build()}), "
          f"hnswlib {getattr(hnswlib, '__version__', '')}, numpy {np.__version__}, BLAS: {blas()}; "
          f"BLAS settings dropped for the peers: {dropped}")
    print(f"median of {QUERIES} queries after a warm-up, methods and floors taken in turn")
    rng = np.random.default_rng(2026)
    shapes = SHAPES[:1] if args.quick else SHAPES
    summary, batches, adversarial, arrays, masked = [], [], None, None, None
    if args.only in (None, "single"):
        for n, d in shapes:
            summary.append(bench_shape(n, d, rng, threads, paths))
            print_shape(summary[-1])
    floor = statistics.median(hooks.multiply_add_rate() for _ in range(5))
    print(f"\n## arithmetic floor: {floor / 1e9:.1f} G multiply-then-add pairs per second, one thread")
    if args.only in (None, "batch"):
        for n, d in shapes:
            batches.append(bench_batches(n, d, rng, threads))
            print_batches(batches[-1], floor)
    if args.only in (None, "adversarial"):
        adversarial = bench_adversarial(rng)
        print_adversarial(adversarial)
    if args.only in (None, "arrays"):
        arrays = bench_arrays(rng)
        print_arrays(arrays)
        masked = bench_where(rng, threads)
        print_where(masked)
    rates = build_rates(128, rng)
    (constructor, inserting), (cold_constructor, cold_inserting) = rates
    print(f"\n## building a store of {BUILD_ROWS:,} x 128 from numpy rows (list of pairs made beforehand)")
    print(f"constructor {constructor / 1e6:.2f} million rows/s, insert {inserting / 1e6:.2f} million rows/s "
          f"(first, cold round: {cold_constructor / 1e6:.2f} and {cold_inserting / 1e6:.2f})")
    print("\n## targets")
    for name, value, met in targets(summary, rates, paths, batches, floor, arrays, adversarial, masked):
        print(f"{'met ' if met else 'MISS'} {value:6.2f}  {name}")
    if args.plot and summary:
        plot(summary, f"{model}, search on the {hooks.search_path()} path", args.plot)
        print(f"\nchart: {args.plot}")


if __name__ == "__main__":
    main()
