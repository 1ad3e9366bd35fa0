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
# only for search_arrays's result: the module imports it when that method
# is first called.

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

def cosine_similarity(vec1: _Vector, vec2: _Vector) -> float: ...
@final
class Vectorstore:
    def __new__(
        cls, vector_size: SupportsIndex, vectors: Sequence[tuple[_Vector, SupportsIndex]] | None = None
    ) -> Self: ...
    @classmethod
    def from_array(
        cls, vectors: _Batch, ids: _Ids | None = None, *, first_pass: Literal["int8"] | None = "int8"
    ) -> Self: ...
    @property
    def vector_size(self) -> int: ...
    @property
    def first_pass(self) -> Literal["int8"] | None: ...
    def __len__(self) -> int: ...
    def insert(self, vector: _Vector, id: SupportsIndex) -> None: ...
    def append(self, vectors: _Batch, ids: _Ids | None = None) -> None: ...
    def search(self, vector: _Vector, top_k: SupportsIndex) -> list[tuple[float, int]]: ...
    def parallel_search(
        self, vector: _Vector, top_k: SupportsIndex, n_threads: SupportsIndex | None = None
    ) -> list[tuple[float, int]]: ...
    def search_batch(self, vectors: _Batch, top_k: SupportsIndex) -> list[list[tuple[float, int]]]: ...
    def parallel_search_batch(
        self, vectors: _Batch, top_k: SupportsIndex, n_threads: SupportsIndex | None = None
    ) -> list[list[tuple[float, int]]]: ...
    def search_arrays(
        self, vectors: _Batch, top_k: SupportsIndex, n_threads: SupportsIndex | None = None
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.uint64]]: ...
