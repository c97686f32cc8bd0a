// Test-only rain: raw data files of synthetic drops for end-to-end runs. Every drop is an ellipse
// of single-piece lines seen by camera A and, a few lines later and two columns to the right, by
// camera B; the file starts with one format-3 main header valid from midnight. Seeded, so a test
// knows every drop it put in.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "support/raw_fixture.h"

namespace dp_test {

/// One drop: first line in camera A, centre column, half width (pixels), height (lines), and the
/// lines between camera A and camera B.
struct drop {
  double y;
  int x, radius, height, delay;
};

/// The lines of a drop: an ellipse of the given radius (pixels) and height (lines) from line y.
inline std::vector<fixture_line> drop_lines(double y, int x, int radius, int height) {
  std::vector<fixture_line> ls;
  for (int k = 0; k < height; ++k) {
    const double t = (k + 0.5) / height * 2.0 - 1.0;
    const int half = std::max(1, static_cast<int>(radius * std::sqrt(1.0 - t * t) + 0.5));
    ls.push_back({y + k, {{x - half, x + half}}});
  }
  return ls;
}

struct rain_file {
  bytes raw;
  std::vector<drop> drops;
};

/// A format-3 file of n drops: one header valid from midnight (34000 lines per second, planes
/// 6 mm apart), then for every drop a camera-A record and a camera-B record `delay` lines later.
inline rain_file make_rain(int n, unsigned seed) {
  rain_file f;
  byte_builder b;
  header_values h;
  h.valid_since = 1115078400u;  // midnight
  b.record(3, header_payload(3, h));
  std::srand(seed);
  double y = 2040000.0 - 30000.0;  // minute 0 of the line counter is at midnight; start near minute 0.98
  for (int i = 0; i < n; ++i) {
    drop d{y, 40 + std::rand() % 560, 3 + std::rand() % 15, 4 + std::rand() % 12, 12 + std::rand() % 20};
    f.drops.push_back(d);
    b.record(1, line_payload(3, drop_lines(d.y, d.x, d.radius, d.height)));
    b.record(2, line_payload(3, drop_lines(d.y + d.delay, d.x + 2, d.radius, d.height)));
    y += 100 + std::rand() % 400;
  }
  f.raw = b.out;
  return f;
}

}  // namespace dp_test
