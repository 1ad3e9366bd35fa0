#include "engine/runtime/worker_threads.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "engine/base/array.hpp"
#include "engine/base/decimal.hpp"
#include "engine/base/message_texts.hpp"

namespace tessaly {
namespace {

enum class WorkerStatus { running, ok, failed, out_of_memory, interrupted };

struct WorkerGroup;

struct WorkerStart {
  WorkerGroup* group;
  std::size_t index;
};

// What the calling thread and its workers share. Each holds a reference: a
// worker that could not be joined may still be leaving after the call has
// returned, and must find this alive.
struct WorkerGroup {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t ended;  // signalled whenever a worker ends; on the monotonic clock
  std::size_t running = 0;
  std::atomic<std::size_t> references{1};
  FunctionRef<EngineResult<void>(std::size_t)> work;
  Array<WorkerStatus> status;
  Array<WorkerStart> starts;

  explicit WorkerGroup(FunctionRef<EngineResult<void>(std::size_t)> task) noexcept : work(task) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&ended, &attributes);
    pthread_condattr_destroy(&attributes);
  }
  ~WorkerGroup() {
    pthread_cond_destroy(&ended);
    pthread_mutex_destroy(&lock);
  }

  void release() noexcept {
    if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  void worker_started() noexcept {
    references.fetch_add(1, std::memory_order_relaxed);
    pthread_mutex_lock(&lock);
    ++running;
    pthread_mutex_unlock(&lock);
  }

  void worker_ended(std::size_t index, WorkerStatus outcome) noexcept {
    pthread_mutex_lock(&lock);
    status[index] = outcome;
    --running;
    pthread_cond_broadcast(&ended);
    pthread_mutex_unlock(&lock);
  }

  void wait_all_ended() noexcept {
    pthread_mutex_lock(&lock);
    while (running != 0) pthread_cond_wait(&ended, &lock);
    pthread_mutex_unlock(&lock);
  }

  // Waits for worker `index` to end, asking `interruption` between waits of
  // at most its poll interval.
  void wait_ended(std::size_t index, Interruption& interruption) noexcept {
    pthread_mutex_lock(&lock);
    while (status[index] == WorkerStatus::running) {
      pthread_mutex_unlock(&lock);
      interruption.requested();
      pthread_mutex_lock(&lock);
      if (status[index] != WorkerStatus::running) break;
      const auto wake = std::chrono::steady_clock::now() + Interruption::kPollInterval;
      const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(wake.time_since_epoch());
      timespec until{};
      until.tv_sec = static_cast<time_t>(since_epoch.count() / 1000000000);
      until.tv_nsec = static_cast<long>(since_epoch.count() % 1000000000);
      pthread_cond_timedwait(&ended, &lock, &until);
    }
    pthread_mutex_unlock(&lock);
  }
};

WorkerStatus run_guarded(const WorkerGroup& group, std::size_t index) noexcept {
  try {
    const EngineResult<void> done = group.work(index);
    if (done.ok()) return WorkerStatus::ok;
    // An internal failure was reported on this thread when it started.
    switch (done.error().kind) {
      case EngineError::Kind::out_of_memory: return WorkerStatus::out_of_memory;
      case EngineError::Kind::interrupted: return WorkerStatus::interrupted;
      default: return WorkerStatus::failed;
    }
  } catch (...) {  // nothing here throws; a foreign exception still must not end the process
    write_failure_report(kNativeCodePanicked, std::source_location::current());
    return WorkerStatus::failed;
  }
}

extern "C" void* worker_main(void* arg) {
  const WorkerStart start = *static_cast<WorkerStart*>(arg);
  // The last touch of anything the caller lent us is inside work(); after
  // worker_ended() the caller may already have returned.
  const WorkerStatus outcome = run_guarded(*start.group, start.index);
  start.group->worker_ended(start.index, outcome);
  start.group->release();
  return nullptr;
}

std::size_t configured_stack_size() noexcept {
  static const std::size_t size = parse_stack_size(std::getenv(kStackSizeVariable));
  return size;
}

std::size_t worker_stack_size() noexcept {
  const long minimum = sysconf(_SC_THREAD_STACK_MIN);
  std::size_t floor = minimum > 0 ? static_cast<std::size_t>(minimum) : 16384;
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer's frames are several times larger; the selection's
  // sort needs about 64 KiB there.
  floor = std::max<std::size_t>(floor, 256 << 10);
#endif
  return std::max(configured_stack_size(), floor);
}

// Sets the stack size; a size the system calls invalid is rounded up to a
// whole number of pages and tried once more.
int set_stack_size(pthread_attr_t* attr, std::size_t size) noexcept {
  int rc = pthread_attr_setstacksize(attr, size);
  if (rc != EINVAL) return rc;
  const long page_value = sysconf(_SC_PAGESIZE);
  const std::size_t page = page_value > 0 ? static_cast<std::size_t>(page_value) : 4096;
  if (size > static_cast<std::size_t>(-1) - page) return rc;
  return pthread_attr_setstacksize(attr, (size + page - 1) / page * page);
}

// Starts one worker; returns 0 or the system's error number.
int start_worker(pthread_t* thread, WorkerStart* start) noexcept {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  rc = set_stack_size(&attr, worker_stack_size());
  if (rc == 0) {
    start->group->worker_started();
    rc = pthread_create(thread, &attr, worker_main, start);
    if (rc != 0) {
      start->group->worker_ended(start->index, WorkerStatus::ok);
      start->group->release();
    }
  }
  pthread_attr_destroy(&attr);
  return rc;
}

// What ends a worker's part of the call, as the call's failure.
EngineResult<void> worker_outcome(WorkerStatus status) noexcept {
  switch (status) {
    case WorkerStatus::ok: return {};
    case WorkerStatus::out_of_memory: return EngineError::out_of_memory();
    case WorkerStatus::interrupted: return EngineError::interrupted();
    default: return EngineError::internal(kWorkerFailed);
  }
}

}  // namespace

std::size_t parse_stack_size(const char* text) noexcept {
  if (text == nullptr) return kDefaultStackSize;
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  const auto value = parse_decimal(digits);
  if (!value || *value > static_cast<std::uint64_t>(static_cast<std::size_t>(-1))) {
    return kDefaultStackSize;
  }
  return static_cast<std::size_t>(*value);
}

Message describe_system_error(int code) noexcept {
  char buffer[256];
  const char* text = strerror_r(code, buffer, sizeof buffer);
  const char* name = strerrorname_np(code);
  Message rendered(text);
  rendered << " (os error " << code;
  if (name != nullptr) rendered << ", " << name;
  return rendered << ")";
}

EngineResult<void> run_workers(std::size_t count, FunctionRef<EngineResult<void>(std::size_t)> work,
                               FunctionRef<void(std::size_t)> collect, Interruption* interruption) noexcept {
  // Everything that can fail to allocate is made before the first start, so
  // that nothing below can leave a started worker unwaited for.
  auto* group = new (std::nothrow) WorkerGroup(work);
  if (group == nullptr) return EngineError::out_of_memory();
  Array<pthread_t> threads;
  if (!group->status.try_resize(count) || !group->starts.try_reserve(count) ||
      !threads.try_reserve(count)) {
    group->release();
    return EngineError::out_of_memory();
  }
  for (std::size_t i = 0; i < count; ++i) group->starts.push_back_reserved({group, i});

  // The first failure met wins: a refused start, then each worker in turn.
  EngineResult<void> outcome;
  for (std::size_t i = 0; i < count; ++i) {
    pthread_t thread;
    const int spawn_error = start_worker(&thread, &group->starts[i]);
    if (spawn_error != 0) {
      outcome = EngineError::internal(Message(kFailedToSpawnThread)
                                      << describe_system_error(spawn_error).view());
      break;
    }
    threads.push_back_reserved(thread);
  }
  for (std::size_t i = 0; i < threads.size(); ++i) {
    if (interruption != nullptr) group->wait_ended(i, *interruption);
    const int join_error = pthread_join(threads[i], nullptr);
    if (join_error != 0) {
      pthread_detach(threads[i]);  // the group wait below still covers it
      if (outcome.ok()) {
        outcome = EngineError::internal(Message(kFailedToJoinThread)
                                        << describe_system_error(join_error).view());
      }
      continue;
    }
    if (!outcome.ok()) continue;
    outcome = worker_outcome(group->status[i]);
    if (outcome.ok()) collect(i);
  }
  group->wait_all_ended();
  group->release();
  return outcome;
}

}  // namespace tessaly
