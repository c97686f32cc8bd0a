// The CSV form of a particle file: one header row, then one row per particle record, in file
// order, with the values of sno_reader's particle_values. The column set is fixed; tools and
// tests downstream read it by name. Keeps no state; writes only to the stream it is handed.
//
// Columns (units; how each is had):
//   time_s          s     y_start / line_fr of the main header that holds for the record
//   y_start         line  first line of the A particle (integer-valued, "%.1f")
//   eq_diam_mm      mm    eq_diam / 100
//   speed_m_s       m/s   scale_h_mm x line_fr / 1000
//   scale_a_mm, scale_b_mm  mm per pixel, scale_h_mm  mm per line: field / 10000
//   x_min_a, x_min_b      first columns of the two particles
//   lines_a, lines_b      line_no_A; line_no_A + line_no_diff, or img_B's count where it agrees
//   width_a_px, width_b_px          largest x_end - smallest x_beg of the decoded images
//   height_a_lines, height_b_lines  lines of the decoded images
//   diff_lins             as stored
// A value that cannot be had (no header holds, an image does not decode) is an empty field.
#pragma once

#include <cstdio>
#include <string>

#include "sno_reader.h"

namespace dp {

/// The header row, without its line end.
inline constexpr const char* k_csv_columns =
    "time_s,y_start,eq_diam_mm,speed_m_s,scale_a_mm,scale_b_mm,scale_h_mm,x_min_a,x_min_b,lines_a,lines_b,"
    "width_a_px,width_b_px,height_a_lines,height_b_lines,diff_lins";

/// One data row for v, without its line end.
std::string csv_row(const particle_values& v);

}  // namespace dp
