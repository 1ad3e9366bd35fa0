"""Side-by-side latency of exact top-k cosine search.

    tools/python bench/compare.py            # every shape (a few minutes)
    tools/python bench/compare.py --quick    # the smallest shape only

Same data for every tool (float32 standard normal, fixed seed). Per-query
latency is the median over QUERIES queries after a warm-up, in ms, with the
ratio to faiss IndexFlatIP on one thread. faiss and numpy work on L2-normalised
copies (their fastest exact cosine); tessaly scores the raw vectors with its
bit-exact kernel. The stream floor is the time numpy takes to read the same
bytes once.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

import faiss
import numpy as np

import tessaly

SHAPES = [(100_000, 128), (1_000_000, 128), (100_000, 768)]
TOP_KS = [10, 1000]
QUERIES = 25
BUILD_ROWS = 50_000


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


def store_memory(n, d):
    """Resident bytes a store of n x d adds, measured in a fresh process."""
    probe = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(n), str(d)],
                           capture_output=True, text=True, check=True)
    return int(probe.stdout)


def median_ms(run, queries):
    run(queries[0])
    times = []
    for q in queries:
        started = time.perf_counter()
        run(q)
        times.append(time.perf_counter() - started)
    return statistics.median(times) * 1e3


def stream_floor_ms(data):
    flat = data.reshape(-1)
    times = []
    for _ in range(5):
        started = time.perf_counter()
        np.add.reduce(flat)
        times.append(time.perf_counter() - started)
    return min(times) * 1e3


def numpy_top_k(unit, q, k):
    scores = unit @ q
    top = np.argpartition(-scores, k - 1)[:k] if k < len(scores) else np.arange(len(scores))
    return top[np.argsort(-scores[top], kind="stable")]


def build_rates(data):
    """Rows per second into a store, from numpy rows and from Python lists."""
    rows = data[:BUILD_ROWS]
    d = rows.shape[1]
    as_numpy = [(row, i) for i, row in enumerate(rows)]
    as_lists = [(row.tolist(), i) for i, row in enumerate(rows)]
    rates = {}
    for name, pairs in (("numpy rows", as_numpy), ("Python lists", as_lists)):
        started = time.perf_counter()
        tessaly.Vectorstore(d, pairs)
        constructor = time.perf_counter() - started
        store = tessaly.Vectorstore(d)
        insert = store.insert
        started = time.perf_counter()
        for vector, i in pairs:
            insert(vector, i)
        inserting = time.perf_counter() - started
        rates[name] = (len(pairs) / constructor, len(pairs) / inserting)
    return rates


def bench_shape(n, d, rng, threads):
    data = rng.standard_normal((n, d), dtype=np.float32)
    queries = rng.standard_normal((QUERIES, d), dtype=np.float32)
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    unit_queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    raw = data.nbytes

    pairs = [(row, i) for i, row in enumerate(data)]
    started = time.perf_counter()
    store = tessaly.Vectorstore(d, pairs)
    build = time.perf_counter() - started
    del pairs
    memory = store_memory(n, d)

    index = faiss.IndexFlatIP(d)
    index.add(unit)
    print(f"\n## {n:,} x {d}  ({raw / 1e6:.0f} MB of float32)")
    print(f"store built from numpy rows in {build:.2f} s; resident memory "
          f"{memory / n:.0f} bytes per entry = {memory / raw:.3f}x the raw float32 bytes")
    floor = stream_floor_ms(data)
    print(f"stream-read floor: {floor:.2f} ms ({raw / floor / 1e6:.1f} GB/s)")
    print(f"{'top_k':>6} {'method':<26} {'ms/query':>9} {'vs faiss-1':>10}")
    results = {}
    for k in TOP_KS:
        faiss.omp_set_num_threads(1)
        reference = median_ms(lambda q: index.search(q.reshape(1, -1), k), unit_queries)
        rows = [("faiss IndexFlatIP, 1 thread", reference)]
        faiss.omp_set_num_threads(threads)
        rows.append((f"faiss IndexFlatIP, {threads} threads",
                     median_ms(lambda q: index.search(q.reshape(1, -1), k), unit_queries)))
        faiss.omp_set_num_threads(1)
        rows.append(("numpy brute force", median_ms(lambda q: numpy_top_k(unit, q, k), unit_queries)))
        rows.append(("tessaly search", median_ms(lambda q: store.search(q, k), queries)))
        rows.append(("tessaly parallel_search(2)",
                     median_ms(lambda q: store.parallel_search(q, k, 2), queries)))
        rows.append(("tessaly parallel_search()",
                     median_ms(lambda q: store.parallel_search(q, k), queries)))
        for name, ms in rows:
            print(f"{k:>6} {name:<26} {ms:>9.2f} {ms / reference:>9.2f}x")
        results[k] = dict(rows)
    del store, index
    return data, results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="only the smallest shape")
    args = parser.parse_args()
    threads = len(os.sched_getaffinity(0))
    print(f"tessaly benchmark: {os.cpu_count()} processors, {threads} usable; "
          f"faiss {faiss.__version__}, numpy {np.__version__}; {QUERIES} queries per cell")
    rng = np.random.default_rng(2026)
    summary = []
    for n, d in SHAPES[:1] if args.quick else SHAPES:
        data, results = bench_shape(n, d, rng, threads)
        summary.append((n, d, results))
    rates = build_rates(data if args.quick else rng.standard_normal((BUILD_ROWS, 128),
                                                                     dtype=np.float32))
    print(f"\n## building a store of {BUILD_ROWS:,} x {data.shape[1] if args.quick else 128}"
          " (argument list built beforehand)")
    for name, (constructor, inserting) in rates.items():
        print(f"{name:<13} constructor {constructor:>12,.0f} rows/s   insert {inserting:>12,.0f} rows/s")
    fast, slow = rates["numpy rows"], rates["Python lists"]
    print(f"numpy rows vs Python lists: constructor {fast[0] / slow[0]:.1f}x, "
          f"insert {fast[1] / slow[1]:.1f}x")
    print("\n## summary")
    for n, d, results in summary:
        ten, thousand = results[10], results[1000]
        print(f"{n:,} x {d}: search/faiss-1 (top 10) {ten['tessaly search'] / ten['faiss IndexFlatIP, 1 thread']:.2f}x; "
              f"search top 1000 / top 10 {thousand['tessaly search'] / ten['tessaly search']:.2f}x; "
              f"search / parallel_search(2) {ten['tessaly search'] / ten['tessaly parallel_search(2)']:.2f}x")


if __name__ == "__main__":
    main()
