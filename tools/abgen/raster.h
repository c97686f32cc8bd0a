// Rasterising particle silhouettes onto the lines of one camera: each line samples the plane at
// one moment, so a falling particle leaves on every line it crosses the slice of its shape that
// the plane cuts then, as a run of shadowed pixels. Lines stay open in a ring until the caller
// says no later particle can reach them; then they go out in order as line records: runs sorted,
// overlapping or touching runs merged, clipped to the camera line, at most six pieces as the
// acquisition unit keeps them (a line with more keeps its first five, and the sixth runs from the
// sixth run's start to the last run's end: no shadow is lost, the gaps beyond the fifth piece are).
// Owns nothing beyond the cam_lines record of its caller; never prints.
//
// Shape: an oblate spheroid (or any particle given by its extent) whose silhouette at the plane is
// a circle of the widest half width w (pixels) scaled by 2 sqrt(s (1 - s)), where s in [0, 1) is
// the fraction of its vertical extent that has passed the plane. Line k (an integer line number)
// samples s = (k - y0) / n_lines. A slice covering the continuous columns [L, R] = [c - hw, c + hw]
// shadows a pixel when it covers at least the camera's threshold t of it: the pixel j in which
// L lies is covered by j + 1 - L, the one in which R lies by R - j, so
//   x_beg = ceil(L - (1 - t)),   x_end = floor(R - t) + 1.
// On average a slice shadows 1 - 2 t pixels more than it is wide; with the default t = 0.5 these
// are the pixels whose centres j + 0.5 lie inside the slice, as many as it is wide. A slice that
// begins and ends inside one pixel j shadows it when it reaches from j + 1 - t or less to j + t
// or more: for t = 0.5 when it holds the centre, for t above 0.5 when it spans [j + 1 - t, j + t],
// for t below 0.5 when it meets [j + t, j + 1 - t], however narrow (then it may cover less than
// t of the pixel).
#pragma once

#include <cstdint>
#include <vector>

#include "lines/line_records.h"

namespace dp::abgen {

inline constexpr int k_ring_lines = 16384;  ///< lines a camera can hold open
inline constexpr int k_slot_runs = 12;      ///< runs kept per open line before they are tidied

/// A particle's passage through one camera's plane.
struct silhouette {
  double y0 = 0;       ///< line position (lines since midnight) at which its lowest point arrives
  double n_lines = 0;  ///< its vertical extent in lines: height / (speed / line frequency)
  double centre = 0;   ///< continuous column of its centre
  double half_px = 0;  ///< half its widest width, in pixels
};

/// What one silhouette left on the camera, before it met any other particle's shadow.
struct raster_result {
  int64_t first = 0;     ///< first line with a shadowed pixel (0: none)
  int32_t n_lines = 0;   ///< lines with shadowed pixels (consecutive)
  bool clipped = false;  ///< some slice reached beyond the camera line
};

/// One open line: the runs gathered so far, not yet sorted or merged.
struct line_slot {
  int64_t y = -1;  ///< line number the slot holds, -1 when free
  int16_t n = 0;
  int16_t beg[k_slot_runs] = {};
  int16_t end[k_slot_runs] = {};
};

/// A camera's open lines.
struct cam_lines {
  int32_t n_pix = 640;          ///< pixels per line; runs are clipped to [0, n_pix)
  double threshold = 0.5;       ///< fraction of a pixel a slice must cover to shadow it
  std::vector<line_slot> ring;  ///< slot of line y: ring[y % k_ring_lines]
  std::vector<uint64_t> used;   ///< bit y % k_ring_lines set while that slot is in use
  int64_t next_out = 0;         ///< lines below this have been handed out
  int64_t open = 0;             ///< slots in use
  int64_t merged_to_six = 0;    ///< lines handed out whose runs were squeezed into six pieces
};

/// Empties c for a camera line of n_pix pixels that shadows a pixel at the given fraction
/// covered (0 < threshold < 1); no line below first_line will be added.
void cam_lines_init(cam_lines& c, int32_t n_pix, int64_t first_line, double threshold = 0.5);
/// Adds the slices of s to c. Lines below c.next_out or k_ring_lines or more beyond it cannot be
/// held: then nothing is added and *fits becomes false.
raster_result add_silhouette(cam_lines& c, const silhouette& s, bool* fits);
/// Appends to out, in order, every open line below frontier that holds shadow; frees them.
void take_lines(cam_lines& c, int64_t frontier, std::vector<line_rec>& out);
/// Sorts and merges the runs beg/end[0..n) and clips them to [0, n_pix) into a line record with
/// at most six pieces (see above); returns false when no pixel remains. *squeezed: more than six.
bool tidy_line(const int16_t* beg, const int16_t* end, int n, int32_t n_pix, line_rec* out,
               bool* squeezed);

}  // namespace dp::abgen
