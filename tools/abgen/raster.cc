#include "raster.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace dp::abgen {

namespace {

// Squeezes the slot's runs into six pieces or fewer so that more runs fit.
void compact(line_slot& slot, int32_t n_pix) {
  line_rec l;
  bool squeezed = false;
  if (!tidy_line(slot.beg, slot.end, slot.n, n_pix, &l, &squeezed)) {
    slot.n = 0;
    return;
  }
  slot.n = l.n_pieces;
  for (int j = 0; j < l.n_pieces; ++j) {
    slot.beg[j] = l.piece[j].x_beg;
    slot.end[j] = l.piece[j].x_end;
  }
}

}  // namespace

void cam_lines_init(cam_lines& c, int32_t n_pix, int64_t first_line, double threshold) {
  c.n_pix = n_pix;
  c.threshold = threshold;
  c.ring.assign(k_ring_lines, line_slot{});
  c.used.assign(k_ring_lines / 64, 0);
  c.next_out = first_line;
  c.open = 0;
  c.merged_to_six = 0;
}

raster_result add_silhouette(cam_lines& c, const silhouette& s, bool* fits) {
  raster_result res;
  const int64_t k0 = static_cast<int64_t>(std::ceil(s.y0));
  const int64_t k1 = static_cast<int64_t>(std::ceil(s.y0 + s.n_lines));  // one past the last
  if (k0 < c.next_out || k1 - c.next_out >= k_ring_lines) {
    *fits = false;
    return res;
  }
  for (int64_t k = k0; k < k1; ++k) {
    const double f = (static_cast<double>(k) - s.y0) / s.n_lines;
    if (f < 0.0 || f >= 1.0) continue;
    const double hw = s.half_px * 2.0 * std::sqrt(f * (1.0 - f));
    const double lo = std::ceil(s.centre - hw - (1.0 - c.threshold));
    const double hi = std::floor(s.centre + hw - c.threshold) + 1.0;
    if (hi <= lo) continue;
    if (lo < 0.0 || hi > c.n_pix) res.clipped = true;
    const double b = std::max(lo, 0.0), e = std::min(hi, static_cast<double>(c.n_pix));
    if (e <= b) continue;
    if (res.n_lines == 0) res.first = k;
    ++res.n_lines;
    const size_t at = static_cast<size_t>(k % k_ring_lines);
    line_slot& slot = c.ring[at];
    if (slot.y != k) {
      slot.y = k;
      slot.n = 0;
      c.used[at / 64] |= uint64_t{1} << (at % 64);
      ++c.open;
    }
    if (slot.n == k_slot_runs) compact(slot, c.n_pix);
    slot.beg[slot.n] = static_cast<int16_t>(b);
    slot.end[slot.n] = static_cast<int16_t>(e);
    ++slot.n;
  }
  return res;
}

void take_lines(cam_lines& c, int64_t frontier, std::vector<line_rec>& out) {
  while (c.open > 0 && c.next_out < frontier) {
    // The next slot in use at or after next_out, found a word of the bitmap at a time.
    const size_t at = static_cast<size_t>(c.next_out % k_ring_lines);
    const uint64_t bits = c.used[at / 64] >> (at % 64);
    const int64_t next = c.next_out + (bits == 0 ? static_cast<int64_t>(64 - at % 64) : std::countr_zero(bits));
    if (next >= frontier) break;  // lines from frontier on may still get shadow
    c.next_out = next;
    if (bits == 0) continue;
    const size_t s = static_cast<size_t>(c.next_out % k_ring_lines);
    line_slot& slot = c.ring[s];
    line_rec l;
    bool squeezed = false;
    if (tidy_line(slot.beg, slot.end, slot.n, c.n_pix, &l, &squeezed)) {
      l.y_count = static_cast<double>(slot.y);
      out.push_back(l);
      if (squeezed) ++c.merged_to_six;
    }
    slot.y = -1;
    slot.n = 0;
    c.used[s / 64] &= ~(uint64_t{1} << (s % 64));
    --c.open;
    ++c.next_out;
  }
  c.next_out = std::max(c.next_out, frontier);
}

bool tidy_line(const int16_t* beg, const int16_t* end, int n, int32_t n_pix, line_rec* out,
               bool* squeezed) {
  int16_t b[k_slot_runs], e[k_slot_runs];
  int m = 0;
  for (int i = 0; i < n; ++i) {
    const int16_t lo = std::max<int16_t>(beg[i], 0);
    const int16_t hi = static_cast<int16_t>(std::min<int32_t>(end[i], n_pix));
    if (hi <= lo) continue;
    int j = m++;  // insertion by x_beg
    for (; j > 0 && b[j - 1] > lo; --j) {
      b[j] = b[j - 1];
      e[j] = e[j - 1];
    }
    b[j] = lo;
    e[j] = hi;
  }
  int k = 0;  // merge overlapping or touching runs
  for (int i = 0; i < m; ++i) {
    if (k > 0 && b[i] <= e[k - 1]) {
      e[k - 1] = std::max(e[k - 1], e[i]);
    } else {
      b[k] = b[i];
      e[k] = e[i];
      ++k;
    }
  }
  *out = line_rec{};
  *squeezed = k > k_max_pieces;
  if (k == 0) return false;
  if (k > k_max_pieces) {
    e[k_max_pieces - 1] = e[k - 1];
    k = k_max_pieces;
  }
  out->n_pieces = static_cast<int16_t>(k);
  for (int j = 0; j < k; ++j) {
    out->piece[j].x_beg = b[j];
    out->piece[j].x_end = e[j];
  }
  return true;
}

}  // namespace dp::abgen
