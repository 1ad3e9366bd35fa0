#include "binding/convert.hpp"

#include <algorithm>
#include <type_traits>

#include "binding/float_buffer.hpp"
#include "binding/wrong_kind.hpp"
#include "engine/float_environment.hpp"

namespace tessaly {
namespace {

// Reservations beyond this many bytes trust only truthful lengths: a custom
// __len__ may claim far more items than its iterator yields.
constexpr std::size_t kUntrustedReserveBytes = std::size_t{1} << 20;

// Reserves room for the object's length hint. The hint only sizes the first
// allocation: it never limits or changes the result.
template <class Items>
Result<void> reserve_length_hint(Items& items, PyObject* object) noexcept {
  using T = std::remove_reference_t<decltype(*items.data())>;
  const Py_ssize_t hint = PyObject_Size(object);
  if (hint < 0) return discard_pending_error();
  const auto wanted = static_cast<std::size_t>(hint);
  if (wanted > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
    return Error::internal_failure("capacity overflow");
  }
  const bool truthful = PyList_CheckExact(object) || PyTuple_CheckExact(object);
  if (!items.try_reserve(truthful ? wanted : std::min(wanted, kUntrustedReserveBytes / sizeof(T)))) {
    return Error::no_memory();
  }
  return {};
}

// The checks every sequence argument passes before it is iterated.
Result<void> check_sequence(PyObject* object) noexcept {
  if (PyUnicode_Check(object)) return Error::type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) return not_sequence_error(object);
  return {};
}

// Calls convert(item) for every item the object's iterator yields.
template <class Convert>
Result<void> for_each_item(PyObject* object, Convert convert) noexcept {
  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return Error::fetch();
  for (;;) {
    PyObject* next = nullptr;
    const int status = PyIter_NextItem(iterator.get(), &next);
    if (status < 0) return Error::fetch();
    if (status == 0) return {};
    Ref item = Ref::steal(next);
    TRY(convert(item.get()));
  }
}

Result<std::uint64_t> int_to_u64(PyObject* integer) noexcept {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::fetch();
  return static_cast<std::uint64_t>(value);
}

Result<VectorPair> to_vector_pair(PyObject* item, RowArena* arena) noexcept {
  if (!PyTuple_Check(item)) {
    return not_instance_error(item, reinterpret_cast<PyObject*>(&PyTuple_Type));
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(item);
  if (length != 2) {
    return Error::value_error(Message("expected tuple of length 2, but got tuple of length ")
                              << length);
  }
  TRY_ASSIGN(FloatVector vector, to_float_vector_in(PyTuple_GET_ITEM(item, 0), arena));
  TRY_ASSIGN(std::uint64_t id, to_u64(PyTuple_GET_ITEM(item, 1)));
  return VectorPair{std::move(vector), id};
}

}  // namespace

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
  return to_float_vector_in(object, nullptr);
}

Result<FloatVector> to_float_vector_in(PyObject* object, RowArena* arena) noexcept {
  TRY(check_sequence(object));
  TRY_ASSIGN(std::optional<FloatVector> buffered, read_float_buffer(object, arena));
  if (buffered) return std::move(*buffered);
  FloatVector vector(arena);
  TRY(reserve_length_hint(vector, object));
  auto append = [&](PyObject* item) -> Result<void> {
    TRY_ASSIGN(float element, to_float32(item));
    if (!vector.try_push_back(element)) return Error::no_memory();
    return {};
  };
  TRY(for_each_item(object, append));
  vector.shrink_to_fit();
  return vector;
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
    return Error::overflow_error("out of range integral type conversion attempted");
  }
  return static_cast<std::size_t>(value);
}

Result<std::optional<std::size_t>> to_optional_size(PyObject* object) noexcept {
  if (object == nullptr || object == Py_None) return std::optional<std::size_t>();
  TRY_ASSIGN(std::size_t value, to_size(object));
  return std::optional<std::size_t>(value);
}

Result<Array<VectorPair>> to_vector_pairs(PyObject* object, RowArena* arena) noexcept {
  TRY(check_sequence(object));
  Array<VectorPair> pairs;
  TRY(reserve_length_hint(pairs, object));
  auto append = [&](PyObject* item) -> Result<void> {
    TRY_ASSIGN(VectorPair pair, to_vector_pair(item, arena));
    if (!pairs.try_push_back(std::move(pair))) return Error::no_memory();
    return {};
  };
  TRY(for_each_item(object, append));
  return pairs;
}

Result<Array<VectorPair>> to_optional_vector_pairs(PyObject* object, RowArena* arena) noexcept {
  if (object == nullptr || object == Py_None) return Array<VectorPair>();
  return to_vector_pairs(object, arena);
}

Result<Ref> score_to_python(float score) noexcept {
  return require(PyFloat_FromDouble(widen_to_double(score)));
}

Result<Ref> results_to_python(std::span<const ResultPair> results) noexcept {
  TRY_ASSIGN(Ref list, require(PyList_New(static_cast<Py_ssize_t>(results.size()))));
  for (std::size_t i = 0; i < results.size(); ++i) {
    TRY_ASSIGN(Ref pair, require(PyTuple_New(2)));
    TRY_ASSIGN(Ref score, score_to_python(results[i].score));
    PyTuple_SET_ITEM(pair.get(), 0, score.release());
    TRY_ASSIGN(Ref id, require(PyLong_FromUnsignedLongLong(results[i].id)));
    PyTuple_SET_ITEM(pair.get(), 1, id.release());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list;
}

}  // namespace tessaly
