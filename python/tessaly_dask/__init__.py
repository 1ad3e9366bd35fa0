"""Exact cosine-similarity top-k search over a tessaly store sharded across
a Dask cluster.

    from distributed import Client
    from tessaly_dask import ShardedVectorstore

    client = Client("tcp://scheduler:8786")
    store = ShardedVectorstore.from_array(client, vectors)   # a dask or numpy array
    store.search(query, 10)     # == tessaly.Vectorstore(d, every row).search(query, 10)

Every worker needs tessaly and tessaly_dask installed; importing tessaly_dask
tells Dask the memory a shard holds.
"""
from . import sizing as _sizing  # noqa: F401  (registers the shard size with Dask)
from .errors import NoWorkersError
from .store import ShardedVectorstore

__all__ = ["NoWorkersError", "ShardedVectorstore"]
