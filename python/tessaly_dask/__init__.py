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
try:
    import dask.array  # noqa: F401
    import distributed  # noqa: F401
    import numpy  # noqa: F401
except ImportError as error:
    # Say what to install rather than which of the layer's own imports broke.
    raise ImportError(f'tessaly_dask needs dask[array], distributed and numpy ({error}): '
                      f'pip install "tessaly[dask]"', name=error.name) from error

from . import _sizing  # noqa: F401  (registers the shard size with Dask)
from ._errors import NoWorkersError
from ._store import ShardedVectorstore

__all__ = ["NoWorkersError", "ShardedVectorstore"]

# Named where they are imported from; the modules behind them are private.
NoWorkersError.__module__ = ShardedVectorstore.__module__ = __name__
