#include "engine/search/ranked_merge.hpp"

#include <algorithm>
#include <cstdint>

#include "engine/base/array.hpp"
#include "engine/search/selection_kernels.hpp"

namespace tessaly {
namespace {

// Entries merged between two questions to an interruption: about a
// millisecond's work.
constexpr std::size_t kMergeStep = std::size_t{1} << 16;

// The next entry of one list, with its ranking key.
struct Head {
  std::uint32_t key;
  std::size_t entry;
  std::size_t list;
};

// Whether `a` ranks after `b`: the heap's order, which keeps the first on top.
bool ranks_after(const Head& a, const Head& b) noexcept {
  return a.key != b.key ? a.key > b.key : a.entry > b.entry;
}

}  // namespace

EngineResult<void> merge_ranked(std::span<const std::span<const ScoredEntry>> lists, std::size_t count,
                                ScoredEntry* out, Interruption& interruption) noexcept {
  Array<Head> heads;
  Array<std::size_t> taken;  // how many of each list are merged
  if (!heads.try_reserve(lists.size()) || !taken.try_resize(lists.size())) return EngineError::out_of_memory();
  auto head_of = [&](std::size_t list) {
    const ScoredEntry& next = lists[list][taken[list]];
    return Head{rank_key(next.score), next.entry, list};
  };
  for (std::size_t list = 0; list < lists.size(); ++list) {
    if (!lists[list].empty()) heads.push_back_reserved(head_of(list));
  }
  Head* const heap = heads.data();
  std::size_t size = heads.size();
  std::make_heap(heap, heap + size, ranks_after);
  for (std::size_t i = 0; i < count; ++i) {
    if (i % kMergeStep == kMergeStep - 1 && interruption.requested()) return EngineError::interrupted();
    std::pop_heap(heap, heap + size, ranks_after);
    const std::size_t list = heap[size - 1].list;
    out[i] = lists[list][taken[list]++];
    if (taken[list] < lists[list].size()) {
      heap[size - 1] = head_of(list);
      std::push_heap(heap, heap + size, ranks_after);
    } else {
      --size;
    }
  }
  return {};
}

}  // namespace tessaly
