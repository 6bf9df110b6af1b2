// The external ids of an index's videos, by video number: all UUIDs (16
// bytes each) or all unsigned 32-bit integers. A payload names a video by its
// number; the number's key is what queries show.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/pod_array.h"

namespace tessaloom::prefix::trie {

// The kind of an index's video ids, numbered as saved.
enum class IdMode : std::uint32_t { Uuid = 0, Int32 = 1 };

using Uuid = std::array<std::uint8_t, 16>;

// The 36-character text of a UUID (lower-case hex, dashes after bytes 4, 6,
// 8 and 10), as video keys show it.
std::string uuid_text(const Uuid& id);

class VideoIds {
 public:
  VideoIds() = default;  // no videos, of kind Uuid
  explicit VideoIds(common::PodArray<Uuid> uuids) : uuids_(std::move(uuids)) {}
  explicit VideoIds(common::PodArray<std::uint32_t> ints)
      : kind_(IdMode::Int32), ints_(std::move(ints)) {}
  // The ids as saved: the kind and both tables. An index built here has
  // nothing in the table its kind does not select; a saved one may, and that
  // table is kept only to be saved again as it was.
  VideoIds(IdMode kind, common::PodArray<Uuid> uuids, common::PodArray<std::uint32_t> ints)
      : kind_(kind), uuids_(std::move(uuids)), ints_(std::move(ints)) {}

  IdMode kind() const { return kind_; }
  // The number of videos: video numbers at or past it name no video.
  std::size_t size() const { return kind_ == IdMode::Int32 ? ints_.size() : uuids_.size(); }
  // The key of video v < size(): the decimal text of its integer id, or the
  // text of its UUID.
  std::string key(std::size_t v) const;
  // The integer id of video v < size(), for ids of kind Int32.
  std::uint32_t integer(std::size_t v) const { return ints_[v]; }

  // The two tables, as saved.
  std::span<const Uuid> uuid_table() const { return {uuids_.data(), uuids_.size()}; }
  std::span<const std::uint32_t> int_table() const { return {ints_.data(), ints_.size()}; }

  bool operator==(const VideoIds&) const = default;

 private:
  IdMode kind_ = IdMode::Uuid;
  common::PodArray<Uuid> uuids_;
  common::PodArray<std::uint32_t> ints_;
};

}  // namespace tessaloom::prefix::trie
