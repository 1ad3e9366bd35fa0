// A call's arguments: matched to an entry point's parameters, and the
// errors of converting them named after the argument.
//
// Every parameter may be given by position or by keyword; the first
// `required_count` must be given. Slots receive borrowed references (the
// caller's argument array, tuple or dict keeps the objects alive) and stay
// null for optional parameters that were not given.
#pragma once

#include <cstddef>
#include <span>

#include "binding/error.hpp"
#include "binding/python.hpp"

namespace tessaly {

struct CallSignature {
  const char* function_name;
  const char* class_name;  // null for a module-level function
  std::size_t parameter_count;
  const char* parameter_names[3];
  std::size_t required_count;

  std::span<const char* const> parameters() const noexcept {
    return {parameter_names, parameter_count};
  }
};

inline constexpr CallSignature kCosineSimilaritySignature{
    "cosine_similarity", nullptr, 2, {"vec1", "vec2"}, 2};
inline constexpr CallSignature kInsertSignature{"insert", "Vectorstore", 2, {"vector", "id"}, 2};
inline constexpr CallSignature kSearchSignature{
    "search", "Vectorstore", 2, {"vector", "top_k"}, 2};
inline constexpr CallSignature kParallelSearchSignature{
    "parallel_search", "Vectorstore", 3, {"vector", "top_k", "n_threads"}, 2};
inline constexpr CallSignature kSearchBatchSignature{
    "search_batch", "Vectorstore", 2, {"vectors", "top_k"}, 2};
inline constexpr CallSignature kParallelSearchBatchSignature{
    "parallel_search_batch", "Vectorstore", 3, {"vectors", "top_k", "n_threads"}, 2};
inline constexpr CallSignature kSearchArraysSignature{
    "search_arrays", "Vectorstore", 3, {"vectors", "top_k", "n_threads"}, 2};
inline constexpr CallSignature kAppendSignature{"append", "Vectorstore", 2, {"vectors", "ids"}, 1};
inline constexpr CallSignature kFromArraySignature{"from_array", "Vectorstore", 2, {"vectors", "ids"}, 1};
inline constexpr CallSignature kNewSignature{
    "__new__", "Vectorstore", 2, {"vector_size", "vectors"}, 1};
inline constexpr CallSignature kModuleGetattrSignature{"__getattr__", nullptr, 1, {"name"}, 1};
inline constexpr CallSignature kSearchArgumentsSignature{
    "_search_arguments", nullptr, 3, {"vector_size", "vector", "top_k"}, 3};
inline constexpr CallSignature kSearchBatchArgumentsSignature{
    "_search_batch_arguments", nullptr, 3, {"vector_size", "vectors", "top_k"}, 3};
inline constexpr CallSignature kIdArraySignature{"_id_array", nullptr, 1, {"ids"}, 1};
inline constexpr CallSignature kCheckIdCountSignature{
    "_check_id_count", nullptr, 2, {"id_count", "row_count"}, 2};

// The fast calling convention: keyword values follow the positional ones in
// `args`, in the order of the `kwnames` tuple (or null).
Result<void> parse_fastcall_args(const CallSignature& signature, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames,
                                 std::span<PyObject*> slots) noexcept;

// The argument tuple and keyword dict (or null) of tp_new.
Result<void> parse_tuple_dict_args(const CallSignature& signature, PyObject* args,
                                   PyObject* kwargs, std::span<PyObject*> slots) noexcept;

// A failed conversion of parameter `name`: an exact TypeError is replaced
// by TypeError("argument 'name': " + its text), keeping its cause and
// suppressing its context; any other error passes unchanged.
Error wrap_argument_error(const char* name, Error error) noexcept;

// Converts one argument with `convert`, rewriting its failure for `name`.
template <class Convert>
auto convert_argument(const char* name, PyObject* object, Convert convert)
    -> decltype(convert(object)) {
  auto converted = convert(object);
  if (!converted.ok()) return wrap_argument_error(name, std::move(converted).error());
  return converted;
}

}  // namespace tessaly
