// Merging ranked lists: the lists of a parallel search's chunks, each the
// best of its chunk by the ranking rule (top_selection.hpp), into the best
// of them all.
//
// That rule is a total order (score descending, NaN last, then insertion
// order, and no entry is in two lists), so the merge of the lists is the
// one ranking of their union, entry for entry what selecting from all of
// them and sorting gives; and, unlike that, it needs no room beyond its
// output and can stop between any two entries.
#pragma once

#include <cstddef>
#include <span>

#include "engine/base/engine_error.hpp"
#include "engine/runtime/interruption.hpp"
#include "engine/search/top_selection.hpp"

namespace tessaly {

// The first `count` entries of the merge of `lists` (count at most their
// total length) into out[0, count), asking `interruption` every 64K
// entries; fails with interrupted, `out` unfinished, when it is requested.
EngineResult<void> merge_ranked(std::span<const std::span<const ScoredEntry>> lists, std::size_t count,
                                ScoredEntry* out, Interruption& interruption) noexcept;

}  // namespace tessaly
