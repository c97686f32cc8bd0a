#include "recording.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "raster.h"

namespace dp::abgen {

namespace {

constexpr double k_last_line = 4294967295.0;  // formats 1 and 2 store line numbers in 32 bits

// Where and when one particle crosses both planes.
struct crossing {
  silhouette a, b;
};

crossing cross(const instrument& in, const particle& p) {
  const double height = p.diam * std::cbrt(p.axis_ratio * p.axis_ratio);  // D a^(2/3)
  const double width = p.diam / std::cbrt(p.axis_ratio);                  // D a^(-1/3)
  const double lines_per_mm = in.freq / (1000.0 * p.speed);
  const calib_rows& c = in.calib;
  crossing x;
  x.a.centre = column_a(in, p.u, p.v);
  x.b.centre = column_b(in, p.u, p.v);
  x.a.half_px = 0.5 * width * pixels_per_mm_a(in, p.v) * (1.0 + deviation(c.diam, c.dev_wa, width) * 0.01);
  x.b.half_px = 0.5 * width * pixels_per_mm_b(in, p.u) * (1.0 + deviation(c.diam, c.dev_wb, width) * 0.01);
  x.a.n_lines = x.b.n_lines = height * lines_per_mm;
  x.a.y0 = p.t * in.freq;
  const double h = plane_distance(in, x.a.centre, x.b.centre) / height_factor(c, height);
  x.b.y0 = x.a.y0 + h * lines_per_mm;
  return x;
}

void hand_over(cam_lines& cl, int cam, int64_t frontier, oeu_state& oeu, std::vector<line_rec>& buf) {
  buf.clear();
  take_lines(cl, frontier, buf);
  for (const line_rec& l : buf) oeu_line(oeu, cam, l);
}

}  // namespace

void header_schedule(const recording_plan& plan, std::vector<double>* lines,
                     std::vector<uint32_t>* times) {
  lines->clear();
  times->clear();
  const uint32_t day_start = plan.start - plan.start % 86400u;
  for (int k = 0; k < k_max_main_headers; ++k) {
    const uint64_t t = static_cast<uint64_t>(plan.start) + static_cast<uint64_t>(k) * static_cast<uint64_t>(plan.header_every);
    if (k > 0 && (plan.header_every <= 0 || t >= static_cast<uint64_t>(day_start) + 86400u)) break;
    if (k > 0 && plan.duration > 0 && static_cast<double>(t - plan.start) >= plan.duration) break;
    times->push_back(static_cast<uint32_t>(t));
    lines->push_back(static_cast<double>(t % 86400u) * plan.in.freq);
  }
}

double placement_half_size(const instrument& in) {
  // A camera's field is widest on the side away from it: half a line is k (1 + h / L0) mm there
  // when the square reaches h, k = x_center XSCALE0 (pinhole at L0). The square holds the area
  // both cameras see and the rim around it that placed() keeps.
  const double k1 = in.x_center * static_cast<double>(in.XSCALE0_1);
  const double k2 = in.x_center * static_cast<double>(in.XSCALE0_2);
  const double l1 = in.L0_1, l2 = in.L0_2, m = in.rim_mm;
  if (!(k1 > 0 && k2 > 0 && l1 > 2 * (k1 + m) && l2 > 2 * (k2 + m))) return 1.03 * std::min(k1, k2);
  return std::max((k1 + m) / (1 - k1 / l1), (k2 + m) / (1 - k2 / l2));
}

bool placed(const instrument& in, double u, double v) {
  const double n = 2.0 * in.x_center, m = in.rim_mm;
  const double a = column_a(in, u, v), b = column_b(in, u, v);
  const double rim_a = m * pixels_per_mm_a(in, v), rim_b = m * pixels_per_mm_b(in, u);
  return a >= -rim_a && a <= n + rim_a && b >= -rim_b && b <= n + rim_b;
}

namespace {

// Share of the square of half size half (mm) where raindrops fall, on a 200 x 200 grid.
double placed_share(const instrument& in, double half) {
  constexpr int n = 200;
  int inside = 0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) inside += placed(in, half * ((2 * i + 1.0) / n - 1), half * ((2 * j + 1.0) / n - 1));
  return static_cast<double>(inside) / (n * n);
}

}  // namespace

recording_result run_recording(const recording_plan& plan, std::FILE* ab, std::FILE* truth,
                               recording_stats* stats) {
  *stats = recording_stats{};
  const instrument& in = plan.in;
  const double t0 = static_cast<double>(plan.start % 86400u);
  const double half = placement_half_size(in);
  rain_source rain;
  rain_init(rain, plan.rain, half, half, t0, plan.seed);
  stats->drops_per_s = rain.drops_per_s * placed_share(in, half);
  stats->rain_rate = rain_rate_of(rain);

  std::vector<double> h_lines;
  std::vector<uint32_t> h_times;
  header_schedule(plan, &h_lines, &h_times);
  oeu_state oeu;
  oeu.style = plan.style;
  oeu.idle_lines = plan.idle_lines > 0 ? plan.idle_lines : static_cast<int64_t>(in.freq * 0.02);
  oeu.span_lines = plan.span_lines > 0 ? plan.span_lines : static_cast<int64_t>(in.freq * 0.05);
  oeu_init(oeu, in, ab, plan.seed ^ 0x5eed0e0ull, h_lines, h_times);

  cam_lines cam_a, cam_b;
  const int64_t first = static_cast<int64_t>(std::floor(t0 * in.freq));
  cam_lines_init(cam_a, line_pixels(in), first, in.threshold);
  cam_lines_init(cam_b, line_pixels(in), first, in.threshold);
  std::vector<line_rec> buf;
  if (truth != nullptr)
    std::fputs("id,diameter_mm,speed_m_s,axis_ratio,u_mm,v_mm,line_a,line_b,lines_a,lines_b,expected,splash\n",
               truth);

  const double t_end = plan.duration > 0 ? t0 + plan.duration : std::numeric_limits<double>::infinity();
  double last_t = t0;
  recording_result result = recording_result::ok;
  for (;;) {
    const particle p = rain_next(rain);
    if (p.t > t_end) break;
    // A raindrop outside the area both cameras see and its rim is not made; splash fragments come
    // from drops splashing on the housing around the area, wherever their drop fell.
    if (!p.splash && !placed(in, p.u, p.v)) continue;
    if (!p.splash && plan.max_drops > 0 && stats->drops >= plan.max_drops) break;
    if (plan.max_bytes > 0 && oeu.bytes + oeu.out.size() >= plan.max_bytes) break;
    const crossing x = cross(in, p);
    if (in.format != 3 && x.b.y0 + x.b.n_lines + static_cast<double>(oeu.idle_lines) >= k_last_line) {
      stats->line_limit = true;
      break;
    }
    last_t = p.t;
    if (p.splash) ++stats->fragments;
    else ++stats->drops;

    const int64_t frontier = static_cast<int64_t>(std::ceil(x.a.y0));
    hand_over(cam_a, 0, frontier, oeu, buf);
    hand_over(cam_b, 1, frontier, oeu, buf);
    oeu_advance(oeu, static_cast<double>(frontier));
    if (oeu.failed || oeu.uncodable) break;

    bool fits_a = true, fits_b = true;
    const raster_result ra = add_silhouette(cam_a, x.a, &fits_a);
    const raster_result rb = add_silhouette(cam_b, x.b, &fits_b);
    if (!fits_a || !fits_b) {
      result = recording_result::internal_error;
      break;
    }
    if (ra.n_lines == 0 && rb.n_lines == 0) continue;
    const bool expected = !p.splash && ra.n_lines > 0 && rb.n_lines > 0 && !ra.clipped && !rb.clipped;
    ++stats->rows;
    if (expected) ++stats->expected;
    if (truth != nullptr)
      std::fprintf(truth, "%lld,%.4f,%.4f,%.4f,%.3f,%.3f,%lld,%lld,%d,%d,%d,%d\n",
                   static_cast<long long>(stats->rows), p.diam, p.speed, p.axis_ratio, p.u, p.v,
                   static_cast<long long>(ra.first), static_cast<long long>(rb.first), ra.n_lines,
                   rb.n_lines, expected ? 1 : 0, p.splash ? 1 : 0);
  }

  const int64_t all = std::numeric_limits<int64_t>::max();
  hand_over(cam_a, 0, all, oeu, buf);
  hand_over(cam_b, 1, all, oeu, buf);
  const double end_line = std::isfinite(t_end) ? t_end * in.freq : last_t * in.freq;
  oeu_finish(oeu, end_line);

  stats->seconds = last_t - t0;
  stats->merged_to_six = cam_a.merged_to_six + cam_b.merged_to_six;
  stats->headers = oeu.headers_written;
  stats->bytes = oeu.bytes;
  stats->enc = oeu.stats;
  if (result == recording_result::ok && oeu.uncodable) result = recording_result::internal_error;
  if (result == recording_result::ok && (oeu.failed || (truth != nullptr && std::ferror(truth))))
    result = recording_result::write_failed;
  return result;
}

}  // namespace dp::abgen
