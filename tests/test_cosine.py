"""cosine_similarity: single-precision scores fixed to the bit."""
import ctypes
import math
import platform
from fractions import Fraction

import numpy as np
import pytest

import reference
import tessaly
from tessaly import cosine_similarity as cs

NAN, INF = math.nan, math.inf
SAME = [1.384077548980713, 6.04530143737793]


@pytest.mark.parametrize("vec1, vec2, expected", [
    ([1, 2], [2, 4], 1.0),
    ([0.1, 0.2, 0.3], [0.1, 0.2, 0.3], 0.9999998807907104),
    ([1, 2, 3], [4, 5, 6], 0.9746317863464355),
    ([3, 4], [4, 3], 0.9599999785423279),
    ([1, 2, 3], [-1, -2, -3], -0.9999999403953552),
    ([1.0, -0.0], [-0.0, 1.0], -0.0),  # both products are -0.0 and the sum starts at -0.0
    (SAME, SAME, 1.0000001192092896),  # rounding can go above 1
    ([1, 0], [0, 1], 0.0),
    ([], [], 0.0),
    ([0, 0], [1, 2], 0.0),
    ([-0.0, -0.0], [1, 2], 0.0),
    ([1e-30], [1], 0.0),  # its square rounds to zero
    ([1e20, 1e20], [1e20, 1e20], NAN),  # squares overflow: inf / inf
    ([NAN, 1], [1, 1], NAN),
    ([INF, 1], [1, 1], NAN),
    ([NAN, 1], [0, 0], 0.0),  # a NaN squared norm is not zero; the zero one decides
    ([0, 0], [NAN, 1], 0.0),
])
def test_examples(vec1, vec2, expected):
    score = cs(vec1, vec2)
    assert type(score) is float
    assert score.hex() == expected.hex()  # tells -0.0 from 0.0; every NaN reads "nan"
    assert reference.bits([score]) == reference.bits([reference.cosine(vec1, vec2)])


def test_keywords_in_any_order():
    assert cs(vec2=[1, 0], vec1=[1, 0]) == 1.0
    with pytest.raises(ValueError, match=r"^vectors have different dimensions \(3 vs 1\)$"):
        cs(vec2=[1], vec1=[1, 2, 3])


@pytest.mark.parametrize("vec1, vec2, text", [
    ([1, 2, 3], [1, 2], "vectors have different dimensions (3 vs 2)"),
    ([], [1], "vectors have different dimensions (0 vs 1)"),
    (range(70), b"\x01" * 12, "vectors have different dimensions (70 vs 12)"),
])
def test_dimension_mismatch(vec1, vec2, text):
    with pytest.raises(ValueError) as info:
        cs(vec1, vec2)
    assert type(info.value) is ValueError and info.value.args == (text,)


class Untouchable:
    """A sequence that fails the test if the conversion ever looks at it."""
    def __len__(self):
        pytest.fail("converted after an earlier argument failed")

    __getitem__ = __iter__ = __len__


@pytest.mark.parametrize("vec1, vec2, kind, prefix", [
    ([1, 2, 3], [1, "x"], TypeError, "argument 'vec2': "),
    ([1, 2, 3], None, TypeError, "argument 'vec2': "),
    ([2**2000, 1, 1], [1], OverflowError, "int too large"),
    ("ab", Untouchable(), TypeError, "argument 'vec1': "),
    ([1, None], Untouchable(), TypeError, "argument 'vec1': "),
])
def test_conversion_errors_come_before_the_length_check(vec1, vec2, kind, prefix):
    with pytest.raises(Exception) as info:
        cs(vec1, vec2)
    assert type(info.value) is kind and str(info.value).startswith(prefix)


def random_vector(rng, n):
    kind = rng.integers(6)
    if kind == 0:
        values = rng.standard_normal(n) * 10.0 ** rng.uniform(-15, 15)
    elif kind == 1:  # subnormal elements, or products and squares in the subnormal range
        values = rng.standard_normal(n) * rng.choice([1e-40, 1e-20, 1e-22])
    elif kind == 2:  # squares overflow float32
        values = rng.uniform(1e19, 1e20, n) * rng.choice([-1, 1], n)
    elif kind == 3:
        values = rng.choice([0.0, -0.0], n)
    else:
        values = rng.standard_normal(n)
        specials = [0.0, -0.0, np.nan, np.inf, -np.inf, 1e-45, -1e-41, 3e38, 1e19]
        mask = rng.random(n) < 0.1 * (kind - 3)
        values[mask] = rng.choice(specials, mask.sum())
    return values.astype(np.float32)


def pattern(score):
    """float32 bits; all NaNs alike, since IEEE leaves open which NaN wins when two meet."""
    return "nan" if math.isnan(score) else reference.bits([score])[0]


@pytest.mark.parametrize("seed", range(8))
def test_random_vectors_match_the_float32_oracle(seed):
    rng = np.random.default_rng(seed)
    mismatches = []
    for _ in range(250):
        n = int(rng.integers(0, 71))
        a = random_vector(rng, n)
        with np.errstate(all="ignore"):  # inf - inf in the noise is just one more NaN
            b = random_vector(rng, n) if rng.random() < 0.6 else a + random_vector(rng, n) * np.float32(1e-3)
        # numpy arrays go through __float__ per element, lists through the exact-float path
        args = (a, b) if rng.random() < 0.5 else (a.tolist(), b.tolist())
        score = cs(*args)
        expected = reference.cosine(a, b)
        if pattern(score) != pattern(expected):
            mismatches.append((a.tolist(), b.tolist(), score, expected))
    assert mismatches == []


# The modes' bits in the control register: SSE's MXCSR on x86; FPCR's FZ
# (bit 24) and RMode (bits 22-23: 1 upward, 2 downward, 3 toward zero) on
# aarch64.
FLOAT_MODES = {
    "x86": {"flush to zero": 0x8040, "toward zero": 0x6000, "upward": 0x4000, "downward": 0x2000},
    "aarch64": {"flush to zero": 1 << 24, "toward zero": 3 << 22, "upward": 1 << 22, "downward": 2 << 22},
}
MODE_BITS = FLOAT_MODES["aarch64" if platform.machine() == "aarch64" else "x86"]


@pytest.mark.parametrize("mode", MODE_BITS)
def test_bits_ignore_a_floating_point_mode_set_by_another_library(mode):
    # Subnormal values and products decide some of these, rounding the rest; a
    # thread left in another mode (as a -ffast-math library leaves it) must
    # still get round-to-nearest, full-precision bits: in conversions of
    # every kind of input, in scoring, in workers and in the results.
    hooks = pytest.importorskip("_tessaly_testhooks")
    tiny, e1 = [1e-20, 3e-21, -2e-20], [1.0, 0.0]
    inputs = [[1e-40, 1.0], [0.1, 1.0], np.array([0.1, 1e-40]), np.array([2**60 + 1, 3], dtype=np.int64),
              (1e-40, 0.3), [Fraction(1, 3), 2**60 + 1]]

    def outcomes():
        store = tessaly.Vectorstore(2, [(v, i) for i, v in enumerate(inputs)])
        store.insert([3e-41, 0.7], 9)
        tiny_store = tessaly.Vectorstore(3, [(tiny, 1), ([1e-20, 1e-20, 1e-20], 2)])
        return ([tessaly.cosine_similarity(v, e1) for v in inputs],
                store.search(e1, 10), store.parallel_search([0.1, 0.2], 10, 2),
                tessaly.cosine_similarity(tiny, [1e-20, 2e-20, 1e-20]),
                tiny_store.search(tiny, 2), tiny_store.parallel_search(tiny, 2, 2))

    expected = repr(outcomes())
    previous = hooks.set_float_mode(MODE_BITS[mode])
    try:
        got = repr(outcomes())
    finally:
        hooks.set_float_mode(previous)
    assert got == expected


# fesetround's modes on x86, which it sets in the SSE and the x87 unit alike.
FE_MODES = {"upward": 0x800, "downward": 0x400, "toward zero": 0xC00}
ONE, STEP = np.longdouble(1), np.longdouble(2)
# Each rounds to double differently in some directed mode, in a way that
# float32 shows: numpy converts long doubles (and, on 32-bit x86, int64) with
# x87 instructions, which follow the x87 rounding control.
DOUBLE_ROUNDED = [(ONE + STEP**-24 + STEP**-60, ONE), (ONE + STEP**-24 + STEP**-53 + STEP**-60, ONE),
                  (np.int64(2**54 + 2**30 + 1), np.int64(2**54)), (np.int64(2**54 + 2**30 + 3), np.int64(2**54))]


@pytest.mark.skipif(platform.machine() not in ("x86_64", "i686", "i386"), reason="x86's rounding modes")
@pytest.mark.parametrize("mode", FE_MODES)
def test_conversions_ignore_the_callers_rounding_mode_in_either_unit(mode):
    libm = ctypes.CDLL("libm.so.6")
    vectors = [form for pair in DOUBLE_ROUNDED for form in (list(pair), np.array(pair))]
    expected = [tessaly.cosine_similarity(v, [1, 0]) for v in vectors]
    assert libm.fesetround(FE_MODES[mode]) == 0
    try:
        got = [tessaly.cosine_similarity(v, [1, 0]) for v in vectors]
    finally:
        libm.fesetround(0)
    assert got == expected
