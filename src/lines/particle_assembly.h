// Particle assembly: splits a complete frame into connected groups of pieces and makes one
// particle record per group on the camera's assign queue, with its extent and its own line list.
// Two pieces are connected when they lie on neighbouring lines whose line numbers differ by exactly
// 1.0 and their column ranges overlap or touch (x_end of each >= x_beg of the other, so pieces
// meeting only corner to corner are connected); pieces on one line never connect directly.
// Writes labels (1, 2, ... per frame, in the order the groups' first pieces are met) into the frame
// store's pieces; keeps no state between frames. Work per frame grows with its number of pieces:
// the flood records each group's extent as it goes, so no pass over the whole frame per particle.
#pragma once

#include <cstdint>

#include "lines/line_records.h"
#include "lines/work_pool.h"

namespace dp {

/// A group spanning this many lines or more makes no particle (its label is used up all the same).
inline constexpr int32_t k_max_span = 14998;

/// Labels every piece of frame and creates its particles on cam's assign queue, in the order of
/// their first lines (left to right on one line); returns how many.
int16_t assign_pieces(frame_rec* frame, cam_queues* cam);
/// Labels piece j of line i and every unlabelled piece connected to it (never above line i).
void flood_lab(line_rec* lines, int i, int n_lines, int j, int16_t label);
/// Last line index - first line index + 1 over the pieces labelled label (0 when none).
int32_t span_lab(const line_rec* lines, int n_lines, int16_t label);
/// Largest x_end - smallest x_beg over the pieces labelled label (from 0 and 1024: none gives -1024).
int16_t width_lab(const line_rec* lines, int n_lines, int16_t label);
/// Fills rec's line list (entry k = its pieces on its k-th line), y_start and y_end from the pieces
/// labelled label; line_no is set before. 15000 lines or more are cut to 14999 with an error-log line.
void fill_lins(const line_rec* lines, particle_rec* rec, int n_lines, int16_t label);
/// Sets x_min and x_max from rec's own line list (from 1024 and 0).
void xrange_lins(particle_rec* rec);

}  // namespace dp
