// Fuzz target of the line-data decoder: the first byte picks the raw file's format (byte % 3 + 1),
// the rest is one line-data payload. Whatever decmpr hands back as decoded must be lines the rest
// of the pipeline can take: 1..6 pieces in column order inside 0..1024, no labels.
#include <algorithm>
#include <climits>

#include "base/byte_order.h"
#include "fuzz/fuzz_harness.h"
#include "lines/line_decoder.h"
#include "lines/line_records.h"

namespace dp_fuzz {

int fuzz_line_decoder(const uint8_t* data, size_t size) {
  init();
  if (size < 1) return 0;
  const uint8_t* const p = data + 1;
  const auto len = static_cast<int32_t>(std::min<size_t>(size - 1, INT32_MAX));
  int16_t n = -1;
  static dp::line_rec decoded[dp::k_line_buf_size];
  const int16_t ok = dp::decmpr(p, len, static_cast<int16_t>(data[0] % 3 + 1), decoded, &n, -1);
  if (ok != 1) {
    if (n != 0) finding("decmpr refused a record but handed back %d lines\n", n);
    return 0;
  }
  const int16_t count = dp::load_les16(p);
  if (n <= 0 || n > count || n > dp::k_line_buf_size) finding("decmpr: %d lines from a record of %d\n", n, count);
  for (int i = 0; i < n; ++i) {
    const dp::line_rec& line = decoded[i];
    if (line.n_pieces < 1 || line.n_pieces > dp::k_max_pieces) finding("line %d has %d pieces\n", i, line.n_pieces);
    for (int j = 0; j < dp::k_max_pieces; ++j) {
      const dp::piece_rec& piece = line.piece[j];
      if (piece.label != 0) finding("line %d piece %d carries a label\n", i, j);
      if (j >= line.n_pieces) {
        if (piece.x_beg != 0 || piece.x_end != 0) finding("line %d has a piece beyond its count\n", i);
        continue;
      }
      const int from = j == 0 ? 0 : line.piece[j - 1].x_end;
      if (piece.x_beg < from || piece.x_end < piece.x_beg || piece.x_end > 1024)
        finding("line %d piece %d: %d-%d after %d\n", i, j, piece.x_beg, piece.x_end, from);
    }
  }
  return 0;
}

}  // namespace dp_fuzz
