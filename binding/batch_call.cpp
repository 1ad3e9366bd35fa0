#include "binding/batch_call.hpp"

#include "binding/arguments.hpp"
#include "binding/array_interface.hpp"
#include "binding/convert.hpp"
#include "binding/long_call.hpp"
#include "binding/message_texts.hpp"
#include "binding/numpy_arrays.hpp"
#include "binding/query_batch.hpp"
#include "engine/runtime/worker_plan.hpp"
#include "engine/search/search.hpp"

namespace tessaly {
namespace {

// Where the engine writes: memory of ours for lists, or new numpy arrays.
class Results {
 public:
  static Result<Results> make(BatchResultForm form, std::size_t rows, std::size_t width) noexcept {
    Results made(form, rows, width);
    if (form == BatchResultForm::arrays) {
      TRY_ASSIGN(Ref numpy, import_numpy());
      void* scores = nullptr;
      void* ids = nullptr;
      TRY_ASSIGN(made.scores_array_, empty_array(numpy.get(), rows, width, "float32", scores));
      TRY_ASSIGN(made.ids_array_, empty_array(numpy.get(), rows, width, "uint64", ids));
      made.out_ = {static_cast<float*>(scores), static_cast<std::uint64_t*>(ids), width};
      return made;
    }
    if (width != 0 && rows > SIZE_MAX / width) return Error::no_memory();
    if (!made.scores_.try_reserve(rows * width) || !made.ids_.try_reserve(rows * width)) return Error::no_memory();
    made.out_ = {made.scores_.data(), made.ids_.data(), width};
    return made;
  }

  ResultRows rows_from(std::size_t first) const noexcept {
    return {out_.scores + first * out_.width, out_.ids + first * out_.width, out_.width};
  }

  Result<Ref> to_python() && noexcept {
    if (form_ == BatchResultForm::lists) return result_rows_to_python(out_.scores, out_.ids, rows_, out_.width);
    return require(PyTuple_Pack(2, scores_array_.get(), ids_array_.get()));
  }

 private:
  Results(BatchResultForm form, std::size_t rows, std::size_t width) noexcept
      : form_(form), rows_(rows), out_{nullptr, nullptr, width} {}

  BatchResultForm form_;
  std::size_t rows_;
  ResultRows out_;
  Array<float> scores_;
  Array<std::uint64_t> ids_;
  Ref scores_array_;
  Ref ids_array_;
};

// Whether the batch runs on the calling thread alone.
bool on_calling_thread(const Vectorstore& store, BatchWorkers workers,
                       std::optional<std::size_t> n_threads) noexcept {
  switch (workers) {
    case BatchWorkers::calling_thread: return true;
    case BatchWorkers::per_call: return false;
    case BatchWorkers::as_requested: return store.len() == 0 || plan_workers(store.len(), n_threads).workers == 1;
  }
  return true;
}

}  // namespace

Result<Ref> search_batch_call(const Vectorstore& store, PyObject* vectors, PyObject* top_k_given,
                              PyObject* n_threads_given, BatchWorkers workers, BatchResultForm form) noexcept {
  TRY_ASSIGN(QueryBatchInput queries, convert_argument("vectors", vectors, to_query_batch));
  TRY_ASSIGN(const std::size_t top_k, convert_argument("top_k", top_k_given, to_size));
  std::optional<std::size_t> n_threads;
  if (workers != BatchWorkers::calling_thread) {
    TRY_ASSIGN(n_threads, convert_argument("n_threads", n_threads_given, to_optional_size));
  }
  if (const auto length = queries.wrong_length(store.vector_size())) return query_length_error(*length, store.vector_size());
  TRY_ASSIGN(Results results, Results::make(form, queries.size(), result_width(top_k, store.len())));
  const bool alone = on_calling_thread(store, workers, n_threads);
  const std::size_t slab = queries.slab_size();
  for (std::size_t first = 0; first < queries.size(); first += slab) {
    const std::size_t count = std::min(slab, queries.size() - first);
    TRY_ASSIGN(const QueryBatch batch, queries.slab(first, count));
    const ResultRows out = results.rows_from(first);
    auto work = [&](Interruption& interruption) {
      return alone ? search_batch(store, batch, top_k, out, interruption)
                   : parallel_search_batch(store, batch, top_k, n_threads, out, interruption);
    };
    TRY(without_interpreter_lock(work));
  }
  return std::move(results).to_python();
}

}  // namespace tessaly
