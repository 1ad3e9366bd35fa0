// Internal failures: broken invariants and failed thread operations.
//
// An internal failure is thrown as `Panic` and caught only by the entry frame
// of the Python binding (or by a worker thread's own wrapper), never by the
// code in between. When one starts, a report goes to standard error at once,
// before any frame sees it, so the report names the place it started.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

namespace tessaly {

class Panic {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes the failure report for `message` and throws `Panic`.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Throws `Panic` without a report: for a failure already reported elsewhere.
[[noreturn]] void resume_panic(std::string message);

// "thread '<name>' (<id>) panicked at <file>:<line>:<column>:" and the
// message; the first report of the process adds a note on backtraces.
void write_failure_report(std::string_view message, std::source_location where) noexcept;

}  // namespace tessaly
