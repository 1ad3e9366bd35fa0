// The texts of the engine's failures that callers see, written once.
//
// An internal failure reaches Python as PanicException(text), after its
// report on standard error. Callers match these texts, so their wording is
// part of the module's behaviour: keep every character. The binding's own
// texts are in binding/message_texts.hpp.
#pragma once

#include <cstddef>

#include "engine/base/message.hpp"

namespace tessaly {

// ValueError: a vector to store, or a query, of the wrong length:
// "vector has length 3 but vectorstore expects 2".
inline Message vector_length_text(std::size_t length, std::size_t expected) noexcept {
  return Message("vector has length ") << length << " but vectorstore expects " << expected;
}
inline Message query_length_text(std::size_t length, std::size_t expected) noexcept {
  return Message("query has length ") << length << " but vectorstore expects " << expected;
}

// A failure that carries no text of its own: a foreign exception caught by
// a worker or by the binding's entry frame. Both layers use it.
inline constexpr const char* kNativeCodePanicked = "native code panicked";

// A worker's part of a call failed, as the calling thread reports it.
// Compatibility wording: callers rely on the exact text.
inline constexpr const char* kWorkerFailed = "called `Result::unwrap()` on an `Err` value: Any { .. }";

// A worker thread could not be started or joined; the system's error
// follows, as "Resource temporarily unavailable (os error 11, EAGAIN)".
inline constexpr const char* kFailedToSpawnThread = "failed to spawn thread: ";
inline constexpr const char* kFailedToJoinThread = "failed to join thread: ";

}  // namespace tessaly
