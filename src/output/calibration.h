// Calibration tables: reads "corrfact.dat" (eight fixed-column text lines) and expands its
// deviations at ten reference diameters into four tables of 512 correction factors, indexed by
// a measured size in steps of 0.1 mm. Owns the raw rows and the four tables.
#pragma once

namespace dp {

inline constexpr int k_corr_size = 512;

struct calibration_state {
  float diam[10] = {};
  float dev_ha[10] = {}, dev_hb[10] = {}, dev_wa[10] = {}, dev_wb[10] = {};
  float corr_ha[k_corr_size] = {}, corr_hb[k_corr_size] = {};
  float corr_wa[k_corr_size] = {}, corr_wb[k_corr_size] = {};
};

extern calibration_state calib;

/// Loads "corrfact.dat" from the working directory; ends the program when it cannot be opened or
/// its anchors cannot form a table.
void tables();
/// All rows and tables back to 0.
void reset_calibration();

}  // namespace dp
