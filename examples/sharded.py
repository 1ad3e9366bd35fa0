"""Exact search over a store sharded across a Dask cluster.

    tools/python examples/sharded.py

Starts a local cluster of two worker processes (one thread each), builds a
ShardedVectorstore from a dask array generated on the workers (only its
graph travels), adds rows with `append`, and checks that `search_batch`
and `search` give exactly what one local tessaly.Vectorstore holding every
row gives, for 64 queries. Prints the throughput of each, then kills a
worker process and searches again: the lost shards are rebuilt from the
array's graph and the answers stay the same.
"""
import logging
import os
import signal
import time

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster

import tessaly
from tessaly_dask import ShardedVectorstore

ROWS, APPENDED, DIM, CHUNK = 200_000, 20_000, 64, 25_000
QUERIES, K = 64, 10


def per_second(count, run):
    started = time.perf_counter()
    result = run()
    return count / (time.perf_counter() - started), result


def main():
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0",
                      silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        vectors = da.random.default_rng(0).standard_normal((ROWS, DIM), chunks=(CHUNK, DIM),
                                                           dtype=np.float32)
        ids = da.arange(10**12, 10**12 + ROWS, chunks=CHUNK, dtype=np.uint64)
        store = ShardedVectorstore.from_array(client, vectors, ids)
        more = np.random.default_rng(1).standard_normal((APPENDED, DIM), dtype=np.float32)
        store.append(more, rows_per_shard=APPENDED // 2)   # ids continue from len(store)
        print(f"{store!r}: shards on {len(client.nthreads())} workers")

        rows = np.concatenate([vectors.compute(), more])
        all_ids = np.concatenate([ids.compute(), np.arange(ROWS, ROWS + APPENDED)])
        local = tessaly.Vectorstore(DIM, [(row, int(id)) for row, id in zip(rows, all_ids)])
        queries = np.random.default_rng(2).standard_normal((QUERIES, DIM), dtype=np.float32)

        rate_local, expected = per_second(QUERIES, lambda: [local.search(q, K) for q in queries])
        rate_parallel, _ = per_second(QUERIES, lambda: [local.parallel_search(q, K, 2)
                                                        for q in queries])
        store.search_batch(queries[:1], K)   # waits for the shards to be built
        rate_batch, batch = per_second(QUERIES, lambda: store.search_batch(queries, K))
        rate_single, single = per_second(QUERIES, lambda: [store.search(q, K) for q in queries])

        agree = sum(a == b == c for a, b, c in zip(batch, single, expected))
        print(f"agreement with one local store: {agree} of {QUERIES} queries "
              f"(search_batch and search)")
        print(f"queries per second, top_k {K}:")
        print(f"  local search                        {rate_local:8.1f}")
        print(f"  local parallel_search(n_threads=2)  {rate_parallel:8.1f}")
        print(f"  sharded search_batch                {rate_batch:8.1f}")
        print(f"  sharded search (one at a time)      {rate_single:8.1f}")

        worker = next(iter(client.who_has([store.shards[0]]).values()))[0]
        os.kill(client.run(os.getpid)[worker], signal.SIGKILL)
        started = time.perf_counter()
        again = store.search_batch(queries, K)
        print(f"after killing a worker process: {sum(a == b for a, b in zip(again, expected))} "
              f"of {QUERIES} queries agree ({time.perf_counter() - started:.1f} s, "
              f"lost shards rebuilt from the array's graph)")


if __name__ == "__main__":
    main()
