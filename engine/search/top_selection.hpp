// The ranking rule shared by every search, and the selection of the best
// top_k by it.
//
// Entry x precedes entry y when x's score is greater; equal scores (+0.0
// and -0.0 included) keep insertion order. A NaN score compares neither
// greater nor smaller than anything, which is no order at all; we rank NaN
// scores after every number instead, so that selection is well defined,
// an all-NaN store keeps insertion order, and parallel_search agrees with
// search even on NaN scores.
//
// Ranking the whole list and keeping the first top_k gives the same list as
// selecting the top_k under the total order (score descending, NaN last,
// insertion order) and ranking only those; that is what we do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/base/array.hpp"
#include "engine/base/engine_error.hpp"
#include "engine/runtime/interruption.hpp"
#include "engine/search/entry_mask.hpp"

namespace tessaly {

// A score and the position of the entry it belongs to.
struct ScoredEntry {
  float score;
  std::size_t entry;
};

// Keeps the best `top_k` of the entries offered, in any order of offering.
//
// Candidates better than the current threshold are appended to a buffer of
// three times top_k; when it fills, the best top_k are kept and the worst
// of them becomes the threshold. On n random scores about
// top_k * ln(n / top_k) candidates are ever appended; everything else is
// rejected in runs of 16 by vector comparisons. The buffer holds keys,
// scores and entries in arrays of their own, so that a run's winners are
// appended, and the best kept, sixteen at a time (selection_kernels.hpp).
// Keeping the best finds the top_k-th key among the keys alone and then
// filters the buffer in place, which keeps it in insertion order, so that
// ties on that key are settled by position; the final ranking is a stable
// radix sort on the keys. Both are free of data-dependent branches: on
// random scores a comparison sort mispredicts about every other branch,
// which made it several times slower than the scan it served.
class TopSelection {
 public:
  // Room for the keys a selection sorts out while it keeps the best: the
  // selections of one thread share one, which must outlive them.
  using Scratch = Array<std::uint32_t>;

  // `candidates`: how many entries will be offered at most (sizes the
  // buffer, and `scratch`, so that offering never allocates). Fails if that
  // room cannot be had.
  static EngineResult<TopSelection> make(std::size_t top_k, std::size_t candidates, Scratch& scratch) noexcept;

  void offer(float score, std::size_t entry) noexcept;
  void offer(std::span<const ScoredEntry> scored) noexcept;
  // The scores of entries first, first + 1, ...: a later entry never beats
  // an equal score, so one float comparison rejects most. With a mask,
  // only the entries it selects (whose scores only are read).
  void offer_in_order(const float* scores, std::size_t first, std::size_t count,
                      const EntryMask* mask = nullptr) noexcept;

  // Forgets every entry offered, keeping the room.
  void reset() noexcept;

  // How many entries ranked() gives: min(top_k, entries offered).
  std::size_t size() noexcept;
  // The selected entries, best first, written to out[0 .. size()).
  void rank_into(ScoredEntry* out) noexcept;
  // The same, asking `interruption` between pieces of the ranking (a few
  // milliseconds each: ranking millions of entries takes a second); fails
  // with interrupted, `out` unfinished, when it is requested.
  EngineResult<void> rank_into(ScoredEntry* out, Interruption& interruption) noexcept;
  EngineResult<Array<ScoredEntry>> ranked() && noexcept;

 private:
  struct Worst {  // the threshold: the worst candidate kept
    std::uint32_t key;
    float score;
    std::size_t entry;
  };

  TopSelection(std::size_t top_k, Scratch& scratch) noexcept : top_k_(top_k), scratch_(&scratch) {}
  // The three arrays, `capacity_` candidates each and a run beyond.
  std::size_t* entries() noexcept { return storage_.data(); }
  std::uint32_t* keys() noexcept { return reinterpret_cast<std::uint32_t*>(storage_.data() + room()); }
  float* scores() noexcept { return reinterpret_cast<float*>(keys() + room()); }
  std::size_t room() const noexcept;
  void append(std::uint32_t key, float score, std::size_t entry) noexcept;
  void append_run(const float* run, std::size_t first, std::uint32_t mask) noexcept;
  void keep_best() noexcept;
  void keep_best_out_of_order() noexcept;
  bool sort_kept(Interruption& interruption) noexcept;
  bool sort_by_comparison(Interruption& interruption) noexcept;

  std::size_t top_k_;
  Scratch* scratch_;
  Array<std::size_t> storage_;  // entries, then keys, then scores
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  bool limited_ = false;   // whether threshold_ applies yet
  bool in_order_ = true;   // whether the buffer is in insertion order
  Worst threshold_{};
};

}  // namespace tessaly
