// The worker plan and the worker threads: chunking, and what run_workers
// promises about starting, joining and failing.
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

#include "engine/runtime/worker_plan.hpp"
#include "engine/runtime/worker_threads.hpp"

namespace tessaly {
namespace {

using namespace std::chrono_literals;
constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

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
