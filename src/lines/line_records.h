// The line record that carries a decoded camera line through the pipeline, its three containers
// (a decoded record's lines, one frame store per camera, each particle's own line list) and the
// particle record of one camera's assembled particle. In-memory layouts only: wherever these
// records reach a file they go through the line-data payload of line_decoder/frame_compressor.
#pragma once

#include <cstdint>

namespace dp {

inline constexpr int k_max_pieces = 6;      ///< pieces on one line
inline constexpr int k_line_buf_size = 2000;  ///< lines one line-data record may yield
inline constexpr int k_frame_size = 15000;    ///< line records of a frame store / line list

/// One shadowed run of pixels on a line.
struct piece_rec {
  int16_t x_beg = 0;  ///< column of the first shadowed pixel
  int16_t x_end = 0;  ///< column one past the last shadowed pixel
  int16_t label = 0;  ///< particle number within its frame; 0 = not yet assigned
};

/// One camera scan line with its pieces in column order; slots beyond n_pieces are all 0.
struct line_rec {
  double y_count = 0;    ///< line number, counted from midnight; successive lines differ by 1.0
  int16_t n_pieces = 0;  ///< 1..6
  piece_rec piece[k_max_pieces];
};

/// A camera's frame store: lines with consecutive line numbers gathered until a frame is complete.
struct frame_rec {
  int16_t n_lines = 0;  ///< at most 14999
  line_rec lines[k_frame_size];
};

/// One camera's assembled particle.
struct particle_rec {
  int16_t x_min = 0;    ///< smallest x_beg of its pieces
  int16_t x_max = 0;    ///< largest x_end of its pieces
  int16_t width = 0;    ///< x_max - x_min
  int16_t line_no = 0;  ///< lines spanned (last - first + 1)
  double y_end = 0;     ///< y_start + line_no
  double y_start = 0;   ///< y_count of the first (topmost) line
  particle_rec* next = nullptr;  ///< towards the older neighbour in its queue
  particle_rec* prev = nullptr;  ///< towards the newer neighbour in its queue
  int16_t tag = 0;               ///< 0 free, 1 taken, else the queue's tag character
  line_rec* lines = nullptr;     ///< line list: entry k holds the particle's pieces on its k-th line
  int32_t lines_cap = 0;         ///< line records the list has room for
};

/// The frame stores of the two cameras, two for each: the processing loop gathers a camera's
/// frame in one and decodes the camera's next record into the other, and the two trade places
/// when that record begins a new frame, so that its lines need no copy.
struct line_store {
  frame_rec frame_a;  ///< camera A's frame store (at the start)
  frame_rec frame_b;  ///< camera B's frame store (at the start)
  frame_rec spare_a;  ///< camera A's second store
  frame_rec spare_b;  ///< camera B's second store
};

extern line_store lines;

/// Empties all four frame stores.
void reset_line_store();

}  // namespace dp
