"""Side-by-side latency of exact top-k cosine search, against the floor of
reading the same bytes.

    tools/python bench/compare.py                    # every shape (a few minutes)
    tools/python bench/compare.py --quick            # the smallest shape only
    tools/python bench/compare.py --plot chart.png   # also draw the table

One run, one machine, the same data for every tool (float32 standard normal,
fixed seed). Latency is the median over QUERIES queries after a warm-up, in
ms per query; every method and floor is timed once per query in turn (in
a new order each round), so that a drift in the machine's speed touches all
of them alike, each right after an untimed call of its own (a store that
fits in cache is then found there, as by a stream of queries). faiss (IndexFlatIP), hnswlib (BFIndex, cosine) and numpy work
on their own copies (faiss and numpy on L2-normalised rows, their fastest
exact cosine); tessaly scores the raw vectors with its bit-exact kernel,
through `search` on the best kernel path and, by the test hooks, on every
path the processor has.

The floor is measured natively by the test hooks: one read of exactly the
bytes a search reads (every entry's array, in store order) and, beside it,
of a contiguous matrix of the same size, each with independent accumulators
on one and on two threads, the faster of a plain read and one prefetching
by hand. Every time is stated as a ratio to both floors of its thread count
(two threads for the methods that use more).
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

import _tessaly_testhooks as hooks
import tessaly

SHAPES = [(100_000, 128), (1_000_000, 128), (100_000, 768)]
TOP_KS = [10, 1000]
QUERIES = 21
BUILD_ROWS = 200_000
FLAGS = ("sse2", "avx2", "avx512f", "fma")

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
# numpy keeps ~80 bytes of buffer description on each row the first time
# the row's buffer is read; that is numpy's memory, not the store's.
for row, _ in pairs:
    memoryview(row)
gc.collect()
before = resident()
store = tessaly.Vectorstore(d, pairs)
print(resident() - before)
"""


def processor():
    """The processor's model name and the instruction sets that matter here."""
    model, flags = "unknown processor", set()
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            key, _, value = line.partition(":")
            if key.strip() == "model name":
                model = value.strip()
            elif key.strip() == "flags":
                flags = set(value.split())
                break
    return model, [flag for flag in FLAGS if flag in flags]


def store_memory(n, d):
    """Resident bytes a store of n x d adds, measured in a fresh process."""
    probe = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(n), str(d)],
                           capture_output=True, text=True, check=True)
    return int(probe.stdout)


def numpy_top_k(unit, q, k):
    scores = unit @ q
    top = np.argpartition(-scores, k - 1)[:k] if k < len(scores) else np.arange(len(scores))
    return top[np.argsort(-scores[top], kind="stable")]


def build_rates(d, rng):
    """Rows per second into a store, from numpy rows."""
    rows = rng.standard_normal((BUILD_ROWS, d), dtype=np.float32)
    pairs = [(row, i) for i, row in enumerate(rows)]
    started = time.perf_counter()
    tessaly.Vectorstore(d, pairs)
    constructor = time.perf_counter() - started
    store = tessaly.Vectorstore(d)
    insert = store.insert
    started = time.perf_counter()
    for vector, i in pairs:
        insert(vector, i)
    inserting = time.perf_counter() - started
    return BUILD_ROWS / constructor, BUILD_ROWS / inserting


def bench_shape(n, d, rng, threads, paths):
    data = rng.standard_normal((n, d), dtype=np.float32)
    queries = rng.standard_normal((QUERIES, d), dtype=np.float32)
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    unit_queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    raw = data.nbytes

    store = tessaly.Vectorstore(d, [(row, i) for i, row in enumerate(data)])
    memory = store_memory(n, d)
    index = faiss.IndexFlatIP(d)
    index.add(unit)
    brute = hnswlib.BFIndex(space="cosine", dim=d)
    brute.init_index(max_elements=n)
    brute.add_items(data, np.arange(n))

    best = hooks.search_path()
    floor_reads = {(t, kind): read for t in (1, 2) for kind, read in
                   (("store", lambda t=t: hooks.stream_store(store, t)),
                    ("matrix", lambda t=t: hooks.stream_buffer(data, t)))}
    samples = {key: [] for key in floor_reads}
    rows = {}
    for k in TOP_KS:
        def faiss_search(q, t):
            faiss.omp_set_num_threads(t)
            return index.search(q.reshape(1, -1), k)
        cells = [
            ("faiss IndexFlatIP, 1 thread", 1, lambda q: faiss_search(q, 1), unit_queries),
            (f"faiss IndexFlatIP, {threads} threads", threads, lambda q: faiss_search(q, threads),
             unit_queries),
            ("hnswlib BFIndex (cosine)", 1, lambda q: brute.knn_query(q, k), queries),
            ("numpy brute force", 1, lambda q: numpy_top_k(unit, q, k), unit_queries),
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
        turns = [("floor", key) for key in floor_reads] + [("cell", i) for i in range(len(cells))]
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
        faiss.omp_set_num_threads(1)
    floors = {t: {kind: statistics.median(samples[t, kind]) * 1e3 for kind in ("store", "matrix")}
              for t in (1, 2)}
    del store, index, brute
    return {"n": n, "d": d, "raw": raw, "memory": memory, "floors": floors, "rows": rows}


def print_shape(result):
    n, d, raw, floors = result["n"], result["d"], result["raw"], result["floors"]
    print(f"\n## {n:,} x {d}  ({raw / 1e6:.0f} MB of float32)")
    print(f"resident memory of the store: {result['memory'] / n:.0f} bytes per entry = "
          f"{result['memory'] / raw:.3f}x the raw float32 bytes")
    for t in (1, 2):
        store_ms, matrix_ms = floors[t]["store"], floors[t]["matrix"]
        print(f"floor, {t} thread{'s' if t > 1 else ''}: store order {store_ms:.2f} ms "
              f"({raw / store_ms / 1e6:.1f} GB/s), contiguous matrix {matrix_ms:.2f} ms "
              f"({raw / matrix_ms / 1e6:.1f} GB/s)")
    print(f"{'top_k':>6} {'method':<32} {'ms/query':>9} {'vs faiss-1':>10} "
          f"{'vs store floor':>15} {'vs matrix floor':>16}")
    for k, rows in result["rows"].items():
        reference = rows[0][2]
        for name, t, ms in rows:
            floor = floors[min(t, 2)]
            print(f"{k:>6} {name:<32} {ms:>9.2f} {ms / reference:>9.2f}x "
                  f"{ms / floor['store']:>14.2f}x {ms / floor['matrix']:>15.2f}x")


def lookup(result, k, prefix):
    return next(ms for name, _, ms in result["rows"][k] if name.startswith(prefix))


def targets(summary, rates, paths):
    """(target, measured, met) for every shape and top_k."""
    out = []
    best = hooks.search_path()
    for r in summary:
        shape = f"{r['n']:,} x {r['d']}"
        one, two = r["floors"][1]["store"], r["floors"][2]["store"]
        for k in TOP_KS:
            search = lookup(r, k, "search (")
            faiss1 = lookup(r, k, "faiss IndexFlatIP, 1 thread")
            out.append((f"{shape}, top {k}: search ({best}) / 1-thread floor <= 1.15",
                        search / one, search / one <= 1.15))
            out.append((f"{shape}, top {k}: search / faiss 1 thread <= 0.9",
                        search / faiss1, search / faiss1 <= 0.9))
            if "avx2" in paths:
                avx2 = lookup(r, k, "search on avx2")
                out.append((f"{shape}, top {k}: avx2 path / 1-thread floor <= 1.2", avx2 / one, avx2 / one <= 1.2))
            sse2 = lookup(r, k, "search on sse2")
            out.append((f"{shape}, top {k}: sse2 path / 1-thread floor (reported)", sse2 / one, True))
            parallel = lookup(r, k, "parallel_search(n_threads=2)")
            out.append((f"{shape}, top {k}: parallel_search(2) / 2-thread floor <= 1.25",
                        parallel / two, parallel / two <= 1.25))
        ratio = lookup(r, 1000, "search (") / lookup(r, 10, "search (")
        out.append((f"{shape}: search top 1000 / top 10 <= 1.2", ratio, ratio <= 1.2))
        out.append((f"{shape}: resident memory / raw bytes <= 1.15", r["memory"] / r["raw"],
                    r["memory"] / r["raw"] <= 1.15))
    constructor, inserting = rates
    out.append(("numpy rows, constructor: million rows/s >= 3", constructor / 1e6, constructor >= 3e6))
    out.append(("numpy rows, insert: million rows/s >= 3", inserting / 1e6, inserting >= 3e6))
    return out


def plot(summary, floor_label, path):
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
                ax.axvline(r["floors"][t]["store"], color="#c44e52", linestyle=style, linewidth=1.2,
                           label=f"floor, {t} thread{'s' if t > 1 else ''}")
            ax.set_title(f"{r['n']:,} x {r['d']}, top_k {k}", fontsize=10)
            ax.set_xlabel("ms per query (median)")
            if row == 0 and column == 0:
                ax.legend(fontsize=8, loc="lower right")
    figure.suptitle(f"Exact top-k cosine search, tessaly (blue) and peers\n{floor_label}", fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="only the smallest shape")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the table as a chart")
    args = parser.parse_args()
    threads = len(os.sched_getaffinity(0))
    paths = hooks.kernel_paths()
    model, flags = processor()
    print(f"processor: {model}; {os.cpu_count()} processors, {threads} usable; flags: {' '.join(flags)}")
    print(f"kernel paths: {', '.join(paths)}; search uses {hooks.search_path()}")
    print(f"tessaly (CPython {sys.version.split()[0]}), faiss {faiss.__version__}, "
          f"hnswlib {getattr(hnswlib, '__version__', '')}, numpy {np.__version__}; "
          f"median of {QUERIES} queries after a warm-up, methods and floors taken in turn")
    rng = np.random.default_rng(2026)
    summary = []
    for n, d in SHAPES[:1] if args.quick else SHAPES:
        summary.append(bench_shape(n, d, rng, threads, paths))
        print_shape(summary[-1])
    rates = build_rates(128, rng)
    print(f"\n## building a store of {BUILD_ROWS:,} x 128 from numpy rows (list of pairs made beforehand)")
    print(f"constructor {rates[0] / 1e6:.2f} million rows/s, insert {rates[1] / 1e6:.2f} million rows/s")
    print("\n## targets")
    for name, value, met in targets(summary, rates, paths):
        print(f"{'met ' if met else 'MISS'} {value:6.2f}  {name}")
    if args.plot:
        plot(summary, f"{model}, search on the {hooks.search_path()} path", args.plot)
        print(f"\nchart: {args.plot}")


if __name__ == "__main__":
    main()
