// Every entry's parameters, declared once: its name, its parameters with
// the conversion of each, and what it is called on (with the access it
// takes). Argument matching, the names in call and conversion errors, the
// slot count and the text signature that inspect.signature reads all come
// from this one declaration (method_entry.hpp runs it).
//
//   constexpr auto kSearch = method("search", Receiver::shared_store,
//                                   Converted<to_float_vector>{"vector"}, Converted<to_size>{"top_k"});
#pragma once

#include <array>
#include <cstddef>
#include <tuple>

#include "binding/arguments.hpp"

namespace tessaly {

// What an entry is called on, and the access to a store it holds for the
// whole call, argument conversion included.
enum class Receiver {
  none,             // a module function
  module,           // a module function that gets its module (the module's __getattr__)
  constructor,      // the class's constructor: the body gets the type to make
  type,             // a class method: the body gets the class
  shared_store,     // a store, read: any number of such calls at once
  exclusive_store,  // a store, changed: no other call on it meanwhile
};

// The class every receiver but `none` belongs to, as errors name it.
inline constexpr const char* kClassName = "Vectorstore";

// A parameter the frame converts with `Convert` (PyObject* -> Result<T>)
// before the body runs, in parameter order; the body gets the T.
template <auto Convert>
struct Converted {
  const char* name;
  const char* default_text = nullptr;  // as the text signature shows it; null: required
  bool keyword_only = false;           // only after every parameter that is not
  bool names_overflow = false;         // an OverflowError (a negative count) names it too
};

// A parameter the body converts itself, when its conversion interleaves
// with another's or needs what another gave; the body gets an Argument.
// Parameters after one the body converts must be converted by the body
// too, so that conversions keep parameter order.
struct Raw {
  const char* name;
  const char* default_text = nullptr;
  bool keyword_only = false;
};

template <class... Parameters>
struct MethodSpec {
  static constexpr std::size_t kCount = sizeof...(Parameters);
  static_assert(kCount <= kMostParameters);

  const char* name;
  Receiver receiver;
  std::tuple<Parameters...> parameters;

  // The parameters' names, in order.
  constexpr std::array<const char*, kCount> names() const {
    return std::apply([](const auto&... p) { return std::array<const char*, kCount>{p.name...}; }, parameters);
  }
  constexpr std::array<const char*, kCount> defaults() const {
    return std::apply([](const auto&... p) { return std::array<const char*, kCount>{p.default_text...}; },
                      parameters);
  }
  // How many come before the first keyword-only one.
  constexpr std::size_t positional() const {
    const auto only = std::apply([](const auto&... p) { return std::array<bool, kCount>{p.keyword_only...}; },
                                 parameters);
    std::size_t count = 0;
    while (count < kCount && !only[count]) ++count;
    return count;
  }

  // What argument matching needs, and its errors name.
  constexpr CallSignature signature() const {
    const bool of_module = receiver == Receiver::none || receiver == Receiver::module;
    CallSignature made{name, of_module ? nullptr : kClassName, kCount, {}, 0, positional()};
    for (std::size_t i = 0; i < kCount; ++i) {
      made.parameter_names[i] = names()[i];
      if (defaults()[i] == nullptr) made.required_count = i + 1;
    }
    return made;
  }
};

template <class... Parameters>
constexpr MethodSpec<Parameters...> method(const char* name, Receiver receiver, Parameters... parameters) {
  return {name, receiver, {parameters...}};
}

// The docstring that carries an entry's text signature, as the interpreter
// reads it for inspect.signature: "search($self, vector, top_k)\n--\n\n";
// the constructor's is the class's own: "Vectorstore(vector_size,
// vectors=None)\n--\n\n".
struct TextSignature {
  static constexpr std::size_t kCapacity = 160;
  char text[kCapacity] = {};
  std::size_t size = 0;

  constexpr TextSignature& operator<<(const char* piece) {
    for (; *piece != '\0' && size + 1 < kCapacity; ++piece) text[size++] = *piece;
    return *this;
  }
};

template <class... Parameters>
constexpr TextSignature text_signature_of(const MethodSpec<Parameters...>& spec) {
  TextSignature made;
  made << (spec.receiver == Receiver::constructor ? kClassName : spec.name) << "(";
  if (spec.receiver == Receiver::type) made << "$type";
  if (spec.receiver == Receiver::module) made << "$module";
  if (spec.receiver == Receiver::shared_store || spec.receiver == Receiver::exclusive_store) made << "$self";
  const bool after_receiver = spec.receiver == Receiver::type || spec.receiver == Receiver::module ||
                              spec.receiver == Receiver::shared_store || spec.receiver == Receiver::exclusive_store;
  for (std::size_t i = 0; i < spec.kCount; ++i) {
    if (i != 0 || after_receiver) made << ", ";
    if (i == spec.positional()) made << "*, ";
    made << spec.names()[i];
    if (spec.defaults()[i] != nullptr) made << "=" << spec.defaults()[i];
  }
  return made << ")\n--\n\n";
}

// One per entry, kept for the process (the interpreter keeps a pointer).
template <const auto& Spec>
inline constexpr TextSignature kTextSignature = text_signature_of(Spec);

}  // namespace tessaly
