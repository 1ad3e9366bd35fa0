// An owned array of floats: a stored vector, a query, an argument being
// converted. Its memory comes from the heap, or is carved from the arena of
// the store it is meant for; either way it belongs to this array alone and
// moves with it, never copied. Every step that may allocate says whether it
// could (see array.hpp for why nothing throws).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>

#include "engine/row_arena.hpp"

namespace tessaly {

class FloatVector {
 public:
  FloatVector() noexcept = default;
  // An empty array whose memory will be carved from `arena` (null: the heap).
  explicit FloatVector(RowArena* arena) noexcept : arena_(arena) {}
  FloatVector(FloatVector&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        arena_(other.arena_) {}
  FloatVector& operator=(FloatVector&& other) noexcept {
    FloatVector(std::move(other)).swap(*this);
    return *this;
  }
  FloatVector(const FloatVector&) = delete;
  FloatVector& operator=(const FloatVector&) = delete;
  ~FloatVector() { release(); }

  // Room for `count` floats in all; false (and nothing changed) if it
  // cannot be had.
  [[nodiscard]] bool try_reserve(std::size_t count) noexcept {
    if (count <= capacity_) return true;
    if (count > SIZE_MAX / sizeof(float)) return false;
    if (arena_ != nullptr && data_ != nullptr && arena_->resize_last(data_, count)) {
      capacity_ = count;
      return true;
    }
    float* grown = arena_ != nullptr ? arena_->carve(count)
                                     : static_cast<float*>(std::malloc(count * sizeof(float)));
    if (grown == nullptr) return false;
    if (size_ != 0) std::memcpy(grown, data_, size_ * sizeof(float));
    release();
    data_ = grown;
    capacity_ = count;
    return true;
  }

  [[nodiscard]] bool try_push_back(float value) noexcept {
    if (size_ == capacity_ && !try_reserve(capacity_ < 4 ? 4 : capacity_ > SIZE_MAX / 8 ? capacity_ + 1 : 2 * capacity_)) {
      return false;
    }
    data_[size_++] = value;
    return true;
  }
  void push_back_reserved(float value) noexcept { data_[size_++] = value; }

  // `count` floats, new ones zero; false if the room cannot be had.
  [[nodiscard]] bool try_resize(std::size_t count) noexcept {
    if (!try_reserve(count)) return false;
    if (count > size_) std::memset(data_ + size_, 0, (count - size_) * sizeof(float));
    size_ = count;
    return true;
  }

  // `count` floats, within the reserved room, left for the caller to fill.
  void set_size_reserved(std::size_t count) noexcept { size_ = count; }

  // Hands back the room beyond size() to the arena, when it was carved last
  // (a conversion that reserved by a length hint longer than the sequence).
  void shrink_to_fit() noexcept {
    if (arena_ != nullptr && data_ != nullptr && size_ < capacity_ &&
        arena_->resize_last(data_, size_)) {
      capacity_ = size_;
    }
  }

  float* data() noexcept { return data_; }
  const float* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  float& operator[](std::size_t i) noexcept { return data_[i]; }
  const float& operator[](std::size_t i) const noexcept { return data_[i]; }
  float* begin() noexcept { return data_; }
  float* end() noexcept { return data_ + size_; }
  const float* begin() const noexcept { return data_; }
  const float* end() const noexcept { return data_ + size_; }
  operator std::span<const float>() const noexcept { return {data_, size_}; }  // NOLINT

  friend bool operator==(const FloatVector& a, const FloatVector& b) noexcept {
    if (a.size_ != b.size_) return false;
    for (std::size_t i = 0; i < a.size_; ++i) {
      if (!(a.data_[i] == b.data_[i])) return false;
    }
    return true;
  }

  void swap(FloatVector& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(arena_, other.arena_);
  }

 private:
  void release() noexcept {
    if (data_ == nullptr) return;
    if (arena_ != nullptr) {
      arena_->give_back(data_);
    } else {
      std::free(data_);
    }
    data_ = nullptr;
  }

  float* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  RowArena* arena_ = nullptr;
};

}  // namespace tessaly
