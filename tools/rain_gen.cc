// rain_gen: writes a synthetic raw data file (format 3) of roughly a given size for benchmarks and
// demonstrations: one main header, then camera-A and camera-B line-data records of falling drops,
// each drop seen by camera B a few lines after camera A.
// Usage: rain_gen OUTPUT.ab MEGABYTES [SEED]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "lines/frame_compressor.h"
#include "lines/line_records.h"
#include "platform/byte_order.h"

namespace {

struct drop {
  double y;     // first line in camera A
  int x;        // centre column
  int radius;   // half width in pixels
  int height;   // lines
  int delay;    // lines between camera A and camera B
};

using line_map = std::map<double, std::vector<std::pair<int, int>>>;

void put_drop(line_map& m, double y0, int x, int radius, int height) {
  for (int k = 0; k < height; ++k) {
    const double t = (k + 0.5) / height * 2.0 - 1.0;
    const int half = std::max(1, static_cast<int>(radius * std::sqrt(std::max(0.0, 1.0 - t * t)) + 0.5));
    m[y0 + k].push_back({std::max(0, x - half), std::min(639, x + half)});
  }
}

// Lines of one window as line records: overlapping pieces merged, at most 6 pieces a line.
std::vector<dp::line_rec> to_lines(const line_map& m, double from, double to) {
  std::vector<dp::line_rec> out;
  for (auto it = m.lower_bound(from); it != m.end() && it->first < to; ++it) {
    auto pieces = it->second;
    std::sort(pieces.begin(), pieces.end());
    std::vector<std::pair<int, int>> merged;
    for (const auto& p : pieces) {
      if (!merged.empty() && p.first <= merged.back().second) merged.back().second = std::max(merged.back().second, p.second);
      else merged.push_back(p);
    }
    dp::line_rec l{};
    l.y_count = it->first;
    l.n_pieces = static_cast<int16_t>(std::min<size_t>(merged.size(), 6));
    for (int j = 0; j < l.n_pieces; ++j) {
      l.piece[j].x_beg = static_cast<int16_t>(merged[j].first);
      l.piece[j].x_end = static_cast<int16_t>(merged[j].second);
    }
    out.push_back(l);
  }
  return out;
}

void put_record(std::FILE* f, int type, const uint8_t* payload, int len) {
  uint8_t head[4];
  dp::store_le16(head, static_cast<uint16_t>(type));
  dp::store_le16(head + 2, static_cast<uint16_t>(len));
  std::fwrite(head, 1, 4, f);
  std::fwrite(payload, 1, static_cast<size_t>(len), f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: rain_gen OUTPUT.ab MEGABYTES [SEED]\n");
    return 2;
  }
  const double megabytes = std::atof(argv[2]);
  std::mt19937 rng(argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 1u);
  std::FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  // Main header, format 3: 34000 lines per second, valid from midnight (line 0) of 2005-05-03.
  uint8_t hd[56] = {};
  dp::store_le16(hd + 2, 3);
  dp::store_le16(hd + 4, 7);
  dp::store_f64(hd + 6, 34000.0);
  dp::store_le16(hd + 14, 320);
  dp::store_f32(hd + 20, 6.0f);
  dp::store_f32(hd + 24, 6.2f);
  dp::store_f32(hd + 28, 6.1f);
  dp::store_f32(hd + 32, 0.15f);
  dp::store_f32(hd + 36, 0.15f);
  dp::store_f32(hd + 40, 300.0f);
  dp::store_f32(hd + 44, 300.0f);
  dp::store_le16(hd + 48, 200);
  dp::store_le16(hd + 50, 37);
  dp::store_le32(hd + 52, 1115078400u);
  put_record(f, 3, hd, 56);

  const double target = megabytes * 1e6;
  std::uniform_int_distribution<int> gap(20, 400), xpos(30, 610), rad(2, 18), dly(12, 30);
  line_map cam_a, cam_b;
  double y = 100000.0;   // next drop start
  double done = 1000.0;  // lines before this are written
  constexpr double window = 150.0;
  long written = 60;
  while (written < target) {
    while (y < done + 2 * window + 200) {
      const drop d{y, xpos(rng), rad(rng), 0, dly(rng)};
      const int height = std::max(1, d.radius * 2 / 3 + 1);
      put_drop(cam_a, d.y, d.x, d.radius, height);
      put_drop(cam_b, d.y + d.delay, d.x + 3, d.radius, height);
      y += gap(rng);
    }
    for (int cam = 0; cam < 2; ++cam) {
      line_map& m = cam == 0 ? cam_a : cam_b;
      const auto ls = to_lines(m, done, done + window);
      m.erase(m.begin(), m.lower_bound(done + window));
      if (ls.empty()) continue;
      int16_t len = 0;
      const uint8_t* buf = nullptr;
      if (dp::cmpr_frm(static_cast<int16_t>(ls.size()), ls.data(), &len, &buf) != 1) continue;
      put_record(f, cam == 0 ? 1 : 2, buf, len);
      written += 4 + len;
    }
    done += window;
  }
  std::fclose(f);
  return 0;
}
