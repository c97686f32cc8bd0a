// Deterministic random numbers for the generator: xoshiro256** seeded through splitmix64, with the
// uniform, exponential and normal draws written out here (not taken from the standard library's
// distributions, whose algorithms differ between implementations), so that one seed gives the
// same files on every build. Plain state, no globals; each stream of choices owns one generator.
#pragma once

#include <cmath>
#include <cstdint>

namespace dp::abgen {

/// One stream of random numbers.
struct rng {
  uint64_t s[4] = {1, 2, 3, 4};
};

/// Seeds r from seed (any value, zero included).
inline void rng_seed(rng& r, uint64_t seed) {
  for (uint64_t& w : r.s) {
    seed += 0x9e3779b97f4a7c15ull;
    uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    w = z ^ (z >> 31);
  }
}

/// The next 64 random bits.
inline uint64_t rng_next(rng& r) {
  const auto rotl = [](uint64_t x, int k) { return (x << k) | (x >> (64 - k)); };
  const uint64_t result = rotl(r.s[1] * 5, 7) * 9;
  const uint64_t t = r.s[1] << 17;
  r.s[2] ^= r.s[0];
  r.s[3] ^= r.s[1];
  r.s[1] ^= r.s[2];
  r.s[0] ^= r.s[3];
  r.s[2] ^= t;
  r.s[3] = rotl(r.s[3], 45);
  return result;
}

/// Uniform in [0, 1).
inline double rng_uniform(rng& r) { return static_cast<double>(rng_next(r) >> 11) * 0x1.0p-53; }
/// Uniform in [lo, hi).
inline double rng_range(rng& r, double lo, double hi) { return lo + (hi - lo) * rng_uniform(r); }
/// Uniform integer in [lo, hi] (hi - lo well below 2^32; the tiny modulo bias does not matter).
inline int rng_int(rng& r, int lo, int hi) {
  return lo + static_cast<int>(rng_next(r) % static_cast<uint64_t>(hi - lo + 1));
}
/// True with probability p.
inline bool rng_chance(rng& r, double p) { return rng_uniform(r) < p; }
/// Exponential waiting time of a process with the given rate (> 0).
inline double rng_exp(rng& r, double rate) { return -std::log1p(-rng_uniform(r)) / rate; }
/// Standard normal (Box-Muller, one value per call).
inline double rng_normal(rng& r) {
  const double u1 = 1.0 - rng_uniform(r);  // (0, 1]
  const double u2 = rng_uniform(r);
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

}  // namespace dp::abgen
