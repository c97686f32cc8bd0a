// abgen: a synthetic two-camera distrometer. Writes a raw data file (.ab, format 1, 2 or 3) of
// rain made from physics, the ground truth of every particle as CSV, and on request the settings
// and calibration files that go with it. Writes only where --dir or --out says, never by default
// into the working directory. Exit status 0, 2 for a usage error, 1 when a file cannot be written.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "abgen/recording.h"
#include "droppair_version.h"

namespace {

using namespace dp::abgen;

const char* const k_usage =
    "usage: abgen --dir DIR [options]\n"
    "       abgen --out FILE [options]\n"
    "Writes a raw data file of a synthetic two-camera distrometer in rain, with the ground truth\n"
    "of every drop (CSV), and on request a matching DROPPAIR.SET and corrfact.dat.\n"
    "\n"
    "Files (--dir or --out is needed; --dir . writes into the current directory):\n"
    "  --dir DIR             write V<yy><ddd>_1.ab, V<yy><ddd>_1.csv, DROPPAIR.SET and\n"
    "                        corrfact.dat into DIR (created when missing)\n"
    "  --out FILE            the raw data file (default with --dir: DIR/V<yy><ddd>_1.ab from the\n"
    "                        start date)\n"
    "  --truth FILE          the ground-truth CSV (default: the raw file's name with .csv)\n"
    "  --no-truth            write no ground truth\n"
    "  --settings FILE       also write the settings file (DROPPAIR.SET) to FILE\n"
    "  --calib FILE          also write the calibration file (corrfact.dat) to FILE\n"
    "Recording:\n"
    "  --format 1|2|3        raw file format (default 3); camera lines of 640 pixels in format\n"
    "                        3, of 512 in formats 1 and 2 (their headers imply x_center 256)\n"
    "  --start Y-M-DTh:m:s   start of the recording, UTC (default 2005-05-03T14:30:00)\n"
    "  --duration SECONDS    seconds of rain (default 60; 0 = no limit)\n"
    "  --drops N             stop after N raindrops\n"
    "  --size MB             stop once the raw file holds MB megabytes (10^6 bytes)\n"
    "  --header-every S      a new main header every S seconds (default: only the first)\n"
    "  --seed N              random seed (default 1); the same options and seed give the same files\n"
    "Rain:\n"
    "  --rain MM_PER_H       rain rate (default 5)\n"
    "  --dsd mp|gamma        size distribution: Marshall-Palmer (default) or gamma\n"
    "  --mu MU               shape of the gamma distribution (default 2)\n"
    "  --dmin MM, --dmax MM  smallest and largest drop made (default 0.3 and 7)\n"
    "  --splash P            probability that a drop of 1 mm or more splashes (default 0)\n"
    "  --shape bc|sphere|flat  axis ratio of the drops: Beard-Chuang (default), 1 (spheres), or\n"
    "                        1.03 - 0.062 D within 0.5..1 (a linear law, more oblate than bc)\n"
    "Instrument:\n"
    "  --freq HZ             line frequency (default 34000; format 1 keeps 1193180 / divisor)\n"
    "  --planes HBL,HBR,HFR  plane distances in mm at three corners (default 6.0,6.2,6.1;\n"
    "                        format 1 has one value: HBL, default 6.0)\n"
    "  --pixels A,B          pixel sizes in mm of cameras A and B at the area's centre\n"
    "                        (default 0.150,0.155)\n"
    "  --threshold T         fraction of a pixel a shadow must cover to darken it (default 0.5:\n"
    "                        the pixel's centre)\n"
    "  --neutral-calib       no size deviations (corrfact.dat of zeros)\n"
    "  --calib-scale F       the size deviations times F (default 1; 0: none, but the\n"
    "                        calibration number kept)\n"
    "  --wa-wb X             WA_WB of DROPPAIR.SET (default 0.60)\n"
    "  --delta-hgt N         DELTA_HGT of DROPPAIR.SET (default 10)\n"
    "  --quiet               no summary on standard output\n"
    "  --help                this text\n"
    "  --version             the version and the commit of this build\n";

[[noreturn]] void usage_error(const std::string& text) {
  std::fprintf(stderr, "abgen: %s (see abgen --help)\n", text.c_str());
  std::exit(2);
}

double number(const char* opt, const char* text, double lo, double hi) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) {
    char range[96];
    std::snprintf(range, sizeof range, " (%g to %g)", lo, hi);
    usage_error(std::string("bad value for ") + opt + ": '" + text + "'" + range);
  }
  return v;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

uint32_t parse_start(const char* text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char tail = 0;
  if (std::sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6 ||
      y < 1970 || y > 2105 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 ||
      h < 0 || mi < 0 || s < 0)
    usage_error(std::string("bad value for --start: '") + text + "' (YYYY-MM-DDThh:mm:ss)");
  const int64_t t = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
  return static_cast<uint32_t>(t);
}

// "V%02d%03d_1.ab" of the day of t.
std::string raw_name(uint32_t t) {
  const int64_t days = t / 86400;
  int64_t y = 1970;
  while (days_from_civil(y + 1, 1, 1) <= days) ++y;
  const int64_t ddd = days - days_from_civil(y, 1, 1) + 1;
  char name[32];
  std::snprintf(name, sizeof name, "V%02d%03d_1.ab", static_cast<int>(y % 100), static_cast<int>(ddd));
  return name;
}

bool write_file(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

[[noreturn]] void io_error(const std::string& path) {
  std::fprintf(stderr, "abgen: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  recording_plan plan;
  std::string dir, out, truth_path, settings_path, calib_path;
  bool no_truth = false, quiet = false, neutral = false;
  double calib_scale = 1.0;
  double freq = 34000.0;
  float planes[3] = {6.0f, 6.2f, 6.1f};
  bool duration_given = false;

  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    const auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage_error("option " + opt + " needs a value");
      return argv[++i];
    };
    if (opt == "--help" || opt == "-h") {
      std::fputs(k_usage, stdout);
      return 0;
    } else if (opt == "--version") {
      std::printf("abgen %s (commit %s)\n", DROPPAIR_VERSION, DROPPAIR_COMMIT);
      return 0;
    } else if (opt == "--dir") {
      dir = value();
    } else if (opt == "--out") {
      out = value();
    } else if (opt == "--truth") {
      truth_path = value();
    } else if (opt == "--no-truth") {
      no_truth = true;
    } else if (opt == "--settings") {
      settings_path = value();
    } else if (opt == "--calib") {
      calib_path = value();
    } else if (opt == "--format") {
      const std::string v = value();
      if (v != "1" && v != "2" && v != "3") usage_error("bad value for --format: '" + v + "' (1, 2 or 3)");
      set_format(plan.in, static_cast<int16_t>(v[0] - '0'));
    } else if (opt == "--start") {
      plan.start = parse_start(value());
    } else if (opt == "--duration") {
      plan.duration = number("--duration", value(), 0, 1e6);
      duration_given = true;
    } else if (opt == "--drops") {
      plan.max_drops = static_cast<int64_t>(number("--drops", value(), 1, 1e9));
    } else if (opt == "--size") {
      plan.max_bytes = static_cast<uint64_t>(number("--size", value(), 0.001, 4000) * 1e6);
    } else if (opt == "--header-every") {
      plan.header_every = static_cast<int32_t>(number("--header-every", value(), 1, 86400));
    } else if (opt == "--seed") {
      plan.seed = static_cast<uint64_t>(number("--seed", value(), 0, 9007199254740991.0));
    } else if (opt == "--rain") {
      plan.rain.rate_mm_h = number("--rain", value(), 0.01, 500);
    } else if (opt == "--dsd") {
      const std::string v = value();
      if (v == "mp") plan.rain.dsd = dsd_kind::marshall_palmer;
      else if (v == "gamma") plan.rain.dsd = dsd_kind::gamma;
      else usage_error("bad value for --dsd: '" + v + "' (mp or gamma)");
    } else if (opt == "--mu") {
      plan.rain.mu = number("--mu", value(), -2, 20);
    } else if (opt == "--dmin") {
      plan.rain.d_min = number("--dmin", value(), 0.1, 8);
    } else if (opt == "--dmax") {
      plan.rain.d_max = number("--dmax", value(), 0.1, 8);
    } else if (opt == "--splash") {
      plan.rain.splash = number("--splash", value(), 0, 1);
    } else if (opt == "--shape") {
      const std::string v = value();
      if (v == "bc") plan.rain.shape = shape_law::beard_chuang;
      else if (v == "sphere") plan.rain.shape = shape_law::sphere;
      else if (v == "flat") plan.rain.shape = shape_law::flat;
      else usage_error("bad value for --shape: '" + v + "' (bc, sphere or flat)");
    } else if (opt == "--freq") {
      freq = number("--freq", value(), 5000, 100000);
    } else if (opt == "--planes") {
      const char* v = value();
      char tail = 0;
      if (std::sscanf(v, "%f,%f,%f%c", &planes[0], &planes[1], &planes[2], &tail) != 3)
        usage_error(std::string("bad value for --planes: '") + v + "' (HBL,HBR,HFR in mm)");
      for (const float p : planes)
        if (!(p >= 1.0f && p <= 20.0f)) usage_error(std::string("bad value for --planes: '") + v + "' (1 to 20 mm)");
    } else if (opt == "--pixels") {
      const char* v = value();
      const char* comma = std::strchr(v, ',');
      if (comma == nullptr) usage_error(std::string("bad value for --pixels: '") + v + "' (A,B in mm)");
      plan.in.XSCALE0_1 = static_cast<float>(number("--pixels", std::string(v, comma).c_str(), 0.02, 1));
      plan.in.XSCALE0_2 = static_cast<float>(number("--pixels", comma + 1, 0.02, 1));
    } else if (opt == "--threshold") {
      plan.in.threshold = number("--threshold", value(), 0.05, 0.95);
    } else if (opt == "--neutral-calib") {
      neutral = true;
    } else if (opt == "--calib-scale") {
      calib_scale = number("--calib-scale", value(), 0, 5);
    } else if (opt == "--wa-wb") {
      plan.in.wa_wb = static_cast<float>(number("--wa-wb", value(), 0.05, 1));
    } else if (opt == "--delta-hgt") {
      const char* v = value();
      const double n = number("--delta-hgt", v, 0, 32767);
      if (n != std::floor(n)) usage_error(std::string("bad value for --delta-hgt: '") + v + "' (an integer)");
      plan.in.delta_hgt = static_cast<int16_t>(n);
    } else if (opt == "--quiet") {
      quiet = true;
    } else {
      usage_error("unknown option " + opt);
    }
  }
  if (plan.rain.d_min >= plan.rain.d_max) usage_error("--dmin must be below --dmax");
  if (!duration_given && (plan.max_drops > 0 || plan.max_bytes > 0)) plan.duration = 0;
  if (plan.duration == 0 && plan.max_drops == 0 && plan.max_bytes == 0)
    usage_error("--duration 0 needs --drops or --size");
  if (dir.empty() && out.empty()) usage_error("no output place given: --dir DIR or --out FILE");

  instrument& in = plan.in;
  if (!set_frequency(in, freq)) usage_error("no timer divisor gives --freq");
  if (in.format == 1) planes[1] = planes[2] = planes[0];  // one plane distance in format 1
  in.HBL = planes[0];
  in.HBR = planes[1];
  in.HFR = planes[2];
  in.calib = neutral ? neutral_calib() : scaled_calib(typical_calib(), calib_scale);

  const std::string name = raw_name(plan.start);
  if (!dir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
      std::fprintf(stderr, "abgen: cannot create %s: %s\n", dir.c_str(), ec.message().c_str());
      return 1;
    }
    if (out.empty()) out = dir + "/" + name;
    if (settings_path.empty()) settings_path = dir + "/DROPPAIR.SET";
    if (calib_path.empty()) calib_path = dir + "/corrfact.dat";
  }
  if (truth_path.empty() && !no_truth) {
    truth_path = out;
    const size_t dot = truth_path.rfind('.');
    const size_t slash = truth_path.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) truth_path.resize(dot);
    truth_path += ".csv";
  }

  if (!settings_path.empty() && !write_file(settings_path, settings_text(in))) io_error(settings_path);
  if (!calib_path.empty() && !write_file(calib_path, corrfact_text(in.calib))) io_error(calib_path);
  std::FILE* ab = std::fopen(out.c_str(), "wb");
  if (ab == nullptr) io_error(out);
  std::FILE* truth = nullptr;
  if (!no_truth) {
    truth = std::fopen(truth_path.c_str(), "wb");
    if (truth == nullptr) io_error(truth_path);
  }

  const auto t_begin = std::chrono::steady_clock::now();
  recording_stats st;
  const recording_result res = run_recording(plan, ab, truth, &st);
  const bool ab_closed = std::fclose(ab) == 0;
  const bool truth_closed = truth == nullptr || std::fclose(truth) == 0;
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t_begin).count();
  if (res == recording_result::internal_error) {
    std::fprintf(stderr, "abgen: internal error: a particle or record outgrew the generator's bounds\n");
    return 1;
  }
  if (res == recording_result::write_failed || !ab_closed) io_error(out);
  if (!truth_closed) io_error(truth_path);
  if (st.line_limit)
    std::fprintf(stderr, "abgen: stopped where line numbers would no longer fit in 32 bits\n");

  if (!quiet) {
    std::printf("abgen: %s, format %d, %.0f lines/s, %.1f s of rain (%.2f mm/h, %.1f drops/s)\n",
                out.c_str(), in.format, in.freq, st.seconds, st.rain_rate, st.drops_per_s);
    std::printf("drops %lld, splash fragments %lld, truth rows %lld, expected %lld\n",
                static_cast<long long>(st.drops), static_cast<long long>(st.fragments),
                static_cast<long long>(st.rows), static_cast<long long>(st.expected));
    std::printf("main headers %lld, line records %lld, blocks %lld (continuing %lld, records of "
                "several blocks %lld), repetition codes %lld, lines squeezed to six pieces %lld\n",
                static_cast<long long>(st.headers), static_cast<long long>(st.enc.records),
                static_cast<long long>(st.enc.blocks), static_cast<long long>(st.enc.split_blocks),
                static_cast<long long>(st.enc.multi_block), static_cast<long long>(st.enc.repetitions),
                static_cast<long long>(st.merged_to_six));
    std::printf("raw file %llu bytes in %.2f s (%.1f MB/s)\n", static_cast<unsigned long long>(st.bytes),
                secs, secs > 0 ? st.bytes / 1e6 / secs : 0.0);
  }
  return 0;
}
