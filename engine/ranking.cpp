#include "engine/ranking.hpp"

#include <algorithm>
#include <cmath>

#include "engine/cosine.hpp"

namespace tessaly {
namespace {

bool precedes(const ScoredEntry& x, const ScoredEntry& y) noexcept {
  return x.score > y.score || (std::isnan(y.score) && !std::isnan(x.score));
}

}  // namespace

std::vector<ScoredEntry> score_entries(std::span<const StoredVector> entries,
                                       std::span<const float> query) {
  std::vector<ScoredEntry> list;
  list.reserve(entries.size());
  for (const StoredVector& entry : entries) {
    list.push_back({cosine_score(query, entry.vector), &entry});
  }
  return list;
}

void rank_and_cut(std::vector<ScoredEntry>& list, std::size_t top_k) {
  if (list.size() >= 2) std::stable_sort(list.begin(), list.end(), precedes);
  if (top_k < list.size()) list.resize(top_k);
}

std::vector<ResultPair> to_result_pairs(std::span<const ScoredEntry> list) {
  std::vector<ResultPair> pairs;
  pairs.reserve(list.size());
  for (const ScoredEntry& scored : list) pairs.push_back({scored.score, scored.entry->id});
  return pairs;
}

}  // namespace tessaly
