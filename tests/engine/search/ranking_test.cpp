// The final ranking of a selection and the merge of ranked lists give the
// one order the ranking rule fixes, in pieces as in one go, and stop when
// asked.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/runtime/interruption.hpp"
#include "engine/search/ranked_merge.hpp"
#include "engine/search/selection_kernels.hpp"
#include "engine/search/top_selection.hpp"

namespace tessaly {
namespace {

// Few distinct scores (long runs of ties), both zeros and NaN.
std::vector<float> tied_scores(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  const float values[] = {1.0f, 0.5f, 0.0f, -0.0f, -0.25f, std::nanf(""), 0.75f};
  std::vector<float> scores(n);
  for (float& score : scores) score = values[std::uniform_int_distribution<int>(0, 6)(rng)];
  return scores;
}

// The rule written plainly: key ascending, then entry.
std::vector<ScoredEntry> reference_ranking(std::vector<ScoredEntry> all, std::size_t top_k) {
  std::stable_sort(all.begin(), all.end(), [](const ScoredEntry& a, const ScoredEntry& b) {
    return rank_key(a.score) != rank_key(b.score) ? rank_key(a.score) < rank_key(b.score) : a.entry < b.entry;
  });
  all.resize(std::min(top_k, all.size()));
  return all;
}

void expect_same(const std::vector<ScoredEntry>& got, const std::vector<ScoredEntry>& expected) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].entry, expected[i].entry) << i;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i].score), std::bit_cast<std::uint32_t>(expected[i].score)) << i;
  }
}

// An interruption that is asked, and says stop, at its first question.
struct Stopping {
  static bool stop() noexcept { return true; }
  bool (*ask)() noexcept = stop;
  Interruption interruption{ask};
  Stopping() { std::this_thread::sleep_for(Interruption::kPollInterval + std::chrono::milliseconds(5)); }
};

struct RankingCase {
  std::size_t n;
  std::size_t top_k;
  bool in_order;
};

class Ranking : public testing::TestWithParam<RankingCase> {};

// Sizes around the pieces of 64K the sort works in, through the radix
// sort (a top_k well below the candidates, in order) and the comparison
// sort (a top_k that keeps them all, or offers out of order).
INSTANTIATE_TEST_SUITE_P(Sizes, Ranking, testing::Values(
    RankingCase{65536, 65536, true}, RankingCase{65537, 70000, true}, RankingCase{200003, 200003, true},
    RankingCase{200003, 150000, false}, RankingCase{300000, 1000, true}, RankingCase{300000, 90000, true}));

TEST_P(Ranking, GivesTheOrderOfTheRule) {
  const auto [n, top_k, in_order] = GetParam();
  const std::vector<float> scores = tied_scores(n, static_cast<unsigned>(n + top_k));
  std::vector<ScoredEntry> all(n);
  for (std::size_t i = 0; i < n; ++i) all[i] = {scores[i], i};
  if (!in_order) std::reverse(all.begin(), all.end());
  TopSelection::Scratch scratch;
  auto made = TopSelection::make(top_k, n, scratch);
  ASSERT_TRUE(made.ok());
  TopSelection selection = std::move(made).value();
  selection.offer(all);
  std::vector<ScoredEntry> got(selection.size());
  Interruption never;
  ASSERT_TRUE(selection.rank_into(got.data(), never).ok());
  expect_same(got, reference_ranking(all, top_k));
}

TEST(Ranking, StopsWhenAsked) {
  const std::vector<float> scores = tied_scores(300000, 1);
  TopSelection::Scratch scratch;
  auto made = TopSelection::make(scores.size(), scores.size(), scratch);
  ASSERT_TRUE(made.ok());
  TopSelection selection = std::move(made).value();
  selection.offer_in_order(scores.data(), 0, scores.size());
  std::vector<ScoredEntry> got(selection.size());
  Stopping stopping;
  EXPECT_FALSE(selection.rank_into(got.data(), stopping.interruption).ok());
}

TEST(RankedMerge, GivesWhatRankingTheUnionGives) {
  for (const std::size_t lists : {1u, 2u, 3u, 9u}) {
    std::vector<std::vector<ScoredEntry>> ranked(lists);
    std::vector<ScoredEntry> all;
    const std::vector<float> scores = tied_scores(150001, static_cast<unsigned>(lists));
    for (std::size_t i = 0; i < scores.size(); ++i) {
      const std::size_t list = i * lists / scores.size();  // contiguous chunks, as workers have
      if (i % 11 == 3) continue;                           // lists cut short, as top_k cuts them
      ranked[list].push_back({scores[i], i});
      all.push_back({scores[i], i});
    }
    std::vector<std::span<const ScoredEntry>> spans;
    for (std::vector<ScoredEntry>& list : ranked) {
      list = reference_ranking(list, list.size());
      spans.emplace_back(list);
    }
    for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{70000}, all.size()}) {
      std::vector<ScoredEntry> got(count);
      Interruption never;
      ASSERT_TRUE(merge_ranked(spans, count, got.data(), never).ok());
      expect_same(got, reference_ranking(all, count));
    }
    Stopping stopping;
    std::vector<ScoredEntry> got(all.size());
    EXPECT_FALSE(merge_ranked(spans, all.size(), got.data(), stopping.interruption).ok());
  }
}

}  // namespace
}  // namespace tessaly
