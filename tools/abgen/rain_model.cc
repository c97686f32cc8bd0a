#include "rain_model.h"

#include <algorithm>
#include <cmath>

namespace dp::abgen {

namespace {

constexpr int k_table_steps = 2048;
constexpr double k_splash_min_diam = 1.0;  // only drops this large splash

bool later(const particle& a, const particle& b) { return a.t > b.t; }

// Integral of f over [lo, hi] by Simpson's rule on 4000 intervals.
template <class F>
double integrate(F f, double lo, double hi) {
  constexpr int n = 4000;
  const double h = (hi - lo) / n;
  double sum = f(lo) + f(hi);
  for (int i = 1; i < n; ++i) sum += f(lo + i * h) * (i % 2 == 1 ? 4.0 : 2.0);
  return sum * h / 3.0;
}

double sample_diameter(rain_source& s) {
  const double target = rng_uniform(s.r) * s.cdf_p.back();
  const auto it = std::upper_bound(s.cdf_p.begin(), s.cdf_p.end(), target);
  const size_t k = std::clamp<size_t>(static_cast<size_t>(it - s.cdf_p.begin()), 1, s.cdf_p.size() - 1);
  const double p0 = s.cdf_p[k - 1], p1 = s.cdf_p[k];
  const double f = p1 > p0 ? (target - p0) / (p1 - p0) : 0.0;
  return s.cdf_d[k - 1] + f * (s.cdf_d[k] - s.cdf_d[k - 1]);
}

void add_splash(rain_source& s, const particle& drop) {
  const int n = rng_int(s.r, 1, 4);
  for (int i = 0; i < n; ++i) {
    particle f;
    f.splash = true;
    f.diam = rng_range(s.r, 0.2, 0.7);
    f.speed = rng_range(s.r, 0.5, 2.5);
    f.axis_ratio = 1.0;
    const double du = rng_range(s.r, 2.0, 8.0), dv = rng_range(s.r, 2.0, 8.0);
    f.u = drop.u + (rng_chance(s.r, 0.5) ? du : -du);
    f.v = drop.v + (rng_chance(s.r, 0.5) ? dv : -dv);
    f.t = drop.t + rng_range(s.r, 0.002, 0.03);
    s.pending.push_back(f);
    std::push_heap(s.pending.begin(), s.pending.end(), later);
  }
}

}  // namespace

double fall_speed(double d) { return std::max(0.05, 9.65 - 10.3 * std::exp(-0.6 * d)); }

double axis_ratio(double d, shape_law law) {
  if (law == shape_law::sphere) return 1.0;
  if (law == shape_law::flat) return std::clamp(1.03 - 0.062 * d, 0.5, 1.0);
  const double r = 1.0048 + d * (5.7e-4 + d * (-2.628e-2 + d * (3.682e-3 + d * -1.677e-4)));
  return std::min(1.0, r);
}

double size_density(const rain_source& s, double d) {
  const double shape = s.p.dsd == dsd_kind::gamma ? std::pow(d, s.p.mu) : 1.0;
  return s.n0 * shape * std::exp(-s.lambda * d);
}

double rain_rate_of(const rain_source& s) {
  return 6.0 * 3.141592653589793e-4 *
         integrate([&](double d) { return d * d * d * fall_speed(d) * size_density(s, d); }, 0.05, 10.0);
}

void rain_init(rain_source& s, const rain_params& p, double half_u, double half_v, double t0,
               uint64_t seed) {
  s = rain_source{};
  s.p = p;
  rng_seed(s.r, seed);
  s.half_u = half_u;
  s.half_v = half_v;
  const double lambda_mp = 4.1 * std::pow(p.rate_mm_h, -0.21);
  if (p.dsd == dsd_kind::marshall_palmer) {
    s.n0 = 8000.0;
    s.lambda = lambda_mp;
  } else {
    s.lambda = (3.67 + p.mu) / (3.67 / lambda_mp);
    s.n0 = 1.0;
    s.n0 = p.rate_mm_h / rain_rate_of(s);
  }
  s.cdf_d.resize(k_table_steps + 1);
  s.cdf_p.resize(k_table_steps + 1);
  const double step = (p.d_max - p.d_min) / k_table_steps;
  double prev = 0.0, acc = 0.0;
  for (int i = 0; i <= k_table_steps; ++i) {
    const double d = p.d_min + i * step;
    const double f = fall_speed(d) * size_density(s, d);
    if (i > 0) acc += 0.5 * (f + prev) * step;
    s.cdf_d[i] = d;
    s.cdf_p[i] = acc;
    prev = f;
  }
  const double area_m2 = 4.0 * half_u * half_v * 1e-6;
  s.drops_per_s = area_m2 * acc;
  s.t = t0 + rng_exp(s.r, s.drops_per_s);
}

particle rain_next(rain_source& s) {
  if (!s.pending.empty() && s.pending.front().t <= s.t) {
    std::pop_heap(s.pending.begin(), s.pending.end(), later);
    particle f = s.pending.back();
    s.pending.pop_back();
    f.id = s.next_id++;
    return f;
  }
  particle d;
  d.id = s.next_id++;
  d.diam = sample_diameter(s);
  const double scatter = std::clamp(rng_normal(s.r), -3.0, 3.0) * s.p.speed_scatter;
  d.speed = fall_speed(d.diam) * (1.0 + scatter);
  d.axis_ratio = axis_ratio(d.diam, s.p.shape);
  d.u = rng_range(s.r, -s.half_u, s.half_u);
  d.v = rng_range(s.r, -s.half_v, s.half_v);
  d.t = s.t;
  if (s.p.splash > 0.0 && d.diam >= k_splash_min_diam && rng_chance(s.r, s.p.splash)) add_splash(s, d);
  s.t += rng_exp(s.r, s.drops_per_s);
  return d;
}

}  // namespace dp::abgen
