// The report an internal failure writes to standard error when it starts.
#pragma once

#include <source_location>
#include <string_view>

namespace tessaly {

// "thread '<name>' (<id>) panicked at <file>:<line>:<column>:" and then the
// message, which may come in several pieces; the first report of the
// process adds a note on backtraces. Allocates nothing.
void write_failure_report(std::string_view message, std::source_location where,
                          std::string_view more = {}, std::string_view rest = {}) noexcept;

}  // namespace tessaly
