// _tessaly_testhooks: reaches frame paths that no ordinary call of tessaly
// can, so the tests can check them. Built for the tests only; never installed.
#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include <cstdint>
#include <vector>

#include "binding/convert.hpp"
#include "binding/query_batch.hpp"
#include "binding/entry_frame.hpp"
#include "binding/error.hpp"
#include "binding/python.hpp"
#include "binding/vectorstore_record.hpp"
#include "engine/runtime/kernel_path.hpp"
#include "engine/runtime/processors.hpp"
#include "engine/search/batch_search.hpp"
#include "engine/search/search.hpp"
#include "tests/hooks/arithmetic_floor.hpp"
#include "tests/hooks/int8_timing.hpp"
#include "tests/hooks/stream_floor.hpp"

namespace tessaly {
namespace {

// An internal failure carrying text.
PyObject* panic_with_text(PyObject*, PyObject* message) {
  return object_entry([&]() -> Result<Ref> {
    return Error::internal_failure(ErrorText() << Ref::borrow(message));
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

// Sets the calling thread's rounding and flush bits to `bits` (as another
// library might) and returns the old ones. On x86 they are SSE's MXCSR bits:
// 0x6000 masks the rounding mode, 0x8040 flush-to-zero and
// denormals-are-zero. On aarch64 they are FPCR's: 0xC00000 masks the
// rounding mode (RMode), 0x1000000 flush-to-zero (FZ).
PyObject* set_float_mode(PyObject*, PyObject* bits) {
  const unsigned long wanted = PyLong_AsUnsignedLong(bits);
  if (wanted == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
#if defined(__SSE__) || defined(__x86_64__)
  const unsigned mask = 0x6000u | 0x8040u;
  const unsigned csr = _mm_getcsr();
  _mm_setcsr((csr & ~mask) | (static_cast<unsigned>(wanted) & mask));
  return PyLong_FromUnsignedLong(csr & mask);
#elif defined(__aarch64__)
  const std::uint64_t mask = 0xC00000u | 0x1000000u;
  std::uint64_t fpcr;
  asm volatile("mrs %0, fpcr" : "=r"(fpcr));
  asm volatile("msr fpcr, %0" : : "r"((fpcr & ~mask) | (wanted & mask)));
  return PyLong_FromUnsignedLong(static_cast<unsigned long>(fpcr & mask));
#else
  PyErr_SetString(PyExc_NotImplementedError, "no floating-point mode control on this architecture");
  return nullptr;
#endif
}

PyObject* available_parallelism_py(PyObject*, PyObject*) {
  auto count = available_parallelism();
  if (!count) Py_RETURN_NONE;
  return PyLong_FromSize_t(*count);
}

// tessaly's own Vectorstore instance (this module links a copy of the
// binding, whose type object is a different one), under shared access.
Result<PyVectorstore*> tessaly_store(PyObject* object) noexcept {
  Ref module = Ref::steal(PyImport_ImportModule("tessaly"));
  Ref type = Ref::steal(module ? PyObject_GetAttrString(module.get(), "Vectorstore") : nullptr);
  if (!type) return Error::fetch();
  if (Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(type.get())) {
    return Error::type_error("expected a tessaly.Vectorstore");
  }
  return reinterpret_cast<PyVectorstore*>(object);
}

Result<KernelPath> kernel_path_named(PyObject* name) noexcept {
  const char* text = PyUnicode_AsUTF8(name);
  if (text == nullptr) return Error::fetch();
  for (KernelPath path : available_kernel_paths()) {
    if (kernel_path_name(path) == text) return path;
  }
  return Error::value_error(Message("no kernel path '") << text << "' on this processor");
}

// The kernel paths this processor has, scalar first, widest last.
PyObject* kernel_paths(PyObject*, PyObject*) {
  return object_entry([&]() -> Result<Ref> {
    TRY_ASSIGN(Ref names, require(PyList_New(0)));
    for (KernelPath path : available_kernel_paths()) {
      const std::string_view name = kernel_path_name(path);
      TRY_ASSIGN(Ref text, require(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))));
      if (PyList_Append(names.get(), text.get()) < 0) return Error::fetch();
    }
    return names;
  });
}

// The kernel path searches use.
PyObject* search_path(PyObject*, PyObject*) {
  const std::string_view name = kernel_path_name(best_kernel_path());
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// search_on_path(store, vector, top_k, path): store.search on a chosen path.
PyObject* search_on_path(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return object_entry([&]() -> Result<Ref> {
    if (nargs != 4) return Error::type_error("search_on_path(store, vector, top_k, path)");
    TRY_ASSIGN(PyVectorstore* record, tessaly_store(args[0]));
    TRY_ASSIGN(Access access, Access::shared(record->access));
    TRY_ASSIGN(FloatVector query, to_float_vector(args[1]));
    TRY_ASSIGN(std::size_t top_k, to_size(args[2]));
    TRY_ASSIGN(KernelPath path, kernel_path_named(args[3]));
    TRY_ASSIGN(const Array<ResultPair> found, search(record->store, query, top_k, path));
    return results_to_python(found);
  });
}

// search_batch_on_path(store, vectors, top_k, path, lists=True): store.search_batch
// on a chosen path; with lists False, the engine's work alone (None comes
// back), to tell its time from that of making the result lists.
PyObject* search_batch_on_path(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return object_entry([&]() -> Result<Ref> {
    if (nargs != 4 && nargs != 5) return Error::type_error("search_batch_on_path(store, vectors, top_k, path, lists=True)");
    TRY_ASSIGN(PyVectorstore* record, tessaly_store(args[0]));
    TRY_ASSIGN(Access access, Access::shared(record->access));
    TRY_ASSIGN(QueryBatchInput queries, to_query_batch(args[1]));
    TRY_ASSIGN(std::size_t top_k, to_size(args[2]));
    TRY_ASSIGN(KernelPath path, kernel_path_named(args[3]));
    const bool lists = nargs < 5 || PyObject_IsTrue(args[4]);
    const QueryRows rows = queries.rows();
    TRY_ASSIGN(const BatchSearch batch,
               BatchSearch::plan(record->store, rows, top_k, {WorkerRequest::Mode::calling_thread, {}}, path));
    std::vector<float> scores(batch.rows() * batch.width());
    std::vector<std::uint64_t> ids(batch.rows() * batch.width());
    Interruption never;
    TRY(batch.run({scores.data(), ids.data(), batch.width()}, never));
    if (!lists) return Ref::borrow(Py_None);
    return result_rows_to_python(scores.data(), ids.data(), batch.rows(), batch.width());
  });
}

// Multiply-then-add pairs per second of one core (see arithmetic_floor.hpp).
PyObject* multiply_add_rate_py(PyObject*, PyObject*) {
  return PyFloat_FromDouble(multiply_add_rate());
}

Result<Ref> seconds(double elapsed) noexcept {
  if (elapsed < 0) return Error::runtime_error("could not start the threads");
  return require(PyFloat_FromDouble(elapsed));
}

// stream_buffer(buffer, threads): seconds for one read of a contiguous
// float32 buffer (a matrix of the same bytes, laid out in one piece).
PyObject* stream_buffer(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return object_entry([&]() -> Result<Ref> {
    if (nargs != 2) return Error::type_error("stream_buffer(buffer, threads)");
    TRY_ASSIGN(std::size_t threads, to_size(args[1]));
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_C_CONTIGUOUS) < 0) return Error::fetch();
    const double elapsed = time_matrix_read(static_cast<const float*>(view.buf),
                                            static_cast<std::size_t>(view.len) / sizeof(float), threads);
    PyBuffer_Release(&view);
    return seconds(elapsed);
  });
}

// int8_dot_seconds(path, blocks, lines, rounds) and
// int8_group_rate(path, blocks, lines, rounds): the first pass's kernels
// alone (int8_timing.hpp).
// A kernel's time or rate; negative when its buffers could not be had.
Result<Ref> kernel_seconds(double value) noexcept {
  if (value < 0) return Error::no_memory();
  return require(PyFloat_FromDouble(value));
}

PyObject* int8_dot_seconds(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return object_entry([&]() -> Result<Ref> {
    if (nargs != 4) return Error::type_error("int8_dot_seconds(path, blocks, lines, rounds)");
    TRY_ASSIGN(KernelPath path, kernel_path_named(args[0]));
    TRY_ASSIGN(std::size_t blocks, to_size(args[1]));
    TRY_ASSIGN(std::size_t lines, to_size(args[2]));
    TRY_ASSIGN(std::size_t rounds, to_size(args[3]));
    return kernel_seconds(time_int8_dot(path, blocks, lines, rounds));
  });
}

PyObject* int8_group_rate_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return object_entry([&]() -> Result<Ref> {
    if (nargs != 4) return Error::type_error("int8_group_rate(path, blocks, lines, rounds)");
    TRY_ASSIGN(KernelPath path, kernel_path_named(args[0]));
    TRY_ASSIGN(std::size_t blocks, to_size(args[1]));
    TRY_ASSIGN(std::size_t lines, to_size(args[2]));
    TRY_ASSIGN(std::size_t rounds, to_size(args[3]));
    return kernel_seconds(int8_group_rate(path, blocks, lines, rounds));
  });
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
    {"kernel_paths", kernel_paths, METH_NOARGS, nullptr},
    {"search_path", search_path, METH_NOARGS, nullptr},
    {"search_on_path", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_on_path)),
     METH_FASTCALL, nullptr},
    {"search_batch_on_path",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_batch_on_path)), METH_FASTCALL,
     nullptr},
    {"multiply_add_rate", multiply_add_rate_py, METH_NOARGS, nullptr},
    {"stream_buffer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_buffer)),
     METH_FASTCALL, nullptr},
    {"set_float_mode", set_float_mode, METH_O, nullptr},
    {"int8_dot_seconds", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(int8_dot_seconds)),
     METH_FASTCALL, nullptr},
    {"int8_group_rate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(int8_group_rate_py)),
     METH_FASTCALL, nullptr},
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
