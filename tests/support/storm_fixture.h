// Test-only: a realistic raw data file of synthetic rain for robustness tests, built with the
// fixture builder (independently of the production compressor). Drops fall through camera A and,
// a few lines later, camera B; the lines of both cameras are cut into windows, each window giving
// one record per camera, so a drop that straddles a window boundary makes a frame that spans two
// records. Main headers can be repeated (copies, which the program recognises) or renewed (one
// second later each), and records of an unknown type can be sprinkled in. Every record is listed
// with its offset. Deterministic for a seed; no two drops start on the same line.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "support/raw_fixture.h"

namespace dp_test {

struct storm_options {
  int format = 3;               ///< 1, 2 or 3
  int windows = 100;            ///< windows of window_lines lines; each gives up to two records
  int window_lines = 150;
  unsigned seed = 1;
  int repeat_header_every = 0;  ///< a copy of the current main header before every n-th window
  int new_header_every = 0;     ///< a new main header (one second later) before every n-th window
  int junk_every = 0;           ///< a record of type 7 before every n-th window
  int gap_min = 20, gap_max = 400;  ///< lines between the first lines of successive drops
  int radius_min = 2, radius_max = 18;
  double first_line = 2040000.0 - 30000.0;  ///< about a second before the end of minute 0
};

/// One record of the file: where it starts, its type and, for line data, its first line.
struct storm_record {
  size_t offset = 0;
  int type = 0;
  double first_y = 0;
};

struct storm_file {
  bytes raw;
  std::vector<storm_record> records;
};

namespace storm_detail {

using line_map = std::map<double, std::vector<std::pair<int, int>>>;

inline void put_drop(line_map& m, double y0, int x, int radius, int height) {
  for (int k = 0; k < height; ++k) {
    const double t = (k + 0.5) / height * 2.0 - 1.0;
    const int half = std::max(1, static_cast<int>(radius * std::sqrt(std::max(0.0, 1.0 - t * t)) + 0.5));
    m[y0 + k].push_back({std::max(0, x - half), std::min(1000, x + half)});
  }
}

// The lines of [from, to): overlapping pieces merged, at most six a line; taken out of m.
inline std::vector<fixture_line> take_lines(line_map& m, double from, double to) {
  std::vector<fixture_line> out;
  for (auto it = m.lower_bound(from); it != m.end() && it->first < to; ++it) {
    auto pieces = it->second;
    std::sort(pieces.begin(), pieces.end());
    fixture_line l;
    l.y = it->first;
    for (const auto& p : pieces) {
      if (!l.pieces.empty() && p.first <= l.pieces.back().second)
        l.pieces.back().second = std::max(l.pieces.back().second, p.second);
      else
        l.pieces.push_back(p);
    }
    if (l.pieces.size() > 6) l.pieces.resize(6);
    out.push_back(l);
  }
  m.erase(m.begin(), m.lower_bound(to));
  return out;
}

}  // namespace storm_detail

inline storm_file make_storm(const storm_options& o) {
  using namespace storm_detail;
  storm_file f;
  byte_builder b;
  header_values h;
  h.valid_since = 1115078400u;  // midnight: line 0 of the day
  auto record = [&](int type, const bytes& payload, double first_y) {
    f.records.push_back({b.size(), type, first_y});
    b.record(type, payload);
  };
  record(3, header_payload(o.format, h), 0);

  std::mt19937 rng(o.seed);
  std::uniform_int_distribution<int> gap(o.gap_min, o.gap_max), xpos(30, 610), rad(o.radius_min, o.radius_max),
      dly(12, 30);
  line_map cam_a, cam_b;
  double y = o.first_line + 200;
  double done = o.first_line;
  for (int w = 1; w <= o.windows; ++w) {
    while (y < done + 2.0 * o.window_lines + 200) {
      const int x = xpos(rng), radius = rad(rng), delay = dly(rng);
      const int height = std::max(1, radius * 2 / 3 + 1);
      put_drop(cam_a, y, x, radius, height);
      put_drop(cam_b, y + delay, x + 3, radius, height);
      y += gap(rng);
    }
    if (o.new_header_every > 0 && w % o.new_header_every == 0) {
      h.valid_since += 1;
      h.HBL += 0.01f;
      record(3, header_payload(o.format, h), 0);
    }
    if (o.repeat_header_every > 0 && w % o.repeat_header_every == 0) record(3, header_payload(o.format, h), 0);
    if (o.junk_every > 0 && w % o.junk_every == 0) record(7, bytes{1, 2, 3, 4, 5, 6, 7}, 0);
    for (int cam = 1; cam <= 2; ++cam) {
      const auto ls = take_lines(cam == 1 ? cam_a : cam_b, done, done + o.window_lines);
      if (!ls.empty()) record(cam, line_payload(o.format, ls), ls.front().y);
    }
    done += o.window_lines;
  }
  f.raw = std::move(b.out);
  return f;
}

}  // namespace dp_test
