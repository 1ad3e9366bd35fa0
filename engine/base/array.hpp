// A growable array whose allocations report failure instead of throwing.
//
// A C++ exception is no way to say that memory ran out: the first throw on
// a thread allocates that thread's exception state, which kills the process
// when there is no memory left. So everything the module keeps or builds is
// held in these, and every step that may allocate returns whether it could.
//
// Growth doubles, or fails at once: an array that grew by one element when
// it could not double would copy itself on every append. Arrays of plain
// values of 2 MiB or more are mapped in huge pages (large_memory.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "engine/base/large_memory.hpp"

namespace tessaly {

template <class T>
class Array {
  static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_destructible_v<T>);
  // Plain values move with realloc, which can remap a large block instead
  // of copying it (and never holds the old and the new copy at once).
  static constexpr bool kReallocates = std::is_trivially_copyable_v<T>;

 public:
  Array() noexcept = default;
  Array(Array&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Array& operator=(Array&& other) noexcept {
    Array(std::move(other)).swap(*this);
    return *this;
  }
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  ~Array() {
    clear();
    release(data_, capacity_);
  }

  // Room for `count` elements in all; false (and nothing changed) if the
  // memory cannot be had or the size cannot be expressed.
  [[nodiscard]] bool try_reserve(std::size_t count) noexcept {
    if (count <= capacity_) return true;
    if (count > SIZE_MAX / sizeof(T)) return false;
    T* grown;
    if constexpr (kReallocates) {
      grown = static_cast<T*>(reallocated(count * sizeof(T)));
      if (grown == nullptr) return false;
    } else {
      grown = static_cast<T*>(std::malloc(count * sizeof(T)));
      if (grown == nullptr) return false;
      for (std::size_t i = 0; i < size_; ++i) {
        new (&grown[i]) T(std::move(data_[i]));
        data_[i].~T();
      }
      std::free(data_);
    }
    data_ = grown;
    capacity_ = count;
    return true;
  }

  // Room for `more` elements beyond size(), doubling the capacity when it
  // must grow; false (and nothing changed) if it cannot.
  [[nodiscard]] bool try_grow_for(std::size_t more) noexcept {
    if (more <= capacity_ - size_) return true;
    if (more > SIZE_MAX - size_) return false;
    const std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * capacity_;
    const std::size_t needed = size_ + more;
    return try_reserve(needed > doubled ? needed : doubled > 4 ? doubled : 4);
  }

  // Appends; false (and nothing changed) if it cannot.
  [[nodiscard]] bool try_push_back(T value) noexcept {
    if (!try_grow_for(1)) return false;
    push_back_reserved(std::move(value));
    return true;
  }

  // Appends within the reserved room (size() < capacity()).
  void push_back_reserved(T value) noexcept { new (&data_[size_++]) T(std::move(value)); }

  // `count` value-initialised elements (zeros for numbers); false if it cannot.
  [[nodiscard]] bool try_resize(std::size_t count) noexcept {
    if (count <= size_) {
      truncate(count);
      return true;
    }
    if (!try_reserve(count)) return false;
    while (size_ < count) new (&data_[size_++]) T();
    return true;
  }

  // `count` elements, within the reserved room, left for the caller to fill.
  void set_size_reserved(std::size_t count) noexcept
    requires std::is_trivial_v<T>
  {
    size_ = count;
  }

  void truncate(std::size_t count) noexcept {
    while (size_ > count) data_[--size_].~T();
  }
  void clear() noexcept { truncate(0); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  operator std::span<const T>() const noexcept { return {data_, size_}; }  // NOLINT

  friend bool operator==(const Array& a, const Array& b) noexcept {
    if (a.size_ != b.size_) return false;
    for (std::size_t i = 0; i < a.size_; ++i) {
      if (!(a.data_[i] == b.data_[i])) return false;
    }
    return true;
  }

  void swap(Array& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  // Large arrays of plain values live in large_memory, the rest in the
  // allocator's; which, follows from the capacity.
  static bool large(std::size_t capacity) noexcept {
    return kReallocates && capacity >= large_memory::kLargeBytes / sizeof(T);
  }
  static void release(T* data, std::size_t capacity) noexcept {
    if (large(capacity)) {
      large_memory::release(data, capacity * sizeof(T));
    } else {
      std::free(data);
    }
  }
  // The elements moved to a block of `bytes`; null (nothing changed) if it
  // cannot be had.
  void* reallocated(std::size_t bytes) noexcept {
    if (bytes < large_memory::kLargeBytes) return std::realloc(data_, bytes);
    if (large(capacity_)) return large_memory::reallocate(data_, capacity_ * sizeof(T), bytes);
    void* grown = large_memory::allocate(bytes);
    if (grown == nullptr) return nullptr;
    if (size_ != 0) std::memcpy(grown, data_, size_ * sizeof(T));
    std::free(data_);
    return grown;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// A vector being converted, a query, a row on its way into a store.
using FloatVector = Array<float>;

}  // namespace tessaly
