#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <random>
#include <utility>
#include <vector>

#include "headers/chronology.h"
#include "lines/line_records.h"
#include "lines/particle_assembly.h"
#include "lines/work_pool.h"

namespace {

using dp::line_rec;
using dp::particle_rec;
using dp::pool;
using run = std::pair<int16_t, int16_t>;  // x_beg, x_end

class Assembly : public testing::Test {
 protected:
  void SetUp() override {
    dp::reset_line_store();
    dp::reset_work_pool();
    dp::reset_chronology();
    pool.cam_a = {'1', 'V'};
    pool.cam_b = {'2', 'W'};
  }
  void TearDown() override { dp::reset_work_pool(); }

  dp::frame_rec& frame = dp::lines.frame_a;

  void add_line(double y, std::initializer_list<run> runs) { add_line(y, std::vector<run>(runs)); }
  void add_line(double y, const std::vector<run>& runs) {
    line_rec& line = frame.lines[frame.n_lines++];
    line = line_rec{};
    line.y_count = y;
    line.n_pieces = static_cast<int16_t>(runs.size());
    for (size_t q = 0; q < runs.size(); ++q) line.piece[q] = {runs[q].first, runs[q].second, 0};
  }
  int16_t assemble() { return dp::assign_pieces(&frame, &pool.cam_a); }
  // Particles of camera A's assign queue in the order they were created.
  static std::vector<const particle_rec*> created() {
    std::vector<const particle_rec*> out;
    for (const particle_rec* rec = pool.cam_a.assign_tail; rec != nullptr; rec = rec->prev) out.push_back(rec);
    return out;
  }
  int16_t label(int i, int j) const { return frame.lines[i].piece[j].label; }
};

TEST_F(Assembly, UShapeIsOneParticleSeededByItsLeftArm) {
  add_line(100, {{10, 12}, {20, 22}});
  add_line(101, {{10, 12}, {20, 22}});
  add_line(102, {{10, 22}});
  EXPECT_EQ(assemble(), 1);
  EXPECT_EQ(label(0, 1), 1);
  EXPECT_EQ(label(1, 1), 1);
  const auto recs = created();
  ASSERT_EQ(recs.size(), 1u);
  const particle_rec& p = *recs[0];
  EXPECT_EQ(p.line_no, 3);
  EXPECT_EQ(p.width, 12);
  EXPECT_EQ(p.y_start, 100.0);
  EXPECT_EQ(p.y_end, 103.0);
  EXPECT_EQ(p.lines[0].n_pieces, 2);
  EXPECT_EQ(p.lines[0].piece[1].x_beg, 20);
  EXPECT_EQ(p.lines[2].n_pieces, 1);
  EXPECT_EQ(p.lines[2].y_count, 102.0);
}

TEST_F(Assembly, PiecesConnectWhenTheirColumnsOverlapOrTouch) {
  const struct {
    std::vector<run> upper, lower;
    double dy;
    int16_t particles;
  } cases[] = {
      {{{5, 10}}, {{10, 15}}, 1.0, 1},   // corner to corner
      {{{10, 15}}, {{5, 10}}, 1.0, 1},   // the other corner
      {{{5, 10}}, {{11, 15}}, 1.0, 2},   // one column apart
      {{{5, 10}}, {{5, 10}}, 2.0, 2},    // a jump between decoded blocks
      {{{5, 10}}, {{5, 10}}, 0.5, 2},    // not a whole line
  };
  for (const auto& c : cases) {
    SetUp();
    add_line(7000.0, c.upper);
    add_line(7000.0 + c.dy, c.lower);
    EXPECT_EQ(assemble(), c.particles) << c.upper[0].first << " dy " << c.dy;
  }
}

TEST_F(Assembly, InvertedVIsOneParticle) {
  add_line(50, {{15, 17}});
  add_line(51, {{13, 15}, {17, 19}});
  add_line(52, {{11, 13}, {19, 21}});
  EXPECT_EQ(assemble(), 1);
  const particle_rec& p = *created()[0];
  EXPECT_EQ(p.x_min, 11);
  EXPECT_EQ(p.x_max, 21);
  EXPECT_EQ(p.width, 10);
  EXPECT_EQ(p.line_no, 3);
}

TEST_F(Assembly, LineNumberJumpOfTwoSplitsAColumn) {
  add_line(100, {{10, 20}});
  add_line(102, {{10, 20}});
  add_line(103, {{10, 20}});
  EXPECT_EQ(assemble(), 2);
  const auto recs = created();
  EXPECT_EQ(recs[0]->y_start, 100.0);
  EXPECT_EQ(recs[0]->line_no, 1);
  EXPECT_EQ(recs[1]->y_start, 102.0);
  EXPECT_EQ(recs[1]->line_no, 2);
  EXPECT_EQ(recs[1]->y_end, 104.0);
}

TEST_F(Assembly, OnePixelParticle) {
  add_line(1234, {{7, 8}});
  EXPECT_EQ(assemble(), 1);
  const particle_rec& p = *created()[0];
  EXPECT_EQ(p.line_no, 1);
  EXPECT_EQ(p.width, 1);
  EXPECT_EQ(p.x_min, 7);
  EXPECT_EQ(p.x_max, 8);
  EXPECT_EQ(p.y_end, 1235.0);
  EXPECT_EQ(p.tag, '1');
  EXPECT_EQ(p.lines[0].y_count, 1234.0);
  EXPECT_EQ(p.lines[0].n_pieces, 1);
  EXPECT_EQ(p.lines[0].piece[0].x_beg, 7);
  EXPECT_EQ(p.lines[0].piece[0].x_end, 8);
  EXPECT_EQ(p.lines[0].piece[0].label, 1);
  for (int q = 1; q < dp::k_max_pieces; ++q) {
    EXPECT_EQ(p.lines[0].piece[q].x_beg, 0);
    EXPECT_EQ(p.lines[0].piece[q].x_end, 0);
    EXPECT_EQ(p.lines[0].piece[q].label, 0);
  }
}

TEST_F(Assembly, ThreeLineRectangle) {
  for (int k = 0; k < 3; ++k) add_line(40 + k, {{10, 20}});
  EXPECT_EQ(assemble(), 1);
  const particle_rec& p = *created()[0];
  EXPECT_EQ(p.width, 10);
  EXPECT_EQ(p.x_min, 10);
  EXPECT_EQ(p.x_max, 20);
  EXPECT_EQ(p.line_no, 3);
  EXPECT_EQ(p.y_start, 40.0);
  EXPECT_EQ(p.y_end, 43.0);
}

TEST_F(Assembly, PiecesOfOneLineNeverConnectDirectly) {
  add_line(9, {{10, 20}, {20, 30}, {30, 31}});
  EXPECT_EQ(assemble(), 3);
  EXPECT_EQ(label(0, 0), 1);
  EXPECT_EQ(label(0, 1), 2);
  EXPECT_EQ(label(0, 2), 3);
}

TEST_F(Assembly, ParticlesAreQueuedInTheOrderOfTheirFirstPiece) {
  add_line(10, {{10, 20}, {50, 60}});
  add_line(11, {{30, 40}, {52, 58}});
  add_line(12, {{0, 5}, {55, 56}});
  EXPECT_EQ(assemble(), 4);
  const auto recs = created();
  ASSERT_EQ(recs.size(), 4u);
  const int16_t x_mins[] = {10, 50, 30, 0};
  for (int k = 0; k < 4; ++k) EXPECT_EQ(recs[k]->x_min, x_mins[k]) << k;
  EXPECT_EQ(pool.cam_a.assign_head, recs[3]);
  EXPECT_EQ(label(1, 1), 2);
  EXPECT_EQ(label(2, 1), 2);
  EXPECT_EQ(label(1, 0), 3);
  EXPECT_EQ(label(2, 0), 4);
  EXPECT_EQ(recs[1]->lines[2].n_pieces, 1);
  EXPECT_EQ(recs[1]->lines[2].piece[0].x_beg, 55);
}

TEST_F(Assembly, GroupOf14998LinesMakesNoParticleButLaterGroupsDo) {
  add_line(0, {{0, 5}, {100, 105}});
  for (int k = 1; k < 14998; ++k) add_line(k, {{0, 5}});
  add_line(14998, {{300, 301}});
  EXPECT_EQ(assemble(), 2);
  const auto recs = created();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0]->y_start, 0.0);
  EXPECT_EQ(recs[0]->x_min, 100);
  EXPECT_EQ(recs[1]->y_start, 14998.0);
  EXPECT_EQ(label(0, 0), 1);
  EXPECT_EQ(label(14997, 0), 1);
  EXPECT_EQ(label(0, 1), 2);
  EXPECT_EQ(label(14998, 0), 3);
}

TEST_F(Assembly, GroupOf14997LinesIsAParticle) {
  for (int k = 0; k < 14997; ++k) add_line(k, {{0, 5}});
  EXPECT_EQ(assemble(), 1);
  const particle_rec& p = *created()[0];
  EXPECT_EQ(p.line_no, 14997);
  EXPECT_EQ(p.lines[14996].y_count, 14996.0);
}

TEST_F(Assembly, ExhaustedPoolKeepsOnlyTheParticlesMadeAfterIt) {
  // 260 separate one-line particles, 5 per line, lines two apart.
  for (int k = 0; k < 52; ++k) add_line(2 * k, {{0, 1}, {10, 11}, {20, 21}, {30, 31}, {40, 41}});
  EXPECT_EQ(assemble(), 260);
  const auto recs = created();
  ASSERT_EQ(recs.size(), 10u);
  EXPECT_EQ(recs[0]->y_start, 100.0);
  EXPECT_EQ(label(51, 4), 260);
}

// ---- The same frames through a literal two-direction pass flood and full label passes. ----

bool touches(const dp::piece_rec& a, const dp::piece_rec& b) { return a.x_end >= b.x_beg && b.x_end >= a.x_beg; }

void pass_flood(line_rec* lines, int i, int n, int j, int16_t lab) {
  lines[i].piece[j].label = lab;
  const int first = i;
  int deepest = 0;
  for (bool changed = true; changed;) {
    changed = false;
    int k = first;
    while (k + 1 < n) {
      bool connected = false;
      for (int p = 0; p < lines[k].n_pieces; ++p) {
        if (lines[k].piece[p].label != lab || lines[k].y_count + 1.0 != lines[k + 1].y_count) continue;
        for (int q = 0; q < lines[k + 1].n_pieces; ++q) {
          dp::piece_rec& b = lines[k + 1].piece[q];
          if (!touches(lines[k].piece[p], b)) continue;
          connected = true;
          if (b.label == 0) b.label = lab, changed = true;
        }
      }
      ++k;
      if (!connected) break;
    }
    deepest = std::max(deepest, k);
    for (int m = std::min(deepest, n - 1); m > first; --m) {
      for (int p = 0; p < lines[m].n_pieces; ++p) {
        if (lines[m].piece[p].label != lab || lines[m].y_count - 1.0 != lines[m - 1].y_count) continue;
        for (int q = 0; q < lines[m - 1].n_pieces; ++q) {
          dp::piece_rec& b = lines[m - 1].piece[q];
          if (b.label == 0 && touches(lines[m].piece[p], b)) b.label = lab, changed = true;
        }
      }
    }
  }
}

struct ref_particle {
  double y_start;
  int line_no, width;
  std::vector<line_rec> list;
};

std::vector<ref_particle> pass_assembly(line_rec* lines, int n) {
  std::vector<ref_particle> out;
  int16_t lab = 1;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < lines[i].n_pieces; ++j) {
      if (lines[i].piece[j].label != 0) continue;
      pass_flood(lines, i, n, j, lab);
      int first = -1, last = -1, lo = 1024, hi = 0;
      for (int k = 0; k < n; ++k) {
        for (int q = 0; q < lines[k].n_pieces; ++q) {
          const dp::piece_rec& p = lines[k].piece[q];
          if (p.label != lab) continue;
          if (first < 0) first = k;
          last = k;
          lo = std::min<int>(lo, p.x_beg);
          hi = std::max<int>(hi, p.x_end);
        }
      }
      ref_particle r{lines[i].y_count, last - first + 1, hi - lo, {}};
      for (int k = first; k <= last; ++k) {
        line_rec e{};
        e.y_count = lines[k].y_count;
        for (int q = 0; q < lines[k].n_pieces; ++q) {
          if (lines[k].piece[q].label == lab) e.piece[e.n_pieces++] = lines[k].piece[q];
        }
        r.list.push_back(e);
      }
      out.push_back(r);
      ++lab;
    }
  }
  return out;
}

TEST_F(Assembly, MatchesThePassFloodOnRandomFrames) {
  std::mt19937 rng(20240607u);
  for (int round = 0; round < 300; ++round) {
    SetUp();
    const int n = 1 + static_cast<int>(rng() % 120);
    double y = 1000.0;
    for (int k = 0; k < n; ++k) {
      y += rng() % 12 == 0 ? 2.0 : 1.0;
      std::vector<run> runs;
      int x = static_cast<int>(rng() % 8);
      // Odd rounds: mostly lines with one piece, the groups the assembly takes without a flood.
      const bool several = round % 2 == 0 || rng() % 8 == 0;
      for (int q = 0, pieces = several ? 1 + static_cast<int>(rng() % 6) : 1; q < pieces; ++q) {
        const int b = x + static_cast<int>(rng() % 6);
        const int e = b + 1 + static_cast<int>(rng() % 5);
        runs.emplace_back(static_cast<int16_t>(b), static_cast<int16_t>(e));
        x = e;
      }
      add_line(y, runs);
    }
    static dp::frame_rec reference;  // the same frame, labelled by the reference
    reference = frame;
    const std::vector<ref_particle> expected = pass_assembly(reference.lines, n);
    if (expected.size() > static_cast<size_t>(dp::k_pool_slots)) continue;
    ASSERT_EQ(assemble(), static_cast<int16_t>(expected.size())) << "round " << round;
    for (int k = 0; k < n; ++k) {
      for (int q = 0; q < dp::k_max_pieces; ++q) {
        ASSERT_EQ(label(k, q), reference.lines[k].piece[q].label) << "round " << round << " line " << k;
      }
    }
    const auto recs = created();
    for (size_t p = 0; p < expected.size(); ++p) {
      const particle_rec& got = *recs[p];
      const ref_particle& want = expected[p];
      ASSERT_EQ(got.y_start, want.y_start);
      ASSERT_EQ(got.line_no, want.line_no);
      ASSERT_EQ(got.width, want.width);
      ASSERT_EQ(got.y_end, want.y_start + want.line_no);
      ASSERT_EQ(got.x_max - got.x_min, want.width);
      int16_t x_min = 1024;  // the x range of the particle's own line list
      int16_t x_max = 0;
      for (int e = 0; e < got.line_no; ++e) {
        for (int q = 0; q < got.lines[e].n_pieces; ++q) {
          x_min = std::min(x_min, got.lines[e].piece[q].x_beg);
          x_max = std::max(x_max, got.lines[e].piece[q].x_end);
        }
      }
      ASSERT_EQ(got.x_min, x_min);
      ASSERT_EQ(got.x_max, x_max);
      for (int e = 0; e < want.line_no; ++e) {
        const line_rec& a = got.lines[e];
        const line_rec& b = want.list[e];
        ASSERT_EQ(a.y_count, b.y_count);
        ASSERT_EQ(a.n_pieces, b.n_pieces);
        for (int q = 0; q < dp::k_max_pieces; ++q) {
          ASSERT_EQ(a.piece[q].x_beg, b.piece[q].x_beg);
          ASSERT_EQ(a.piece[q].x_end, b.piece[q].x_end);
          ASSERT_EQ(a.piece[q].label, b.piece[q].label);
        }
      }
    }
  }
}

}  // namespace
