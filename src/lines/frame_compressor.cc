#include "lines/frame_compressor.h"

#include <bit>
#include <cstring>

#include "base/messages.h"

namespace dp {

namespace {

constexpr int32_t k_max_code_value = 1023;  // largest value of an 11-bit code
constexpr int32_t k_max_column = 1024;      // the decoder takes no column beyond

// How one block is to be coded, as the scan finds it.
struct block_plan {
  int32_t end;      // one past the block's last line
  int32_t x_off;    // smallest x_beg of piece 0 over the block
  int32_t largest;  // largest light value, the longest repetition code
  int32_t nb_light;
  int32_t nb_dark;
};

struct compressor_state {
  uint8_t out[k_frame_limit];
  uint16_t rep[32768];      // repetitions after each distinct line, by line index
  block_plan block[32768];  // the blocks of the image, in order
};

compressor_state cmp;

// Pieces are three 16-bit fields without padding, so equal bytes mean equal pieces.
static_assert(sizeof(piece_rec) == 3 * sizeof(int16_t));

bool same_line(const line_rec& a, const line_rec& b) {
  return a.n_pieces == b.n_pieces && std::memcmp(a.piece, b.piece, sizeof a.piece) == 0;
}

/// True when every value of the line fits its code and the block header's x offset.
bool codable(const line_rec& ln) {
  if (ln.n_pieces < 1 || ln.n_pieces > k_max_pieces) return false;
  if (ln.piece[0].x_beg < 0 || ln.piece[0].x_beg > k_max_code_value) return false;
  int32_t prev_end = ln.piece[0].x_beg;
  for (int k = 0; k < ln.n_pieces; ++k) {
    const int32_t gap = ln.piece[k].x_beg - prev_end;
    const int32_t length = ln.piece[k].x_end - ln.piece[k].x_beg;
    if (gap < 0 || gap > k_max_code_value || length < 0 || length > k_max_code_value) return false;
    if (ln.piece[k].x_end > k_max_column) return false;
    prev_end = ln.piece[k].x_end;
  }
  return true;
}

/// Width of the codes for a largest value of 1..1023: 2 + index of its highest bit among 1..9.
int code_width(const int32_t largest) {
  return largest < 2 ? 2 : 1 + std::bit_width(static_cast<uint32_t>(largest));
}

/// Codes the block lines[i..end) at out[start]; returns the block's length in bytes.
int32_t write_block(const line_rec* lines, const int32_t i, const int32_t end, const int32_t start,
                    const int32_t x_off, const int32_t largest, const int nb_light,
                    const int nb_dark) {
  bit_writer w;
  put_bits_reset(w, cmp.out, k_frame_limit, start + 12);
  int32_t j = i;
  while (j < end) {
    const line_rec& ln = lines[j];
    const int n_p = ln.n_pieces;
    // Each piece as one light code (the gap before it) and one dark code, appended together.
    // Most lines of drops hold one piece: its two codes without the loop.
    if (n_p == 1) {
      const uint32_t light = code_bits(static_cast<uint32_t>(ln.piece[0].x_beg - x_off), nb_light, false);
      const uint32_t dark = code_bits(static_cast<uint32_t>(ln.piece[0].x_end - ln.piece[0].x_beg), nb_dark, true);
      put_raw(w, light | dark << nb_light, nb_light + nb_dark);
    } else {
      int32_t prev_end = x_off;
      for (int k = 0; k < n_p; ++k) {
        const int32_t gap = ln.piece[k].x_beg - prev_end;
        const int32_t length = ln.piece[k].x_end - ln.piece[k].x_beg;
        const uint32_t light = code_bits(static_cast<uint32_t>(gap), nb_light, false);
        const uint32_t dark = code_bits(static_cast<uint32_t>(length), nb_dark, k == n_p - 1);
        put_raw(w, light | dark << nb_light, nb_light + nb_dark);
        prev_end = ln.piece[k].x_end;
      }
    }
    const int32_t reps = cmp.rep[j];
    int32_t left = reps;
    while (left > largest) {
      put_bits(w, static_cast<uint32_t>(largest), nb_light, true);
      left -= largest;
    }
    if (left != 0) put_bits(w, static_cast<uint32_t>(left), nb_light, true);
    j += 1 + reps;
  }
  put_bits(w, 0, nb_light, true);
  put_bits_end(w);
  if (w.overflow) fatal_log_first("cmpr_frm exceede \n", "cmpr_frm exceede \n");
  const int32_t block_len = w.pos - start;
  store_le32(cmp.out + start, static_cast<uint32_t>(block_len) | (static_cast<uint32_t>(x_off) << 14) |
                                  (static_cast<uint32_t>(nb_dark) << 24) |
                                  (static_cast<uint32_t>(nb_light) << 28));
  store_f64(cmp.out + start + 4, lines[i].y_count);
  return block_len;
}

/// Scans lines[0..n) into blocks: cmp.block, and cmp.rep for each distinct line. Returns the
/// number of blocks, or -1 on a line that cannot be coded (a repeated line is codable when the
/// line it repeats is, so only distinct lines are checked). Writes nothing to cmp.out.
int32_t plan_blocks(const int32_t n, const line_rec* lines) {
  int32_t n_blocks = 0;
  int32_t i = 0;
  while (i < n) {
    // Scan the block: its lines, its distinct lines with their repetitions, its largest values.
    const double y0 = lines[i].y_count;
    int32_t d = i;
    cmp.rep[i] = 0;
    int32_t x_min = lines[i].piece[0].x_beg;
    int32_t x_max = x_min;
    int32_t largest_light = 1;
    int32_t largest_dark = 1;
    int32_t j = i;
    for (;;) {
      // A new distinct line; most lines of drops hold one piece, checked as codable() would
      // check it (its only gap is 0) without the loops over the pieces.
      if (j == d && lines[j].n_pieces == 1) {
        const int32_t x_beg = lines[j].piece[0].x_beg;
        const int32_t length = lines[j].piece[0].x_end - x_beg;
        if (x_beg < 0 || x_beg > k_max_code_value || length < 0 || length > k_max_code_value ||
            x_beg + length > k_max_column)
          return -1;
        if (x_beg < x_min) x_min = x_beg;
        if (x_beg > x_max) x_max = x_beg;
        if (length > largest_dark) largest_dark = length;
      } else if (j == d) {
        const line_rec& ln = lines[j];
        if (!codable(ln)) return -1;
        if (ln.piece[0].x_beg < x_min) x_min = ln.piece[0].x_beg;
        if (ln.piece[0].x_beg > x_max) x_max = ln.piece[0].x_beg;
        for (int k = 0; k < ln.n_pieces; ++k) {
          const int32_t length = ln.piece[k].x_end - ln.piece[k].x_beg;
          if (length > largest_dark) largest_dark = length;
          if (k > 0) {
            const int32_t gap = ln.piece[k].x_beg - ln.piece[k - 1].x_end;
            if (gap > largest_light) largest_light = gap;
          }
        }
      }
      ++j;
      if (j >= n || lines[j].y_count != y0 + static_cast<double>(j - i)) break;
      if (!same_line(lines[j], lines[d])) {
        if (j - d > 1) {
          cmp.rep[d] = static_cast<uint16_t>(j - d - 1);
          if (j - d - 1 > largest_light) largest_light = j - d - 1;
        }
        d = j;
        cmp.rep[d] = 0;
      }
    }
    const int32_t end = j;
    if (end - d - 1 > 0) {
      cmp.rep[d] = static_cast<uint16_t>(end - d - 1);
      if (end - d - 1 > largest_light) largest_light = end - d - 1;
    }
    if (x_max - x_min > largest_light) largest_light = x_max - x_min;
    if (largest_light > k_max_code_value) largest_light = k_max_code_value;

    cmp.block[n_blocks++] = {end, x_min, largest_light, code_width(largest_light),
                             code_width(largest_dark)};
    i = end;
  }
  return n_blocks;
}

}  // namespace

int16_t cmpr_frm(const int16_t n, const line_rec* lines, int16_t* len, const uint8_t** buf) {
  if (n < 0) return 0;
  const int32_t n_blocks = plan_blocks(n, lines);
  if (n_blocks < 0) return 0;

  store_le16(cmp.out, static_cast<uint16_t>(n));
  int32_t start = 2;
  int32_t i = 0;
  for (int32_t b = 0; b < n_blocks; ++b) {
    const block_plan& p = cmp.block[b];
    start += write_block(lines, i, p.end, start, p.x_off, p.largest, p.nb_light, p.nb_dark);
    i = p.end;
  }
  *len = static_cast<int16_t>(start);
  *buf = cmp.out;
  return 1;
}

}  // namespace dp
