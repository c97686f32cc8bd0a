// The readable summary of a run's output: the files read, every main header (valid since in UTC,
// line frequency, OEU, geometry and scales), the particles per minute of the day, and the
// statistics of diameter and fall speed. Collects the per-particle values it needs (three
// doubles a particle) while the caller walks the .sno, then prints them. Keeps no state beyond
// the summary record the caller owns; writes only to the stream it is handed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "sno_products.h"
#include "sno_reader.h"

namespace dp {

/// Count, mean, median, percentiles and extremes of a sample (NaN values left out).
struct sample_stats {
  int64_t count = 0;
  double mean = 0, median = 0, p5 = 0, p25 = 0, p75 = 0, p95 = 0, min = 0, max = 0;
};

/// The statistics of v; percentiles interpolate linearly between neighbouring order statistics.
sample_stats describe(std::vector<double> v);

/// Everything the summary shows.
struct run_summary {
  std::string sno_path, shd_path, abh_path;
  sno_scan scan;
  bool have_shd = false, have_abh = false;
  std::string shd_note, abh_note;    ///< why a companion file is not shown
  shd_tables shd;
  abh_tables abh;
  std::vector<double> diam_mm;       ///< per particle, file order
  std::vector<double> speed_m_s;     ///< NaN where no header holds
  std::map<int64_t, int64_t> per_minute;  ///< minute of the day -> particles; -1: no header holds
  int64_t images_bad = 0;            ///< images the line decoder rejected
  std::string speed_rule;            ///< the fall-speed check in words
  int64_t verdicts[4] = {};          ///< particles per speed_verdict
  int64_t uses[5] = {};              ///< particles per product_use
};

/// Adds one particle's values.
void summary_add(run_summary& s, const particle_values& v);
/// Adds one particle's fall-speed verdict and product use.
void summary_add_products(run_summary& s, const particle_products& p);
/// Prints the summary.
void print_summary(std::FILE* out, const run_summary& s);

}  // namespace dp
