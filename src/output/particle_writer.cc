#include "output/particle_writer.h"

#include <cstdio>
#include <cstring>

#include "base/byte_order.h"
#include "base/messages.h"
#include "output/output_files.h"
#include "platform/clock.h"

namespace dp {

particle_writer_state writer;

namespace {

void flush(uint32_t now) {
  writer.last_flush = now;
  if (writer.sno_fill != 0) {
    hprintf("lastpix_y=%lu now writing %ld ", static_cast<uint32_t>(line_lu(writer.lastpix_y)), writer.sno_fill);
    append_particle_block(writer.sno_buf, writer.sno_fill, &writer.sno_pos, &writer.pix_end);
    writer.sno_size += writer.sno_fill;
    // The tables go out after the records they point at.
    writer.lastpix_y = writer.buffered_y;
    const timing_state& timing = *writer.sources.timing;
    rewrite_tables(writer.pix_bf, writer.oldlen, timing.posa_bf, timing.posb_bf, writer.lastpix_y);
  }
  writer.force_flush = 0;
  writer.sno_fill = 0;
  hprintf(" written \n");
}

// Enters the record about to be placed at sno_size + sno_fill into the minute index.
void index_minute(double y) {
  int32_t m32 = 0;
  if (!minute_of(y, writer.line_frequ, &m32)) return;
  const auto m = static_cast<int16_t>(m32);
  if (m <= writer.minut_pix) return;
  const int last = m < k_minutes - 1 ? m : k_minutes - 1;
  for (int k = writer.minut_pix + 1; k <= last; ++k)
    if (writer.pix_bf[k] == -1) writer.pix_bf[k] = writer.sno_size + writer.sno_fill;
  writer.minut_pix = m;
}

}  // namespace

void connect_writer(const writer_sources& sources) { writer.sources = sources; }

void set_writer_line_frequency(double base_frequ) { writer.line_frequ = base_frequ; }

void net_wr(const particle_rec* a, const particle_rec* b) {
  if (!sno_open())
    fatal_console_first("sno-file does not exist!", "net_wr: sno-file does not exist!");

  uint8_t head[k_sno_head];
  const bool pair = a != nullptr && b != nullptr;
  int32_t rec_len = 0;
  if (pair) {
    const eval_inputs in{writer.sources.timing->head, writer.sources.timing->tail, writer.sources.calib};
    if (pix_out(a, b, in, writer.oldlen, writer.img_stage, head) == 0) return;
    if (!(a->y_start > writer.lastpix_y)) return;
    rec_len = load_les16(head);
  }

  const uint32_t now = clock_now_seconds();
  if (writer.force_flush != 0 || now - writer.last_flush > k_flush_seconds ||
      (pair && writer.sno_fill + rec_len >= k_sno_buf))
    flush(now);
  if (!pair) return;

  uint8_t* const at = writer.sno_buf + writer.sno_fill;
  std::memcpy(at, head, k_sno_head);
  std::memcpy(at + k_sno_head, writer.img_stage, static_cast<size_t>(rec_len - k_sno_head));
  writer.oldlen = static_cast<int16_t>(rec_len);
  writer.buffered_y = a->y_start;
  index_minute(a->y_start);
  writer.sno_fill += rec_len;
}

void flush_particles() {
  writer.force_flush = 1;
  net_wr(nullptr, nullptr);
}

void write_main_header(const main_hd& hd) {
  uint8_t bytes[k_main_hd_size];
  encode_main_hd(hd, bytes);
  append_header_record(bytes);

  // Particle records produced before this header go to the .sno first.
  flush_particles();
  writer.pix_end = append_header_to_sno(bytes);
  writer.sno_size += k_main_hd_size;

  writer.oldlen = k_main_hd_size;
  writer.force_flush = 1;
}

void reset_particle_writer() {
  writer.sources = writer_sources{};
  writer.line_frequ = 0;
  writer.sno_fill = 0;
  writer.force_flush = 0;
  writer.last_flush = 0;
  writer.oldlen = 0;
  writer.buffered_y = 0;
  writer.lastpix_y = 0;
  writer.sno_size = 0;
  writer.pix_bf[0] = 0;
  for (int k = 1; k < k_minutes; ++k) writer.pix_bf[k] = -1;
  writer.minut_pix = 0;
  writer.pix_end = 0;
  writer.sno_pos = 0;
}

}  // namespace dp
