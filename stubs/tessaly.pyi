# Type stub for the extension module tessaly.
#
# A vector is any sequence of numbers except a str; each item is converted
# as float() converts a number, so anything with __float__ or __index__ will
# do. Lists, tuples, range, bytes, bytearray, array.array and memoryview are
# sequences of numbers to the type system. numpy arrays (any float or
# integer dtype) are not Sequence subclasses, so they match as buffers that
# can be indexed, which is what the module checks for. A str is neither, so
# passing one is a type error. A batch of vectors is a sequence of vectors,
# or a buffer whose items are vectors (a 2-D numpy array); the type system
# cannot tell a 1-D array from a 2-D one. The methods that take arrays
# (from_array, append and the batch searches) also take an object with
# __array__ (a dask array, a data frame), which numpy.asarray converts once.
# Ids, sizes and counts take anything with __index__.
#
# PanicException has no name here because it is not a module attribute: an
# internal failure raises it, and it derives from BaseException so that
# `except Exception` does not swallow it.
#
# At run time Vectorstore.__module__ is "builtins" (its type names no
# module); the stub puts it where it is imported from. numpy appears here
# only for the results of search_arrays and to_arrays: the module imports it
# when one of them is first called.

from collections.abc import Buffer, Sequence
from typing import Literal, Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, final, type_check_only

import numpy as np
import numpy.typing as npt

__all__ = ["Vectorstore", "cosine_similarity"]

_Number: TypeAlias = SupportsFloat | SupportsIndex

@type_check_only
class _IndexableBuffer(Buffer, Protocol):
    def __getitem__(self, index: int, /) -> _Number: ...

_Vector: TypeAlias = Sequence[_Number] | _IndexableBuffer

@type_check_only
class _BatchBuffer(Buffer, Protocol):
    def __getitem__(self, index: int, /) -> _Vector: ...

_Vectors: TypeAlias = Sequence[_Vector] | _BatchBuffer

@type_check_only
class _ArrayByProtocol(Protocol):
    def __array__(self) -> npt.NDArray[np.generic]: ...

_Batch: TypeAlias = _Vectors | _ArrayByProtocol

@type_check_only
class _IndexableIds(Buffer, Protocol):
    def __getitem__(self, index: int, /) -> SupportsIndex: ...

# Ids: a sequence of ints, or a buffer of them (an integer numpy array).
_Ids: TypeAlias = Sequence[SupportsIndex] | _IndexableIds

def cosine_similarity(vec1: _Vector, vec2: _Vector) -> float:
    """Cosine similarity of two vectors, computed in float32.

    Parameters
    ----------
    vec1, vec2 : sequence of numbers or 1-D buffer
        Vectors of equal length; each element is converted as ``float()``
        converts it, then to float32.

    Returns
    -------
    float
        The float32 score widened exactly to a float; ``0.0`` if either
        vector is zero.

    Raises
    ------
    ValueError
        The vectors differ in length.
    TypeError
        An argument is not a sequence of numbers.

    Examples
    --------
    >>> tessaly.cosine_similarity([3, 4], [4, 3])
    0.9599999785423279
    """

@final
class Vectorstore:
    """Float32 vectors with 64-bit ids, searched exactly by cosine similarity.

    Every search scores every entry in float32 in one fixed order, so the
    same inputs give the same bits on every path, machine and thread count.
    Results rank by descending score; ties keep insertion order and NaN
    scores come last.

    Examples
    --------
    >>> store = tessaly.Vectorstore(2, [([1, 0], 10), ([0, 1], 20)])
    >>> store.search([1, 1], 1)
    [(0.7071067690849304, 10)]
    """

    def __new__(
        cls, vector_size: SupportsIndex, vectors: Sequence[tuple[_Vector, SupportsIndex]] | None = None
    ) -> Self:
        """Make a store of dimension ``vector_size``.

        Parameters
        ----------
        vector_size : int
            The length of every vector; 0 is allowed.
        vectors : sequence of (vector, id) tuples, optional
            Entries to add, in order. Ids are ints in ``[0, 2**64)`` and
            need not be unique.

        Raises
        ------
        ValueError
            A vector's length is not ``vector_size`` (no store is made).
        TypeError, OverflowError
            An element or id cannot be converted, or an id is out of range.

        Examples
        --------
        >>> store = tessaly.Vectorstore(3)
        >>> len(store)
        0
        """

    @classmethod
    def from_array(
        cls, vectors: _Batch, ids: _Ids | None = None, *, first_pass: Literal["int8"] | None = "int8"
    ) -> Self:
        """Build a store from a 2-D array in one call.

        Parameters
        ----------
        vectors : 2-D array or sequence of vectors
            The rows, in order; ``vector_size`` is the number of columns.
            A numpy array of any integer, bool or float type (either byte
            order, any layout) is read in place; an object with
            ``__array__`` is converted once with ``numpy.asarray``.
        ids : sequence or array of ints, optional
            One id per row, in ``[0, 2**64)``; by default the row numbers.
        first_pass : {"int8", None}, default "int8"
            ``"int8"`` also keeps an int8 copy of the rows that searches
            read first; results are the same to the bit, only faster.
            ``None`` keeps the float32 rows alone.

        Returns
        -------
        Vectorstore
            The store, exactly ``Vectorstore(d, list(zip(rows, ids)))``.

        Raises
        ------
        ValueError
            Rows of unequal length, ids of the wrong count, an empty
            sequence (it has no width), or an unknown ``first_pass``.
        TypeError, OverflowError
            An element or id cannot be converted, or is out of range.

        Examples
        --------
        >>> X = numpy.eye(3, dtype=numpy.float32)
        >>> store = tessaly.Vectorstore.from_array(X, ids=[7, 8, 9])
        >>> store.search([1, 0, 0], 1)
        [(1.0, 7)]
        """

    @property
    def vector_size(self) -> int:
        """The length of every vector in the store."""

    @property
    def first_pass(self) -> Literal["int8"] | None:
        """``"int8"`` if the store keeps an int8 copy its searches read first, else ``None``."""

    def __len__(self) -> int:
        """The number of entries."""

    def insert(self, vector: _Vector, id: SupportsIndex) -> None:
        """Append one entry.

        Parameters
        ----------
        vector : sequence of numbers or 1-D buffer
            ``vector_size`` numbers, stored as float32.
        id : int
            In ``[0, 2**64)``.

        Raises
        ------
        ValueError
            The vector's length is wrong; the store is unchanged.
        RuntimeError
            Another call on the store is in progress.

        Examples
        --------
        >>> store = tessaly.Vectorstore(2)
        >>> store.insert([1, 0], 10)
        """

    def append(self, vectors: _Batch, ids: _Ids | None = None) -> None:
        """Append rows at the end, all or nothing.

        Parameters
        ----------
        vectors : 2-D array or sequence of vectors
            Rows of ``vector_size`` numbers, converted as ``from_array``
            converts them.
        ids : sequence or array of ints, optional
            One per row; by default the row numbers continue from
            ``len(self)``.

        Raises
        ------
        ValueError, TypeError, OverflowError
            As ``from_array``; whatever fails (Ctrl-C included), the store
            is left as it was.
        RuntimeError
            Another call on the store is in progress.

        Examples
        --------
        >>> store = tessaly.Vectorstore.from_array(numpy.eye(2, dtype=numpy.float32))
        >>> store.append(numpy.ones((1, 2), dtype=numpy.float32))
        >>> len(store)
        3
        """

    def to_arrays(self) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.uint64]]:
        """Every entry as two new numpy arrays: the inverse of ``from_array``.

        Returns
        -------
        vectors : numpy.ndarray of float32, shape (len(self), vector_size)
            C-contiguous, the rows in insertion order, each float32 as
            stored, bit for bit (NaN payloads and -0.0 included).
        ids : numpy.ndarray of uint64, shape (len(self),)
            The ids, in the same order.

        Raises
        ------
        ImportError
            numpy cannot be imported.
        RuntimeError
            ``insert`` or ``append`` is in progress.

        Notes
        -----
        ``Vectorstore.from_array(*store.to_arrays())`` answers every search
        as ``store`` does. The rows are copied without the interpreter lock,
        under the same shared access as a search, and Ctrl-C stops the copy.

        Examples
        --------
        >>> store = tessaly.Vectorstore(2, [([1, 0], 10), ([0.5, -0.0], 20)])
        >>> vectors, ids = store.to_arrays()
        >>> vectors
        array([[ 1. ,  0. ],
               [ 0.5, -0. ]], dtype=float32)
        >>> ids
        array([10, 20], dtype=uint64)
        """

    def search(self, vector: _Vector, top_k: SupportsIndex) -> list[tuple[float, int]]:
        """The ``top_k`` entries most similar to ``vector``.

        Parameters
        ----------
        vector : sequence of numbers or 1-D buffer
            The query, ``vector_size`` numbers.
        top_k : int
            How many results at most.

        Returns
        -------
        list of (float, int)
            ``(score, id)`` pairs by descending score; ties in insertion
            order, NaN scores last.

        Raises
        ------
        ValueError
            The query's length is wrong (even on an empty store).

        Examples
        --------
        >>> store = tessaly.Vectorstore(2, [([1, 0], 10), ([0, 1], 20)])
        >>> store.search([1, 0], 1)
        [(1.0, 10)]
        """

    def parallel_search(
        self, vector: _Vector, top_k: SupportsIndex, n_threads: SupportsIndex | None = None
    ) -> list[tuple[float, int]]:
        """``search`` on worker threads started for this call.

        Parameters
        ----------
        vector, top_k
            As in ``search``.
        n_threads : int, optional
            Worker threads (0 means 1); by default the processors this
            process may use. Pays on large stores only.

        Returns
        -------
        list of (float, int)
            Exactly ``search(vector, top_k)``.

        Examples
        --------
        >>> store = tessaly.Vectorstore(2, [([1, 0], 10), ([0, 1], 20)])
        >>> store.parallel_search([1, 0], 1, n_threads=2)
        [(1.0, 10)]
        """

    def search_batch(self, vectors: _Batch, top_k: SupportsIndex) -> list[list[tuple[float, int]]]:
        """Many queries in one pass over the store.

        Parameters
        ----------
        vectors : 2-D array or sequence of vectors
            The queries.
        top_k : int
            How many results at most per query.

        Returns
        -------
        list of list of (float, int)
            List i is exactly ``search(vectors[i], top_k)``.

        Raises
        ------
        ValueError
            A query's length is wrong.

        Examples
        --------
        >>> store = tessaly.Vectorstore(2, [([1, 0], 10), ([0, 1], 20)])
        >>> store.search_batch([[1, 0], [0, 1]], 1)
        [[(1.0, 10)], [(1.0, 20)]]
        """

    def parallel_search_batch(
        self, vectors: _Batch, top_k: SupportsIndex, n_threads: SupportsIndex | None = None
    ) -> list[list[tuple[float, int]]]:
        """``search_batch`` on worker threads started for this call.

        Parameters
        ----------
        vectors, top_k
            As in ``search_batch``.
        n_threads : int, optional
            As in ``parallel_search``.

        Returns
        -------
        list of list of (float, int)
            Exactly ``search_batch(vectors, top_k)``.

        Examples
        --------
        >>> store = tessaly.Vectorstore(2, [([1, 0], 10), ([0, 1], 20)])
        >>> store.parallel_search_batch([[0, 1]], 1, n_threads=2)
        [[(1.0, 20)]]
        """

    def search_arrays(
        self,
        vectors: _Batch,
        top_k: SupportsIndex,
        n_threads: SupportsIndex | None = None,
        *,
        where: npt.NDArray[np.bool_] | Sequence[bool] | None = None,
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.uint64]]:
        """A batch answered as numpy arrays, over all entries or a chosen few.

        Parameters
        ----------
        vectors, top_k, n_threads
            As in ``parallel_search_batch``; ``n_threads=1`` runs on the
            calling thread.
        where : numpy.ndarray of bool or list of bool, optional
            One boolean per entry, in insertion order: only the entries
            where it is true are ranked. The answer is exactly that of a
            store of the selected rows alone, in the same order with the
            same ids (same bits, same ties). Blocks of 16 entries with
            nothing selected are skipped, so a mask that selects one run of
            entries costs about that run's share of a full search. To allow
            some ids only: ``where = numpy.isin(ids, allowed)``, with ``ids``
            from ``to_arrays()``.

        Returns
        -------
        scores : numpy.ndarray of float32, shape (len(vectors), width)
        ids : numpy.ndarray of uint64, same shape
            Row i holds exactly ``search(vectors[i], top_k)`` over the
            entries ranked; width is min(top_k, len(self)), or
            min(top_k, where.sum()) with a mask.

        Raises
        ------
        ImportError
            numpy cannot be imported.
        TypeError
            ``where`` is not an array of booleans (a mask of numbers is
            more often a mistake: compare to make one).
        ValueError
            A query's length is wrong, or ``where`` is not 1-D or has not
            one boolean per entry.

        Examples
        --------
        >>> store = tessaly.Vectorstore(2, [([1, 0], 10), ([0, 1], 20)])
        >>> scores, ids = store.search_arrays(numpy.array([[1, 0]], dtype=numpy.float32), 2)
        >>> ids
        array([[10, 20]], dtype=uint64)
        >>> store.search_arrays(numpy.array([[1, 0]], dtype=numpy.float32), 2, where=[False, True])[1]
        array([[20]], dtype=uint64)
        """
