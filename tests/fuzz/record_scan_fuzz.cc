// Fuzz target of the record framing: the bytes are a raw data file in memory. Scan A reads it
// whole; the records it takes must lie within the data and tile it from offset 0, and where it
// stops, the reason it gives must be what the bytes there say. Scan B then reads the same bytes
// anew as a growing file: first a prefix (its length picked by the first byte), then the whole;
// it must take the records of A that end within the prefix, then the rest, and stop where A did.
#include <cstring>
#include <vector>

#include "base/byte_order.h"
#include "fuzz/fuzz_harness.h"
#include "rawinput/record_scan.h"

namespace dp_fuzz {

namespace {

constexpr dp::scan_labels k_labels{"fz01", "fz02", "fz03"};

// Reads with r until it takes no record, appending the offsets of the records it took.
void read_all(dp::scan_reader& r, const uint8_t* data, int64_t size, std::vector<int32_t>* at) {
  dp::raw_record rec;
  for (;;) {
    const int32_t from = r.pos;
    const dp::scan_result got = dp::scan_record(r, k_labels, "fz71", "fz32", &rec);
    if (got == dp::scan_result::failed) finding("a read from memory failed at %d\n", from);
    if (got == dp::scan_result::end) {
      if (r.pos != from) finding("the end moved the reader from %d to %d\n", from, r.pos);
      return;
    }
    const int64_t end = static_cast<int64_t>(from) + 4 + rec.length;
    if (r.prev != from || r.pos != end || rec.length < 0 || end > size)
      finding("record at %d of length %d: prev %d, pos %d, %lld bytes\n", from, rec.length, r.prev, r.pos,
              static_cast<long long>(size));
    if (rec.type != dp::load_les16(data + from) || rec.length != dp::load_les16(data + from + 2) ||
        std::memcmp(rec.payload, data + from + 4, static_cast<size_t>(rec.length)) != 0)
      finding("record at %d differs from the bytes there\n", from);
    at->push_back(from);
  }
}

}  // namespace

int fuzz_record_scan(const uint8_t* data, size_t size) {
  init();
  const auto len = static_cast<int64_t>(size > 0x7fffffff ? 0x7fffffff : size);
  dp::reset_scans();
  dp::scan_from(dp::memory_source(data, len));
  std::vector<int32_t> a;
  read_all(dp::scans.a, data, len, &a);
  const int32_t pos = dp::scans.a.pos;
  if (!dp::scan_at_end(dp::scans.a, "fz71", "fz32")) finding("A stopped at %d but is not at the end\n", pos);

  // Why A stopped, from the bytes themselves.
  dp::unread_reason want = dp::unread_reason::none;
  int16_t want_length = 0;
  if (len - pos >= 4) {
    want_length = dp::load_les16(data + pos + 2);
    want = want_length < 0 ? dp::unread_reason::negative_length : dp::unread_reason::runs_past_end;
    if (want_length >= 0 && static_cast<int64_t>(pos) + 4 + want_length <= len) finding("A stopped before a whole record at %d\n", pos);
  } else if (len > pos) {
    want = dp::unread_reason::incomplete_header;
  }
  int16_t length = -1;
  const dp::unread_reason why = dp::scan_unread(dp::scans.a, &length);
  if (why != want || length != want_length)
    finding("A at %d of %lld: reason %d length %d, the bytes say %d length %d\n", pos, static_cast<long long>(len),
            static_cast<int>(why), length, static_cast<int>(want), want_length);

  // Anew, B over a growing file: it must take A's records, and stop where A stopped.
  const int64_t prefix = size == 0 ? 0 : len * data[0] / 255;
  dp::reset_scans();
  dp::scan_from(dp::memory_source(data, prefix));
  std::vector<int32_t> b;
  read_all(dp::scans.b, data, prefix, &b);
  size_t before = 0;
  while (before < a.size() && a[before] + 4 + dp::load_les16(data + a[before] + 2) <= prefix) ++before;
  if (b != std::vector<int32_t>(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(before)))
    finding("B took %zu records of a prefix of %lld bytes, A %zu\n", b.size(), static_cast<long long>(prefix), before);
  dp::scan_from(dp::memory_source(data, len));
  read_all(dp::scans.b, data, len, &b);
  if (b != a || dp::scans.b.pos != pos || dp::scans.a.pos != 0) finding("B took %zu records after the growth, A %zu\n", b.size(), a.size());
  return 0;
}

}  // namespace dp_fuzz
