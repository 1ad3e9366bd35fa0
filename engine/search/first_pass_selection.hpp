// Selection in two stages, for a store that keeps a compact copy: the
// first pass reads the int8 copy of a range of entries and bounds every
// entry's score (first_pass_bound.hpp); only the entries whose interval can
// reach the top k are scored by the float kernel, with the very bits a
// plain scan gives them.
//
// Why the top k is the same. Let T be the k-th largest lower bound over the
// range. At least k entries score at least T; an entry whose upper bound is
// below T scores below every one of them, so it is not in the top k,
// whatever the ties (covered entries never score NaN). Every other entry is
// a candidate, and ranked by the same rule the best k candidates are the
// best k entries. T only rises during a scan, so keeping the entries whose
// upper bound reaches the running T keeps a superset; it is filtered by the
// final T at the end. An entry the bound does not cover is always a
// candidate.
//
// No cliff: when candidates are more than pays (near-duplicates, data the
// int8 copy resolves badly), the rest of the range is scored by the float
// scan instead, and offered after the candidates found before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/base/array.hpp"
#include "engine/base/engine_error.hpp"
#include "engine/runtime/kernel_path.hpp"
#include "engine/search/entry_mask.hpp"
#include "engine/search/first_pass_bound.hpp"
#include "engine/search/kth_largest.hpp"
#include "engine/search/top_selection.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

// Whether a first pass can pay for `top_k` of `entries` entries of the
// store: it keeps a compact copy, and they are many beside top_k.
bool first_pass_pays(const Vectorstore& store, std::size_t top_k, std::size_t entries) noexcept;

// An entry the first stage keeps, and its upper bound.
struct Candidate {
  std::size_t entry;
  float upper;
};

// One query's first stage over entries `first` to `last`, given the int8
// products of their lanes in entry order, run after run.
class FirstStage {
 public:
  static EngineResult<FirstStage> make(std::size_t top_k, std::size_t first, std::size_t last) noexcept;

  // Entries `from` to `from + count - 1`, after the last taken: the
  // query's int8 products with them and their terms, all from entry `from`
  // on; `kernels` rule lanes out. With a mask, only the entries it selects
  // are bounded and kept. Fails only for memory.
  EngineResult<void> take(const FirstPassQuery& query, const Int8Kernels& kernels, std::size_t from,
                          std::size_t count, const std::int32_t* dots, const float* alphas, const float* betas,
                          const EntryMask* mask = nullptr) noexcept;
  // Filters the candidates by the final threshold.
  void finish() noexcept;

  // Where the float scan takes over (last, if it does not): nothing from
  // there on is taken or kept.
  std::size_t float_from() const noexcept { return float_from_; }
  bool taken_over() const noexcept { return float_from_ != last_; }
  // In entry order, all before float_from().
  std::span<const Candidate> candidates() const noexcept { return candidates_; }
  // After finish(): scores with the float kernel of `path` (the very bits
  // a plain scan gives) the candidates that can still reach the top k, best
  // upper bound first (each block once, for all its candidates), and
  // offers them to `selection` in entry order. Fails only for memory.
  EngineResult<void> offer_candidates(const Vectorstore& store, std::span<const float> query, KernelPath path,
                                      TopSelection& selection) noexcept;

 private:
  FirstStage(std::size_t top_k, std::size_t first, std::size_t last, KthLargest lower_bounds) noexcept
      : top_k_(top_k), first_(first), last_(last), float_from_(last), lower_bounds_(std::move(lower_bounds)) {}
  void keep_reaching(float threshold) noexcept;
  // The most candidates kept with `taken` entries taken, at any point.
  std::size_t early_budget(std::size_t taken) const noexcept;
  void offer_lower_bounds(const FirstPassQuery& query, std::size_t from, std::size_t count,
                          const std::int32_t* dots, const float* alphas, const float* betas,
                          const EntryMask* mask) noexcept;

  std::size_t top_k_, first_, last_, float_from_;
  std::size_t taken_ = 0;  // entries read before this take, skipped ones not counted
  KthLargest lower_bounds_;
  Array<Candidate> candidates_;
  std::size_t trimmed_ = 0;  // candidates after the last trim
};


// select_top (range_selection.hpp) in two stages, for a covered query.
EngineResult<Array<ScoredEntry>> select_top_in_two_stages(const Vectorstore& store, std::span<const float> query,
                                                          const FirstPassQuery& quantized, std::size_t top_k,
                                                          std::size_t first, std::size_t last,
                                                          KernelPath path) noexcept;

}  // namespace tessaly
