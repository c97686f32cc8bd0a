// The picture of a run's particles as a plain SVG document written by hand: on the left the fall
// speed of every particle against its equivalent diameter, with the reference fall-speed curve
// of rain drops v = 9.65 - 10.3 exp(-0.6 D) (m/s, D in mm) drawn over it; on the right the
// histogram of the diameters. Both panels have axes, ticks, grid, labels and a legend; axes reach
// the largest value (or 1.25 times the 99.5th percentile when that is less), and what lies beyond
// is counted in the caption, not drawn.
// Above 20000 particles only every k-th point is drawn (also said in the caption). Keeps no
// state; returns the document as text.
#pragma once

#include <string>
#include <vector>

namespace dp {

inline constexpr size_t k_plot_max_points = 20000;

/// Reference fall speed (m/s) of a drop of diameter d_mm.
double reference_speed(double d_mm);

/// The SVG document for the particles (diam_mm[i], speed_m_s[i]; NaN speeds are left out of the
/// scatter), headed by title.
std::string svg_plot(const std::vector<double>& diam_mm, const std::vector<double>& speed_m_s, const std::string& title);

}  // namespace dp
