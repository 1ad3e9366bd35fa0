#include "binding/length_hint.hpp"

#include <algorithm>

#include "binding/message_texts.hpp"

namespace tessaly {
namespace {

// Reservations beyond this many bytes trust only truthful lengths.
constexpr std::size_t kUntrustedReserveBytes = std::size_t{1} << 20;

std::size_t trusted_part(PyObject* object, std::size_t hint, std::size_t item_bytes) noexcept {
  const bool truthful = PyList_CheckExact(object) || PyTuple_CheckExact(object);
  return truthful ? hint : std::min(hint, kUntrustedReserveBytes / item_bytes);
}

}  // namespace

Result<std::optional<std::size_t>> length_hint(PyObject* object, LenFailure failure) noexcept {
  const Py_ssize_t length = PyObject_Size(object);
  if (length >= 0) return std::optional<std::size_t>(static_cast<std::size_t>(length));
  if (failure == LenFailure::raised_unless_type_error && !PyErr_ExceptionMatches(PyExc_TypeError)) {
    return Error::fetch();
  }
  TRY(discard_pending_error());
  return std::optional<std::size_t>();
}

Result<std::size_t> reservation_for(PyObject* object, std::size_t item_bytes, LenFailure failure) noexcept {
  TRY_ASSIGN(const std::optional<std::size_t> hint, length_hint(object, failure));
  return hint ? trusted_part(object, *hint, item_bytes) : std::size_t{0};
}

Result<std::size_t> addressable_reservation_for(PyObject* object, std::size_t record_bytes,
                                                std::size_t item_bytes) noexcept {
  TRY_ASSIGN(const std::optional<std::size_t> hint, length_hint(object));
  if (!hint) return std::size_t{0};
  if (*hint > static_cast<std::size_t>(PY_SSIZE_T_MAX) / record_bytes) {
    return Error::internal_failure(kCapacityOverflow);
  }
  return trusted_part(object, *hint, item_bytes);
}

}  // namespace tessaly
