#include "engine/worker_threads.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <new>
#include <vector>

#include "engine/decimal.hpp"
#include "engine/panic.hpp"

namespace tessaly {
namespace {

enum class WorkerStatus { ok, failed, out_of_memory };

// What the calling thread and its workers share. Workers hold it by
// shared_ptr: a worker that could not be joined may still be leaving after
// the call has returned, and must find this alive.
struct WorkerGroup {
  std::mutex lock;
  std::condition_variable all_ended;
  std::size_t running = 0;
  std::vector<WorkerStatus> status;

  void worker_ended(std::size_t index, WorkerStatus outcome) noexcept {
    std::lock_guard<std::mutex> hold(lock);
    status[index] = outcome;
    if (--running == 0) all_ended.notify_all();
  }

  void wait_all_ended() {
    std::unique_lock<std::mutex> hold(lock);
    all_ended.wait(hold, [this] { return running == 0; });
  }
};

struct WorkerStart {
  std::shared_ptr<WorkerGroup> group;
  const std::function<void(std::size_t)>* work;
  std::size_t index;
};

WorkerStatus run_guarded(const std::function<void(std::size_t)>& work,
                         std::size_t index) noexcept {
  try {
    work(index);
    return WorkerStatus::ok;
  } catch (const Panic&) {
    return WorkerStatus::failed;  // already reported where it started
  } catch (const std::bad_alloc&) {
    return WorkerStatus::out_of_memory;
  } catch (...) {
    write_failure_report("native code panicked", std::source_location::current());
    return WorkerStatus::failed;
  }
}

extern "C" void* worker_main(void* arg) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(arg));
  // The last touch of anything the caller lent us is inside work(); after
  // worker_ended() the caller may already have returned.
  const WorkerStatus outcome = run_guarded(*start->work, start->index);
  start->group->worker_ended(start->index, outcome);
  return nullptr;
}

std::size_t configured_stack_size() noexcept {
  static const std::size_t size = parse_stack_size(std::getenv(kStackSizeVariable));
  return size;
}

std::size_t worker_stack_size() noexcept {
  const long minimum = sysconf(_SC_THREAD_STACK_MIN);
  const std::size_t floor = minimum > 0 ? static_cast<std::size_t>(minimum) : 16384;
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
int start_worker(pthread_t* thread, std::unique_ptr<WorkerStart> start) noexcept {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  rc = set_stack_size(&attr, worker_stack_size());
  if (rc == 0) rc = pthread_create(thread, &attr, worker_main, start.get());
  pthread_attr_destroy(&attr);
  if (rc == 0) start.release();  // now owned by the worker
  return rc;
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

std::string describe_system_error(int code) {
  char buffer[256];
  const char* text = strerror_r(code, buffer, sizeof buffer);
  const char* name = strerrorname_np(code);
  std::string rendered = text;
  rendered += " (os error " + std::to_string(code);
  if (name != nullptr) rendered += std::string(", ") + name;
  rendered += ")";
  return rendered;
}

void run_workers(std::size_t count, const std::function<void(std::size_t)>& work,
                 const std::function<void(std::size_t)>& collect) {
  auto group = std::make_shared<WorkerGroup>();
  group->status.assign(count, WorkerStatus::ok);
  // Everything that can fail to allocate is made before the first start, so
  // that nothing below can leave a started worker unwaited for.
  std::vector<std::unique_ptr<WorkerStart>> starts;
  starts.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    starts.push_back(std::make_unique<WorkerStart>(WorkerStart{group, &work, i}));
  }
  std::vector<pthread_t> threads;
  threads.reserve(count);

  int spawn_error = 0;
  for (std::size_t i = 0; i < count; ++i) {
    {
      std::lock_guard<std::mutex> hold(group->lock);
      ++group->running;
    }
    pthread_t thread;
    spawn_error = start_worker(&thread, std::move(starts[i]));
    if (spawn_error != 0) {
      std::lock_guard<std::mutex> hold(group->lock);
      --group->running;
      break;
    }
    threads.push_back(thread);
  }

  // Wait in chunk order; after the first failure the rest are only waited for.
  bool failed = spawn_error != 0;
  bool worker_failed = false;
  int join_error = 0;
  std::exception_ptr raised;  // out of memory, in a worker or collecting
  for (std::size_t i = 0; i < threads.size(); ++i) {
    const int rc = pthread_join(threads[i], nullptr);
    if (rc != 0) {
      pthread_detach(threads[i]);  // the group wait below still covers it
      if (!failed) join_error = rc;
      failed = true;
      continue;
    }
    if (failed) continue;
    if (group->status[i] == WorkerStatus::failed) {
      worker_failed = failed = true;
    } else if (group->status[i] == WorkerStatus::out_of_memory) {
      raised = std::make_exception_ptr(std::bad_alloc());
      failed = true;
    } else {
      try {
        collect(i);
      } catch (...) {
        raised = std::current_exception();
        failed = true;
      }
    }
  }
  group->wait_all_ended();

  if (spawn_error != 0) panic("failed to spawn thread: " + describe_system_error(spawn_error));
  if (worker_failed) panic("called `Result::unwrap()` on an `Err` value: Any { .. }");
  if (join_error != 0) panic("failed to join thread: " + describe_system_error(join_error));
  if (raised) std::rethrow_exception(raised);
}

}  // namespace tessaly
