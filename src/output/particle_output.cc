#include "output/particle_output.h"

#include <cmath>
#include <cstring>

#include "base/byte_order.h"
#include "base/messages.h"
#include "lines/frame_compressor.h"

namespace dp {

namespace {

// Compresses p's image into stage at offset at (2-byte length, then the bytes); returns its
// length, or -1 after the error-log line when the compressor cannot code it.
int32_t stage_image(const particle_rec* p, char cam, uint8_t* stage, int32_t at) {
  int16_t len = 0;
  const uint8_t* img = nullptr;
  if (cmpr_frm(p->line_no, p->lines, &len, &img) == 0 || len < 0) {
    log_printf("cmpr_frm: image of camera %c cannot be coded, pair dropped (y_start=%lu)\n", cam,
               line_lu(p->y_start));
    return -1;
  }
  store_le16(stage + at, static_cast<uint16_t>(len));
  if (len > 0) std::memcpy(stage + at + 2, img, static_cast<size_t>(len));
  return len;
}

// trunc(v) as int32; 0 when v is not finite or outside int32. trunc(v) lies in int32 exactly
// when v lies strictly between -2^31 - 1 and 2^31, and the conversion truncates by itself (no
// trunc call: the baseline x86-64 has no instruction for it).
int32_t trunc32_or0(double v) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return 0;  // NaN and the infinities too
  return static_cast<int32_t>(v);
}

}  // namespace

int16_t field16(double v) {
  if (!std::isfinite(v) || v < -9223372036854775808.0 || v >= 9223372036854775808.0) return 0;
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(static_cast<int64_t>(v))));
}

int pix_out(const particle_rec* a, const particle_rec* b, const eval_inputs& in, int16_t len_prev, uint8_t* stage,
            uint8_t head[k_sno_head]) {
  eval_result ev;
  if (!eval_dr(a, b, in, &ev)) return 0;

  // The compressor's buffer is overwritten by its next call: A is copied out before B is coded.
  const int32_t len_a = stage_image(a, 'A', stage, 0);
  if (len_a < 0) return 0;
  const int32_t len_b = stage_image(b, 'B', stage, 2 + len_a);
  if (len_b < 0) return 0;

  const int32_t rec_len = len_a + len_b + 34;
  if (rec_len >= k_max_record) {
    log_printf("particle lost due to length overflow \n");
    return 0;
  }

  const int64_t diff_lins = static_cast<int64_t>(trunc32_or0(b->y_start - a->y_start)) +
                            trunc32_or0(b->y_end - a->y_end);
  if (ev.eq_diam < 0.01) {
    log_printf("\neq_diam problem:\n");
    log_printf("eq_diam= %f  ", static_cast<double>(ev.eq_diam));
    log_printf("line_no_A= %d  ", a->line_no);
    log_printf("line_no_B= %d\n", b->line_no);
    log_printf("diff_lins= %lld\n", static_cast<long long>(diff_lins));
  }

  const auto line_no_diff = static_cast<int8_t>(static_cast<uint8_t>(b->line_no - a->line_no));
  store_le16(head + 0, static_cast<uint16_t>(rec_len));
  store_le16(head + 2, static_cast<uint16_t>(len_prev));
  store_f64(head + 4, a->y_start);
  store_le16(head + 12, static_cast<uint16_t>(field16(ev.eq_diam * 100.0)));
  store_le16(head + 14, static_cast<uint16_t>(a->line_no));
  store_le16(head + 16, static_cast<uint16_t>(static_cast<int16_t>(line_no_diff)));
  store_le16(head + 18, static_cast<uint16_t>(diff_lins));
  store_le16(head + 20, static_cast<uint16_t>(a->x_min));
  store_le16(head + 22, static_cast<uint16_t>(b->x_min));
  store_le16(head + 24, static_cast<uint16_t>(field16(ev.scale_h * 10000.0)));
  store_le16(head + 26, static_cast<uint16_t>(field16(ev.scale_a * 10000.0)));
  store_le16(head + 28, static_cast<uint16_t>(field16(ev.scale_b * 10000.0)));
  return 1;
}

}  // namespace dp
