"""Every kind of argument tessaly accepts, type-checked against its stub
(mypy --strict --warn-unused-ignores) and run against the module, so that
the stub and the module agree both ways. The ignored lines must stay type
errors and must fail at run time too."""

import array
from typing import assert_type

import numpy as np
import numpy.typing as npt

import tessaly


def ids_lists(found: tuple[npt.NDArray[np.float32], npt.NDArray[np.uint64]]) -> list[list[int]]:
    return [[int(i) for i in row] for row in found[1]]

store = tessaly.Vectorstore(2, [([1.0, 0.0], 1), ((0, 1), np.uint64(2))])
store.insert(range(2), 3)
store.insert(b"\x01\x02", 4)
store.insert(bytearray(b"\x02\x01"), 5)
store.insert(array.array("f", [1.0, 2.0]), 6)
store.insert(array.array("q", [2, 1]), 7)
store.insert(memoryview(array.array("d", [0.5, 0.5])), 8)
store.insert(np.array([3.0, 1.0], dtype=np.float32), np.int64(9))
store.insert(np.array([1, 3], dtype=np.int16), 10)
for dtype in np.typecodes["AllInteger"] + np.typecodes["Float"]:
    store.insert(np.array([1, 1], dtype=dtype), 11)
store.insert(vector=[np.float64(1.0), np.int8(1)], id=12)

assert_type(len(store), int)
assert_type(store.vector_size, int)
assert_type(store.search(np.arange(2, dtype=np.float64), np.int32(3)), list[tuple[float, int]])
assert_type(store.parallel_search((1, 0), 3), list[tuple[float, int]])
assert_type(store.parallel_search([1, 0], 3, n_threads=np.uint8(2)), list[tuple[float, int]])
assert_type(tessaly.cosine_similarity(b"\x03\x04", memoryview(b"\x04\x03")), float)
assert store.search([1, 1], 2) == store.parallel_search([1, 1], 2, None)
batch = np.array([[1.0, 0.5], [0.0, 2.0]], dtype=np.float32)
assert_type(store.search_batch(batch, 2), list[list[tuple[float, int]]])
assert_type(store.search_batch([[1, 0.5], (0, 2)], 2), list[list[tuple[float, int]]])
assert_type(store.parallel_search_batch([batch[0], array.array("f", [0, 2])], 2, n_threads=2),
            list[list[tuple[float, int]]])
assert store.search_batch(batch, 2) == [store.search(row, 2) for row in batch]
scores, ids = store.search_arrays(batch, 2, n_threads=1)
assert_type(scores, npt.NDArray[np.float32])
assert_type(ids, npt.NDArray[np.uint64])
built = tessaly.Vectorstore.from_array(batch, ids=np.array([2**63, 2**64 - 1], dtype=np.uint64))
assert_type(built, tessaly.Vectorstore)
built.append([[1, 2], (3, 4)], ids=[5, np.int64(6)])
built.append(np.ones((2, 2), dtype=np.int32))
vectors, stored_ids = built.to_arrays()
assert_type(vectors, npt.NDArray[np.float32])
assert_type(stored_ids, npt.NDArray[np.uint64])
assert tessaly.Vectorstore.from_array(vectors, stored_ids).search([1, 2], 4) == built.search([1, 2], 4)


class Lazy:
    """An array only through __array__, as a dask array is."""

    def __array__(self, dtype: None = None, copy: None = None) -> npt.NDArray[np.uint8]:
        return np.ones((2, 2), dtype=np.uint8)


built.append(Lazy())
assert_type(store.search_batch(Lazy(), 1), list[list[tuple[float, int]]])
assert store.search_arrays(Lazy(), 1)[1].shape == (2, 1)
assert [[i for _, i in found] for found in built.search_batch(batch, 1)] == ids_lists(built.search_arrays(batch, 1))
assert len(store) == 11 + len(np.typecodes["AllInteger"] + np.typecodes["Float"])

try:
    tessaly.cosine_similarity("ab", "ab")  # type: ignore[arg-type]
except TypeError:
    pass
else:
    raise AssertionError("a str vector was accepted")
try:
    store.search_batch(["ab"], 1)  # type: ignore[list-item]
except TypeError:
    pass
else:
    raise AssertionError("a batch of str was accepted")
try:
    store.vector_size = 3  # type: ignore[misc]
except AttributeError:
    pass
else:
    raise AssertionError("vector_size was set")
