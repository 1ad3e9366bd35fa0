// class Vectorstore: an append-only store of float vectors with integer ids.
//
//   store = Vectorstore(3, [([1, 0, 0], 7)]); store.insert([0, 1, 0], 8)
//   store.search([1, 0, 0], 1) == [(1.0, 7)]; len(store) == 2
//
// Not subclassable, no instance dict, no weak references, not collected by
// the cycle collector (an instance refers to no Python object).
#include "binding/vectorstore_type.hpp"

#include <atomic>
#include <new>

#include "binding/access.hpp"
#include "binding/arguments.hpp"
#include "binding/batch_call.hpp"
#include "binding/bulk_append.hpp"
#include "binding/convert.hpp"
#include "binding/entry_frame.hpp"
#include "binding/message_texts.hpp"
#include "binding/once.hpp"
#include "binding/process_slots.hpp"
#include "binding/vectorstore_record.hpp"
#include "binding/wrong_kind.hpp"
#include "engine/search/search.hpp"
#include "engine/store/vectorstore_builder.hpp"

namespace tessaly {
namespace {

// The receiver check: `self` is a Vectorstore (or subtype) instance.
Result<PyVectorstore*> as_vectorstore(PyObject* self) noexcept {
  PyObject* type = vectorstore_type_slot.load(std::memory_order_acquire);
  if (type == nullptr) {
    auto made = vectorstore_type();
    if (!made.ok()) {
      if (made.error().is_internal_failure()) return std::move(made).error();
      std::move(made).error().raise();
      PyErr_WriteUnraisable(nullptr);
      return Error::internal_failure(kClassInitFailed);
    }
    type = made.value();
  }
  if (self == nullptr || !PyType_IsSubtype(Py_TYPE(self), reinterpret_cast<PyTypeObject*>(type))) {
    return not_instance_error(self != nullptr ? self : Py_None, type);
  }
  return reinterpret_cast<PyVectorstore*>(self);
}

// A new instance of `subtype` holding `store`.
Result<Ref> new_instance(PyTypeObject* subtype, Vectorstore store) noexcept {
  TRY_ASSIGN(Ref no_arguments, require(PyTuple_New(0)));
  Ref self = Ref::steal(PyBaseObject_Type.tp_new(subtype, no_arguments.get(), nullptr));
  if (!self) return Error::fetch();
  auto* record = reinterpret_cast<PyVectorstore*>(self.get());
  new (&record->store) Vectorstore(std::move(store));
  new (&record->access) AccessFlag(0);
  new (&record->row) FloatVector();
  return self;
}

// Vectorstore(vector_size, vectors=None)
PyObject* vectorstore_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[2] = {};
    TRY(parse_tuple_dict_args(kNewSignature, args, kwargs, slots));
    // Unlike an argument array or tuple, a keyword dict handed over by a C
    // caller could be changed by Python code that converting vector_size
    // runs; hold our own references to what it gave us.
    const Ref vectors = Ref::borrow(slots[1]);
    TRY_ASSIGN(std::size_t vector_size, convert_argument("vector_size", slots[0], to_size));
    Vectorstore store(vector_size);
    VectorstoreBuilder builder(store);
    TRY(convert_argument("vectors", vectors.get(),
                         [&](PyObject* given) { return add_vector_pairs(given, builder); }));
    TRY(std::move(builder).finish());
    return new_instance(subtype, std::move(store));
  });
}

void vectorstore_dealloc(PyObject* self) noexcept {
  teardown_frame([&]() -> Result<void> {
    auto* record = reinterpret_cast<PyVectorstore*>(self);
    record->store.~Vectorstore();
    record->access.~AccessFlag();
    record->row.~FloatVector();
    PyTypeObject* type = Py_TYPE(self);
    auto free_record = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_record(self);
    Py_DECREF(type);
    return {};
  });
}

Py_ssize_t vectorstore_length(PyObject* self) noexcept {
  return entry_frame<Py_ssize_t>(-1, [&]() -> Result<Py_ssize_t> {
    TRY_ASSIGN(PyVectorstore* record, as_vectorstore(self));
    TRY_ASSIGN(Access access, Access::shared(record->access));
    return static_cast<Py_ssize_t>(record->store.len());
  });
}

PyObject* vectorstore_repr(PyObject* self) noexcept {
  return object_entry([&]() -> Result<Ref> {
    TRY_ASSIGN(PyVectorstore* record, as_vectorstore(self));
    TRY_ASSIGN(Access access, Access::shared(record->access));
    const Message text = vectorstore_repr_text(record->store.vector_size(), record->store.len());
    return require(PyUnicode_FromStringAndSize(text.view().data(),
                                               static_cast<Py_ssize_t>(text.view().size())));
  });
}

PyObject* get_vector_size(PyObject* self, void*) noexcept {
  return object_entry([&]() -> Result<Ref> {
    TRY_ASSIGN(PyVectorstore* record, as_vectorstore(self));
    TRY_ASSIGN(Access access, Access::shared(record->access));
    return require(PyLong_FromUnsignedLongLong(record->store.vector_size()));
  });
}

// Converts the arguments of insert and appends the entry. Exclusive access
// makes the record's row buffer this call's alone.
Result<void> insert_converted(PyVectorstore& record, PyObject* vector, PyObject* id) noexcept {
  TRY(convert_argument("vector", vector, [&](PyObject* given) { return read_float_vector(given, record.row); }));
  TRY_ASSIGN(const std::uint64_t converted, convert_argument("id", id, to_u64));
  TRY(record.store.insert(record.row, converted));
  return {};
}

// insert(vector, id): exclusive access, held while the arguments convert.
PyObject* vectorstore_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[2] = {};
    TRY(parse_fastcall_args(kInsertSignature, args, nargs, kwnames, slots));
    TRY_ASSIGN(PyVectorstore* record, as_vectorstore(self));
    TRY_ASSIGN(Access access, Access::exclusive(record->access));
    auto inserted = insert_converted(*record, slots[0], slots[1]);
    // The buffer stays for the next call only at the size a vector of this
    // store takes: a vector far too long must not hold its memory.
    if (record->row.capacity() > record->store.vector_size()) FloatVector().swap(record->row);
    TRY(std::move(inserted));
    return Ref::borrow(Py_None);
  });
}

// search(vector, top_k)
PyObject* vectorstore_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[2] = {};
    TRY(parse_fastcall_args(kSearchSignature, args, nargs, kwnames, slots));
    TRY_ASSIGN(PyVectorstore* record, as_vectorstore(self));
    TRY_ASSIGN(Access access, Access::shared(record->access));
    TRY_ASSIGN(FloatVector query, convert_argument("vector", slots[0], to_float_vector));
    TRY_ASSIGN(std::size_t top_k, convert_argument("top_k", slots[1], to_size));
    TRY_ASSIGN(const Array<ResultPair> found, search(record->store, query, top_k));
    return results_to_python(found);
  });
}

// parallel_search(vector, top_k, n_threads=None)
PyObject* vectorstore_parallel_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[3] = {};
    TRY(parse_fastcall_args(kParallelSearchSignature, args, nargs, kwnames, slots));
    TRY_ASSIGN(PyVectorstore* record, as_vectorstore(self));
    TRY_ASSIGN(Access access, Access::shared(record->access));
    TRY_ASSIGN(FloatVector query, convert_argument("vector", slots[0], to_float_vector));
    TRY_ASSIGN(std::size_t top_k, convert_argument("top_k", slots[1], to_size));
    TRY_ASSIGN(std::optional<std::size_t> n_threads,
               convert_argument("n_threads", slots[2], to_optional_size));
    TRY_ASSIGN(const Array<ResultPair> found, parallel_search(record->store, query, top_k, n_threads));
    return results_to_python(found);
  });
}

// search_batch(vectors, top_k)
PyObject* vectorstore_search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[2] = {};
    TRY(parse_fastcall_args(kSearchBatchSignature, args, nargs, kwnames, slots));
    TRY_ASSIGN(PyVectorstore* record, as_vectorstore(self));
    TRY_ASSIGN(Access access, Access::shared(record->access));
    return search_batch_call(record->store, slots[0], slots[1], nullptr, BatchWorkers::calling_thread,
                             BatchResultForm::lists);
  });
}

// parallel_search_batch(vectors, top_k, n_threads=None)
PyObject* vectorstore_parallel_search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[3] = {};
    TRY(parse_fastcall_args(kParallelSearchBatchSignature, args, nargs, kwnames, slots));
    TRY_ASSIGN(PyVectorstore* record, as_vectorstore(self));
    TRY_ASSIGN(Access access, Access::shared(record->access));
    return search_batch_call(record->store, slots[0], slots[1], slots[2], BatchWorkers::per_call,
                             BatchResultForm::lists);
  });
}

// search_arrays(vectors, top_k, n_threads=None) -> (scores, ids)
PyObject* vectorstore_search_arrays(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[3] = {};
    TRY(parse_fastcall_args(kSearchArraysSignature, args, nargs, kwnames, slots));
    TRY_ASSIGN(PyVectorstore* record, as_vectorstore(self));
    TRY_ASSIGN(Access access, Access::shared(record->access));
    return search_batch_call(record->store, slots[0], slots[1], slots[2], BatchWorkers::as_requested,
                             BatchResultForm::arrays);
  });
}

// append(vectors, ids=None): exclusive access, held while the rows convert.
PyObject* vectorstore_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[2] = {};
    TRY(parse_fastcall_args(kAppendSignature, args, nargs, kwnames, slots));
    TRY_ASSIGN(PyVectorstore* record, as_vectorstore(self));
    TRY_ASSIGN(Access access, Access::exclusive(record->access));
    TRY(append_rows(record->store, slots[0], slots[1]));
    return Ref::borrow(Py_None);
  });
}

// Vectorstore.from_array(vectors, ids=None)
PyObject* vectorstore_from_array(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[2] = {};
    TRY(parse_fastcall_args(kFromArraySignature, args, nargs, kwnames, slots));
    TRY_ASSIGN(Vectorstore store, store_from_rows(slots[0], slots[1]));
    return new_instance(reinterpret_cast<PyTypeObject*>(type), std::move(store));
  });
}

template <class Method>
PyCFunction fastcall(Method method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef vectorstore_methods[] = {
    {"insert", fastcall(vectorstore_insert), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector, id)\n--\n\n"},
    {"search", fastcall(vectorstore_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, vector, top_k)\n--\n\n"},
    {"parallel_search", fastcall(vectorstore_parallel_search), METH_FASTCALL | METH_KEYWORDS,
     "parallel_search($self, vector, top_k, n_threads=None)\n--\n\n"},
    {"search_batch", fastcall(vectorstore_search_batch), METH_FASTCALL | METH_KEYWORDS,
     "search_batch($self, vectors, top_k)\n--\n\n"},
    {"parallel_search_batch", fastcall(vectorstore_parallel_search_batch), METH_FASTCALL | METH_KEYWORDS,
     "parallel_search_batch($self, vectors, top_k, n_threads=None)\n--\n\n"},
    {"search_arrays", fastcall(vectorstore_search_arrays), METH_FASTCALL | METH_KEYWORDS,
     "search_arrays($self, vectors, top_k, n_threads=None)\n--\n\n"},
    {"append", fastcall(vectorstore_append), METH_FASTCALL | METH_KEYWORDS,
     "append($self, vectors, ids=None)\n--\n\n"},
    {"from_array", fastcall(vectorstore_from_array), METH_CLASS | METH_FASTCALL | METH_KEYWORDS,
     "from_array($type, vectors, ids=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef vectorstore_getset[] = {
    {"vector_size", get_vector_size, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot vectorstore_slots[] = {
    {Py_tp_doc, const_cast<char*>("Vectorstore(vector_size, vectors=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(vectorstore_new)},
    {Py_mp_length, reinterpret_cast<void*>(vectorstore_length)},
    {Py_tp_repr, reinterpret_cast<void*>(vectorstore_repr)},
    {Py_tp_methods, vectorstore_methods},
    {Py_tp_getset, vectorstore_getset},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(vectorstore_dealloc)},
    {0, nullptr},
};

PyType_Spec vectorstore_spec = {
    "builtins.Vectorstore",
    static_cast<int>(sizeof(PyVectorstore)),
    0,
    Py_TPFLAGS_DEFAULT,
    vectorstore_slots,
};

}  // namespace

Result<PyObject*> vectorstore_type() noexcept {
  PyObject* type = get_or_make(vectorstore_type_slot, [] { return PyType_FromSpec(&vectorstore_spec); });
  if (type == nullptr) return Error::fetch();
  return type;
}

}  // namespace tessaly
