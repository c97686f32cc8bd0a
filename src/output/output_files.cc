#include "output/output_files.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/byte_order.h"
#include "base/messages.h"
#include "headers/timing_model.h"
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
  const bool closed = fp == nullptr || std::fclose(fp) == 0;
  fp = closed ? open_output(name, "r+b") : nullptr;
  return fp != nullptr;
}

void cut_back(const std::string& name, long at) {
  const int err = errno;
  std::error_code ec;
  const auto size = std::filesystem::file_size(name, ec);
  if (!ec && at >= 0 && size > static_cast<std::uintmax_t>(at))
    std::filesystem::resize_file(name, static_cast<std::uintmax_t>(at), ec);
  errno = err;
}

bool make_dirs(const std::string& dir, std::string* failed) {
  const char sep = path_separator();
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i < dir.size() && dir[i] != '/' && dir[i] != sep) continue;
    if (i == dir.size() && (dir[i - 1] == '/' || dir[i - 1] == sep)) break;
    const std::string level = dir.substr(0, i);
    if (level.back() == ':' || dir_exists(level)) continue;  // a drive, or made already
    if (make_dir(level)) continue;
    int err = errno;
    if (dir_exists(level)) continue;   // made by someone else meanwhile
    if (err == EEXIST) err = ENOTDIR;  // a file stands where the level should be
    *failed = dir.substr(0, i < dir.size() ? i + 1 : i);
    errno = err;
    return false;
  }
  return true;
}

namespace {

// A failed step of pixfil: its own texts as before (error log, then console), each followed by
// the added line that names the file or directory and the system's reason (errno of the step).
[[noreturn]] void pixfil_failed(const char* log, const char* console, const std::string& name) {
  const int err = errno;
  const std::string label(log, std::strcspn(log, ":"));
  const std::string added = file_failure_line(label.c_str(), name, err);
  fatal_log_first((log + added).c_str(), (console + added).c_str());
}

// Opens name for update without emptying it, creating it (empty) when it does not exist, so that
// a file the run cannot write is found before any earlier result is emptied. *created tells
// whether this call made the file. Null, with errno, on failure.
std::FILE* open_unchanged(const std::string& name, bool* created) {
  *created = false;
  std::FILE* fp = std::fopen(name.c_str(), "r+b");
  if (fp != nullptr || errno != ENOENT) return fp;
  fp = std::fopen(name.c_str(), "wbx");  // exclusive: never empties a file made meanwhile
  *created = fp != nullptr;
  return fp;
}

// Every output directory and file is made or opened before any existing output is emptied: on
// a failure the step's texts name it, the files this check made are removed again and every
// file that existed is left as it was.
void check_outputs_writable(const std::string& hyd_path) {
  std::string level;
  if (!make_dirs(hyd_path, &level))
    pixfil_failed("pixfil01: could not create sno-file\n", "\npixfil01: could not create sno-file\n", level);
  struct step {
    const std::string& name;
    const char* log;
    const char* console;
  };
  const step steps[] = {
      {out_files.pix_nam, "pixfil01: could not create sno-file\n", "\npixfil01: could not create sno-file\n"},
      {out_files.abh_nam, "pixfil09: could not create abh-file\n", "\npixfil09: could not create abh-file\n"},
      {out_files.hd_nam, "pixfil18: could not create shd-file\n", "\npixfil18: could not create shd-file\n"},
  };
  std::FILE* open[3] = {};
  bool created[3] = {};
  for (int k = 0; k < 3; ++k) {
    open[k] = open_unchanged(steps[k].name, &created[k]);
    if (open[k] != nullptr) continue;
    const int err = errno;
    for (int j = k - 1; j >= 0; --j) {
      std::fclose(open[j]);
      if (created[j]) std::remove(steps[j].name.c_str());
    }
    errno = err;
    pixfil_failed(steps[k].log, steps[k].console, steps[k].name);
  }
  for (std::FILE* fp : open) std::fclose(fp);
}

}  // namespace

void pixfil(const std::string& hyd_path, const std::string& raw_path) {
  hprintf("pixfil encountered \n");
  hprintf("raw_path=%s \n", raw_path.c_str());

  // The tables as a run begins: no minute indexed yet but minute 0 at offset 0.
  int32_t start_pix_bf[k_minutes];
  for (int k = 0; k < k_minutes; ++k) {
    timing.posa_bf[k] = 0;
    timing.posb_bf[k] = 0;
    start_pix_bf[k] = -1;
  }
  start_pix_bf[0] = 0;

  const std::string base = split_path(raw_file.ab_path).name;
  out_files.abh_nam = raw_path + base + ".abh";
  out_files.pix_nam = hyd_path + base + ".sno";
  out_files.hd_nam = hyd_path + base + ".shd";
  hprintf("abh_nam=%s   pix_nam=%s   hd_nam=%s \n", out_files.abh_nam.c_str(),
          out_files.pix_nam.c_str(), out_files.hd_nam.c_str());
#ifdef SIGXFSZ
  // Past the file-size limit a write must fail with EFBIG, which the writers report and end on;
  // the default action would end the process silently with a record cut short.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  check_outputs_writable(hyd_path);

  const std::string& sno_nam = out_files.pix_nam;
  out_files.sno_fp = open_output(sno_nam, "w+b");
  if (out_files.sno_fp == nullptr)
    pixfil_failed("pixfil01: could not create sno-file\n", "\npixfil01: could not create sno-file\n", sno_nam);
  if (std::fseek(out_files.sno_fp, 0, SEEK_END) != 0)
    pixfil_failed("pixfil02: could not set file-pointer\n", "\npixfil02: could not set file-pointer\n", sno_nam);
  if (std::ftell(out_files.sno_fp) < 0)
    pixfil_failed("pixfil03: could not get file position\n", "\npixfil03: could not get file position\n", sno_nam);

  // Each table part in one write: a file is either empty or holds its whole table part (a write
  // cut short is cut off again).
  const std::string& abh_nam = out_files.abh_nam;
  out_files.abh_fp = open_output(abh_nam, "wb");
  if (out_files.abh_fp == nullptr)
    pixfil_failed("pixfil09: could not create abh-file\n", "\npixfil09: could not create abh-file\n", abh_nam);
  const size_t abh = write_abh_table(out_files.abh_fp, timing.posa_bf, timing.posb_bf, 0.0);
  if (abh < static_cast<size_t>(k_abh_table_bytes)) cut_back(abh_nam, 0);
  if (abh < static_cast<size_t>(k_pix_bf_bytes))
    pixfil_failed("pixfil10: could not write to aabh-file\n", "\npixfil10: could not write to abh-file\n", abh_nam);
  if (abh < static_cast<size_t>(2 * k_pix_bf_bytes))
    pixfil_failed("pixfil11: could not write to abh-file\n", "\npixfil11: could not write to abh-file\n", abh_nam);
  if (abh < static_cast<size_t>(k_abh_table_bytes))
    pixfil_failed("pixfil12: could not write to abh-file\n", "\npixfil12: could not write to abh-file\n", abh_nam);
  if (!reopen_output(out_files.abh_fp, abh_nam))
    pixfil_failed("pixfil13: could not reopen to abh-file\n", "\npixfil13: could not reopen to abh-file\n", abh_nam);

  const std::string& shd_nam = out_files.hd_nam;
  out_files.shd_fp = open_output(shd_nam, "w+b");
  if (out_files.shd_fp == nullptr)
    pixfil_failed("pixfil18: could not create shd-file\n", "\npixfil18: could not create shd-file\n", shd_nam);
  const size_t shd = write_shd_table(out_files.shd_fp, start_pix_bf, 0);
  if (shd < static_cast<size_t>(k_shd_table_bytes)) cut_back(shd_nam, 0);
  if (shd < static_cast<size_t>(k_pix_bf_bytes))
    pixfil_failed("pixfil19: could not write to shd-file\n", "\npixfil19: could not write to shd-file\n", shd_nam);
  if (shd < static_cast<size_t>(k_shd_table_bytes))
    pixfil_failed("pixfil20: could not write to shd-file\n", "\npixfil20: could not write to shd-file\n", shd_nam);
  if (!reopen_output(out_files.shd_fp, shd_nam))
    pixfil_failed("pixfil21: could not reopen shd-file\n", "\npixfil21: could not reopen shd-file\n", shd_nam);
  if (std::fseek(out_files.shd_fp, 0, SEEK_END) != 0)
    pixfil_failed("pixfil31: could not set file pointer\n", "\npixfil31: could not set file pointer\n", shd_nam);

  hprintf("pixfil: pos_a=%ld, pos_b=%ld\n", scans.a.pos, scans.b.pos);
}

void reset_output_files() {
  for (std::FILE** fp : {&out_files.sno_fp, &out_files.shd_fp, &out_files.abh_fp})
    if (*fp != nullptr) std::fclose(*fp);
  out_files = output_files_state{};
}

}  // namespace dp
