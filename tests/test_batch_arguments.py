"""The arguments of the batch and bulk methods (search_batch,
parallel_search_batch, search_arrays, from_array, append): their errors name
the argument at fault and say what was expected, and what a batch's or an id
sequence's __len__ raises is dropped only when it is a TypeError."""
import numpy as np
import pytest

from tessaly import Vectorstore

ROWS = np.array([[1, 0, 0], [0, 1, 0], [0.5, 0.5, 2]], dtype=np.float32)
STORE = Vectorstore.from_array(ROWS)


class DataFrame:
    """Iterates as a data frame does, over its column labels; numpy reads its rows."""

    def __array__(self, dtype=None, copy=None):
        return ROWS

    def __len__(self):
        return len(ROWS)

    def __getitem__(self, label):
        return ROWS[:, label]

    def __iter__(self):
        return iter(range(ROWS.shape[1]))


BATCH = "argument 'vectors': expected a 2-D array of shape (n, vector_size)"
ONE_VECTOR = f"{BATCH}, got a 1-D array of shape (3,); reshape a single vector with vector.reshape(1, -1)"
ONE_LIST = f"{BATCH} or a sequence of vectors, got a sequence of 'float' objects; give a single vector as [vector]"
IDS_SHAPE = "argument 'ids': expected a 1-D array of ids of shape (n,), got a 2-D array of shape (3, 1)"

CALLS = {
    "search_batch": lambda vectors, top_k=1: STORE.search_batch(vectors, top_k),
    "parallel_search_batch": lambda vectors, top_k=1, n=None: STORE.parallel_search_batch(vectors, top_k, n),
    "search_arrays": lambda vectors, top_k=1, n=None: STORE.search_arrays(vectors, top_k, n),
    "from_array": lambda vectors, ids=None: Vectorstore.from_array(vectors, ids),
    "append": lambda vectors, ids=None: Vectorstore.from_array(ROWS).append(vectors, ids),
}
SEARCHES = ["search_batch", "parallel_search_batch", "search_arrays"]
BUILDS = ["from_array", "append"]


def each(methods, *arguments):
    return [(method, arguments) for method in methods]


@pytest.mark.parametrize("method, arguments, error, text", [
    *[(m, a, TypeError, ONE_VECTOR) for m, a in each(SEARCHES + BUILDS, ROWS[0])],
    *[(m, a, TypeError, ONE_LIST) for m, a in each(SEARCHES + BUILDS, [1.0, 0.0, 2.0])],
    *[(m, a, TypeError, f"{BATCH}, got a 0-D array of shape (); give the vectors as the rows of a 2-D array")
      for m, a in each(SEARCHES + BUILDS, np.array(1.0))],
    *[(m, a, TypeError, f"{BATCH} or a sequence of vectors, got 'float' object")
      for m, a in each(SEARCHES + BUILDS, 2.5)],
    *[(m, a, TypeError, "argument 'vectors': expected a vector (a sequence of numbers) as row 1, got 'int' object")
      for m, a in each(SEARCHES + BUILDS, [[1, 0, 0], 7])],
    *[(m, a, TypeError, "argument 'ids': 'numpy.float64' object cannot be interpreted as an integer")
      for m, a in each(BUILDS, ROWS, np.array([1.0, 2.0, 3.0]))],
    *[(m, a, TypeError, "argument 'ids': 'float' object cannot be interpreted as an integer")
      for m, a in each(BUILDS, ROWS.tolist(), [1, 2.0, 3])],
    *[(m, a, TypeError, "argument 'ids': Can't extract `str` to `Vec`") for m, a in each(BUILDS, ROWS, "abc")],
    *[(m, a, TypeError, IDS_SHAPE + "; flatten it with ids.ravel()")
      for m, a in each(BUILDS, ROWS, np.zeros((3, 1), dtype=np.int64))],
    *[(m, a, OverflowError, "argument 'ids': can't convert negative int to unsigned")
      for m, a in each(BUILDS, ROWS, [1, -2, 3]) + each(BUILDS, ROWS, np.array([1, -2, 3]))],
    *[(m, a, OverflowError, "argument 'ids': int too big to convert") for m, a in each(BUILDS, ROWS, [1, 2**64, 3])],
    *[(m, a, OverflowError, "argument 'top_k': can't convert negative int to unsigned")
      for m, a in each(SEARCHES, ROWS, -1)],
    *[(m, a, OverflowError, "argument 'n_threads': can't convert negative int to unsigned")
      for m, a in each(SEARCHES[1:], ROWS, 1, -1)],
    # The methods whose texts are fixed keep them.
    ("search", (ROWS[0], -1), OverflowError, "can't convert negative int to unsigned"),
    ("insert", (ROWS[0], -1), OverflowError, "can't convert negative int to unsigned"),
    ("constructor", ([(ROWS[0], -1)],), OverflowError, "can't convert negative int to unsigned"),
    ("constructor", (5,), TypeError, "argument 'vectors': 'int' object is not an instance of 'Sequence'"),
])
def test_errors_name_the_argument_and_say_what_was_expected(method, arguments, error, text):
    calls = dict(CALLS, search=STORE.search, insert=Vectorstore(3).insert,
                 constructor=lambda vectors: Vectorstore(3, vectors))
    with pytest.raises(error) as raised:
        calls[method](*arguments)
    assert type(raised.value) is error and str(raised.value) == text


@pytest.mark.parametrize("method", SEARCHES + BUILDS)
def test_a_data_frame_is_read_by_its_rows_not_its_iteration(method):
    # Its iteration gives column labels, which read as one vector; through
    # __array__ the array methods read its rows instead.
    def answer(vectors):
        if method in BUILDS:
            store = Vectorstore.from_array(vectors) if method == "from_array" else Vectorstore.from_array(ROWS)
            if method == "append":
                store.append(vectors)
            return store.search_batch(ROWS, 2 * len(ROWS))
        got = CALLS[method](vectors, 3)
        return [a.tolist() for a in got] if method == "search_arrays" else got
    assert answer(DataFrame()) == answer(ROWS)


class LenRaises(list):
    """A list whose len() raises: only a hint, unless what it raises must stop the call."""

    def __init__(self, items, raised):
        super().__init__(items)
        self.raised = raised

    def __len__(self):
        raise self.raised


@pytest.mark.parametrize("raised", [KeyboardInterrupt(), SystemExit(3), ValueError("len"), TypeError("no len")],
                         ids=lambda raised: type(raised).__name__)
@pytest.mark.parametrize("call", [
    lambda lazy: STORE.search_batch(lazy(ROWS.tolist()), 2),
    lambda lazy: STORE.parallel_search_batch(lazy(ROWS.tolist()), 2, 2),
    lambda lazy: STORE.search_arrays(lazy(ROWS.tolist()), 2),
    lambda lazy: Vectorstore.from_array(lazy(ROWS.tolist())),
    lambda lazy: Vectorstore.from_array(ROWS, lazy([4, 5, 6])),
    lambda lazy: Vectorstore.from_array(ROWS).append(lazy(ROWS.tolist()), [7, 8, 9]),
    lambda lazy: Vectorstore.from_array(ROWS).append(ROWS.tolist(), lazy([7, 8, 9])),
], ids=["search_batch", "parallel_search_batch", "search_arrays", "from_array", "from_array ids", "append",
        "append ids"])
def test_what_a_batch_len_raises_propagates_unless_a_type_error(call, raised):
    lazy = lambda items: LenRaises(items, raised)  # noqa: E731
    if isinstance(raised, TypeError):
        call(lazy)  # no usable length: the items decide, as with operator.length_hint
        return
    with pytest.raises(type(raised)) as caught:
        call(lazy)
    assert caught.value is raised


@pytest.mark.parametrize("call", [
    lambda lazy: Vectorstore(3, lazy([(ROWS[0], 1)])),
    lambda lazy: Vectorstore(3).insert(lazy(ROWS[0].tolist()), 1),
    lambda lazy: STORE.search(lazy(ROWS[0].tolist()), 2),
    lambda lazy: STORE.parallel_search(lazy(ROWS[0].tolist()), 2, 2),
], ids=["constructor", "insert", "search", "parallel_search"])
def test_the_single_vector_methods_still_drop_what_len_raises(call):
    call(lambda items: LenRaises(items, KeyboardInterrupt()))
