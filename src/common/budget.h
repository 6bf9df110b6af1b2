// The working memory one query may use. A query counts what grows with its
// input (its distance rows and the text it reports) against this budget and
// fails with QueryTooLarge before allocating past it, so an extreme but valid
// query ends with an error instead of exhausting the machine, and the index
// it ran on is untouched.
#pragma once

#include <cstddef>
#include <new>

#include "common/messages.h"

namespace tessaloom::common {

// Thrown when a task would need more memory, or more items, than it may
// have; what() says which limit. A std::bad_alloc, so callers that handle
// running out of memory handle this (the binding raises MemoryError with the
// message).
class TooLarge : public std::bad_alloc {
 public:
  explicit TooLarge(const char* message) : message_(message) {}
  const char* what() const noexcept override { return message_; }

 private:
  const char* message_;  // a string literal
};

// Thrown when a query would need more working memory than its budget allows.
class QueryTooLarge : public TooLarge {
 public:
  QueryTooLarge() : TooLarge(messages::kQueryTooLarge) {}
};

class MemoryBudget {
 public:
  static constexpr std::size_t kQueryBytes = std::size_t{1} << 30;

  explicit MemoryBudget(std::size_t bytes = kQueryBytes) : left_(bytes) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Counts `bytes` about to be allocated; throws QueryTooLarge when they do
  // not fit what is left.
  void take(std::size_t bytes) {
    if (bytes > left_) throw QueryTooLarge();
    left_ -= bytes;
  }
  // Returns bytes that were taken and are released.
  void give(std::size_t bytes) { left_ += bytes; }

  std::size_t left() const { return left_; }

 private:
  std::size_t left_;
};

}  // namespace tessaloom::common
