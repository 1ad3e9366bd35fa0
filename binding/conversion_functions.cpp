#include "binding/conversion_functions.hpp"

#include <cstdint>
#include <cstring>

#include "binding/id_source.hpp"
#include "binding/message_texts.hpp"
#include "binding/method_entry.hpp"
#include "binding/method_table.hpp"
#include "binding/numpy_arrays.hpp"
#include "binding/parameters.hpp"
#include "binding/where_mask.hpp"
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
constexpr auto kSearchArguments =
    method("_search_arguments", Receiver::none, kVectorSizeParameter, kQueryParameter, kTopKParameter);
Result<Ref> search_arguments(std::size_t vector_size, FloatVector query, std::size_t top_k) noexcept {
  if (query.size() != vector_size) return query_length_error(query.size(), vector_size);
  TRY_ASSIGN(Ref numpy, import_numpy("search_arrays"));
  void* data = nullptr;
  TRY_ASSIGN(Ref array, empty_array(numpy.get(), query.size(), "float32", data));
  if (query.size() != 0) std::memcpy(data, query.data(), query.size() * sizeof(float));
  return with_top_k(array, top_k);
}

// _search_batch_arguments(vector_size, vectors, top_k) -> (queries, top_k):
// search_batch's conversions, then its length check.
constexpr auto kSearchBatchArguments =
    method("_search_batch_arguments", Receiver::none, kVectorSizeParameter, kQueriesParameter,
           kBatchTopKParameter);
Result<Ref> search_batch_arguments(std::size_t vector_size, QueryBatchInput queries, std::size_t top_k) noexcept {
  if (const auto length = queries.wrong_length(vector_size)) return query_length_error(*length, vector_size);
  TRY_ASSIGN(Ref numpy, import_numpy("search_arrays"));
  void* data = nullptr;
  TRY_ASSIGN(Ref array, empty_array(numpy.get(), queries.size(), vector_size, "float32", data));
  queries.copy_all(static_cast<float*>(data));
  return with_top_k(array, top_k);
}

// _id_array(ids) -> uint64 array; each id fails as insert's own.
constexpr auto kIdArray = method("_id_array", Receiver::none, Raw{"ids"});
Result<Ref> id_array(Argument ids) noexcept {
  Ref array;
  auto room = [&](std::size_t count) -> Result<std::uint64_t*> {
    TRY_ASSIGN(Ref numpy, import_numpy("search_arrays"));
    void* data = nullptr;
    TRY_ASSIGN(array, empty_array(numpy.get(), count, "uint64", data));
    return static_cast<std::uint64_t*>(data);
  };
  TRY(read_all_ids(ids, kIdParameter.name, room));
  return array;
}

// _check_id_count(id_count, row_count) -> None
constexpr auto kCheckIdCount =
    method("_check_id_count", Receiver::none, Converted<to_size>{"id_count"}, Converted<to_size>{"row_count"});
Result<Ref> check_id_count(std::size_t ids, std::size_t rows) noexcept {
  if (ids != rows) return Error::value_error(id_count_text(ids, rows));
  return Ref::borrow(Py_None);
}

// _first_pass(first_pass) -> "int8" or None: from_array's check of it.
constexpr auto kFirstPassArgument = method("_first_pass", Receiver::none, Raw{kFirstPassParameter.name});
Result<Ref> first_pass_argument(Argument first_pass) noexcept {
  TRY_ASSIGN(const CompactCopy copy, first_pass.convert(to_compact_copy));
  return first_pass_to_python(copy);
}

// _where_argument(entries, where) -> None or a numpy bool array:
// search_arrays' check of its mask, for a store of `entries` entries.
constexpr auto kWhereArgument =
    method("_where_argument", Receiver::none, Converted<to_size>{"entries"}, Raw{kWhereParameter.name});
Result<Ref> where_argument(std::size_t entries, Argument where) noexcept {
  TRY_ASSIGN(const std::optional<EntryMask> mask,
             where.convert([entries](PyObject* given) { return to_entry_mask(given, entries); }));
  if (!mask) return Ref::borrow(Py_None);
  TRY_ASSIGN(Ref numpy, import_numpy("search_arrays"));
  return require(PyObject_CallMethod(numpy.get(), "asarray", "O", where.object));
}

}  // namespace

PyMethodDef conversion_function_defs[] = {
    method_def<kSearchArguments, search_arguments>(),
    method_def<kSearchBatchArguments, search_batch_arguments>(),
    method_def<kIdArray, id_array>(),
    method_def<kCheckIdCount, check_id_count>(),
    method_def<kFirstPassArgument, first_pass_argument>(),
    method_def<kWhereArgument, where_argument>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tessaly
