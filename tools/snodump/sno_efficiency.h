// Detection efficiency of the pairing: the probability that a drop of diameter D, falling through
// the measuring area, reaches the particle file, i.e. that its two shadows pass the match test of
// the run that wrote the file. Small drops are the ones lost: a drop two to four pixels wide is
// often seen a whole pixel wider by one camera than by the other, and the width ratio then falls
// outside [WA_WB, 1 / WA_WB]. The model is drawn from the instrument alone (the main header's
// geometry, the calibration's width deviations, the settings' WA_WB and DELTA_HGT, the line
// frequency and a fall-speed law), never fitted to measured or generated rain. Pure computation:
// keeps no state, never prints.
//
// The model, for a drop of equivalent diameter D (mm):
//   shape     axis ratio a(D) of Beard and Chuang (1987), at most 1; horizontal diameter
//             D_h = D a^(-1/3), vertical extent H = D a^(2/3)
//   widths    camera X in {A, B} sees D_h (1 + dev_wX(D_h) / 100) mm (the calibration row,
//             interpolated over its reference diameters, the first segment extended below, the
//             last value kept above), over a pixel of p_X mm at the drop's position:
//               p_A = (L0_1 - XSCALE0_2 off_B) XSCALE0_1 / L0_1, p_B = (XSCALE0_1 off_A + L0_2) XSCALE0_2 / L0_2
//             with off the centre's column offset in the other camera (the evaluation's formulas)
//   lines     the drop spans l = H / (v(D) / f) camera lines (f the line frequency, v the law's
//             fall speed); the line nearest its widest level lies within half a line of it, so the
//             widest slice a camera records is x_X = (size / p_X) sqrt(1 - delta^2) pixels, delta
//             uniform in [0, 1 / l]
//   pixels    a pixel is shadowed when the shadow covers half of it (its centre): a slice x pixels
//             wide at a random sub-pixel position shadows floor(x) pixels with probability
//             1 - frac(x) and floor(x) + 1 with probability frac(x), the two cameras independently;
//             cameras with another threshold t shadow slices (1 - 2t) pixels wider, which their
//             calibration (measured through them) holds in its width rows
//   match     widths n_A, n_B pass when both are positive and f32(n_A) / f32(n_B) lies in
//             [WA_WB, f32(1 / WA_WB)] (single precision, as the pairing computes it); line counts
//             pass when |L_A - L_B| <= DELTA_HGT, L_X = floor(l_X) or floor(l_X) + 1 with
//             l_X = l sqrt(1 - (1 / (2 x_X))^2) the lines whose slice reaches a pixel centre (a
//             centre a quarter pixel from the drop's axis on average)
//   area      averaged over drop centres uniform on the area where both cameras see the drop whole
//             (a 24 x 24 grid of column positions, each weighted by its area p_A p_B), over four
//             phases of each camera's line sampling, and over the pixel phases in closed form
// That is the pass probability E(D) of a drop of true diameter D. Drops under about seven pixels
// are also recorded with a diameter that differs from their true one by a good part of a pixel
// (a drop 2.5 pixels wide is seen as 2 or 3), so the counts move between recorded diameters as
// much as they are lost. Below 1 mm the model therefore follows drops to their recorded diameter:
//   response  drops every 0.0025 mm from 0.05 to 1.3 mm, one per cell of the position grid at a
//             random place in it, with random pixel and line phases per camera: each camera line
//             through the spheroid darkens the pixels whose centres its chord covers; the pair
//             passes the match test above or not; the evaluation's volume of the passing pair
//             (slices paired from the top, pixel sizes over the calibration's factor, the law's
//             fall speed over f per line, scaled to the mean line count) gives the diameter the
//             record keeps, truncated to 0.01 mm
//   weights   over an N(D), the efficiency of a recorded step [s, s + 0.01) mm is (drops
//             recorded in it) / (drops truly in it); the N(D) is exp(-2.5 D) (Marshall-Palmer
//             rain of about 10 mm/h) fitted to the counts per recorded step of the particle's
//             minute and the minutes around it by one round of expectation maximisation, so
//             that rain with few drops below 0.3 mm is not credited with their spill into the
//             smallest bins
// A particle recorded below 1 mm is weighted by the efficiency of its step, a larger one by the
// pass probability at its diameter; either way the expected weighted count of a diameter range
// is the true count, for rain of that N(D).
//   stream    the pairing takes, for each camera-A image, the first camera-B image in its window
//             that passes the test; a drop whose own pair fails takes another drop's image,
//             whose drop then does the same. The model runs a stream of Marshall-Palmer rain of
//             rain rate R (drops by flux, random arrivals at the rate that rain brings through
//             the area, uniform positions) through those rules and the evaluation, and again ten
//             thousand times thinner; per 0.125 mm bin up to 3 mm the stream factor F(bin, R) is
//             (counted / true) of the first over that of the second, for six rates: below 1
//             where wrong partners take drops, above it in the smallest bins, where the wrong
//             pairs are recorded; 1 where the stream holds fewer than 400 true drops of the
//             bin. A particle's efficiency is the above times F at its minute's uncorrected
//             rain rate.
// Left out: the delay test (a drop reaches plane B hundreds of lines after plane A), images of
// two drops that merge, turbulence in the fall speed, and the height rows of the calibration.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "sno_products.h"
#include "sno_reader.h"

namespace dp {

inline constexpr int k_calib_rows_n = 10;           ///< reference diameters of a calibration
inline constexpr double k_efficiency_floor = 0.2;   ///< below it a drop is counted as it was seen

/// What the model takes from the settings and the calibration of a run.
struct pairing_rules {
  float wa_wb = 0;         ///< lower bound of width(A) / width(B)
  int16_t delta_hgt = 0;   ///< largest line-count difference
  float diam[k_calib_rows_n] = {};  ///< reference diameters (mm); all 0 when no calibration
  float dev_wa[k_calib_rows_n] = {}, dev_wb[k_calib_rows_n] = {};  ///< width deviations (%)
};

/// Reads WA_WB and DELTA_HGT from the text of a settings file (the first line that begins with
/// the key, value from column 61) and the width rows from the text of a calibration file (an empty
/// text: no deviations). False with the reason when a key or a row is missing or unusable.
bool read_pairing_rules(const std::string& settings, const std::string& calibration, pairing_rules* r,
                        std::string* why);

/// name in the directory of the file at path or in that directory's parent (where a run's
/// DROPPAIR.SET and corrfact.dat lie beside its particle file); empty when in neither.
std::string file_beside(const std::string& path, const char* name);
/// The whole content of the file at path; empty when it cannot be read.
std::string file_text(const std::string& path);

/// Probability that a pair passes the match test when the widest slices of the drop are xa and xb
/// pixels wide (each shadowing floor(x) or floor(x) + 1 pixels, by its sub-pixel position) and
/// the drop spans l lines.
double pair_passes(double xa, double xb, double l, const pairing_rules& r);

/// Recorded diameters below k_recorded_steps hundredths of a mm are corrected through the
/// response; larger ones by the pass probability at the diameter.
inline constexpr int k_recorded_steps = k_small_steps;
/// Slope (1/mm) of the exponential N(D) the response is weighted with before it is fitted to a
/// minute's counts.
inline constexpr double k_prior_slope = 2.5;
/// Width (mm) of the true-diameter cells of the response.
inline constexpr double k_cell_mm = 0.0025;
/// Changes whenever the model gives other efficiencies for the same inputs, so that products
/// made with an earlier model count as out of date.
inline constexpr const char* k_efficiency_model_version =
    "efficiency model 4 (recorded-diameter response fitted to each minute, pairing of a stream)";
/// Bins of 0.125 mm the stream factor covers (up to 3 mm; 1 above), and the rain rates (mm/h) of
/// its tables, between which it is interpolated in log R.
inline constexpr int k_factor_bins = 24;
inline constexpr double k_factor_rain[] = {1, 3, 10, 30, 100, 300};
inline constexpr int k_factor_rates = 6;

/// The response weighted by an N(D): per recorded step s (diameters [s, s + 1) hundredths of a
/// mm), the drops that reach the particle file recorded in s (seen) and the drops whose true
/// diameter lies in s (truth), in units of the prior's N(0).
struct step_weights {
  std::vector<double> seen, truth;
};

/// The model of a run: the pass probability over the true diameter, and the response over the
/// recorded one.
struct efficiency_table {
  double d_first = 0, d_step = 0;
  std::vector<double> eff;           ///< pass probability at true diameter d_first + i d_step
  /// Per true cell i (diameters from d_first + i k_cell_mm, k_cell_mm wide), the share of its
  /// drops recorded in each step below k_recorded_steps: k_recorded_steps values per cell.
  std::vector<double> response;
  step_weights prior;                ///< the response under the prior N(D)
  double bin[k_diam_bins] = {};      ///< efficiency_mean of each 0.125 mm bin
  /// Per rain rate of k_factor_rain and 0.125 mm bin, the stream factor: the share of drops the
  /// products count from a stream of Marshall-Palmer rain of that rate over the share when the
  /// drops come one at a time.
  double factor[k_factor_rates][k_factor_bins] = {};
};

/// The model for a run under header hd with the rules r; law gives the fall speed.
efficiency_table efficiency_model(const main_hd& hd, const pairing_rules& r, const speed_check& check);
/// The stream factor of a particle recorded with diameter d in a minute of (uncorrected) rain
/// rate rain: interpolated in log R between the tables, held at the ends; 1 above 3 mm, for a
/// rate that is not positive, and without tables.
double stream_factor(const efficiency_table& t, double d_mm, double rain_mm_h);
/// Efficiency of a particle recorded with diameter d: below the response's limit seen / truth of
/// its step under w (the prior's when not given), above it the pass probability.
double efficiency_at(const efficiency_table& t, const step_weights& w, double d_mm);
double efficiency_at(const efficiency_table& t, double d_mm);
/// Pass probability of a drop of true diameter d (linear between grid points; the ends held
/// beyond the grid).
double pass_probability(const efficiency_table& t, double d_mm);
/// Efficiency of the diameters [lo, hi) mm: drops recorded there over drops truly there under w
/// (the prior's when not given; steps cut by an edge count in part; above the response the pass
/// probability at five points, weighted by the prior), as efficiency_table::bin holds it for the
/// 0.125 mm bins.
double efficiency_mean(const efficiency_table& t, const step_weights& w, double lo_mm, double hi_mm);
double efficiency_mean(const efficiency_table& t, double lo_mm, double hi_mm);
/// The response weighted by the N(D) that explains counts (particles per recorded step below
/// k_recorded_steps): the prior refined by k_fit_rounds rounds of expectation maximisation
/// (each cell's drops scaled by the mean of counts / expected over the steps its drops are
/// recorded in), scaled back to the prior's total. No counts: the prior's.
step_weights fit_response(const efficiency_table& t, const double* counts);
/// The prior's drops with diameters in [lo, hi) mm (per unit of its N(0)).
double prior_mass(double lo_mm, double hi_mm);
/// Diameter (mm) the evaluation records for lines of wa[0..la) and wb[0..lb) pixels at scales
/// (mm per pixel, mm per line): elliptic slices paired from the top, scaled to the mean line
/// count, as a sphere of the same volume.
double recorded_diameter(const int* wa, int la, const int* wb, int lb, double scale_a, double scale_b,
                         double scale_h);

/// Recorded 0.01 mm steps the stream response covers.
inline constexpr int k_stream_steps = 300;
/// A stream of drops through the pairing: per recorded step the records the products count
/// (uncut pairs whose speed passes the check, each weighted by the law's speed over its own),
/// per true step the drops seen whole by both cameras.
struct stream_response {
  std::vector<double> seen, truth;
};
/// n_drops drops of N(D) = exp(-slope D) from 0.3 mm (drawn by flux) arriving at random at
/// drops_per_line, positions uniform over the area, each camera's images made line by line and
/// paired by the pairing's rules (the first B image in the window that passes the test), the
/// pairs evaluated as the evaluation does; seed fixes the sequence.
stream_response simulate_stream(const main_hd& hd, const pairing_rules& r, const speed_check& check,
                                double drops_per_line, int n_drops, uint64_t seed, double slope);

/// The tables of one particle file: one per distinct geometry of its main headers, made when
/// first asked for. Empty rules (have_rules false) make no tables.
struct efficiency_set {
  bool have_rules = false;
  pairing_rules rules;
  speed_check check;
  std::vector<main_hd> geometry;       ///< header of each table made
  std::deque<efficiency_table> tables;  ///< a deque: the pointers handed out stay valid
};

/// The table for header index h of headers, or nullptr when the set has no rules or h is none.
const efficiency_table* efficiency_for(efficiency_set& s, const std::vector<sno_header_rec>& headers, int h);

/// Fills s for the rules read from the files at settings and calibration (either may be empty:
/// no settings give no model, no calibration no width deviations); law as the products use.
/// False with the reason when there is no model.
bool load_efficiency_set(const std::string& settings, const std::string& calibration, const speed_check& check,
                         efficiency_set* s, std::string* why);

/// Sets p.efficiency, p.weight and p.efficiency_flag of a particle whose diameter is d_mm, in a
/// minute of uncorrected rain rate rain_mm_h, from table t (nullptr: no model): the efficiency at
/// its recorded diameter under w (nullptr: the prior) times the stream factor.
void apply_efficiency(particle_products& p, double d_mm, const efficiency_table* t, double rain_mm_h,
                      const step_weights* w = nullptr);

/// Minutes around a minute whose counts the response is fitted to: the nearest ones until they
/// hold k_fit_drops particles below 1 mm, at most k_fit_reach minutes to either side.
inline constexpr int64_t k_fit_drops = 2000;
inline constexpr int k_fit_reach = 30;

/// What the corrections of a particle file take from a first walk over it: per minute the
/// uncorrected sums (its rain rate, its counts per recorded step), and the response fitted to
/// the counts around each minute, made when first asked for.
struct file_corrections {
  minute_table uncorrected;
  std::map<int64_t, double> rain_rates;
  std::map<std::pair<const efficiency_table*, int64_t>, step_weights> fitted;
};

/// The first walk over the particle file at path (a file that cannot be walked to its end gives
/// the minutes read so far).
file_corrections first_walk(const std::string& path, const sno_scan& scan, const speed_check& check,
                            bool keep_implausible);
/// The response of t fitted to the counts around minute m.
const step_weights& fitted_response(file_corrections& c, const efficiency_table& t, int64_t minute);
/// apply_efficiency with the rain rate and fitted response of the particle's minute.
void correct_particle(particle_products& p, double d_mm, const efficiency_table* t, file_corrections& c);

}  // namespace dp
