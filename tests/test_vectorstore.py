"""The Vectorstore class: its type object, construction, insert, the access flag."""
import collections
import weakref

import pytest

from conftest import Hook, run_python
from tessaly import Vectorstore

ROWS = [([1, 0], 10), ([0, 1], 20), ([1, 1], 30)]


def snapshot(store):
    """Everything observable about a store: size, text and every entry in order."""
    return len(store), repr(store), store.vector_size, [store.search(q, 100) for q in ([1, 0], [0, 1])]


# --- the class object --------------------------------------------------------------------

def test_class_identity_and_signatures():
    assert Vectorstore.__module__ == "builtins"
    assert (Vectorstore.__name__, Vectorstore.__qualname__) == ("Vectorstore", "Vectorstore")
    assert repr(Vectorstore) == "<class 'builtins.Vectorstore'>"
    assert Vectorstore.__text_signature__ == "(vector_size, vectors=None)"
    assert Vectorstore.insert.__text_signature__ == "($self, vector, id)"
    assert Vectorstore.search.__text_signature__ == "($self, vector, top_k)"
    assert Vectorstore.parallel_search.__text_signature__ == "($self, vector, top_k, n_threads=None)"
    assert Vectorstore.search_batch.__text_signature__ == "($self, vectors, top_k)"
    assert Vectorstore.parallel_search_batch.__text_signature__ == "($self, vectors, top_k, n_threads=None)"


def test_not_subclassable():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (Vectorstore,), {})


def test_instances_are_closed():
    store = Vectorstore(2, ROWS)
    with pytest.raises(TypeError):
        weakref.ref(store)
    with pytest.raises(AttributeError):
        store.extra = 1
    for mutate in (lambda: setattr(store, "vector_size", 5), lambda: delattr(store, "vector_size")):
        with pytest.raises(AttributeError):
            mutate()
        assert store.vector_size == 2


def test_class_attributes_can_be_set():
    store = Vectorstore(1)
    Vectorstore.label = "shared"
    try:
        assert store.label == "shared"
    finally:
        del Vectorstore.label
    assert not hasattr(store, "label")


def test_reimport_yields_the_same_class():
    result = run_python("""
        import importlib, sys, tessaly
        first, cls = tessaly, tessaly.Vectorstore
        del sys.modules['tessaly']
        second = importlib.import_module('tessaly')
        assert second is not first and second.Vectorstore is cls
        assert len(cls(2, [([1, 2], 3)])) == 1
        print('same')
    """)
    assert result.stdout.strip() == "same", result.stderr


# --- construction --------------------------------------------------------------------------

@pytest.mark.parametrize("make", [lambda: Vectorstore(2), lambda: Vectorstore(2, None),
                                  lambda: Vectorstore(2, vectors=None), lambda: Vectorstore(2, []),
                                  lambda: Vectorstore(vectors=(), vector_size=2)])
def test_empty_constructions(make):
    store = make()
    assert (len(store), bool(store), repr(store)) == (0, False, "Vectorstore(vector_size=2, len=0)")
    assert store.search([1, 0], 5) == []


def test_duplicate_ids_stay_separate_entries():
    store = Vectorstore(2, [([1, 2], 7), ([3, 4], 7)])
    assert len(store) == 2
    assert [i for _, i in store.search([1, 2], 5)] == [7, 7]


@pytest.mark.parametrize("vectors, error, message", [
    ([([1, 2], 1), ([1, 2, 3], 2), ([1], 3)], ValueError, "vector has length 3 but vectorstore expects 2"),
    ([([1, 2, 3], 1), ([1, 2], -1)], OverflowError, None),  # every pair converts before any length check
    ([([1], 1), ([1, "x"], 2)], TypeError, "argument 'vectors': "),
    ([[[1, 2], 1]], TypeError, "argument 'vectors': 'list' object is not an instance of 'tuple'"),
    ([([1, 2], 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
])
def test_construction_errors(vectors, error, message):
    with pytest.raises(error) as info:
        Vectorstore(2, vectors)
    if message is not None:
        assert str(info.value).startswith(message)


def test_vector_size_converts_before_vectors():
    with pytest.raises(OverflowError):
        Vectorstore(-1, "not even a pair list")


def test_named_tuples_are_pairs():
    Pair = collections.namedtuple("Pair", "vector id")
    store = Vectorstore(2, [Pair([1, 0], 3), Pair(vector=(0, 1), id=4)])
    assert store.search([1, 0], 5) == [(1.0, 3), (0.0, 4)]


# --- insert, len, repr -----------------------------------------------------------------------

def test_insert_checks_length():
    store = Vectorstore(2)
    with pytest.raises(ValueError, match="^vector has length 3 but vectorstore expects 2$"):
        store.insert([1, 2, 3], 9)
    assert len(store) == 0
    assert store.insert([1, 2], 9) is None
    assert len(store) == 1
    empty = Vectorstore(0)
    empty.insert([], 5)
    with pytest.raises(ValueError, match="^vector has length 1 but vectorstore expects 0$"):
        empty.insert([1.0], 5)
    assert repr(empty) == "Vectorstore(vector_size=0, len=1)"


@pytest.mark.parametrize("ident", [0, 2**63 - 1, 2**63, 2**63 + 12345, 2**64 - 1])
def test_ids_kept_exactly(ident):
    store = Vectorstore(2)
    store.insert(vector=[0.5, 0.5], id=ident)
    [(_, got)] = store.search([1, 1], 1)
    assert got == ident and type(got) is int


def test_entry_order_is_constructor_then_inserts():
    # Every vector points the same way, so all scores tie and the result is insertion order.
    store = Vectorstore(2, [([1, 0], 5), ([3, 0], 3)])
    for vector, ident in (([2, 0], 9), ([0.5, 0], 1), ([7, 0], 3)):
        store.insert(vector, ident)
    assert (len(store), bool(store), repr(store)) == (5, True, "Vectorstore(vector_size=2, len=5)")
    assert store.search([1, 0], 10) == [(1.0, i) for i in (5, 3, 9, 1, 3)]


# --- the access flag ---------------------------------------------------------------------------

INNER = {
    "len": (lambda s: len(s), "Already mutably borrowed"),
    "repr": (lambda s: repr(s), "Already mutably borrowed"),
    "vector_size": (lambda s: s.vector_size, "Already mutably borrowed"),
    "search": (lambda s: s.search([1, 0], 1), "Already mutably borrowed"),
    "parallel_search": (lambda s: s.parallel_search([1, 0], 1, 2), "Already mutably borrowed"),
    "search_batch": (lambda s: s.search_batch([[1, 0]], 1), "Already mutably borrowed"),
    "to_arrays": (lambda s: s.to_arrays(), "Already mutably borrowed"),
    "insert": (lambda s: s.insert([1, 0], 1), "Already borrowed"),
}
# (outer call with the hook placed in one of its arguments, inner calls that conflict)
OUTER = {
    "insert-vector": (lambda s, h: s.insert([h, 0], 77), list(INNER)),
    "insert-id": (lambda s, h: s.insert([1, 0], h), list(INNER)),
    "search-vector": (lambda s, h: s.search([h, 0], 2), ["insert"]),
    "search-top_k": (lambda s, h: s.search([1, 0], h), ["insert"]),
    "parallel-n_threads": (lambda s, h: s.parallel_search([1, 0], 2, h), ["insert"]),
    "batch-vectors": (lambda s, h: s.search_batch([[1, 0], [h, 0]], 2)[1], ["insert"]),
    "parallel-batch-top_k": (lambda s, h: s.parallel_search_batch([[1, 0]], h, 2)[0], ["insert"]),
}
CASES = [(o, i) for o in OUTER for i in INNER]


@pytest.mark.parametrize("outer, inner", CASES)
def test_callback_meets_access_rule_and_swallows(outer, inner):
    store = Vectorstore(2, ROWS)
    call, conflicting = OUTER[outer]
    seen = []

    def callback():
        try:
            INNER[inner][0](store)
            seen.append("ok")
        except RuntimeError as error:
            seen.append(str(error))

    result = call(store, Hook(1, callback))
    assert seen == [INNER[inner][1] if inner in conflicting else "ok"]
    # insert always conflicts, so the only entry added is the outer insert's own.
    assert len(store) == 3 + outer.startswith("insert")
    if not outer.startswith("insert"):
        assert result[0] == (1.0, 10)
    store.insert([0, 0], 1)  # every access taken during the call was released


@pytest.mark.parametrize("outer, inner", [(o, i) for o, i in CASES if i in OUTER[o][1]])
def test_unswallowed_conflict_fails_outer_call_and_releases(outer, inner):
    store = Vectorstore(2, ROWS)
    before = snapshot(store)
    with pytest.raises(RuntimeError, match="^" + INNER[inner][1] + "$"):
        OUTER[outer][0](store, Hook(1, lambda: INNER[inner][0](store)))
    assert snapshot(store) == before
    store.insert([1, 1], 99)  # exclusive access is free again
    assert len(store) == 4


FAILURES = {
    "insert-length": lambda s: s.insert([1, 2, 3], 9),
    "insert-element": lambda s: s.insert([1, "x"], 9),
    "insert-negative-id": lambda s: s.insert([1, 2], -1),
    "insert-id-2**64": lambda s: s.insert([1, 2], 2**64),
    "insert-float-id": lambda s: s.insert([1, 2], 1.5),
    "insert-str": lambda s: s.insert("ab", 1),
    "insert-generator": lambda s: s.insert((x for x in (1, 2)), 1),
    "insert-missing": lambda s: s.insert([1, 2]),
    "insert-surplus": lambda s: s.insert([1, 2], 1, 2),
    "insert-callback-raises": lambda s: s.insert([1, Hook(2, lambda: 1 / 0)], 1),
    "search-length": lambda s: s.search([1, 2, 3], 0),
    "search-negative": lambda s: s.search([1, 0], -1),
    "search-none": lambda s: s.search([1, 0], None),
    "parallel-negative": lambda s: s.parallel_search([1, 0], 1, -1),
    "parallel-length": lambda s: s.parallel_search([1, 0, 0], 1, 2),
    "parallel-conflict": lambda s: s.parallel_search([Hook(1, lambda: s.insert([1, 1], 5)), 0], 1),
}


@pytest.mark.parametrize("name", FAILURES)
def test_failure_leaves_store_unchanged_and_usable(name):
    store = Vectorstore(2, ROWS)
    before = snapshot(store)
    with pytest.raises((ValueError, TypeError, OverflowError, RuntimeError, ZeroDivisionError)):
        FAILURES[name](store)
    assert snapshot(store) == before
    store.insert([2, 0], 40)
    assert store.search([1, 0], 2) == [(1.0, 10), (1.0, 40)]
