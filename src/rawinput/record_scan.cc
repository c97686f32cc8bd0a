#include "rawinput/record_scan.h"

#include <limits>

#include "base/byte_order.h"
#include "base/messages.h"

namespace dp {

scan_state scans;

namespace {

// A window holds any whole record (4 + 32767 bytes) many times over.
constexpr int32_t k_window = 1 << 18;

enum class load_result { ok, seek_failed, short_read };

// load() when the bytes lie outside the window: reads a fresh window from off. Kept apart so that
// the common case, a record inside the window, costs a comparison and no call.
load_result load_window(scan_reader& r, int64_t off, int32_t n, const uint8_t** at) {
  if (r.buf.empty()) r.buf.resize(k_window);
  r.buf_len = 0;
  r.buf_at = off;
  int64_t want = static_cast<int64_t>(scans.ab_len) - off;
  if (want < n) want = n;
  if (want > k_window) want = k_window;
  int32_t got = 0;
  if (source_read(scans.source, off, r.buf.data(), static_cast<int32_t>(want), &got) != source_status::ok)
    return load_result::seek_failed;
  r.buf_len = got;
  if (got < n) return load_result::short_read;
  *at = r.buf.data();
  return load_result::ok;
}

// Makes the bytes [off, off + n) of the source available in r.buf, reading a fresh window from off.
inline load_result load(scan_reader& r, int64_t off, int32_t n, const uint8_t** at) {
  if (off >= r.buf_at && off + n <= r.buf_at + r.buf_len) {
    *at = r.buf.data() + (off - r.buf_at);
    return load_result::ok;
  }
  return load_window(r, off, n, at);
}

// Makes sure at least `need` bytes from r.pos lie before the measured end, measuring again once.
bool available(const scan_reader& r, int64_t need, const char* seek_label, const char* tell_label) {
  if (static_cast<int64_t>(r.pos) + need <= scans.ab_len) return true;
  measure_length(seek_label, tell_label);
  return static_cast<int64_t>(r.pos) + need <= scans.ab_len;
}

}  // namespace

void scan_from(const byte_source& src) { scans.source = src; }

bool measure_length(const char* seek_label, const char* tell_label) {
  int64_t len = 0;
  switch (source_length(scans.source, &len)) {
    case source_status::ok: break;
    case source_status::seek_failed: report_syserr(seek_label); return false;
    case source_status::tell_failed: report_syserr(tell_label); return false;
  }
  scans.ab_len = len > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                           : static_cast<int32_t>(len);
  return true;
}

scan_result scan_record(scan_reader& r, const scan_labels& labels, const char* seek_label,
                        const char* tell_label, raw_record* rec) {
  if (!available(r, 4, seek_label, tell_label)) return scan_result::end;
  const uint8_t* head = nullptr;
  switch (load(r, r.pos, 4, &head)) {
    case load_result::ok: break;
    case load_result::seek_failed: report_syserr(labels.seek); return scan_result::failed;
    case load_result::short_read:
      report_syserr(r.buf_len < 2 ? labels.type : labels.length);
      return scan_result::failed;
  }
  const int16_t type = load_les16(head);
  const int16_t length = load_les16(head + 2);
  if (length < 0) return scan_result::end;
  if (!available(r, 4 + static_cast<int64_t>(length), seek_label, tell_label)) return scan_result::end;
  const uint8_t* whole = nullptr;
  switch (load(r, r.pos, 4 + length, &whole)) {
    case load_result::ok: break;
    case load_result::seek_failed: report_syserr(labels.seek); return scan_result::failed;
    case load_result::short_read: report_syserr(labels.length); return scan_result::failed;
  }
  rec->type = type;
  rec->length = length;
  rec->payload = whole + 4;
  r.prev = r.pos;
  r.pos += 4 + length;
  return scan_result::record;
}

bool scan_at_end(scan_reader& r, const char* seek_label, const char* tell_label) {
  if (!available(r, 4, seek_label, tell_label)) return true;
  const uint8_t* head = nullptr;
  // A header that cannot be read is left to the next read, which reports it.
  if (load(r, r.pos, 4, &head) != load_result::ok) return false;
  const int16_t length = load_les16(head + 2);
  if (length < 0) return true;
  return !available(r, 4 + static_cast<int64_t>(length), seek_label, tell_label);
}

unread_reason scan_unread(const scan_reader& r, int16_t* length) {
  *length = 0;
  if (r.pos >= scans.ab_len) return unread_reason::none;
  if (static_cast<int64_t>(r.pos) + 4 > scans.ab_len) return unread_reason::incomplete_header;
  // The header lies before the end: read it directly, without disturbing the reader's window.
  uint8_t head[4];
  int32_t got = 0;
  if (source_read(scans.source, r.pos, head, 4, &got) != source_status::ok || got != 4)
    return unread_reason::incomplete_header;
  *length = load_les16(head + 2);
  if (*length < 0) return unread_reason::negative_length;
  if (static_cast<int64_t>(r.pos) + 4 + *length > scans.ab_len) return unread_reason::runs_past_end;
  return unread_reason::none;
}

void reset_scans() { scans = scan_state{}; }

}  // namespace dp
