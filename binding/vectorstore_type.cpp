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
#include <optional>

#include "binding/batch_call.hpp"
#include "binding/bulk_append.hpp"
#include "binding/convert.hpp"
#include "binding/message_texts.hpp"
#include "binding/method_entry.hpp"
#include "binding/method_table.hpp"
#include "binding/parameters.hpp"
#include "binding/process_slots.hpp"
#include "binding/query_batch.hpp"
#include "binding/store_arrays.hpp"
#include "binding/vectorstore_record.hpp"
#include "binding/where_mask.hpp"
#include "binding/wrong_kind.hpp"
#include "engine/search/search.hpp"
#include "engine/store/vectorstore_builder.hpp"

namespace tessaly {
namespace {

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

// The entries, each declared once (method_table.hpp) beside its body.

// Vectorstore(vector_size, vectors=None)
constexpr auto kNew = method("__new__", Receiver::constructor, kVectorSizeParameter, Raw{"vectors", "None"});
Result<Ref> make_store(PyTypeObject* subtype, std::size_t vector_size, Argument vectors) noexcept {
  Vectorstore store(vector_size);
  VectorstoreBuilder builder(store);
  TRY(vectors.convert([&](PyObject* given) { return add_vector_pairs(given, builder); }));
  TRY(std::move(builder).finish());
  return new_instance(subtype, std::move(store));
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

constexpr auto kLength = method("__len__", Receiver::shared_store);
Result<Py_ssize_t> length_of(PyVectorstore& record) noexcept { return static_cast<Py_ssize_t>(record.store.len()); }

constexpr auto kRepr = method("__repr__", Receiver::shared_store);
Result<Ref> repr_of(PyVectorstore& record) noexcept {
  const Message text = vectorstore_repr_text(record.store.vector_size(), record.store.len());
  return require(PyUnicode_FromStringAndSize(text.view().data(), static_cast<Py_ssize_t>(text.view().size())));
}

constexpr auto kVectorSize = method("vector_size", Receiver::shared_store);
Result<Ref> vector_size_of(PyVectorstore& record) noexcept {
  return require(PyLong_FromUnsignedLongLong(record.store.vector_size()));
}

// first_pass: "int8" for a store that keeps the int8 copy, else None.
constexpr auto kFirstPass = method("first_pass", Receiver::shared_store);
Result<Ref> first_pass_of(PyVectorstore& record) noexcept {
  return first_pass_to_python(record.store.compact_copy());
}

// insert(vector, id): exclusive access, which makes the record's row buffer
// this call's alone.
constexpr auto kInsert = method("insert", Receiver::exclusive_store, Raw{"vector"}, kIdParameter);
Result<void> insert_converted(PyVectorstore& record, const Argument& vector, const Argument& id) noexcept {
  TRY(vector.convert([&](PyObject* given) { return read_float_vector(given, record.row); }));
  TRY_ASSIGN(const std::uint64_t converted, id.convert(to_u64));
  TRY(record.store.insert(record.row, converted));
  return {};
}
Result<Ref> insert(PyVectorstore& record, Argument vector, Argument id) noexcept {
  auto inserted = insert_converted(record, vector, id);
  // The buffer stays for the next call only at the size a vector of this
  // store takes: a vector far too long must not hold its memory.
  if (record.row.capacity() > record.store.vector_size()) FloatVector().swap(record.row);
  TRY(std::move(inserted));
  return Ref::borrow(Py_None);
}

constexpr auto kSearch = method("search", Receiver::shared_store, kQueryParameter, kTopKParameter);
Result<Ref> search_one(PyVectorstore& record, FloatVector query, std::size_t top_k) noexcept {
  TRY_ASSIGN(const Array<ResultPair> found, search(record.store, query, top_k));
  return results_to_python(found);
}

constexpr auto kParallelSearch =
    method("parallel_search", Receiver::shared_store, kQueryParameter, kTopKParameter, kThreadsParameter);
Result<Ref> parallel_search_one(PyVectorstore& record, FloatVector query, std::size_t top_k,
                                std::optional<std::size_t> n_threads) noexcept {
  TRY_ASSIGN(const Array<ResultPair> found, parallel_search(record.store, query, top_k, n_threads));
  return results_to_python(found);
}

constexpr auto kSearchBatch = method("search_batch", Receiver::shared_store, kQueriesParameter, kBatchTopKParameter);
Result<Ref> search_many(PyVectorstore& record, QueryBatchInput queries, std::size_t top_k) noexcept {
  return search_batch_call(record.store, queries, top_k, {WorkerRequest::Mode::calling_thread, std::nullopt},
                           BatchResultForm::lists);
}

// parallel_search_batch(vectors, top_k, n_threads=None): search_batch's
// work by worker threads.
constexpr auto kParallelSearchBatch =
    method("parallel_search_batch", Receiver::shared_store, kQueriesParameter, kBatchTopKParameter,
           kBatchThreadsParameter);
Result<Ref> parallel_search_many(PyVectorstore& record, QueryBatchInput queries, std::size_t top_k,
                                 std::optional<std::size_t> n_threads) noexcept {
  return search_batch_call(record.store, queries, top_k, {WorkerRequest::Mode::per_call, n_threads},
                           BatchResultForm::lists);
}

// search_arrays(vectors, top_k, n_threads=None, *, where=None) -> (scores,
// ids): the same as arrays, by workers unless the plan has one only, over
// the entries `where` selects.
constexpr auto kSearchArrays = method("search_arrays", Receiver::shared_store, kQueriesParameter,
                                      kBatchTopKParameter, kBatchThreadsParameter, kWhereParameter);
Result<Ref> search_arrays(PyVectorstore& record, QueryBatchInput queries, std::size_t top_k,
                          std::optional<std::size_t> n_threads, Argument where) noexcept {
  const std::size_t entries = record.store.len();
  TRY_ASSIGN(const std::optional<EntryMask> mask,
             where.convert([entries](PyObject* given) { return to_entry_mask(given, entries); }));
  return search_batch_call(record.store, queries, top_k, {WorkerRequest::Mode::per_call_unless_one, n_threads},
                           BatchResultForm::arrays, mask ? &*mask : nullptr);
}

// append(vectors, ids=None): exclusive access, held while the rows convert.
constexpr auto kAppend = method("append", Receiver::exclusive_store, kRowsParameter, kIdsParameter);
Result<Ref> append(PyVectorstore& record, Argument vectors, Argument ids) noexcept {
  TRY(append_rows(record.store, vectors, ids));
  return Ref::borrow(Py_None);
}

// Vectorstore.from_array(vectors, ids=None, *, first_pass="int8")
constexpr auto kFromArray =
    method("from_array", Receiver::type, kRowsParameter, kIdsParameter, kFirstPassParameter);
Result<Ref> from_array(PyTypeObject* type, Argument vectors, Argument ids, Argument first_pass) noexcept {
  TRY_ASSIGN(Vectorstore store, store_from_rows(vectors, ids, first_pass));
  return new_instance(type, std::move(store));
}

// to_arrays() -> (vectors, ids): every entry as numpy arrays, as from_array
// takes them back.
constexpr auto kToArrays = method("to_arrays", Receiver::shared_store);
Result<Ref> to_arrays(PyVectorstore& record) noexcept { return store_to_arrays(record.store, kToArrays.name); }

PyMethodDef vectorstore_methods[] = {
    method_def<kInsert, insert>(),
    method_def<kSearch, search_one>(),
    method_def<kParallelSearch, parallel_search_one>(),
    method_def<kSearchBatch, search_many>(),
    method_def<kParallelSearchBatch, parallel_search_many>(),
    method_def<kSearchArrays, search_arrays>(),
    method_def<kAppend, append>(),
    method_def<kFromArray, from_array>(),
    method_def<kToArrays, to_arrays>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef vectorstore_getset[] = {
    {kVectorSize.name, getter_entry<kVectorSize, vector_size_of>, nullptr, "", nullptr},
    {kFirstPass.name, getter_entry<kFirstPass, first_pass_of>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot vectorstore_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTextSignature<kNew>.text)},
    {Py_tp_new, reinterpret_cast<void*>(new_entry<kNew, make_store>)},
    {Py_mp_length, reinterpret_cast<void*>(length_entry<kLength, length_of>)},
    {Py_tp_repr, reinterpret_cast<void*>(object_slot_entry<kRepr, repr_of>)},
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

Result<PyObject*> vectorstore_type() noexcept {
  PyObject* type = get_or_make(vectorstore_type_slot, [] { return PyType_FromSpec(&vectorstore_spec); });
  if (type == nullptr) return Error::fetch();
  return type;
}

}  // namespace tessaly
