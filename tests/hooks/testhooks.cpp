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
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(message, &size);
    if (text == nullptr) return Error::fetch();
    panic(std::string(text, size));
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
  teardown_frame([] { panic("teardown failed"); });
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

// A C++ allocation failure inside a body.
PyObject* out_of_memory(PyObject*, PyObject*) {
  return object_entry([&]() -> Result<Ref> { throw std::bad_alloc(); });
}

// Switches flush-to-zero and denormals-are-zero on or off for the calling
// thread, as a library built with -ffast-math would.
PyObject* set_flush_to_zero(PyObject*, PyObject* on) {
  const unsigned bits = 0x8000u | 0x0040u;
  const unsigned csr = _mm_getcsr();
  _mm_setcsr(PyObject_IsTrue(on) ? csr | bits : csr & ~bits);
  Py_RETURN_NONE;
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
    {"set_flush_to_zero", set_flush_to_zero, METH_O, nullptr},
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
