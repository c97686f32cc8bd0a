#include "output/particle_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/byte_order.h"
#include "base/messages.h"
#include "headers/main_header.h"
#include "output/output_files.h"
#include "platform/clock.h"

namespace dp {

particle_writer_state writer;

namespace {

// A failed operation on the output file name ends the run: the step's text on the console, then
// a line feed and the text in the error log, as before, each followed by the added line that
// names the file and the system's reason err.
[[noreturn]] void append_failed(int err, const std::string& text, const std::string& name) {
  const std::string added = file_failure_line(text.substr(0, text.find(':')).c_str(), name, err);
  fatal_console_first((text + added).c_str(), ("\n" + text + added).c_str());
}
// The same with the reason errno holds now.
[[noreturn]] void append_failed(const char* text, const std::string& name) {
  const int err = errno;
  append_failed(err, text, name);
}

// Appends the header to the .shd or .abh and makes it durable; kind names the file in the texts.
// A header written in part is cut off again, so the file ends with its last whole header.
void append_header(std::FILE*& fp, const std::string& name, const uint8_t* bytes, const char* kind) {
  if (fp == nullptr) errno = EBADF;
  if (fp == nullptr || std::fseek(fp, 0, SEEK_END) != 0)
    append_failed("main_hr02: could not set file pointer\n", name);
  const long at = std::ftell(fp);
  if (!write_block(fp, bytes, k_main_hd_size)) {
    const int err = errno;
    cut_back(name, at);
    append_failed(err, std::string("main_hr03: could not write to ") + kind + "-file\n", name);
  }
  if (!reopen_output(fp, name)) {
    const int err = errno;
    append_failed(err, std::string("main_hr04: could not reopen ") + kind + "-file\n", name);
  }
}

// Appends the header to the .sno behind everything written so far and restores the position.
void append_to_sno(const uint8_t* bytes) {
  std::FILE*& fp = out_files.sno_fp;
  const std::string& name = out_files.pix_nam;
  if (fp == nullptr) errno = EBADF;
  const long pos = fp == nullptr ? -1 : std::ftell(fp);
  if (pos < 0) append_failed("main_hr31: could not get file position\n", name);
  if (std::fseek(fp, 0, SEEK_END) != 0) append_failed("main_hr05: could not set file pointer\n", name);
  const long at = std::ftell(fp);
  if (!write_block(fp, bytes, k_main_hd_size)) {
    const int err = errno;
    cut_back(name, at);
    append_failed(err, "main_hr06: could not write to sno-file\n", name);
  }
  const long end = std::ftell(fp);
  if (end < 0) append_failed("main_hr07: could not get file position\n", name);
  writer.pix_end = static_cast<int32_t>(end);
  writer.sno_size += k_main_hd_size;
  if (!reopen_output(fp, name)) append_failed("main_hr08: could not reopen sno-file\n", name);
  if (std::fseek(fp, pos, SEEK_SET) != 0) append_failed("main_hr33: could not set file pointer\n", name);
}

void rewind_stream(std::FILE* fp) {
  if (fp != nullptr) std::rewind(fp);
}

// Closes the stream and opens the file again by name for update, so that what was written is on
// disk. The stream is gone when this fails, and every later record would be lost: that ends the
// run after the report line of label.
void reopen_or_end(std::FILE*& fp, const std::string& name, const char* label, const char* what) {
  errno = 0;
  if (reopen_output(fp, name)) return;
  report_syserr(label);
  fatal_announced("net_wr: could not reopen %s %s, no further particle can be written\n", what,
                  name.c_str());
}

// A failed operation of a flush ends the run: the report line of label as before, then what
// could not be done to which file and why, in the error log and on the console (the log may lie
// on the disk that is full). What reached the files whole stays readable.
[[noreturn]] void flush_failed(const char* label, const char* what, const std::string& name) {
  const int err = errno;
  report_syserr(label);
  const std::string text = std::string("net_wr: could not ") + what + " " + name + ": " + system_reason(err) + "\n";
  fatal_log_first(text.c_str(), ("\n" + text).c_str());
}

// Appends the buffer to the .sno and rewrites the table parts of the .shd and the .abh.
void write_buffer() {
  output_files_state& f = out_files;
  hprintf("lastpix_y=%lu now writing %ld ", static_cast<uint32_t>(line_lu(writer.lastpix_y)),
          writer.sno_fill);
  const long pos = std::ftell(f.sno_fp);
  if (pos < 0) flush_failed(" net_wr00 ", "get the position in sno-file", f.pix_nam);
  writer.sno_pos = static_cast<int32_t>(pos);
  if (std::fseek(f.sno_fp, 0, SEEK_END) != 0) flush_failed(" netwr01 ", "set the position in sno-file", f.pix_nam);
  long end = std::ftell(f.sno_fp);
  if (end < 0) flush_failed(" net_wr03 ", "get the position in sno-file", f.pix_nam);
  writer.pix_end = static_cast<int32_t>(end);
  hprintf(" writing at %ld \n", writer.pix_end);
  if (!write_block(f.sno_fp, writer.sno_buf, static_cast<size_t>(writer.sno_fill))) {
    cut_back(f.pix_nam, end);  // the .sno ends with the last whole record again
    flush_failed(" net_wr02 ", "write to sno-file", f.pix_nam);
  }
  writer.sno_size += writer.sno_fill;
  end = std::ftell(f.sno_fp);
  if (end < 0) flush_failed(" net_wr03 ", "get the position in sno-file", f.pix_nam);
  writer.pix_end = static_cast<int32_t>(end);
  reopen_or_end(f.sno_fp, f.pix_nam, " net_wr04 ", "sno-file");
  if (std::fseek(f.sno_fp, pos, SEEK_SET) != 0) flush_failed(" net_wr20 ", "set the position in sno-file", f.pix_nam);

  // The tables go out after the records they point at, each in one write (so never half new).
  rewind_stream(f.shd_fp);
  const size_t shd = write_shd_table(f.shd_fp, writer.pix_bf, writer.oldlen);
  if (shd < static_cast<size_t>(k_pix_bf_bytes)) flush_failed(" net_wr05 ", "write to shd-file", f.hd_nam);
  if (shd < static_cast<size_t>(k_shd_table_bytes)) flush_failed(" net_wr06 ", "write to shd-file", f.hd_nam);
  hprintf("hd_nam=%s\n", f.hd_nam.c_str());
  reopen_or_end(f.shd_fp, f.hd_nam, " net_wr07 ", "shd-file");
  if (std::fseek(f.shd_fp, 0, SEEK_END) != 0) flush_failed(" netwr08 ", "set the position in shd-file", f.hd_nam);

  rewind_stream(f.abh_fp);
  writer.lastpix_y = writer.buffered_y;
  const size_t abh = write_abh_table(f.abh_fp, timing.posa_bf, timing.posb_bf, writer.lastpix_y);
  if (abh < static_cast<size_t>(k_pix_bf_bytes)) flush_failed(" net_wr09 ", "write to abh-file", f.abh_nam);
  if (abh < static_cast<size_t>(2 * k_pix_bf_bytes)) flush_failed(" net_wr10 ", "write to abh-file", f.abh_nam);
  if (abh < static_cast<size_t>(k_abh_table_bytes)) flush_failed(" net_wr11 ", "write to abh-file", f.abh_nam);
  reopen_or_end(f.abh_fp, f.abh_nam, " net_wr12 ", "abh-file");
}

void flush(uint32_t now) {
  writer.last_flush = now;
  if (writer.sno_fill != 0) write_buffer();
  writer.force_flush = 0;
  writer.sno_fill = 0;
  hprintf(" written \n");
}

// Enters the record about to be placed at sno_size + sno_fill into the minute index.
void index_minute(double y) {
  int32_t m32 = 0;
  if (!minute_of(y, main_header.base_frequ, &m32)) return;
  const auto m = static_cast<int16_t>(m32);
  if (m <= writer.minut_pix) return;
  const int last = m < k_minutes - 1 ? m : k_minutes - 1;
  for (int k = writer.minut_pix + 1; k <= last; ++k)
    if (writer.pix_bf[k] == -1) writer.pix_bf[k] = writer.sno_size + writer.sno_fill;
  writer.minut_pix = m;
}

}  // namespace

void net_wr(const particle_rec* a, const particle_rec* b) {
  if (out_files.sno_fp == nullptr)
    fatal_console_first("sno-file does not exist!", "net_wr: sno-file does not exist!");

  uint8_t head[k_sno_head];
  const bool pair = a != nullptr && b != nullptr;
  int32_t rec_len = 0;
  if (pair) {
    if (pix_out(a, b, writer.oldlen, writer.img_stage, head) == 0) return;
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

void write_main_header(const main_hd& hd) {
  uint8_t bytes[k_main_hd_size];
  encode_main_hd(hd, bytes);
  append_header(out_files.shd_fp, out_files.hd_nam, bytes, "shd");
  append_header(out_files.abh_fp, out_files.abh_nam, bytes, "abh");

  // Particle records produced before this header go to the .sno first.
  writer.force_flush = 1;
  net_wr(nullptr, nullptr);
  append_to_sno(bytes);

  writer.oldlen = k_main_hd_size;
  writer.force_flush = 1;
}

void reset_particle_writer() {
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
