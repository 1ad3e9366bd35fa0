// The first pass's interval holds the kernel's own score, for pairs chosen
// to sit on the bound's edges, and entries it does not cover are always
// candidates.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "engine/base/float_environment.hpp"
#include "engine/search/cosine.hpp"
#include "engine/runtime/kernel_path.hpp"
#include "engine/search/first_pass_bound.hpp"
#include "engine/search/int8_kernels.hpp"
#include "engine/store/int8_quantization.hpp"

namespace tessaly {
namespace {

struct Bounds {
  float lower, upper;
};

// The interval of (q, x) as the first pass computes it.
Bounds bounds_of(const std::vector<float>& q, const std::vector<float>& x) {
  const FloatEnvironment environment;
  const std::size_t lines = (x.size() + 3) / 4;
  std::vector<std::int8_t> entry(lines * 4, 0);
  const Int8Terms terms = quantize_int8(reinterpret_cast<const char*>(x.data()), x.size(), entry.data(), 4);
  const FirstPassQuery query = std::move(quantize_query(q, lines)).value();
  EXPECT_TRUE(query.covered);
  std::int32_t dot = 0;
  for (std::size_t i = 0; i < entry.size(); ++i) dot += std::int32_t{entry[i]} * query.elements[i];
  const LaneBounds bounds = bound_lane(query, dot, terms.alpha, terms.beta);
  return {bounds.lower, bounds.upper};
}

using Pair = std::pair<std::vector<float>, std::vector<float>>;
using Maker = std::function<Pair(std::mt19937&, std::size_t)>;

std::vector<float> gaussian(std::mt19937& rng, std::size_t d, float scale = 1.0f) {
  std::normal_distribution<float> normal(0.0f, scale);
  std::vector<float> v(d);
  for (float& x : v) x = normal(rng);
  return v;
}

// Each case makes a (query, entry) pair of dimension d.
const std::pair<const char*, Maker> kCases[] = {
    {"gaussian", [](std::mt19937& rng, std::size_t d) { return Pair{gaussian(rng, d), gaussian(rng, d)}; }},
    {"near-parallel, one ulp apart", [](std::mt19937& rng, std::size_t d) {
       std::vector<float> q = gaussian(rng, d), x = q;
       x[rng() % d] = std::nextafter(x[rng() % d], 10.0f);
       return Pair{q, x};
     }},
    {"anti-parallel", [](std::mt19937& rng, std::size_t d) {
       std::vector<float> q = gaussian(rng, d), x = q;
       for (float& v : x) v = -v;
       return Pair{q, x};
     }},
    {"quantization half-steps", [](std::mt19937& rng, std::size_t d) {
       // Every element but the largest lies half a step between two int8 values.
       std::vector<float> x(d), q(d);
       for (std::size_t i = 0; i < d; ++i) {
         x[i] = static_cast<float>((static_cast<int>(rng() % 254) - 127 + 0.5) / 127.0);
         q[i] = static_cast<float>((static_cast<int>(rng() % 254) - 127 + 0.5) / 127.0);
       }
       x[0] = 1.0f;
       q[0] = 1.0f;
       return Pair{q, x};
     }},
    {"one outlier element", [](std::mt19937& rng, std::size_t d) {
       std::vector<float> q = gaussian(rng, d), x = gaussian(rng, d);
       x[rng() % d] = 1e4f;
       q[rng() % d] = -3e3f;
       return Pair{q, x};
     }},
    {"exactly quantized: no residual, the margins alone", [](std::mt19937& rng, std::size_t d) {
       std::vector<float> q(d), x(d);
       for (std::size_t i = 0; i < d; ++i) {
         x[i] = static_cast<float>(static_cast<int>(rng() % 255) - 127);
         q[i] = static_cast<float>(static_cast<int>(rng() % 255) - 127);
       }
       x[0] = 127.0f;
       q[0] = 127.0f;
       return Pair{q, x};
     }},
    {"orthogonal integers", [](std::mt19937&, std::size_t d) {
       std::vector<float> q(d, 0.0f), x(d, 0.0f);
       q[0] = 1.0f;
       x[d - 1] = 1.0f;
       if (d == 1) x[0] = 0.5f;
       return Pair{q, x};
     }},
    {"tiny and huge magnitudes", [](std::mt19937& rng, std::size_t d) {
       // Near the ends of the covered range, 2^-50 and 2^50.
       std::uniform_real_distribution<float> unit(1.0f, 2.0f);
       std::vector<float> q(d), x(d);
       for (std::size_t i = 0; i < d; ++i) {
         q[i] = (rng() % 2 ? 1.0f : -1.0f) * unit(rng) * 0x1p-49f;
         x[i] = (rng() % 2 ? 1.0f : -1.0f) * unit(rng) * 0x1p48f;
       }
       return Pair{q, x};
     }},
    {"sparse with exact zeros", [](std::mt19937& rng, std::size_t d) {
       std::vector<float> q = gaussian(rng, d), x = gaussian(rng, d);
       for (std::size_t i = 0; i < d; ++i) {
         if (rng() % 3 != 0) x[i] = 0.0f;
       }
       x[rng() % d] = 2.0f;
       return Pair{q, x};
     }},
};

TEST(FirstPassBound, HoldsTheKernelsScore) {
  std::mt19937 rng(3);
  for (const auto& [name, make] : kCases) {
    for (const std::size_t d : {1u, 2u, 3u, 4u, 5u, 16u, 31u, 128u, 768u, 1031u}) {
      for (int trial = 0; trial < 40; ++trial) {
        const auto [q, x] = make(rng, d);
        const float score = cosine_score(q, x);
        const Bounds b = bounds_of(q, x);
        ASSERT_LE(b.lower, score) << name << ", d " << d << ", trial " << trial;
        ASSERT_GE(b.upper, score) << name << ", d " << d << ", trial " << trial;
        // Not so wide as to be useless.
        ASSERT_LT(b.upper - b.lower, 0.2f) << name << ", d " << d;
      }
    }
  }
}

TEST(FirstPassBound, WhatTheProofDoesNotCoverIsAlwaysACandidate) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::vector<std::vector<float>> uncovered = {
      {0, 0, 0}, {1, kNaN, 0}, {1, kInf, 2}, {1, 1e-16f, 2}, {1, 2e15f, 2}, {1, 1e-40f, 0}};
  const FloatEnvironment environment;
  for (const std::vector<float>& x : uncovered) {
    std::vector<std::int8_t> entry(4, 9);
    const Int8Terms terms = quantize_int8(reinterpret_cast<const char*>(x.data()), x.size(), entry.data(), 4);
    EXPECT_TRUE(std::isnan(terms.alpha));
    EXPECT_EQ(entry[0], 0);  // zeros, so that no lane of a block carries junk
    EXPECT_FALSE(std::move(quantize_query(x, 1)).value().covered);
  }
}

// Every kernel path with every one of `values`.
std::vector<std::pair<KernelPath, float>> paths_by(std::initializer_list<float> values) {
  std::vector<std::pair<KernelPath, float>> out;
  for (const KernelPath path : available_kernel_paths()) {
    for (const float value : values) out.emplace_back(path, value);
  }
  return out;
}

// On every path, the steps next_reaching stops at, and the lanes it marks
// in them, are those whose scalar upper bound reaches the threshold, NaN
// bounds included; a partial step at the end is given whole.
TEST(FirstPassBound, NextReachingFindsTheLanesTheScalarBoundKeeps) {
  const FloatEnvironment environment;
  std::mt19937 rng(9);
  std::vector<float> q = gaussian(rng, 32);
  const FirstPassQuery query = std::move(quantize_query(q, 8)).value();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  for (const std::size_t count : {0u, 5u, 16u, 37u, 160u}) {
    std::vector<std::int32_t> dots(count);
    std::vector<float> alphas(count), betas(count);
    for (std::size_t i = 0; i < count; ++i) {
      dots[i] = static_cast<std::int32_t>(rng() % 20001) - 10000;
      alphas[i] = i % 23 == 7 ? std::numeric_limits<float>::quiet_NaN() : 0.01f * static_cast<float>(rng() % 100);
      betas[i] = 0.001f * static_cast<float>(rng() % 10);
    }
    // Lane i is entry 5 + i, of a mask that selects about one in four.
    std::vector<unsigned char> bytes(count + 5);
    for (unsigned char& byte : bytes) byte = rng() % 4 == 0;
    const EntryMask mask = std::move(EntryMask::from_bytes(bytes.data(), 1, bytes.size())).value();
    for (const auto& [path, threshold] : paths_by(std::initializer_list<float>{-kInf, -0.5f, 0.0f, 0.3f, kInf})) {
      for (const EntryMask* selected : {static_cast<const EntryMask*>(nullptr), &mask}) {
        const auto in = [&](std::size_t i) { return selected == nullptr || bytes[5 + i] != 0; };
        const auto next_reaching = int8_kernels(path).next_reaching;
        std::size_t step = 0;
        for (std::uint32_t lanes = 0;; step += kBoundLanes) {
          const std::size_t found = next_reaching(query.factors(), dots.data(), alphas.data(), betas.data(), step,
                                                  count, threshold, selected, 5, lanes);
          // Every whole step skipped has no selected lane that reaches.
          for (std::size_t i = step; i < found; ++i) {
            ASSERT_TRUE(!in(i) || bound_lane(query, dots[i], alphas[i], betas[i]).upper < threshold) << count << " " << i;
          }
          step = found;
          if (step >= count) break;
          std::uint32_t expected = 0;
          const bool whole = step + kBoundLanes <= count;
          for (std::size_t j = 0; step + j < std::min(count, step + kBoundLanes); ++j) {
            const float upper = bound_lane(query, dots[step + j], alphas[step + j], betas[step + j]).upper;
            if (!whole || (!(upper < threshold) && in(step + j))) expected |= std::uint32_t{1} << j;
          }
          ASSERT_EQ(lanes, expected) << kernel_path_name(path) << ", count " << count << ", threshold " << threshold
                                     << ", step " << step;
        }
      }
    }
  }
}

// Every instruction set's version keeps the same copy: elements, alpha and
// beta, bit for bit, for rows of every case and length (with a tail past
// each multiple of eight) and for rows the bound does not cover.
TEST(FirstPassBound, EveryQuantizationVersionGivesTheSameBits) {
  const FloatEnvironment environment;
  std::mt19937 rng(5);
  std::vector<std::vector<float>> rows = {{0, 0, 0}, {1, std::numeric_limits<float>::quiet_NaN(), 0}, {1, 1e-40f, 2}};
  for (const auto& [name, make] : kCases) {
    for (const std::size_t d : {1u, 7u, 8u, 9u, 17u, 128u, 1031u}) rows.push_back(make(rng, d).second);
  }
  const auto versions = quantize_int8_versions();
  for (const std::vector<float>& x : rows) {
    const std::size_t groups = (x.size() + 3) / 4;
    std::vector<std::int8_t> expected(groups * 8, 5);
    const Int8Terms first = versions[0](reinterpret_cast<const char*>(x.data()), x.size(), expected.data(), 8);
    for (std::size_t v = 1; v < versions.size(); ++v) {
      std::vector<std::int8_t> entry(groups * 8, 5);
      const Int8Terms terms = versions[v](reinterpret_cast<const char*>(x.data()), x.size(), entry.data(), 8);
      ASSERT_EQ(entry, expected) << "version " << v << ", d " << x.size();
      ASSERT_EQ(std::bit_cast<std::uint32_t>(terms.alpha), std::bit_cast<std::uint32_t>(first.alpha));
      ASSERT_EQ(std::bit_cast<std::uint32_t>(terms.beta), std::bit_cast<std::uint32_t>(first.beta));
    }
  }
}

// Every version's batch gives each row the bits its rows' version gives
// it: rows in pairs and one on its own, uncovered rows beside covered ones,
// lanes 4 bytes apart in lines of 64 as a copy's block holds them.
TEST(FirstPassBound, EveryBatchGivesTheBitsOfItsRows) {
  const FloatEnvironment environment;
  std::mt19937 rng(11);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const std::size_t d : {1u, 4u, 7u, 8u, 13u, 128u, 1031u}) {
    constexpr std::size_t kRows = 16;
    std::vector<float> rows;
    for (std::size_t r = 0; r < kRows; ++r) {
      std::vector<float> row = kCases[r % std::size(kCases)].second(rng, d).second;
      if (r % 5 == 3) row[d / 2] = nan;  // uncovered, beside a covered row
      rows.insert(rows.end(), row.begin(), row.end());
    }
    const std::size_t groups = (d + 3) / 4;
    for (const std::size_t count : {1u, 2u, 3u, 16u}) {
      std::vector<std::int8_t> expected(groups * 64, 5);
      std::vector<float> alphas(count), betas(count);
      for (std::size_t r = 0; r < count; ++r) {
        const Int8Terms terms = quantize_int8_versions()[0](reinterpret_cast<const char*>(rows.data() + r * d), d,
                                                             expected.data() + 4 * r, 64);
        alphas[r] = terms.alpha;
        betas[r] = terms.beta;
      }
      for (const QuantizeInt8Batch batch : quantize_int8_batch_versions()) {
        std::vector<std::int8_t> lanes(groups * 64, 5);
        std::vector<float> batch_alphas(count), batch_betas(count);
        batch({reinterpret_cast<const char*>(rows.data()), static_cast<std::ptrdiff_t>(d * sizeof(float)), count, d,
               lanes.data(), 4, 64, batch_alphas.data(), batch_betas.data()});
        ASSERT_EQ(lanes, expected) << "d " << d << ", count " << count;
        for (std::size_t r = 0; r < count; ++r) {
          ASSERT_EQ(std::bit_cast<std::uint32_t>(batch_alphas[r]), std::bit_cast<std::uint32_t>(alphas[r]));
          ASSERT_EQ(std::bit_cast<std::uint32_t>(batch_betas[r]), std::bit_cast<std::uint32_t>(betas[r]));
        }
      }
    }
  }
}

}  // namespace
}  // namespace tessaly
