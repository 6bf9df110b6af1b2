// The working memory one query may use. A query counts what grows with its
// input (its distance rows and the text it reports) against this budget and
// fails with QueryTooLarge before allocating past it, so an extreme but valid
// query ends with an error instead of exhausting the machine, and the index
// it ran on is untouched.
#pragma once

#include <cstddef>
#include <new>

namespace tessaloom {

// Thrown when a query would need more working memory than its budget allows.
// A std::bad_alloc, so callers that handle running out of memory handle this.
class QueryTooLarge : public std::bad_alloc {
 public:
  const char* what() const noexcept override {
    return "the query needs more than 1 GiB of working memory";
  }
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

}  // namespace tessaloom
