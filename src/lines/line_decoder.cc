#include "lines/line_decoder.h"

#include <cerrno>
#include <cmath>

#include "base/messages.h"
#include "lines/line_records.h"

namespace dp {

namespace {

constexpr int32_t k_max_column = 1024;

/// A payload that ends before the bytes a field needs: the platform's end-of-data report, in the
/// same words with the record's offset where it is known.
int16_t short_read(const char* label, int64_t record_at, int16_t* n_lin) {
  errno = 0;
  if (record_at < 0) report_syserr(label);
  else log_printf("%s: unexpected end of file (record at offset %lld)\n", label, static_cast<long long>(record_at));
  *n_lin = 0;
  return 0;
}

int16_t reject(const char* reason, int64_t record_at, int16_t* n_lin) {
  if (record_at < 0) log_printf("decmpr: record rejected: %s\n", reason);
  else log_printf("decmpr: record rejected: %s (record at offset %lld)\n", reason, static_cast<long long>(record_at));
  *n_lin = 0;
  return 0;
}

}  // namespace

int16_t decmpr(const uint8_t* p, const int32_t len, const int16_t format, line_rec* out, int16_t* n_lin,
               const int64_t record_at) {
  if (len < 2) return short_read("decmpr01", record_at, n_lin);
  const int16_t count = load_les16(p);
  if (count == 0) {
    *n_lin = 0;
    return 0;
  }
  if (count < 0) return reject("negative line count", record_at, n_lin);
  hprintf("decmpr: *n_lin=%d\n", static_cast<int32_t>(count));

  const bool wide = format == 3;
  const int32_t head = wide ? 12 : 8;
  line_rec* const buf = out;
  const int32_t limit = count < k_line_buf_size ? count : k_line_buf_size;
  line_rec saved{};
  int32_t i = 0;
  int32_t pos = 2;
  bit_reader r;

  while (i < count) {
    if (len - pos < 4) return short_read("decmpr02", record_at, n_lin);
    const uint8_t* const block = p + pos;
    const uint32_t header = load_le32(block);
    const int32_t block_len = static_cast<int32_t>(header & 0x3fffu);
    const int32_t x_off = static_cast<int32_t>((header >> 14) & 0x3ffu);
    const int nb_dark = static_cast<int>((header >> 24) & 0xfu);
    const int nb_light = static_cast<int>(header >> 28);
    if (block_len < head) return reject("block shorter than its header", record_at, n_lin);
    if (nb_dark == 0 || nb_light == 0) return reject("code width 0", record_at, n_lin);
    if (len - pos < head) return short_read("decmpr03", record_at, n_lin);
    double y = wide ? load_f64(block + 4) : static_cast<double>(load_le32(block + 4));
    if (len - pos < block_len) return short_read("decmpr04", record_at, n_lin);
    // Below 1.0, and equally a line number that is no number at all (NaN or infinite).
    if (!(y >= 1.0) || std::isinf(y)) {
      *n_lin = 0;
      return 0;
    }
    get_bits_reset(r, block, block_len, head);

    for (;;) {
      int flag;
      const int32_t light = static_cast<int32_t>(get_bits(r, nb_light, &flag));
      if (r.overrun) return reject("code stream runs past its block", record_at, n_lin);
      if (flag == 1 && light == 0) break;
      if (i >= limit) {
        log_printf("decmpr: i=%d n_lin=%d \n", i, count);
        *n_lin = static_cast<int16_t>(i);
        return 1;
      }
      line_rec& ln = buf[i];

      if (flag == 1) {
        if (i == 0) {
          log_printf("y_count=%f\n", y);
          log_printf("repet found : i=%d light=%d n_lin=%d \n", i, light, count);
          log_printf("error 02 \n");
          *n_lin = 0;
          return 0;
        }
        for (int32_t k = 0; k < light; ++k) {
          if (i >= limit) {
            log_printf("i=%d k=%d light=%d n_lin=%d \n", i, k, light, count);
            log_printf("decmpr: i=%d \n", i);
            *n_lin = static_cast<int16_t>(i);
            return 1;
          }
          buf[i] = saved;
          buf[i].y_count = y;
          y += 1.0;
          ++i;
        }
        continue;
      }

      ln = line_rec{};
      ln.y_count = y;
      int32_t x_beg = x_off + light;
      if (x_beg > k_max_column) return reject("column beyond 1024", record_at, n_lin);
      int32_t x_end = x_beg + static_cast<int32_t>(get_bits(r, nb_dark, &flag));
      if (r.overrun) return reject("code stream runs past its block", record_at, n_lin);
      if (x_end > k_max_column) return reject("column beyond 1024", record_at, n_lin);
      ln.piece[0].x_beg = static_cast<int16_t>(x_beg);
      ln.piece[0].x_end = static_cast<int16_t>(x_end);
      int32_t j = 0;
      while (flag == 0) {
        ++j;
        if (j == k_max_pieces) {
          log_printf("j=%d\n", j);
          *n_lin = 0;
          return 0;
        }
        const int32_t gap = static_cast<int32_t>(get_bits(r, nb_light, &flag));
        if (r.overrun) return reject("code stream runs past its block", record_at, n_lin);
        if (flag == 1) {
          log_printf("y_count=%lu\n", line_lu(y));
          log_printf(" %3d-%3d\n", ln.piece[j - 1].x_beg, ln.piece[j - 1].x_end);
          log_printf("err.01: n_lin=%d i=%d j=%d \n", count, i, j);
          *n_lin = 0;
          return 0;
        }
        x_beg = x_end + gap;
        if (x_beg > k_max_column) return reject("column beyond 1024", record_at, n_lin);
        x_end = x_beg + static_cast<int32_t>(get_bits(r, nb_dark, &flag));
        if (r.overrun) return reject("code stream runs past its block", record_at, n_lin);
        if (x_end > k_max_column) return reject("column beyond 1024", record_at, n_lin);
        ln.piece[j].x_beg = static_cast<int16_t>(x_beg);
        ln.piece[j].x_end = static_cast<int16_t>(x_end);
      }
      ln.n_pieces = static_cast<int16_t>(j + 1);
      saved = ln;
      y += 1.0;
      ++i;
    }
    pos += block_len;
  }
  *n_lin = static_cast<int16_t>(i);
  return 1;
}

}  // namespace dp
