// Calibration tables: reads "corrfact.dat" from the working directory and expands its deviations
// (percent of the measured from the true size, at ten reference diameters, for the height and
// width seen by each camera) into four tables of 512 correction factors, indexed by a measured
// size in steps of 0.1 mm. Owns the raw rows and the four tables; runs once, before any output
// file exists, and refuses (fatal, naming line and column) a file it cannot take as written.
//
// "corrfact.dat", text, one line per row (columns from 0 here, from 1 in messages):
//   line  content                                        use
//   1     free text                                      skipped
//   2     calibration number from column 54              not used
//   3     "diameter: " + ten reference diameters, mm     diam[0..9]
//   4     free text                                      skipped
//   5     "height A: " + ten deviations, percent         dev_ha
//   6     "height B: " ...                               dev_hb
//   7     "width A : " ...                               dev_wa
//   8     "width B : " ...                               dev_wb
// Value i of lines 3 and 5-8 is read at column 10 + 7 i as scanf's "%6f" does (white space
// skipped, then at most six characters of a number). Refused: a missing line; a value whose
// seven columns hold no number or that is not finite; diameters not above 0, above 51.2 mm (the
// sizes the tables hold) or not strictly increasing; deviations of 100 % or more either way.
//
// Table of one deviation row dev: anchor[i] = (dev[i] * 0.01 + 1) * diam[i] is the size measured
// for reference diameter i; entry k (measured size m = 0.1 k) holds 1 / (1 + p / 100) with p the
// deviation interpolated linearly over the anchors (the first segment extended below anchor[0]);
// from the last entry below anchor[9] on, every entry repeats that entry.
#pragma once

namespace dp {

inline constexpr int k_corr_size = 512;
inline constexpr int k_n_diam = 10;  ///< reference diameters of the calibration

struct calibration_state {
  float diam[k_n_diam] = {};
  float dev_ha[k_n_diam] = {}, dev_hb[k_n_diam] = {}, dev_wa[k_n_diam] = {}, dev_wb[k_n_diam] = {};
  float corr_ha[k_corr_size] = {}, corr_hb[k_corr_size] = {};  ///< height factors, cameras A, B
  float corr_wa[k_corr_size] = {}, corr_wb[k_corr_size] = {};  ///< width factors, cameras A, B
};

extern calibration_state calib;

/// Loads "corrfact.dat" from the working directory; ends the program when it cannot be opened, is
/// refused (see above) or its anchors cannot form a table (two neighbours equal).
void tables();
/// Value of the field at column col of line as "%6f" reads it; 0 when there is none.
float calib_field(const char* line, int col);
/// All rows and tables back to 0.
void reset_calibration();

}  // namespace dp
