// The rain that falls through the instrument: drop diameters from a Marshall-Palmer (exponential)
// or gamma size distribution for a rain rate, weighted by fall speed because the instrument counts
// the drops that pass, not those that float in a volume; fall speeds after Atlas et al. (1973)
// with a small turbulent scatter; oblate shapes after the axis-ratio polynomial of Beard and
// Chuang (1987) (or, for validations that vary the shape, spheres or a linear law more oblate
// than that); uniform positions over a rectangle around the measuring area; Poisson arrivals;
// and, on request, splashes: a few small slow fragments close to a drop, shortly after it.
// Owns nothing beyond the rain_source record its caller keeps; never prints.
//
// Units: diameters in mm, speeds in m/s, positions in mm, times in seconds of the recording day
// (the moment a particle's lowest point reaches plane A). Size distributions N(D) in m^-3 mm^-1:
//   Marshall-Palmer  N(D) = 8000 exp(-L D),        L = 4.1 R^-0.21
//   gamma            N(D) = N0 D^mu exp(-L D),     L = (3.67 + mu) / D0 with D0 = 3.67 / L_MP
//                    (the same median volume diameter), N0 such that the rain rate is R:
//   R (mm/h) = 6 pi 1e-4 * integral of D^3 v(D) N(D) dD
// Drops pass an area A (m^2) at the rate A * integral of v(D) N(D) dD over [d_min, d_max].
#pragma once

#include <cstdint>
#include <vector>

#include "rng.h"

namespace dp::abgen {

enum class dsd_kind { marshall_palmer, gamma };

/// Law of a drop's axis ratio: the Beard-Chuang polynomial, a sphere, or flat: a linear law,
/// more oblate than the polynomial (see axis_ratio).
enum class shape_law { beard_chuang, sphere, flat };

/// What rain to make.
struct rain_params {
  double rate_mm_h = 5.0;  ///< rain rate R
  dsd_kind dsd = dsd_kind::marshall_palmer;
  double mu = 2.0;            ///< shape of the gamma distribution
  shape_law shape = shape_law::beard_chuang;  ///< axis ratio of the raindrops
  double d_min = 0.3;         ///< smallest drop made (mm)
  double d_max = 7.0;         ///< largest drop made (mm)
  double splash = 0.0;        ///< probability that a drop brings splash fragments
  double speed_scatter = 0.02;  ///< relative standard deviation of the fall speed
};

/// One particle falling through the area.
struct particle {
  int64_t id = 0;          ///< 1, 2, ... in order of t
  bool splash = false;     ///< a fragment of a splash, not a raindrop
  double diam = 0;         ///< equivalent-volume diameter (mm)
  double speed = 0;        ///< fall speed (m/s)
  double axis_ratio = 1;   ///< vertical / horizontal axis, at most 1
  double u = 0, v = 0;     ///< centre in the area (mm)
  double t = 0;            ///< seconds of the day at which its lowest point reaches plane A
};

/// The running rain: parameters, the speed-weighted size table, the clock and pending splashes.
struct rain_source {
  rain_params p;
  rng r;
  double half_u = 0, half_v = 0;  ///< particles are placed in [-half_u, half_u] x [-half_v, half_v]
  double drops_per_s = 0;         ///< Poisson rate of drops over that rectangle
  double n0 = 0, lambda = 0;      ///< N(D) = n0 D^mu exp(-lambda D) (mu 0 for Marshall-Palmer)
  std::vector<double> cdf_d, cdf_p;  ///< sampled cumulative flux distribution over [d_min, d_max]
  double t = 0;                   ///< arrival time of the next drop
  int64_t next_id = 1;
  std::vector<particle> pending;  ///< splash fragments not yet handed out (a min-heap on t)
};

/// Fall speed (m/s) of a drop of diameter d (mm): 9.65 - 10.3 exp(-0.6 d), at least 0.05.
double fall_speed(double d);
/// Vertical over horizontal axis of a drop of diameter d (mm) by law: Beard and Chuang (1987),
/// at most 1; 1 for a sphere; 1.03 - 0.062 d, taken into [0.5, 1], for flat.
double axis_ratio(double d, shape_law law);
/// N(D) of the source's distribution (m^-3 mm^-1).
double size_density(const rain_source& s, double d);
/// Rain rate (mm/h) that the source's distribution carries (over all sizes, not only those made).
double rain_rate_of(const rain_source& s);

/// Sets s up: the distribution for p, drops placed over the rectangle of the given half sizes,
/// the first arrival after t0, random numbers from seed.
void rain_init(rain_source& s, const rain_params& p, double half_u, double half_v, double t0,
               uint64_t seed);
/// The next particle in order of t (drops and splash fragments mixed).
particle rain_next(rain_source& s);

}  // namespace dp::abgen
