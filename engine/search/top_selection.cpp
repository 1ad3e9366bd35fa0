#include "engine/search/top_selection.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "engine/search/selection_kernels.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kRun = kRunScores;

// Which of a run's `count` scores (fewer than 16) may enter a selection
// whose worst kept score is `threshold` and comes earlier: only a strictly
// greater score (against a NaN threshold, any number).
std::uint32_t winners(const float* run, std::size_t count, float threshold) noexcept {
  std::uint32_t mask = 0;
  for (std::size_t k = 0; k < count; ++k) {
    mask |= static_cast<std::uint32_t>(threshold == threshold ? run[k] > threshold : run[k] == run[k]) << k;
  }
  return mask;
}

// Precedes in the ranking: by key, then by insertion order.
bool precedes(std::uint32_t key, std::size_t entry, std::uint32_t other_key, std::size_t other_entry) noexcept {
  return key != other_key ? key < other_key : entry < other_entry;
}

// Sorting and merging work between two questions to an interruption: 64K
// places sort in about 4 ms, and a merge step or a pass of the radix sort
// over a few million takes some tens of milliseconds.
constexpr std::size_t kSortPiece = std::size_t{1} << 16;

// Sorts places[0, n) by `before`, a strict total order (so the result is
// the one any sort gives), in pieces of kSortPiece merged pairwise through
// `buffer` (room for n), asking `interruption` after each piece and each
// merge. False, places unsorted, when it is requested.
template <class Before>
bool sort_in_pieces(std::uint32_t* places, std::size_t n, std::uint32_t* buffer, Before before,
                    Interruption& interruption) noexcept {
  for (std::size_t i = 0; i < n; i += kSortPiece) {
    std::sort(places + i, places + std::min(i + kSortPiece, n), before);
    if (interruption.requested()) return false;
  }
  std::uint32_t* from = places;
  std::uint32_t* to = buffer;
  for (std::size_t width = kSortPiece; width < n; width *= 2) {
    for (std::size_t i = 0; i < n; i += 2 * width) {
      const std::size_t middle = std::min(i + width, n), end = std::min(i + 2 * width, n);
      std::merge(from + i, from + middle, from + middle, from + end, to + i, before);
      if (interruption.requested()) return false;
    }
    std::swap(from, to);
  }
  if (from != places) std::memcpy(places, from, n * sizeof(std::uint32_t));
  return true;
}

}  // namespace

std::size_t TopSelection::room() const noexcept { return capacity_ + kRun; }

EngineResult<TopSelection> TopSelection::make(std::size_t top_k, std::size_t candidates, Scratch& scratch) noexcept {
  TopSelection selection(top_k, scratch);
  if (top_k == 0) return selection;
  // Room for a whole run beyond the kept top_k, so that a run's winners are
  // appended without a check per score.
  const std::size_t capacity = std::min(top_k > (SIZE_MAX - kRun) / 3 ? SIZE_MAX : 3 * top_k + kRun,
                                        candidates > SIZE_MAX - kRun ? SIZE_MAX : candidates + kRun);
  // Each array holds the capacity and a run more: entries, then keys and
  // scores (4 bytes each) in as many size_t's as they fill. The scratch
  // holds the keys, and nth_smallest twice as much again and a little.
  if (capacity > SIZE_MAX / 16 - kRun) return EngineError::out_of_memory();  // no size below overflows
  selection.capacity_ = capacity;
  const std::size_t room = selection.room();
  const std::size_t words = room + (2 * room * sizeof(std::uint32_t) + sizeof(std::size_t) - 1) / sizeof(std::size_t);
  // That is also room for ranking's places and their merge buffer.
  if (!selection.storage_.try_reserve(words) || !scratch.try_reserve(3 * capacity + 64)) {
    return EngineError::out_of_memory();
  }
  selection.storage_.set_size_reserved(words);
  return selection;
}

void TopSelection::append(std::uint32_t key, float score, std::size_t entry) noexcept {
  if (size_ == capacity_) keep_best();
  if (size_ != 0 && !(entries()[size_ - 1] < entry)) in_order_ = false;
  keys()[size_] = key;
  scores()[size_] = score;
  entries()[size_] = entry;
  ++size_;
}

void TopSelection::offer(float score, std::size_t entry) noexcept {
  const std::uint32_t key = rank_key(score);
  if (top_k_ == 0 || (limited_ && !precedes(key, entry, threshold_.key, threshold_.entry))) return;
  append(key, score, entry);
}

void TopSelection::offer(std::span<const ScoredEntry> scored) noexcept {
  for (const ScoredEntry& item : scored) offer(item.score, item.entry);
}

void TopSelection::offer_in_order(const float* scores_given, std::size_t first, std::size_t count,
                                  const EntryMask* mask) noexcept {
  if (top_k_ == 0 || count == 0) return;
  if (size_ != 0 && !(entries()[size_ - 1] < first)) in_order_ = false;
  const auto selected = [&](std::size_t entry) { return mask != nullptr ? mask->run(entry) : 0xFFFFu; };
  // Until the buffer first fills, every score enters.
  std::size_t start = 0;
  for (; start < count && !limited_; start += kRun) {
    const std::size_t n = std::min(kRun, count - start);
    const std::uint32_t lanes = static_cast<std::uint32_t>((std::uint64_t{1} << n) - 1) & selected(first + start);
    if (lanes != 0) append_run(scores_given + start, first + start, lanes);
  }
  // Then most runs fall short of the threshold, and only those with a
  // winner are visited (and only then asked whether the mask selects it).
  // Masks are made for a stretch of runs at a time against the threshold
  // at its start: a threshold raised meanwhile only lets in a few
  // candidates more.
  constexpr std::size_t kStretch = 64;
  std::uint16_t masks[kStretch];
  for (; start < count; start += kStretch * kRun) {
    const std::size_t scored = std::min(kStretch * kRun, count - start);
    std::uint64_t won = selection_kernels().run_masks(scores_given + start, scored / kRun, threshold_.score, masks);
    if (const std::size_t rest = scored % kRun) {  // a short last run
      const std::size_t last = scored / kRun;
      masks[last] = static_cast<std::uint16_t>(winners(scores_given + start + last * kRun, rest, threshold_.score));
      won |= static_cast<std::uint64_t>(masks[last] != 0) << last;
    }
    for (; won != 0; won &= won - 1) {
      const std::size_t r = static_cast<std::size_t>(std::countr_zero(won));
      const std::size_t entry = first + start + r * kRun;
      const std::uint32_t lanes = masks[r] & selected(entry);
      if (lanes != 0) append_run(scores_given + start + r * kRun, entry, lanes);
    }
  }
}

// Appends the scores of a run that `mask` marks, of entries first onward.
void TopSelection::append_run(const float* run, std::size_t first, std::uint32_t mask) noexcept {
  if (capacity_ - size_ < kRun) keep_best();
  size_ += selection_kernels().append_run(run, mask, first, keys() + size_, scores() + size_, entries() + size_);
}

void TopSelection::keep_best() noexcept {
  if (size_ <= top_k_) return;
  limited_ = true;
  if (!in_order_) return keep_best_out_of_order();
  // The keys, then room for nth_smallest to work in (see make()).
  std::uint32_t* work = scratch_->data();
  std::memcpy(work, keys(), size_ * sizeof(std::uint32_t));
  const NthKey nth = selection_kernels().nth_smallest(work, work + size_, size_, top_k_ - 1);
  std::size_t last_tie = 0;
  size_ = selection_kernels().keep_below(nth.key, top_k_ - nth.below, keys(), scores(), entries(), size_, last_tie);
  threshold_ = {keys()[last_tie], scores()[last_tie], entries()[last_tie]};
}

// Ties must be settled by insertion order, which the buffer lost: the
// candidates are ranked through a sorted list of their places (rare: only
// merging lists offers out of order, and they are short).
void TopSelection::keep_best_out_of_order() noexcept {
  std::uint32_t* places = scratch_->data();
  for (std::size_t i = 0; i < size_; ++i) places[i] = static_cast<std::uint32_t>(i);
  const std::uint32_t* key = keys();
  const std::size_t* entry = entries();
  std::nth_element(places, places + top_k_ - 1, places + size_, [&](std::uint32_t a, std::uint32_t b) {
    return precedes(key[a], entry[a], key[b], entry[b]);
  });
  std::sort(places, places + top_k_);  // back in buffer order, which the filter below keeps
  std::size_t kept = 0;
  for (std::size_t i = 0; i < top_k_; ++i, ++kept) {
    const std::uint32_t from = places[i];
    keys()[kept] = keys()[from];
    scores()[kept] = scores()[from];
    entries()[kept] = entries()[from];
    if (kept == 0 || precedes(threshold_.key, threshold_.entry, keys()[kept], entries()[kept])) {
      threshold_ = {keys()[kept], scores()[kept], entries()[kept]};
    }
  }
  size_ = kept;
}

void TopSelection::reset() noexcept {
  size_ = 0;
  limited_ = false;
  in_order_ = true;
}

std::size_t TopSelection::size() noexcept {
  keep_best();
  return size_;
}

// Sorts the kept candidates by key, ties in buffer order (by insertion
// order, out of order). Eight bits a pass, least significant first, into
// the buffer's spare room (as large as what it keeps); a pass whose digit
// is the same throughout is skipped. False when interrupted.
bool TopSelection::sort_kept(Interruption& interruption) noexcept {
  const std::size_t n = size_;
  if (!in_order_ || n <= 32 || capacity_ - n < n) return sort_by_comparison(interruption);
  std::uint32_t* key_from = keys();
  float* score_from = scores();
  std::size_t* entry_from = entries();
  std::uint32_t* key_to = key_from + n;
  float* score_to = score_from + n;
  std::size_t* entry_to = entry_from + n;
  for (unsigned shift = 0; shift < 32; shift += 8) {
    if (interruption.requested()) return false;
    std::uint32_t starts[256] = {};
    for (std::size_t i = 0; i < n; ++i) ++starts[(key_from[i] >> shift) & 255];
    if (starts[(key_from[0] >> shift) & 255] == n) continue;
    std::uint32_t position = 0;
    for (std::uint32_t& start : starts) position += std::exchange(start, position);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t to = starts[(key_from[i] >> shift) & 255]++;
      key_to[to] = key_from[i];
      score_to[to] = score_from[i];
      entry_to[to] = entry_from[i];
    }
    std::swap(key_from, key_to);
    std::swap(score_from, score_to);
    std::swap(entry_from, entry_to);
  }
  if (key_from != keys()) {
    std::memcpy(keys(), key_from, n * sizeof(std::uint32_t));
    std::memcpy(scores(), score_from, n * sizeof(float));
    std::memcpy(entries(), entry_from, n * sizeof(std::size_t));
  }
  return true;
}

// The sort of sort_kept when the buffer has no room for a radix pass, or
// lost insertion order: places sorted by comparison, then the candidates
// moved to their places.
bool TopSelection::sort_by_comparison(Interruption& interruption) noexcept {
  const std::size_t n = size_;
  std::uint32_t* places = scratch_->data();
  for (std::size_t i = 0; i < n; ++i) places[i] = static_cast<std::uint32_t>(i);
  const std::uint32_t* key = keys();
  const std::size_t* entry = entries();
  auto before = [&](std::uint32_t a, std::uint32_t b) { return precedes(key[a], entry[a], key[b], entry[b]); };
  if (!sort_in_pieces(places, n, places + n, before, interruption)) return false;
  // Candidate places[i] goes to i: the permutation's cycles are followed
  // in place, each place marked by its top bit once filled.
  constexpr std::uint32_t kFilled = 0x80000000u;
  std::size_t moved = 0;
  for (std::size_t start = 0; start < n; ++start) {
    if (places[start] & kFilled) continue;
    const std::uint32_t key_held = keys()[start];
    const float score_held = scores()[start];
    const std::size_t entry_held = entries()[start];
    std::size_t to = start;
    for (std::size_t from = places[to]; from != start; from = places[to] & ~kFilled) {
      keys()[to] = keys()[from];
      scores()[to] = scores()[from];
      entries()[to] = entries()[from];
      places[to] |= kFilled;
      to = from;
      if (++moved % kSortPiece == 0 && interruption.requested()) return false;
    }
    keys()[to] = key_held;
    scores()[to] = score_held;
    entries()[to] = entry_held;
    places[to] |= kFilled;
  }
  return true;
}

void TopSelection::rank_into(ScoredEntry* out) noexcept {
  Interruption never;
  (void)rank_into(out, never);
}

EngineResult<void> TopSelection::rank_into(ScoredEntry* out, Interruption& interruption) noexcept {
  keep_best();
  // An interrupted sort leaves the buffer in pieces: nothing may be kept.
  if (!sort_kept(interruption)) {
    reset();
    return EngineError::interrupted();
  }
  for (std::size_t i = 0; i < size_; ++i) out[i] = {scores()[i], entries()[i]};
  return {};
}

EngineResult<Array<ScoredEntry>> TopSelection::ranked() && noexcept {
  Array<ScoredEntry> list;
  if (!list.try_reserve(size())) return EngineError::out_of_memory();
  list.set_size_reserved(size());
  rank_into(list.data());
  return list;
}

}  // namespace tessaly
