// Particle assembly: splits a complete frame into connected groups of pieces (neighbouring lines
// whose line numbers differ by exactly 1.0, column ranges overlapping or touching) and makes one
// particle record per group on the camera's assign queue, with its extent and its own line list.
// Writes labels into the frame store's pieces; keeps no state between frames.
#pragma once

#include <cstdint>

#include "lines/line_records.h"
#include "lines/work_pool.h"

namespace dp {

/// Labels every piece of frame and creates its particles on cam's assign queue; returns how many.
int16_t assign_pieces(frame_rec* frame, cam_queues* cam);
/// Labels piece j of line i and every piece connected to it with label.
void flood_lab(line_rec* lines, int i, int n_lines, int j, int16_t label);
/// Last line index - first line index + 1 over the pieces labelled label (0 when none).
int32_t span_lab(const line_rec* lines, int n_lines, int16_t label);
/// Largest x_end - smallest x_beg over the pieces labelled label.
int16_t width_lab(const line_rec* lines, int n_lines, int16_t label);
/// Fills rec's line list, y_start and y_end from the pieces labelled label (line_no set before).
void fill_lins(const line_rec* lines, particle_rec* rec, int n_lines, int16_t label);
/// Sets x_min and x_max from rec's own line list.
void xrange_lins(particle_rec* rec);

}  // namespace dp
