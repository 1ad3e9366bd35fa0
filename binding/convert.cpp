#include "binding/convert.hpp"

#include <type_traits>

#include "binding/float_buffer.hpp"
#include "binding/long_call.hpp"
#include "binding/message_texts.hpp"
#include "binding/text.hpp"
#include "binding/wrong_kind.hpp"
#include "engine/base/float_environment.hpp"

namespace tessaly {
namespace {

Result<std::uint64_t> int_to_u64(PyObject* integer) noexcept {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::fetch();
  return static_cast<std::uint64_t>(value);
}

// One 2-tuple (vector, identifier): the vector into `row`, the identifier returned.
Result<std::uint64_t> read_vector_pair(PyObject* item, FloatVector& row) noexcept {
  if (!PyTuple_Check(item)) {
    return not_instance_error(item, reinterpret_cast<PyObject*>(&PyTuple_Type));
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(item);
  if (length != 2) {
    return Error::value_error(tuple_length_text(length));
  }
  TRY(read_float_vector(PyTuple_GET_ITEM(item, 0), row));
  return to_u64(PyTuple_GET_ITEM(item, 1));
}

// Pairs made between two checks for signals (about 3 ms).
constexpr std::size_t kPairsPerSignalCheck = std::size_t{1} << 16;

// A (float, int) tuple.
Result<Ref> result_pair(float score, std::uint64_t id) noexcept {
  TRY_ASSIGN(Ref pair, require(PyTuple_New(2)));
  TRY_ASSIGN(Ref number, score_to_python(score));
  PyTuple_SET_ITEM(pair.get(), 0, number.release());
  TRY_ASSIGN(Ref integer, require(PyLong_FromUnsignedLongLong(id)));
  PyTuple_SET_ITEM(pair.get(), 1, integer.release());
  return pair;
}

}  // namespace

Result<void> check_sequence(PyObject* object) noexcept {
  if (PyUnicode_Check(object)) return Error::type_error(kStrIsNotAVector);
  if (!PySequence_Check(object)) return not_sequence_error(object);
  return {};
}

Result<float> to_float32(PyObject* object) noexcept {
  double value;
  if (PyFloat_CheckExact(object)) {
    value = PyFloat_AS_DOUBLE(object);
  } else {
    // Number types convert in C too (numpy's int64 to double rounds by the
    // mode), so the whole conversion runs in the default mode.
    const FloatEnvironment environment;
    value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return Error::fetch();
  }
  return narrow_to_float(value);
}

Result<FloatVector> to_float_vector(PyObject* object) noexcept {
  FloatVector vector;
  TRY(read_float_vector(object, vector));
  return vector;
}

Result<void> read_float_vector(PyObject* object, FloatVector& out) noexcept {
  TRY(check_sequence(object));
  TRY_ASSIGN(const bool buffered, read_float_buffer(object, out));
  if (buffered) return {};
  out.clear();
  TRY_ASSIGN(const std::size_t hint, addressable_reservation_for(object, sizeof(float), sizeof(float)));
  if (!out.try_reserve(hint)) return Error::no_memory();
  return for_each_item(object, [&](PyObject* item) -> Result<void> {
    TRY_ASSIGN(float element, to_float32(item));
    if (!out.try_push_back(element)) return Error::no_memory();
    return {};
  });
}

Result<std::uint64_t> to_u64(PyObject* object) noexcept {
  if (PyLong_Check(object)) return int_to_u64(object);
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return Error::fetch();
  return int_to_u64(index.get());
}

Result<std::size_t> to_size(PyObject* object) noexcept {
  TRY_ASSIGN(std::uint64_t value, to_u64(object));
  if (value > static_cast<std::uint64_t>(static_cast<std::size_t>(-1))) {
    return Error::overflow_error(kOutOfRangeIntegral);
  }
  return static_cast<std::size_t>(value);
}

Result<std::optional<std::size_t>> to_optional_size(PyObject* object) noexcept {
  if (object == nullptr || object == Py_None) return std::optional<std::size_t>();
  TRY_ASSIGN(std::size_t value, to_size(object));
  return std::optional<std::size_t>(value);
}

Result<CompactCopy> to_compact_copy(PyObject* object) noexcept {
  if (object == nullptr) return CompactCopy::int8;
  if (object == Py_None) return CompactCopy::none;
  if (PyUnicode_Check(object)) {
    if (PyUnicode_EqualToUTF8(object, kInt8FirstPass)) return CompactCopy::int8;
    Ref given = Ref::steal(PyObject_Repr(object));
    if (!given) return Error::fetch();
    return Error::value_error(first_pass_value_text(std::move(given)));
  }
  TRY_ASSIGN(Ref name, qualified_name(Py_TYPE(object)));
  return Error::type_error(first_pass_type_text(std::move(name)));
}

Result<Ref> first_pass_to_python(CompactCopy copy) noexcept {
  if (copy == CompactCopy::none) return Ref::borrow(Py_None);
  return require(PyUnicode_FromString(kInt8FirstPass));
}

Result<void> add_vector_pairs(PyObject* object, VectorstoreBuilder& builder) noexcept {
  if (object == nullptr || object == Py_None) return {};
  TRY(check_sequence(object));
  const std::size_t dimension = builder.vector_size();
  const std::size_t pair_bytes =
      dimension > (SIZE_MAX - sizeof(std::uint64_t)) / sizeof(float)
          ? SIZE_MAX
          : dimension * sizeof(float) + sizeof(std::uint64_t);
  TRY_ASSIGN(const std::size_t hint, addressable_reservation_for(object, sizeof(std::uint64_t), pair_bytes));
  builder.expect(hint);
  FloatVector row;  // one array for every vector, each copied into the store from it
  return for_each_item(object, [&](PyObject* item) -> Result<void> {
    TRY_ASSIGN(const std::uint64_t id, read_vector_pair(item, row));
    TRY(builder.add(row, id));
    return {};
  });
}

Result<Ref> score_to_python(float score) noexcept {
  return require(PyFloat_FromDouble(widen_to_double(score)));
}

Result<Ref> result_rows_to_python(const float* scores, const std::uint64_t* ids, std::size_t rows,
                                  std::size_t width) noexcept {
  TRY_ASSIGN(Ref outer, require(PyList_New(static_cast<Py_ssize_t>(rows))));
  for (std::size_t q = 0; q < rows; ++q) {
    TRY_ASSIGN(Ref list, require(PyList_New(static_cast<Py_ssize_t>(width))));
    for (std::size_t r = 0; r < width; ++r) {
      TRY_ASSIGN(Ref pair, result_pair(scores[q * width + r], ids[q * width + r]));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), pair.release());
      // Millions of pairs take a second or more: Ctrl-C is heard meanwhile
      // (a check every 64K pairs costs nothing beside making them).
      if (r % kPairsPerSignalCheck == kPairsPerSignalCheck - 1) TRY(check_signals());
    }
    PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(q), list.release());
  }
  return outer;
}

Result<Ref> results_to_python(std::span<const ResultPair> results) noexcept {
  TRY_ASSIGN(Ref list, require(PyList_New(static_cast<Py_ssize_t>(results.size()))));
  for (std::size_t i = 0; i < results.size(); ++i) {
    TRY_ASSIGN(Ref pair, result_pair(results[i].score, results[i].id));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list;
}

}  // namespace tessaly
