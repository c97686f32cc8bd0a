// The CSV forms of a run: the particle table (one header row, then one row per particle record in
// file order, with the values of sno_reader's particle_values and the flags of sno_products'
// particle_products) and the per-minute table. The column sets are fixed; tools and tests
// downstream read them by name. Every time column means one thing in both tables: `time` is UTC
// in ISO 8601, `time_unix_s` seconds since 1970-01-01 00:00 UTC. Unit suffixes read "per" for
// a division (concentration_per_m3, never concentration_m3). Keeps no state; writes only to the
// stream it is handed.
//
// Particle table (units; how each is had):
//   time            UTC, "YYYY-MM-DDThh:mm:ss.sssZ" (to the millisecond) of time_unix_s
//   time_unix_s     s     day of the holding main header's valid-since + seconds_of_day
//   seconds_of_day  s     y_start / line_fr of the holding main header: seconds since that
//                         header's midnight (past 86400 when a recording runs on past midnight)
//   y_start         line  first line of the A particle (integer-valued, "%.1f")
//   eq_diam_mm      mm    eq_diam / 100
//   speed_m_s       m/s   scale_h_mm x line_fr / 1000
//   scale_a_mm, scale_b_mm  mm per pixel, scale_h_mm  mm per line: field / 10000
//   x_min_a, x_min_b      first columns of the two particles
//   lines_a, lines_b      line_no_A; line_no_A + line_no_diff, or img_B's count where it agrees
//   width_a_px, width_b_px          largest x_end - smallest x_beg of the decoded images
//   height_a_lines, height_b_lines  lines of the decoded images
//   diff_lins             as stored
//   fall_speed_flag       speed_verdict: 0 plausible, 1 too slow, 2 too fast, 3 not checked
//   product_flag          product_use: 0 used, 1 implausible speed, 2 cut at a line end,
//                         3 diameter of 10 mm or more, 4 incomplete
//   detection_efficiency  drops the file records at this diameter per drop truly of it (see
//                         sno_efficiency.h); empty without the run's settings
//   efficiency_flag       efficiency_use: 0 corrected (weight 1 / efficiency), 1 efficiency
//                         under 0.2, counted as seen, 2 no model
// The flags depend on the fall-speed check and --keep-implausible, as in the netCDF file. A value
// that cannot be had (no header holds, an image does not decode) is an empty field.
//
// Per-minute table: one row per minute of the products' time axis (see sno_products.h), with
//   time                 UTC start of the minute, "YYYY-MM-DDThh:mm:ssZ"
//   time_unix_s          the same in seconds since 1970-01-01 00:00 UTC
//   full_minute          1 when the minute lies wholly within the recording
//   particles, used, implausible   records in the minute, of them in the products, of them with
//                                  an implausible fall speed (used or not)
//   rain_rate_mm_per_h   mm h^-1
//   concentration_per_m3 m^-3
//   dm_mm                mm        (empty when no particle is used)
//   nw_per_m3_mm         m^-3 mm^-1 (empty when no particle is used)
//   z_mm6_per_m3         mm^6 m^-3
//   reflectivity_dbz     dBZ, 10 log10 Z (empty when Z is 0)
//   lwc_g_per_m3         g m^-3
//   count_<lo>_<hi>          particles used per diameter bin [lo, hi) mm, 80 bins of 0.125 mm
//   nd_per_m3_mm_<lo>_<hi>   N(D) of the bin, m^-3 mm^-1
// and the same corrected for the drops the pairing loses, each particle weighted by
// 1 / detection_efficiency (empty without the run's settings):
//   uncorrected_particles    used particles whose efficiency is under 0.2, counted as seen
//   rain_rate_corrected_mm_per_h, concentration_corrected_per_m3, dm_corrected_mm,
//   nw_corrected_per_m3_mm, z_corrected_mm6_per_m3, reflectivity_corrected_dbz,
//   lwc_corrected_g_per_m3, nd_corrected_per_m3_mm_<lo>_<hi>
//   efficiency_<lo>_<hi>     the model's efficiency of the bin (the file's first main
//                            header); under 0.2 its particles are not corrected
#pragma once

#include <cstdio>
#include <string>

#include "sno_efficiency.h"
#include "sno_products.h"
#include "sno_reader.h"

namespace dp {

/// The particle table's header row, without its line end.
inline constexpr const char* k_csv_columns =
    "time,time_unix_s,seconds_of_day,y_start,eq_diam_mm,speed_m_s,scale_a_mm,scale_b_mm,scale_h_mm,x_min_a,"
    "x_min_b,lines_a,lines_b,width_a_px,width_b_px,height_a_lines,height_b_lines,diff_lins,fall_speed_flag,"
    "product_flag,detection_efficiency,efficiency_flag";

/// "YYYY-MM-DDThh:mm:ss.sssZ" of t seconds since 1970 rounded to the millisecond; empty when t is
/// not finite or outside 1970 to 2106.
std::string iso_time_ms(double t);

/// One data row for v with its products p (time and flags), without its line end.
std::string csv_row(const particle_values& v, const particle_products& p);

/// The per-minute CSV's header row, without its line end.
std::string minute_csv_columns();
/// The per-minute CSV of t (start: valid_since of the first main header), line ends included;
/// eff: the model of the file's first main header, nullptr when there is none; fits: the first
/// walk over the file whose response, fitted to each minute, the efficiencies are drawn from
/// (nullptr: the prior's).
void write_minute_csv(std::FILE* out, const minute_table& t, double start, const efficiency_table* eff,
                      file_corrections* fits = nullptr);

}  // namespace dp
