// How a row is quantized, compiled once for each instruction set: a file
// that includes this one for a target includes the headers below first,
// then sets the target.
#pragma once

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine/store/int8_quantization.hpp"

// The vectors below only pass between inlined lambdas: which registers
// would carry them across a call does not matter.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tessaly::quantization {
namespace {

constexpr double kUnit = 0x1p-52;  // twice double's unit roundoff, for the margins below

// The scale is the float s = fl(m / 127), an exact number like any other:
// x = s x~ + r holds for whatever integers x~ are chosen. They are chosen
// by rounding x_i / s half away from zero through a float (at most 127 in
// magnitude: |x_i| fl(127 / m) < 127.5), so each |r_i| is about s / 2 or
// less, and at most |x_i| (1 + 2^-20).
//
// Exact facts the margins rest on: a float's square, and a float times an
// integer of at most 8 bits, are exact in double; a sum of d doubles, in
// any order, carries a relative error of at most d 2^-53 of the sum of
// magnitudes, a square root 2^-53.
//
// |x|: the sum of the d exact squares is within d 2^-53 of |x|^2, its root
// within (d + 2) 2^-53 of |x|, so norm / (1 + (d + 2) 2^-52) <= |x|.
// r: each computed r_i = fl(x_i - s x~_i) is within 2^-53 |r_i| of r_i,
// its square within 2^-52, and their sum's root within (d + 2) 2^-52 of
// |r| in all: beta as written below is at least |r| / |x|.
// alpha = fl(fl(s / norm)): s / norm is within (d + 3) 2^-53 of s / |x|,
// and the float within 2^-24 more: a relative 2^-23 in all.
using Floats = float __attribute__((vector_size(32)));
using Ints = std::int32_t __attribute__((vector_size(32)));
using Unsigned = std::uint32_t __attribute__((vector_size(32)));
using Doubles = double __attribute__((vector_size(32)));
using Wide = double __attribute__((vector_size(64)));
using Bytes = std::int8_t __attribute__((vector_size(16)));

// Conversions that an instruction set may do in fewer instructions; each is
// exact, so every way of doing them gives the same values.
struct PortableSteps {
  static Wide widen(Floats v) noexcept { return __builtin_convertvector(v, Wide); }
  static Wide widen(Ints q) noexcept { return __builtin_convertvector(q, Wide); }
  // The eight elements' bytes first: each is at most 127 in magnitude, its
  // own low byte.
  static Bytes narrow(Ints q) noexcept {
    using Wider = std::int8_t __attribute__((vector_size(32)));
    const Wider bytes = reinterpret_cast<Wider>(q);
    return __builtin_shufflevector(bytes, bytes, 0, 4, 8, 12, 16, 20, 24, 28, 0, 4, 8, 12, 16, 20, 24, 28);
  }
};

// Eight elements (two groups of the layout) at a time, in GCC's vector
// types, and the same arithmetic, lane for lane, for every instruction set
// this is compiled for, so that every processor keeps the same copy.
template <class Steps = PortableSteps>
Int8Terms quantize_row(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept {
  constexpr std::size_t kWidth = 8;
  const std::size_t whole = d / kWidth, rest = d % kWidth;
  // Chunk `whole`'s elements, the last ones; zeros past d, which quantize
  // to 0 and add nothing.
  const auto load_rest = [&] {
    Floats v = {};
    std::memcpy(&v, row + whole * sizeof v, rest * sizeof(float));
    return v;
  };
  const auto load = [&](std::size_t c) {
    Floats v;
    std::memcpy(&v, row + c * sizeof v, sizeof v);
    return v;
  };
  // All eight in double at once, then lanes j and j + 4 added: the same
  // operations, lane for lane, as two halves of four.
  const auto folded = [](Wide w) {
    return __builtin_shufflevector(w, w, 0, 1, 2, 3) + __builtin_shufflevector(w, w, 4, 5, 6, 7);
  };
  const auto sum = [](Doubles v) { return (v[0] + v[1]) + (v[2] + v[3]); };  // a fixed tree, the same everywhere
  // Magnitudes compared as the integers their bits are, which order them
  // as numbers do, NaN and infinity above every finite one.
  constexpr std::int32_t kLargestBits = 0x58800000;   // 2^50
  constexpr std::int32_t kSmallestBits = 0x26800000;  // 2^-50
  static_assert(std::bit_cast<std::int32_t>(static_cast<float>(kLargestCovered)) == kLargestBits);
  static_assert(std::bit_cast<std::int32_t>(static_cast<float>(kSmallestCovered)) == kSmallestBits);
  // The largest magnitude, and the smallest nonzero one less 1 (unsigned,
  // so that a 0 wraps above every other): the bounds checked once at the end.
  Ints largest = {};
  Unsigned smallest = ~Unsigned{};
  Doubles squares = {};
  const auto measure = [&](Floats v) {
    const Ints magnitude = reinterpret_cast<Ints>(v) & 0x7FFFFFFF;
    largest = magnitude > largest ? magnitude : largest;
    const Unsigned below = reinterpret_cast<Unsigned>(magnitude) - 1;
    smallest = below < smallest ? below : smallest;
    const Wide w = Steps::widen(v);
    squares += folded(w * w);
  };
  for (std::size_t c = 0; c < whole; ++c) measure(load(c));
  if (rest != 0) measure(load_rest());
  std::int32_t m_bits = 0;
  std::uint32_t below_bits = UINT32_MAX;
  for (std::size_t lane = 0; lane < kWidth; ++lane) {
    m_bits = std::max(m_bits, largest[lane]);
    below_bits = std::min(below_bits, smallest[lane]);
  }
  const bool uncovered = d > kMostCoveredDimension || m_bits > kLargestBits ||
                         below_bits < static_cast<std::uint32_t>(kSmallestBits) - 1;
  const float m = std::bit_cast<float>(m_bits);
  const std::size_t groups = (d + 3) / 4;
  if (uncovered || m == 0.0f) {
    for (std::size_t g = 0; g < groups; ++g) std::memset(out + g * group_bytes, 0, 4);
    return {std::numeric_limits<float>::quiet_NaN(), 0.0f};
  }
  const float scale = m / 127.0f, inverse = 127.0f / m;
  Doubles residual = {};
  // Chunk c's elements quantized, its `count` groups (two, or one for a
  // last chunk of four elements or fewer) written, its residual added.
  const auto quantize = [&](Floats v, std::size_t c, std::size_t count) {
    const Floats scaled = v * inverse;
    // Half away from zero, then toward zero: to the nearest integer.
    const Floats away = reinterpret_cast<Floats>((reinterpret_cast<Ints>(scaled) & INT32_MIN) |
                                                 reinterpret_cast<Ints>(Floats{} + 0.5f));
    const Ints q = __builtin_convertvector(scaled + away, Ints);
    const Bytes narrow = Steps::narrow(q);
    std::memcpy(out + 2 * c * group_bytes, &narrow, 4);
    if (count == 2) std::memcpy(out + (2 * c + 1) * group_bytes, reinterpret_cast<const char*>(&narrow) + 4, 4);
    const Wide r = Steps::widen(v) - static_cast<double>(scale) * Steps::widen(q);
    residual += folded(r * r);
  };
  for (std::size_t c = 0; c < whole; ++c) quantize(load(c), c, 2);
  if (rest != 0) quantize(load_rest(), whole, rest > 4 ? 2 : 1);
  const double widening = 1.0 + static_cast<double>(d + 2) * kUnit;
  const double norm = std::sqrt(sum(squares));
  const double norm_below = norm / widening;
  const double beta = std::sqrt(sum(residual)) * widening / norm_below + 0x1p-40;
  // The caller pins the mode, so the conversion rounds to nearest; beta is
  // positive and finite, so the next float up is the next bit pattern.
  // Without a branch, which would guess wrong for every other row.
  const float nearest = static_cast<float>(beta);
  const std::uint32_t up = static_cast<double>(nearest) < beta;
  return {static_cast<float>(static_cast<double>(scale) / norm),
          std::bit_cast<float>(std::bit_cast<std::uint32_t>(nearest) + up)};
}

}  // namespace
}  // namespace tessaly::quantization
