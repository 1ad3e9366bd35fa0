// A batch gives every query exactly search()'s list, whatever source its
// rows come from, whoever scores it, and however many passes it takes.
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "engine/search/batch_search.hpp"
#include "engine/search/search.hpp"
#include "tests/engine/arrays.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kDimension = 5;

// Small integers make equal scores, and so ties, common.
std::vector<float> random_floats(std::mt19937& rng, std::size_t count) {
  std::vector<float> values(count);
  for (float& x : values) x = static_cast<float>(static_cast<int>(rng() % 7) - 3);
  return values;
}

// (score bits, id) of every row, row after row.
std::vector<std::pair<std::uint32_t, std::uint64_t>> expected_rows(const Vectorstore& store,
                                                                   const std::vector<float>& queries,
                                                                   std::size_t top_k) {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> out;
  for (std::size_t q = 0; q * kDimension < queries.size(); ++q) {
    const auto found = search(store, {queries.data() + q * kDimension, kDimension}, top_k);
    for (const ResultPair& p : found.value()) {
      out.emplace_back(std::bit_cast<std::uint32_t>(p.score), p.id);
    }
  }
  return out;
}

// The same queries (row-major in `queries`) as each source a batch reads.
enum class Source { c_order, fortran_order, misaligned, converted, converting };

struct Batch {
  std::vector<float> columns;          // Fortran order
  std::vector<char> shifted;           // C order, one byte off alignment
  std::vector<std::span<const float>> spans;
  std::vector<double> wide;            // narrowed by the source as it is read
  std::optional<QueryRows> rows;
  void operator()(std::size_t first, std::size_t count, float* out) const {
    for (std::size_t i = 0; i < count * kDimension; ++i) out[i] = static_cast<float>(wide[first * kDimension + i]);
  }
};

void make_rows(Batch& batch, Source source, const std::vector<float>& queries) {
  const std::size_t m = queries.size() / kDimension;
  const auto f = static_cast<std::ptrdiff_t>(sizeof(float));
  switch (source) {
    case Source::c_order:
      batch.rows.emplace(QueryRows::InPlace{reinterpret_cast<const char*>(queries.data()), m, kDimension,
                                            static_cast<std::ptrdiff_t>(kDimension) * f, f});
      return;
    case Source::fortran_order:
      batch.columns.resize(queries.size());
      for (std::size_t q = 0; q < m; ++q) {
        for (std::size_t i = 0; i < kDimension; ++i) batch.columns[i * m + q] = queries[q * kDimension + i];
      }
      batch.rows.emplace(QueryRows::InPlace{reinterpret_cast<const char*>(batch.columns.data()), m, kDimension, f,
                                            static_cast<std::ptrdiff_t>(m) * f});
      return;
    case Source::misaligned:
      batch.shifted.resize(queries.size() * sizeof(float) + 1);
      if (!queries.empty()) std::memcpy(batch.shifted.data() + 1, queries.data(), queries.size() * sizeof(float));
      batch.rows.emplace(QueryRows::InPlace{batch.shifted.data() + 1, m, kDimension,
                                            static_cast<std::ptrdiff_t>(kDimension) * f, f});
      return;
    case Source::converted:
      for (std::size_t q = 0; q < m; ++q) batch.spans.emplace_back(queries.data() + q * kDimension, kDimension);
      batch.rows.emplace(QueryBatch(batch.spans));
      return;
    case Source::converting:
      batch.wide.assign(queries.begin(), queries.end());
      batch.rows.emplace(QueryRows::Converting{m, kDimension, batch});
      return;
  }
}

TEST(BatchSearch, EveryRowIsSearchForEverySourceWorkerRequestAndPassCount) {
  std::mt19937 rng(11);
  Vectorstore store(kDimension);
  const std::vector<float> entries = random_floats(rng, 100 * kDimension);
  for (std::size_t j = 0; j < 100; ++j) ASSERT_TRUE(store.insert({entries.data() + j * kDimension, kDimension}, j % 9).ok());
  using Mode = WorkerRequest::Mode;
  const WorkerRequest requests[] = {{Mode::calling_thread, {}},     {Mode::per_call, 1},
                                    {Mode::per_call, 3},            {Mode::per_call_unless_one, 1},
                                    {Mode::per_call_unless_one, 4}, {Mode::per_call, {}}};
  // 300 queries keeping every entry take several passes.
  for (const std::size_t m : {std::size_t{0}, std::size_t{1}, std::size_t{300}}) {
    const std::vector<float> queries = random_floats(rng, m * kDimension);
    for (const Source source : {Source::c_order, Source::fortran_order, Source::misaligned, Source::converted,
                                Source::converting}) {
      Batch batch;
      make_rows(batch, source, queries);
      for (const WorkerRequest& request : requests) {
        for (const std::size_t top_k : {std::size_t{0}, std::size_t{1}, std::size_t{7}, kMax}) {
          SCOPED_TRACE(testing::Message() << m << " queries, source " << static_cast<int>(source) << ", mode "
                                          << static_cast<int>(request.mode) << ", top_k " << top_k);
          auto planned = BatchSearch::plan(store, *batch.rows, top_k, request);
          ASSERT_TRUE(planned.ok());
          const BatchSearch& plan = planned.value();
          ASSERT_EQ(plan.rows(), m);
          ASSERT_EQ(plan.width(), std::min<std::size_t>(top_k, 100));
          std::vector<float> scores(m * plan.width());
          std::vector<std::uint64_t> ids(m * plan.width());
          Interruption never;
          ASSERT_TRUE(plan.run({scores.data(), ids.data(), plan.width()}, never).ok());
          std::vector<std::pair<std::uint32_t, std::uint64_t>> got;
          for (std::size_t i = 0; i < scores.size(); ++i) got.emplace_back(std::bit_cast<std::uint32_t>(scores[i]), ids[i]);
          ASSERT_EQ(got, expected_rows(store, queries, top_k));
        }
      }
    }
  }
}

TEST(BatchSearch, FirstQueryOfTheWrongLengthFailsThePlanEvenOnAnEmptyStore) {
  const Vectorstore empty(kDimension);
  const std::vector<float> row(kDimension + 1, 1.0f), right(kDimension, 1.0f);
  const std::vector<std::span<const float>> spans{right, row, {row.data(), 2}};
  const QueryRows grid = QueryRows::InPlace{reinterpret_cast<const char*>(row.data()), 1, kDimension + 1,
                                            sizeof(float) * (kDimension + 1), sizeof(float)};
  const QueryRows converted = QueryBatch(spans);
  for (const QueryRows& rows : {grid, converted}) {
    auto planned = BatchSearch::plan(empty, rows, 3, {WorkerRequest::Mode::per_call, 2});
    ASSERT_FALSE(planned.ok());
    EXPECT_EQ(planned.error().message.view(), "query has length 6 but vectorstore expects 5");
  }
}

}  // namespace
}  // namespace tessaly
