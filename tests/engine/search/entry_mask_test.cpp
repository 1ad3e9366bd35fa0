// A masked batch ranks exactly as a store of the selected rows alone: the
// same score bits, ids, order and ties, for every mask shape, kernel path,
// worker request, and with the int8 first pass on and off.
#include <bit>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "engine/search/batch_search.hpp"
#include "engine/search/entry_mask.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kEntries = 40'000;
constexpr std::size_t kDimension = 6;

using Selects = std::function<bool(std::size_t, std::mt19937&)>;
const std::pair<const char*, Selects> kMasks[] = {
    {"none", [](std::size_t, std::mt19937&) { return false; }},
    {"all", [](std::size_t, std::mt19937&) { return true; }},
    {"one entry", [](std::size_t i, std::mt19937&) { return i == 21'011; }},
    {"every other", [](std::size_t i, std::mt19937&) { return i % 2 == 1; }},
    {"first and last of each block", [](std::size_t i, std::mt19937&) { return i % 16 == 0 || i % 16 == 15; }},
    {"10% at random", [](std::size_t, std::mt19937& rng) { return rng() % 10 == 0; }},
    {"90% at random", [](std::size_t, std::mt19937& rng) { return rng() % 10 != 0; }},
    {"a run of 10%, off the blocks", [](std::size_t i, std::mt19937&) { return i >= 20'003 && i < 24'005; }},
    {"two runs far apart", [](std::size_t i, std::mt19937&) { return i < 3'000 || (i >= 30'000 && i < 33'333); }},
};

// Gaussian rows, or near-duplicates of one (many candidates: the float
// scan takes over).
std::vector<float> make_rows(std::mt19937& rng, bool duplicates) {
  std::normal_distribution<float> normal;
  std::vector<float> rows(kEntries * kDimension);
  for (float& x : rows) x = normal(rng);
  if (duplicates) {
    for (std::size_t i = kDimension; i < rows.size(); ++i) rows[i] = rows[i % kDimension] + (i % 7 == 0 ? 1e-6f : 0.0f);
  }
  return rows;
}

Vectorstore store_of(const std::vector<float>& rows, const std::vector<unsigned char>& selected, CompactCopy copy) {
  Vectorstore store(kDimension, copy);
  for (std::size_t i = 0; i < kEntries; ++i) {
    if (selected.empty() || selected[i] != 0) {
      EXPECT_TRUE(store.insert({rows.data() + i * kDimension, kDimension}, i * 3 + 1).ok());
    }
  }
  return store;
}

// (score bits, id) of every row of a batch's results.
std::vector<std::pair<std::uint32_t, std::uint64_t>> answers(const Vectorstore& store, const QueryRows& queries,
                                                             std::size_t top_k, WorkerRequest request,
                                                             KernelPath path, const EntryMask* mask) {
  auto planned = BatchSearch::plan(store, queries, top_k, request, path, mask);
  const BatchSearch& plan = planned.value();
  std::vector<float> scores(plan.rows() * plan.width());
  std::vector<std::uint64_t> ids(scores.size());
  Interruption never;
  EXPECT_TRUE(plan.run({scores.data(), ids.data(), plan.width()}, never).ok());
  std::vector<std::pair<std::uint32_t, std::uint64_t>> out;
  for (std::size_t i = 0; i < scores.size(); ++i) out.emplace_back(std::bit_cast<std::uint32_t>(scores[i]), ids[i]);
  return out;
}

TEST(EntryMask, MaskedBatchesRankAsTheSelectedRowsAlone) {
  std::mt19937 rng(23);
  using Mode = WorkerRequest::Mode;
  const WorkerRequest requests[] = {{Mode::calling_thread, {}}, {Mode::per_call, 2}, {Mode::per_call, 3}};
  for (const bool duplicates : {false, true}) {
    const std::vector<float> rows = make_rows(rng, duplicates);
    std::vector<std::span<const float>> spans;
    std::vector<float> fresh = make_rows(rng, false);
    for (std::size_t q = 0; q < 6; ++q) spans.emplace_back(fresh.data() + q * kDimension, kDimension);
    for (std::size_t q = 0; q < 3; ++q) spans.emplace_back(rows.data() + (q * 9'001) * kDimension, kDimension);
    const QueryRows queries = QueryBatch(spans);
    for (const CompactCopy copy : {CompactCopy::none, CompactCopy::int8}) {
      const Vectorstore whole = store_of(rows, {}, copy);
      for (const auto& [name, selects] : kMasks) {
        std::vector<unsigned char> selected(kEntries);
        for (std::size_t i = 0; i < kEntries; ++i) selected[i] = selects(i, rng) ? 1 + rng() % 255 : 0;
        const EntryMask mask = std::move(EntryMask::from_bytes(selected.data(), 1, kEntries)).value();
        const Vectorstore alone = store_of(rows, selected, CompactCopy::none);
        for (const std::size_t top_k : {1u, 9u, 300u}) {
          const auto expected = answers(alone, queries, top_k, requests[0], KernelPath::scalar, nullptr);
          for (const WorkerRequest& request : requests) {
            for (const KernelPath path : available_kernel_paths()) {
              SCOPED_TRACE(testing::Message() << name << (duplicates ? ", near-duplicates" : "") << ", copy "
                                              << static_cast<int>(copy) << ", top_k " << top_k << ", mode "
                                              << static_cast<int>(request.mode) << ", " << kernel_path_name(path));
              ASSERT_EQ(answers(whole, queries, top_k, request, path, &mask), expected);
            }
          }
        }
      }
    }
  }
}

// Packing reads any nonzero byte as selected, in any stride; counts and
// spans agree with the bytes over any range.
TEST(EntryMask, PacksCountsAndSpansAsTheBytesSay) {
  std::mt19937 rng(3);
  for (const auto& [name, selects] : kMasks) {
    std::vector<unsigned char> bytes(2 * kEntries);
    for (std::size_t i = 0; i < kEntries; ++i) bytes[2 * i] = selects(i, rng) ? 1 + rng() % 255 : 0;
    const auto on = [&](std::size_t i) { return bytes[2 * i] != 0; };
    const EntryMask dense = [&] {
      std::vector<unsigned char> packed(kEntries);
      for (std::size_t i = 0; i < kEntries; ++i) packed[i] = bytes[2 * i];
      return std::move(EntryMask::from_bytes(packed.data(), 1, kEntries)).value();
    }();
    const EntryMask strided = std::move(EntryMask::from_bytes(bytes.data(), 2, kEntries)).value();
    const EntryMask backwards =
        std::move(EntryMask::from_bytes(bytes.data() + 2 * (kEntries - 1), -2, kEntries)).value();
    for (std::size_t i = 0; i < kEntries; i += 7) {
      ASSERT_EQ(dense.run(i), strided.run(i)) << name << " " << i;
      std::uint32_t bits = 0;
      for (std::size_t j = 0; j < 16 && i + j < kEntries; ++j) bits |= static_cast<std::uint32_t>(on(i + j)) << j;
      ASSERT_EQ(dense.run(i), bits) << name << " " << i;
      ASSERT_EQ(backwards.run(kEntries - 1 - i) & 1u, bits & 1u) << name << " " << i;
    }
    for (const auto& [first, last] : {std::pair<std::size_t, std::size_t>{0, kEntries}, {5, 37'001}, {20'010, 20'011}}) {
      std::size_t count = 0;
      for (std::size_t i = first; i < last; ++i) count += on(i);
      ASSERT_EQ(dense.selected(first, last), count) << name;
      // Every selected entry lies in a span, each span starts and ends on
      // one, and what lies between spans is a long stretch of nothing.
      const Array<EntrySpan> spans = std::move(dense.spans(first, last)).value();
      std::size_t covered = 0, previous = first;
      for (const EntrySpan& span : spans) {
        ASSERT_TRUE(on(span.first) && on(span.last - 1)) << name;
        ASSERT_GE(span.first, previous);
        if (previous != first) {
          ASSERT_GE(span.first - previous, 64u * 16) << name;
        }
        for (std::size_t i = span.first; i < span.last; ++i) covered += on(i);
        previous = span.last;
      }
      ASSERT_EQ(covered, count) << name;
    }
  }
}

}  // namespace
}  // namespace tessaly
