// Speed of the line decoder and the frame compressor on drop-like particles: 20-200 lines, an
// elliptic outline of 1-3 pieces per line, short runs of identical lines. Items are lines.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "lines/frame_compressor.h"
#include "lines/line_decoder.h"
#include "lines/line_records.h"

namespace {

struct particle {
  std::vector<dp::line_rec> lines;
  std::vector<uint8_t> image;
};

std::vector<particle> make_particles(int count) {
  std::mt19937 rng(12345);
  std::vector<particle> ps;
  double y = 1000000.0;
  for (int p = 0; p < count; ++p) {
    particle pt;
    const int n = 20 + static_cast<int>(rng() % 181);
    const double width = 0.3 * n + static_cast<double>(rng() % 40);
    const int center = 100 + static_cast<int>(rng() % 800);
    const int label = 1 + static_cast<int>(rng() % 200);
    dp::line_rec prev;
    for (int i = 0; i < n; ++i) {
      const double t = (i + 0.5) / n * 2.0 - 1.0;
      const int half = 1 + static_cast<int>(0.5 * width * std::sqrt(1.0 - t * t));
      dp::line_rec ln;
      ln.y_count = y + i;
      if (i > 0 && rng() % 4 == 0) {
        ln = prev;  // the outline often stays the same for a line or two
        ln.y_count = y + i;
      } else {
        const int beg = center - half, end = center + half;
        const int np = half > 12 ? 1 + static_cast<int>(rng() % 3) : 1;
        const int step = (end - beg) / np;
        for (int k = 0; k < np; ++k) {
          const int b = beg + k * step + (k > 0 ? 1 + static_cast<int>(rng() % 3) : 0);
          const int e = k == np - 1 ? end : beg + (k + 1) * step;
          ln.piece[k] = {static_cast<int16_t>(b), static_cast<int16_t>(e), static_cast<int16_t>(label)};
        }
        ln.n_pieces = static_cast<int16_t>(np);
      }
      pt.lines.push_back(ln);
      prev = ln;
    }
    y += n + 50;
    int16_t len = 0;
    const uint8_t* buf = nullptr;
    if (dp::cmpr_frm(static_cast<int16_t>(n), pt.lines.data(), &len, &buf) != 1) std::abort();
    pt.image.assign(buf, buf + len);
    ps.push_back(std::move(pt));
  }
  return ps;
}

const std::vector<particle>& particles() {
  static const std::vector<particle> ps = make_particles(512);
  return ps;
}

void BM_decmpr(benchmark::State& state) {
  const std::vector<particle>& ps = particles();
  static dp::line_rec decoded[dp::k_line_buf_size];
  size_t k = 0;
  int64_t lines = 0, bytes = 0;
  for (auto _ : state) {
    const particle& p = ps[k];
    k = (k + 1) % ps.size();
    int16_t n = 0;
    benchmark::DoNotOptimize(dp::decmpr(p.image.data(), static_cast<int32_t>(p.image.size()), 3, decoded, &n, -1));
    benchmark::ClobberMemory();
    lines += n;
    bytes += static_cast<int64_t>(p.image.size());
  }
  state.SetItemsProcessed(lines);
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_decmpr);

void BM_cmpr_frm(benchmark::State& state) {
  const std::vector<particle>& ps = particles();
  size_t k = 0;
  int64_t lines = 0, bytes = 0;
  for (auto _ : state) {
    const particle& p = ps[k];
    k = (k + 1) % ps.size();
    int16_t len = 0;
    const uint8_t* buf = nullptr;
    benchmark::DoNotOptimize(
        dp::cmpr_frm(static_cast<int16_t>(p.lines.size()), p.lines.data(), &len, &buf));
    benchmark::DoNotOptimize(buf);
    lines += static_cast<int64_t>(p.lines.size());
    bytes += len;
  }
  state.SetItemsProcessed(lines);
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_cmpr_frm);

}  // namespace

BENCHMARK_MAIN();
