// The module tessaly: multi-phase initialisation, the execution step, the
// function cosine_similarity, and __getattr__, which gives the private
// functions (conversion_functions.hpp).
#include "binding/conversion_functions.hpp"
#include "binding/convert.hpp"
#include "binding/entry_frame.hpp"
#include "binding/error.hpp"
#include "binding/message_texts.hpp"
#include "binding/method_entry.hpp"
#include "binding/method_table.hpp"
#include "binding/panic_exception.hpp"
#include "binding/python.hpp"
#include "binding/text.hpp"
#include "binding/vectorstore_type.hpp"
#include "binding/wrong_kind.hpp"
#include "engine/base/float_environment.hpp"
#include "engine/search/cosine.hpp"

namespace tessaly {
namespace {

// cosine_similarity(vec1, vec2) -> float
constexpr auto kCosineSimilarity = method("cosine_similarity", Receiver::none, Converted<to_float_vector>{"vec1"},
                                          Converted<to_float_vector>{"vec2"});
Result<Ref> cosine_similarity_py(FloatVector vec1, FloatVector vec2) noexcept {
  if (vec1.size() != vec2.size()) {
    return Error::value_error(different_dimensions_text(vec1.size(), vec2.size()));
  }
  float score;
  {
    const FloatEnvironment environment;
    score = cosine_score(vec1, vec2);
  }
  return score_to_python(score);
}

// Made into a function object by the execution step (METH_STATIC keeps it
// out of m_methods): __self__ reads as None.
PyMethodDef cosine_similarity_def = method_def<kCosineSimilarity, cosine_similarity_py>();

// A new function object of the module for `def`.
Result<Ref> module_function(PyObject* module, PyMethodDef& def) noexcept {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return Error::fetch();
  Ref function = Ref::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
  if (!function) return Error::fetch();
  return function;
}

// AttributeError for a name the module lacks, as the interpreter raises it
// without a __getattr__: its text, and the name and module that its "Did
// you mean" suggestions read.
Error missing_attribute_error(PyObject* module, PyObject* name) noexcept {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return Error::fetch();
  TRY_ASSIGN(Ref text, text_of(name));
  Ref message = Ref::steal(PyUnicode_FromFormat(kMissingAttributeFormat, module_name.get(), text.get()));
  if (!message) return Error::fetch();
  Ref arguments = Ref::steal(PyTuple_Pack(1, message.get()));
  if (!arguments) return Error::fetch();
  Ref keywords = Ref::steal(Py_BuildValue("{sOsO}", "name", name, "obj", module));
  if (!keywords) return Error::fetch();
  Ref error = Ref::steal(PyObject_Call(PyExc_AttributeError, arguments.get(), keywords.get()));
  if (!error) return Error::fetch();
  return Error::fetched_from(std::move(error));
}

// __getattr__(name), called for names the module's namespace lacks: the
// private functions, a new object at each lookup, so that the namespace
// holds the public API alone. Anything else is missing.
constexpr auto kModuleGetattr = method("__getattr__", Receiver::module, Raw{"name"});
Result<Ref> module_getattr(PyObject* module, Argument name) noexcept {
  if (PyUnicode_Check(name.object)) {
    for (PyMethodDef* def = conversion_function_defs; def->ml_name != nullptr; ++def) {
      if (PyUnicode_EqualToUTF8(name.object, def->ml_name)) return module_function(module, *def);
    }
  }
  return missing_attribute_error(module, name.object);
}

PyMethodDef module_getattr_def = method_def<kModuleGetattr, module_getattr>();

// Appends `name` to the module's __all__ (made if absent) and sets the attribute.
Result<void> add_to_module(PyObject* module, PyObject* name, PyObject* value) noexcept {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    Error lookup = Error::fetch();
    if (!lookup.is(PyExc_AttributeError)) return lookup;
    TRY_ASSIGN(all, require(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Error::fetch();
  } else if (!PyList_Check(all.get())) {
    return not_instance_error(all.get(), reinterpret_cast<PyObject*>(&PyList_Type));
  }
  if (PyList_Append(all.get(), name) < 0) {
    TRY(discard_pending_error());
    return Error::internal_failure(kCannotAppendToAll);
  }
  if (PyObject_SetAttr(module, name, value) < 0) return Error::fetch();
  return {};
}

Result<void> add_vectorstore(PyObject* module) noexcept {
  TRY_ASSIGN(PyObject* type, vectorstore_type());
  TRY_ASSIGN(Ref name, require(PyUnicode_FromString("Vectorstore")));
  return add_to_module(module, name.get(), type);
}

Result<void> add_cosine_similarity(PyObject* module) noexcept {
  TRY_ASSIGN(Ref function, module_function(module, cosine_similarity_def));
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return Error::fetch();
  if (!PyUnicode_Check(name.get())) {
    return not_instance_error(name.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type));
  }
  return add_to_module(module, name.get(), function.get());
}

// Not in __all__: a module's __getattr__ is no part of its API.
Result<void> add_getattr(PyObject* module) noexcept {
  TRY_ASSIGN(Ref function, module_function(module, module_getattr_def));
  if (PyObject_SetAttrString(module, "__getattr__", function.get()) < 0) return Error::fetch();
  return {};
}

int tessaly_exec(PyObject* module) noexcept {
  return entry_frame<int>(-1, [&]() -> Result<int> {
    // The type and the other objects kept for the process belong to the
    // main interpreter. A subinterpreter numbers types for its attribute
    // cache on its own counter, so sharing the type with one would let a
    // method lookup find another class's attribute. Legacy subinterpreters
    // skip the slot below, so the refusal is made here.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
      return Error::pending(PyExc_ImportError, kSubinterpretersRefused);
    }
    if (!PyModule_Check(module)) {
      return not_instance_error(module, reinterpret_cast<PyObject*>(&PyModule_Type));
    }
    // Made now, so that raising an internal failure never needs memory.
    if (panic_exception_type() == nullptr) return Error::fetch();
    TRY(add_vectorstore(module));
    TRY(add_cosine_similarity(module));
    TRY(add_getattr(module));
    return 0;
  });
}

PyModuleDef_Slot tessaly_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(tessaly_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef tessaly_module = {
    PyModuleDef_HEAD_INIT,
    "tessaly",
    "",
    0,
    nullptr,
    tessaly_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessaly

PyMODINIT_FUNC PyInit_tessaly(void) { return PyModuleDef_Init(&tessaly::tessaly_module); }
