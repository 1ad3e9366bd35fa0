"""Argument matching and value conversion for every entry point that takes arguments."""
import array
import collections
import math
import operator
import struct
import sys

import numpy as np
import pytest

import _tessaly_testhooks as hooks
from tessaly import Vectorstore as VS, cosine_similarity as cs

S = VS(2)  # only ever given calls that fail, so it stays empty
Pair = collections.namedtuple("Pair", "vector id")
SURROGATE = "\udc80x"
SURROGATE_TEXT = SURROGATE.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def check_raises(kind, text, call):
    """`call` raises exactly `kind` with `text`, and leaves nothing pending behind it."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is kind and str(info.value) == text
    assert hooks.drop_error() is False and len(S) == 0
    return info.value


def message_of(function, value):
    """The interpreter's own text for a conversion that the module delegates to it."""
    try:
        function(value)
    except Exception as error:
        return str(error)


class Items:
    """A sequence by item access alone; __len__ answers `length`: raised, called or returned."""
    def __init__(self, items, length=None):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        if callable(self.length):
            return self.length()
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        return self.items[index]


class Element:
    """A number whose conversion first runs `action`, raising what it returns if that is an exception."""
    def __init__(self, action, value=1):
        self.action, self.value = action, value

    def run(self):
        outcome = self.action()
        if isinstance(outcome, BaseException):
            raise outcome

    def __float__(self):
        self.run()
        return float(self.value)

    def __index__(self):
        self.run()
        return self.value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Text(str):
    pass


class Holder:
    class NotASequence:
        pass


V2 = [1.0, 2.0]
NEW, PAR = "Vectorstore.__new__()", "Vectorstore.parallel_search()"


@pytest.mark.parametrize("call, text", [
    (lambda: cs("a", "b", "c"), "cosine_similarity() takes 2 positional arguments but 3 were given"),
    (lambda: S.insert(V2, 1, 2, 3), "Vectorstore.insert() takes 2 positional arguments but 4 were given"),
    (lambda: S.search(V2, 1, 2, k=3), "Vectorstore.search() takes 2 positional arguments but 3 were given"),
    (lambda: VS(1, None, 3), f"{NEW} takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: VS(1, None, 3, vector_size=2), f"{NEW} takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: S.parallel_search(V2, 1, None, 5),
     f"{PAR} takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: S.search(vector="x", k=3), "Vectorstore.search() got an unexpected keyword argument 'k'"),
    (lambda: S.search(Vector=V2, top_k=1), "Vectorstore.search() got an unexpected keyword argument 'Vector'"),
    (lambda: VS(size=2), f"{NEW} got an unexpected keyword argument 'size'"),
    (lambda: cs(V2, bogus=1, vec1=V2), "cosine_similarity() got an unexpected keyword argument 'bogus'"),
    (lambda: cs(V2, vec1=V2, bogus=1), "cosine_similarity() got multiple values for argument 'vec1'"),
    (lambda: VS(2, bogus=1, vector_size=2), f"{NEW} got an unexpected keyword argument 'bogus'"),
    (lambda: VS(2, vector_size=2, bogus=1), f"{NEW} got multiple values for argument 'vector_size'"),
    (lambda: S.insert(V2, 5, vector=V2), "Vectorstore.insert() got multiple values for argument 'vector'"),
    (lambda: S.parallel_search(V2, n_threads=1, top_k=1, vector=V2),
     f"{PAR} got multiple values for argument 'vector'"),
    (lambda: cs(V2, **{SURROGATE: 1}),
     f"cosine_similarity() got an unexpected keyword argument '{SURROGATE_TEXT}'"),
    (lambda: VS(2, **{SURROGATE: 1}), f"{NEW} got an unexpected keyword argument '{SURROGATE_TEXT}'"),
    (lambda: cs(), "cosine_similarity() missing 2 required positional arguments: 'vec1' and 'vec2'"),
    (lambda: cs(vec2=V2), "cosine_similarity() missing 1 required positional argument: 'vec1'"),
    (lambda: VS(vectors=[]), f"{NEW} missing 1 required positional argument: 'vector_size'"),
    (lambda: S.insert(V2), "Vectorstore.insert() missing 1 required positional argument: 'id'"),
    (lambda: S.search(top_k=1), "Vectorstore.search() missing 1 required positional argument: 'vector'"),
    (lambda: S.parallel_search(n_threads=2),
     f"{PAR} missing 2 required positional arguments: 'vector' and 'top_k'"),
])
def test_call_errors(call, text):
    check_raises(TypeError, text, call)


def test_keywords_in_any_order_and_none_for_optional_parameters():
    for store in (VS(vectors=[([1.0, 0.0], 4)], vector_size=2), VS(2, None), VS(2, vectors=None)):
        store.insert(id=5, vector=[0.0, 1.0])
        assert store.search(top_k=1, vector=[0.0, 1.0]) == [(1.0, 5)]
        assert store.parallel_search(n_threads=2, top_k=1, vector=[0.0, 1.0]) == [(1.0, 5)]
        assert store.parallel_search([0.0, 1.0], 1, None) == [(1.0, 5)]


# Where a later argument is bad too, the earlier one's error must win.
NOT_SEQUENCE = "object is not an instance of 'Sequence'"
NO_STR = "Can't extract `str` to `Vec`"


@pytest.mark.parametrize("call, text", [
    (lambda: cs(None, V2), "argument 'vec1': 'None' is not an instance of 'Sequence'"),
    (lambda: cs(V2, 7), f"argument 'vec2': 'int' {NOT_SEQUENCE}"),
    (lambda: S.insert((x for x in V2), 1), f"argument 'vector': 'generator' {NOT_SEQUENCE}"),
    (lambda: S.search({0: 1.0, 1: 2.0}, None), f"argument 'vector': 'dict' {NOT_SEQUENCE}"),
    (lambda: S.parallel_search(Holder.NotASequence(), 1),
     f"argument 'vector': 'Holder.NotASequence' {NOT_SEQUENCE}"),
    (lambda: S.insert("12", 3.0), f"argument 'vector': {NO_STR}"),
    (lambda: S.search(Text("12"), 1), f"argument 'vector': {NO_STR}"),
    (lambda: S.insert([1.0, "x"], 1), "argument 'vector': " + message_of(math.isnan, "x")),
    (lambda: S.insert(V2, 3.0), "argument 'id': " + message_of(operator.index, 3.0)),
    (lambda: S.search(V2, None), "argument 'top_k': " + message_of(operator.index, None)),
    (lambda: S.parallel_search(V2, 1, "2"), "argument 'n_threads': " + message_of(operator.index, "2")),
    (lambda: VS(2.0, vectors="ab"), "argument 'vector_size': " + message_of(operator.index, 2.0)),
    (lambda: VS(2, vectors="ab"), f"argument 'vectors': {NO_STR}"),
    (lambda: VS(2, vectors=5), f"argument 'vectors': 'int' {NOT_SEQUENCE}"),
    (lambda: VS(2, vectors=[[1.0, 2.0], 3]), "argument 'vectors': 'list' object is not an instance of 'tuple'"),
    (lambda: VS(2, vectors=[(Text("ab"), 1)]), f"argument 'vectors': {NO_STR}"),
    (lambda: VS(2, vectors=[(V2, 1.5)]), "argument 'vectors': " + message_of(operator.index, 1.5)),
])
def test_conversion_type_errors_name_the_argument(call, text):
    error = check_raises(TypeError, text, call)
    assert error.__context__ is None and error.__suppress_context__


NEGATIVE, TOO_BIG = "can't convert negative int to unsigned", "int too big to convert"


@pytest.mark.parametrize("call, kind, text", [
    (lambda: VS(2, vectors=[(V2,)]), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    (lambda: VS(2, vectors=[(V2, 1, 2)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda: cs([2**2000], [1.0]), OverflowError, message_of(math.isnan, 2**2000)),
    (lambda: S.insert(V2, -1), OverflowError, NEGATIVE),
    (lambda: S.insert(V2, 2**64), OverflowError, TOO_BIG),
    (lambda: S.insert(V2, Index(-1)), OverflowError, NEGATIVE),
    (lambda: VS(2, vectors=[(V2, -5)]), OverflowError, NEGATIVE),
    (lambda: VS(-1), OverflowError, NEGATIVE),
    (lambda: S.search(V2, -1), OverflowError, NEGATIVE),
    (lambda: S.parallel_search(V2, 1, 2**64), OverflowError, TOO_BIG),
])
def test_other_conversion_errors_are_not_prefixed(call, kind, text):
    check_raises(kind, text, call)


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize("cause", [None, KeyError("why")])
def test_exact_type_error_is_rewritten_keeping_its_cause(cause):
    original = TypeError("no float here")
    original.__cause__ = cause
    error = check_raises(TypeError, "argument 'vec2': no float here",
                         lambda: cs([1.0], [Element(lambda: original)]))
    assert error is not original and error.__cause__ is cause
    assert error.__suppress_context__ is True and error.__context__ is None


@pytest.mark.parametrize("original", [TypeErrorSubclass("t"), ValueError("v"), OverflowError("o"), KeyError("k")])
def test_other_exceptions_pass_unchanged(original):
    error = check_raises(type(original), str(original), lambda: S.search([Element(lambda: original), 1.0], 1))
    assert error is original


@pytest.mark.parametrize("vector", [
    [1, 2, 3], (1.0, 2.0, 3.0), range(1, 4), b"\x01\x02\x03", bytearray(b"\x01\x02\x03"),
    array.array("f", [1, 2, 3]), array.array("q", [1, 2, 3]), Items([1, 2, 3]), np.array([1, 2, 3], np.float32),
])
def test_sequences_of_numbers_are_accepted(vector):
    probe = [0.5, -2.0, 7.0]
    expected = cs([1.0, 2.0, 3.0], probe)
    store = VS(3, [(vector, 8)])
    store.insert(vector, 9)
    assert store.search(probe, 2) == [(expected, 8), (expected, 9)]
    assert cs(vector, probe) == expected


def f32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def test_elements_are_narrowed_to_float32():
    probe = [0.3, 0.2]
    score = cs([0.1, 0.7], probe)
    # Doubles that round to the same float32 give the same score, and the score is a float32 value.
    assert score.hex() == cs([f32(0.1), 0.7], probe).hex() == cs([math.nextafter(0.1, 1), 0.7], probe).hex()
    assert f32(score) == score
    assert math.isnan(cs([1e39, 1.0], [1.0, 1.0]))  # 1e39 became infinity: inf / inf
    assert cs([3e38, 1.0], [1.0, 1.0]) == 0.0  # finite, only its square overflows


class FloatSub(float):
    pass


class HasFloat:
    def __float__(self):
        return -1.0


@pytest.mark.parametrize("minus_one", [-1.0, -1, FloatSub(-1.0), HasFloat(), Index(-1), np.float32(-1)])
def test_minus_one_is_a_value_not_an_error(minus_one):
    assert cs([minus_one], [1.0]) == -1.0


@pytest.mark.parametrize("given, stored", [(2**64 - 1, 2**64 - 1), (2**63, 2**63), (True, 1), (Index(3), 3),
                                           (0, 0)])
def test_identifiers(given, stored):
    store = VS(1, [Pair([1.0], given)])
    store.insert([1.0], given)
    found = store.search([1.0], 5)
    assert found == [(1.0, stored), (1.0, stored)] and all(type(i) is int for _, i in found)


def test_largest_size_passes_conversion():
    largest = 2 * sys.maxsize + 1
    assert VS(largest).vector_size == largest
    assert VS(1, [([1.0], 7)]).parallel_search([1.0], largest, largest) == [(1.0, 7)]


@pytest.mark.skipif(sys.maxsize != 2**31 - 1, reason="sizes are 64-bit on this build")
@pytest.mark.parametrize("call", [lambda: VS(2**32), lambda: S.search(V2, 2**32),
                                  lambda: S.parallel_search(V2, 1, 2**32)])
def test_sizes_beyond_32_bits(call):
    check_raises(OverflowError, "out of range integral type conversion attempted", call)
    assert VS(2**32 - 1).vector_size == 2**32 - 1


@pytest.mark.parametrize("length", [ValueError("no length"), TypeError("no"), 0, 1, 10**6])
def test_length_hint_never_changes_the_result(length):
    expected = cs([1.0, 2.0, 3.0], [3.0, 1.0, 2.0])
    assert cs(Items([1.0, 2.0, 3.0], length), [3.0, 1.0, 2.0]) == expected
    assert hooks.drop_error() is False  # the hint's error was not left pending
    store = VS(3, Items([([1.0, 2.0, 3.0], 4)], length))
    assert store.search([3.0, 1.0, 2.0], 5) == [(expected, 4)]


def test_length_hint_may_meet_the_access_flag():
    store = VS(1)
    store.insert(Items([1.0], lambda: len(store)), 2)  # its "Already mutably borrowed" goes with the hint
    assert store.search([1.0], 5) == [(1.0, 2)]


BORROWED, MUTABLY = "Already borrowed", "Already mutably borrowed"


@pytest.mark.parametrize("inner, text", [
    (lambda s: len(s), MUTABLY), (lambda s: repr(s), MUTABLY), (lambda s: s.vector_size, MUTABLY),
    (lambda s: s.search([1.0], 1), MUTABLY), (lambda s: s.parallel_search([1.0], 1, 2), MUTABLY),
    (lambda s: s.insert([1.0], 1), BORROWED),
])
def test_insert_holds_exclusive_access_while_converting(inner, text):
    store = VS(1)
    check_raises(RuntimeError, text, lambda: store.insert([Element(lambda: inner(store))], 1))
    check_raises(RuntimeError, text, lambda: store.insert([1.0], Element(lambda: inner(store))))
    messages = []

    def swallow():
        try:
            inner(store)
        except RuntimeError as error:
            messages.append(str(error))

    store.insert([Element(swallow, 2)], 7)  # the outer call goes on
    assert messages == [text] and store.search([1.0], 5) == [(1.0, 7)]


@pytest.mark.parametrize("method", ["search", "parallel_search"])
def test_searches_hold_shared_access_while_converting(method):
    store = VS(1, [([1.0], 3)])
    search = getattr(store, method)
    check_raises(RuntimeError, BORROWED, lambda: search([Element(lambda: store.insert([1.0], 4))], 1))
    def read():
        return len(store), repr(store), store.vector_size, store.search([1.0], 1), store.parallel_search([1.0], 1)

    assert search([Element(read)], 1) == [(1.0, 3)]
    store.insert([-1.0], 4)  # the access was released on every path
    assert len(store) == 2


# Doubles whose float32 rounding is delicate: ties to even, subnormals, the edge of overflow.
DELICATE = [0.1, 16777217.0, 1e-46, 1.5e-45, 2.0**-149 * 2.5, 3.4028235677973366e38,
            3.4028235677973367e38, -0.0, math.inf, math.nan]


@pytest.mark.filterwarnings("ignore:overflow encountered in cast")
@pytest.mark.parametrize("make", [
    lambda v: np.array(v, np.float64), lambda v: np.array(v, np.float32), lambda v: array.array("d", v),
    lambda v: memoryview(array.array("d", v)), lambda v: np.array(v + v, np.float64)[::2],
    lambda v: np.array(v, ">f8"), lambda v: np.array([v], np.float64)[0],
], ids=["float64", "float32", "array-d", "memoryview", "strided", "big-endian", "row-view"])
def test_buffers_convert_exactly_as_iteration_does(make):
    # Contiguous native float buffers are copied without iterating; the values must be
    # the ones iterating element by element gives, whatever path the layout takes.
    for x in DELICATE:
        vector = make([x, 1.0])
        iterated = [float(item) for item in vector]
        probe = [1.0, 0.5]
        assert cs(vector, probe).hex() == cs(iterated, probe).hex(), x
        store = VS(2, [(vector, 1)])
        store.insert(vector, 2)
        assert repr(store.search(probe, 2)) == repr(VS(2, [(iterated, 1), (iterated, 2)]).search(probe, 2))
