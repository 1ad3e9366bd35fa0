#include "binding/batch_call.hpp"

#include "binding/convert.hpp"
#include "binding/long_call.hpp"
#include "binding/numpy_arrays.hpp"

namespace tessaly {
namespace {

// Where the engine writes: memory of ours for lists, or new numpy arrays.
class Results {
 public:
  static Result<Results> make(BatchResultForm form, std::size_t rows, std::size_t width) noexcept {
    Results made(form, rows, width);
    if (form == BatchResultForm::arrays) {
      TRY_ASSIGN(Ref numpy, import_numpy("search_arrays"));
      void* scores = nullptr;
      void* ids = nullptr;
      TRY_ASSIGN(made.scores_array_, empty_array(numpy.get(), rows, width, "float32", scores));
      TRY_ASSIGN(made.ids_array_, empty_array(numpy.get(), rows, width, "uint64", ids));
      TRY_ASSIGN(scores, array_data(made.scores_array_.get(), rows, width, "float32"));
      made.out_ = {static_cast<float*>(scores), static_cast<std::uint64_t*>(ids), width};
      return made;
    }
    if (width != 0 && rows > SIZE_MAX / width) return Error::no_memory();
    if (!made.scores_.try_reserve(rows * width) || !made.ids_.try_reserve(rows * width)) return Error::no_memory();
    made.out_ = {made.scores_.data(), made.ids_.data(), width};
    return made;
  }

  ResultRows rows() const noexcept { return out_; }

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

}  // namespace

Result<Ref> search_batch_call(const Vectorstore& store, QueryBatchInput& queries, std::size_t top_k,
                              WorkerRequest workers, BatchResultForm form, const EntryMask* mask) noexcept {
  const QueryRows rows = queries.rows();
  TRY_ASSIGN(const BatchSearch batch, BatchSearch::plan(store, rows, top_k, workers, best_kernel_path(), mask));
  TRY_ASSIGN(Results results, Results::make(form, batch.rows(), batch.width()));
  auto work = [&](Interruption& interruption) { return batch.run(results.rows(), interruption); };
  TRY(without_interpreter_lock(work));
  return std::move(results).to_python();
}

}  // namespace tessaly
