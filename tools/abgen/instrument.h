// The synthetic instrument: two line-scan cameras at right angles, each looking across the
// measuring area along a horizontal light plane, plane B a few millimetres below plane A and
// optionally tilted. Says where a point of the area falls on each camera line, how far apart the
// planes are there, what size deviations the optics add (the ones the calibration file lists and
// the evaluation takes out again), and writes the settings and calibration files of a recording.
// Keeps no state; never prints.
//
// Coordinates: u (mm) runs along camera A's line, v (mm) along camera B's line, both 0 at the
// area's centre. Camera A is a pinhole at v = +L0_1 looking towards -v, camera B one at
// u = -L0_2 looking towards +u; at the centre a pixel of A is XSCALE0_1 mm wide, one of B
// XSCALE0_2. Continuous column c: pixel j covers [j, j+1); a line has 2 x_center pixels.
//   column_a(u, v) = x_center + u L0_1 / (XSCALE0_1 (L0_1 - v))
//   column_b(u, v) = x_center + v L0_2 / (XSCALE0_2 (L0_2 + u))
// So A's pixel at depth v is XSCALE0_1 (L0_1 - v) / L0_1 wide and B's at u is
// XSCALE0_2 (L0_2 + u) / L0_2, while v is about XSCALE0_2 times B's offset from its centre and u
// XSCALE0_1 times A's: the perspective relation the evaluation inverts. What it leaves out is the
// second-order term u v / L0 of that "about", which moves a pixel size by under 1 % in the area.
// Plane distance at a particle centred on columns (ca, cb), with n = 2 x_center - 1:
//   h = HBL + (HBR - HBL) ca / n + (HFR - HBR) cb / n        (HFL = HBL + HFR - HBR)
//
// Size deviations: a size s (mm) is seen as s (1 + dev(s) / 100), dev interpolated linearly over
// the ten reference diameters (the first segment extended below, the last value kept above).
// Widths: camera A's shadow is widened by dev_wa of the drop's horizontal diameter, B's by dev_wb.
// Heights: the planes act as if closer by the factor height_factor, so that the vertical scale
// that a pair's delay gives, and with it the measured height, comes out too large by the mean
// correction of the two height rows; the evaluation's correction then restores speed and height.
// A validation may scale the typical deviations (scaled_calib) to see how the evaluation fares
// with a stronger or weaker calibration.
#pragma once

#include <cstdint>
#include <string>

namespace dp::abgen {

inline constexpr int k_calib_points = 10;

/// The calibration table of corrfact.dat: reference diameters (mm) and deviations (percent).
struct calib_rows {
  int16_t number = 17;  ///< calibration number, shown in the file's second line
  float diam[k_calib_points] = {};
  float dev_ha[k_calib_points] = {};
  float dev_hb[k_calib_points] = {};
  float dev_wa[k_calib_points] = {};
  float dev_wb[k_calib_points] = {};
};

/// The recording set-up: what the main headers carry, the calibration, and the pairing settings
/// that fit it.
struct instrument {
  int16_t format = 3;         ///< raw file format 1, 2 or 3
  double freq = 34000.0;      ///< line frequency (lines per second) as the headers give it
  int16_t divisor = 0;        ///< format 1: timer divisor, freq = 1193180 / divisor
  int16_t x_center = 320;     ///< centre column; a line has 2 x_center pixels (see set_format)
  float HBL = 6.0f, HBR = 6.2f, HFR = 6.1f;  ///< plane distances (mm) at three corners
  float XSCALE0_1 = 0.150f, XSCALE0_2 = 0.155f;  ///< pixel sizes (mm) at the area's centre
  float L0_1 = 680.0f, L0_2 = 700.0f;            ///< camera distances (mm) from the centre
  int16_t oeu_nr = 7;
  int16_t gate1 = 12, gate2 = 28;
  int16_t ratio_den = 200, ratio_num = 37;
  calib_rows calib;
  int16_t delta_hgt = 10;  ///< DELTA_HGT of the settings file written beside the data
  float wa_wb = 0.6f;      ///< WA_WB of the settings file
  double threshold = 0.5;  ///< fraction of a pixel a shadow must cover to darken it (see raster.h)
  /// Width (mm) of the rim around the area both cameras see where raindrops still fall: seen by
  /// one camera only or cut by the ends of the lines. 0: raindrops fall only where both cameras
  /// see their centre (drops across an edge are still cut).
  double rim_mm = 0.0;
};

/// The calibration with the deviations of a typical instrument (small drops seen a few percent
/// too large).
calib_rows typical_calib();
/// The calibration with no deviations at all.
calib_rows neutral_calib();
/// c with every deviation (height and width rows) times f, rounded to the 0.01 % that
/// corrfact.dat holds so that the data and the file agree; f 0 gives neutral_calib's zeros
/// (never -0.00), the calibration number stays c's.
calib_rows scaled_calib(const calib_rows& c, double f);
/// The calibration a recording's corrfact.dat holds: in.calib as a calibration with reference
/// spheres through these cameras would measure it. A threshold t other than 0.5 shadows a slice
/// (1 - 2t) pixels wider on average, so each width row gains 100 (1 - 2t) p / d percent at
/// reference diameter d (p the camera's pixel size at the area's centre), rounded to the file's
/// 0.01 %; the height rows (a line or so in many) are left as drawn.
calib_rows measured_calib(const instrument& in);

/// x_center of formats 1 and 2, whose main headers do not carry it: the evaluation takes 256.
inline constexpr int16_t k_implied_x_center = 256;

/// Sets the raw file format and the line width that goes with it, so that the lines drawn match
/// the width the headers give the evaluation: formats 1 and 2 get k_implied_x_center (512-pixel
/// lines); format 3 keeps in.x_center, which its header carries (640 pixels by default).
void set_format(instrument& in, int16_t format);

/// Sets the line frequency near hz: formats 2 and 3 take it as it is; format 1 stores the timer
/// divisor round(1193180 / hz), and the frequency becomes 1193180 / divisor (integer division).
/// False when hz gives no divisor in 1..32767.
bool set_frequency(instrument& in, double hz);

/// Number of pixels on a camera line (2 x_center).
inline int line_pixels(const instrument& in) { return 2 * in.x_center; }
/// Continuous column of camera A at which the point (u, v) appears.
double column_a(const instrument& in, double u, double v);
/// Continuous column of camera B at which the point (u, v) appears.
double column_b(const instrument& in, double u, double v);
/// Pixels of camera A per mm at depth v.
double pixels_per_mm_a(const instrument& in, double v);
/// Pixels of camera B per mm at depth u.
double pixels_per_mm_b(const instrument& in, double u);
/// Distance (mm) between the planes at a particle centred on columns ca (A) and cb (B).
double plane_distance(const instrument& in, double ca, double cb);

/// Deviation in percent of a size s (mm) from one row of the table.
double deviation(const float (&diam)[k_calib_points], const float (&dev)[k_calib_points], double s);
/// Factor by which the delay between the planes is shortened for a drop of vertical extent
/// height (mm): 1 / (mean over rows ha, hb of 1 / (1 + dev / 100)).
double height_factor(const calib_rows& c, double height);

/// Text of DROPPAIR.SET: every key, values from column 61, DELTA_HGT and WA_WB from in.
std::string settings_text(const instrument& in);
/// Text of corrfact.dat: eight lines, values at columns 10 + 7 i.
std::string corrfact_text(const calib_rows& c);

}  // namespace dp::abgen
