"""The one error this layer adds to those of tessaly and Dask."""


class NoWorkersError(RuntimeError):
    """The cluster has had no worker for longer than the store's
    `no_worker_timeout`, so no shard can be held or searched."""
