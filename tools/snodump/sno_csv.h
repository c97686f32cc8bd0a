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
//
// The per-minute CSV: one row per minute of the products' time axis (see sno_products.h), with
//   time            UTC start of the minute, "YYYY-MM-DDThh:mm:ssZ"
//   time_s          the same in seconds since 1970-01-01 00:00 UTC
//   full_minute     1 when the minute lies wholly within the recording
//   particles, used, implausible   records in the minute, of them in the products, of them with an
//                                  implausible fall speed (used or not)
//   rain_rate_mm_h, concentration_m3, dm_mm, nw_m3_mm, z_mm6_m3, lwc_g_m3   (dm, nw empty when
//                                  no particle is used)
//   count_<lo>_<hi>  particles used per diameter bin [lo, hi) mm, 80 bins of 0.125 mm to 10 mm
//   nd_<lo>_<hi>     N(D) of the bin, m^-3 mm^-1
#pragma once

#include <cstdio>
#include <string>

#include "sno_products.h"
#include "sno_reader.h"

namespace dp {

/// The header row, without its line end.
inline constexpr const char* k_csv_columns =
    "time_s,y_start,eq_diam_mm,speed_m_s,scale_a_mm,scale_b_mm,scale_h_mm,x_min_a,x_min_b,lines_a,lines_b,"
    "width_a_px,width_b_px,height_a_lines,height_b_lines,diff_lins";

/// One data row for v, without its line end.
std::string csv_row(const particle_values& v);

/// The per-minute CSV's header row, without its line end.
std::string minute_csv_columns();
/// The per-minute CSV of t (start: valid_since of the first main header), line ends included.
void write_minute_csv(std::FILE* out, const minute_table& t, double start);

}  // namespace dp
