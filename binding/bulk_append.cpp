#include "binding/bulk_append.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <variant>

#include "binding/arguments.hpp"
#include "binding/array_protocol.hpp"
#include "binding/batch_shape.hpp"
#include "binding/convert.hpp"
#include "binding/float_buffer.hpp"
#include "binding/id_source.hpp"
#include "binding/item_iterator.hpp"
#include "binding/length_hint.hpp"
#include "binding/long_call.hpp"
#include "binding/message_texts.hpp"
#include "engine/store/vectorstore_builder.hpp"

namespace tessaly {
namespace {

// Rows copied from an array per step: a staging copy that stays in cache.
constexpr std::size_t kStagingBytes = std::size_t{256} << 10;

Error count_error(std::size_t ids, std::size_t rows) noexcept {
  return Error::value_error(id_count_text(ids, rows));
}

// A failure of reading or adding the rows, named after the rows' argument
// (as the constructor names the failures of its pairs).
template <class T>
Result<T> in_rows(const char* vectors, Result<T> result) noexcept {
  if (!result.ok()) return wrap_argument_error(vectors, std::move(result).error());
  return result;
}

// A failure of reading the ids, named after theirs: a negative or too large
// id (OverflowError) too.
template <class T>
Result<T> in_ids(const char* ids, Result<T> result) noexcept {
  if (!result.ok()) return wrap_argument_error(ids, std::move(result).error(), PyExc_OverflowError);
  return result;
}

// The rows of a float array, read without a Python object per element:
// every id is converted first (no row can fail to convert), then room is
// made for every row, then they are copied in slabs without the
// interpreter lock.
class GridRows {
 public:
  GridRows(FloatGrid grid, IdSource ids, const char* ids_name) noexcept
      : grid_(std::move(grid)), ids_(std::move(ids)), ids_name_(ids_name) {}

  // The array's columns, whether it has rows or not.
  Result<std::optional<std::size_t>> row_length() noexcept {
    return std::optional<std::size_t>(grid_.shape().columns);
  }

  Result<void> add_to(Vectorstore& store) noexcept {
    const MatrixShape shape = grid_.shape();
    Array<std::uint64_t> ids;
    TRY(in_ids(ids_name_, read_ids(shape.rows, ids)));
    VectorstoreBuilder builder(store);
    TRY_ASSIGN(const bool copying, builder.reserve(shape.rows, shape.columns));
    if (copying) TRY(copy(builder, ids));
    TRY(std::move(builder).finish());
    return {};
  }

 private:
  // One id for each of the `rows` rows, neither fewer nor more.
  Result<void> read_ids(std::size_t rows, Array<std::uint64_t>& out) noexcept {
    TRY(ids_.read_into(rows, out));
    if (out.size() < rows) return count_error(ids_.read(), rows);
    TRY_ASSIGN(const bool more, ids_.more());
    if (more) return count_error(ids_.count().value_or(ids_.read()), rows);
    return {};
  }

  // float32 rows are read where they lie; others are narrowed into a
  // staging copy that stays in cache.
  Result<void> copy(VectorstoreBuilder& builder, std::span<const std::uint64_t> ids) const noexcept {
    const MatrixShape shape = grid_.shape();
    const std::optional<FloatGrid::InPlace> in_place = grid_.float32_rows();
    const std::size_t row_bytes = std::max<std::size_t>(shape.columns * sizeof(float), 1);
    const std::size_t slab = std::max<std::size_t>(kStagingBytes / row_bytes, 1);
    FloatVector staging;
    if (!in_place && !staging.try_reserve(std::min(slab, shape.rows) * shape.columns)) return Error::no_memory();
    auto copy_slabs = [&](Interruption& interruption) -> EngineResult<void> {
      for (std::size_t first = 0; first < shape.rows; first += slab) {
        if (interruption.requested()) return EngineError::interrupted();
        const std::size_t count = std::min(slab, shape.rows - first);
        const std::span<const std::uint64_t> slab_ids = ids.subspan(first, count);
        if (in_place) {
          builder.add_reserved(in_place->data + static_cast<std::ptrdiff_t>(first) * in_place->row_bytes,
                               in_place->row_bytes, slab_ids);
        } else {
          grid_.copy_rows(first, count, staging.data());
          builder.add_reserved(reinterpret_cast<const char*>(staging.data()),
                               static_cast<std::ptrdiff_t>(shape.columns * sizeof(float)), slab_ids);
        }
      }
      return {};
    };
    return without_interpreter_lock(copy_slabs);
  }

  FloatGrid grid_;
  IdSource ids_;
  const char* ids_name_;
};

// The rows of any other sequence, read in pairs as the constructor reads
// its own (row i, then id i) and added one by one. As in the constructor,
// every pair is converted before a length is checked.
class SequenceRows {
 public:
  // `expected`: the rows that len(vectors) promised, if it did.
  SequenceRows(const Argument& vectors, ItemIterator rows, IdSource ids, const char* ids_name,
               std::optional<std::size_t> expected) noexcept
      : vectors_(vectors), rows_(std::move(rows)), ids_(std::move(ids)), ids_name_(ids_name), expected_(expected) {}

  // Reads the first row and its id: that row's length, or nothing when
  // there is no row.
  Result<std::optional<std::size_t>> row_length() noexcept {
    TRY_ASSIGN(first_id_, next());
    if (!first_id_) return std::optional<std::size_t>();
    return std::optional<std::size_t>(row_.size());
  }

  // Adds the first row, then reads and adds the rest.
  Result<void> add_to(Vectorstore& store) noexcept {
    VectorstoreBuilder builder(store);
    for (std::optional<std::uint64_t> id = first_id_; id;) {
      TRY(builder.add(row_, *id));
      TRY(check_signals());
      TRY_ASSIGN(id, next());
    }
    TRY(std::move(builder).finish());
    return {};
  }

 private:
  // The next row, into row_, and its id; nothing once the rows have run
  // out, and the ids with them.
  Result<std::optional<std::uint64_t>> next() noexcept {
    TRY_ASSIGN(const Ref item, in_rows(vectors_.name, rows_.next()));
    if (!item) return after_the_last_row();
    TRY(in_rows(vectors_.name, check_batch_item(vectors_.object, item.get(), read_)));
    TRY(in_rows(vectors_.name, read_float_vector(item.get(), row_)));
    TRY_ASSIGN(const std::optional<std::uint64_t> id, in_ids(ids_name_, ids_.next()));
    ++read_;
    if (!id) return count_error(ids_.read(), std::max(read_, expected_.value_or(0)));
    return id;
  }

  // Ids left over once the rows have run out fail the call, naming how
  // many there are when that is known (rows without a length are only
  // counted now).
  Result<std::optional<std::uint64_t>> after_the_last_row() noexcept {
    TRY_ASSIGN(const bool more, in_ids(ids_name_, ids_.more()));
    if (more) return count_error(ids_.count().value_or(ids_.read()), read_);
    return std::optional<std::uint64_t>();
  }

  Argument vectors_;
  ItemIterator rows_;
  IdSource ids_;
  const char* ids_name_;
  std::optional<std::size_t> expected_;
  std::size_t read_ = 0;
  FloatVector row_;  // one array for every row, each copied into the store from it
  std::optional<std::uint64_t> first_id_;
};

// The two pipelines. Each reads what tells the rows' length (row_length),
// then adds every row (add_to) to a store made to that length or to the
// one appended to.
using Rows = std::variant<GridRows, SequenceRows>;

// The number of rows, when it can be told before reading them.
Result<std::optional<std::size_t>> row_count(PyObject* vectors, const std::optional<FloatGrid>& grid) noexcept {
  if (grid) return std::optional<std::size_t>(grid->shape().rows);
  return length_hint(vectors, LenFailure::raised_unless_type_error);
}

// GCC 12 takes the Ref inside a moved IdSource's variant for uninitialised
// at -O3 on 32-bit x86; every alternative initialises its members.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Checks the arguments and opens the rows and their ids, `first_id` the
// first row number. The counts are compared up front when both are known.
Result<Rows> open_rows(const Argument& vectors, const Argument& ids_given, std::uint64_t first_id) noexcept {
  TRY(vectors.convert(check_batch));
  TRY_ASSIGN(std::optional<FloatGrid> grid,
             vectors.convert([](PyObject* object) { return FloatGrid::of(object, 2); }));
  TRY_ASSIGN(IdSource ids, IdSource::of(ids_given, first_id));
  TRY_ASSIGN(const std::optional<std::size_t> rows, row_count(vectors.object, grid));
  if (rows && ids.count() && *rows != *ids.count()) return count_error(*ids.count(), *rows);
  if (grid) return Rows(std::in_place_type<GridRows>, std::move(*grid), std::move(ids), ids_given.name);
  TRY_ASSIGN(ItemIterator items, vectors.convert(ItemIterator::of));
  return Rows(std::in_place_type<SequenceRows>, vectors, std::move(items), std::move(ids), ids_given.name, rows);
}

#pragma GCC diagnostic pop

Result<std::optional<std::size_t>> row_length(Rows& rows) noexcept {
  return std::visit([](auto& pipeline) { return pipeline.row_length(); }, rows);
}

// Either every row is added or none.
Result<void> add_rows(Rows& rows, Vectorstore& store) noexcept {
  return std::visit([&](auto& pipeline) { return pipeline.add_to(store); }, rows);
}

// The rows' argument as it is read: an array by protocol converted once,
// into `converted`, which keeps it.
Result<Argument> rows_argument(const Argument& given, Ref& converted) noexcept {
  TRY_ASSIGN(converted, given.convert(array_by_protocol));
  return converted ? Argument{converted.get(), given.name} : given;
}

}  // namespace

Result<void> append_rows(Vectorstore& store, const Argument& given, const Argument& ids) noexcept {
  Ref converted;
  TRY_ASSIGN(const Argument vectors, rows_argument(given, converted));
  TRY_ASSIGN(Rows rows, open_rows(vectors, ids, store.len()));
  TRY(row_length(rows));
  return add_rows(rows, store);
}

Result<Vectorstore> store_from_rows(const Argument& given, const Argument& ids, const Argument& first_pass) noexcept {
  Ref converted;
  TRY_ASSIGN(const Argument vectors, rows_argument(given, converted));
  TRY_ASSIGN(Rows rows, open_rows(vectors, ids, 0));
  TRY_ASSIGN(std::optional<std::size_t> width, row_length(rows));
  if (!width) {
    // No row to tell the vector size, unless an array has columns.
    TRY_ASSIGN(const std::optional<MatrixShape> shape, matrix_shape(vectors.object));
    if (!shape) return Error::value_error(kFromArrayNeedsARow);
    width = shape->columns;
  }
  TRY_ASSIGN(const CompactCopy copy, first_pass.convert(to_compact_copy));
  Vectorstore store(*width, copy);
  TRY(add_rows(rows, store));
  return store;
}

}  // namespace tessaly
