#include "binding/conversion_functions.hpp"

#include <cstdint>
#include <cstring>

#include "binding/arguments.hpp"
#include "binding/bulk_append.hpp"
#include "binding/convert.hpp"
#include "binding/entry_frame.hpp"
#include "binding/message_texts.hpp"
#include "binding/numpy_arrays.hpp"
#include "binding/query_batch.hpp"
#include "engine/search/search.hpp"

namespace tessaly {
namespace {

// (array, top_k)
Result<Ref> with_top_k(const Ref& array, std::size_t top_k) noexcept {
  TRY_ASSIGN(Ref count, require(PyLong_FromSize_t(top_k)));
  return require(PyTuple_Pack(2, array.get(), count.get()));
}

// _search_arguments(vector_size, vector, top_k) -> (query, top_k): search's
// conversions, then its length check.
PyObject* search_arguments_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[3] = {};
    TRY(parse_fastcall_args(kSearchArgumentsSignature, args, nargs, kwnames, slots));
    TRY_ASSIGN(const std::size_t vector_size, convert_argument("vector_size", slots[0], to_size));
    TRY_ASSIGN(const FloatVector query, convert_argument("vector", slots[1], to_float_vector));
    TRY_ASSIGN(const std::size_t top_k, convert_argument("top_k", slots[2], to_size));
    if (query.size() != vector_size) return query_length_error(query.size(), vector_size);
    TRY_ASSIGN(Ref numpy, import_numpy());
    void* data = nullptr;
    TRY_ASSIGN(Ref array, empty_array(numpy.get(), query.size(), "float32", data));
    if (query.size() != 0) std::memcpy(data, query.data(), query.size() * sizeof(float));
    return with_top_k(array, top_k);
  });
}

// _search_batch_arguments(vector_size, vectors, top_k) -> (queries, top_k):
// search_batch's conversions, then its length check.
PyObject* search_batch_arguments_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[3] = {};
    TRY(parse_fastcall_args(kSearchBatchArgumentsSignature, args, nargs, kwnames, slots));
    TRY_ASSIGN(const std::size_t vector_size, convert_argument("vector_size", slots[0], to_size));
    TRY_ASSIGN(const QueryBatchInput queries, convert_argument("vectors", slots[1], to_query_batch));
    TRY_ASSIGN(const std::size_t top_k, convert_argument("top_k", slots[2], to_size));
    if (const auto length = queries.wrong_length(vector_size)) return query_length_error(*length, vector_size);
    TRY_ASSIGN(Ref numpy, import_numpy());
    void* data = nullptr;
    TRY_ASSIGN(Ref array, empty_array(numpy.get(), queries.size(), vector_size, "float32", data));
    queries.copy_all(static_cast<float*>(data));
    return with_top_k(array, top_k);
  });
}

// _id_array(ids) -> uint64 array; an id fails as insert's argument `id`.
PyObject* id_array_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[1] = {};
    TRY(parse_fastcall_args(kIdArraySignature, args, nargs, kwnames, slots));
    Ref array;
    auto room = [&](std::size_t count) -> Result<std::uint64_t*> {
      TRY_ASSIGN(Ref numpy, import_numpy());
      void* data = nullptr;
      TRY_ASSIGN(array, empty_array(numpy.get(), count, "uint64", data));
      return static_cast<std::uint64_t*>(data);
    };
    TRY(read_ids(slots[0], "id", room));
    return array;
  });
}

// _check_id_count(id_count, row_count) -> None
PyObject* check_id_count_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    PyObject* slots[2] = {};
    TRY(parse_fastcall_args(kCheckIdCountSignature, args, nargs, kwnames, slots));
    TRY_ASSIGN(const std::size_t ids, convert_argument("id_count", slots[0], to_size));
    TRY_ASSIGN(const std::size_t rows, convert_argument("row_count", slots[1], to_size));
    if (ids != rows) return Error::value_error(id_count_text(ids, rows));
    return Ref::borrow(Py_None);
  });
}

template <class Function>
PyCFunction fastcall(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

// METH_STATIC, as cosine_similarity: no self, and __self__ reads as None.
PyMethodDef conversion_function_defs[] = {
    {"_search_arguments", fastcall(search_arguments_py), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_search_arguments(vector_size, vector, top_k)\n--\n\n"},
    {"_search_batch_arguments", fastcall(search_batch_arguments_py), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_search_batch_arguments(vector_size, vectors, top_k)\n--\n\n"},
    {"_id_array", fastcall(id_array_py), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "_id_array(ids)\n--\n\n"},
    {"_check_id_count", fastcall(check_id_count_py), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_check_id_count(id_count, row_count)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tessaly
