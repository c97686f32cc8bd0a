#include "output/output_files.h"

#include <cerrno>

#include "control/messages.h"
#include "control/settings.h"
#include "headers/timing_model.h"
#include "output/particle_writer.h"
#include "platform/byte_order.h"
#include "platform/paths.h"
#include "rawinput/raw_file.h"
#include "rawinput/record_scan.h"

namespace dp {

output_files_state out_files;

bool write_block(std::FILE* fp, const uint8_t* bytes, size_t n) {
  if (fp == nullptr) {
    errno = EBADF;
    return false;
  }
  return std::fwrite(bytes, 1, n, fp) == n;
}

bool write_minute_table(std::FILE* fp, const int32_t* table) {
  uint8_t buf[k_pix_bf_bytes];
  for (int k = 0; k < k_minutes; ++k) store_le32(buf + 4 * k, static_cast<uint32_t>(table[k]));
  return write_block(fp, buf, sizeof buf);
}

bool write_oldlen(std::FILE* fp, int16_t oldlen) {
  uint8_t buf[2];
  store_le16(buf, static_cast<uint16_t>(oldlen));
  return write_block(fp, buf, sizeof buf);
}

bool write_lastpix_y(std::FILE* fp, double lastpix_y) {
  uint8_t buf[8];
  store_f64(buf, lastpix_y);
  return write_block(fp, buf, sizeof buf);
}

size_t write_shd_table(std::FILE* fp, const int32_t* pix_bf, int16_t oldlen) {
  uint8_t buf[k_shd_table_bytes];
  for (int k = 0; k < k_minutes; ++k) store_le32(buf + 4 * k, static_cast<uint32_t>(pix_bf[k]));
  store_le16(buf + k_pix_bf_bytes, static_cast<uint16_t>(oldlen));
  if (fp == nullptr) {
    errno = EBADF;
    return 0;
  }
  return std::fwrite(buf, 1, sizeof buf, fp);
}

size_t write_abh_table(std::FILE* fp, const int32_t* posa_bf, const int32_t* posb_bf, double lastpix_y) {
  uint8_t buf[k_abh_table_bytes];
  for (int k = 0; k < k_minutes; ++k) {
    store_le32(buf + 4 * k, static_cast<uint32_t>(posa_bf[k]));
    store_le32(buf + k_pix_bf_bytes + 4 * k, static_cast<uint32_t>(posb_bf[k]));
  }
  store_f64(buf + 2 * k_pix_bf_bytes, lastpix_y);
  if (fp == nullptr) {
    errno = EBADF;
    return 0;
  }
  return std::fwrite(buf, 1, sizeof buf, fp);
}

std::FILE* open_output(const std::string& name, const char* mode) {
  std::FILE* const fp = std::fopen(name.c_str(), mode);
  // Unbuffered: each write below is one system call, never split at a buffer or page boundary.
  if (fp != nullptr) std::setvbuf(fp, nullptr, _IONBF, 0);
  return fp;
}

bool reopen_output(std::FILE*& fp, const std::string& name) {
  if (fp != nullptr) std::fclose(fp);
  fp = open_output(name, "r+b");
  return fp != nullptr;
}

void pixfil() {
  hprintf("pixfil encountered \n");
  hprintf("raw_path=%s \n", set_par.RAW_PATH.c_str());

  for (int k = 0; k < k_minutes; ++k) {
    timing.posa_bf[k] = 0;
    timing.posb_bf[k] = 0;
    writer.pix_bf[k] = -1;
  }
  writer.pix_bf[0] = 0;
  writer.sno_size = 0;

  const std::string base = split_path(raw_file.ab_path).name;
  // A failed creation is not reported here: the create of the .sno then fails with its message.
  if (!set_par.HYD_PATH.empty() && !dir_exists(set_par.HYD_PATH)) (void)make_dir(set_par.HYD_PATH);

  out_files.abh_nam = set_par.RAW_PATH + base + ".abh";
  out_files.pix_nam = set_par.HYD_PATH + base + ".sno";
  out_files.hd_nam = set_par.HYD_PATH + base + ".shd";
  hprintf("abh_nam=%s   pix_nam=%s   hd_nam=%s \n", out_files.abh_nam.c_str(),
          out_files.pix_nam.c_str(), out_files.hd_nam.c_str());

  out_files.sno_fp = open_output(out_files.pix_nam, "w+b");
  if (out_files.sno_fp == nullptr)
    fatal_log_first("pixfil01: could not create sno-file\n", "\npixfil01: could not create sno-file\n");
  if (std::fseek(out_files.sno_fp, 0, SEEK_END) != 0)
    fatal_log_first("pixfil02: could not set file-pointer\n", "\npixfil02: could not set file-pointer\n");
  const long sno_end = std::ftell(out_files.sno_fp);
  if (sno_end < 0)
    fatal_log_first("pixfil03: could not get file position\n", "\npixfil03: could not get file position\n");
  writer.pix_end = static_cast<int32_t>(sno_end);

  // Each table part in one write: a file is either empty or holds its whole table part.
  out_files.abh_fp = open_output(out_files.abh_nam, "wb");
  if (out_files.abh_fp == nullptr)
    fatal_log_first("pixfil09: could not create abh-file\n", "\npixfil09: could not create abh-file\n");
  const size_t abh = write_abh_table(out_files.abh_fp, timing.posa_bf, timing.posb_bf, writer.lastpix_y);
  if (abh < static_cast<size_t>(k_pix_bf_bytes))
    fatal_log_first("pixfil10: could not write to aabh-file\n", "\npixfil10: could not write to abh-file\n");
  if (abh < static_cast<size_t>(2 * k_pix_bf_bytes))
    fatal_log_first("pixfil11: could not write to abh-file\n", "\npixfil11: could not write to abh-file\n");
  if (abh < static_cast<size_t>(k_abh_table_bytes))
    fatal_log_first("pixfil12: could not write to abh-file\n", "\npixfil12: could not write to abh-file\n");
  if (!reopen_output(out_files.abh_fp, out_files.abh_nam))
    fatal_log_first("pixfil13: could not reopen to abh-file\n", "\npixfil13: could not reopen to abh-file\n");

  out_files.shd_fp = open_output(out_files.hd_nam, "w+b");
  if (out_files.shd_fp == nullptr)
    fatal_log_first("pixfil18: could not create shd-file\n", "\npixfil18: could not create shd-file\n");
  const size_t shd = write_shd_table(out_files.shd_fp, writer.pix_bf, writer.oldlen);
  if (shd < static_cast<size_t>(k_pix_bf_bytes))
    fatal_log_first("pixfil19: could not write to shd-file\n", "\npixfil19: could not write to shd-file\n");
  if (shd < static_cast<size_t>(k_shd_table_bytes))
    fatal_log_first("pixfil20: could not write to shd-file\n", "\npixfil20: could not write to shd-file\n");
  if (!reopen_output(out_files.shd_fp, out_files.hd_nam))
    fatal_log_first("pixfil21: could not reopen shd-file\n", "\npixfil21: could not reopen shd-file\n");
  if (std::fseek(out_files.shd_fp, 0, SEEK_END) != 0)
    fatal_log_first("pixfil31: could not set file pointer\n", "\npixfil31: could not set file pointer\n");

  hprintf("pixfil: lastpix_y=%lu, pos_a=%ld, pos_b=%ld\n", static_cast<uint32_t>(line_lu(writer.lastpix_y)),
          scans.a.pos, scans.b.pos);
}

void reset_output_files() {
  for (std::FILE** fp : {&out_files.sno_fp, &out_files.shd_fp, &out_files.abh_fp})
    if (*fp != nullptr) std::fclose(*fp);
  out_files = output_files_state{};
}

}  // namespace dp
