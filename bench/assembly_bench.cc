// Particle assembly of whole frames: assign_pieces, chain_queues, and the release of every particle
// (as matching would), on frames of rain drops and on a frame of tall particles.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "lines/line_records.h"
#include "lines/particle_assembly.h"
#include "lines/work_pool.h"

namespace {

struct drop {
  int start;     // first line
  int height;    // lines
  double c;      // centre column
  double r;      // half width in pixels
};

// Fills frame with the lines of `span` camera lines that hold shadow; lines without shadow are
// left out, so the line numbers jump there as in decoded data.
void make_rain_frame(dp::frame_rec* frame, int span, int n_drops, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> height(20, 200);
  std::uniform_real_distribution<double> column(10.0, 1000.0);
  std::vector<drop> drops;
  for (int d = 0; d < n_drops; ++d) {
    const int h = height(rng);
    std::uniform_int_distribution<int> start(0, span - h);
    drops.push_back({start(rng), h, column(rng), 2.0 + h * 0.15});
  }
  frame->n_lines = 0;
  std::vector<std::pair<int, int>> runs;
  for (int t = 0; t < span && frame->n_lines < dp::k_frame_size - 1; ++t) {
    runs.clear();
    for (const drop& d : drops) {
      if (t < d.start || t >= d.start + d.height) continue;
      const double u = (2.0 * (t - d.start) + 1.0) / d.height - 1.0;
      const double hw = d.r * std::sqrt(std::max(0.0, 1.0 - u * u));
      runs.emplace_back(static_cast<int>(d.c - hw), static_cast<int>(d.c + hw) + 1);
    }
    if (runs.empty()) continue;
    std::sort(runs.begin(), runs.end());
    dp::line_rec& line = frame->lines[frame->n_lines];
    line = dp::line_rec{};
    line.y_count = 5'000'000.0 + t;
    int n = 0;
    for (const auto& [b, e] : runs) {
      if (n > 0 && b < line.piece[n - 1].x_end) {
        line.piece[n - 1].x_end = static_cast<int16_t>(std::max<int>(e, line.piece[n - 1].x_end));
      } else if (n < dp::k_max_pieces) {
        line.piece[n++] = dp::piece_rec{static_cast<int16_t>(b), static_cast<int16_t>(e), 0};
      }
    }
    line.n_pieces = static_cast<int16_t>(n);
    ++frame->n_lines;
  }
}

// Six vertical bars through a frame of `span` lines: six particles of span lines each.
void make_tall_frame(dp::frame_rec* frame, int span) {
  frame->n_lines = static_cast<int16_t>(span);
  for (int t = 0; t < span; ++t) {
    dp::line_rec& line = frame->lines[t];
    line = dp::line_rec{};
    line.y_count = 1000.0 + t;
    line.n_pieces = 6;
    for (int q = 0; q < 6; ++q) {
      line.piece[q] = dp::piece_rec{static_cast<int16_t>(100 * q), static_cast<int16_t>(100 * q + 20), 0};
    }
  }
}

void run_assembly(benchmark::State& state, dp::frame_rec* frame) {
  dp::reset_work_pool();
  dp::cam_queues* const cam = &dp::pool.cam_a;
  cam->assign_tag = '1';
  cam->wait_tag = 'V';
  int64_t particles = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < frame->n_lines; ++i) {
      for (dp::piece_rec& p : frame->lines[i].piece) p.label = 0;
    }
    state.ResumeTiming();
    particles += dp::assign_pieces(frame, cam);
    dp::chain_queues(cam);
    while (cam->wait_tail != nullptr) dp::w_unlink(cam->wait_tail, cam);
  }
  state.SetItemsProcessed(state.iterations() * frame->n_lines);
  state.counters["lines"] = frame->n_lines;
  state.counters["particles"] = static_cast<double>(particles) / static_cast<double>(state.iterations());
  dp::reset_work_pool();
}

void BM_RainFrame(benchmark::State& state) {
  const int span = static_cast<int>(state.range(0));
  make_rain_frame(&dp::lines.frame_a, span, span * 16 / 1100, 42u + static_cast<uint32_t>(span));
  run_assembly(state, &dp::lines.frame_a);
}
BENCHMARK(BM_RainFrame)->Arg(1000)->Arg(3000)->Arg(6000)->Arg(16000);

void BM_TallParticles(benchmark::State& state) {
  make_tall_frame(&dp::lines.frame_a, static_cast<int>(state.range(0)));
  run_assembly(state, &dp::lines.frame_a);
}
BENCHMARK(BM_TallParticles)->Arg(14997);

}  // namespace

BENCHMARK_MAIN();
