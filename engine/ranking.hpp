// The ranking rule shared by every search.
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

#include "engine/array.hpp"
#include "engine/engine_error.hpp"
#include "engine/interruption.hpp"
#include "engine/kernel_path.hpp"
#include "engine/vectorstore.hpp"

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
// rejected in runs of 16 by vector comparisons. Keeping the best finds the
// top_k-th key among plain 32-bit keys and then filters the buffer in
// place, which keeps it in insertion order, so that ties on that key are
// settled by position; the final ranking is a stable radix sort on the
// keys. Both are free of data-dependent branches: on random scores a
// comparison sort mispredicts about every other branch, which made it
// several times slower than the scan it served.
// Room for the keys a selection sorts out while it keeps the best: the
// selections of one thread share one, which must outlive them.
using SelectionKeys = Array<std::uint32_t>;

class TopSelection {
 public:
  // `candidates`: how many entries will be offered at most (sizes the
  // buffer, and `keys`, so that offering never allocates). Fails if that
  // room cannot be had.
  static EngineResult<TopSelection> make(std::size_t top_k, std::size_t candidates, SelectionKeys& keys) noexcept;

  void offer(float score, std::size_t entry) noexcept;
  void offer(std::span<const ScoredEntry> scored) noexcept;
  // The scores of entries first, first + 1, ...: a later entry never beats
  // an equal score, so one float comparison rejects most.
  void offer_in_order(const float* scores, std::size_t first, std::size_t count) noexcept;

  // Forgets every entry offered, keeping the room.
  void reset() noexcept;

  // How many entries ranked() gives: min(top_k, entries offered).
  std::size_t size() noexcept;
  // The selected entries, best first, written to out[0 .. size()).
  void rank_into(ScoredEntry* out) noexcept;
  EngineResult<Array<ScoredEntry>> ranked() && noexcept;

 private:
  struct Candidate {
    std::uint32_t key;  // smaller is better; NaN is the largest
    float score;        // kept as computed: the key merges -0.0 into +0.0
    std::size_t entry;  // insertion order
    bool operator<(const Candidate& other) const noexcept {
      return key != other.key ? key < other.key : entry < other.entry;
    }
  };

  TopSelection(std::size_t top_k, SelectionKeys& keys) noexcept : top_k_(top_k), keys_(&keys) {}
  void append(const Candidate& candidate) noexcept;
  void keep_best() noexcept;
  void keep_first_with_keys_below(std::uint32_t key, std::size_t ties) noexcept;
  void sort_kept() noexcept;

  std::size_t top_k_;
  Array<Candidate> buffer_;
  SelectionKeys* keys_;
  bool limited_ = false;          // whether threshold_ applies yet
  bool in_order_ = true;          // whether the buffer is in insertion order
  Candidate threshold_{};
};

// Scores the store's entries `first` to `last` (exclusive) against the
// query on the given kernel path, and returns the `top_k` best, ranked.
EngineResult<Array<ScoredEntry>> select_top(const Vectorstore& store, std::span<const float> query,
                                            std::size_t top_k, std::size_t first, std::size_t last,
                                            KernelPath path) noexcept;

// Ranked lists of several queries, each of `width` entries, back to back.
struct RankedRows {
  Array<ScoredEntry> entries;
  std::size_t width = 0;

  std::span<const ScoredEntry> row(std::size_t query) const noexcept {
    return {entries.data() + query * width, width};
  }
};

// select_top for every query, in one pass over the entries; each list has
// min(top_k, last - first) entries. Stops early, failing with
// interrupted, when `interruption` is requested.
EngineResult<RankedRows> select_top_batch(const Vectorstore& store, QueryBatch queries, std::size_t top_k,
                                          std::size_t first, std::size_t last, KernelPath path,
                                          Interruption& interruption) noexcept;

EngineResult<Array<ResultPair>> to_result_pairs(std::span<const ScoredEntry> list,
                                                std::span<const std::uint64_t> ids) noexcept;

}  // namespace tessaly
