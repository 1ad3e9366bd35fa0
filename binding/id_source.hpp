// The ids of the rows of a bulk append (from_array, append), one at a time
// in row order, each converted as to_u64 converts one. They come from one
// of three sources: None gives the row numbers, an integer numpy array is
// read in place, and any other sequence is iterated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "binding/arguments.hpp"
#include "binding/array_interface.hpp"
#include "binding/error.hpp"
#include "binding/item_iterator.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"
#include "engine/base/array.hpp"
#include "engine/base/function_ref.hpp"

namespace tessaly {

class IdSource {
 public:
  // Null or None: the row numbers from `first` on.
  static Result<IdSource> of(const Argument& ids, std::uint64_t first) noexcept;

  // How many ids there are, when that can be told before reading them.
  std::optional<std::size_t> count() const noexcept {
    return std::visit([](const auto& source) { return source.count(); }, source_);
  }
  // How many have been read.
  std::size_t read() const noexcept {
    return std::visit([](const auto& source) { return source.read; }, source_);
  }
  // The next id; nothing once they have run out.
  Result<std::optional<std::uint64_t>> next() noexcept {
    return std::visit([](auto& source) { return source.next(); }, source_);
  }
  // The next `count` ids into `out` (fewer if they run out first).
  Result<void> read_into(std::size_t count, Array<std::uint64_t>& out) noexcept {
    if (!out.try_grow_for(count)) return Error::no_memory();
    return std::visit([&](auto& source) { return source.read_into(count, out); }, source_);
  }
  // Whether count() is exact and reading them runs no Python code (an
  // integer array).
  bool reads_in_one_go() const noexcept { return std::holds_alternative<IntegerArray>(source_); }
  // Whether any are left once the rows have run out (an iterated sequence
  // reads, and converts, one more).
  Result<bool> more() noexcept {
    return std::visit([](auto& source) { return source.more(); }, source_);
  }

 private:
  // The sources, each with the reading methods above (read_into is given
  // `out` with room already made).

  // The row numbers, without end.
  struct RowNumbers {
    std::uint64_t first;
    std::size_t read = 0;

    std::optional<std::size_t> count() const noexcept { return std::nullopt; }
    Result<std::optional<std::uint64_t>> next() noexcept { return std::optional<std::uint64_t>(first + read++); }
    Result<void> read_into(std::size_t wanted, Array<std::uint64_t>& out) noexcept {
      std::uint64_t* at = out.data() + out.size();
      for (std::size_t i = 0; i < wanted; ++i) at[i] = first + read + i;
      out.set_size_reserved(out.size() + wanted);
      read += wanted;
      return {};
    }
    Result<bool> more() noexcept { return false; }
  };

  // A one-dimensional numpy array of integers in native byte order.
  struct IntegerArray {
    Ref capsule;  // keeps the interface alive
    const ArrayInterface* array;
    std::size_t read = 0;

    std::optional<std::size_t> count() const noexcept { return static_cast<std::size_t>(array->shape[0]); }
    Result<std::optional<std::uint64_t>> next() noexcept;
    Result<void> read_into(std::size_t wanted, Array<std::uint64_t>& out) noexcept;
    Result<bool> more() noexcept { return read < *count(); }
  };

  // Any other sequence: each item converted by to_u64, which may run its
  // __index__, so a long read checks for signals.
  struct IteratedIds {
    ItemIterator items;
    std::optional<std::size_t> length;  // its len(), when it tells one
    std::size_t read = 0;

    std::optional<std::size_t> count() const noexcept { return length; }
    Result<std::optional<std::uint64_t>> next() noexcept;
    Result<void> read_into(std::size_t wanted, Array<std::uint64_t>& out) noexcept;
    Result<bool> more() noexcept;
  };

  using Source = std::variant<RowNumbers, IntegerArray, IteratedIds>;

  explicit IdSource(Source source) noexcept : source_(std::move(source)) {}
  static Result<std::optional<IntegerArray>> integer_array(PyObject* ids) noexcept;

  Source source_;
};

// Every id of `ids`, read as from_array reads them, into the room that
// room(count) gives once they are read; an id that fails names the argument
// `id_name`, a failure of `ids` itself (None included) names `ids`.
Result<void> read_all_ids(const Argument& ids, const char* id_name,
                          FunctionRef<Result<std::uint64_t*>(std::size_t)> room) noexcept;

}  // namespace tessaly
