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
// Lambdas, like every function here that takes or returns a vector: the
// registers a call would carry them in differ between instruction sets.
struct PortableSteps {
  // Floats or Ints.
  static constexpr auto widen = [](auto v) __attribute__((always_inline)) { return __builtin_convertvector(v, Wide); };
  // The eight elements' bytes first: each is at most 127 in magnitude, its
  // own low byte.
  static constexpr auto narrow = [](Ints q) __attribute__((always_inline)) {
    using Wider = std::int8_t __attribute__((vector_size(32)));
    const Wider bytes = reinterpret_cast<Wider>(q);
    return __builtin_shufflevector(bytes, bytes, 0, 4, 8, 12, 16, 20, 24, 28, 0, 4, 8, 12, 16, 20, 24, 28);
  };
};

// Eight elements (two groups of the layout) at a time, in GCC's vector
// types, and the same arithmetic, lane for lane, for every instruction set
// this is compiled for, so that every processor keeps the same copy.
//
// `Rows` rows side by side, each with sums of its own: a row's sums form
// long chains of dependent additions (their order fixes the bits), and
// the chains of two rows overlap where one row's would wait. Row i is read
// from rows[i] and written at outs[i], its terms to terms[i].
template <class Steps, std::size_t Rows>
void quantize_rows(const char* const* rows, std::size_t d, std::int8_t* const* outs, std::size_t group_bytes,
                   Int8Terms* terms) noexcept {
  constexpr std::size_t kWidth = 8;
  const std::size_t whole = d / kWidth, rest = d % kWidth;
  // Chunk c of row i; the last chunk (c == whole) has zeros past d, which
  // quantize to 0 and add nothing.
  const auto load = [&](std::size_t i, std::size_t c) __attribute__((always_inline)) {
    Floats v;
    std::memcpy(&v, rows[i] + c * sizeof v, sizeof v);
    return v;
  };
  const auto load_rest = [&](std::size_t i) __attribute__((always_inline)) {
    Floats v = {};
    std::memcpy(&v, rows[i] + whole * sizeof v, rest * sizeof(float));
    return v;
  };
  // All eight in double at once, then lanes j and j + 4 added: the same
  // operations, lane for lane, as two halves of four.
  const auto folded = [](Wide w) __attribute__((always_inline)) {
    return __builtin_shufflevector(w, w, 0, 1, 2, 3) + __builtin_shufflevector(w, w, 4, 5, 6, 7);
  };
  // A fixed tree, the same everywhere.
  const auto sum = [](Doubles v) __attribute__((always_inline)) { return (v[0] + v[1]) + (v[2] + v[3]); };
  // Magnitudes compared as the integers their bits are, which order them
  // as numbers do, NaN and infinity above every finite one.
  constexpr std::int32_t kLargestBits = 0x58800000;   // 2^50
  constexpr std::int32_t kSmallestBits = 0x26800000;  // 2^-50
  static_assert(std::bit_cast<std::int32_t>(static_cast<float>(kLargestCovered)) == kLargestBits);
  static_assert(std::bit_cast<std::int32_t>(static_cast<float>(kSmallestCovered)) == kSmallestBits);
  // Each row's largest magnitude, and its smallest nonzero one less 1
  // (unsigned, so that a 0 wraps above every other): the bounds are
  // checked once at the end.
  Ints largest[Rows] = {};
  Unsigned smallest[Rows];
  Doubles squares[Rows] = {};
  for (std::size_t i = 0; i < Rows; ++i) smallest[i] = ~Unsigned{};
  const auto measure = [&](std::size_t i, Floats v) __attribute__((always_inline)) {
    const Ints magnitude = reinterpret_cast<Ints>(v) & 0x7FFFFFFF;
    largest[i] = magnitude > largest[i] ? magnitude : largest[i];
    const Unsigned below = reinterpret_cast<Unsigned>(magnitude) - 1;
    smallest[i] = below < smallest[i] ? below : smallest[i];
    const Wide w = Steps::widen(v);
    squares[i] += folded(w * w);
  };
  for (std::size_t c = 0; c < whole; ++c) {
    for (std::size_t i = 0; i < Rows; ++i) measure(i, load(i, c));
  }
  if (rest != 0) {
    for (std::size_t i = 0; i < Rows; ++i) measure(i, load_rest(i));
  }
  std::int32_t m_bits[Rows];
  bool all_covered = d <= kMostCoveredDimension;
  for (std::size_t i = 0; i < Rows; ++i) {
    m_bits[i] = 0;
    std::uint32_t below_bits = UINT32_MAX;
    for (std::size_t lane = 0; lane < kWidth; ++lane) {
      m_bits[i] = std::max(m_bits[i], largest[i][lane]);
      below_bits = std::min(below_bits, smallest[i][lane]);
    }
    all_covered &= m_bits[i] <= kLargestBits && below_bits >= static_cast<std::uint32_t>(kSmallestBits) - 1 &&
                   m_bits[i] != 0;
  }
  if (!all_covered) {
    if constexpr (Rows == 1) {
      const std::size_t groups = (d + 3) / 4;
      for (std::size_t g = 0; g < groups; ++g) std::memset(outs[0] + g * group_bytes, 0, 4);
      terms[0] = {std::numeric_limits<float>::quiet_NaN(), 0.0f};
    } else {
      // Rare: each row again on its own.
      for (std::size_t i = 0; i < Rows; ++i) quantize_rows<Steps, 1>(rows + i, d, outs + i, group_bytes, terms + i);
    }
    return;
  }
  float scale[Rows], inverse[Rows];
  for (std::size_t i = 0; i < Rows; ++i) {
    const float m = std::bit_cast<float>(m_bits[i]);
    scale[i] = m / 127.0f;
    inverse[i] = 127.0f / m;
  }
  Doubles residual[Rows] = {};
  // Chunk c of row i quantized, its `count` groups (two, or one for a last
  // chunk of four elements or fewer) written, its residual added.
  const auto quantize = [&](std::size_t i, Floats v, std::size_t c, std::size_t count) __attribute__((always_inline)) {
    const Floats scaled = v * inverse[i];
    // Half away from zero, then toward zero: to the nearest integer.
    const Floats away = reinterpret_cast<Floats>((reinterpret_cast<Ints>(scaled) & INT32_MIN) |
                                                 reinterpret_cast<Ints>(Floats{} + 0.5f));
    const Ints q = __builtin_convertvector(scaled + away, Ints);
    const Bytes narrow = Steps::narrow(q);
    std::memcpy(outs[i] + 2 * c * group_bytes, &narrow, 4);
    if (count == 2) std::memcpy(outs[i] + (2 * c + 1) * group_bytes, reinterpret_cast<const char*>(&narrow) + 4, 4);
    const Wide r = Steps::widen(v) - static_cast<double>(scale[i]) * Steps::widen(q);
    residual[i] += folded(r * r);
  };
  for (std::size_t c = 0; c < whole; ++c) {
    for (std::size_t i = 0; i < Rows; ++i) quantize(i, load(i, c), c, 2);
  }
  if (rest != 0) {
    for (std::size_t i = 0; i < Rows; ++i) quantize(i, load_rest(i), whole, rest > 4 ? 2 : 1);
  }
  const double widening = 1.0 + static_cast<double>(d + 2) * kUnit;
  for (std::size_t i = 0; i < Rows; ++i) {
    const double norm = std::sqrt(sum(squares[i]));
    const double norm_below = norm / widening;
    const double beta = std::sqrt(sum(residual[i])) * widening / norm_below + 0x1p-40;
    // The caller pins the mode, so the conversion rounds to nearest; beta
    // is positive and finite, so the next float up is the next bit
    // pattern. Without a branch, which would guess wrong for every other
    // row.
    const float nearest = static_cast<float>(beta);
    const std::uint32_t up = static_cast<double>(nearest) < beta;
    terms[i] = {static_cast<float>(static_cast<double>(scale[i]) / norm),
                std::bit_cast<float>(std::bit_cast<std::uint32_t>(nearest) + up)};
  }
}

template <class Steps = PortableSteps>
Int8Terms quantize_row(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept {
  Int8Terms terms;
  quantize_rows<Steps, 1>(&row, d, &out, group_bytes, &terms);
  return terms;
}

// A batch two rows at a time, and the last on its own.
template <class Steps = PortableSteps>
void quantize_batch(const Int8Batch& batch) noexcept {
  std::size_t r = 0;
  const auto row = [&](std::size_t at) { return batch.rows + static_cast<std::ptrdiff_t>(at) * batch.row_bytes; };
  const auto out = [&](std::size_t at) { return batch.out + at * batch.out_step; };
  for (; r + 2 <= batch.count; r += 2) {
    const char* const rows[2] = {row(r), row(r + 1)};
    std::int8_t* const outs[2] = {out(r), out(r + 1)};
    Int8Terms terms[2];
    quantize_rows<Steps, 2>(rows, batch.d, outs, batch.group_bytes, terms);
    for (std::size_t i = 0; i < 2; ++i) {
      batch.alphas[r + i] = terms[i].alpha;
      batch.betas[r + i] = terms[i].beta;
    }
  }
  if (r < batch.count) {
    const Int8Terms terms = quantize_row<Steps>(row(r), batch.d, out(r), batch.group_bytes);
    batch.alphas[r] = terms.alpha;
    batch.betas[r] = terms.beta;
  }
}

}  // namespace
}  // namespace tessaly::quantization
