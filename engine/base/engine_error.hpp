// What can stop an engine operation, returned as a value.
//
// The caller's mistakes (a length that does not match) and broken
// invariants or failed thread operations (internal failures) travel up the
// call chain like any result; so does running out of memory. Nothing is
// thrown, and making an error allocates nothing.
#pragma once

#include <source_location>
#include <type_traits>

#include "engine/base/expected.hpp"
#include "engine/base/failure_report.hpp"
#include "engine/base/message.hpp"

namespace tessaly {

struct EngineError {
  enum class Kind {
    invalid,        // the caller's mistake: raised as ValueError with the message
    out_of_memory,  // memory could not be had: MemoryError
    internal,       // an internal failure, already reported on standard error
    interrupted,    // the caller asked the call to stop (engine/runtime/interruption.hpp)
  };
  Kind kind;
  Message message;

  static EngineError invalid(Message message) noexcept { return {Kind::invalid, message}; }
  static EngineError out_of_memory() noexcept { return {Kind::out_of_memory, {}}; }
  static EngineError interrupted() noexcept { return {Kind::interrupted, {}}; }
  // Writes the failure report at once, naming the place the failure starts.
  static EngineError internal(Message message,
                              std::source_location where = std::source_location::current()) noexcept {
    write_failure_report(message.view(), where);
    return {Kind::internal, message};
  }

  // The failed result of a layer above whose error type is made from an
  // EngineError (the binding's Error): so TRY and TRY_ASSIGN carry an
  // engine failure up through that layer's functions as its own.
  template <class T, class E>
    requires(!std::is_same_v<E, EngineError> && std::is_constructible_v<E, const EngineError&>)
  operator Expected<T, E>() const noexcept {
    return E(*this);
  }
};

template <class T>
using EngineResult = Expected<T, EngineError>;

}  // namespace tessaly
