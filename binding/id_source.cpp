#include "binding/id_source.hpp"

#include <algorithm>
#include <cstring>

#include "binding/arguments.hpp"
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

}  // namespace

Result<IdSource> IdSource::of(const Argument& given, std::uint64_t first) noexcept {
  PyObject* ids = given.object;
  if (ids == nullptr || ids == Py_None) return IdSource(RowNumbers{first});
  TRY(given.convert(check_sequence));
  TRY_ASSIGN(std::optional<IntegerArray> array, integer_array(ids));
  if (array) return IdSource(std::move(*array));
  TRY_ASSIGN(const std::optional<std::size_t> length, length_hint(ids));
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
  for (const std::size_t end = read + std::min(wanted, *count() - read); read < end; ++read) {
    TRY_ASSIGN(const std::uint64_t id, element(*array, read));
    out.push_back_reserved(id);
  }
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

}  // namespace tessaly
