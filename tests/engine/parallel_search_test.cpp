// parallel_search and the worker threads under it: chunking, agreement with
// search, and what run_workers promises about starting, joining and failing.
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <latch>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/worker_plan.hpp"
#include "engine/vectorstore.hpp"
#include "engine/worker_threads.hpp"
#include "tests/engine/arrays.hpp"

namespace tessaly {
namespace {

using namespace std::chrono_literals;
constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct ChunkCase {
  std::size_t entries, requested, chunk_size, workers;
};
class PlanChunks : public testing::TestWithParam<ChunkCase> {};

TEST_P(PlanChunks, CeilingDivisionWithoutOverflow) {
  const ChunkCase& c = GetParam();
  const ChunkPlan plan = plan_chunks(c.entries, c.requested);
  EXPECT_EQ(plan.chunk_size, c.chunk_size);
  EXPECT_EQ(plan.workers, c.workers);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlanChunks,
    testing::Values(ChunkCase{10, 4, 3, 4}, ChunkCase{10, 3, 4, 3}, ChunkCase{9, 6, 2, 5},
                    ChunkCase{5, 4, 2, 3}, ChunkCase{3, 8, 1, 3}, ChunkCase{7, 1, 7, 1},
                    ChunkCase{1, kMax, 1, 1}, ChunkCase{kMax, 1, kMax, 1},
                    ChunkCase{kMax, 2, kMax / 2 + 1, 2}, ChunkCase{kMax, kMax, 1, kMax},
                    ChunkCase{kMax - 1, kMax, 1, kMax - 1},
                    ChunkCase{kMax, kMax - 1, 2, kMax / 2 + 1}));

using Line = std::pair<std::uint32_t, std::uint64_t>;
std::vector<Line> lines(const EngineResult<Array<ResultPair>>& result) {
  std::vector<Line> out;
  for (const ResultPair& p : result.value()) {
    out.emplace_back(std::bit_cast<std::uint32_t>(p.score), p.id);
  }
  return out;
}

// Components in -2..2 make equal scores common; about a third of the rows
// repeat an earlier row, and ids repeat too.
Vectorstore random_store(std::mt19937& rng, std::size_t dimension, std::size_t count) {
  std::uniform_int_distribution<int> component(-2, 2);
  Vectorstore store(dimension);
  std::vector<std::vector<float>> rows;
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<float> row;
    if (!rows.empty() && rng() % 3 == 0) {
      row = rows[rng() % rows.size()];
    } else {
      for (std::size_t d = 0; d < dimension; ++d) row.push_back(static_cast<float>(component(rng)));
    }
    rows.push_back(row);
    EXPECT_TRUE(store.insert(floats(row), rng() % 16).ok());
  }
  return store;
}

TEST(ParallelSearch, EqualsSearchForAnyWorkerCountAndTopK) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    const std::size_t dimension = 1 + seed % 4, count = 1 + rng() % 70;
    const Vectorstore store = random_store(rng, dimension, count);
    std::vector<float> query;
    for (std::size_t d = 0; d < dimension; ++d) query.push_back(static_cast<float>(rng() % 5) - 2);
    for (std::optional<std::size_t> n :
         {std::optional<std::size_t>{}, {0}, {1}, {2}, {3}, {count - 1}, {count}, {count + 1}, {1000}}) {
      for (std::size_t top_k : {std::size_t{0}, std::size_t{1}, std::size_t{3}, count - 1, count,
                                count + 7, kMax}) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << count << " entries, n_threads "
                                        << (n ? std::to_string(*n) : "none") << ", top_k " << top_k);
        EXPECT_EQ(lines(store.parallel_search(query, top_k, n)), lines(store.search(query, top_k)));
      }
    }
  }
}

TEST(ParallelSearch, EqualScoresKeepInsertionOrderAcrossChunks) {
  Vectorstore store(2);
  for (std::uint64_t id = 1; id <= 5; ++id) ASSERT_TRUE(store.insert(floats({0.25f, 4.0f}), id).ok());
  const auto result = store.parallel_search(std::vector<float>{0.25f, 4.0f}, 5, 3).value();
  ASSERT_EQ(result.size(), 5u);
  for (std::uint64_t i = 0; i < 5; ++i) EXPECT_EQ(result[i].id, i + 1);
}

TEST(ParallelSearch, AllNaNScoresKeepInsertionOrderWhateverTheChunks) {
  Vectorstore store(2);
  for (std::uint64_t i = 0; i < 30; ++i) {
    ASSERT_TRUE(store.insert(floats({1.0f + static_cast<float>(i % 4), -2.0f}), i).ok());
  }
  for (std::size_t n : {1, 3, 4, 7, 30, 100}) {
    const auto result = store.parallel_search(std::vector<float>{1, kNaN}, 8, n).value();
    ASSERT_EQ(result.size(), 8u);
    for (std::uint64_t i = 0; i < 8; ++i) {
      EXPECT_EQ(result[i].id, i) << "n_threads " << n;
      EXPECT_TRUE(std::isnan(result[i].score));
    }
  }
}

TEST(ParallelSearch, EmptyStoreNeedsNoWorkers) {
  // Planning chunks for no entries would divide by zero, and kMax workers
  // could never be started: both calls must return before either.
  const Vectorstore store(3);
  for (std::optional<std::size_t> n : {std::optional<std::size_t>{}, {0}, {1}, {kMax}}) {
    auto result = store.parallel_search(std::vector<float>{1, 2, 3}, kMax, n);
    ASSERT_TRUE(result.ok());
    EXPECT_TRUE(result.value().empty());
  }
  auto wrong = store.parallel_search(std::vector<float>{1, 2}, 0, kMax);
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().message.view(), "query has length 2 but vectorstore expects 3");
}

TEST(RunWorkers, EachOnItsOwnThreadAllStartedBeforeAnyJoin) {
  constexpr std::size_t kCount = 16;
  std::latch all_started(kCount);  // a join before the last start would wait forever
  std::vector<std::thread::id> threads(kCount);
  std::vector<std::size_t> collected;
  auto work = [&](std::size_t i) -> EngineResult<void> {
    threads[i] = std::this_thread::get_id();
    all_started.arrive_and_wait();
    return {};
  };
  auto collect = [&](std::size_t i) {
    EXPECT_NE(threads[i], std::thread::id()) << "collected before worker " << i << " ran";
    collected.push_back(i);
  };
  ASSERT_TRUE(run_workers(kCount, work, collect).ok());
  const std::set<std::thread::id> distinct(threads.begin(), threads.end());
  EXPECT_EQ(distinct.size(), kCount);
  EXPECT_FALSE(distinct.contains(std::this_thread::get_id()));
  std::vector<std::size_t> in_order(kCount);
  for (std::size_t i = 0; i < kCount; ++i) in_order[i] = i;
  EXPECT_EQ(collected, in_order);
}

// Four workers; worker 1 fails at once, the others outlast it, the last by far.
struct FailingRun {
  std::array<std::atomic<bool>, 4> ended{};
  std::vector<std::size_t> collected;

  EngineResult<void> operator()(const std::function<EngineResult<void>()>& fail) {
    auto work = [&](std::size_t i) -> EngineResult<void> {
      if (i == 1) return fail();
      std::this_thread::sleep_for(i * 60ms);
      ended[i] = true;
      return {};
    };
    auto collect = [&](std::size_t i) { collected.push_back(i); };
    return run_workers(4, work, collect);
  }
  bool others_ended() const { return ended[0] && ended[2] && ended[3]; }
};

TEST(RunWorkers, FailedWorkerFailsTheCallOnceAllHaveEnded) {
  const std::function<EngineResult<void>()> failures[] = {
      [] { return EngineResult<void>(EngineError::internal("worker gave up")); },
      [] { return EngineResult<void>(EngineError::invalid("not an internal failure")); },
      []() -> EngineResult<void> { throw std::runtime_error("foreign exception"); }};
  for (const auto& fail : failures) {
    FailingRun run;
    const EngineResult<void> result = run(fail);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, EngineError::Kind::internal);
    EXPECT_EQ(result.error().message.view(),
              "called `Result::unwrap()` on an `Err` value: Any { .. }");
    EXPECT_TRUE(run.others_ended()) << "failed before every worker ended";
    EXPECT_EQ(run.collected, std::vector<std::size_t>{0});
  }
}

TEST(RunWorkers, WorkerOutOfMemoryFailsTheCallAsOutOfMemory) {
  FailingRun run;
  const EngineResult<void> result = run([] { return EngineResult<void>(EngineError::out_of_memory()); });
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, EngineError::Kind::out_of_memory);
  EXPECT_TRUE(run.others_ended());
  EXPECT_EQ(run.collected, std::vector<std::size_t>{0});
}

TEST(ParseStackSize, DecimalBytesOrTheDefault) {
  constexpr std::size_t kDefault = 2097152;
  const std::pair<const char*, std::size_t> cases[] = {
      {nullptr, kDefault}, {"", kDefault}, {"+", kDefault}, {"2097152", 2097152},
      {"+65536", 65536}, {"12a", kDefault}, {"-5", kDefault}, {" 5", kDefault},
      {"18446744073709551616", kDefault}, {"999999999999999999999999999999", kDefault}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parse_stack_size(text), expected) << (text ? text : "(null)");
  }
}

TEST(DescribeSystemError, NamesNumberKindAndText) {
  const std::string text(describe_system_error(EAGAIN).view());
  EXPECT_TRUE(std::regex_search(text, std::regex("(^|[^0-9])11([^0-9]|$)"))) << text;
  EXPECT_NE(text.find("EAGAIN"), std::string::npos) << text;
  EXPECT_NE(text.find(std::strerror(EAGAIN)), std::string::npos) << text;
}

}  // namespace
}  // namespace tessaly
