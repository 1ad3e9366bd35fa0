"""Side-by-side latency of exact top-k cosine search, against the floor of
reading the same bytes.

    tools/python bench/compare.py                    # every shape (a few minutes)
    tools/python bench/compare.py --quick            # the smallest shape only
    tools/python bench/compare.py --plot chart.png   # also draw the table

One run, one machine, the same data for every tool (float32 standard normal,
fixed seed). Latency is the median over QUERIES queries after a warm-up, in
ms per query; every method and floor is timed once per query in turn (in a
new order each round), so that a drift in the machine's speed touches all of
them alike, each right after an untimed call of its own (a store that fits
in cache is then found there, as by a stream of queries). faiss
(IndexFlatIP, one query per call), hnswlib (BFIndex, cosine) and numpy work
on their own copies (faiss and numpy on L2-normalised rows, their fastest
exact cosine), faiss and numpy on OpenBLAS limited to the row's threads;
tessaly scores the raw vectors with its bit-exact kernels, through `search`
on the best kernel path and, by the test hooks, on every path the
processor has.

The floor is measured natively by the test hooks: one read of a contiguous
matrix of the store's bytes, with independent accumulators, on one and on
two threads. Every time is stated as a ratio to the floor of its thread
count (two threads for the methods that use more).

The batch section answers 64 and 256 queries per call (top_k 10) and
reports queries per second: tessaly's batch methods, a loop of `search`,
faiss's batch (one thread), numpy (a matrix product and a partition per
query, one thread) and hnswlib's BFIndex (one thread). A batch is bound by
arithmetic, not memory, so its floor is the core's rate of multiplies and
adds (one thread, independent chains in registers, measured natively), and
tessaly's pairs per second (entries x elements x queries) are quoted as a
share of it. The rows include making the result lists; their share of the
time is reported too.
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import time

import faiss
import hnswlib
import numpy as np
from threadpoolctl import threadpool_info, threadpool_limits

import _tessaly_testhooks as hooks
import tessaly

SHAPES = [(100_000, 128), (1_000_000, 128), (100_000, 768)]
TOP_KS = [10, 1000]
QUERIES = 21
BATCHES = [64, 256]  # queries per batch, top_k 10
BATCH_ROUNDS = 5
LOOPED = 16  # queries of a batch timed one search at a time (its cost per query is constant)
BUILD_ROWS = 200_000
FLAGS = ("sse2", "avx2", "avx512f", "fma", "asimd")

# Resident memory a store adds, as its user sees it: the growth of the
# resident set while the constructor builds it from numpy rows (the list of
# pairs made beforehand), in a fresh process.
MEMORY_PROBE = """
import gc, os, sys
import numpy as np
import tessaly
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
n, d = int(sys.argv[1]), int(sys.argv[2])
data = np.random.default_rng(1).standard_normal((n, d), dtype=np.float32)
pairs = [(row, i) for i, row in enumerate(data)]
gc.collect()
before = resident()
store = tessaly.Vectorstore(d, pairs)
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
    found = [f"{i['internal_api']} {i.get('version') or ''}".strip() for i in threadpool_info()
             if i.get("user_api") == "blas"]
    return ", ".join(sorted(set(found))) or "no BLAS found by threadpoolctl"


def stores(data):
    """tessaly's store of the rows, and the peers' indexes of the same rows."""
    n, d = data.shape
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    store = tessaly.Vectorstore(d, [(row, i) for i, row in enumerate(data)])
    index = faiss.IndexFlatIP(d)
    index.add(unit)
    brute = hnswlib.BFIndex(space="cosine", dim=d)
    brute.init_index(max_elements=n)
    brute.add_items(data, np.arange(n))
    return unit, store, index, brute


def store_memory(n, d):
    probe = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(n), str(d)],
                           capture_output=True, text=True, check=True)
    return int(probe.stdout)


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
    unit, store, index, brute = stores(data)
    memory = store_memory(n, d)

    best = hooks.search_path()
    floor_reads = {t: (lambda t=t: hooks.stream_buffer(data, t)) for t in (1, 2)}
    samples = {t: [] for t in floor_reads}
    rows = {}
    for k in TOP_KS:
        def faiss_search(q, t):
            with threadpool_limits(t):  # OpenMP and OpenBLAS alike
                return index.search(q.reshape(1, -1), k)

        def on_one_thread(method):
            def run(q):
                with threadpool_limits(1):
                    return method(q)
            return run
        cells = [
            ("faiss IndexFlatIP, 1 thread", 1, lambda q: faiss_search(q, 1), unit_queries),
            (f"faiss IndexFlatIP, {threads} threads", threads, lambda q: faiss_search(q, threads),
             unit_queries),
            ("hnswlib BFIndex (cosine)", 1, lambda q: brute.knn_query(q, k), queries),
            ("numpy, 1 thread", 1, on_one_thread(lambda q: numpy_top_k(unit, q, k)), unit_queries),
            (f"search ({best})", 1, lambda q: store.search(q, k), queries),
        ]
        cells += [(f"search on {path}", 1, lambda q, p=path: hooks.search_on_path(store, q, k, p),
                   queries) for path in paths if path != "scalar"]
        cells += [("parallel_search(n_threads=2)", 2, lambda q: store.parallel_search(q, k, 2), queries),
                  ("parallel_search()", threads, lambda q: store.parallel_search(q, k), queries)]
        # Round robin: every method (and the floors) once per query, so that
        # a change in the machine's speed during the run touches all alike.
        # In a new order every round, so that no method always follows the
        # same neighbour (which may have pushed its data out of the cache).
        times = [[] for _ in cells]
        turns = [("floor", t) for t in floor_reads] + [("cell", i) for i in range(len(cells))]
        for q in range(-1, QUERIES):  # -1: the warm-up round
            for kind, key in random.Random(q).sample(turns, len(turns)):
                if kind == "floor":
                    floor_reads[key]()
                    elapsed = floor_reads[key]()
                    if q >= 0 and k == TOP_KS[0]:
                        samples[key].append(elapsed)
                    continue
                _, _, run, qs = cells[key]
                run(qs[q - 1])  # the method's own data back in cache, where it fits
                started = time.perf_counter()
                run(qs[q])
                if q >= 0:
                    times[key].append(time.perf_counter() - started)
        rows[k] = [(name, t, statistics.median(cell) * 1e3) for (name, t, _, _), cell in zip(cells, times)]
    floors = {t: statistics.median(samples[t]) * 1e3 for t in floor_reads}
    del store, index, brute
    return {"n": n, "d": d, "raw": raw, "memory": memory, "floors": floors, "rows": rows}


def numpy_batch(unit, queries, k):
    scores = unit @ queries.T
    top = np.argpartition(-scores, k - 1, axis=0)[:k]
    return [column[np.argsort(-scores[column, j], kind="stable")] for j, column in enumerate(top.T)]


def bench_batches(n, d, rng, threads):
    """Queries per second of each batch method, for each batch size."""
    unit, store, index, brute = stores(rng.standard_normal((n, d), dtype=np.float32))
    best = hooks.search_path()
    results = {}
    for m in BATCHES:
        queries = rng.standard_normal((m, d), dtype=np.float32)
        unit_queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)

        def faiss_batch():
            with threadpool_limits(1):  # OpenMP and OpenBLAS alike
                index.search(unit_queries, 10)

        def numpy_one_thread():
            with threadpool_limits(1):
                numpy_batch(unit, unit_queries, 10)
        # (name, run, queries answered per run)
        cells = [
            ("search_batch", lambda: store.search_batch(queries, 10), m),
            ("parallel_search_batch(n_threads=2)", lambda: store.parallel_search_batch(queries, 10, 2), m),
            ("loop of search", lambda: [store.search(q, 10) for q in queries[:LOOPED]], min(m, LOOPED)),
            ("faiss IndexFlatIP batch, 1 thread", faiss_batch, m),
            ("numpy, 1 thread", numpy_one_thread, m),
            ("hnswlib BFIndex, 1 thread", lambda: brute.knn_query(queries, 10, num_threads=1), m),
        ]
        times = [[] for _ in cells]
        for r in range(-1, BATCH_ROUNDS):  # -1: the warm-up round
            for i in random.Random(1000 + r).sample(range(len(cells)), len(cells)):
                started = time.perf_counter()
                cells[i][1]()
                if r >= 0:
                    times[i].append(time.perf_counter() - started)
        # The share of making the result lists: the same batch with and
        # without them, back to back, the median of the differences.
        with_lists, without = [], []
        for _ in range(2 * BATCH_ROUNDS + 1):
            started = time.perf_counter()
            store.search_batch(queries, 10)
            middle = time.perf_counter()
            hooks.search_batch_on_path(store, queries, 10, best, False)
            with_lists.append(middle - started)
            without.append(time.perf_counter() - middle)
        share = statistics.median(a - b for a, b in zip(with_lists, without)) / statistics.median(with_lists)
        results[m] = ([(name, count / statistics.median(t)) for (name, _, count), t in zip(cells, times)], share)
    del store, index, brute
    return {"n": n, "d": d, "rates": results}


def print_batches(result, floor):
    n, d = result["n"], result["d"]
    print(f"\n## batches over {n:,} x {d}, top_k 10 (queries per second)")
    for m, (rows, share) in result["rates"].items():
        rates = dict(rows)
        faiss1 = rates["faiss IndexFlatIP batch, 1 thread"]
        print(f"{m} queries per batch:")
        for name, rate in rows:
            extra = ""
            if name.startswith(("search_batch", "parallel")):
                extra = f"  {n * d * rate / 1e9:6.1f} G pairs/s = {n * d * rate / floor:.2f} of the floor"
            print(f"  {name:<36} {rate:9.1f} q/s  {rate / faiss1:5.2f}x faiss-1{extra}")
        print(f"  result lists: {share:.1%} of search_batch's time")


def print_shape(result):
    n, d, raw, floors = result["n"], result["d"], result["raw"], result["floors"]
    print(f"\n## {n:,} x {d}  ({raw / 1e6:.0f} MB of float32)")
    print(f"resident memory of the store: {result['memory'] / n:.0f} bytes per entry = "
          f"{result['memory'] / raw:.3f}x the raw float32 bytes")
    for t, ms in floors.items():
        print(f"floor, {t} thread{'s' if t > 1 else ''}: {ms:.2f} ms ({raw / ms / 1e6:.1f} GB/s)")
    print(f"{'top_k':>6} {'method':<32} {'ms/query':>9} {'vs faiss-1':>10} {'vs floor':>9}")
    for k, rows in result["rows"].items():
        reference = rows[0][2]
        for name, t, ms in rows:
            print(f"{k:>6} {name:<32} {ms:>9.2f} {ms / reference:>9.2f}x {ms / floors[min(t, 2)]:>8.2f}x")


def lookup(result, k, prefix):
    return next(ms for name, _, ms in result["rows"][k] if name.startswith(prefix))


def targets(summary, rates, paths, batches=(), floor=None):
    """(target, measured, met) for every shape and top_k."""
    out = []
    for r in batches:
        shape = f"{r['n']:,} x {r['d']}"
        for m, (rows, _) in r["rates"].items():
            rate = dict(rows)
            batch, faiss1 = rate["search_batch"], rate["faiss IndexFlatIP batch, 1 thread"]
            out.append((f"{shape}, {m} queries: search_batch / faiss batch 1 thread >= 0.6", batch / faiss1,
                        batch / faiss1 >= 0.6))
            loop = rate["loop of search"]
            out.append((f"{shape}, {m} queries: search_batch / loop of search >= 3", batch / loop, batch / loop >= 3))
            share = r["n"] * r["d"] * batch / floor
            out.append((f"{shape}, {m} queries: search_batch pairs/s / arithmetic floor >= 0.5", share, share >= 0.5))
            parallel = rate["parallel_search_batch(n_threads=2)"]
            out.append((f"{shape}, {m} queries: parallel_search_batch(2) / search_batch >= 1.7", parallel / batch,
                        parallel / batch >= 1.7))
    for r in summary:
        shape = f"{r['n']:,} x {r['d']}"
        one, two = r["floors"][1], r["floors"][2]
        k = TOP_KS[0]
        search = lookup(r, k, "search (")
        faiss1 = lookup(r, k, "faiss IndexFlatIP, 1 thread")
        out.append((f"{shape}, top {k}: search / faiss 1 thread <= 0.8", search / faiss1, search / faiss1 <= 0.8))
        for path, bound in (("avx512", 1.10), ("avx2", 1.10), ("sse2", 1.3)):
            if path in paths:
                ms = lookup(r, k, f"search on {path}")
                out.append((f"{shape}, top {k}: {path} path / 1-thread floor <= {bound}", ms / one, ms / one <= bound))
        parallel = lookup(r, k, "parallel_search(n_threads=2)")
        out.append((f"{shape}, top {k}: parallel_search(2) / 2-thread floor <= 1.15",
                    parallel / two, parallel / two <= 1.15))
        ratio = lookup(r, 1000, "search (") / lookup(r, 10, "search (")
        out.append((f"{shape}: search top 1000 / top 10 <= 1.1", ratio, ratio <= 1.1))
        bound = 1.03 if r["d"] == 128 else None
        out.append((f"{shape}: resident memory / raw bytes" + (f" <= {bound}" if bound else " (reported)"),
                    r["memory"] / r["raw"], bound is None or r["memory"] / r["raw"] <= bound))
    (constructor, inserting), _ = rates
    out.append(("numpy rows, constructor: million rows/s >= 3", constructor / 1e6, constructor >= 3e6))
    out.append(("numpy rows, insert: million rows/s >= 3", inserting / 1e6, inserting >= 3e6))
    return out


def plot(summary, label, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(len(TOP_KS), len(summary), figsize=(5.2 * len(summary), 4.2 * len(TOP_KS)),
                                squeeze=False)
    for column, r in enumerate(summary):
        for row, k in enumerate(TOP_KS):
            ax = axes[row][column]
            names = [name for name, _, _ in r["rows"][k]]
            times = [ms for _, _, ms in r["rows"][k]]
            colours = ["#4c72b0" if name.startswith(("search", "parallel")) else "#999999" for name in names]
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
    figure.suptitle(f"Exact top-k cosine search, tessaly (blue) and peers\n{label}", fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="only the smallest shape")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the table as a chart")
    parser.add_argument("--only", choices=("single", "batch"), help="only one section (and the build rates)")
    args = parser.parse_args()
    threads = len(os.sched_getaffinity(0))
    paths = hooks.kernel_paths()
    model, flags = processor()
    print(f"processor: {model}; {os.cpu_count()} processors, {threads} usable; flags: {' '.join(flags)}")
    print(f"kernel paths: {', '.join(paths)}; search uses {hooks.search_path()}")
    print(f"tessaly (CPython {sys.version.split()[0]}), faiss {faiss.__version__}, "
          f"hnswlib {getattr(hnswlib, '__version__', '')}, numpy {np.__version__}, BLAS: {blas()}; "
          f"median of {QUERIES} queries after a warm-up, methods and floors taken in turn")
    rng = np.random.default_rng(2026)
    shapes = SHAPES[:1] if args.quick else SHAPES
    summary, batches = [], []
    if args.only != "batch":
        for n, d in shapes:
            summary.append(bench_shape(n, d, rng, threads, paths))
            print_shape(summary[-1])
    floor = statistics.median(hooks.multiply_add_rate() for _ in range(5))
    print(f"\n## arithmetic floor: {floor / 1e9:.1f} G multiply-then-add pairs per second, one thread")
    if args.only != "single":
        for n, d in shapes:
            batches.append(bench_batches(n, d, rng, threads))
            print_batches(batches[-1], floor)
    rates = build_rates(128, rng)
    (constructor, inserting), (cold_constructor, cold_inserting) = rates
    print(f"\n## building a store of {BUILD_ROWS:,} x 128 from numpy rows (list of pairs made beforehand)")
    print(f"constructor {constructor / 1e6:.2f} million rows/s, insert {inserting / 1e6:.2f} million rows/s "
          f"(first, cold round: {cold_constructor / 1e6:.2f} and {cold_inserting / 1e6:.2f})")
    print("\n## targets")
    for name, value, met in targets(summary, rates, paths, batches, floor):
        print(f"{'met ' if met else 'MISS'} {value:6.2f}  {name}")
    if args.plot and summary:
        plot(summary, f"{model}, search on the {hooks.search_path()} path", args.plot)
        print(f"\nchart: {args.plot}")


if __name__ == "__main__":
    main()
