#include <algorithm>

#include "common/fault.h"
#include "format/format.h"
#include "payload/payload.h"
#include "common/pod_array.h"

namespace tessaloom {

namespace {

// Fills a PodArray of u32 through its spare capacity: grown ahead in
// doubling steps (never past what the rest of the input can hold, plus the
// reader's slack), written by Reader::read_u32_run, and given the used
// length as it goes.
class U32Sink {
 public:
  // Room for about `guess` values to start with.
  U32Sink(PodArray<std::uint32_t>& v, std::size_t guess) : v_(v) {
    v_.reserve(v_.size() + guess + format::Reader::kRunSlack);
  }
  std::size_t used() const { return v_.size(); }

  // Reads a vector of u32 (its length, then its elements) onto the end.
  void read(format::Reader& r) {
    const std::uint64_t n = r.read_len();
    const std::size_t fit = r.reservable(n);
    const std::size_t used = v_.size();
    const std::size_t need = used + fit + format::Reader::kRunSlack;
    if (v_.capacity() < need) {
      const std::size_t bound =
          used + r.remaining() + format::Reader::kRunSlack;
      v_.reserve(std::min(std::max(need, 2 * v_.capacity()), bound));
    }
    r.read_u32_run(v_.data() + used, fit);
    v_.resize_for_overwrite(used + fit);
    // More declared than the input holds: the input is used up now (each
    // element took a byte), so this read reports the end.
    if (fit < n) r.read_u32();
  }

 private:
  PodArray<std::uint32_t>& v_;
};

}  // namespace

PayloadTable PayloadTable::decode(format::Reader& input) {
  // A local copy of the reader keeps its position in a register through the
  // loop; it is handed back at the end (on failure nothing is kept anyway).
  format::Reader r = input;
  PayloadTable t;
  const std::uint64_t n = r.read_len();
  // Each payload takes at least its tag byte, so a count larger than the
  // input can hold fails at the input's end, having reserved only what the
  // input could fill.
  const std::size_t m = r.reservable(n);
  t.present_.resize_for_overwrite(m);
  t.total_.resize_for_overwrite(m);
  t.id_end_.resize_for_overwrite(m);
  std::size_t i = 0;
  {
    // The entries' count is not known up front: start from a guess bounded
    // by the input, then double.
    U32Sink ids(t.ids_, r.remaining() / 8), counts(t.counts_, r.remaining() / 8);
    for (; i < n; ++i) {
      if (i == m) {
        // Only when more payloads are declared than the input holds: it is
        // used up, so this read reports the end.
        r.read_option_tag(format::kOptionPayloadTypeName);
        break;
      }
      const bool present = r.read_option_tag(format::kOptionPayloadTypeName);
      t.present_[i] = present;
      t.total_[i] = 0;
      if (present) {
        t.total_[i] = r.read_u32();
        ids.read(r);
        counts.read(r);
        if (!t.split_counts_ && counts.used() != ids.used()) {
          // Counts and ids part ways: counts get ends of their own, equal
          // to the ids' ends up to here.
          t.count_end_.resize_for_overwrite(m);
          for (std::size_t j = 0; j < i; ++j) t.count_end_.set(j, t.id_end_[j]);
          t.split_counts_ = true;
        }
      }
      t.id_end_.set(i, ids.used());
      if (t.split_counts_) t.count_end_.set(i, counts.used());
    }
  }
  if (i != n) throw InternalFault("payload decoding stopped early");
  t.ids_.shrink_to_fit();
  t.counts_.shrink_to_fit();
  input = r;
  return t;
}

}  // namespace tessaloom
