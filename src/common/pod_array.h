// PodArray: a growable array of trivially copyable elements, for the large
// tables of an index (tens of megabytes each).
//
// Two things set it apart from std::vector:
//   - Growing leaves the new elements uninitialised (resize_for_overwrite),
//     so a table that is about to be filled is not first cleared.
//   - Blocks of 2 MiB and more are mapped from the kernel directly, aligned
//     to 2 MiB and marked for transparent huge pages, so that the first
//     touch of 100 MB costs a few dozen page faults rather than tens of
//     thousands; their unused tail can be returned in place, without a copy.
// Smaller blocks come from operator new.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace tessaloom {

namespace pod_memory {

// A block of at least `bytes` bytes (bytes > 0); throws std::bad_alloc.
// `usable` receives the bytes actually available, which may be more.
void* allocate(std::size_t bytes, std::size_t& usable);
// Releases a block that allocate() returned with this `usable` size.
void release(void* p, std::size_t usable) noexcept;
// Gives back the end of a block past `keep` bytes where that needs no copy;
// returns the new usable size (unchanged when nothing could be returned).
std::size_t trim(void* p, std::size_t usable, std::size_t keep) noexcept;

// Asks for huge pages under the whole 2 MiB blocks inside [p, p + bytes),
// memory that the caller owns and is about to fill (such as a new bytes
// object's buffer). Only a hint: contents are unchanged, failure is ignored.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

// Reserves room for n elements in a std::vector and, when that is large,
// advises its buffer for huge pages before anything touches it.
template <class Vector>
void reserve_huge(Vector& v, std::size_t n) {
  v.reserve(n);
  advise_huge_pages(v.data(), v.capacity() * sizeof(typename Vector::value_type));
}

}  // namespace pod_memory

template <class T>
class PodArray {
  static_assert(std::is_trivially_copyable_v<T>);
  // Block sizes are whole pages, so whole elements fill them exactly.
  static_assert(sizeof(T) <= 4096 && (sizeof(T) & (sizeof(T) - 1)) == 0);

 public:
  using value_type = T;

  PodArray() = default;
  PodArray(std::size_t n, const T& v) { assign(n, v); }
  PodArray(const PodArray& o) { append(o.data(), o.size()); }
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
  // Returns unused capacity where that needs no copy (a mapped block), or
  // when copying is cheap (a small block).
  void shrink_to_fit() {
    if (capacity_ == size_) return;
    const std::size_t usable = capacity_ * sizeof(T);
    const std::size_t kept = pod_memory::trim(data_, usable, size_ * sizeof(T));
    if (kept != usable) {
      capacity_ = kept / sizeof(T);
    } else if (size_ == 0) {
      free_block();
    } else if (usable < kCopyShrinkLimit) {
      reallocate(size_);
    }
  }

  bool operator==(const PodArray& o) const {
    return size_ == o.size_ &&
           (size_ == 0 || std::memcmp(data_, o.data_, size_ * sizeof(T)) == 0);
  }

 private:
  static constexpr std::size_t kCopyShrinkLimit = std::size_t{1} << 20;
  static constexpr std::size_t max_size() {
    return (std::size_t{1} << 62) / sizeof(T);
  }

  void reallocate(std::size_t n) {
    if (n > max_size()) throw std::bad_alloc();
    std::size_t usable = 0;
    T* fresh = static_cast<T*>(pod_memory::allocate(n * sizeof(T), usable));
    if (size_ != 0) {
      std::memcpy(static_cast<void*>(fresh), data_, size_ * sizeof(T));
    }
    free_block();
    data_ = fresh;
    capacity_ = usable / sizeof(T);
  }
  void free_block() noexcept {
    if (data_ != nullptr) pod_memory::release(data_, capacity_ * sizeof(T));
    data_ = nullptr;
    capacity_ = 0;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tessaloom
