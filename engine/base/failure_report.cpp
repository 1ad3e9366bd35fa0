#include "engine/base/failure_report.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace tessaly {
namespace {

// The thread that loaded the process is "main"; every other thread,
// workers included, carries no name.
std::string_view thread_name(long tid) noexcept {
  return tid == static_cast<long>(getpid()) ? "main" : "<unnamed>";
}

void write(std::string_view text) noexcept {
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace

void write_failure_report(std::string_view message, std::source_location where,
                          std::string_view more, std::string_view rest) noexcept {
  static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  static std::atomic<bool> noted{false};
  const long tid = syscall(SYS_gettid);
  pthread_mutex_lock(&lock);
  std::fprintf(stderr, "thread '%s' (%ld) panicked at %s:%u:%u:\n", thread_name(tid).data(), tid,
               where.file_name(), static_cast<unsigned>(where.line()),
               static_cast<unsigned>(where.column()));
  write(message);
  write(more);
  write(rest);
  write("\n");
  if (!noted.exchange(true)) {
    write("note: run the process under gdb with 'break tessaly::write_failure_report' to obtain a backtrace\n");
  }
  std::fflush(stderr);
  pthread_mutex_unlock(&lock);
}

}  // namespace tessaly
