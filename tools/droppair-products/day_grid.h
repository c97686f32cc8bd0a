// The gridded products of one UTC day: the day cut into intervals of a fixed step (10 s to one
// day, dividing the day), the particles of the day summed per interval and diameter bin (bins
// given by their edges), and per interval the seconds some particle file covers. From the sums:
// per interval over the T seconds recorded in it, D in mm, v in m/s, A_eff in m^2, dD the bin width:
//   N(D_k) = sum_k 1 / (A_eff v T dD_k)          m^-3 mm^-1
//   amount = (pi/6) 1e-6 sum D^3 / A_eff          mm (what fell in the recorded seconds)
//   R      = amount / T x 3600                    mm/h
//   N_t = M0, Z = M6, LWC = (pi/6) 1e-3 M3,  M_k = sum D^k / (A_eff v T)
//   Dm = M4 / M3, Nw = (256/6) M3^5 / M4^4,  dBZ = 10 log10 Z
// The corrected products are the same sums with each particle weighted by its correction weight
// (1 / detection efficiency, 1 under the floor); an interval holding a used particle without a
// model has none (NaN), and so has the corrected accumulation from it on. The detection
// efficiency of a bin is that of the day's first particle file, or the mean over the day's files
// weighted by the seconds each covers in the day when their efficiencies differ.
// At a 60 s step with whole minutes these are the per-minute products of snodump exactly.
// Pure computation on the records its caller keeps; never prints, never touches a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sno_efficiency.h"
#include "sno_products.h"

namespace dp {

inline constexpr int64_t k_day_s = 86400;

/// The time step and diameter bins of a products call.
struct grid_layout {
  int32_t step_s = 60;
  std::vector<double> edges;  ///< increasing, mm; bin k is [edges[k], edges[k+1])
  bool keep_implausible = false;
};

/// The default bins: 80 of 0.125 mm from 0 to 10 mm.
std::vector<double> default_edges();
/// Parses a step: seconds ("60", "60s") or "5min", "1h", "1d"; 10 s to 1 day, dividing the day.
bool parse_step(const std::string& text, int32_t* step, std::string* why);
/// Parses comma-separated bin edges in mm, at least two, strictly increasing, from 0.
bool parse_edges(const std::string& text, std::vector<double>* edges, std::string* why);
/// Bin of diameter d, -1 outside the edges.
int bin_of(const std::vector<double>& edges, double d);

/// A particle file's part of a day: its detection efficiency (its first main header's table,
/// nullptr: no model) and the seconds of the day it covers.
struct efficiency_share {
  const efficiency_table* table = nullptr;
  double seconds = 0;
};

/// How data_flag marks an interval.
enum class interval_flag : int8_t { complete = 0, partly_recorded = 1, not_recorded = 2 };

/// The sums of one day.
struct day_grid {
  int64_t day = 0;  ///< days since 1970-01-01
  int32_t step_s = 60;
  int n_iv = 0, n_bins = 0;
  std::vector<double> covered;  ///< seconds recorded per interval
  std::vector<int32_t> particles, used, implausible, cut;
  std::vector<int32_t> counts;          ///< n_iv x n_bins
  std::vector<double> inv_av, speed;    ///< n_iv x n_bins: sum 1/(A v), sum v
  std::vector<double> d3_a, m0, m3, m4, m6;
  /// The same sums with each particle weighted by its correction weight.
  std::vector<double> inv_av_c;         ///< n_iv x n_bins
  std::vector<double> d3_a_c, m0_c, m3_c, m4_c, m6_c;
  std::vector<int32_t> below_floor;     ///< used particles left uncorrected (efficiency under 0.2)
  std::vector<int32_t> no_model;        ///< used particles without a model: corrected values NaN
  std::vector<efficiency_share> shares;  ///< one per grid_cover call, in order
};

/// A day of empty sums.
void grid_init(day_grid& g, int64_t day, const grid_layout& layout);
/// Marks the seconds of (from, to] that fall in the day as recorded by a particle file whose
/// detection efficiency is eff (nullptr: no model).
void grid_cover(day_grid& g, double from, double to, const efficiency_table* eff);
/// Whether a particle is used under these bins: derive_products decided with the 10 mm bins;
/// the bin limits and the implausible-speed rule are applied again here.
product_use grid_use(const particle_products& p, double d_mm, const grid_layout& layout);
/// Adds a particle of the day (p.time inside it) with its use; the corrected sums take p.weight
/// and p.efficiency_flag as apply_efficiency set them.
void grid_add(day_grid& g, const grid_layout& layout, const particle_values& v, const particle_products& p,
              product_use use);

/// The products of a day, one value per interval (per interval and bin for nd and mean_speed);
/// NaN where an interval is not recorded (or, for dm, nw, dbz and mean_speed, has nothing to average).
struct day_products {
  std::vector<int8_t> flag;
  std::vector<double> fraction, rain_rate, amount, accumulation, nt, dm, nw, z, dbz, lwc;
  std::vector<double> nd, mean_speed;
  double rain_total = 0;     ///< mm over the day
  double recorded = 0;       ///< share of the day recorded
  /// The same corrected for the drops the pairing loses (NaN also where a particle has no model).
  std::vector<double> rain_rate_c, amount_c, accumulation_c, nt_c, dm_c, nw_c, z_c, dbz_c, lwc_c, nd_c;
  double rain_total_c = 0;   ///< mm over the day; NaN when an interval has no model
  std::vector<double> efficiency;         ///< per bin; NaN when no file of the day has a model
  std::vector<int8_t> efficiency_flag;    ///< per bin, as efficiency_use: 0, 1 under 0.2, 2 no model
  bool efficiency_mixed = false;          ///< the files' efficiencies differ: efficiency is their mean
  int files_without_model = 0;            ///< files of the day left out of the efficiency
};

/// Computes the products of the sums.
day_products grid_finish(const day_grid& g, const grid_layout& layout);

}  // namespace dp
