// Building a store from (vector, identifier) pairs given one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/base/engine_error.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

// Every pair is looked at, but only the first vector of the wrong length
// counts: it fails the whole construction, after the last pair.
class VectorstoreBuilder {
 public:
  explicit VectorstoreBuilder(std::size_t vector_size) noexcept : store_(vector_size) {}

  std::size_t vector_size() const noexcept { return store_.vector_size(); }

  // How many pairs to make room for when the first one is added (a hint:
  // if that room cannot be had, each pair finds its own).
  void expect(std::size_t pairs) noexcept { expected_ = pairs; }
  // Fails only when memory cannot be had.
  EngineResult<void> add(std::span<const float> vector, std::uint64_t id) noexcept;
  EngineResult<Vectorstore> finish() && noexcept;

 private:
  Vectorstore store_;
  std::size_t expected_ = 0;
  std::optional<std::size_t> mismatch_;  // the length of the first wrong vector
};

}  // namespace tessaly
