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

#include <getopt.h>

#include "common/long_options.h"
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
    "                        the pixel's centre); corrfact.dat's width rows hold the (1 - 2T)\n"
    "                        pixels it widens shadows by, as a calibration would measure them\n"
    "  --rim MM              raindrops also fall in a rim MM wide around the area both cameras\n"
    "                        see, where one camera alone sees them (default 0: only where both\n"
    "                        see a drop's centre)\n"
    "  --neutral-calib       no size deviations of the optics (corrfact.dat of zeros, but for\n"
    "                        the widening of a --threshold other than 0.5)\n"
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

/// What the command line asks for. The recording's values go into the plan as they are read, in
/// the order given.
struct options {
  recording_plan plan;
  std::string dir, out, truth_path, settings_path, calib_path;
  bool no_truth = false, quiet = false, neutral = false;
  double calib_scale = 1.0;
  double freq = 34000.0;
  float planes[3] = {6.0f, 6.2f, 6.1f};
  bool duration_given = false;
};

// The codes getopt_long returns for the long options, above every character.
enum {
  opt_help = 256, opt_version, opt_dir, opt_out, opt_truth, opt_no_truth, opt_settings, opt_calib, opt_format,
  opt_start, opt_duration, opt_drops, opt_size, opt_header_every, opt_seed, opt_rain, opt_dsd, opt_mu, opt_dmin,
  opt_dmax, opt_splash, opt_shape, opt_freq, opt_planes, opt_pixels, opt_threshold, opt_rim, opt_neutral_calib,
  opt_calib_scale, opt_wa_wb, opt_delta_hgt, opt_quiet,
};

const option k_long_options[] = {
    {"help", no_argument, nullptr, opt_help},
    {"version", no_argument, nullptr, opt_version},
    {"dir", required_argument, nullptr, opt_dir},
    {"out", required_argument, nullptr, opt_out},
    {"truth", required_argument, nullptr, opt_truth},
    {"no-truth", no_argument, nullptr, opt_no_truth},
    {"settings", required_argument, nullptr, opt_settings},
    {"calib", required_argument, nullptr, opt_calib},
    {"format", required_argument, nullptr, opt_format},
    {"start", required_argument, nullptr, opt_start},
    {"duration", required_argument, nullptr, opt_duration},
    {"drops", required_argument, nullptr, opt_drops},
    {"size", required_argument, nullptr, opt_size},
    {"header-every", required_argument, nullptr, opt_header_every},
    {"seed", required_argument, nullptr, opt_seed},
    {"rain", required_argument, nullptr, opt_rain},
    {"dsd", required_argument, nullptr, opt_dsd},
    {"mu", required_argument, nullptr, opt_mu},
    {"dmin", required_argument, nullptr, opt_dmin},
    {"dmax", required_argument, nullptr, opt_dmax},
    {"splash", required_argument, nullptr, opt_splash},
    {"shape", required_argument, nullptr, opt_shape},
    {"freq", required_argument, nullptr, opt_freq},
    {"planes", required_argument, nullptr, opt_planes},
    {"pixels", required_argument, nullptr, opt_pixels},
    {"threshold", required_argument, nullptr, opt_threshold},
    {"rim", required_argument, nullptr, opt_rim},
    {"neutral-calib", no_argument, nullptr, opt_neutral_calib},
    {"calib-scale", required_argument, nullptr, opt_calib_scale},
    {"wa-wb", required_argument, nullptr, opt_wa_wb},
    {"delta-hgt", required_argument, nullptr, opt_delta_hgt},
    {"quiet", no_argument, nullptr, opt_quiet},
    {nullptr, 0, nullptr, 0},
};

/// False for a long option not written out whole and alone: getopt_long also takes abbreviations
/// (--dr for --drops) and a value after an equals sign (--drops=5), abgen neither.
bool whole_name(const char* arg) { return dp::whole_option_name(arg, k_long_options, false); }

/// Reads the command line from left to right, each value checked where it stands: --help,
/// --version and the first usage error end the run there.
options parse_options(int argc, char** argv) {
  options o;
  recording_plan& plan = o.plan;
  opterr = 0;  // the messages are abgen's own
  // "-": an argument that is no option comes back in its place, as the value of code 1 (the order
  // holds, so the first error met is the one told); ":": a value option at the end returns ':'.
  for (int at = optind;; at = optind) {
    const int code = getopt_long(argc, argv, "-:h", k_long_options, nullptr);
    if (code == -1) {
      // getopt_long ends the options at "--"; to abgen that is an unknown option like any other.
      if (at < argc) usage_error("unknown option " + std::string(argv[at]));
      return o;
    }
    const std::string opt = argv[at];  // the argument read
    if (code == 1 || code == '?' || !whole_name(argv[at])) usage_error("unknown option " + opt);
    if (code == ':') usage_error("option " + opt + " needs a value");
    const char* const v = optarg;
    switch (code) {
      case 'h':
        if (opt != "-h") usage_error("unknown option " + opt);  // -hx
        [[fallthrough]];
      case opt_help:
        std::fputs(k_usage, stdout);
        std::exit(0);
      case opt_version:
        std::printf("abgen %s (commit %s)\n", DROPPAIR_VERSION, DROPPAIR_COMMIT);
        std::exit(0);
      case opt_dir: o.dir = v; break;
      case opt_out: o.out = v; break;
      case opt_truth: o.truth_path = v; break;
      case opt_no_truth: o.no_truth = true; break;
      case opt_settings: o.settings_path = v; break;
      case opt_calib: o.calib_path = v; break;
      case opt_format:
        if (std::strcmp(v, "1") != 0 && std::strcmp(v, "2") != 0 && std::strcmp(v, "3") != 0)
          usage_error(std::string("bad value for --format: '") + v + "' (1, 2 or 3)");
        set_format(plan.in, static_cast<int16_t>(v[0] - '0'));
        break;
      case opt_start: plan.start = parse_start(v); break;
      case opt_duration:
        plan.duration = number("--duration", v, 0, 1e6);
        o.duration_given = true;
        break;
      case opt_drops: plan.max_drops = static_cast<int64_t>(number("--drops", v, 1, 1e9)); break;
      case opt_size: plan.max_bytes = static_cast<uint64_t>(number("--size", v, 0.001, 4000) * 1e6); break;
      case opt_header_every: plan.header_every = static_cast<int32_t>(number("--header-every", v, 1, 86400)); break;
      case opt_seed: plan.seed = static_cast<uint64_t>(number("--seed", v, 0, 9007199254740991.0)); break;
      case opt_rain: plan.rain.rate_mm_h = number("--rain", v, 0.01, 500); break;
      case opt_dsd:
        if (std::strcmp(v, "mp") == 0) plan.rain.dsd = dsd_kind::marshall_palmer;
        else if (std::strcmp(v, "gamma") == 0) plan.rain.dsd = dsd_kind::gamma;
        else usage_error(std::string("bad value for --dsd: '") + v + "' (mp or gamma)");
        break;
      case opt_mu: plan.rain.mu = number("--mu", v, -2, 20); break;
      case opt_dmin: plan.rain.d_min = number("--dmin", v, 0.1, 8); break;
      case opt_dmax: plan.rain.d_max = number("--dmax", v, 0.1, 8); break;
      case opt_splash: plan.rain.splash = number("--splash", v, 0, 1); break;
      case opt_shape:
        if (std::strcmp(v, "bc") == 0) plan.rain.shape = shape_law::beard_chuang;
        else if (std::strcmp(v, "sphere") == 0) plan.rain.shape = shape_law::sphere;
        else if (std::strcmp(v, "flat") == 0) plan.rain.shape = shape_law::flat;
        else usage_error(std::string("bad value for --shape: '") + v + "' (bc, sphere or flat)");
        break;
      case opt_freq: o.freq = number("--freq", v, 5000, 100000); break;
      case opt_planes: {
        char tail = 0;
        if (std::sscanf(v, "%f,%f,%f%c", &o.planes[0], &o.planes[1], &o.planes[2], &tail) != 3)
          usage_error(std::string("bad value for --planes: '") + v + "' (HBL,HBR,HFR in mm)");
        for (const float p : o.planes)
          if (!(p >= 1.0f && p <= 20.0f)) usage_error(std::string("bad value for --planes: '") + v + "' (1 to 20 mm)");
        break;
      }
      case opt_pixels: {
        const char* comma = std::strchr(v, ',');
        if (comma == nullptr) usage_error(std::string("bad value for --pixels: '") + v + "' (A,B in mm)");
        plan.in.XSCALE0_1 = static_cast<float>(number("--pixels", std::string(v, comma).c_str(), 0.02, 1));
        plan.in.XSCALE0_2 = static_cast<float>(number("--pixels", comma + 1, 0.02, 1));
        break;
      }
      case opt_threshold: plan.in.threshold = number("--threshold", v, 0.05, 0.95); break;
      case opt_rim: plan.in.rim_mm = number("--rim", v, 0, 50); break;
      case opt_neutral_calib: o.neutral = true; break;
      case opt_calib_scale: o.calib_scale = number("--calib-scale", v, 0, 5); break;
      case opt_wa_wb: plan.in.wa_wb = static_cast<float>(number("--wa-wb", v, 0.05, 1)); break;
      case opt_delta_hgt: {
        const double n = number("--delta-hgt", v, 0, 32767);
        if (n != std::floor(n)) usage_error(std::string("bad value for --delta-hgt: '") + v + "' (an integer)");
        plan.in.delta_hgt = static_cast<int16_t>(n);
        break;
      }
      case opt_quiet: o.quiet = true; break;
    }
  }
}

/// Checks the options against each other and completes the plan: the duration, the line
/// frequency, the plane distances and the calibration. Ends the run at a usage error.
void check_options(options* o) {
  recording_plan& plan = o->plan;
  if (plan.rain.d_min >= plan.rain.d_max) usage_error("--dmin must be below --dmax");
  if (!o->duration_given && (plan.max_drops > 0 || plan.max_bytes > 0)) plan.duration = 0;
  if (plan.duration == 0 && plan.max_drops == 0 && plan.max_bytes == 0)
    usage_error("--duration 0 needs --drops or --size");
  if (o->dir.empty() && o->out.empty()) usage_error("no output place given: --dir DIR or --out FILE");

  instrument& in = plan.in;
  if (!set_frequency(in, o->freq)) usage_error("no timer divisor gives --freq");
  if (in.format == 1) o->planes[1] = o->planes[2] = o->planes[0];  // one plane distance in format 1
  in.HBL = o->planes[0];
  in.HBR = o->planes[1];
  in.HFR = o->planes[2];
  in.calib = o->neutral ? neutral_calib() : scaled_calib(typical_calib(), o->calib_scale);
}

/// Writes the files and, unless --quiet, the summary. Returns the exit status.
int write_recording(const options& o) {
  const recording_plan& plan = o.plan;
  const instrument& in = plan.in;
  std::string out = o.out, truth_path = o.truth_path, settings_path = o.settings_path, calib_path = o.calib_path;
  const std::string& dir = o.dir;
  const bool no_truth = o.no_truth;

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
  if (!calib_path.empty() && !write_file(calib_path, corrfact_text(measured_calib(in)))) io_error(calib_path);
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

  if (!o.quiet) {
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

}  // namespace

int main(int argc, char** argv) {
  options o = parse_options(argc, argv);
  check_options(&o);
  return write_recording(o);
}
