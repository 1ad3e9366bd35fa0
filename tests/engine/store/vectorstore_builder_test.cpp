// The builder on a store that already holds entries: it keeps what it adds
// only when finish() succeeds, and the first vector of the wrong length,
// single or a grid's, fails the whole call after the last.
#include <cstdint>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "engine/store/vectorstore.hpp"
#include "engine/store/vectorstore_builder.hpp"
#include "tests/engine/arrays.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kBefore = 3;  // entries of width 2 in the store at first

// Entry e's vector, when given `length` floats.
std::vector<float> values(std::size_t e, std::size_t length) {
  std::vector<float> out;
  for (std::size_t i = 0; i < length; ++i) out.push_back(static_cast<float>(e * 10 + i) + 0.5f);
  return out;
}

struct Step {
  std::size_t rows;  // 1 through add(), or a grid of any number through reserve()
  std::size_t length;
  bool grid = false;
};

struct Case {
  const char* name;
  std::vector<Step> steps;
  bool finish;              // false: the builder is dropped unfinished
  const char* error;        // what finish() fails with; null if it succeeds
  std::size_t expect = 0;   // the hint
  bool room = true;         // whether the store then has room for kBefore + expect
};

TEST(BuilderOnAStore, AddsAllOrNothingAndTheFirstWrongLengthFails) {
  const Case cases[] = {
      {"adds after the entries it found", {{1, 2}, {1, 2}}, true, nullptr},
      {"grid rows among single ones", {{1, 2}, {20, 2, true}, {1, 2}}, true, nullptr},
      {"the first wrong length fails, after the last", {{1, 2}, {1, 3}, {1, 2}, {1, 1}}, true,
       "vector has length 3 but vectorstore expects 2"},
      {"a grid of the wrong width is a wrong length", {{1, 2}, {4, 5, true}, {1, 1}}, true,
       "vector has length 5 but vectorstore expects 2"},
      {"a grid after a wrong vector", {{1, 1}, {4, 5, true}}, true, "vector has length 1 but vectorstore expects 2"},
      {"an empty grid has no wrong length", {{0, 5, true}, {1, 2}}, true, nullptr},
      {"dropped unfinished, it leaves the store as it was", {{1, 2}, {20, 2, true}}, false, nullptr},
      {"room for the expected vectors at the first add", {{1, 2}}, true, nullptr, 100000, true},
      {"no room reserved for a wrong vector", {{1, 3}}, true, "vector has length 3 but vectorstore expects 2",
       100000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Vectorstore store(2);
    for (std::size_t e = 0; e < kBefore; ++e) ASSERT_TRUE(store.insert(floats(values(e, 2)), 1000 + e).ok());
    std::optional<EngineResult<void>> finished;
    std::size_t end = kBefore;
    {
      VectorstoreBuilder builder(store);
      builder.expect(c.expect);
      for (const Step& step : c.steps) {
        std::vector<float> rows;
        std::vector<std::uint64_t> ids;
        for (std::size_t r = end; r < end + step.rows; ++r) {
          for (float x : values(r, step.length)) rows.push_back(x);
          ids.push_back(1000 + r);
        }
        if (!step.grid) {
          ASSERT_TRUE(builder.add(rows, ids[0]).ok());
        } else {
          auto room = builder.reserve(step.rows, step.length);
          ASSERT_TRUE(room.ok());
          if (room.value()) {
            builder.add_reserved(reinterpret_cast<const char*>(rows.data()),
                                 static_cast<std::ptrdiff_t>(step.length * sizeof(float)), ids);
          }
        }
        end += step.rows;
      }
      if (c.finish) finished.emplace(std::move(builder).finish());
    }
    const bool kept = finished && finished->ok();
    EXPECT_EQ(kept, c.finish && c.error == nullptr);
    if (finished && !finished->ok()) {
      EXPECT_EQ(finished->error().message.view(), c.error);
    }
    ASSERT_EQ(store.len(), kept ? end : kBefore);
    for (std::size_t e = 0; e < end; ++e) {
      if (e < store.len()) {
        EXPECT_EQ(row(store, e), values(e, 2)) << "entry " << e;
        EXPECT_EQ(store.ids()[e], 1000 + e);
      } else {
        EXPECT_EQ(row(store, e), std::vector<float>(2, 0.0f)) << "dropped entry " << e;
      }
    }
    EXPECT_EQ(store.blocks().capacity() >= kBefore + c.expect, c.room);
  }
}

}  // namespace
}  // namespace tessaly
