#include "headers/timing_model.h"

#include <cmath>
#include <cstring>
#include <new>

#include "base/messages.h"

namespace dp {

timing_state timing;

namespace {

hd_node* new_node(double line, const main_hd& hd) {
  hd_node* const node = new (std::nothrow) hd_node;
  if (node == nullptr) fatal_announced(" malloc failed in main_tim\n");
  node->hd = hd;
  node->line = line;
  return node;
}

[[noreturn]] void header_time_jump(const main_hd& old_hd, const main_hd& new_hd) {
  con_printf("%s", k_announce);
  std::fflush(stdout);
  log_printf(" indic    = %d %d \n", old_hd.indic, new_hd.indic);
  log_printf(" len_prev = %d %d \n", old_hd.len_prev, new_hd.len_prev);
  log_printf(" L0_1     = %f %f \n", double{old_hd.L0_1}, double{new_hd.L0_1});
  log_printf(" L0_2     = %f %f \n", double{old_hd.L0_2}, double{new_hd.L0_2});
  log_printf(" main_time= %ld %ld \n", long{static_cast<int32_t>(old_hd.main_time)},
             long{static_cast<int32_t>(new_hd.main_time)});
  log_printf(" gate1    = %d %d \n", old_hd.gate1, new_hd.gate1);
  log_printf(" gate2    = %d %d \n", old_hd.gate2, new_hd.gate2);
  log_printf(" line_fr  = %lf %lf \n", old_hd.line_fr, new_hd.line_fr);
  log_printf(" XSCALE0_1= %f %f \n", double{old_hd.XSCALE0_1}, double{new_hd.XSCALE0_1});
  log_printf(" XSCALE0_2= %f %f \n", double{old_hd.XSCALE0_2}, double{new_hd.XSCALE0_2});
  log_printf(" HBL      = %f %f \n", double{old_hd.HBL}, double{new_hd.HBL});
  log_printf(" HBR      = %f %f \n", double{old_hd.HBR}, double{new_hd.HBR});
  log_printf(" HFR      = %f %f \n", double{old_hd.HFR}, double{new_hd.HFR});
  log_printf("\n\n neg. time jump ?!?!?! \n");
  fatal_end();
}

}  // namespace

void main_tim(const main_hd& hd, const double base_frequ) {
  const double lin_day = static_cast<double>(hd.main_time % 86400u) * base_frequ;

  if (timing.head == nullptr) {
    hd_node* const node = new_node(lin_day, hd);
    timing.head = timing.tail = node;
    return;
  }
  for (const hd_node* ptr = timing.head; ptr != nullptr; ptr = ptr->next) {
    if (ptr->line < lin_day) continue;
    con_printf("lin_day=%lu ptr->line=%lu base_frequ=%lf \n", line_lu(lin_day), line_lu(ptr->line), base_frequ);
    uint8_t old_bytes[k_main_hd_size];
    uint8_t new_bytes[k_main_hd_size];
    encode_main_hd(ptr->hd, old_bytes);
    encode_main_hd(hd, new_bytes);
    if (std::memcmp(old_bytes, new_bytes, k_main_hd_size) == 0) return;
    header_time_jump(ptr->hd, hd);
  }
  hd_node* const node = new_node(lin_day, hd);
  node->index = static_cast<int16_t>(timing.tail->index + 1);
  node->prev = timing.tail;
  timing.tail->next = node;
  timing.tail = node;
}

bool minute_of(double y, double f, int32_t* minute) {
  const double q = y / (f * 60.0);
  if (!std::isfinite(q) || q <= -2147483649.0 || q >= 2147483648.0) return false;
  *minute = static_cast<int32_t>(q);
  return true;
}

void book_minute(int16_t kind, const frame_rec* frame, int32_t prev_pos, double base_frequ) {
  if ((kind != 1 && kind != 2) || frame == nullptr || frame->n_lines <= 0) return;
  const bool cam_a = kind == 1;
  int32_t* const pos_bf = cam_a ? timing.posa_bf : timing.posb_bf;
  int16_t& minut = cam_a ? timing.minut_a : timing.minut_b;
  double& old = cam_a ? timing.old_a : timing.old_b;

  int32_t m32 = 0;
  if (minute_of(frame->lines[0].y_count, base_frequ, &m32)) {
    const auto m = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(m32)));
    if (m > minut) {
      if (m <= k_minutes - 1) pos_bf[m] = prev_pos;
      minut = m;
      hprintf(cam_a ? "posa_bf[%d]=%ld \n" : "posb_bf[%d]=%ld \n", int32_t{m}, m <= k_minutes - 1 ? pos_bf[m] : 0);
      hprintf("minut_a=%d minut_b=%d \n", int32_t{timing.minut_a}, int32_t{timing.minut_b});
    }
  }

  const int32_t n = frame->n_lines < k_frame_size ? frame->n_lines : k_frame_size;
  for (int32_t i = 0; i < n; ++i) {
    const double y = frame->lines[i].y_count;
    if (y > old) {
      old = y;
      continue;
    }
    con_printf("%s", k_announce);
    std::fflush(stdout);
    if (cam_a) {
      log_printf("old_a=%lu line_buf[%d].y_count=%lu \n", line_lu(old), static_cast<int>(i), line_lu(y));
      log_printf("neg. time jump in A \n");
    } else {
      log_printf("y_count=%lu\n", line_lu(y));
      log_printf("neg. time jump in B \n");
    }
    fatal_end();
  }
}

void reset_timing() {
  hd_node* node = timing.head;
  while (node != nullptr) {
    hd_node* const next = node->next;
    delete node;
    node = next;
  }
  timing = timing_state{};
}

}  // namespace dp
