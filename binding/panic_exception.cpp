#include "binding/panic_exception.hpp"

#include <cstdio>

#include "binding/message_texts.hpp"
#include "binding/process_slots.hpp"
#include "binding/utf8.hpp"

namespace tessaly {
namespace {

constexpr const char* kPanicExceptionDoc =
    "Raised when tessaly's native code fails while called from Python.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it typically propagates all the way up the stack and ends the\n"
    "interpreter instead of being caught by a broad 'except Exception'.";

PyObject* make_panic_exception_type() noexcept {
  return PyErr_NewExceptionWithDoc("tessaly.PanicException", kPanicExceptionDoc,
                                   PyExc_BaseException, nullptr);
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  return get_or_make(panic_type_slot, make_panic_exception_type);
}

PyObject* panic_exception_type_if_made() noexcept {
  return panic_type_slot.load(std::memory_order_acquire);
}

bool is_panic_exception(PyObject* exception) noexcept {
  PyObject* type = panic_exception_type_if_made();
  return type != nullptr && PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(type));
}

Ref print_resumed_panic(Ref exception) noexcept {
  Ref text = Ref::steal(PyObject_Str(exception.get()));
  if (text) text = printable_str(text.get());
  if (!text) PyErr_Clear();
  std::fputs(kResumingPanicBanner, stderr);
  std::fflush(stderr);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  return text;
}

}  // namespace tessaly
