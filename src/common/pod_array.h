// PodArray: a growable array of trivially copyable elements, for the large
// tables of an index (tens of megabytes each).
//
// What sets it apart from std::vector:
//   - Growing leaves the new elements uninitialised (resize_for_overwrite),
//     so a table that is about to be filled is not first cleared: the first
//     touch of its memory is the write that fills it.
//   - Large blocks (kMappedBytes and up) are mappings of their own, moved by
//     remapping their pages rather than copying them, so growing ahead and
//     cutting back to the used length afterwards cost no copy.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <ranges>
#include <span>
#include <type_traits>
#include <utility>

namespace tessaloom::common {

// A block of memory for a PodArray, given back with its size: blocks of
// kMappedBytes and up are mappings of their own, which resize() moves with
// mremap; smaller ones come from malloc. (realloc moves large blocks by
// remapping too, but only while malloc maps them itself: glibc maps blocks
// from 128 KiB at first, and raises that bound up to 32 MiB as a process
// frees mapped blocks, after which growing a block copies it.) Each
// throws std::bad_alloc instead of returning null; resize() leaves `p` valid
// and unchanged when it throws.
inline constexpr std::size_t kMappedBytes = std::size_t{128} << 10;
void* allocate(std::size_t bytes);
// As allocate(), for a block the caller writes whole at once: a large block
// arrives with its pages in place, taken in one call into the kernel rather
// than one fault per page as the writes first touch them.
void* allocate_populated(std::size_t bytes);
void* resize(void* p, std::size_t old_bytes, std::size_t bytes);
void release(void* p, std::size_t bytes) noexcept;

template <class T>
class PodArray {
  static_assert(std::is_trivially_copyable_v<T>);
  static_assert(alignof(T) <= alignof(std::max_align_t));

 public:
  using value_type = T;

  PodArray() = default;
  PodArray(std::size_t n, const T& v) { assign(n, v); }
  PodArray(const PodArray& o) { append(o.data(), o.size()); }
  PodArray(std::initializer_list<T> v) { append(v.begin(), v.size()); }
  // A copy of another contiguous range of T (a std::vector, a span).
  template <std::ranges::contiguous_range R>
  requires std::same_as<std::ranges::range_value_t<R>, T> &&
      (!std::same_as<std::remove_cvref_t<R>, PodArray>)PodArray(const R& r) {
    append(std::ranges::data(r), std::ranges::size(r));
  }
  PodArray(PodArray&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)) {}
  PodArray& operator=(const PodArray& o) {
    if (this != &o) {
      PodArray copy(o);
      swap(copy);
    }
    return *this;
  }
  PodArray& operator=(PodArray&& o) noexcept {
    PodArray moved(std::move(o));
    swap(moved);
    return *this;
  }
  ~PodArray() { free_block(); }

  void swap(PodArray& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(capacity_, o.capacity_);
  }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& back() { return data_[size_ - 1]; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  operator std::span<T>() { return {data_, size_}; }
  operator std::span<const T>() const { return {data_, size_}; }

  // Room for n elements in all. Strong guarantee: throws std::bad_alloc and
  // changes nothing when memory runs out.
  void reserve(std::size_t n) {
    if (n > capacity_) reallocate(n);
  }
  // Room for `extra` more elements, growing geometrically so that many small
  // appends stay linear.
  void reserve_more(std::size_t extra) {
    if (capacity_ - size_ >= extra) return;
    if (extra > max_size() - size_) throw std::bad_alloc();
    reallocate(std::max(size_ + extra, std::min(max_size(), 2 * capacity_)));
  }
  // Sets the size; elements past the old size are left uninitialised.
  void resize_for_overwrite(std::size_t n) {
    reserve(n);
    size_ = n;
  }
  // Exactly n elements in a new block, the old one given back: for a table
  // whose every element the caller writes next (see allocate_populated).
  // Elements are uninitialised. Strong guarantee.
  void assign_for_overwrite(std::size_t n) {
    if (n > max_size()) throw std::bad_alloc();
    T* const p = static_cast<T*>(common::allocate_populated(n * sizeof(T)));
    free_block();
    data_ = p;
    size_ = capacity_ = n;
  }
  void resize(std::size_t n, const T& v = T{}) {
    reserve(n);
    std::fill(data_ + std::min(n, size_), data_ + n, v);
    size_ = n;
  }
  void assign(std::size_t n, const T& v) {
    clear();
    resize(n, v);
  }
  void push_back(const T& v) {
    if (size_ == capacity_) reserve_more(1);
    data_[size_++] = v;
  }
  void append(const T* p, std::size_t n) {
    if (n == 0) return;
    reserve_more(n);
    std::memcpy(static_cast<void*>(data_ + size_), p, n * sizeof(T));
    size_ += n;
  }
  void clear() { size_ = 0; }
  // Returns the unused capacity.
  void shrink_to_fit() {
    if (capacity_ == size_) return;
    if (size_ == 0) {
      free_block();
    } else {
      reallocate(size_);
    }
  }

  bool operator==(const PodArray& o) const {
    return size_ == o.size_ && (size_ == 0 || std::memcmp(data_, o.data_, size_ * sizeof(T)) == 0);
  }

 private:
  static constexpr std::size_t max_size() { return (std::size_t{1} << 62) / sizeof(T); }

  // Strong guarantee: on failure the block is as it was.
  void reallocate(std::size_t n) {
    if (n > max_size()) throw std::bad_alloc();
    data_ = static_cast<T*>(data_ == nullptr
                                ? common::allocate(n * sizeof(T))
                                : common::resize(data_, capacity_ * sizeof(T), n * sizeof(T)));
    capacity_ = n;
  }
  void free_block() noexcept {
    common::release(data_, capacity_ * sizeof(T));
    data_ = nullptr;
    capacity_ = 0;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tessaloom::common
