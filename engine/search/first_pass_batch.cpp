#include "engine/search/first_pass_batch.hpp"

#include <algorithm>
#include <cstring>

#include "engine/search/first_pass_selection.hpp"
#include "engine/search/int8_kernels.hpp"

namespace tessaly {
namespace {

// The pass's quantized queries in groups of the path's size, interleaved as
// Int8QueryGroup wants them.
struct Int8Groups {
  Array<Int8QueryGroup> groups;
  Array<std::int8_t> elements;  // what the groups' `interleaved` point into
};

EngineResult<Int8Groups> make_int8_groups(std::span<const FirstPassQuery> quantized, std::size_t lines,
                                          std::size_t group_size) noexcept {
  Int8Groups made;
  const std::size_t count = quantized.size();
  if (!made.groups.try_reserve((count + group_size - 1) / group_size) ||
      !made.elements.try_resize(count * lines * kInt8LaneElements)) {
    return EngineError::out_of_memory();
  }
  for (std::size_t start = 0; start < count; start += group_size) {
    const std::size_t size = std::min(group_size, count - start);
    std::int8_t* interleaved = made.elements.data() + start * lines * kInt8LaneElements;
    Int8QueryGroup group{size, lines, interleaved, {}};
    for (std::size_t k = 0; k < size; ++k) {
      const FirstPassQuery& query = quantized[start + k];
      group.bias[k] = query.bias;
      for (std::size_t j = 0; j < lines; ++j) {
        std::memcpy(interleaved + (j * size + k) * kInt8LaneElements, query.elements.data() + j * kInt8LaneElements,
                    kInt8LaneElements);
      }
    }
    made.groups.push_back_reserved(group);
  }
  return made;
}

}  // namespace

EngineResult<void> select_batch_in_two_stages(const Vectorstore& store, const BatchPass& pass,
                                              std::span<const std::size_t> queries,
                                              std::span<const FirstPassQuery> quantized,
                                              std::span<TopSelection* const> selections, std::size_t first,
                                              std::size_t last, std::span<const EntrySpan> spans,
                                              Interruption& interruption) noexcept {
  if (queries.empty()) return {};
  const Int8Copy& copy = *store.int8_copy();
  const Int8Kernels& int8 = int8_kernels(pass.path);
  const std::size_t group_size = int8.group_size;
  TRY_ASSIGN(Int8Groups groups, make_int8_groups(quantized, copy.lines(), group_size));
  Array<FirstStage> stages;
  if (!stages.try_reserve(queries.size())) return EngineError::out_of_memory();
  for (std::size_t i = 0; i < queries.size(); ++i) {
    TRY_ASSIGN(FirstStage stage, FirstStage::make(pass.top_k, first, last));
    stages.push_back_reserved(std::move(stage));
  }
  const std::size_t tile = std::max<std::size_t>(pass.int8_tile_blocks, 1);
  Array<std::int32_t> dots;
  if (!dots.try_resize(group_size * tile * kBlockLanes)) return EngineError::out_of_memory();

  // The first stage, tile by tile.
  EngineResult<void> taken;
  bool stopped = false;
  auto take_tile = [&](const EntrySpan& span, const std::int8_t* blocks, std::size_t block, std::size_t count) {
    const std::size_t start = block * kBlockLanes;
    const std::size_t from = std::max(span.first, start), to = std::min(span.last, start + count * kBlockLanes);
    const std::size_t stride = count * kBlockLanes;
    for (std::size_t g = 0; g < groups.groups.size() && !stopped && taken.ok(); ++g) {
      const Int8QueryGroup& group = groups.groups[g];
      FirstStage* group_stages = stages.data() + g * group_size;
      if (std::all_of(group_stages, group_stages + group.count, [](const FirstStage& s) { return s.taken_over(); })) {
        continue;
      }
      int8.dot_group(group, blocks, count, dots.data(), stride);
      for (std::size_t k = 0; k < group.count && taken.ok(); ++k) {
        const std::size_t i = g * group_size + k;
        if (stages[i].taken_over()) continue;
        taken = stages[i].take(quantized[i], int8, from, to - from, dots.data() + k * stride + (from - start),
                               copy.alphas().data() + from, copy.betas().data() + from, pass.mask);
      }
      stopped = interruption.requested();
    }
  };
  for (const EntrySpan& span : spans) {
    copy.for_each_run(span.first / kBlockLanes, (span.last + kBlockLanes - 1) / kBlockLanes, tile,
                      [&](const std::int8_t* blocks, std::size_t block, std::size_t count) {
      take_tile(span, blocks, block, count);
    });
  }
  if (stopped) return EngineError::interrupted();
  TRY(std::move(taken));

  // The second stage, query by query. The queries the float scan took over
  // had more candidates than pays to score one by one: the float batch
  // scan, which shares every line among a group, scores their whole range
  // together instead.
  FloatVector scratch;
  if (!scratch.try_resize(store.vector_size())) return EngineError::out_of_memory();
  Array<std::size_t> scanned;
  Array<TopSelection*> scanned_into;
  if (!scanned.try_reserve(queries.size()) || !scanned_into.try_reserve(queries.size())) {
    return EngineError::out_of_memory();
  }
  for (std::size_t i = 0; i < queries.size(); ++i) {
    if (stages[i].taken_over()) {
      scanned.push_back_reserved(queries[i]);
      scanned_into.push_back_reserved(selections[i]);
      continue;
    }
    stages[i].finish();
    TRY(stages[i].offer_candidates(store, pass.queries->row(queries[i], scratch.data()), pass.path,
                                   *selections[i]));
  }
  return scan_in_tiles(store, pass, scanned, scanned_into, spans, interruption);
}

}  // namespace tessaly
