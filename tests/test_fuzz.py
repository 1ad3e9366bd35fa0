"""Generated calls to every entry point, checked against a small model of the call contract.

A case is plain data (a recipe). The objects it describes, many of them hostile (lying
lengths, raising or re-entrant conversions, lying __str__), are built afresh for every
run: a case runs twice on identical fresh stores and must give the same outcome both
times. Each outcome must be the predicted one (the first failing argument's exception,
or the float32 oracle's answer), and after every call the store must hold what a plain
list model says (len, repr, vector_size and a full search).
"""
import array
import atexit
import collections
import math
import os
import sys
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import reference
from tessaly import Vectorstore as VS, cosine_similarity as cs

# Fuzzed calls per entry point natively (a tenth under qemu, which is ~10x slower), each run
# twice: cosine_similarity 600, Vectorstore() 600, insert / search / parallel_search about 550
# each (350 stores given 1-3 calls); len, repr and vector_size follow every one of them.
SCALE = 10 if os.environ.get("TESSALY_QEMU_PREFIX") else 1
# Even without a database Hypothesis caches constants it finds in local modules under
# ./.hypothesis; keep that cache in a directory that goes away with the run.
STORAGE = tempfile.TemporaryDirectory(prefix="tessaly-fuzz-")
atexit.register(STORAGE.cleanup)
os.environ.setdefault("HYPOTHESIS_STORAGE_DIRECTORY", STORAGE.name)
FUZZ = dict(deadline=None, derandomize=True, database=None, suppress_health_check=[HealthCheck.too_slow])
SIZE_MAX = 2 * sys.maxsize + 1  # the size type: 2**32 - 1 on the 32-bit build
F32 = np.float32
Pair = collections.namedtuple("Pair", "vector id")


def fail(error):
    raise error


def noop():
    pass


TypeErrorSub = type("TypeErrorSub", (TypeError,), {})
Text = type("Text", (str,), {})
# As keyword names these match by their own text, while str() says otherwise or fails.
Lying = type("Lying", (str,), {"__str__": lambda self: "lie\udc80"})
Unprintable = type("Unprintable", (str,), {"__str__": lambda self: fail(ValueError("unprintable"))})
# A float (an int) already: its own __float__ (__index__) is never asked.
FloatSub = type("FloatSub", (float,), {"__float__": lambda self: fail(AssertionError("asked"))})
IntSub = type("IntSub", (int,), {"__index__": lambda self: fail(AssertionError("asked"))})
# A list whose length hint lies: it must be trusted no more than any other hint.
ListSub = type("ListSub", (list,), {"__len__": lambda self: sys.maxsize // 64})
IterOnly = type("IterOnly", (), {"__iter__": lambda self: iter([1.0])})
Surrogate = type("Surrogate", (), {"__qualname__": "q\udc80x"})
HOSTILE = {"ValueError": lambda: ValueError("hostile"), "TypeError": lambda: TypeError("hostile"),
           "TypeErrorSub": lambda: TypeErrorSub("hostile"), "RuntimeError": lambda: RuntimeError("hostile"),
           "KeyError": lambda: KeyError("hostile"), "TypeError lying": lambda: TypeError(Lying()),
           "TypeError unprintable": lambda: TypeError(Unprintable())}


class Hostile:
    """Runs `act` (which may raise or call back) when converted, then gives `value`."""
    def __init__(self, act, value):
        self.act, self.value = act, value

    def convert(self):
        return self.act() or self.value


Flt = type("Flt", (Hostile,), {"__float__": Hostile.convert})
Idx = type("Idx", (Hostile,), {"__index__": Hostile.convert})


class Custom:
    """A sequence by item access; __len__ answers `length()`, which may lie, raise or call back."""
    def __init__(self, items, length, iterate=None):
        self.items, self.length, self.iterate = items, length, iterate

    def __len__(self):
        return self.length()

    def __getitem__(self, index):
        return self.items[index]


CustomIter = type("CustomIter", (Custom,), {"__iter__": lambda self: self.iterate()})


def shown(obj):
    """The text a message shows for `obj`: its str() (lone surrogates replaced), or a stand-in."""
    try:
        return str(obj).encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    except ValueError:
        return f"<unprintable {type(obj).__name__} object>"


# Predictions: ("ok", value) or ("err", type, text, exact); an inexact text is a prefix.
def ok(value):
    return ("ok", value)


def err(kind, text=None):
    return ("err", kind, text or "", text is not None)


def first(events, value):
    return next((e for e in events if e[0] == "err"), ok(value))


def raising(name):
    """A function raising the hostile exception `name`, and the prediction for it."""
    error = HOSTILE[name]()
    text = shown(error) if type(error) is TypeError else str(error)  # only a TypeError's text is re-rendered
    return (lambda: fail(HOSTILE[name]())), err(type(error), text)


class Ctx:
    """Where callbacks go (`store`, tracked by `model`) and which access the running call holds."""
    def __init__(self, store, model, lock, dim):
        self.store, self.model, self.lock, self.dim = store, model, lock, dim

    def callback(self, action, swallow):
        def run():
            try:
                if action == "insert":
                    self.store.insert([0.5] * self.dim, 99)
                    self.model.append((narrow([0.5] * self.dim), 99))
                else:
                    self.store.search([1.0] * self.dim, 1) if action == "search" else repr(self.store)
                    len(self.store), self.store.vector_size
            except RuntimeError:
                if not swallow:
                    raise
        conflict = self.lock == "exclusive" or (self.lock == "shared" and action == "insert")
        text = "Already borrowed" if action == "insert" else "Already mutably borrowed"
        return run, err(RuntimeError, text) if conflict and not swallow else ok(None)


def make_number(recipe, ctx, integer=False, size=True, optional=False):
    """A float element (integer=False) or an integer argument (id, or a size if `size`)."""
    kind, a = recipe
    cls, value = (Idx, 1) if integer else (Flt, 1.0)
    if kind in ("raise", "callback"):
        run, pred = raising(a) if kind == "raise" else ctx.callback(*a)
        return cls(run, value), first([pred], value)
    if kind in ("returns", "junk"):
        if recipe == ("junk", None) and optional:
            return None, ok(None)
        return (cls(noop, a) if kind == "returns" else a() if callable(a) else a), err(TypeError)
    if kind == "fsub":
        return FloatSub(a), ok(a)
    if kind == "np" and integer:  # the nearest value the type holds
        a = (a[0], min(max(a[1], np.iinfo(a[0]).min), np.iinfo(a[0]).max))
    with np.errstate(all="ignore"):
        obj = np.dtype(a[0]).type(a[1]) if kind == "np" else a if kind in ("plain", "int") else (
            IntSub(a) if kind == "intsub" else Flt(noop, a) if kind == "float" else Idx(noop, a))
    if not integer:
        try:
            return obj, ok(float(obj))
        except OverflowError as error:
            return obj, err(OverflowError, str(error))
    n = int(a[1] if kind == "np" else a)
    if n < 0:
        return obj, err(OverflowError, "can't convert negative int to unsigned")
    if n >= 2**64 or (size and n > SIZE_MAX):
        return obj, err(OverflowError, "int too big to convert" if n >= 2**64 else
                        "out of range integral type conversion attempted")
    return obj, ok(n)


def make_seq(recipe, ctx, make_item):
    _, container, items, len_mode, iter_mode = recipe
    built = [make_item(r, ctx) for r in items]
    objs, preds = [o for o, _ in built], [p for _, p in built]
    value = [p[1] for p in preds]
    if container != "custom":
        obj = {"list": list, "tuple": tuple, "listsub": ListSub}.get(
            container, lambda o: np.fromiter(o, dtype=object, count=len(o)))(objs)
        return obj, first(preds, value)
    kind, a = len_mode[0], len_mode[1:]
    run = ctx.callback(*a[0])[0] if kind == "callback" else raising(a[0])[0] if kind == "raise" else noop
    length = (lambda: a[0]) if kind == "returns" else (lambda: run() or len(objs))
    if iter_mode is None:  # whatever __len__ does, it is only a hint: iteration decides
        return Custom(objs, length), first(preds, value)
    kind, a = iter_mode[0], iter_mode[1:]
    if kind == "stop":  # __next__ raises after some items
        def iterate():
            yield from objs[:a[1]]
            raising(a[0])[0]()
        events = preds[:a[1]] + [raising(a[0])[1]]
    elif kind in ("raise", "callback"):
        run, pred = raising(a[0]) if kind == "raise" else ctx.callback(*a[0])
        iterate, events = (lambda: run() or iter(objs)), [pred] + preds
    else:  # __iter__ returns no iterator
        iterate, events = (lambda: 5), [err(TypeError)]
    return CustomIter(objs, length, iterate), first(events, value)


BAD = {"none": lambda: None, "int": lambda: 7, "str": lambda: "ab", "strsub": lambda: Text("ab"),
       "dict": lambda: {0: 1.0}, "gen": lambda: (x for x in [1.0]), "npscalar": lambda: F32(1),
       "iteronly": IterOnly, "surrogate": Surrogate, "mv2d": lambda: memoryview(bytes(8)).cast("f", (1, 2)),
       "released": lambda: (view := memoryview(array.array("f", [1.0]))).release() or view}


def make_bad(which):
    obj = BAD[which]()
    if which in ("mv2d", "released"):  # iterating them is the interpreter's own error
        return obj, (err(NotImplementedError, "multi-dimensional sub-views are not implemented")
                     if which == "mv2d" else err(ValueError, "operation forbidden on released memoryview object"))
    if isinstance(obj, str):
        return obj, err(TypeError, "Can't extract `str` to `Vec`")
    return obj, err(TypeError, "'None' is not an instance of 'Sequence'" if obj is None
                    else f"'{shown(type(obj).__qualname__)}' object is not an instance of 'Sequence'")


def make_vector(recipe, ctx, make_item=make_number):
    """A float vector, or (with make_item=make_pair) the pair list of a constructor."""
    if recipe == ("bad", "none") and make_item is make_pair:
        return None, ok([])
    if recipe[0] != "num":
        return make_bad(recipe[1]) if recipe[0] == "bad" else make_seq(recipe, ctx, make_item)
    _, maker, layout, values = recipe
    start = values[0] if values else 0
    if maker in ("range", "bytes", "bytearray"):
        obj = {"range": lambda: range(start, start + len(values)), "bytes": lambda: bytes(values),
               "bytearray": lambda: bytearray(values)}[maker]()
    elif maker in ("f", "d", "i"):
        obj = array.array(maker, values) if layout == "plain" else memoryview(array.array(maker, values))
        obj = obj[::-1] if layout == "mvreversed" else obj
    else:
        with np.errstate(all="ignore"):
            base = np.array(values, dtype=maker)
        if layout in ("0d", "col"):
            return (np.array(start, dtype=maker) if layout == "0d" else base.reshape(-1, 1),
                    ok([]) if layout == "col" and not values else err(TypeError))
        obj = {"1d": base, "strided": np.repeat(base, 2)[::2], "reversed": base[::-1]}[layout]
    return obj, ok([float(x) for x in obj])


def make_pair(recipe, ctx):
    kind = recipe[0]
    if kind == "pair":
        (vector, vp), (ident, ip) = make_vector(recipe[1], ctx), make_number(recipe[2], ctx, True, False)
        return (Pair(vector, ident) if recipe[3] else (vector, ident)), first([vp, ip], (vp[1], ip[1]))
    if kind != "short":
        obj = [[1.0], 1] if kind == "list2" else 5
        return obj, err(TypeError, f"'{type(obj).__name__}' object is not an instance of 'tuple'")
    text = f"expected tuple of length 2, but got tuple of length {recipe[1]}"
    return ([1.0],) * recipe[1], err(ValueError, text)


SIGS = {"cosine_similarity": ("cosine_similarity()", ("vec1", "vec2"), 2),
        "new": ("Vectorstore.__new__()", ("vector_size", "vectors"), 1),
        "insert": ("Vectorstore.insert()", ("vector", "id"), 2),
        "search": ("Vectorstore.search()", ("vector", "top_k"), 2),
        "parallel_search": ("Vectorstore.parallel_search()", ("vector", "top_k", "n_threads"), 2)}
MAKERS = {"vec1": make_vector, "vec2": make_vector, "vector": make_vector,
          "vectors": lambda r, c: make_vector(r, c, make_pair), "id": lambda r, c: make_number(r, c, True, False),
          "top_k": lambda r, c: make_number(r, c, True), "vector_size": lambda r, c: make_number(r, c, True),
          "n_threads": lambda r, c: make_number(r, c, True, optional=True)}


def call_error(sig, positional, keywords):
    display, params, required = sig
    n = len(positional)
    if n > len(params):
        takes = str(required) if required == len(params) else f"from {required} to {len(params)}"
        return f"{display} takes {takes} positional arguments but {n} {'was' if n == 1 else 'were'} given"
    for name in keywords:
        if name not in params:
            return f"{display} got an unexpected keyword argument '{shown(name)}'"
        if params.index(name) < n:
            return f"{display} got multiple values for argument '{params[params.index(name)]}'"
    missing = [f"'{p}'" for i, p in enumerate(params[:required]) if i >= n and p not in keywords]
    if missing:
        return (f"{display} missing {len(missing)} required positional argument{'s' * (len(missing) > 1)}: "
                + " and ".join(missing))


def build_call(entry, shape, recipes, ctx):
    """The arguments, built afresh, and the predicted outcome of matching and converting them."""
    sig = SIGS[entry]
    params, (positional, keywords) = sig[1], shape
    given = [p for i, p in enumerate(params) if p in keywords or i < len(positional)]
    built = {p: MAKERS[p](recipes[p], ctx) for p in given}
    args = [built[params[i]][0] if i >= 0 else 0 for i in positional]
    kwargs = {k: built[k][0] if k in params else 0 for k in keywords}
    text = call_error(sig, positional, keywords)
    if text:
        return args, kwargs, err(TypeError, text)
    for p in params:
        if p in built and built[p][1][0] == "err":
            _, kind, text, exact = built[p][1]
            if kind is TypeError:  # only an exact TypeError is rewritten with the argument's name
                return args, kwargs, ("err", TypeError, f"argument '{p}': {text}", exact)
            return args, kwargs, built[p][1]
    return args, kwargs, ok({p: v[1][1] for p, v in built.items()})


def narrow(values):
    with np.errstate(all="ignore"):
        return np.asarray(values, dtype=np.float64).astype(F32)


def ranked(model, query, top_k):
    if not model or not len(query):
        return reference.ranked([F32(0.0)] * len(model), [i for _, i in model], top_k)
    matrix = np.array([v for v, _ in model], dtype=F32)
    return reference.ranked(list(reference.scores(matrix, narrow(query))), [i for _, i in model], top_k)


def same(result, expected):
    """Same ids, and scores equal to the bit (repr tells -0.0 apart; every NaN shows as nan)."""
    assert type(result) is list and len(result) == len(expected), (result, expected)
    for pair, (score, ident) in zip(result, expected):
        assert type(pair) is tuple and type(pair[0]) is float and type(pair[1]) is int, result
        assert pair[1] == ident and repr(pair[0]) == repr(score), (result, expected)


def check_store(store, model, dim):
    """The store holds what the model says; returns a snapshot of it."""
    assert len(store) == len(model) and store.vector_size == dim
    assert repr(store) == f"Vectorstore(vector_size={dim}, len={len(model)})"
    if dim > 64:
        return repr(store)
    probe = [(1.0, -0.5, 2.0, 0.25, -3.0, 0.75, 1e-3)[i % 7] for i in range(dim)]
    found = store.search(probe, len(model))
    same(found, ranked(model, probe, len(model)))
    return repr(store) + repr(found)


def attempt(call):
    """The call's result or exception; the only unraisable reports allowed are unprintable texts."""
    reports, hook, sys.unraisablehook = [], sys.unraisablehook, lambda report: reports.append(report)
    try:
        outcome = ("ok", call())
    except Exception as error:  # a PanicException (a BaseException) fails the test as it is
        outcome = ("err", type(error), str(error))
    finally:
        sys.unraisablehook = hook
    assert all(str(report.exc_value) == "unprintable" for report in reports), reports
    return outcome


def settle(entry, outcome, pred, model, dim):
    """Checks the outcome against the prediction completed by the engine's checks; returns it comparable."""
    if pred[0] == "ok":
        v = pred[1]
        if entry == "cosine_similarity":
            a, b = v["vec1"], v["vec2"]
            wrong = len(a) != len(b) and f"vectors have different dimensions ({len(a)} vs {len(b)})"
        elif entry == "new":
            dim, pairs = v["vector_size"], v.get("vectors") or []
            lengths = [len(x) for x, _ in pairs if len(x) != dim]
            wrong = lengths and f"vector has length {lengths[0]} but vectorstore expects {dim}"
        else:
            noun, length = "vector" if entry == "insert" else "query", len(v["vector"])
            wrong = length != dim and f"{noun} has length {length} but vectorstore expects {dim}"
        if not wrong:
            assert outcome[0] == "ok", (outcome, pred)
            got = outcome[1]
            if entry == "cosine_similarity":
                expected = reference.cosine(narrow(a), narrow(b))
                assert type(got) is float and repr(got) == repr(expected), (got, expected, a, b)
            elif entry == "new":
                return "ok", check_store(got, [(narrow(x), i) for x, i in pairs], dim)
            elif entry == "insert":
                assert got is None
                model.append((narrow(v["vector"]), v["id"]))
            else:
                same(got, ranked(model, v["vector"], v["top_k"]))
            return "ok", repr(got)
        pred = err(ValueError, wrong)
    assert outcome[0] == "err" and outcome[1] is pred[1], (outcome, pred)
    assert (outcome[2] == pred[2]) if pred[3] else outcome[2].startswith(pred[2]), (outcome, pred)
    return outcome


# Subnormals, squares that round to zero or overflow float32, values beyond float32, signed zeros.
EDGE_FLOATS = [0.0, -0.0, 1.0, -1.0, 0.1, math.nan, math.inf, -math.inf, 5e-324, 1.4e-45, 1e-40, 2.6e-23,
               1e-30, 1.8446744e19, 3.4028235e38, 3.5e38, 1e39, -1e39, 1e308]
FLOATS = st.sampled_from(EDGE_FLOATS) | st.integers(-3, 3).map(float) | st.floats(width=32) | st.floats(-1e3, 1e3)
BOUNDS = [-2**200, -2**64, -2**63, -1, 0, 1, 2, 3, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63,
          2**64 - 1, 2**64, 2**200]
INT32 = st.integers(-2**31, 2**31 - 1)
ACTIONS = st.tuples(st.sampled_from(["len", "search", "insert", "repr"]), st.booleans())
EXCS = st.sampled_from(sorted(HOSTILE))


def tagged(tag, values):
    return st.tuples(st.just(tag), values)


def hostile(returns, junk):
    return st.one_of(tagged("raise", EXCS), tagged("returns", st.sampled_from(returns)),
                     tagged("callback", ACTIONS), tagged("junk", st.sampled_from(junk)))


def ints(small):
    some, plain = small | st.sampled_from(BOUNDS), tagged("int", small)
    return plain | plain | st.one_of(
        tagged("int", some | st.booleans()), st.tuples(st.sampled_from(["index", "intsub"]), some),
        tagged("np", st.tuples(st.sampled_from(["int8", "int64", "uint64"]), some)),
        hostile([1.5, "1", None], [1.5, -0.0, math.nan, 1e39, "3", b"3", Text("3"), (3,), None, 3j, F32(3)]))


ELEMENTS = st.one_of(
    tagged("plain", FLOATS | st.sampled_from(BOUNDS + [2**1024, -2**2000]) | st.booleans()),
    st.tuples(st.sampled_from(["float", "fsub"]), FLOATS), tagged("index", st.sampled_from(BOUNDS + [2**1024])),
    tagged("np", st.one_of(*(st.tuples(st.just(t), v) for t, v in [
        ("float16", st.floats(width=16)), ("float32", st.floats(width=32)), ("float64", FLOATS),
        ("int32", INT32), ("bool", st.booleans())]))),
    hostile(["1", 1, None], ["x", None, b"1", Text("1"), lambda: [1.0], lambda: {}]))
NUMERIC = {"range": st.integers(-3, 3), "bytes": st.integers(0, 255), "bytearray": st.integers(0, 255),
           "f": st.floats(width=32), "d": FLOATS, "i": INT32, "float32": st.floats(width=32),
           ">f4": st.floats(width=32), "float64": FLOATS, "float16": st.floats(width=16), "int32": INT32,
           "bool": st.booleans()}
NP_LAYOUTS = ["1d", "1d", "strided", "reversed", "col", "0d"]  # col is 2-d, 0d has no items to iterate
LIES = [0, 1, 10**6, sys.maxsize // 64, 2**100, -1, "3", 2.5, None]  # what __len__ may return instead
LENS = st.one_of(st.just(("true",)), tagged("raise", EXCS), tagged("callback", ACTIONS),
                 tagged("returns", st.sampled_from(LIES)))


@st.composite
def seqs(draw, items):
    container = draw(st.sampled_from(["list", "list", "tuple", "custom", "npobj", "listsub"]))
    if container != "custom":
        return ("seq", container, draw(items), None, None)
    items = draw(items)
    iterate = st.one_of(st.none(), tagged("raise", EXCS), st.just(("noniter",)), tagged("callback", ACTIONS),
                        st.tuples(st.just("stop"), EXCS, st.integers(0, len(items))))
    return ("seq", container, items, draw(LENS), draw(iterate))


@st.composite
def vectors(draw, dim, wild=True):
    n = draw(st.sampled_from([dim] * 4 + [max(dim - 1, 0), dim + 1])) if wild else dim
    kind = draw(st.sampled_from(["plain"] * 4 + ["wild", "wild", "numeric", "bad"])) if wild else "plain"
    if kind in ("plain", "wild"):
        element = FLOATS.map(lambda x: ("plain", x)) if kind == "plain" else ELEMENTS
        return draw(seqs(st.lists(element, min_size=n, max_size=n)))
    if kind == "bad":
        return ("bad", draw(st.sampled_from(sorted(BAD))))
    maker = draw(st.sampled_from(sorted(NUMERIC)))
    layouts = ["plain", "mv", "mvreversed"] if maker in "fdi" else NP_LAYOUTS
    values = draw(st.lists(NUMERIC[maker], min_size=n, max_size=n))
    return ("num", maker, draw(st.sampled_from(layouts)), values)


IDS = st.integers(0, 3) | st.sampled_from([2**32, 2**63, 2**64 - 1]) | st.integers(0, 2**64 - 1)
DIMS = st.integers(0, 5) | st.sampled_from([8, 16, 17])


def pair_lists(dim):
    clean = st.tuples(st.just("pair"), vectors(dim, wild=False), tagged("int", IDS), st.booleans())
    wild = st.tuples(st.just("pair"), vectors(dim), ints(IDS), st.booleans())
    other = st.sampled_from([("list2",), ("notuple",), ("short", 0), ("short", 1), ("short", 3)])
    mixed = st.lists(st.one_of(clean, wild, wild, other), max_size=4)
    return st.one_of(seqs(st.lists(clean, max_size=6)), seqs(mixed), tagged("bad", st.sampled_from(sorted(BAD))))


PARAMS = {"vec1": vectors, "vec2": vectors, "vector": vectors, "vectors": pair_lists,
          "id": lambda d: ints(IDS), "top_k": lambda d: ints(st.integers(0, 45)),
          "n_threads": lambda d: ints(st.integers(0, 8)) | st.just(("junk", None)),
          "vector_size": lambda d: st.just(("int", d)) | ints(st.integers(0, 5))}
BOGUS = ["k", "Vector", "vectör", "ｖｅｃｔｏｒ", "\udc80", "id\udc80", "top_k\x00", "", "n_threads ", "𝑖𝑑",
         "vec1", "vectors", "vector", "id", "top_k", Lying("vector"), Lying("bogus"), Unprintable("bogus")]


@st.composite
def calls(draw, entry, dim, few_threads=False):
    _, params, required = SIGS[entry]
    kinds = dict(PARAMS, n_threads=lambda d: tagged("int", st.integers(0, 8))) if few_threads else PARAMS
    rarely = st.integers(0, 15).map(lambda i: i == 7)  # each kind of call error in about one call in 16
    surplus = draw(rarely)  # surplus positional values come after one for every parameter
    k = len(params) if surplus else draw(st.integers(0, len(params)))
    positional = list(range(k)) + [-1] * surplus * draw(st.integers(1, 2))
    keywords = [p for i, p in enumerate(params) if i >= k and (i < required or draw(st.booleans()))]
    for extra in (draw(st.sampled_from(BOGUS)) if draw(rarely) else None,
                  params[draw(st.integers(0, k - 1))] if k and draw(rarely) else None):
        if extra is not None and extra not in keywords:
            keywords.append(extra)
    if keywords and draw(rarely):
        keywords.pop(draw(st.integers(0, len(keywords) - 1)))
    return (positional, draw(st.permutations(keywords))), {p: draw(kinds[p](dim)) for p in params}


@st.composite
def stores(draw):
    dim = draw(DIMS)
    pool = draw(st.lists(st.lists(FLOATS, min_size=dim, max_size=dim), min_size=1, max_size=3))
    vector = st.sampled_from(pool) | st.lists(FLOATS, min_size=dim, max_size=dim)  # repeats make ties
    entries = draw(st.lists(st.tuples(vector, IDS), max_size=draw(st.sampled_from([6, 20, 40]))))
    if draw(st.integers(0, 7)) == 3:  # past the scoring block of 1024, with ties and NaN scores galore
        rng = np.random.default_rng(draw(st.integers(0, 2**32)))
        shape = (draw(st.sampled_from([1025, 2100])), dim)
        rows = rng.choice([-1.0, -0.0, 0.0, 1.0, 2.0, math.nan], size=shape)
        entries += [(row.tolist(), int(i)) for row, i in zip(rows, rng.integers(0, 9, size=len(rows)))]
    return dim, entries


@pytest.mark.parametrize("entry", ["cosine_similarity", "new"])
@settings(max_examples=600 // SCALE, **FUZZ)
@given(data=st.data())
def test_module_function_and_constructor(entry, data):
    shape, recipes = data.draw(calls(entry, data.draw(DIMS)))

    def run():  # callbacks go to a bystander store, which no access protects here
        aux, model = VS(2), []
        args, kwargs, pred = build_call(entry, shape, recipes, Ctx(aux, model, None, 2))
        outcome = attempt(lambda: (cs if entry == "cosine_similarity" else VS)(*args, **kwargs))
        return settle(entry, outcome, pred, None, None), check_store(aux, model, 2)
    assert run() == run()


@pytest.mark.parametrize("method", ["insert", "search", "parallel_search"])
@settings(max_examples=350 // SCALE, **FUZZ)
@given(data=st.data())
def test_store_methods(method, data):
    dim, entries = data.draw(stores())
    # On a large store a huge n_threads asks for a thread per entry, too many for a 32-bit address space.
    steps = data.draw(st.lists(calls(method, dim, few_threads=len(entries) > 40), min_size=1, max_size=3))

    def run():
        model = [(narrow(v), i) for v, i in entries]
        store = VS(dim, [(list(v), i) for v, i in entries])
        seen = [check_store(store, model, dim)]
        for shape, recipes in steps:  # callbacks go to this same store, under the access the call holds
            ctx = Ctx(store, model, "exclusive" if method == "insert" else "shared", dim)
            args, kwargs, pred = build_call(method, shape, recipes, ctx)
            outcome = settle(method, attempt(lambda: getattr(store, method)(*args, **kwargs)), pred, model, dim)
            seen += [outcome, check_store(store, model, dim)]
            assert outcome[0] == "ok" or seen[-1] == seen[-3]  # a failed call leaves the store as it was
        return seen
    assert run() == run()
