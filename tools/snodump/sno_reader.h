// Reading what a run left behind: the particle file (.sno) walked record by record by its
// lengths, the table parts and main header records of the header file (.shd) and of the
// raw-header index file (.abh), the record starts of the raw data file, and the per-particle
// values (time, diameter, fall speed, scales, image sizes) that the summary, the CSV and the plot
// show. Owns no process-wide state: every walker and table belongs to its caller. Never prints
// and never ends the process; every problem comes back as a fault naming the file, the byte
// offset and what was expected and found. Images are decoded with the line decoder, which may
// write its own diagnostic line to standard error for an image it rejects.
//
// The layouts of the particle file (.sno), the header file (.shd) and the raw-header index file
// (.abh) are described once, with the program that writes them: output/output_files.h (tables and
// header records), output/particle_output.h (particle records), headers/main_header.h (the main
// header record). The constants below are theirs.
//
// Raw data file framing: int16 type, int16 payload length, payload; records back to back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "headers/main_header.h"
#include "headers/timing_model.h"
#include "output/output_files.h"
#include "output/particle_output.h"

namespace dp {

inline constexpr int32_t k_sno_min_particle = k_sno_head + 4;     ///< head and both image length fields
inline constexpr int32_t k_sno_max_particle = k_max_record - 1;   ///< a particle record is shorter than 16382
inline constexpr int32_t k_shd_tables = k_shd_table_bytes;        ///< pix_bf and oldlen
inline constexpr int32_t k_abh_tables = k_abh_table_bytes;        ///< posa_bf, posb_bf and lastpix_y
inline constexpr int32_t k_table_minutes = k_minutes;             ///< minutes 0..1441 of the per-minute tables

/// Where and what: the first problem met in a file.
struct sno_fault {
  std::string file;     ///< path of the file
  int64_t offset = -1;  ///< byte offset in it, -1 for the file as a whole
  std::string what;     ///< "field: expected ..., found ..." or a system error text
};

/// The one-line text of a fault: "file: byte offset N: what" (or "file: what").
std::string fault_text(const sno_fault& f);

/// Called now and then during a long read: stage name, bytes done, bytes in all.
using progress_fn = std::function<void(const char* stage, int64_t done, int64_t total)>;

/// Sequential reader of a file through a window of up to 1 MiB (no more than the file), so that a
/// record costs no system call.
struct file_window {
  std::FILE* fp = nullptr;
  int64_t size = 0;          ///< file length in bytes, measured at the opening
  std::vector<uint8_t> buf;  ///< the window
  int64_t buf_at = 0;        ///< file offset of buf[0]
  int64_t buf_len = 0;       ///< valid bytes in buf
  bool failed = false;       ///< a seek or read failed (errno kept in err)
  int err = 0;
};

/// Opens path for reading; false with the system's text in *why, or with "is a FIFO, not a
/// regular file" and the like for anything but a regular file (never waits for a FIFO's writer).
bool window_open(file_window& w, const std::string& path, std::string* why);
/// The n bytes (n at most 1 MiB) at offset off, or null when they reach past the end or a read fails.
const uint8_t* window_get(file_window& w, int64_t off, int64_t n);
/// Closes the file.
void window_close(file_window& w);

/// One main header record as found in a file.
struct sno_header_rec {
  int64_t offset = 0;           ///< byte offset of the record in its file
  uint8_t bytes[k_main_hd_size] = {};
  main_hd hd;                   ///< the decoded fields
  double start_line = 0;        ///< (main_time mod 86400) x line_fr: first line the header holds for
};

/// The header record at p (74 bytes) found at offset.
sno_header_rec make_header_rec(const uint8_t* p, int64_t offset);
/// Index of the header that holds for a particle starting at line t, as the evaluation chose
/// it: the first header n with n.start_line <= t <= next(n).start_line (upper bound inclusive),
/// else the last one if t >= its start line; -1 when none holds.
int holding_header(const std::vector<sno_header_rec>& headers, double t);

/// The head fields of a particle record.
struct sno_head {
  int16_t indic = 0;
  int16_t len_prev = 0;
  double y_start = 0;
  int16_t eq_diam = 0;
  int16_t line_no_A = 0;
  int16_t line_no_diff = 0;
  int16_t diff_lins = 0;
  int16_t x_min_A = 0;
  int16_t x_min_B = 0;
  int16_t scale_h = 0;
  int16_t scale_a = 0;
  int16_t scale_b = 0;
  int16_t img_len_A = 0;
  int16_t img_len_B = 0;
};

/// The head of the particle record at p, whose framing walk_next has checked.
sno_head decode_sno_head(const uint8_t* p);

/// One record met by the walker; p[0..length) is valid until the walker's next call.
struct sno_record {
  int64_t offset = 0;
  int16_t indic = 0;
  int16_t len_prev = 0;
  int32_t length = 0;         ///< 74 for a main header, indic for a particle record
  int32_t before = 0;         ///< length of the record before it in the file, 0 for the first
  const uint8_t* p = nullptr;
};

/// Forward walker of a .sno: frames each record by its indic and checks that the record lies
/// within the file and, for a particle record, that its two image lengths fill it exactly.
/// len_prev is handed out, not judged.
struct sno_walker {
  file_window win;
  std::string path;
  int64_t at = 0;        ///< offset of the next record
  int32_t last_len = 0;  ///< length of the record read last
};

enum class walk_status { record, end, fault };

/// Opens the particle file at path.
bool walker_open(sno_walker& w, const std::string& path, sno_fault* fault);
/// The next record, the end of the file, or the first framing fault.
walk_status walk_next(sno_walker& w, sno_record* rec, sno_fault* fault);
/// Closes the file.
void walker_close(sno_walker& w);

/// What a decoded image shows.
struct image_shape {
  bool ok = false;      ///< the decoder accepted it with at least one line
  int32_t lines = 0;    ///< lines decoded
  int32_t x_min = 0;    ///< smallest x_beg
  int32_t x_max = 0;    ///< largest x_end
  double first_y = 0;   ///< line number of its first line
  double last_y = 0;    ///< line number of its last line
};

/// Decodes an image (line-data payload with 8-byte line numbers) of len bytes.
image_shape decode_image(const uint8_t* p, int32_t len);
/// Lines of the B particle: the decoded count when it agrees with the stored 8-bit difference,
/// else line_no_A + line_no_diff.
int32_t lines_of_b(const sno_head& h, const image_shape& b);

/// The values of one particle record as the summary, the CSV and the plot use them. A value that
/// cannot be had (no header holds, image not decodable) is NaN (times, speeds) or -1 (sizes).
struct particle_values {
  int64_t offset = 0;       ///< record offset in the .sno
  int header = -1;          ///< index of the header that holds for it, -1 for none
  double y_start = 0;
  double time_s = 0;        ///< y_start / line frequency: seconds since midnight
  double eq_diam_mm = 0;
  double speed_m_s = 0;     ///< scale_h_mm x line frequency / 1000
  double scale_a_mm = 0, scale_b_mm = 0, scale_h_mm = 0;
  int32_t x_min_a = 0, x_min_b = 0;
  int32_t lines_a = 0, lines_b = 0;
  int32_t width_a_px = -1, width_b_px = -1;
  int32_t height_a_lines = -1, height_b_lines = -1;
  int32_t diff_lins = 0;
};

/// The values of the particle record p (framing checked) at offset, under the header list.
particle_values values_of(const uint8_t* p, int64_t offset, const std::vector<sno_header_rec>& headers);

/// What a first pass over the .sno finds: its main headers and record counts.
struct sno_scan {
  int64_t size = 0;
  int64_t records = 0;
  int64_t particles = 0;
  std::vector<sno_header_rec> headers;  ///< in file order
  int32_t last_particle_len = 0;        ///< 0 when there is none
  double last_particle_y = 0;
};

/// Walks the whole .sno once (framing only) and collects its headers.
bool scan_sno(const std::string& path, sno_scan* scan, sno_fault* fault, const progress_fn& progress);
/// Walks the .sno again and hands the values of every particle record to each.
bool for_each_particle(const std::string& path, const sno_scan& scan,
                       const std::function<void(const particle_values&)>& each, sno_fault* fault,
                       const progress_fn& progress);

/// The table part and header records of a .shd.
struct shd_tables {
  int64_t size = 0;
  int32_t pix_bf[k_table_minutes] = {};
  int16_t oldlen = 0;
  std::vector<sno_header_rec> headers;  ///< whole 74-byte records after the tables
};

/// The table part and header records of a .abh.
struct abh_tables {
  int64_t size = 0;
  int32_t posa_bf[k_table_minutes] = {};
  int32_t posb_bf[k_table_minutes] = {};
  double lastpix_y = 0;
  std::vector<sno_header_rec> headers;
};

/// Reads a .shd; a fault when it cannot be read or is shorter than its tables.
bool read_shd(const std::string& path, shd_tables* t, sno_fault* fault);
/// Reads a .abh; a fault when it cannot be read or is shorter than its tables.
bool read_abh(const std::string& path, abh_tables* t, sno_fault* fault);

/// Offsets of the complete records of a raw data file, in order, as its readers frame them (a
/// record that runs past the end, or a negative length, ends the readable data).
bool raw_record_starts(const std::string& path, std::vector<int64_t>* starts, sno_fault* fault,
                       const progress_fn& progress);

/// "YYYY-MM-DD hh:mm:ss" of t seconds since 1970-01-01 00:00 UTC.
std::string utc_text(uint32_t t);

}  // namespace dp
