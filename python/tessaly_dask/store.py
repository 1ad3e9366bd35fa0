"""ShardedVectorstore: one logical store, cut into shards held by Dask workers."""
import operator

from distributed import Client

from . import inputs
from .dispatch import Watch, run_on_holders
from .placement import running, workers_now
from .queries import check_query, query_block, query_vector
from .ranking import merge
from .shard_set import ShardSet
from .shards import search_shard

DEFAULT_TIMEOUT = 300.0
DEFAULT_NO_WORKER_TIMEOUT = 10.0


def check_client(client):
    if not isinstance(client, Client):
        raise TypeError(f"client must be a distributed.Client, not {type(client).__name__}")
    if client.asynchronous:
        raise ValueError("client must be a synchronous Client (asynchronous=False)")
    check_open(client)


def check_open(client):
    # A closed client fails deep inside distributed with errors that name
    # neither the client nor the store; and its shards went with it.
    if client.status in ("closing", "closed"):
        raise RuntimeError("the distributed.Client is closed; a ShardedVectorstore's shards "
                           "are released with its client, so make the store again with an "
                           "open client")


def check_seconds(value, name, optional):
    if value is None and optional:
        return None
    value = float(value)
    if not value > 0:
        raise ValueError(f"{name} must be a positive number of seconds, not {value}")
    return value


class ShardedVectorstore:
    """A store of float32 vectors with u64 ids cut into contiguous shards,
    each a tessaly.Vectorstore held in the memory of one Dask worker.

    Searching it gives exactly the list one Vectorstore holding every row in
    order would give. Make one with `from_array`; grow it with `append`.

    Attributes:
      client         the distributed.Client it works through.
      shards         the shards' futures, in row order (a Vectorstore each,
                     on a worker; their results cannot be fetched, since a
                     store is not picklable).
      shard_lengths  the number of rows of each shard.
      timeout        bound, in seconds, of each search (None: no bound).
      no_worker_timeout  how long a search waits for a worker to appear
                     when the cluster has none, before NoWorkersError.
    """

    def __init__(self, client, vector_size, *, timeout=DEFAULT_TIMEOUT,
                 no_worker_timeout=DEFAULT_NO_WORKER_TIMEOUT):
        """An empty store of dimension vector_size. Nothing is sent."""
        check_client(client)
        self.client = client
        self._vector_size = operator.index(vector_size)
        if self._vector_size < 0:
            raise ValueError(f"vector_size must not be negative, not {self._vector_size}")
        self.timeout = check_seconds(timeout, "timeout", optional=True)
        self.no_worker_timeout = check_seconds(no_worker_timeout, "no_worker_timeout",
                                               optional=False)
        self._shard_set = ShardSet(client)

    @classmethod
    def from_array(cls, client, vectors, ids=None, *, rows_per_shard=None,
                   timeout=DEFAULT_TIMEOUT, no_worker_timeout=DEFAULT_NO_WORKER_TIMEOUT):
        """A store of the rows of `vectors` with their `ids`, one shard per row chunk.

        vectors: a 2-D dask array (n, d) chunked along rows only, or a numpy
          array, cut into shards of rows_per_shard rows (default: as many
          shards as the cluster has worker threads); rows_per_shard also
          rechunks a dask array. Rows are stored as float32, as Vectorstore
          stores them.
        ids: a 1-D dask or numpy array of n integers in [0, 2**64), or None
          for the row numbers 0..n-1.
        Either may be a bool array, or an object array of anything
        Vectorstore takes (numbers as rows, integers or __index__ as ids).

        Bad input raises before anything is sent. Then the graph of the
        input travels to the scheduler (for numpy input, the rows
        themselves, which the scheduler keeps as the source of a lost
        shard); each shard is built on one worker and stays there, the
        shards spread over the workers by rows per thread. Returns at once,
        like Client.persist: the shards build in the background, and build
        errors (say a negative id in a dask array) surface at the first
        search.
        """
        check_client(client)
        vector_size, sources = inputs.shard_sources(vectors, ids, 0, rows_per_shard,
                                                    lambda: total_threads(workers_now(client)))
        store = cls(client, vector_size, timeout=timeout, no_worker_timeout=no_worker_timeout)
        store._shard_set.add(sources, workers_now(client))
        return store

    def append(self, vectors, ids=None, *, rows_per_shard=None):
        """Adds rows at the end, as new shards after the existing ones.

        Takes vectors and ids as from_array does, with vector_size columns;
        ids None continues the row numbers from len(self). Checks, sends and
        builds as from_array does; existing shards stay as they are.
        """
        check_open(self.client)
        vector_size, sources = inputs.shard_sources(vectors, ids, len(self), rows_per_shard,
                                                    lambda: total_threads(workers_now(self.client)))
        if vector_size != self._vector_size:
            raise ValueError(f"vectors has {vector_size} columns but the store expects "
                             f"{self._vector_size}")
        if sources:
            self._shard_set.add(sources, workers_now(self.client))

    def search(self, vector, top_k):
        """The same list as Vectorstore.search on one store of every row in order.

        Arguments are checked by tessaly itself first, so bad ones raise the
        same exception with the same text, before anything is sent. The
        query (d float32) travels to each shard's worker; each returns its
        own top_k (score, id) pairs, merged here. The rows stay on the
        workers.
        """
        check_open(self.client)
        top_k = check_query(self._vector_size, vector, top_k)
        return self._search_block(query_vector(vector)[None, :], top_k)[0]

    def search_batch(self, queries, top_k):
        """One search result per query, with one round trip per shard.

        queries: a 2-D array (m, d) or a sequence of vectors; each is
        checked as search checks it. The m x d float32 queries travel to
        each shard's worker as one task; m lists of at most top_k pairs
        come back from each.
        """
        check_open(self.client)
        block, top_k = query_block(self._vector_size, queries, top_k)
        return self._search_block(block, top_k)

    def _search_block(self, block, top_k):
        if not self.shards or top_k == 0 or len(block) == 0:
            return [[] for _ in range(len(block))]
        watch = Watch(self.client, self.timeout, self.no_worker_timeout)
        per_shard = run_on_holders(self._shard_set, search_shard, (block, top_k), watch)
        return [merge([lists[index] for lists in per_shard], top_k)
                for index in range(len(block))]

    def __reduce_ex__(self, protocol):
        # Its shards live in the memory of its cluster's workers and are
        # reached through this process's client: a copy elsewhere could
        # reach neither.
        raise TypeError("cannot pickle 'tessaly_dask.ShardedVectorstore' object: its shards "
                        "live on the workers of its client's cluster, so it is used only "
                        "where it was made")

    @property
    def shards(self):
        return self._shard_set.futures

    @property
    def shard_lengths(self):
        return self._shard_set.lengths

    @property
    def vector_size(self):
        return self._vector_size

    @property
    def n_shards(self):
        return len(self.shards)

    def __len__(self):
        return sum(self.shard_lengths)

    def __repr__(self):
        return (f"ShardedVectorstore(vector_size={self._vector_size}, len={len(self)}, "
                f"n_shards={self.n_shards})")


def total_threads(workers):
    return sum(running(workers).values())
