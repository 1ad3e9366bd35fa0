#include "binding/bulk_append.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <type_traits>

#include "binding/arguments.hpp"
#include "binding/array_interface.hpp"
#include "binding/convert.hpp"
#include "binding/float_buffer.hpp"
#include "binding/long_call.hpp"
#include "binding/message_texts.hpp"

namespace tessaly {
namespace {

// Conversion errors read as the constructor's, whose pairs are its
// argument "vectors".
constexpr const char* kPairsArgument = "vectors";
// Rows copied from an array per step: a staging copy that stays in cache.
constexpr std::size_t kStagingBytes = std::size_t{256} << 10;

Error count_error(std::size_t ids, std::size_t rows) noexcept {
  return Error::value_error(id_count_text(ids, rows));
}

// A value of type T at `at`, which need not be aligned for it.
template <class T>
T load(const char* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The ids of the rows, one at a time in row order.
class IdSource {
 public:
  // Null or None: the row numbers from `first`.
  static Result<IdSource> of(PyObject* ids, std::uint64_t first) noexcept {
    IdSource source;
    source.next_number_ = first;
    if (ids == nullptr || ids == Py_None) return source;
    TRY(convert_argument("ids", ids, check_sequence));
    TRY_ASSIGN(const bool numpy, is_numpy_array(ids));
    if (numpy) {
      TRY_ASSIGN(const ArrayInterface* array, array_interface(ids, source.capsule_));
      if (array != nullptr && array->nd == 1 && (array->typekind == 'i' || array->typekind == 'u') &&
          (array->flags & kNotSwapped) != 0 &&
          (array->itemsize == 1 || array->itemsize == 2 || array->itemsize == 4 || array->itemsize == 8)) {
        source.array_ = array;
        source.count_ = static_cast<std::size_t>(array->shape[0]);
        return source;
      }
    }
    const Py_ssize_t length = PyObject_Size(ids);
    if (length < 0) {
      TRY(discard_pending_error());
    } else {
      source.count_ = static_cast<std::size_t>(length);
    }
    source.iterator_ = Ref::steal(PyObject_GetIter(ids));
    if (!source.iterator_) return wrap_argument_error("ids", Error::fetch());
    return source;
  }

  // How many ids there are, when that can be told before reading them.
  std::optional<std::size_t> count() const noexcept { return count_; }
  // How many have been read.
  std::size_t read() const noexcept { return read_; }

  // The next id; nothing once they have run out.
  Result<std::optional<std::uint64_t>> next() noexcept {
    if (array_ != nullptr) {
      if (read_ == *count_) return std::optional<std::uint64_t>();
      TRY_ASSIGN(const std::uint64_t id, element(read_));
      ++read_;
      return std::optional<std::uint64_t>(id);
    }
    if (!iterator_) return std::optional<std::uint64_t>(next_number_ + read_++);
    PyObject* item = nullptr;
    const int status = PyIter_NextItem(iterator_.get(), &item);
    if (status < 0) return Error::fetch();
    if (status == 0) return std::optional<std::uint64_t>();
    const Ref held = Ref::steal(item);
    ++read_;
    TRY_ASSIGN(const std::uint64_t id, to_u64(held.get()));
    return std::optional<std::uint64_t>(id);
  }

  // The next `count` ids into `out` (fewer if they run out first).
  Result<void> read_into(std::size_t count, Array<std::uint64_t>& out) noexcept {
    if (!out.try_grow_for(count)) return Error::no_memory();
    if (!iterator_ && array_ == nullptr) {  // row numbers
      for (std::size_t i = 0; i < count; ++i) out.push_back_reserved(next_number_ + read_++);
      return {};
    }
    if (array_ != nullptr) {
      const std::size_t available = std::min(count, *count_ - read_);
      TRY(read_array_into(available, out.data() + out.size()));
      out.set_size_reserved(out.size() + available);
      return {};
    }
    for (std::size_t i = 0; i < count; ++i) {
      TRY_ASSIGN(const std::optional<std::uint64_t> id, next());
      if (!id) return {};
      out.push_back_reserved(*id);
      if (iterator_) TRY(check_signals());
    }
    return {};
  }

  // Whether any are left after the rows ran out.
  Result<bool> more() noexcept {
    if (array_ != nullptr) return read_ < *count_;
    if (!iterator_) return false;
    TRY_ASSIGN(const std::optional<std::uint64_t> extra, next());
    return extra.has_value();
  }

  // Whether the ids are an integer array, read in one go: count() is exact.
  bool reads_array() const noexcept { return array_ != nullptr; }

  // The next `count` ids of the integer array into `to`, in a loop of its
  // element type: through next(), a Result each, an id took 8 ns; here, 0.3.
  Result<void> read_array_into(std::size_t count, std::uint64_t* to) noexcept {
    const bool is_signed = array_->typekind == 'i';
    switch (array_->itemsize) {
      case 1: return is_signed ? read_elements<std::int8_t>(count, to) : read_elements<std::uint8_t>(count, to);
      case 2: return is_signed ? read_elements<std::int16_t>(count, to) : read_elements<std::uint16_t>(count, to);
      case 4: return is_signed ? read_elements<std::int32_t>(count, to) : read_elements<std::uint32_t>(count, to);
      default: return is_signed ? read_elements<std::int64_t>(count, to) : read_elements<std::uint64_t>(count, to);
    }
  }

 private:
  // Copied, their sign bits or-ed together, in a loop without a way out,
  // which the compiler vectorises for contiguous ids; then checked.
  template <class T>
  Result<void> read_elements(std::size_t count, std::uint64_t* to) noexcept {
    const std::ptrdiff_t stride = array_stride(*array_, 0);
    const char* const first = static_cast<const char*>(array_->data) + static_cast<std::ptrdiff_t>(read_) * stride;
    auto at = [&](std::size_t i) { return first + static_cast<std::ptrdiff_t>(i) * stride; };
    std::uint64_t any = 0;
    if (stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
      for (std::size_t i = 0; i < count; ++i) {
        to[i] = static_cast<std::uint64_t>(load<T>(first + i * sizeof(T)));
        any |= to[i];
      }
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        to[i] = static_cast<std::uint64_t>(load<T>(at(i)));
        any |= to[i];
      }
    }
    if constexpr (std::is_signed_v<T>) {
      if ((any >> 63) != 0) {  // a negative id, widened, has the top bit set
        for (std::size_t i = 0; i < count; ++i) {
          if (load<T>(at(i)) < 0) TRY(element(read_ + i));  // fails, as to_u64 fails a negative int
        }
      }
    }
    read_ += count;
    return {};
  }

  // Element i of an integer array; a negative one fails as to_u64 fails it.
  Result<std::uint64_t> element(std::size_t i) const noexcept {
    const char* at = static_cast<const char*>(array_->data) + static_cast<std::ptrdiff_t>(i) * array_stride(*array_, 0);
    std::int64_t value = 0;
    std::uint64_t unsigned_value = 0;
    const bool is_signed = array_->typekind == 'i';
    switch (array_->itemsize) {
      case 1: value = is_signed ? std::int64_t{load<std::int8_t>(at)} : std::int64_t{load<std::uint8_t>(at)}; break;
      case 2: value = is_signed ? std::int64_t{load<std::int16_t>(at)} : std::int64_t{load<std::uint16_t>(at)}; break;
      case 4: value = is_signed ? std::int64_t{load<std::int32_t>(at)} : std::int64_t{load<std::uint32_t>(at)}; break;
      default:
        unsigned_value = load<std::uint64_t>(at);
        if (!is_signed) return unsigned_value;
        value = static_cast<std::int64_t>(unsigned_value);
    }
    if (value >= 0) return static_cast<std::uint64_t>(value);
    const Ref negative = Ref::steal(PyLong_FromLongLong(value));
    if (!negative) return Error::fetch();
    return to_u64(negative.get());
  }

  Ref capsule_;                              // keeps an array's interface alive
  const ArrayInterface* array_ = nullptr;    // an integer array read in place
  Ref iterator_;                             // or any other sequence
  std::uint64_t next_number_ = 0;            // or the row numbers
  std::optional<std::size_t> count_;
  std::size_t read_ = 0;
};

// The number of rows, when it can be told before reading them.
std::optional<std::size_t> row_count(PyObject* vectors, const std::optional<FloatGrid>& grid) noexcept {
  if (grid) return grid->shape().rows;
  const Py_ssize_t length = PyObject_Size(vectors);
  if (length < 0) {
    PyErr_Clear();  // iterating reports whatever is wrong
    return std::nullopt;
  }
  return static_cast<std::size_t>(length);
}

// The rows of a float array: the ids are converted first (no row can fail
// to convert), then room is made for every row, then they are copied in
// slabs without the interpreter lock.
Result<void> add_grid(Vectorstore& store, const FloatGrid& grid, IdSource& ids) noexcept {
  const MatrixShape shape = grid.shape();
  Array<std::uint64_t> converted;
  TRY(ids.read_into(shape.rows, converted));
  if (converted.size() < shape.rows) return count_error(ids.read(), shape.rows);
  TRY_ASSIGN(const bool more, ids.more());
  if (more) return count_error(ids.read(), shape.rows);
  if (shape.rows == 0) return {};
  if (shape.columns != store.vector_size()) return vector_length_error(shape.columns, store.vector_size());
  if (store.len() > SIZE_MAX - shape.rows || !store.try_reserve(store.len() + shape.rows)) {
    return Error::no_memory();
  }
  // float32 rows are read where they lie; others are narrowed into a
  // staging copy that stays in cache.
  const std::optional<FloatGrid::InPlace> in_place = grid.float32_rows();
  const std::size_t row_bytes = std::max<std::size_t>(shape.columns * sizeof(float), 1);
  const std::size_t slab = std::max<std::size_t>(kStagingBytes / row_bytes, 1);
  FloatVector staging;
  if (!in_place && !staging.try_reserve(std::min(slab, shape.rows) * shape.columns)) return Error::no_memory();
  auto copy = [&](Interruption& interruption) -> EngineResult<void> {
    for (std::size_t first = 0; first < shape.rows; first += slab) {
      if (interruption.requested()) return EngineError::interrupted();
      const std::size_t count = std::min(slab, shape.rows - first);
      const std::span<const std::uint64_t> slab_ids(converted.data() + first, count);
      if (in_place) {
        store.append_reserved(in_place->data + static_cast<std::ptrdiff_t>(first) * in_place->row_bytes,
                              in_place->row_bytes, slab_ids);
      } else {
        grid.copy_rows(first, count, staging.data());
        store.append_reserved(reinterpret_cast<const char*>(staging.data()),
                              static_cast<std::ptrdiff_t>(shape.columns * sizeof(float)), slab_ids);
      }
    }
    return {};
  };
  return without_interpreter_lock(copy);
}

// The pairs of a sequence of rows, converted in order (row i, then id i)
// and added one by one. As in the constructor, every pair is converted
// before a length is checked; the first row of the wrong length fails the
// call at the end. Without a store, the first row makes one in `made`.
Result<void> add_sequence(Vectorstore*& store, std::optional<Vectorstore>& made, PyObject* vectors,
                          IdSource& ids, std::optional<std::size_t> rows_expected) noexcept {
  Ref iterator = Ref::steal(PyObject_GetIter(vectors));
  if (!iterator) return Error::fetch();
  FloatVector row;
  std::optional<std::size_t> mismatch;
  std::size_t rows = 0;
  for (;;) {
    PyObject* next = nullptr;
    const int status = PyIter_NextItem(iterator.get(), &next);
    if (status < 0) return Error::fetch();
    if (status == 0) break;
    const Ref item = Ref::steal(next);
    TRY(read_float_vector(item.get(), row));
    TRY_ASSIGN(const std::optional<std::uint64_t> id, ids.next());
    ++rows;
    if (!id) return count_error(ids.read(), std::max(rows, rows_expected.value_or(0)));
    if (store == nullptr) store = &made.emplace(row.size());
    if (!mismatch && row.size() != store->vector_size()) mismatch = row.size();
    if (!mismatch) TRY(store->insert(row, *id));
    TRY(check_signals());
  }
  TRY_ASSIGN(const bool more, ids.more());
  if (more) return count_error(ids.read(), rows);
  if (mismatch) return vector_length_error(*mismatch, store->vector_size());
  return {};
}

// Adds the rows to `store`, all or nothing; without a store, one is made in
// `made`, of the array's columns or the first row's length.
Result<void> add_rows(Vectorstore* store, std::optional<Vectorstore>& made, PyObject* vectors,
                      PyObject* ids_given) noexcept {
  TRY(convert_argument(kPairsArgument, vectors, check_sequence));
  TRY_ASSIGN(std::optional<FloatGrid> grid, convert_argument(kPairsArgument, vectors, [](PyObject* object) {
    return FloatGrid::of(object, 2);
  }));
  if (store == nullptr && grid) store = &made.emplace(grid->shape().columns);
  TRY_ASSIGN(IdSource ids, IdSource::of(ids_given, store != nullptr ? store->len() : 0));
  const std::optional<std::size_t> rows = row_count(vectors, grid);
  if (rows && ids.count() && *rows != *ids.count()) return count_error(*ids.count(), *rows);

  const std::size_t kept = store != nullptr ? store->len() : 0;
  auto added = grid ? add_grid(*store, *grid, ids) : add_sequence(store, made, vectors, ids, rows);
  if (!added.ok()) {
    if (store != nullptr) store->truncate(kept);
    return wrap_argument_error(kPairsArgument, std::move(added).error());
  }
  return {};
}

}  // namespace

Result<void> append_rows(Vectorstore& store, PyObject* vectors, PyObject* ids) noexcept {
  std::optional<Vectorstore> unused;
  return add_rows(&store, unused, vectors, ids);
}

Result<Vectorstore> store_from_rows(PyObject* vectors, PyObject* ids) noexcept {
  std::optional<Vectorstore> made;
  TRY(add_rows(nullptr, made, vectors, ids));
  if (!made) {
    // No row to tell the vector size, unless an array has columns.
    TRY_ASSIGN(const std::optional<MatrixShape> shape, matrix_shape(vectors));
    if (!shape) {
      return Error::value_error(kFromArrayNeedsARow);
    }
    made.emplace(shape->columns);
  }
  return std::move(*made);
}

Result<void> read_ids(PyObject* ids, const char* id_name,
                      FunctionRef<Result<std::uint64_t*>(std::size_t)> room) noexcept {
  // IdSource takes None for the row numbers, which never run out.
  TRY(convert_argument("ids", ids, check_sequence));
  TRY_ASSIGN(IdSource source, IdSource::of(ids, 0));
  if (source.reads_array()) {
    TRY_ASSIGN(std::uint64_t* const to, room(*source.count()));
    auto read = source.read_array_into(*source.count(), to);
    if (!read.ok()) return wrap_argument_error(id_name, std::move(read).error());
    return {};
  }
  // In steps until they run out: a sequence's length is only a hint.
  constexpr std::size_t kIdsPerStep = 4096;
  Array<std::uint64_t> read;
  for (std::size_t before = 0;; before = read.size()) {
    auto step = source.read_into(kIdsPerStep, read);
    if (!step.ok()) return wrap_argument_error(id_name, std::move(step).error());
    if (read.size() - before < kIdsPerStep) break;
  }
  TRY_ASSIGN(std::uint64_t* const to, room(read.size()));
  if (!read.empty()) std::memcpy(to, read.data(), read.size() * sizeof(std::uint64_t));
  return {};
}

}  // namespace tessaly
