// The two record readers of the raw data file, scan A and scan B, each with its own position and
// its own read buffer, so that a record costs no system call. A reader takes a record only when
// it lies complete before the measured end of the file; otherwise it stands at the end of the
// readable data without consuming anything (a file still being written may complete the record
// later). The file length is measured again only when a reader reaches the length measured last.
// The bytes come from the source handed over by scan_from: the raw file once it is open, or
// memory. Never reports by itself except through the labels its caller passes; owns the
// positions (pos_a, pos_b, prev_a, prev_b), ab_len and the source.
#pragma once

#include <cstdint>
#include <vector>

#include "rawinput/byte_source.h"

namespace dp {

/// One reader's position and buffer.
struct scan_reader {
  int32_t pos = 0;   ///< offset of the next record
  int32_t prev = 0;  ///< offset of the record read last
  std::vector<uint8_t> buf;  ///< a window of the source
  int64_t buf_at = 0;        ///< source offset of buf[0]
  int32_t buf_len = 0;       ///< valid bytes in buf
};

struct scan_state {
  scan_reader a;       ///< scan A (camera A)
  scan_reader b;       ///< scan B (camera B)
  int32_t ab_len = 0;  ///< length of the raw data file as measured last
  byte_source source;  ///< what both readers read (no file until scan_from)
};

extern scan_state scans;

/// One record as a reader found it; payload points into the reader's buffer until its next read.
struct raw_record {
  int16_t type = 0;
  int16_t length = 0;
  const uint8_t* payload = nullptr;
};

/// What a reader found at its position.
enum class scan_result {
  record,      ///< a complete record: consumed (prev = old pos, pos = next record)
  end,         ///< no readable record before the measured end; nothing consumed
  failed,      ///< a seek or read failed (reported); nothing consumed
};

/// Why a reader stands at the end of the readable data before unread bytes.
enum class unread_reason { none, incomplete_header, negative_length, runs_past_end };

/// Labels of the reports of one reader: seek, type read, length read.
struct scan_labels {
  const char* seek;
  const char* type;
  const char* length;
};

/// Makes src the source of both readers. Positions, windows and the measured length stay, so src
/// must hold the bytes of the source before as far as those went (the same file, or the same
/// memory grown); anything else starts from reset_scans.
void scan_from(const byte_source& src);
/// Measures the file length into scans.ab_len; false (and the report under the label of the
/// failed operation) when the seek or the position fails.
bool measure_length(const char* seek_label, const char* tell_label);
/// Reads the record at r.pos if it lies complete before the end of the file (measuring the
/// length again when r.pos or the record reaches the length measured last).
scan_result scan_record(scan_reader& r, const scan_labels& labels, const char* seek_label,
                        const char* tell_label, raw_record* rec);
/// True when r stands at the end of the readable data (after measuring again if needed).
bool scan_at_end(scan_reader& r, const char* seek_label, const char* tell_label);
/// Why r, standing at the end of the readable data, did not read the bytes at r.pos;
/// *length receives the record length for negative_length and runs_past_end.
unread_reason scan_unread(const scan_reader& r, int16_t* length);
/// Back to the start-up state, with no source.
void reset_scans();

}  // namespace dp
