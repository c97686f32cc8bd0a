// The timing model. Every time inside the program is a camera line number counted from midnight;
// line y lies in minute trunc(y / (base_frequ * 60)) of the day, with base_frequ of the header
// read last. This unit keeps the header list, ordered by the line of the day from which each
// main header holds, and, per camera, the raw-file position of the first frame handed over in
// each minute, with the check that line numbers only grow. Both end the run on a negative time
// jump. Owns the header list, posa_bf/posb_bf (written to the .abh by the output file set and the
// particle writer), minut_a/minut_b and old_a/old_b. A minute outside 0..1441 is never stored.
#pragma once

#include <cstdint>

#include "headers/main_header.h"
#include "lines/line_records.h"

namespace dp {

inline constexpr int k_minutes = 1442;  ///< minutes 0..1441 of the per-minute tables

/// One main header in the header list; line strictly grows from head to tail.
struct hd_node {
  main_hd hd;          ///< copy of the header's output record
  double line = 0;     ///< (main_time mod 86400) * base_frequ: first line the header holds for
  int16_t index = 0;   ///< 0 at the head, else the previous node's index + 1
  hd_node* next = nullptr;
  hd_node* prev = nullptr;
};

struct timing_state {
  hd_node* head = nullptr;
  hd_node* tail = nullptr;
  int32_t posa_bf[k_minutes] = {};  ///< raw-file position per minute, camera A; 0 where none
  int32_t posb_bf[k_minutes] = {};  ///< the same for camera B
  int16_t minut_a = -1;             ///< last minute entered for camera A
  int16_t minut_b = -1;
  double old_a = 0.0;  ///< largest y_count of camera A's processed frames
  double old_b = 0.0;
};

extern timing_state timing;

/// Enters hd (its line frequency base_frequ) into the header list, or ends the run on a negative
/// time jump: a header that does not start later than every other one.
void main_tim(const main_hd& hd, double base_frequ);
/// Minute bookkeeping of one handed-over frame: kind 1 camera A, 2 camera B, any other nothing;
/// prev_pos is the raw-file offset of the record the camera's scan read last, base_frequ the line
/// frequency of the main header read last. Ends the run when a line number of the frame is not
/// above every earlier one of the camera.
void book_minute(int16_t kind, const frame_rec* frame, int32_t prev_pos, double base_frequ);
/// Minute of line y under frequency f, or false when y / (f * 60) is not finite or outside int32.
bool minute_of(double y, double f, int32_t* minute);
/// Frees the header list and returns to the start-up state.
void reset_timing();

}  // namespace dp
