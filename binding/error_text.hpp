// The text of an error raised into the interpreter: fixed text composed
// without allocating, with up to two pieces taken from Python objects.
//
//   ErrorText("'") << type_name << "' object is not an instance of '" << class_name << "'"
//
// Literal text and numbers go into a fixed-size Message; a piece (a Ref to
// a str) is held by reference and put in at its place only when the text
// is made into a str, as the exception is raised. So a failure's text can
// always be represented, even when memory has run out.
#pragma once

#include <cstddef>
#include <source_location>
#include <string_view>
#include <utility>

#include "binding/python.hpp"
#include "binding/ref.hpp"
#include "engine/base/message.hpp"

namespace tessaly {

class ErrorText {
 public:
  // Every text the module composes has at most this many pieces.
  static constexpr std::size_t kMaxPieces = 2;

  ErrorText() noexcept = default;
  ErrorText(const char* text) noexcept : fixed_(text) {}        // NOLINT: a literal is a text
  ErrorText(std::string_view text) noexcept : fixed_(text) {}   // NOLINT
  ErrorText(const Message& text) noexcept : fixed_(text) {}     // NOLINT

  // Literal text and numbers, as a Message takes them.
  template <class Part>
    requires requires(Message& message, const Part& part) { message << part; }
  ErrorText& operator<<(const Part& part) & noexcept {
    fixed_ << part;
    return *this;
  }
  template <class Part>
    requires requires(Message& message, const Part& part) { message << part; }
  ErrorText&& operator<<(const Part& part) && noexcept {
    fixed_ << part;
    return std::move(*this);
  }

  // A piece: str(object) goes here (a null one puts nothing in). Pieces
  // beyond kMaxPieces are dropped, as text beyond a Message's capacity is.
  ErrorText& operator<<(Ref piece) & noexcept;
  ErrorText&& operator<<(Ref piece) && noexcept { return std::move(*this << std::move(piece)); }

  // The whole text as a new str; null, with the interpreter's error set, if
  // it cannot be made.
  Ref to_str() const noexcept;

  // Writes the failure report of an internal failure starting at `where`,
  // with the first piece's UTF-8 in its place (internal failures carry one
  // piece at most).
  void write_report(std::source_location where) const noexcept;

 private:
  Message fixed_;
  std::size_t piece_count_ = 0;
  std::size_t piece_at_[kMaxPieces] = {};  // where each piece goes in fixed_
  Ref pieces_[kMaxPieces];
};

}  // namespace tessaly
