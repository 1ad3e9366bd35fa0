#include "binding/id_source.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "binding/arguments.hpp"
#include "binding/batch_shape.hpp"
#include "binding/convert.hpp"
#include "binding/length_hint.hpp"
#include "binding/long_call.hpp"

namespace tessaly {
namespace {

// A value of type T at `at`, which need not be aligned for it.
template <class T>
T load(const char* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// A negative id, which fails as to_u64 fails it: out of the loops' way.
[[gnu::cold, gnu::noinline]] Result<std::uint64_t> negative_id(std::int64_t value) noexcept {
  const Ref negative = Ref::steal(PyLong_FromLongLong(value));
  if (!negative) return Error::fetch();
  return to_u64(negative.get());
}

// Element i of an integer array.
Result<std::uint64_t> element(const ArrayInterface& array, std::size_t i) noexcept {
  const char* at = static_cast<const char*>(array.data) + static_cast<std::ptrdiff_t>(i) * array_stride(array, 0);
  std::int64_t value = 0;
  std::uint64_t unsigned_value = 0;
  const bool is_signed = array.typekind == 'i';
  switch (array.itemsize) {
    case 1: value = is_signed ? std::int64_t{load<std::int8_t>(at)} : std::int64_t{load<std::uint8_t>(at)}; break;
    case 2: value = is_signed ? std::int64_t{load<std::int16_t>(at)} : std::int64_t{load<std::uint16_t>(at)}; break;
    case 4: value = is_signed ? std::int64_t{load<std::int32_t>(at)} : std::int64_t{load<std::uint32_t>(at)}; break;
    default:
      unsigned_value = load<std::uint64_t>(at);
      if (!is_signed) return unsigned_value;
      value = static_cast<std::int64_t>(unsigned_value);
  }
  if (value >= 0) return static_cast<std::uint64_t>(value);
  return negative_id(value);
}

bool readable_in_place(const ArrayInterface& array) noexcept {
  return array.nd == 1 && (array.typekind == 'i' || array.typekind == 'u') && (array.flags & kNotSwapped) != 0 &&
         (array.itemsize == 1 || array.itemsize == 2 || array.itemsize == 4 || array.itemsize == 8);
}

// Ids `first` to `first + count - 1` of an array of T into `to`: copied in a
// loop without a way out, which the compiler vectorises for contiguous ids,
// their sign bits or-ed together, then checked (0.3 ms per million int64
// ids, against 8 ns an id through element()). A negative id fails as
// to_u64 fails it.
template <class T>
Result<void> copy_ids(const ArrayInterface& array, std::size_t first, std::size_t count, std::uint64_t* to) noexcept {
  const std::ptrdiff_t stride = array_stride(array, 0);
  const char* const start = static_cast<const char*>(array.data) + static_cast<std::ptrdiff_t>(first) * stride;
  auto at = [&](std::size_t i) { return start + static_cast<std::ptrdiff_t>(i) * stride; };
  std::uint64_t any = 0;
  if (stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
    for (std::size_t i = 0; i < count; ++i) {
      to[i] = static_cast<std::uint64_t>(load<T>(start + i * sizeof(T)));
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
        if (load<T>(at(i)) < 0) TRY(element(array, first + i));
      }
    }
  }
  return {};
}

}  // namespace

Result<IdSource> IdSource::of(const Argument& given, std::uint64_t first) noexcept {
  PyObject* ids = given.object;
  if (ids == nullptr || ids == Py_None) return IdSource(RowNumbers{first});
  TRY(given.convert(check_sequence));
  TRY(given.convert(check_id_shape));
  TRY_ASSIGN(std::optional<IntegerArray> array, integer_array(ids));
  if (array) return IdSource(std::move(*array));
  TRY_ASSIGN(const std::optional<std::size_t> length, length_hint(ids, LenFailure::raised_unless_type_error));
  TRY_ASSIGN(ItemIterator items, given.convert(ItemIterator::of));
  return IdSource(IteratedIds{std::move(items), length});
}

Result<std::optional<IdSource::IntegerArray>> IdSource::integer_array(PyObject* ids) noexcept {
  TRY_ASSIGN(const bool numpy, is_numpy_array(ids));
  if (!numpy) return std::optional<IntegerArray>();
  Ref capsule;
  TRY_ASSIGN(const ArrayInterface* array, array_interface(ids, capsule));
  if (array == nullptr || !readable_in_place(*array)) return std::optional<IntegerArray>();
  return std::optional<IntegerArray>(IntegerArray{std::move(capsule), array});
}

Result<std::optional<std::uint64_t>> IdSource::IntegerArray::next() noexcept {
  if (read == *count()) return std::optional<std::uint64_t>();
  TRY_ASSIGN(const std::uint64_t id, element(*array, read));
  ++read;
  return std::optional<std::uint64_t>(id);
}

Result<void> IdSource::IntegerArray::read_into(std::size_t wanted, Array<std::uint64_t>& out) noexcept {
  const std::size_t n = std::min(wanted, *count() - read);
  const bool is_signed = array->typekind == 'i';
  std::uint64_t* to = out.data() + out.size();
  switch (array->itemsize) {
    case 1: TRY(is_signed ? copy_ids<std::int8_t>(*array, read, n, to) : copy_ids<std::uint8_t>(*array, read, n, to)); break;
    case 2: TRY(is_signed ? copy_ids<std::int16_t>(*array, read, n, to) : copy_ids<std::uint16_t>(*array, read, n, to)); break;
    case 4: TRY(is_signed ? copy_ids<std::int32_t>(*array, read, n, to) : copy_ids<std::uint32_t>(*array, read, n, to)); break;
    default: TRY(is_signed ? copy_ids<std::int64_t>(*array, read, n, to) : copy_ids<std::uint64_t>(*array, read, n, to));
  }
  out.set_size_reserved(out.size() + n);
  read += n;
  return {};
}

Result<std::optional<std::uint64_t>> IdSource::IteratedIds::next() noexcept {
  TRY_ASSIGN(const Ref item, items.next());
  if (!item) return std::optional<std::uint64_t>();
  ++read;
  TRY_ASSIGN(const std::uint64_t id, to_u64(item.get()));
  return std::optional<std::uint64_t>(id);
}

Result<void> IdSource::IteratedIds::read_into(std::size_t wanted, Array<std::uint64_t>& out) noexcept {
  for (std::size_t i = 0; i < wanted; ++i) {
    TRY_ASSIGN(const std::optional<std::uint64_t> id, next());
    if (!id) return {};
    out.push_back_reserved(*id);
    TRY(check_signals());
  }
  return {};
}

Result<bool> IdSource::IteratedIds::more() noexcept {
  TRY_ASSIGN(const std::optional<std::uint64_t> extra, next());
  return extra.has_value();
}

Result<void> read_all_ids(const Argument& ids, const char* id_name,
                          FunctionRef<Result<std::uint64_t*>(std::size_t)> room) noexcept {
  // None is no sequence here: the row numbers would never run out.
  TRY(ids.convert(check_sequence));
  TRY_ASSIGN(IdSource source, IdSource::of(ids, 0));
  auto named = [&](Result<void> read) -> Result<void> {
    if (!read.ok()) return wrap_argument_error(id_name, std::move(read).error());
    return {};
  };
  Array<std::uint64_t> read;
  if (const std::optional<std::size_t> count = source.count(); count && source.reads_in_one_go()) {
    TRY(named(source.read_into(*count, read)));
  } else {
    // In steps until they run out: a sequence's length is only a hint.
    constexpr std::size_t kIdsPerStep = 4096;
    for (std::size_t before = 0;; before = read.size()) {
      TRY(named(source.read_into(kIdsPerStep, read)));
      if (read.size() - before < kIdsPerStep) break;
    }
  }
  TRY_ASSIGN(std::uint64_t* const to, room(read.size()));
  if (!read.empty()) std::memcpy(to, read.data(), read.size() * sizeof(std::uint64_t));
  return {};
}

}  // namespace tessaly
