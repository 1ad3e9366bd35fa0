#include "engine/ranking.hpp"

#include <algorithm>
#include <bit>

#include "engine/float_environment.hpp"
#include "engine/score_batch.hpp"

namespace tessaly {
namespace {

// Ascending key for descending scores: the bit pattern made monotonic, then
// inverted. -0.0 shares +0.0's key; every NaN gets the largest key.
std::uint32_t rank_key(float score) noexcept {
  if (score != score) return UINT32_MAX;
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(score == 0.0f ? 0.0f : score);
  const std::uint32_t ascending = (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
  return ~ascending;
}

// Scores are computed in blocks this size and fed to the selection.
constexpr std::size_t kScoreBlock = 1024;

}  // namespace

TopSelection::TopSelection(std::size_t top_k, std::size_t candidates) : top_k_(top_k) {
  const std::size_t room = top_k > SIZE_MAX / 2 ? SIZE_MAX : 2 * top_k;
  buffer_.reserve(std::min(room, candidates));
}

void TopSelection::offer(float score, const StoredVector* entry) noexcept {
  const Candidate candidate{rank_key(score), score, entry};
  if (top_k_ == 0 || (limited_ && !(candidate < threshold_))) return;
  if (buffer_.size() == buffer_.capacity()) keep_best();
  buffer_.push_back(candidate);  // within the reservation: keep_best left room
}

void TopSelection::offer(std::span<const ScoredEntry> scored) noexcept {
  for (const ScoredEntry& item : scored) offer(item.score, item.entry);
}

void TopSelection::keep_best() noexcept {
  if (buffer_.size() <= top_k_) return;
  std::nth_element(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(top_k_ - 1),
                   buffer_.end());
  buffer_.resize(top_k_);
  threshold_ = buffer_.back();
  limited_ = true;
}

std::vector<ScoredEntry> TopSelection::ranked() && {
  keep_best();
  std::sort(buffer_.begin(), buffer_.end());
  std::vector<ScoredEntry> list;
  list.reserve(buffer_.size());
  for (const Candidate& candidate : buffer_) list.push_back({candidate.score, candidate.entry});
  return list;
}

std::vector<ScoredEntry> select_top(std::span<const StoredVector> entries,
                                    std::span<const float> query, std::size_t top_k) {
  if (top_k == 0 || entries.empty()) return {};
  FloatEnvironment environment;
  const QueryTerms terms(query);
  TopSelection selection(top_k, entries.size());
  float scores[kScoreBlock];
  for (std::size_t first = 0; first < entries.size(); first += kScoreBlock) {
    const std::size_t count = std::min(kScoreBlock, entries.size() - first);
    score_batch(terms, entries.data() + first, count, scores);
    for (std::size_t j = 0; j < count; ++j) selection.offer(scores[j], &entries[first + j]);
  }
  return std::move(selection).ranked();
}

std::vector<ResultPair> to_result_pairs(std::span<const ScoredEntry> list) {
  std::vector<ResultPair> pairs;
  pairs.reserve(list.size());
  for (const ScoredEntry& scored : list) pairs.push_back({scored.score, scored.entry->id});
  return pairs;
}

}  // namespace tessaly
