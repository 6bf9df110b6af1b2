// A fast check of encoded payloads while loading: finds where each payload
// ends without decoding its entries one by one.
//
// Every value in the payload bytes is a varint (a tag 00 or 01 reads as one
// too), and a varint's length follows from its first byte. The scanner
// marks, block by block, the byte at which each value starts, following the
// chain of lengths from a known start; a payload then ends a fixed number of
// values after its start plus its two vector lengths, which a bit deposit
// into the marks finds without a loop per entry. The marking also checks, in
// bulk, that each value is a valid u32 in its shortest form.
//
// It answers only for the common shapes (tags 00/01, lengths below 251, no
// 8-byte or refused forms); for anything else it answers "don't know" and
// the caller reads that payload value by value, which also produces the
// exact error. Where the CPU has no fast bit deposit (and in a build with
// TESSALOOM_PAYLOAD_SCAN off) it answers "don't know" for every payload.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaloom::payload {

class Scanner {
 public:
  // Scans within [begin, end): marks are only ever computed for blocks that
  // lie well inside it.
  Scanner(const std::uint8_t* begin, const std::uint8_t* end);

  // Vouches for the optional payloads from p on, one after the other, each
  // with every value in it checked (valid for its place, u32 where a u32
  // belongs): writes where each ends to ends[0], ends[1], ..., at most
  // `max` of them, and stops at the first it cannot vouch for. Returns how
  // many it wrote. p must be the start of a payload, and successive calls
  // must move forward.
  std::size_t run(const std::uint8_t* p, std::size_t max, const std::uint8_t** ends);

  // False when run() can vouch for nothing at all: no fast bit deposit, or
  // too short an input.
  bool scanning() const { return room_; }

  // The first place where a value vouched for uses a longer form than it
  // needs (or the end of the input when none does).
  const std::uint8_t* first_long_form() const { return first_long_form_; }

 private:
  static constexpr std::size_t kWords = 512;   // 32 KiB of input per refill
  static constexpr std::size_t kAhead = 2048;  // refill when less is left

  // Whether this build and CPU have a fast bit deposit (decided once).
  static bool available();
  void refill(const std::uint8_t* from);
  // The marks of the 64 bytes from q, which must be below marked_end_.
  std::uint64_t window(const std::uint8_t* q) const;
  // The start of the k-th value at or after q (k = 0: q itself, which must
  // be a start), or nullptr past the marked range.
  const std::uint8_t* skip_values(const std::uint8_t* q, unsigned k) const;

  bool room_;                                 // the input is long enough to mark
  const std::uint8_t* limit_;                 // no block starts past this
  const std::uint8_t* origin_ = nullptr;      // the byte of bit 0 of words_[0]
  const std::uint8_t* marked_end_ = nullptr;  // marks are valid below this
  // Marking stopped only because the marks were full: marking again from a
  // later start would reach further.
  bool complete_ = false;
  const std::uint8_t* first_long_form_;
  std::uint64_t words_[kWords + 1] = {};  // a spare word, always 0
};

}  // namespace tessaloom::payload
