// The physical products of a particle file: for each particle record its time in UTC, the pixel
// sizes and line widths at its position, the area over which a particle of its size is seen whole,
// the plane distance and the fall speed from the plane delay alone, the shape from the images and
// the verdict of the fall-speed check; and, summed per minute of UTC, the size distribution N(D)
// in 0.125 mm bins with its moments (rain rate, concentration, Dm, Nw, Z, liquid water content).
// Pure computation: keeps no state of its own, never prints, never touches a file.
//
// Sampling area. A particle counts only where both cameras see it whole, so each camera line's
// usable width shrinks by the particle's shadow on it:
//   A_eff = (L_A - w_A) (L_B - w_B),  L = 2 x_center pixel, w = shadow width, both in mm
// with the pixel size of each camera at the particle's position as the geometry gives it (before
// the size correction of the calibration, which corrects the particle, not the line):
//   pixel_A = (L0_1 - XSCALE0_2 off_B) XSCALE0_1 / L0_1, pixel_B = (XSCALE0_1 off_A + L0_2) XSCALE0_2 / L0_2
//   off = trunc((x_min + x_max) / 2) - x_center of the other camera's image
// Per minute (dt = 60 s) over the particles used, D in mm, v in m/s, A_eff in m^2:
//   N(D_k)  = sum over bin k of 1 / (A_eff v dt dD)             m^-3 mm^-1, dD = 0.125 mm
//   R       = (pi / 6) sum D^3 / (A_eff dt), as mm/h           (3.6e-3 pi/6 sum D^3 / (A_eff dt))
//   N_t     = sum 1 / (A_eff v dt)                             m^-3
//   Z       = sum D^6 / (A_eff v dt)                           mm^6 m^-3
//   LWC     = (pi / 6) rho_w sum D^3 / (A_eff v dt)            g m^-3 (1e-3 pi/6 sum ...)
//   Dm      = M4 / M3, M_k = sum D^k / (A_eff v dt)             mm
//   Nw      = 4^4 / (pi rho_w) 10^3 LWC / Dm^4 = (256 / 6) M3^5 / M4^4   m^-3 mm^-1
// The moments are summed over the particles themselves (the empirical N(D) before binning).
// The fall speed of the products is the record's own (the delay corrected for the size-dependent
// height deviation of the calibration), the speed the diameter was evaluated with.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sno_reader.h"

namespace dp {

inline constexpr int k_diam_bins = 80;           ///< 0 to 10 mm
inline constexpr double k_diam_bin_mm = 0.125;   ///< width of a diameter bin
inline constexpr double k_minute_s = 60.0;       ///< dt of the per-minute products

/// Reference law of the fall-speed check.
enum class speed_law { atlas, beard };

/// The fall-speed check: a particle is plausible when |v - v_ref(D)| <= tolerance, the tolerance
/// being a fraction of v_ref (relative) or a speed in m/s (absolute).
struct speed_check {
  speed_law law = speed_law::atlas;
  bool relative = true;
  double tolerance = 0.5;
};

/// Atlas et al. (1973): v = 9.65 - 10.3 exp(-0.6 D), m/s for D in mm (negative below 0.11 mm).
double atlas_speed(double d_mm);
/// Beard (1976) at 1013.25 hPa and 20 C (the conditions of the classic laboratory measurements);
/// below 1.07 mm the drag polynomial of small drops, above it that of deformed drops, held
/// constant above 7 mm. m/s for D in mm.
double beard_speed(double d_mm);
/// The reference speed of law at D.
double reference_fall_speed(speed_law law, double d_mm);
/// The law and tolerance in words, e.g. "Atlas et al. (1973), +-50 %".
std::string speed_check_text(const speed_check& c);
/// Parses "atlas" or "beard"; false for anything else.
bool parse_speed_law(const std::string& text, speed_law* law);
/// Parses a tolerance "50%" (relative) or "0.5m/s" (absolute); false for anything else.
bool parse_speed_tolerance(const std::string& text, speed_check* c);

enum class speed_verdict : int8_t { plausible = 0, too_slow = 1, too_fast = 2, unchecked = 3 };

/// Pixel size (mm) of camera A for a particle whose centre lies off_b columns from camera B's
/// centre column, and of camera B for one off_a columns from camera A's: the evaluation's
/// perspective formulas (the nearer a camera, the smaller its pixels).
double pixel_size_a(const main_hd& hd, double off_b);
double pixel_size_b(const main_hd& hd, double off_a);

/// Why a particle is or is not in the per-minute products.
enum class product_use : int8_t {
  used = 0,
  implausible_speed = 1,  ///< left out unless implausible particles are kept
  cut = 2,                ///< its shadow touches the first or last pixel of a camera line
  out_of_bins = 3,        ///< diameter of 10 mm or more
  incomplete = 4,         ///< no main header holds, an image does not decode, or no positive speed
};

/// Whether a particle's count is corrected for the drops the pairing loses.
enum class efficiency_use : int8_t {
  corrected = 0,    ///< weighted by 1 / efficiency
  below_floor = 1,  ///< efficiency under 0.2: counted as seen, not corrected
  no_model = 2,     ///< no settings to build the model from: corrected products are NaN
};

/// Everything derived for one particle record; NaN where it cannot be had.
struct particle_products {
  double time = 0;             ///< seconds since 1970-01-01 00:00 UTC
  double centre_a = 0, centre_b = 0;        ///< (x_min + x_max) / 2, columns
  double pixel_a_mm = 0, pixel_b_mm = 0;    ///< geometric pixel sizes at the position
  double line_a_mm = 0, line_b_mm = 0;      ///< 2 x_center pixel_*: the lines' widths there
  double width_a_mm = 0, width_b_mm = 0;    ///< shadow widths, pixels x corrected scale
  double height_a_mm = 0, height_b_mm = 0;  ///< lines x scale_h
  double axis_ratio = 0;       ///< mean height / mean width
  double area_m2 = 0;          ///< A_eff; NaN when the shadow fills a line
  double plane_dist_mm = 0;    ///< distance of the planes at the particle, as the evaluation has it
  double speed_delay_m_s = 0;  ///< plane_dist / (diff_lins / 2 / line_fr), no height correction
  double speed_ref_m_s = 0;    ///< reference law at eq_diam
  speed_verdict verdict = speed_verdict::unchecked;
  product_use use = product_use::incomplete;
  double efficiency = 0;       ///< detection efficiency at its recorded diameter (NaN: no model)
  double weight = 0;           ///< its weight in the corrected products: 1 / efficiency, or 1
  efficiency_use efficiency_flag = efficiency_use::no_model;
};

/// The products of v, whose header index points into headers.
particle_products derive_products(const particle_values& v, const std::vector<sno_header_rec>& headers,
                                  const speed_check& check, bool keep_implausible);

/// Recorded 0.01 mm steps below 1 mm, whose counts a minute keeps for the detection efficiency.
inline constexpr int k_small_steps = 100;

/// The sums of one minute.
struct minute_sums {
  int64_t particles = 0;    ///< particle records timed in the minute
  int64_t used = 0;         ///< of them, in the products
  int64_t implausible = 0;  ///< of them, with an implausible fall speed (used or not)
  int64_t counts[k_diam_bins] = {};
  double inv_av[k_diam_bins] = {};  ///< sum of 1 / (A_eff v) per bin, s m^-3
  double d3_a = 0;                  ///< sum of D^3 / A_eff, mm^3 m^-2
  double m0 = 0, m3 = 0, m4 = 0, m6 = 0;  ///< sums of D^k / (A_eff v)
  /// The same sums with each particle weighted by its correction weight.
  double inv_av_c[k_diam_bins] = {};
  double d3_a_c = 0, m0_c = 0, m3_c = 0, m4_c = 0, m6_c = 0;
  int64_t below_floor = 0;  ///< used particles left uncorrected (efficiency under 0.2)
  int64_t no_model = 0;     ///< used particles without a model: the corrected values are NaN
  double steps[k_small_steps] = {};  ///< used particles per recorded 0.01 mm step below 1 mm
};

/// The per-minute table of a run, keyed by minute since 1970 (floor of time / 60).
struct minute_table {
  std::map<int64_t, minute_sums> minutes;
  double first_time = 0, last_time = 0;  ///< earliest and latest particle time seen (NaN-free)
  bool any = false;
};

/// The particle record keeps the diameter truncated to 0.01 mm, so a drop recorded as d lies in
/// [d, d + 0.01) mm. Calls add(k, share) for each bin k = [edges[k], edges[k+1]) that interval
/// reaches, share its part of the interval; a part outside the edges is left out. The corrected
/// N(D) spreads each particle this way: 0.125 mm bins then each span 12.5 recorded steps instead
/// of 12 and 13 alternately (a 4 % saw-tooth in the uncorrected N(D)), the interval across an edge
/// such as 0.375 mm giving each bin half.
template <class Add>
void spread_recorded_diameter(const std::vector<double>& edges, double d_mm, Add add) {
  const double hundredths = std::round(d_mm * 100.0);
  const double lo = hundredths / 100.0, hi = (hundredths + 1.0) / 100.0;
  const auto first = std::upper_bound(edges.begin(), edges.end(), lo) - edges.begin();
  for (size_t k = first > 0 ? static_cast<size_t>(first - 1) : 0; k + 1 < edges.size() && edges[k] < hi; ++k) {
    const double from = lo > edges[k] ? lo : edges[k];
    const double to = hi < edges[k + 1] ? hi : edges[k + 1];
    if (to > from) add(static_cast<int>(k), (to - from) / (hi - lo));
  }
}
/// The edges of the per-minute products' bins: 0, 0.125, ..., 10 mm.
const std::vector<double>& minute_bin_edges();

/// Adds one particle (its time and use decided by derive_products).
void minute_add(minute_table& t, const particle_values& v, const particle_products& p);

/// The products of one minute.
struct minute_values {
  double nd[k_diam_bins] = {};  ///< N(D), m^-3 mm^-1
  double rain_rate = 0;         ///< mm/h
  double concentration = 0;     ///< m^-3
  double dm = 0, nw = 0;        ///< mm, m^-3 mm^-1; NaN without particles
  double z = 0;                 ///< mm^6 m^-3
  double lwc = 0;               ///< g m^-3
  /// The same corrected for the drops the pairing loses (NaN when a particle has no model).
  double nd_c[k_diam_bins] = {};
  double rain_rate_c = 0, concentration_c = 0, dm_c = 0, nw_c = 0, z_c = 0, lwc_c = 0;
};

/// The products of the sums of a minute.
minute_values minute_finish(const minute_sums& s);
/// The uncorrected rain rate (mm/h) of each minute of t.
std::map<int64_t, double> minute_rain_rates(const minute_table& t);
/// The minute (floor of time / 60) of a particle time; false for a time of no minute (not
/// finite, or beyond about 300,000 years from 1970).
bool minute_of(double time, int64_t* m);
/// The rain rate of the minute that holds time in rates; 0 when there is none.
double rain_rate_at(const std::map<int64_t, double>& rates, double time);

/// The minutes to report: every minute from the one that holds the recording's start (start,
/// seconds since 1970; ignored when more than a day before the first particle) to the last
/// particle's, when that is no more than ten days; else only the minutes with particles.
std::vector<int64_t> minute_axis(const minute_table& t, double start);
/// True when minute m lies wholly between start and the last particle's time.
bool minute_complete(const minute_table& t, double start, int64_t m);

/// "YYYY-MM-DDThh:mm:ssZ" of t seconds since 1970 (floored to whole seconds; 0 to 2^32 - 1).
std::string iso_time(double t);

/// Lower edge of diameter bin k, mm.
inline double bin_lower(int k) { return k * k_diam_bin_mm; }

}  // namespace dp
