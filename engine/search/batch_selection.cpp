#include "engine/search/batch_selection.hpp"

#include <algorithm>

#include "engine/base/float_environment.hpp"
#include "engine/search/block_kernels.hpp"
#include "engine/search/first_pass_batch.hpp"
#include "engine/search/first_pass_selection.hpp"

namespace tessaly {

EngineResult<void> scan_in_tiles(const Vectorstore& store, const BatchPass& pass,
                                 std::span<const std::size_t> queries, std::span<TopSelection* const> selections,
                                 std::span<const EntrySpan> spans, Interruption& interruption) noexcept {
  std::size_t held = 0;  // blocks the spans touch
  for (const EntrySpan& span : spans) held += (span.last + kBlockLanes - 1) / kBlockLanes - span.first / kBlockLanes;
  if (queries.empty() || held == 0) return {};
  const std::size_t dimension = store.vector_size();
  const BlockKernels& kernels = block_kernels(pass.path);
  TRY_ASSIGN(QueryGroups groups, make_query_groups(*pass.queries, queries, dimension, kernels.group_size));
  const std::size_t tile = std::min(pass.tile_blocks, held);
  FloatVector roots, scores;
  if (!roots.try_resize(tile * kBlockLanes) || !scores.try_resize(kernels.group_size * tile * kBlockLanes)) {
    return EngineError::out_of_memory();
  }

  // Each tile is scored while the next one is fetched into the cache, a
  // share of its lines within each group's arithmetic: its first group then
  // finds it there. Fetching it in a burst between groups, or leaving it to
  // the hardware, stalled the arithmetic instead (1.07x the time at
  // 100,000 x 128 with 64 queries, AMD EPYC Zen 5).
  struct Tile {
    const float* blocks = nullptr;
    std::size_t count = 0;
    Blocks::Entries entries{};
  };
  bool stopped = false;
  const std::size_t group_count = groups.groups.size();
  auto score = [&](const Tile& now, const Tile& next) {
    const std::size_t stride = now.count * kBlockLanes;
    const std::size_t next_lines = next.count * dimension;
    for (std::size_t g = 0; g < group_count && !stopped; ++g) {
      const QueryGroup& group = groups.groups[g];
      const std::size_t from = g * next_lines / group_count, to = (g + 1) * next_lines / group_count;
      kernels.score_group(group, now.blocks, now.count, dimension, roots.data(),
                          g == 0 ? Roots::compute : Roots::known, scores.data(), stride,
                          {next.blocks + from * kBlockLanes, to - from});
      for (std::size_t k = 0; k < group.count; ++k) {
        selections[g * kernels.group_size + k]->offer_in_order(scores.data() + k * stride + now.entries.lane,
                                                                now.entries.first, now.entries.count, pass.mask);
      }
      stopped = interruption.requested();
    }
  };
  Tile pending;
  for (const EntrySpan& span : spans) {
    store.blocks().for_each_run_of_entries(span.first, span.last, tile,
                                           [&](const float* blocks, std::size_t count, Blocks::Entries entries) {
      const Tile next{blocks, count, entries};
      if (pending.count != 0 && !stopped) score(pending, next);
      pending = next;
    });
  }
  if (!stopped) score(pending, Tile{});
  if (stopped) return EngineError::interrupted();
  return {};
}

EngineResult<RankedRows> select_top_batch(const Vectorstore& store, const BatchPass& pass, std::size_t first,
                                          std::size_t last, Interruption& interruption) noexcept {
  RankedRows ranked;
  const std::size_t selected = selected_entries(pass.mask, first, last);
  ranked.width = std::min(pass.top_k, selected);
  const std::size_t query_count = pass.query_count;
  if (ranked.width == 0 || query_count == 0) return ranked;
  Array<EntrySpan> spans;
  if (pass.mask != nullptr) {
    TRY_ASSIGN(spans, pass.mask->spans(first, last));
  } else if (!spans.try_push_back({first, last})) {
    return EngineError::out_of_memory();
  }

  const FloatEnvironment environment;
  TopSelection::Scratch keys;
  Array<TopSelection> selections;
  if (!selections.try_reserve(query_count)) return EngineError::out_of_memory();
  for (std::size_t q = 0; q < query_count; ++q) {
    TRY_ASSIGN(TopSelection selection, TopSelection::make(pass.top_k, selected, keys));
    selections.push_back_reserved(std::move(selection));
  }
  // The queries the float scan answers, and those that take two stages
  // (with their quantized forms and selections).
  Array<std::size_t> scanned, staged;
  Array<TopSelection*> scanned_into, staged_into;
  Array<FirstPassQuery> quantized;
  if (!scanned.try_reserve(query_count) || !staged.try_reserve(query_count) ||
      !scanned_into.try_reserve(query_count) || !staged_into.try_reserve(query_count) ||
      !quantized.try_reserve(query_count)) {
    return EngineError::out_of_memory();
  }
  // What a first pass saves is reading: it pays by the entries read (those
  // of the spans, selected or not), as candidates cost their blocks.
  std::size_t read = 0;
  for (const EntrySpan& span : spans) read += span.last - span.first;
  const bool first_pass = first_pass_pays(store, pass.top_k, read);
  FloatVector scratch;
  if (first_pass && !scratch.try_resize(store.vector_size())) return EngineError::out_of_memory();
  for (std::size_t q = 0; q < query_count; ++q) {
    const std::size_t query = pass.first_query + q;
    if (first_pass) {
      TRY_ASSIGN(FirstPassQuery made, quantize_query(pass.queries->row(query, scratch.data()),
                                                     store.int8_copy()->lines()));
      if (made.covered) {
        staged.push_back_reserved(query);
        staged_into.push_back_reserved(&selections[q]);
        quantized.push_back_reserved(std::move(made));
        continue;
      }
    }
    scanned.push_back_reserved(query);
    scanned_into.push_back_reserved(&selections[q]);
  }
  TRY(scan_in_tiles(store, pass, scanned, scanned_into, spans, interruption));
  TRY(select_batch_in_two_stages(store, pass, staged, quantized, staged_into, first, last, spans, interruption));

  if (!ranked.entries.try_reserve(query_count * ranked.width)) return EngineError::out_of_memory();
  ranked.entries.set_size_reserved(query_count * ranked.width);
  for (std::size_t q = 0; q < query_count; ++q) {
    TRY(selections[q].rank_into(ranked.entries.data() + q * ranked.width, interruption));
  }
  return ranked;
}

}  // namespace tessaly
