// One recording of the synthetic instrument, from the first main header to the end: draws the
// particles of the rain in time order, works out where and when each one crosses the planes of
// cameras A and B (columns, plane distance, delay, lines), rasterises it into both cameras' open
// lines, hands every line that no later particle can reach to the acquisition unit's writer, and
// writes one ground-truth row per particle that a camera saw. Owns nothing beyond the call; never
// prints (the caller reports what the stats and the result say).
//
// Timing: t (seconds of the day) is when a particle's lowest point reaches plane A; its line
// position there is t f (f the line frequency, lines counted from midnight). It is in plane A for
// n = height f / (1000 speed) lines and reaches plane B delay = h f / (1000 speed) lines later,
// h the local plane distance (shortened by the calibration's height factor). Main headers are
// valid from start, start + every, ... (seconds since 1970), on the recording's day only, at most
// 100 of them; header k holds from line (valid_since mod 86400) f.
//
// Ground truth (CSV, header row, one row per particle seen by a camera, in order of t):
//   id            1, 2, ... in order of the rows
//   diameter_mm   equivalent-volume diameter
//   speed_m_s     fall speed
//   axis_ratio    vertical / horizontal axis
//   u_mm, v_mm    centre: u along camera A's line, v along camera B's, 0 at the area's centre
//   line_a        first line of camera A with a shadowed pixel of it (0: A did not see it)
//   line_b        the same for camera B
//   lines_a       lines of camera A with its shadow (before other shadows merge with it)
//   lines_b       the same for camera B
//   expected      1: a raindrop seen by both cameras and nowhere cut by the end of a camera line
//   splash        1: a splash fragment
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "ab_writer.h"
#include "instrument.h"
#include "rain_model.h"

namespace dp::abgen {

inline constexpr int k_max_main_headers = 100;  ///< the program that reads the file takes no more

/// What to record.
struct recording_plan {
  instrument in;
  rain_params rain;
  encode_style style;
  uint64_t seed = 1;
  uint32_t start = 1115130600u;  ///< valid_since of the first header: 2005-05-03 14:30:00
  double duration = 60.0;        ///< seconds of rain; 0: no limit
  int64_t max_drops = 0;         ///< stop after this many raindrops; 0: no limit
  uint64_t max_bytes = 0;        ///< stop once the raw file holds this many bytes; 0: no limit
  int32_t header_every = 0;      ///< seconds between main headers; 0: only the first
  int64_t idle_lines = 0;        ///< lines of no shadow after which a camera writes its record
                                 ///< (0: 20 ms worth)
  int64_t span_lines = 0;        ///< age of a record's first line at which the record is
                                 ///< written (0: 50 ms worth)
};

/// What was recorded.
struct recording_stats {
  int64_t drops = 0;          ///< raindrops drawn
  int64_t fragments = 0;      ///< splash fragments drawn
  int64_t rows = 0;           ///< ground-truth rows (particles seen by a camera)
  int64_t expected = 0;       ///< rows marked expected
  double drops_per_s = 0;     ///< Poisson rate of the raindrops that fall (see placed())
  double rain_rate = 0;       ///< rain rate the size distribution carries (mm/h)
  double seconds = 0;         ///< time from the first header to the last particle
  bool line_limit = false;    ///< stopped because line numbers would leave 32 bits (formats 1, 2)
  int64_t merged_to_six = 0;  ///< lines whose runs were squeezed into six pieces
  int64_t headers = 0;        ///< main headers written
  uint64_t bytes = 0;         ///< size of the raw file
  encode_stats enc;
};

enum class recording_result { ok, write_failed, internal_error };

/// Lines and valid_since of the main headers of plan (the first at plan.start).
void header_schedule(const recording_plan& plan, std::vector<double>* lines,
                     std::vector<uint32_t>* times);
/// Half size (mm) of the square over which raindrops are drawn: it holds the area both cameras
/// see (whose corners reach further out on the sides away from the cameras) and its rim.
double placement_half_size(const instrument& in);
/// True when a raindrop centred at (u, v) falls: inside the area both cameras see or its rim
/// (in.rim_mm). The others are drawn but never made, so the area is filled at the rain's density
/// up to its edges.
bool placed(const instrument& in, double u, double v);
/// Records plan: the raw file to ab, the ground truth to truth (null: none).
recording_result run_recording(const recording_plan& plan, std::FILE* ab, std::FILE* truth,
                               recording_stats* stats);

}  // namespace dp::abgen
