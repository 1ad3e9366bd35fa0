// A borrowed callable: calls a function object it does not own, without
// allocating. The object must outlive every call.
#pragma once

#include <type_traits>
#include <utility>

namespace tessaly {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>)
  FunctionRef(F& function) noexcept  // NOLINT: a lambda converts implicitly
      : object_(static_cast<void*>(&function)), call_([](void* object, Args... args) -> R {
          return (*static_cast<F*>(object))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace tessaly
