#include "lines/particle_assembly.h"

#include <algorithm>

#include "base/messages.h"

namespace dp {

namespace {

// What a flood learns about its group on the way.
struct group_extent {
  int last = 0;           // index of the group's last line
  int16_t min_beg = 1024;
  int16_t max_end = 0;
};

// Pieces waiting to spread their label: line index * 8 + piece index. Each piece enters at most
// once (it is labelled as it enters), so a full frame store bounds the depth.
int32_t flood_stack[k_frame_size * k_max_pieces];

inline int pieces_of(const line_rec& line) {
  const int n = line.n_pieces;
  return n < 0 ? 0 : (n > k_max_pieces ? k_max_pieces : n);
}

inline bool touches(const piece_rec& a, const piece_rec& b) {
  return a.x_end >= b.x_beg && b.x_end >= a.x_beg;
}

int clamp_lines(int n_lines) {
  return n_lines < 0 ? 0 : (n_lines > k_frame_size ? k_frame_size : n_lines);
}

group_extent flood(line_rec* lines, int i, int n_lines, int j, int16_t label) {
  group_extent ext;
  ext.last = i;
  int depth = 0;
  lines[i].piece[j].label = label;
  flood_stack[depth++] = i * 8 + j;
  while (depth > 0) {
    const int32_t entry = flood_stack[--depth];
    const int k = entry >> 3;
    const piece_rec& a = lines[k].piece[entry & 7];
    if (k > ext.last) ext.last = k;
    if (a.x_beg < ext.min_beg) ext.min_beg = a.x_beg;
    if (a.x_end > ext.max_end) ext.max_end = a.x_end;
    if (k + 1 < n_lines && lines[k].y_count + 1.0 == lines[k + 1].y_count) {
      line_rec& below = lines[k + 1];
      for (int q = 0, n = pieces_of(below); q < n; ++q) {
        if (below.piece[q].label == 0 && touches(a, below.piece[q])) {
          below.piece[q].label = label;
          flood_stack[depth++] = (k + 1) * 8 + q;
        }
      }
    }
    // The group never reaches above its seed line.
    if (k > i && lines[k].y_count - 1.0 == lines[k - 1].y_count) {
      line_rec& above = lines[k - 1];
      for (int q = 0, n = pieces_of(above); q < n; ++q) {
        if (above.piece[q].label == 0 && touches(a, above.piece[q])) {
          above.piece[q].label = label;
          flood_stack[depth++] = (k - 1) * 8 + q;
        }
      }
    }
  }
  return ext;
}

// Fills rec from the pieces labelled label on lines first..last.
void fill_range(const line_rec* lines, particle_rec* rec, int first, int last, int16_t label) {
  rec->y_start = lines[first].y_count;
  rec->y_end = rec->y_start + rec->line_no;
  int32_t count = last - first + 1;
  if (rec->line_no >= k_frame_size) {
    log_printf("particle cut due to line count overflow \n");
    rec->line_no = k_frame_size - 1;
    if (count > rec->line_no) count = rec->line_no;
  }
  const int32_t used = count > rec->line_no ? count : rec->line_no;
  reserve_lines(rec, used);
  for (int32_t e = 0; e < count; ++e) {
    const line_rec& from = lines[first + e];
    line_rec& to = rec->lines[e];
    to = line_rec{};
    int m = 0;
    for (int q = 0, n = pieces_of(from); q < n; ++q) {
      if (from.piece[q].label == label) to.piece[m++] = from.piece[q];
    }
    to.y_count = from.y_count;
    to.n_pieces = static_cast<int16_t>(m);
  }
  for (int32_t e = count; e < used; ++e) rec->lines[e] = line_rec{};
}

// A group seeded on a line with one piece that stays on such lines: from the seed it runs down
// while the next line follows by exactly 1.0 and its one piece is free and touches. True with
// the group's extent in *ext; false when a free piece of a line with several pieces touches it,
// which leaves the group to flood. Labels nothing; on such lines it finds what flood would find.
bool single_chain(const line_rec* lines, int i, int n_lines, group_extent* ext) {
  int k = i;
  int16_t min_beg = std::min<int16_t>(ext->min_beg, lines[i].piece[0].x_beg);
  int16_t max_end = std::max<int16_t>(ext->max_end, lines[i].piece[0].x_end);
  while (k + 1 < n_lines && lines[k].y_count + 1.0 == lines[k + 1].y_count) {
    const piece_rec& a = lines[k].piece[0];
    const line_rec& below = lines[k + 1];
    const int n = pieces_of(below);
    if (n == 1) {
      if (below.piece[0].label != 0 || !touches(a, below.piece[0])) break;
      ++k;
      min_beg = std::min(min_beg, below.piece[0].x_beg);
      max_end = std::max(max_end, below.piece[0].x_end);
      continue;
    }
    for (int q = 0; q < n; ++q)
      if (below.piece[q].label == 0 && touches(a, below.piece[q])) return false;
    break;
  }
  ext->last = k;
  ext->min_beg = min_beg;
  ext->max_end = max_end;
  return true;
}

// Labels the chain of lines first..last found by single_chain and, when rec is set, copies it
// into rec's line list as fill_range would: each line holds just the group's one piece, and the
// slots beyond it are 0 in the frame store as in the list.
void take_chain(line_rec* lines, int first, int last, int16_t label, particle_rec* rec) {
  if (rec == nullptr) {
    for (int k = first; k <= last; ++k) lines[k].piece[0].label = label;
    return;
  }
  rec->y_start = lines[first].y_count;
  rec->y_end = rec->y_start + rec->line_no;
  const int32_t count = last - first + 1;
  reserve_lines(rec, count);
  for (int32_t e = 0; e < count; ++e) {
    // Copied before the label is set: a whole line read right after a 2-byte store into it
    // would wait for that store.
    line_rec& from = lines[first + e];
    line_rec& to = rec->lines[e];
    to = from;
    to.piece[0].label = label;
    from.piece[0].label = label;
  }
}

// Labels run 1, 2, ... and skip 0 (unassigned) should a frame ever use up all 16-bit values.
inline int16_t next_label(int16_t label) {
  return label == -1 ? int16_t{1} : static_cast<int16_t>(label + 1);
}

}  // namespace

int16_t assign_pieces(frame_rec* frame, cam_queues* cam) {
  line_rec* const frame_lines = frame->lines;
  const int n_lines = clamp_lines(frame->n_lines);
  int16_t label = 1;
  int16_t count = 0;
  for (int i = 0; i < n_lines; ++i) {
    const int n = pieces_of(frame_lines[i]);
    for (int j = 0; j < n; ++j) {
      if (frame_lines[i].piece[j].label != 0) continue;
      // Most groups lie on lines with one piece each: found in one pass down, without the stack.
      group_extent ext;
      const bool chain = n == 1 && single_chain(frame_lines, i, n_lines, &ext);
      if (!chain) ext = flood(frame_lines, i, n_lines, j, label);
      const int32_t span = ext.last - i + 1;
      particle_rec* rec = nullptr;
      if (span < k_max_span) {
        rec = new_particle(frame_lines[i].y_count, cam);
        rec->width = static_cast<int16_t>(ext.max_end - ext.min_beg);
        rec->line_no = static_cast<int16_t>(span);
        // The line list holds exactly the group's pieces, so the flood's extent is its x range.
        rec->x_min = ext.min_beg;
        rec->x_max = ext.max_end;
        count = static_cast<int16_t>(count + 1);
      }
      if (chain) {
        take_chain(frame_lines, i, ext.last, label, rec);
        i = ext.last;  // the chain's lines hold no other piece
      } else if (rec != nullptr) {
        fill_range(frame_lines, rec, i, ext.last, label);
      }
      label = next_label(label);
    }
  }
  hprintf2("** assign_pieces: ");
  w_map();
  return count;
}

}  // namespace dp
