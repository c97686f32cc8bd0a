// Particle assembly: splits a complete frame into connected groups of pieces and makes one
// particle record per group on the camera's assign queue, with its extent and its own line list.
// Two pieces are connected when they lie on neighbouring lines whose line numbers differ by exactly
// 1.0 and their column ranges overlap or touch (x_end of each >= x_beg of the other, so pieces
// meeting only corner to corner are connected); pieces on one line never connect directly.
// Writes labels (1, 2, ... per frame, in the order the groups' first pieces are met) into the frame
// store's pieces; keeps no state between frames. Work per frame grows with its number of pieces:
// the flood records each group's extent as it goes, so no pass over the whole frame per particle,
// and a group on lines of one piece each (most drops) is found in one pass down, without a flood.
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

}  // namespace dp
