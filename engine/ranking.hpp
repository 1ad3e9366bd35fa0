// The ranking rule shared by search and parallel_search.
//
// Entry x precedes entry y when x's score is greater; the order is stable, so
// equal scores (+0.0 and -0.0 included) keep their input order. A NaN score
// compares neither greater nor smaller than anything, which is no order at
// all; we rank NaN scores after every number instead, so every sort is a
// sort and an all-NaN list is left exactly as it was.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/vectorstore.hpp"

namespace tessaly {

// A score and the entry it belongs to (a reference, not a copy).
struct ScoredEntry {
  float score;
  const StoredVector* entry;
};

// One scored entry per stored entry, in the order given.
std::vector<ScoredEntry> score_entries(std::span<const StoredVector> entries,
                                       std::span<const float> query);

// Sorts best first by the ranking rule and keeps the first `top_k`.
void rank_and_cut(std::vector<ScoredEntry>& list, std::size_t top_k);

std::vector<ResultPair> to_result_pairs(std::span<const ScoredEntry> list);

}  // namespace tessaly
