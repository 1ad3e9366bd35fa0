"""ShardedVectorstore: one logical store, cut into shards held by Dask workers."""
import operator

import numpy as np
from distributed import Client
from tessaly import _first_pass

from . import _inputs
from ._dispatch import Watch, run_on_holders
from ._placement import running, workers_now
from ._queries import query_block, query_vector, where_mask
from ._ranking import as_lists, merge
from ._shard_set import ShardSet
from ._shards import export_shards, search_shards

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
    each a `tessaly.Vectorstore` held in the memory of one Dask worker.

    Searching it gives exactly the list one `tessaly.Vectorstore` holding
    every row in order would give. Make one with `from_array`; grow it with
    `append`. The store itself never travels: it lives where it was made and
    reaches its shards through its client, so it cannot be pickled.

    Parameters
    ----------
    client : distributed.Client
        The synchronous client whose cluster holds the shards.
    vector_size : int
        The number of elements of every vector.
    first_pass : "int8" or None, default "int8"
        Whether the shards that `append` builds keep the int8 copy, as for
        `tessaly.Vectorstore.from_array`.
    timeout : float or None, default 300
        Bound, in seconds, of each search; None for no bound.
    no_worker_timeout : float, default 10
        How long, in seconds, a search waits while the cluster has no
        worker before it raises `NoWorkersError`.

    Attributes
    ----------
    client : distributed.Client
        The client it works through.
    timeout : float or None
        Bound, in seconds, of each search (None: no bound).
    no_worker_timeout : float
        Seconds without any worker after which a search gives up.

    Raises
    ------
    TypeError
        If `client` is not a `distributed.Client`, or `vector_size`,
        `timeout` or `no_worker_timeout` is not a number of the right kind.
    ValueError
        If the client is asynchronous, `vector_size` is negative, a timeout
        is not positive, or `first_pass` is another str than "int8".
    RuntimeError
        If the client is closed.

    Notes
    -----
    The constructor makes an empty store and sends nothing.
    """

    def __init__(self, client, vector_size, *, first_pass="int8", timeout=DEFAULT_TIMEOUT,
                 no_worker_timeout=DEFAULT_NO_WORKER_TIMEOUT):
        check_client(client)
        self.client = client
        self._vector_size = operator.index(vector_size)
        if self._vector_size < 0:
            raise ValueError(f"vector_size must not be negative, not {self._vector_size}")
        self.timeout = check_seconds(timeout, "timeout", optional=True)
        self.no_worker_timeout = check_seconds(no_worker_timeout, "no_worker_timeout",
                                               optional=False)
        self._shard_set = ShardSet(client, _first_pass(first_pass))

    @classmethod
    def from_array(cls, client, vectors, ids=None, *, first_pass="int8", rows_per_shard=None,
                   timeout=DEFAULT_TIMEOUT, no_worker_timeout=DEFAULT_NO_WORKER_TIMEOUT):
        """Make a store of the rows of `vectors` with their `ids`, one shard per row chunk.

        Parameters
        ----------
        client : distributed.Client
            The synchronous client whose cluster will hold the shards.
        vectors : dask.array.Array or numpy.ndarray
            The rows, shape (n, d): a dask array chunked along rows only,
            or a numpy array. Any bool, integer or floating dtype, or an
            object array of anything `tessaly.Vectorstore` takes as numbers.
            Stored as float32, as `tessaly.Vectorstore` stores them.
        ids : dask.array.Array or numpy.ndarray, optional
            A 1-D array of n ids in [0, 2**64): bool, integer, or objects
            with ``__index__``. None (the default) means the row numbers
            0..n-1.
        first_pass : "int8" or None, default "int8"
            Whether each shard keeps the int8 copy its searches read first,
            as for `tessaly.Vectorstore.from_array`.
        rows_per_shard : int, optional
            Rows per shard. By default a dask array keeps its own row
            chunks and a numpy array is cut into one shard per worker
            thread; given, it also rechunks a dask array.
        timeout, no_worker_timeout : float
            As for the constructor.

        Returns
        -------
        ShardedVectorstore
            Returned at once, like `Client.persist`: the shards build in the
            background.

        Raises
        ------
        TypeError
            If `vectors` or `ids` is not a dask or numpy array of an
            accepted dtype, or an object element or id is not one
            `tessaly.Vectorstore` takes.
        ValueError
            If the shapes do not fit, `vectors` is chunked across columns,
            its row chunks are unknown, or `rows_per_shard` is below 1.
        OverflowError
            If a numpy id is outside [0, 2**64), or an object element does
            not fit a double.
        RuntimeError
            If the client is closed.

        Notes
        -----
        Everything above is raised on the client, before anything is sent;
        errors found while building (a negative id in a dask array, say)
        surface at the first search. The input's graph travels to the
        scheduler (for a numpy array, the rows themselves, which the
        scheduler keeps as the source of a lost shard); each shard is built
        on one worker and stays there, the shards spread over the running
        workers by rows per thread.
        """
        check_client(client)
        first_pass = _first_pass(first_pass)
        vector_size, sources = _inputs.shard_sources(
            vectors, ids, 0, rows_per_shard, lambda: total_threads(workers_now(client)))
        store = cls(client, vector_size, first_pass=first_pass, timeout=timeout,
                    no_worker_timeout=no_worker_timeout)
        store._shard_set.add(sources, workers_now(client))
        return store

    def append(self, vectors, ids=None, *, rows_per_shard=None):
        """Add rows at the end, as new shards after the existing ones.

        Parameters
        ----------
        vectors : dask.array.Array or numpy.ndarray
            Rows of `vector_size` columns, taken as `from_array` takes them.
        ids : dask.array.Array or numpy.ndarray, optional
            Their ids, as for `from_array`; None (the default) continues the
            row numbers from ``len(self)``.
        rows_per_shard : int, optional
            As for `from_array`.

        Returns
        -------
        None

        Raises
        ------
        TypeError, OverflowError
            As `from_array` raises them.
        ValueError
            As `from_array` raises it, and if `vectors` does not have
            `vector_size` columns.
        RuntimeError
            If the client is closed.

        Notes
        -----
        Checked and sent as by `from_array`: nothing travels before the
        input is checked, then the input's graph (or numpy rows) goes to the
        scheduler and each new shard is built on, and stays on, one worker.
        Existing shards neither move nor change.
        """
        check_open(self.client)
        vector_size, sources = _inputs.shard_sources(
            vectors, ids, len(self), rows_per_shard,
            lambda: total_threads(workers_now(self.client)))
        if vector_size != self._vector_size:
            raise ValueError(f"vectors has {vector_size} columns but the store expects "
                             f"{self._vector_size}")
        if sources:
            self._shard_set.add(sources, workers_now(self.client))

    def search(self, vector, top_k):
        """Return the `top_k` rows most similar to `vector`, best first.

        Parameters
        ----------
        vector : sequence of numbers or array
            A query of `vector_size` elements, anything
            `tessaly.Vectorstore.search` takes.
        top_k : int
            How many (score, id) pairs to return at most.

        Returns
        -------
        list of (float, int)
            The same list as `tessaly.Vectorstore.search` on one store of
            every row in order: cosine scores (float32 values) in descending
            order, NaN last, ties in row order.

        Raises
        ------
        TypeError, ValueError, OverflowError
            What `tessaly.Vectorstore.search` raises for the same
            arguments, with the same text.
        RuntimeError
            If the client is closed.
        NoWorkersError
            If the cluster has had no worker for `no_worker_timeout` seconds.
        TimeoutError
            If the search takes longer than `timeout` seconds.
        Exception
            Whatever building a shard raised (for input found bad only on
            the workers).

        Notes
        -----
        The arguments are checked by tessaly on the client before anything
        is sent. The query, as d float32, travels to each worker holding
        shards, one task per worker; each shard's own best `top_k` scores
        and ids come back as arrays, merged on the client. The rows stay on
        the workers.
        """
        check_open(self.client)
        block, top_k = query_vector(self._vector_size, vector, top_k)
        return as_lists(*self._search_block(block, top_k))[0]

    def search_batch(self, queries, top_k):
        """Return the `top_k` rows most similar to each query, best first.

        Parameters
        ----------
        queries : sequence of vectors or 2-D array
            m queries of `vector_size` elements, anything
            `tessaly.Vectorstore.search_batch` takes (a 2-D numpy array or
            memoryview, a list of vectors, ...).
        top_k : int
            How many (score, id) pairs to return at most per query.

        Returns
        -------
        list of list of (float, int)
            One list per query, list i equal to ``search(queries[i],
            top_k)``; the same lists as `tessaly.Vectorstore.search_batch`
            on one store of every row in order.

        Raises
        ------
        TypeError, ValueError, OverflowError
            What `tessaly.Vectorstore.search_batch` raises for the same
            arguments, with the same text.
        RuntimeError, NoWorkersError, TimeoutError
            As `search` raises them.

        Notes
        -----
        The batch is checked by tessaly on the client, then the m x d
        float32 queries travel to each worker holding shards, one task per
        worker; each of its shards reads its rows once for the whole batch,
        and the worker returns at most `top_k` scores and ids per query and
        shard, as arrays, merged per query on the client. The rows stay on
        the workers.
        """
        check_open(self.client)
        block, top_k = query_block(self._vector_size, queries, top_k)
        return as_lists(*self._search_block(block, top_k))

    def search_arrays(self, queries, top_k, *, where=None):
        """Return the `top_k` best scores and ids of each query, as two arrays.

        Parameters
        ----------
        queries : sequence of vectors or 2-D array
            m queries of `vector_size` elements, taken as `search_batch`
            takes them.
        top_k : int
            How many scores and ids to return at most per query.
        where : array of bool, optional
            One boolean per row, in row order (a numpy bool array or a list
            of bools): only the rows where it is true are ranked, as by
            `tessaly.Vectorstore.search_arrays`. Each shard gets its own
            slice of it.

        Returns
        -------
        scores : numpy.ndarray
            float32, shape (m, min(top_k, len(self))), or (m, min(top_k,
            where.sum())) with a mask: row i holds the scores of
            ``search(queries[i], top_k)`` over the selected rows, the
            float32 bits as computed (NaN included).
        ids : numpy.ndarray
            uint64, the same shape: the matching ids, exact at any size.

        Raises
        ------
        TypeError, ValueError, OverflowError
            What `tessaly.Vectorstore.search_arrays` raises for the same
            arguments, with the same text.
        RuntimeError, NoWorkersError, TimeoutError
            As `search` raises them.

        Notes
        -----
        As for `search_batch`, the m x d float32 queries travel to each
        worker holding shards, one task per worker, and the rows stay
        there; each worker returns, for each of its shards, the float32 and
        uint64 arrays of its `search_arrays` (at most `top_k` columns),
        which the client merges with numpy. No Python object is made per
        result, on the workers or here.
        """
        check_open(self.client)
        block, top_k = query_block(self._vector_size, queries, top_k)
        mask = where_mask(len(self), where)
        return self._search_block(block, top_k, mask)

    def to_arrays(self):
        """Return every row and id, in row order, as two numpy arrays.

        Returns
        -------
        vectors : numpy.ndarray
            float32, C-contiguous, shape (len(self), vector_size): every
            row as its shard stores it, bit for bit (NaN payloads and -0.0
            included), shard after shard.
        ids : numpy.ndarray
            uint64, shape (len(self),): their ids, in the same order.

        Raises
        ------
        RuntimeError, NoWorkersError, TimeoutError
            As `search` raises them.
        Exception
            Whatever building a shard raised.

        Notes
        -----
        The inverse of `from_array`: ``ShardedVectorstore.from_array(client,
        *store.to_arrays())``, or ``tessaly.Vectorstore.from_array`` of
        them, answers every search as the store does. One task per worker
        holding shards returns each of its shards'
        `tessaly.Vectorstore.to_arrays`, so every row travels to the
        client, which holds them twice while they are joined.
        """
        check_open(self.client)
        parts = []
        if self.shards:
            watch = Watch(self.client, self.timeout, self.no_worker_timeout)
            parts = run_on_holders(self._shard_set, export_shards, (), watch, doing="copying the shards")
        vectors = np.empty((len(self), self._vector_size), np.float32)
        ids = np.empty(len(self), np.uint64)
        row = 0
        for part_vectors, part_ids in parts:
            vectors[row:row + len(part_ids)] = part_vectors
            ids[row:row + len(part_ids)] = part_ids
            row += len(part_ids)
        return vectors, ids

    def _search_block(self, block, top_k, mask=None):
        """The merged (scores, ids) arrays of a checked float32 block, over
        the rows a checked mask selects (all, if None)."""
        selected = len(self) if mask is None else int(np.count_nonzero(mask))
        if not self.shards or top_k == 0 or len(block) == 0 or selected == 0:
            k = min(top_k, selected)
            return np.empty((len(block), k), np.float32), np.empty((len(block), k), np.uint64)
        per_shard_masks = None
        if mask is not None:
            ends = np.cumsum(self.shard_lengths)
            per_shard_masks = [np.ascontiguousarray(mask[end - length:end])
                               for end, length in zip(ends, self.shard_lengths)]
        watch = Watch(self.client, self.timeout, self.no_worker_timeout)
        per_shard = run_on_holders(self._shard_set, search_shards, (block, top_k), watch, per_shard_masks)
        return merge(per_shard, top_k)

    def __reduce_ex__(self, protocol):
        # Its shards live in the memory of its cluster's workers and are
        # reached through this process's client: a copy elsewhere could
        # reach neither.
        raise TypeError("cannot pickle 'tessaly_dask.ShardedVectorstore' object: its shards "
                        "live on the workers of its client's cluster, so it is used only "
                        "where it was made")

    @property
    def shards(self):
        """tuple of distributed.Future: the shards, in row order.

        Each holds a `tessaly.Vectorstore` on a worker; their results cannot
        be fetched, since a store cannot be pickled.
        """
        return self._shard_set.futures

    @property
    def shard_lengths(self):
        """tuple of int: the number of rows of each shard, in row order."""
        return self._shard_set.lengths

    @property
    def vector_size(self):
        """int: the number of elements of every vector."""
        return self._vector_size

    @property
    def first_pass(self):
        """"int8" or None: whether the shards keep the int8 copy their searches read first."""
        return self._shard_set.first_pass

    @property
    def n_shards(self):
        """int: the number of shards."""
        return len(self.shards)

    def __len__(self):
        return sum(self.shard_lengths)

    def __repr__(self):
        return (f"ShardedVectorstore(vector_size={self._vector_size}, len={len(self)}, "
                f"n_shards={self.n_shards})")


def total_threads(workers):
    return sum(running(workers).values())
