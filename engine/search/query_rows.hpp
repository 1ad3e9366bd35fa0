// The queries of a batch, as the engine reads them: rows of floats where
// the caller holds them, rows the caller converted, or rows the caller
// converts when asked. The batch reads each row when a pass over the store
// needs it, so a batch of any size is never copied as a whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <variant>

#include "engine/base/function_ref.hpp"
#include "engine/search/results.hpp"

namespace tessaly {

class QueryRows {
 public:
  // `count` rows of `dimension` float32 elements read where they lie: row q
  // starts at data + q * row_bytes, its elements `element_bytes` apart.
  struct InPlace {
    const char* data;
    std::size_t count;
    std::size_t dimension;
    std::ptrdiff_t row_bytes;
    std::ptrdiff_t element_bytes;
  };
  // `count` rows of `dimension` elements that copy(first, n, out) converts,
  // rows first to first + n - 1 back to back into out. It is called from
  // worker threads too, at once, so it may only read memory.
  struct Converting {
    std::size_t count;
    std::size_t dimension;
    FunctionRef<void(std::size_t, std::size_t, float*)> copy;
  };

  QueryRows(InPlace rows) noexcept : source_(rows) {}        // NOLINT: each source is a batch
  QueryRows(QueryBatch rows) noexcept : source_(rows) {}     // NOLINT: rows already converted
  QueryRows(Converting rows) noexcept : source_(rows) {}     // NOLINT

  std::size_t size() const noexcept {
    if (const auto* converted = std::get_if<QueryBatch>(&source_)) return converted->size();
    return grid().count;
  }

  // The length of the first row that is not `expected` long, if any.
  std::optional<std::size_t> wrong_length(std::size_t expected) const noexcept {
    if (const auto* converted = std::get_if<QueryBatch>(&source_)) {
      for (const std::span<const float> row : *converted) {
        if (row.size() != expected) return row.size();
      }
      return std::nullopt;
    }
    if (grid().count != 0 && grid().dimension != expected) return grid().dimension;
    return std::nullopt;
  }

  // Row q: where it lies when it can be read as it is, else copied into
  // `scratch` (room for the row's elements).
  std::span<const float> row(std::size_t q, float* scratch) const noexcept {
    if (const auto* converted = std::get_if<QueryBatch>(&source_)) return (*converted)[q];
    if (const auto* converting = std::get_if<Converting>(&source_)) {
      converting->copy(q, 1, scratch);
      return {scratch, converting->dimension};
    }
    const InPlace& rows = std::get<InPlace>(source_);
    const char* start = rows.data + static_cast<std::ptrdiff_t>(q) * rows.row_bytes;
    const bool contiguous = rows.element_bytes == sizeof(float) || rows.dimension <= 1;
    if (contiguous && reinterpret_cast<std::uintptr_t>(start) % alignof(float) == 0) {
      return {reinterpret_cast<const float*>(start), rows.dimension};
    }
    for (std::size_t i = 0; i < rows.dimension; ++i) {
      std::memcpy(scratch + i, start + static_cast<std::ptrdiff_t>(i) * rows.element_bytes, sizeof(float));
    }
    return {scratch, rows.dimension};
  }

 private:
  struct Grid {
    std::size_t count;
    std::size_t dimension;
  };
  // The shape of rows that all have one length (not QueryBatch).
  Grid grid() const noexcept {
    if (const auto* rows = std::get_if<InPlace>(&source_)) return {rows->count, rows->dimension};
    const Converting& rows = std::get<Converting>(source_);
    return {rows.count, rows.dimension};
  }

  std::variant<InPlace, QueryBatch, Converting> source_;
};

}  // namespace tessaly
