// _tessaly_testhooks: reaches frame paths that no ordinary call of tessaly
// can, so the tests can check them. Built for the tests only; never installed.
#include <xmmintrin.h>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "engine/processors.hpp"

namespace tessaly {
namespace {

// An internal failure carrying text.
PyObject* panic_with_text(PyObject*, PyObject* message) {
  return object_entry([&]() -> Result<Ref> {
    return Error::internal_failure(Message(kPiece), Ref::borrow(message));
  });
}

// An internal failure whose payload is not text.
PyObject* panic_without_text(PyObject*, PyObject*) {
  return object_entry([&]() -> Result<Ref> { throw 42; });
}

// Builds a pending error and drops it unraised; returns whether anything is
// pending afterwards.
PyObject* drop_error(PyObject*, PyObject*) {
  { Error dropped = Error::value_error("never raised"); }
  return PyBool_FromLong(PyErr_Occurred() != nullptr);
}

// An internal failure inside a teardown frame.
PyObject* teardown_failure(PyObject*, PyObject*) {
  teardown_frame([]() -> Result<void> { return Error::internal_failure("teardown failed"); });
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

// The interpreter failing to make a result object.
PyObject* null_object(PyObject*, PyObject*) {
  return object_entry([&]() -> Result<Ref> {
    PyErr_SetString(PyExc_MemoryError, "simulated");
    return require(nullptr);
  });
}

// The fetch rule with nothing pending.
PyObject* fetch_nothing(PyObject*, PyObject*) {
  return object_entry([&]() -> Result<Ref> { return Error::fetch(); });
}

// An allocation failure inside a body.
PyObject* out_of_memory(PyObject*, PyObject*) {
  return object_entry([&]() -> Result<Ref> { return Error::no_memory(); });
}

// Sets the SSE rounding, flush-to-zero and denormals-are-zero bits of the
// calling thread to `bits` (as another library might) and returns the old
// ones: 0x6000 masks the rounding mode, 0x8040 the two flush bits.
PyObject* set_float_mode(PyObject*, PyObject* bits) {
  const unsigned long wanted = PyLong_AsUnsignedLong(bits);
  if (wanted == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
  const unsigned mask = 0x6000u | 0x8040u;
  const unsigned csr = _mm_getcsr();
  _mm_setcsr((csr & ~mask) | (static_cast<unsigned>(wanted) & mask));
  return PyLong_FromUnsignedLong(csr & mask);
}

PyObject* available_parallelism_py(PyObject*, PyObject*) {
  auto count = available_parallelism();
  if (!count) Py_RETURN_NONE;
  return PyLong_FromSize_t(*count);
}

PyMethodDef hook_methods[] = {
    {"panic_with_text", panic_with_text, METH_O, nullptr},
    {"panic_without_text", panic_without_text, METH_NOARGS, nullptr},
    {"drop_error", drop_error, METH_NOARGS, nullptr},
    {"teardown_failure", teardown_failure, METH_NOARGS, nullptr},
    {"null_object", null_object, METH_NOARGS, nullptr},
    {"fetch_nothing", fetch_nothing, METH_NOARGS, nullptr},
    {"out_of_memory", out_of_memory, METH_NOARGS, nullptr},
    {"available_parallelism", available_parallelism_py, METH_NOARGS, nullptr},
    {"set_float_mode", set_float_mode, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot hook_slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef hook_module = {
    PyModuleDef_HEAD_INIT, "_tessaly_testhooks", "", 0, hook_methods, hook_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tessaly

PyMODINIT_FUNC PyInit__tessaly_testhooks(void) {
  return PyModuleDef_Init(&tessaly::hook_module);
}
