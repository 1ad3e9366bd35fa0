"""Sharded search on a two-worker Dask cluster beside one local store, on the same data.

    tools/python bench/sharded.py                  # 1,000,000 x 128 in 2 and in 8 shards
    tools/python bench/sharded.py --rows 200000    # a quicker run

Both sides use the same two cores: a LocalCluster of two worker processes
with one thread each, and a local store searched by `search_batch` (one
thread) and `parallel_search_batch(n_threads=2)`. The data is float32
standard normal with a fixed seed. Each round runs every method once on the
same BATCH queries, in an order shuffled per round, so that a busy machine
slows them alike. Reported for each shard count: queries per second of each
method (median over rounds), the median over rounds of the ratio of the
sharded `search_batch` throughput to local
`parallel_search_batch(n_threads=2)` in the same round, and the
single-query latency of `search` on both sides.

A batch is one task per worker, pinned to it, which calls `search_arrays`
on each shard the worker holds (one pass over each shard's memory for
every query of the batch) and returns their arrays of scores and ids; the
client merges them with numpy.
"""
import argparse
import logging
import platform
import random
import statistics
import time

import dask
import distributed
import numpy as np

import tessaly
from tessaly_dask import ShardedVectorstore


def processor_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown processor"


def timed(run):
    started = time.perf_counter()
    result = run()
    return time.perf_counter() - started, result


def median_ms(run, queries):
    run(queries[0])
    return statistics.median(timed(lambda: run(query))[0] for query in queries) * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--shards", type=lambda text: [int(x) for x in text.split(",")],
                        default=[2, 8], help="shard counts to run, comma-separated")
    parser.add_argument("--batch", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--top-k", type=int, default=10)
    arguments = parser.parse_args()
    n, d, k, batch = arguments.rows, arguments.dim, arguments.top_k, arguments.batch

    print(f"{processor_model()}; {len(__import__('os').sched_getaffinity(0))} processors; "
          f"CPython {platform.python_version()}, numpy {np.__version__}, "
          f"dask {dask.__version__}, distributed {distributed.__version__}")
    data = np.random.default_rng(1).standard_normal((n, d), dtype=np.float32)
    queries = np.random.default_rng(2).standard_normal((batch, d), dtype=np.float32)

    seconds, local = timed(lambda: tessaly.Vectorstore.from_array(data))
    print(f"local store of {n:,} x {d} built in {seconds:.1f} s")

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        for shards in arguments.shards:
            compare(client, local, data, queries, shards, k, arguments.rounds)


def compare(client, local, data, queries, shards, k, rounds):
    n, batch = len(data), len(queries)

    def build():
        store = ShardedVectorstore.from_array(client, data, rows_per_shard=-(-n // shards))
        distributed.wait(store.shards)
        return store
    seconds, sharded = timed(build)
    holders = client.who_has(list(sharded.shards))
    per_worker = sorted(sum(1 for shard in sharded.shards if holders[shard.key][0] == worker)
                        for worker in client.nthreads())
    print(f"\n{sharded!r} built in {seconds:.1f} s; shards per worker {per_worker}, "
          f"{sharded.shard_lengths[0] * data.shape[1] * 4 / 2**20:.0f} MiB of rows each")

    expected = [local.search(query, k) for query in queries]
    same = sharded.search_batch(queries, k) == expected
    print(f"search_batch agrees with the local store on all {batch} queries: {same}")

    methods = {
        "local search_batch": lambda: local.search_batch(queries, k),
        "local parallel_search_batch(n_threads=2)": lambda: local.parallel_search_batch(queries, k, 2),
        f"sharded search_batch ({batch} per batch)": lambda: sharded.search_batch(queries, k),
    }
    names = list(methods)
    order = random.Random(shards)
    times = {name: [] for name in names}
    for _ in range(rounds):
        for name in order.sample(names, len(names)):
            times[name].append(timed(methods[name])[0])
    rates = {name: batch / statistics.median(spent) for name, spent in times.items()}
    ratio = statistics.median(parallel / sharded for parallel, sharded
                              in zip(times[names[1]], times[names[2]]))

    print(f"top_k {k}, {rounds} rounds of {batch} queries, shuffled; queries per second:")
    for name, rate in rates.items():
        print(f"  {name:<40} {rate:8.1f}")
    print(f"  ratio sharded search_batch / local parallel_search_batch(2), median of rounds: "
          f"{ratio:.2f}x")

    latency_queries = queries[:25]
    print(f"single-query latency, median of {len(latency_queries)} (ms):")
    for name, run in [("local search", lambda q: local.search(q, k)),
                      ("local parallel_search(n_threads=2)",
                       lambda q: local.parallel_search(q, k, 2)),
                      ("sharded search", lambda q: sharded.search(q, k))]:
        print(f"  {name:<40} {median_ms(run, latency_queries):8.2f}")


if __name__ == "__main__":
    main()
