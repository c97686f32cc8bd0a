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

namespace dp {

output_files_state out_files;

bool write_block(std::FILE* fp, const uint8_t* bytes, size_t n) {
  if (fp == nullptr) {
    errno = EBADF;
    return false;
  }
  return std::fwrite(bytes, 1, n, fp) == n;
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
// The same for a step whose console text is its log text after a line feed.
[[noreturn]] void pixfil_failed(const char* text, const std::string& name) {
  pixfil_failed(text, ("\n" + std::string(text)).c_str(), name);
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
    pixfil_failed("pixfil01: could not create sno-file\n", level);
  struct step {
    const std::string& name;
    const char* text;
  };
  const step steps[] = {
      {out_files.pix_nam, "pixfil01: could not create sno-file\n"},
      {out_files.abh_nam, "pixfil09: could not create abh-file\n"},
      {out_files.hd_nam, "pixfil18: could not create shd-file\n"},
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
    pixfil_failed(steps[k].text, steps[k].name);
  }
  for (std::FILE* fp : open) std::fclose(fp);
}

}  // namespace

void pixfil(const std::string& hyd_path, const std::string& raw_path, const std::string& ab_path) {
  hprintf("pixfil encountered \n");
  hprintf("raw_path=%s \n", raw_path.c_str());

  // The tables as a run begins: no minute indexed yet but minute 0 at offset 0, no raw-file
  // position.
  int32_t start_pix_bf[k_minutes];
  for (int k = 0; k < k_minutes; ++k) start_pix_bf[k] = -1;
  start_pix_bf[0] = 0;
  static const int32_t no_pos_bf[k_minutes] = {};

  const std::string base = split_path(ab_path).name;
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
    pixfil_failed("pixfil01: could not create sno-file\n", sno_nam);
  if (std::fseek(out_files.sno_fp, 0, SEEK_END) != 0)
    pixfil_failed("pixfil02: could not set file-pointer\n", sno_nam);
  if (std::ftell(out_files.sno_fp) < 0)
    pixfil_failed("pixfil03: could not get file position\n", sno_nam);

  // Each table part in one write: a file is either empty or holds its whole table part (a write
  // cut short is cut off again).
  const std::string& abh_nam = out_files.abh_nam;
  out_files.abh_fp = open_output(abh_nam, "wb");
  if (out_files.abh_fp == nullptr)
    pixfil_failed("pixfil09: could not create abh-file\n", abh_nam);
  const size_t abh = write_abh_table(out_files.abh_fp, no_pos_bf, no_pos_bf, 0.0);
  if (abh < static_cast<size_t>(k_abh_table_bytes)) cut_back(abh_nam, 0);
  if (abh < static_cast<size_t>(k_pix_bf_bytes))
    pixfil_failed("pixfil10: could not write to aabh-file\n", "\npixfil10: could not write to abh-file\n", abh_nam);
  if (abh < static_cast<size_t>(2 * k_pix_bf_bytes))
    pixfil_failed("pixfil11: could not write to abh-file\n", abh_nam);
  if (abh < static_cast<size_t>(k_abh_table_bytes))
    pixfil_failed("pixfil12: could not write to abh-file\n", abh_nam);
  if (!reopen_output(out_files.abh_fp, abh_nam))
    pixfil_failed("pixfil13: could not reopen to abh-file\n", abh_nam);

  const std::string& shd_nam = out_files.hd_nam;
  out_files.shd_fp = open_output(shd_nam, "w+b");
  if (out_files.shd_fp == nullptr)
    pixfil_failed("pixfil18: could not create shd-file\n", shd_nam);
  const size_t shd = write_shd_table(out_files.shd_fp, start_pix_bf, 0);
  if (shd < static_cast<size_t>(k_shd_table_bytes)) cut_back(shd_nam, 0);
  if (shd < static_cast<size_t>(k_pix_bf_bytes))
    pixfil_failed("pixfil19: could not write to shd-file\n", shd_nam);
  if (shd < static_cast<size_t>(k_shd_table_bytes))
    pixfil_failed("pixfil20: could not write to shd-file\n", shd_nam);
  if (!reopen_output(out_files.shd_fp, shd_nam))
    pixfil_failed("pixfil21: could not reopen shd-file\n", shd_nam);
  if (std::fseek(out_files.shd_fp, 0, SEEK_END) != 0)
    pixfil_failed("pixfil31: could not set file pointer\n", shd_nam);
}

bool sno_open() { return out_files.sno_fp != nullptr; }

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

}  // namespace

int32_t append_header_to_sno(const uint8_t bytes[k_main_hd_size]) {
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
  if (!reopen_output(fp, name)) append_failed("main_hr08: could not reopen sno-file\n", name);
  if (std::fseek(fp, pos, SEEK_SET) != 0) append_failed("main_hr33: could not set file pointer\n", name);
  return static_cast<int32_t>(end);
}

void append_header_record(const uint8_t bytes[k_main_hd_size]) {
  append_header(out_files.shd_fp, out_files.hd_nam, bytes, "shd");
  append_header(out_files.abh_fp, out_files.abh_nam, bytes, "abh");
}

namespace {

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

}  // namespace

void append_particle_block(const uint8_t* block, int32_t n, int32_t* pos_before, int32_t* end) {
  output_files_state& f = out_files;
  const long pos = std::ftell(f.sno_fp);
  if (pos < 0) flush_failed(" net_wr00 ", "get the position in sno-file", f.pix_nam);
  *pos_before = static_cast<int32_t>(pos);
  if (std::fseek(f.sno_fp, 0, SEEK_END) != 0) flush_failed(" netwr01 ", "set the position in sno-file", f.pix_nam);
  long at = std::ftell(f.sno_fp);
  if (at < 0) flush_failed(" net_wr03 ", "get the position in sno-file", f.pix_nam);
  *end = static_cast<int32_t>(at);
  hprintf(" writing at %ld \n", *end);
  if (!write_block(f.sno_fp, block, static_cast<size_t>(n))) {
    cut_back(f.pix_nam, at);  // the .sno ends with the last whole record again
    flush_failed(" net_wr02 ", "write to sno-file", f.pix_nam);
  }
  at = std::ftell(f.sno_fp);
  if (at < 0) flush_failed(" net_wr03 ", "get the position in sno-file", f.pix_nam);
  *end = static_cast<int32_t>(at);
  reopen_or_end(f.sno_fp, f.pix_nam, " net_wr04 ", "sno-file");
  if (std::fseek(f.sno_fp, pos, SEEK_SET) != 0) flush_failed(" net_wr20 ", "set the position in sno-file", f.pix_nam);
}

void rewrite_tables(const int32_t* pix_bf, int16_t oldlen, const int32_t* posa_bf, const int32_t* posb_bf,
                    double lastpix_y) {
  // Each table part in one write (so never half new).
  output_files_state& f = out_files;
  rewind_stream(f.shd_fp);
  const size_t shd = write_shd_table(f.shd_fp, pix_bf, oldlen);
  if (shd < static_cast<size_t>(k_pix_bf_bytes)) flush_failed(" net_wr05 ", "write to shd-file", f.hd_nam);
  if (shd < static_cast<size_t>(k_shd_table_bytes)) flush_failed(" net_wr06 ", "write to shd-file", f.hd_nam);
  hprintf("hd_nam=%s\n", f.hd_nam.c_str());
  reopen_or_end(f.shd_fp, f.hd_nam, " net_wr07 ", "shd-file");
  if (std::fseek(f.shd_fp, 0, SEEK_END) != 0) flush_failed(" netwr08 ", "set the position in shd-file", f.hd_nam);

  rewind_stream(f.abh_fp);
  const size_t abh = write_abh_table(f.abh_fp, posa_bf, posb_bf, lastpix_y);
  if (abh < static_cast<size_t>(k_pix_bf_bytes)) flush_failed(" net_wr09 ", "write to abh-file", f.abh_nam);
  if (abh < static_cast<size_t>(2 * k_pix_bf_bytes)) flush_failed(" net_wr10 ", "write to abh-file", f.abh_nam);
  if (abh < static_cast<size_t>(k_abh_table_bytes)) flush_failed(" net_wr11 ", "write to abh-file", f.abh_nam);
  reopen_or_end(f.abh_fp, f.abh_nam, " net_wr12 ", "abh-file");
}

void reset_output_files() {
  for (std::FILE** fp : {&out_files.sno_fp, &out_files.shd_fp, &out_files.abh_fp})
    if (*fp != nullptr) std::fclose(*fp);
  out_files = output_files_state{};
}

}  // namespace dp
