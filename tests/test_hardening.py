"""Hardening: no leaks on any path through any entry point, Python threads racing on one
store, and every internal failure that Python can reach, end to end."""
import array
import collections
import errno
import gc
import inspect
import json
import os
import random
import re
import struct
import sys
import threading
import time
import zlib

import numpy as np
import pytest

import tessaly
from conftest import IS_32_BIT, Hook, run_python
from tessaly import Vectorstore, cosine_similarity

# qemu-user runs the 32-bit build several times slower, and keeps memory for every
# thread that ever ran, so resident memory cannot judge calls that start threads there.
EMULATED = bool(os.environ.get("TESSALY_QEMU_PREFIX"))
# AddressSanitizer holds freed memory in quarantine, so resident memory grows anyway.
SANITIZED = bool(os.environ.get("TESSALY_SANITIZE"))
# The debug interpreter counts every reference and block exactly, and runs slowly.
DEBUG_BUILD = hasattr(sys, "gettotalrefcount")


class Huge:
    """Claims more items than four bytes each can address: a capacity overflow."""
    def __len__(self):
        return (sys.maxsize + 1) // 2

    def __getitem__(self, index):
        raise IndexError


try:
    cosine_similarity(Huge(), [])
except BaseException as error:
    PANIC = type(error)


# --- leaks -----------------------------------------------------------------------------------

DIM = 1024  # a converted vector that leaks costs 4 KiB, and so does each long message below
ROUNDS = 500 if EMULATED or DEBUG_BUILD else 5000
WARMUP = ROUNDS // 10


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def leak_workload():
    """Per entry point, one round of calls as (expected exception or None, call), one per
    success or failure path, and every object those calls pass, by name."""
    vec = [float(i % 7) - 3.0 for i in range(DIM)]
    short, bad_tail, overflowing = vec[:-1], vec[:-1] + [["x"]], vec[:-1] + [2**2000]
    floats32, doubles = np.array(vec, dtype=np.float32), array.array("d", vec)
    floats32_short = floats32[:-1]
    rows, ids, negative_ids = np.array([vec, vec]), np.arange(8), np.array([1, -1])
    ident, max_id, too_big, long_name = 2**40 + 1, 2**64 - 1, 2**64, "k" * 4096
    huge, cause = Huge(), LookupError("cause")
    store = Vectorstore(DIM, [(vec, ident)] * 8)

    def raising(kind):  # a TypeError is rewritten with the argument name, keeping its cause
        def callback():
            raise kind("t" * 4096) from cause
        return callback

    def swallowing(call):
        def callback():
            try:
                call()
            except RuntimeError:
                pass
        return callback

    def hooked(callback, tail=vec[1:]):
        return [Hook(1.0, callback)] + tail

    raises_value, raises_type, index_raises = (hooked(raising(ValueError)),
                                               hooked(raising(TypeError)), Hook(3, raising(ValueError)))
    inserting = hooked(lambda: store.insert(vec, ident))
    inserting_swallowed = hooked(swallowing(lambda: store.insert(vec, ident)))
    searching = hooked(lambda: store.search(vec, 1))
    exporting = hooked(lambda: store.to_arrays())
    reading_len, reading_repr, reading_size = (hooked(lambda: len(store)), hooked(lambda: repr(store)),
                                               hooked(lambda: store.vector_size))
    len_swallowed_short = hooked(swallowing(lambda: len(store)), vec[2:])
    pairs, pairs_bad_last = [(vec, ident), (floats32, max_id)], [(vec, ident)] * 4 + [(vec, -1)]
    mismatched = [(vec, ident), (short, ident)]

    class LenFails(list):  # what a batch's or ids' len() raises propagates, unless a TypeError
        def __init__(self, items, kind):
            super().__init__(items)
            self.kind = kind

        def __len__(self):
            raise self.kind("len")
    batch_len_fails, ids_len_fails = LenFails([vec], ValueError), LenFails([ident], ValueError)
    batch_len_unusable = LenFails([vec], TypeError)
    watched = dict(locals(), none=None, true=True, zero=0, one=1, two=2, three=3, hundred=100)
    for name, value in list(watched.items()):  # hooks come first in a list, bad elements last
        if isinstance(value, list):
            watched[name + "[0]"], watched[name + "[-1]"] = value[0], value[-1]

    cs, VS, S = cosine_similarity, Vectorstore, store
    sa, sba = tessaly._search_arguments, tessaly._search_batch_arguments
    ida, cc = tessaly._id_array, tessaly._check_id_count
    calls = {  # entry point: {exception expected (None: success): calls}
        "cosine_similarity": {
            None: [lambda: cs(vec, vec), lambda: cs(floats32, doubles)],
            TypeError: [lambda: cs(vec), lambda: cs(vec, vec, vec), lambda: cs(vec, vec1=vec),
                        lambda: cs(vec, **{long_name: vec}), lambda: cs("ab", vec), lambda: cs(vec, None),
                        lambda: cs(bad_tail, vec), lambda: cs(vec, raises_type)],
            OverflowError: [lambda: cs(overflowing, vec)],
            ValueError: [lambda: cs(vec, short), lambda: cs(floats32_short, vec), lambda: cs(raises_value, vec)],
            PANIC: [lambda: cs(vec, huge)]},
        "constructor": {
            None: [lambda: VS(DIM, pairs), lambda: VS(vectors=pairs, vector_size=DIM)],
            TypeError: [lambda: VS(), lambda: VS(DIM, None, 3), lambda: VS(DIM, vector_size=DIM),
                        lambda: VS(DIM, **{long_name: pairs}), lambda: VS(None), lambda: VS(DIM, "ab"),
                        lambda: VS(DIM, vec), lambda: VS(DIM, [(bad_tail, ident)]),
                        lambda: VS(DIM, [(raises_type, ident)])],
            OverflowError: [lambda: VS(-1), lambda: VS(too_big), lambda: VS(DIM, pairs_bad_last)],
            ValueError: [lambda: VS(DIM, [(vec,)]), lambda: VS(DIM, mismatched),
                         lambda: VS(DIM, [(vec, index_raises)])],
            PANIC: [lambda: VS(DIM, huge), lambda: VS(vectors=[(vec, ident), (huge, ident)], vector_size=DIM)]},
        "insert": {  # successes go to a new store each time, so that nothing accumulates
            None: [lambda: VS(DIM).insert(vec, ident), lambda: VS(DIM).insert(id=max_id, vector=floats32)],
            TypeError: [lambda: S.insert(vec), lambda: S.insert(vec, ident, 1),
                        lambda: S.insert(vec, ident, vector=vec), lambda: S.insert(vec, **{long_name: ident}),
                        lambda: S.insert("ab", ident), lambda: S.insert(None, ident),
                        lambda: S.insert(bad_tail, ident), lambda: S.insert(vec, 1.5),
                        lambda: S.insert(raises_type, ident)],
            OverflowError: [lambda: S.insert(overflowing, ident), lambda: S.insert(vec, -1),
                            lambda: S.insert(vec, too_big)],
            ValueError: [lambda: S.insert(short, ident), lambda: S.insert(len_swallowed_short, ident),
                         lambda: S.insert(raises_value, ident), lambda: S.insert(vec, index_raises)],
            RuntimeError: [lambda: S.insert(searching, ident)],
            PANIC: [lambda: S.insert(huge, ident)]},
        "search": {
            None: [lambda: S.search(vec, 3), lambda: S.search(floats32, 100), lambda: S.search(doubles, 0),
                   lambda: S.search(inserting_swallowed, 2)],
            TypeError: [lambda: S.search(vec), lambda: S.search(vec, 1, 2),
                        lambda: S.search(vector=vec, **{long_name: 1}), lambda: S.search("ab", 1),
                        lambda: S.search(bad_tail, 1), lambda: S.search(vec, None),
                        lambda: S.search(raises_type, 1)],
            OverflowError: [lambda: S.search(vec, -1), lambda: S.search(vec, too_big)],
            ValueError: [lambda: S.search(short, 1), lambda: S.search(vec, index_raises)],
            RuntimeError: [lambda: S.search(inserting, 1)],
            PANIC: [lambda: S.search(huge, 1)]},
        "parallel_search": {
            None: [lambda: S.parallel_search(vec, 3, 2), lambda: S.parallel_search(floats32, 100),
                   lambda: S.parallel_search(vec, 0, 2**20), lambda: S.parallel_search(inserting_swallowed, 2),
                   lambda: VS(DIM).parallel_search(vec, 1, None)],
            TypeError: [lambda: S.parallel_search(vec), lambda: S.parallel_search(vec, 1, 2, 3),
                        lambda: S.parallel_search(vec, 1, top_k=1), lambda: S.parallel_search(bad_tail, 1, 2),
                        lambda: S.parallel_search(vec, 1, "2"), lambda: S.parallel_search(raises_type, 1)],
            OverflowError: [lambda: S.parallel_search(vec, 1, -1)],
            ValueError: [lambda: S.parallel_search(short, 1, 2), lambda: S.parallel_search(floats32_short, 1),
                         lambda: S.parallel_search(vec, 1, index_raises)],
            RuntimeError: [lambda: S.parallel_search(inserting, 1, 2)],
            PANIC: [lambda: S.parallel_search(huge, 1, 2)]},
        # The module's private functions (tessaly_dask's conversions), and its __getattr__.
        "private conversions": {
            None: [lambda: cc(8, 8), lambda: tessaly._id_array],
            TypeError: [lambda: sa(DIM, vec), lambda: sa(DIM, "ab", 1), lambda: sa(DIM, bad_tail, 1),
                        lambda: sa(DIM, raises_type, 1), lambda: sba(DIM, [vec, bad_tail], 1),
                        lambda: sba(DIM, [vec], 1, vectors=vec), lambda: ida([ident, 1.5]), lambda: ida(None)],
            OverflowError: [lambda: sa(DIM, overflowing, 1), lambda: sa(DIM, vec, -1), lambda: ida([ident, -1]),
                            lambda: ida([ident, too_big])],
            ValueError: [lambda: sa(DIM, short, 1), lambda: sba(DIM, [vec, short], 1), lambda: cc(7, 8),
                         lambda: sa(DIM, raises_value, 1), lambda: ida([ident, index_raises])],
            AttributeError: [lambda: tessaly._nothing, lambda: getattr(tessaly, long_name)],
            PANIC: [lambda: sa(DIM, huge, 1), lambda: sba(DIM, [vec, huge], 1)]},
        # Their calls that make numpy arrays (an integer array's ids are read into
        # the result). numpy, built for the release interpreter, leaves the debug
        # interpreter's reference total one or two off for every array it makes:
        # these run on the release build only.
        "private conversions making arrays": {
            None: [lambda: sa(DIM, vec, 3), lambda: sa(top_k=0, vector=floats32, vector_size=DIM),
                   lambda: sba(DIM, [vec, doubles], 3), lambda: sba(DIM, rows, 1), lambda: ida(ids),
                   lambda: ida([ident, max_id, True])],
            OverflowError: [lambda: ida(negative_ids)]},
        "batch and bulk arguments": {
            None: [lambda: S.search_batch(batch_len_unusable, 1), lambda: VS.from_array([vec], [ident])],
            TypeError: [lambda: S.search_batch(vec, 1), lambda: S.parallel_search_batch(7, 1),
                        lambda: S.search_batch([vec, 7], 1), lambda: VS(DIM).append([vec], ["x"]),
                        lambda: VS.from_array([vec], [1.5])],
            OverflowError: [lambda: S.search_batch([vec], -1), lambda: S.parallel_search_batch([vec], 1, -1),
                            lambda: VS.from_array([vec, vec], [ident, -1]),
                            lambda: VS(DIM).append([vec], [too_big])],
            ValueError: [lambda: S.search_batch(batch_len_fails, 1), lambda: VS.from_array([vec], ids_len_fails)]},
        # A numpy array's shape is read through its array interface, whose
        # capsule numpy makes and the module drops: with numpy built for the
        # release interpreter, that leaves the debug interpreter's reference
        # total off too, so these also run on the release build only.
        "batch and bulk arguments of numpy arrays": {
            TypeError: [lambda: S.search_batch(floats32, 1), lambda: VS(DIM).append(floats32),
                        lambda: VS.from_array(rows, rows)]},
        # Every row as arrays: release build only, as numpy makes them (see above).
        "to_arrays": {
            None: [lambda: S.to_arrays(), lambda: VS(0).to_arrays()],
            TypeError: [lambda: S.to_arrays(1), lambda: S.to_arrays(**{long_name: 1})],
            RuntimeError: [lambda: S.insert(exporting, ident)]},
        "len, repr, vector_size": {  # each fails when called back while insert converts
            None: [lambda: len(S), lambda: repr(S), lambda: S.vector_size],
            RuntimeError: [lambda: S.insert(reading_len, ident), lambda: S.insert(reading_repr, ident),
                           lambda: S.insert(reading_size, ident)]},
    }
    if DEBUG_BUILD:
        del calls["private conversions making arrays"], calls["batch and bulk arguments of numpy arrays"]
        del calls["to_arrays"]
    return calls, watched


def one_round(calls):
    """Makes every call once; each must fail with its expected exception, or succeed."""
    for expected, call in calls:
        try:
            call()
        except BaseException as error:
            if type(error) is not expected:
                raise
        else:
            assert expected is None, call


@pytest.mark.parametrize("entry", list(leak_workload()[0]))
def test_no_reference_or_memory_leaks(entry, capfd):
    workload, watched = leak_workload()
    calls = [(expected, call) for expected, group in workload[entry].items() for call in group]

    def refcounts():
        return {name: sys.getrefcount(value) for name, value in watched.items()}

    for _ in range(WARMUP):
        one_round(calls)
    gc.collect()
    counts, memory = refcounts(), resident_bytes()
    # Blocks are counted over two halves: an object kept per call grows both,
    # a cache the interpreter fills once (seen under emulation) only one.
    growth = []
    for _ in range(2):
        blocks = sys.getallocatedblocks()
        for _ in range(ROUNDS // 2):
            one_round(calls)
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
    assert refcounts() == counts
    assert min(growth) < ROUNDS // 20, growth  # no Python object per call
    if not SANITIZED and not (EMULATED and entry == "parallel_search"):
        assert resident_bytes() - memory < 1 << 20  # a 4 KiB leak per call would add 8 MiB
    assert repr(watched["store"]) == f"Vectorstore(vector_size={DIM}, len=8)"
    # Every capacity overflow wrote its one report, and nothing else reached stderr.
    panics = sum(expected is PANIC for expected, _ in calls) * (WARMUP + ROUNDS)
    err = capfd.readouterr().err
    assert err.count("panicked at") == panics and err.count("\n") == 2 * panics


@pytest.mark.skipif(not DEBUG_BUILD, reason="needs the debug interpreter's reference totals")
@pytest.mark.parametrize("entry", list(leak_workload()[0]))
def test_reference_and_block_totals_do_not_grow(entry, capfd):
    # As regrtest -R does: a leak shows as a positive delta in every measured
    # round; the loop's own deltas (an empty round) are subtracted.
    workload, _ = leak_workload()
    calls = [(expected, call) for expected, group in workload[entry].items() for call in group]

    def deltas(work, rounds=8, warmup=4):
        totals = []
        for _ in range(warmup + rounds + 1):
            work()
            gc.collect()
            totals.append((sys.gettotalrefcount(), sys.getallocatedblocks()))
        return [(b[0] - a[0], b[1] - a[1]) for a, b in zip(totals[warmup:], totals[warmup + 1:])]

    loop = deltas(lambda: None)
    measured = [(refs - loop_refs, blocks - loop_blocks)
                for (refs, blocks), (loop_refs, loop_blocks) in zip(deltas(lambda: one_round(calls)), loop)]
    assert not all(refs >= 1 for refs, _ in measured), measured
    assert not all(blocks >= 1 for _, blocks in measured), measured
    capfd.readouterr()


# --- threads racing on one store ---------------------------------------------------------------

VECTOR = [0.25, -1.5, 2.0]
INITIAL = 4  # entries made by the constructor, ids 0 to 3; thread t inserts ids (t + 1) << 32 and up
# A call that converts slow elements holds its access while other threads run; with fewer
# of those, inserts get through often enough to check the order of many.
OPERATIONS = ("insert",) * 3 + ("search", "parallel_search", "to_arrays", "len", "repr")


def test_threads_racing_on_one_store():
    store = Vectorstore(3, [(VECTOR, i) for i in range(INITIAL)])
    [(score, _)] = store.search(VECTOR, 1)
    # Elements that let other threads run while a call holds its access to the store.
    yielding = [Hook(VECTOR[0], lambda: time.sleep(0))] + VECTOR[1:]
    touching = [Hook(VECTOR[0], lambda: (len(store), repr(store), time.sleep(0)))] + VECTOR[1:]
    n_threads, deadline = 4, time.monotonic() + 2.0
    inserted = [[] for _ in range(n_threads)]
    conflicts, unexpected, snapshots = collections.Counter(), [], []

    def hammer(t):
        rng, next_id = random.Random(t), (t + 1) << 32
        while time.monotonic() < deadline:
            operation = rng.choice(OPERATIONS)
            try:
                if operation == "insert":
                    next_id += 1
                    store.insert(rng.choice((VECTOR, yielding)), next_id)
                    inserted[t].append(next_id)
                elif operation.endswith("search"):
                    query = rng.choice((VECTOR, VECTOR, VECTOR, yielding, touching))
                    found = (store.search(query, 10**6) if operation == "search" else
                             store.parallel_search(query, 10**6, rng.choice((None, 1, 3))))
                    ids = [i for _, i in found]
                    assert {s for s, _ in found} == {score} and len(ids) >= INITIAL
                    snapshots.append((len(ids), zlib.crc32(array.array("Q", ids))))
                elif operation == "to_arrays":  # copied without the interpreter lock, under shared access
                    vectors, ids = store.to_arrays()
                    assert len(vectors) == len(ids) >= INITIAL and (vectors == np.float32(VECTOR)).all()
                    snapshots.append((len(ids), zlib.crc32(ids.tobytes())))
                else:
                    (len if operation == "len" else repr)(store)
            except RuntimeError as error:
                conflicts[operation == "insert", str(error)] += 1
            except BaseException as error:
                unexpected.append(f"{operation}: {error!r}")

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=hammer, args=(t,)) for t in range(n_threads)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
    finally:
        sys.setswitchinterval(interval)
    assert not [thread for thread in threads if thread.is_alive()], "deadlock"
    assert unexpected == []
    # insert needs exclusive access, everything else shared access.
    assert set(conflicts) <= {(True, "Already borrowed"), (False, "Already mutably borrowed")}
    assert conflicts, "the threads never overlapped"

    size = INITIAL + sum(map(len, inserted))
    assert len(store) == size
    found = store.search(VECTOR, len(store))
    ids = [i for _, i in found]
    assert {s for s, _ in found} == {score}
    assert ids[:INITIAL] == list(range(INITIAL)) and len(set(ids)) == size
    for t in range(n_threads):
        assert [i for i in ids if i >> 32 == t + 1] == inserted[t]  # each thread's own order
    assert store.parallel_search(VECTOR, size, 3) == found
    # Every search during the race saw a prefix of the final order.
    prefix = [0]
    for i in ids:
        prefix.append(zlib.crc32(struct.pack("Q", i), prefix[-1]))
    assert all(prefix[n] == crc for n, crc in snapshots)


# --- internal failures, end to end ---------------------------------------------------------------

CHILD = "import json, sys, tessaly\n" + inspect.getsource(Huge) + """
class Raising:
    '''Raises make() from whichever hook a conversion calls: __float__, __index__ or __len__.'''
    def __init__(self, make):
        self.make = make
    def __float__(self):
        raise self.make()
    __index__ = __len__ = __float__
    def __getitem__(self, index):
        raise IndexError

try:
    tessaly.cosine_similarity(Huge(), [])
except BaseException as error:
    Panic = type(error)

class Unprintable(Panic):
    def __str__(self):
        raise RuntimeError('no text')

def outcome(call):
    print('-- call --', file=sys.stderr, flush=True)
    try:
        return ['returned', call()]
    except Exception as error:
        return ['caught by except Exception', repr(error)]
    except BaseException as error:
        return [type(error).__name__, type(error) is Panic, list(error.args)]

V = [3.0, 4.0]
store = tessaly.Vectorstore(2, [([1.0, 0.0], 1), ([0.0, 1.0], 2), ([3.0, 4.0], 3)])
failing = [outcome(call) for call in (CALLS)]
after = [outcome(call) for call in (
    lambda: store.search(V, 5), lambda: store.insert([4.0, 3.0], 4), lambda: len(store),
    lambda: store.parallel_search(V, 5, 2), lambda: store.parallel_search(V, 5),
    lambda: tessaly.cosine_similarity(V, [4.0, 3.0]))]
print(json.dumps([failing, after]))
"""
# Python code raising PanicException from every kind of conversion hook.
RESUMED_CALLS = """
    lambda: tessaly.cosine_similarity([1.0, RAISING], V), lambda: tessaly.Vectorstore(RAISING),
    lambda: tessaly.Vectorstore(2, [(V, RAISING)]), lambda: store.insert([RAISING, 1.0], 5),
    lambda: store.insert(V, RAISING), lambda: store.search(RAISING, 1), lambda: store.search(V, RAISING),
    lambda: store.parallel_search(RAISING, 1), lambda: store.parallel_search(V, 1, RAISING),
    lambda: tessaly.Vectorstore.from_array(RAISING), lambda: store.append(RAISING)"""
TOO_LARGE_STACK = 2**31 + 2**30 if IS_32_BIT else 2**60
PATHS = {
    # The stack size is read once per process, so parallel_search keeps failing there.
    "spawn failure": ({"TESSALY_WORKER_STACK_SIZE": str(TOO_LARGE_STACK)}, """
        lambda: store.parallel_search(V, 2, 1), lambda: store.parallel_search(V, 0, 2**20),
        lambda: store.parallel_search(V, 3)""",
        f"failed to spawn thread: {os.strerror(errno.EAGAIN)} (os error {errno.EAGAIN}, EAGAIN)"),
    "capacity overflow": ({}, """
        lambda: tessaly.cosine_similarity(V, Huge()), lambda: tessaly.Vectorstore(2, Huge()),
        lambda: tessaly.Vectorstore(2, [(V, 1), (Huge(), 2)]), lambda: store.insert(Huge(), 5),
        lambda: store.search(Huge(), 1), lambda: store.parallel_search(Huge(), 1, 2)""",
        "capacity overflow"),
    "resumed": ({}, RESUMED_CALLS.replace("RAISING", "Raising(lambda: Panic('raised by Python \\u00e9'))"),
                "raised by Python \u00e9"),
    "resumed, str() fails": ({}, RESUMED_CALLS.replace("RAISING", "Raising(Unprintable)"),
                             "Unwrapped panic from Python code"),
}
REPORT = r"thread '[^'\n]+' \(\d+\) panicked at [^\n]+:\d+:\d+:\n"


@pytest.mark.parametrize("path", PATHS)
def test_internal_failure_end_to_end(path):
    env, calls, message = PATHS[path]
    result = run_python(CHILD.replace("CALLS", calls), env=env)
    assert result.returncode == 0, result.stderr
    failing, after = json.loads(result.stdout)
    panic = ["PanicException", True, [message]]
    assert failing == [panic] * len(failing)  # and `except Exception` caught none of them

    reference = Vectorstore(2, [([1.0, 0.0], 1), ([0.0, 1.0], 2), ([3.0, 4.0], 3)])
    before = reference.search([3.0, 4.0], 5)
    reference.insert([4.0, 3.0], 4)
    parallel = panic if path == "spawn failure" else ["returned", reference.search([3.0, 4.0], 5)]
    expected = [["returned", before], ["returned", None], ["returned", 4], parallel, parallel,
                ["returned", cosine_similarity([3.0, 4.0], [4.0, 3.0])]]
    assert after == json.loads(json.dumps(expected))

    sections = result.stderr.split("-- call --\n")[1:]
    assert len(sections) == len(failing) + len(after)
    for section, got in zip(sections, failing + after):
        if got[0] != "PanicException":
            assert section == ""
        elif path.startswith("resumed"):  # the traceback from Python instead of a report
            banner, note, trace = section.split("\n", 2)
            assert banner.strip() and note == "Python stack trace below:"
            assert trace.startswith("Traceback (most recent call last):\n") and "raise self.make()" in trace
            assert trace.endswith(("PanicException: " + message + "\n",
                                   "Unprintable: <exception str() failed>\n"))
            assert "panicked at" not in section
        else:
            assert re.fullmatch(REPORT + re.escape(message) + "\n", section), section


@pytest.mark.skipif(EMULATED or SANITIZED, reason="the address-space limit would bind the emulator or sanitizer")
def test_memory_running_out_while_results_are_built_is_raised_not_fatal():
    # Every small allocation fails once the result list has taken what is left,
    # so no failure path may need memory (the first C++ throw on a thread does).
    result = run_python("""
        import resource, tessaly
        store = tessaly.Vectorstore(1, [([1.0], i) for i in range(2_000_000)])
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (100 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
        for call in (lambda: store.search([1.0], 2**64 - 1), lambda: store.parallel_search([1.0], 2**64 - 1, 2)):
            try:
                call()
            except BaseException as error:
                print(type(error).__name__, error)
        print(len(store), store.search([1.0], 2))
    """)
    assert result.returncode == 0, result.stderr
    *raised, after = result.stdout.splitlines()
    assert len(raised) == 2 and all(line in ("MemoryError ", "PanicException PyObject pointer is null")
                                    for line in raised), result.stdout
    assert after == "2000000 [(1.0, 0), (1.0, 1)]"


def test_a_first_lookup_that_calls_back_into_the_module_does_not_wait_on_itself():
    # Naming `Sequence` in a message imports collections.abc the first time; an
    # import hook that calls back in on the same thread must not deadlock.
    result = run_python("""
        import builtins, tessaly
        original, inner = builtins.__import__, []
        def hook(name, *args, **kwargs):
            if name == "collections.abc":
                try:
                    tessaly.cosine_similarity(1, [])
                except TypeError as error:
                    inner.append(str(error))
            return original(name, *args, **kwargs)
        builtins.__import__ = hook
        try:
            tessaly.cosine_similarity(1, [])
        except TypeError as error:
            print([str(error)] + inner)
    """, timeout=120)
    message = "argument 'vec1': 'int' object is not an instance of 'Sequence'"
    assert result.returncode == 0 and result.stdout.strip() == repr([message, message]), result.stderr


@pytest.mark.skipif(EMULATED or SANITIZED, reason="the address-space limit would bind the emulator or sanitizer")
def test_running_out_of_memory_raises_memory_error_and_keeps_the_store():
    # A real allocation failure, not a simulated one: the converted vector
    # outgrows a lowered address-space limit.
    result = run_python("""
        import resource, tessaly
        store = tessaly.Vectorstore(2, [([1, 0], 1)])
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20),) * 2)
        huge = range(10**8)  # 400 MB as float32
        for call in (lambda: tessaly.cosine_similarity(huge, huge), lambda: store.insert(huge, 2),
                     lambda: store.search(huge, 1), lambda: tessaly.Vectorstore(2, [(huge, 1)])):
            try:
                call()
            except MemoryError:
                pass
            else:
                raise SystemExit("no MemoryError")
        assert repr(store) == "Vectorstore(vector_size=2, len=1)"
        assert store.search([1, 0], 1) == store.parallel_search([1, 0], 1, 2) == [(1.0, 1)]
        print("done")
    """)
    assert result.returncode == 0 and result.stdout.strip() == "done", result.stderr
    assert "panicked" not in result.stderr


@pytest.mark.skipif(EMULATED or SANITIZED, reason="the address-space limit would bind the emulator or sanitizer")
def test_growth_under_a_tight_memory_limit_fails_at_once_or_doubles():
    # The store is full to the last id and the last block; it cannot double
    # under the limit, and must not creep instead (a copy of it per insert).
    result = run_python("""
        import resource, time, numpy as np, tessaly
        rows = np.ones((1 << 20, 4), dtype=np.float32)
        store = tessaly.Vectorstore(4, [(row, i) for i, row in enumerate(rows)])
        del rows
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (8 << 20), resource.RLIM_INFINITY))
        added, refused, started = 0, 0, time.perf_counter()
        for i in range(300):
            try:
                store.insert([1, 2, 3, 4], i)
                added += 1
            except MemoryError:
                refused += 1
        elapsed = time.perf_counter() - started
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
        assert len(store) == (1 << 20) + added and refused > 0, (added, refused)
        store.insert([5, 5, 5, 5], 1 << 40)  # and grows again once memory is back
        assert len(store) == (1 << 20) + added + 1 and store.search([1, 1, 1, 1], 1)[0][1] == 0
        print(elapsed < 1.0, elapsed)
    """)
    assert result.returncode == 0 and result.stdout.split()[0] == "True", result.stdout + result.stderr
