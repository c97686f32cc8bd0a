// Test-only builders for matched pairs: particle records with their own line lists, a header
// list installed in the timing model, calibration tables of known factors, and an output file
// set in a scratch directory opened the way the output file set leaves it. Also a line list whose
// compressed image has an exact length, measured with the production compressor.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "headers/main_header.h"
#include "headers/timing_model.h"
#include "lines/frame_compressor.h"
#include "lines/line_records.h"
#include "output/calibration.h"
#include "output/output_files.h"
#include "output/particle_eval.h"
#include "output/particle_writer.h"
#include "support/byte_builder.h"
#include "support/raw_fixture.h"
#include "support/scratch_run.h"

namespace dp_test {

/// A line at y with the given (x_beg, x_end) pieces.
inline dp::line_rec line_at(double y, std::initializer_list<std::pair<int, int>> pieces) {
  dp::line_rec l;
  l.y_count = y;
  for (const auto& [b, e] : pieces) {
    l.piece[l.n_pieces].x_beg = static_cast<int16_t>(b);
    l.piece[l.n_pieces].x_end = static_cast<int16_t>(e);
    ++l.n_pieces;
  }
  return l;
}

/// n lines from y0 on, each one piece [x_beg, x_end).
inline std::vector<dp::line_rec> box_lines(double y0, int n, int x_beg, int x_end) {
  std::vector<dp::line_rec> v;
  for (int k = 0; k < n; ++k) v.push_back(line_at(y0 + k, {{x_beg, x_end}}));
  return v;
}

/// A particle owning its line list; the record's fields follow from the lines as assembly sets
/// them (line_no = number of lines, y_end = y_start + line_no).
struct test_particle {
  std::vector<dp::line_rec> lines;
  dp::particle_rec rec;
  test_particle(double y_start, std::vector<dp::line_rec> ls) : lines(std::move(ls)) {
    rec.x_min = 32767;
    rec.x_max = -32768;
    for (const auto& l : lines)
      for (int k = 0; k < l.n_pieces; ++k) {
        if (l.piece[k].x_beg < rec.x_min) rec.x_min = l.piece[k].x_beg;
        if (l.piece[k].x_end > rec.x_max) rec.x_max = l.piece[k].x_end;
      }
    rec.width = static_cast<int16_t>(rec.x_max - rec.x_min);
    rec.line_no = static_cast<int16_t>(lines.size());
    rec.y_start = y_start;
    rec.y_end = y_start + rec.line_no;
    rec.lines = lines.data();
    rec.lines_cap = static_cast<int32_t>(lines.size());
  }
  test_particle(const test_particle&) = delete;
  test_particle& operator=(const test_particle&) = delete;
};

/// A header with simple geometry: x_center 320, planes 8 mm apart everywhere, 0.125 mm pixels at
/// distance 256 mm (so a centred particle has scale_a = scale_b = 0.125 exactly).
inline dp::main_hd simple_header() {
  dp::main_hd h;
  h.x_center = 320;
  h.HBL = h.HBR = h.HFR = 8.0f;
  h.XSCALE0_1 = h.XSCALE0_2 = 0.125f;
  h.L0_1 = h.L0_2 = 256.0f;
  h.line_fr = 1000.0;
  return h;
}

/// Installs a header list (nodes in the order given) in the timing model for the test's scope;
/// the nodes belong to this object, so the list is unhooked (not freed) at its end. The test
/// resets the timing model before the first one.
struct header_list {
  std::vector<std::unique_ptr<dp::hd_node>> nodes;
  header_list(std::initializer_list<std::pair<double, dp::main_hd>> entries) {
    for (const auto& [line, hd] : entries) {
      auto n = std::make_unique<dp::hd_node>();
      n->hd = hd;
      n->line = line;
      n->index = static_cast<int16_t>(nodes.size());
      if (!nodes.empty()) {
        n->prev = nodes.back().get();
        nodes.back()->next = n.get();
      }
      nodes.push_back(std::move(n));
    }
    dp::timing.head = nodes.empty() ? nullptr : nodes.front().get();
    dp::timing.tail = nodes.empty() ? nullptr : nodes.back().get();
  }
  ~header_list() { dp::timing.head = dp::timing.tail = nullptr; }
  header_list(const header_list&) = delete;
  header_list& operator=(const header_list&) = delete;
};

/// All four correction tables set to 1.0 (no correction).
inline void calibration_ones() {
  dp::reset_calibration();
  for (int k = 0; k < dp::k_corr_size; ++k)
    dp::calib.corr_ha[k] = dp::calib.corr_hb[k] = dp::calib.corr_wa[k] = dp::calib.corr_wb[k] = 1.0f;
}

/// What the evaluation reads, as the writer hands it over: the installed header list and tables.
inline dp::eval_inputs run_inputs() { return {dp::timing.head, dp::timing.tail, &dp::calib}; }

/// Connects the particle writer as the processing loop does, at line frequency base_frequ.
inline void connect_writer(double base_frequ) {
  dp::connect_writer({&dp::timing, &dp::calib});
  dp::set_writer_line_frequency(base_frequ);
}

/// The .sno, .shd and .abh in a scratch directory with the contents the output file set creates
/// (empty; pix_bf with entry 0 = 0 and the rest -1, oldlen 0; 11544 zero bytes), opened "r+b" and
/// installed in out_files.
struct output_set {
  scratch_dir dir;
  std::string sno, shd, abh;
  output_set() : sno(dir.file("V05123_1.sno")), shd(dir.file("V05123_1.shd")), abh(dir.file("V05123_1.abh")) {
    dp::reset_output_files();
    write_file(sno, {});
    byte_builder s;
    s.le32(0);
    for (int k = 1; k < dp::k_minutes; ++k) s.le32(0xFFFFFFFFu);
    s.le16(0);
    write_file(shd, s.out);
    write_file(abh, bytes(11544, 0));
    dp::out_files.pix_nam = sno;
    dp::out_files.hd_nam = shd;
    dp::out_files.abh_nam = abh;
    dp::out_files.sno_fp = std::fopen(sno.c_str(), "r+b");
    dp::out_files.shd_fp = std::fopen(shd.c_str(), "r+b");
    std::fseek(dp::out_files.shd_fp, 0, SEEK_END);
    dp::out_files.abh_fp = std::fopen(abh.c_str(), "r+b");
  }
  ~output_set() {
    for (std::FILE** fp : {&dp::out_files.sno_fp, &dp::out_files.shd_fp, &dp::out_files.abh_fp}) {
      if (*fp != nullptr) std::fclose(*fp);
      *fp = nullptr;
    }
  }
  /// Flushes the streams so the files can be read from the test.
  void sync() const {
    for (std::FILE* fp : {dp::out_files.sno_fp, dp::out_files.shd_fp, dp::out_files.abh_fp})
      if (fp != nullptr) std::fflush(fp);
  }
  output_set(const output_set&) = delete;
  output_set& operator=(const output_set&) = delete;
};

/// Length of the compressed image of lines (measured with the production compressor), -1 when
/// the compressor cannot code it.
inline int image_length(const std::vector<dp::line_rec>& ls) {
  int16_t len = 0;
  const uint8_t* buf = nullptr;
  if (dp::cmpr_frm(static_cast<int16_t>(ls.size()), ls.data(), &len, &buf) == 0) return -1;
  return len;
}

/// A line list from y0 on whose compressed image is exactly target bytes long (the compressor
/// writes whole 16-bit words, so target is even). Built from blocks of one line and blocks of
/// three consecutive lines, separated by a jump of one line; every line has one piece starting at
/// column 10 and at most 1000 pixels long. Empty when no combination fits.
inline std::vector<dp::line_rec> lines_for_image(int target, double y0) {
  const int one = image_length({line_at(0, {{10, 20}})}) - 2;
  const int three =
      image_length({line_at(0, {{10, 1010}}), line_at(1, {{10, 1009}}), line_at(2, {{10, 1008}})}) - 2;
  for (int k = 0; one > 0 && three > one && k * three <= target - 2; ++k) {
    const int rest = target - 2 - k * three;
    if (rest % one != 0) continue;
    std::vector<dp::line_rec> v;
    double y = y0;
    for (int i = 0; i < rest / one; ++i, y += 2) v.push_back(line_at(y, {{10, 20}}));
    for (int i = 0; i < k; ++i, y += 4)
      for (int j = 0; j < 3; ++j) v.push_back(line_at(y + j, {{10, 1010 - j}}));
    return v;
  }
  return {};
}

/// A particle of n lines of one piece [x_beg, x_end) starting at line y.
inline test_particle box(double y, int n, int x_beg, int x_end) {
  return test_particle(y, box_lines(y, n, x_beg, x_end));
}

}  // namespace dp_test
