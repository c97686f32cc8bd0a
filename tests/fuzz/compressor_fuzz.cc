// Fuzz target of the frame compressor as a round trip: the bytes describe a particle's lines;
// cmpr_frm must refuse exactly the lines it cannot code and leave its outputs alone then, and
// what it writes must decode (format 3) to the same lines.
//
// Input: uint32 first line number (plus 1), then per line a control byte c and its values:
//   c & 3         0 or 3: the next line; 1: the previous line once more on the next line;
//                 2: a jump of 2 + (byte) lines
//   (c >> 2) & 7  pieces - 1 (7 and 8 pieces cannot be coded)
//   c & 0x20      wide: the first column, gaps and lengths are int16 (any value, so possibly not
//                 codable); otherwise the first column is byte * 4 and gaps and lengths are bytes
// Lines are added until the input ends or 2000 lines (as many as one record decodes to) are there.
#include <vector>

#include "fuzz/fuzz_harness.h"
#include "lines/frame_compressor.h"
#include "lines/line_decoder.h"
#include "lines/line_records.h"

namespace dp_fuzz {

namespace {

struct byte_reader {
  const uint8_t* p;
  size_t left;
  bool more() const { return left > 0; }
  uint32_t u8() {
    if (left == 0) return 0;
    --left;
    return *p++;
  }
  uint32_t u16() { return u8() | (u8() << 8); }
};

// What the compressor documents it can code: 1..6 pieces, the first column 0..1023, gaps and
// piece lengths 0..1023, no piece ending beyond column 1024.
bool codable(const dp::line_rec& l) {
  if (l.n_pieces < 1 || l.n_pieces > 6) return false;
  if (l.piece[0].x_beg < 0 || l.piece[0].x_beg > 1023) return false;
  for (int k = 0; k < l.n_pieces; ++k) {
    const int gap = k == 0 ? 0 : l.piece[k].x_beg - l.piece[k - 1].x_end;
    const int length = l.piece[k].x_end - l.piece[k].x_beg;
    if (gap < 0 || gap > 1023 || length < 0 || length > 1023 || l.piece[k].x_end > 1024) return false;
  }
  return true;
}

}  // namespace

int fuzz_compressor(const uint8_t* data, size_t size) {
  init();
  byte_reader in{data, size};
  double y = 1.0 + (in.u16() | (in.u16() << 16));
  std::vector<dp::line_rec> lines;
  bool all_codable = true;
  while (in.more() && lines.size() < static_cast<size_t>(dp::k_line_buf_size)) {
    const uint32_t c = in.u8();
    dp::line_rec l{};
    if ((c & 3) == 1 && !lines.empty()) {
      l = lines.back();
    } else {
      const bool wide = (c & 0x20) != 0;
      l.n_pieces = static_cast<int16_t>(((c >> 2) & 7) + 1);
      int32_t x = wide ? static_cast<int16_t>(in.u16()) : static_cast<int32_t>(in.u8() * 4);
      for (int k = 0; k < l.n_pieces && k < dp::k_max_pieces; ++k) {
        if (k > 0) x += wide ? static_cast<int16_t>(in.u16()) : static_cast<int32_t>(in.u8());
        l.piece[k].x_beg = static_cast<int16_t>(x);
        x += wide ? static_cast<int16_t>(in.u16()) : static_cast<int32_t>(in.u8());
        l.piece[k].x_end = static_cast<int16_t>(x);
      }
    }
    if (!lines.empty()) y += (c & 3) == 2 ? 2.0 + in.u8() : 1.0;
    l.y_count = y;
    all_codable = all_codable && codable(l);
    lines.push_back(l);
  }

  const auto n = static_cast<int16_t>(lines.size());
  int16_t len = -7;
  const uint8_t* buf = nullptr;
  int16_t ok = 0;
  if (!guarded([&] { ok = dp::cmpr_frm(n, lines.data(), &len, &buf); })) return 0;  // "cmpr_frm exceede"
  if (!all_codable) {
    if (ok != 0 || len != -7 || buf != nullptr) finding("cmpr_frm coded lines it cannot code\n");
    return 0;
  }
  if (ok != 1 || buf == nullptr || len < 2) finding("cmpr_frm refused %d codable lines\n", n);

  static dp::line_rec back[dp::k_line_buf_size];
  int16_t got = -1;
  const int16_t decoded = dp::decmpr(buf, len, 3, back, &got, -1);
  if (n == 0) {
    if (decoded != 0 || got != 0) finding("an empty image decoded to %d lines\n", got);
    return 0;
  }
  if (decoded != 1 || got != n) finding("%d lines compressed, %d decoded (result %d)\n", n, got, decoded);
  for (int i = 0; i < n; ++i) {
    const dp::line_rec& a = lines[static_cast<size_t>(i)];
    const dp::line_rec& b = back[i];
    bool same = a.y_count == b.y_count && a.n_pieces == b.n_pieces;
    for (int k = 0; k < dp::k_max_pieces; ++k)
      same = same && a.piece[k].x_beg == b.piece[k].x_beg && a.piece[k].x_end == b.piece[k].x_end &&
             b.piece[k].label == 0;
    if (!same) finding("line %d of %d does not come back from the compressor as it went in\n", i, n);
  }
  return 0;
}

}  // namespace dp_fuzz
