#include "engine/panic.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace tessaly {
namespace {

// The thread that loaded the process is "main"; every other thread,
// workers included, carries no name.
std::string_view thread_name(long tid) noexcept {
  return tid == static_cast<long>(getpid()) ? "main" : "<unnamed>";
}

}  // namespace

void write_failure_report(std::string_view message, std::source_location where) noexcept {
  static std::mutex lock;
  static std::atomic<bool> noted{false};
  const long tid = syscall(SYS_gettid);
  const std::string_view file = where.file_name();
  std::lock_guard<std::mutex> hold(lock);
  std::fprintf(stderr, "thread '%.*s' (%ld) panicked at %.*s:%u:%u:\n%.*s\n",
               static_cast<int>(thread_name(tid).size()), thread_name(tid).data(), tid,
               static_cast<int>(file.size()), file.data(), where.line(), where.column(),
               static_cast<int>(message.size()), message.data());
  if (!noted.exchange(true)) {
    std::fputs("note: run the process under gdb with 'catch throw' to obtain a backtrace\n",
               stderr);
  }
  std::fflush(stderr);
}

void panic(std::string message, std::source_location where) {
  write_failure_report(message, where);
  throw Panic(std::move(message));
}

void resume_panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace tessaly
