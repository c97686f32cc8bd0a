// The picture of a run's particles as a plain SVG document written by hand: on the left the fall
// speed of every particle against its equivalent diameter, with the reference fall-speed curve of
// the fall-speed check (Atlas et al. 1973 or Beard 1976, as chosen) and the band its tolerance
// allows drawn under it; on the right the histogram of the diameters. Both panels have axes,
// ticks, grid, labels and a legend naming the law and the tolerance; axes reach the largest value
// (or 1.25 times the 99.5th percentile when that is less), and what lies beyond is counted in the
// caption, not drawn. Above 20000 particles only every k-th point is drawn (also said in the
// caption). Needs nothing but the C++ library; keeps no state; returns the document as text.
#pragma once

#include <string>
#include <vector>

#include "sno_products.h"

namespace dp {

inline constexpr size_t k_plot_max_points = 20000;

/// The SVG document for the particles (diam_mm[i], speed_m_s[i]; NaN speeds are left out of the
/// scatter), headed by title, with the reference curve and tolerance band of check.
std::string svg_plot(const std::vector<double>& diam_mm, const std::vector<double>& speed_m_s, const std::string& title,
                     const speed_check& check);

}  // namespace dp
