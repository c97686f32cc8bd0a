// snodump: reads what a run left behind (the particle file with its header and raw-header index
// files) and shows it as a summary, as CSV rows, or as a plot, writes its products (netCDF,
// per-minute CSV), or checks the files against each other. The summary, the CSV and the products
// come only from files that pass the check (unless --salvage); every output file is written under
// a temporary name beside its own and renamed once whole. Exit status 0 on success, 1 for bad or
// inconsistent data or an output that cannot be written, 2 for a usage error.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <getopt.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#define SNODUMP_ISATTY(f) _isatty(_fileno(f))
#define SNODUMP_GETPID() _getpid()
#else
#include <unistd.h>
#define SNODUMP_ISATTY(f) isatty(fileno(f))
#define SNODUMP_GETPID() getpid()
#endif

#include "common/long_options.h"
#include "droppair_version.h"

#include "sno_check.h"
#include "sno_csv.h"
#ifdef SNODUMP_NETCDF
#include "sno_netcdf.h"
#endif
#include "sno_efficiency.h"
#include "sno_plot.h"
#include "sno_products.h"
#include "sno_reader.h"
#include "sno_summary.h"

namespace {

constexpr const char* k_usage =
    "usage: snodump [options] FILE.sno\n"
    "\n"
    "Reads the particle file of a run with its header file (.shd) and raw-header index file (.abh)\n"
    "and prints a summary: the main headers, the particles per minute, and the statistics of\n"
    "diameter and fall speed. The files are checked first as by --check (the .shd and .abh where\n"
    "they are); files that fail are refused unless --salvage is given. Output files are written\n"
    "under a temporary name beside them and renamed when whole: a failure leaves no partial file.\n"
    "\n"
    "options:\n"
    "  --csv            one row per particle instead of the summary; columns: time (UTC, ISO 8601,\n"
    "                   to the millisecond), time_unix_s (seconds since 1970-01-01 UTC),\n"
    "                   seconds_of_day (line number / line frequency), y_start, eq_diam_mm,\n"
    "                   speed_m_s, scale_a_mm, scale_b_mm, scale_h_mm, x_min_a, x_min_b, lines_a,\n"
    "                   lines_b, width_a_px, width_b_px, height_a_lines, height_b_lines, diff_lins,\n"
    "                   fall_speed_flag (0 plausible, 1 too slow, 2 too fast, 3 not checked) and\n"
    "                   product_flag (0 used, 1 implausible speed, 2 cut at a line end, 3 10 mm or\n"
    "                   more, 4 incomplete), detection_efficiency (drops recorded at its diameter\n"
    "                   per drop truly of it, for the size distribution of its minute, times\n"
    "                   the stream factor of its minute's rain rate;\n"
    "                   the corrected products weigh it by the inverse) and\n"
    "                   efficiency_flag (0 corrected, 1 under 0.2: not corrected, 2 no model)\n"
    "  --check          check the .sno, .shd and .abh against each other; prints \"OK ...\" and exits\n"
    "                   0, or names the first inconsistency (file, byte offset, expected, found)\n"
    "                   and exits 1\n"
    "  --plot FILE.svg  also draw fall speed against diameter, with the curve of the reference law\n"
    "                   and its tolerance band (--speed-law, --speed-tolerance), and the size\n"
    "                   histogram\n"
    "  --out FILE       write the summary or the CSV to FILE instead of standard output\n"
    "  --netcdf FILE    also write the particles and the per-minute products as netCDF (CF 1.8):\n"
    "                   per particle time, diameter, fall speeds, flags, scales, sizes and\n"
    "                   positions; per minute and 0.125 mm diameter bin the counts and N(D), and\n"
    "                   per minute rain rate, concentration, Dm, Nw, Z and liquid water content\n"
    "  --minute-csv FILE  also write the per-minute products as CSV; columns: time (UTC, ISO 8601),\n"
    "                   time_unix_s, full_minute, particles, used, implausible, rain_rate_mm_per_h,\n"
    "                   concentration_per_m3, dm_mm, nw_per_m3_mm, z_mm6_per_m3, reflectivity_dbz,\n"
    "                   lwc_g_per_m3, and per 0.125 mm bin count_<lo>_<hi> and nd_per_m3_mm_<lo>_<hi>;\n"
    "                   then the same corrected for the drops the pairing loses (*_corrected_*,\n"
    "                   with uncorrected_particles) and the efficiency per bin (efficiency_<lo>_<hi>,\n"
    "                   for the minute's size distribution and rain rate)\n"
    "  --settings PATH  the run's DROPPAIR.SET (WA_WB, DELTA_HGT), for the detection efficiency\n"
    "                   (default: beside the particle file or in the directory above)\n"
    "  --calibration PATH  the run's corrfact.dat (width deviations), found the same way\n"
    "  --speed-law atlas|beard  reference fall speed of the plausibility check (flags, products,\n"
    "                   plot): Atlas et al. (1973) v = 9.65 - 10.3 exp(-0.6 D) (default), or\n"
    "                   Beard (1976) at 1013 hPa, 20 C\n"
    "  --speed-tolerance T  how far a fall speed may lie from the reference: a share such as 50%\n"
    "                   (default) or a speed such as 0.5m/s\n"
    "  --keep-implausible  keep particles with an implausible fall speed in the per-minute products\n"
    "                   (they are always counted and flagged)\n"
    "  --shd PATH       the header file (default: FILE.shd beside the particle file)\n"
    "  --abh PATH       the raw-header index file (default: FILE.abh beside the particle file)\n"
    "  --raw PATH       the raw data file (.ab): --check then also checks that the per-minute\n"
    "                   raw-file positions of the .abh are record starts\n"
    "  --salvage        read what can be read of files that fail the check: the records up to the\n"
    "                   first one that cannot be framed; the exit status is then still 1\n"
    "  --help           show this text\n"
    "  --version        show the version and the commit of this build\n"
    "An option's value may also follow an equals sign: --netcdf=out.nc.\n"
    "\n"
    "exit status: 0 success, 1 bad or inconsistent data or an output that cannot be written,\n"
    "2 usage error\n";

int usage_error(const std::string& what) {
  std::fprintf(stderr, "snodump: %s\nTry 'snodump --help'.\n", what.c_str());
  return 2;
}

int data_error(const std::string& what) {
  std::fprintf(stderr, "snodump: %s\n", what.c_str());
  return 1;
}

/// Progress on standard error, only when it is a terminal and the run has taken a second.
struct progress_line {
  bool on = false;
  bool shown = false;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last = start;

  void update(const char* stage, int64_t done, int64_t total) {
    if (!on) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - start < std::chrono::seconds(1) || now - last < std::chrono::milliseconds(200)) return;
    last = now;
    const int pct = total > 0 ? static_cast<int>(done * 100 / total) : 0;
    std::fprintf(stderr, "\rsnodump: %-16s %3d%%", stage, pct);
    std::fflush(stderr);
    shown = true;
  }
  void clear() {
    if (shown) std::fprintf(stderr, "\r%40s\r", "");
    shown = false;
  }
};

std::string sibling(const std::string& sno, const char* ext) {
  return std::filesystem::path(sno).replace_extension(ext).string();
}

/// Reports a damaged particle, at most ten times; counts all.
struct damage_log {
  int64_t count = 0;
  void note(progress_line& progress, const std::string& text) {
    if (++count <= 10) {
      progress.clear();
      std::fprintf(stderr, "snodump: %s\n", text.c_str());
    }
  }
};

/// An output file: written under a hidden temporary name beside it and renamed to its own name
/// once whole, so that a failure (a full disk) leaves no partial file and an earlier file as it
/// was. What is not a regular file (a FIFO, a terminal, /dev/null) is written directly.
struct output_file {
  std::string path;  ///< the name given
  std::string temp;  ///< the name written under (path itself when written directly)
  std::FILE* fp = nullptr;
};

/// The name an output is written under before it is renamed to path.
std::string temp_name(const std::string& path) {
  std::error_code ec;
  const auto st = std::filesystem::status(path, ec);
  if (!ec && std::filesystem::exists(st) && !std::filesystem::is_regular_file(st)) return path;
  const std::filesystem::path p(path);
  return (p.parent_path() / ("." + p.filename().string() + ".snodump-" + std::to_string(SNODUMP_GETPID()))).string();
}

bool output_open(output_file& o, const std::string& path) {
  o.path = path;
  o.temp = temp_name(path);
  o.fp = std::fopen(o.temp.c_str(), "wb");
  return o.fp != nullptr;
}

/// Flushes, closes and renames the file; false with the reason in *why.
bool output_commit(output_file& o, std::string* why) {
  errno = 0;
  const bool written = std::fflush(o.fp) == 0 && !std::ferror(o.fp);
  const int err = errno;
  const bool closed = std::fclose(o.fp) == 0;
  o.fp = nullptr;
  if (!written || !closed) {
    *why = std::strerror(!written && err != 0 ? err : errno);
    if (o.temp != o.path) std::remove(o.temp.c_str());
    return false;
  }
  if (o.temp == o.path) return true;
  std::error_code ec;
  std::filesystem::rename(o.temp, o.path, ec);
  if (ec) {
    *why = ec.message();
    std::remove(o.temp.c_str());
    return false;
  }
  return true;
}

/// Closes the file and removes what was written of it.
void output_discard(output_file& o) {
  if (o.fp != nullptr) std::fclose(o.fp);
  o.fp = nullptr;
  if (!o.temp.empty() && o.temp != o.path) std::remove(o.temp.c_str());
}

/// Output options that name an input file, or two outputs that name one file: the text of the
/// usage error, empty when there is none. An output that does not exist yet is none of the inputs.
std::string output_clash(const std::vector<std::pair<const char*, std::string>>& outputs,
                         const std::vector<std::string>& inputs) {
  namespace fs = std::filesystem;
  for (size_t i = 0; i < outputs.size(); ++i) {
    const auto& [option, path] = outputs[i];
    if (path.empty()) continue;
    std::error_code ec;
    for (const std::string& in : inputs)
      if (!in.empty() && fs::equivalent(path, in, ec))
        return std::string(option) + " " + path + " is the input file " + in + ": it would be overwritten";
    for (size_t j = 0; j < i; ++j) {
      const auto& [other, other_path] = outputs[j];
      if (other_path.empty()) continue;
      const bool same = fs::equivalent(path, other_path, ec) ||
                        fs::weakly_canonical(path, ec) == fs::weakly_canonical(other_path, ec);
      if (same) return std::string(other) + " and " + option + " name the same file " + path;
    }
  }
  return "";
}

/// What the command line asks for.
struct options {
  std::string sno;  ///< the particle file
  std::string shd, abh, raw, out, plot, netcdf, minute_csv, settings, calibration;
  std::string law_text, tolerance_text;  ///< --speed-law and --speed-tolerance as given
  bool csv = false, check = false, keep_implausible = false, salvage = false;
  // Set by check_options.
  dp::speed_check speed;
  bool shd_default = false, abh_default = false;  ///< shd and abh are the names beside sno
};

/// What parse_options and check_options return when the run goes on.
constexpr int k_go_on = -1;

// The codes getopt_long returns for the long options, above every character.
enum {
  opt_help = 256, opt_version, opt_csv, opt_check, opt_salvage, opt_keep_implausible,
  opt_plot, opt_out, opt_netcdf, opt_minute_csv, opt_settings, opt_calibration, opt_shd, opt_abh, opt_raw,
  opt_speed_law, opt_speed_tolerance,
};

const option k_long_options[] = {
    {"help", optional_argument, nullptr, opt_help},  // --help=anything shows the text as well
    {"version", no_argument, nullptr, opt_version},
    {"csv", no_argument, nullptr, opt_csv},
    {"check", no_argument, nullptr, opt_check},
    {"salvage", no_argument, nullptr, opt_salvage},
    {"keep-implausible", no_argument, nullptr, opt_keep_implausible},
    {"plot", required_argument, nullptr, opt_plot},
    {"out", required_argument, nullptr, opt_out},
    {"netcdf", required_argument, nullptr, opt_netcdf},
    {"minute-csv", required_argument, nullptr, opt_minute_csv},
    {"settings", required_argument, nullptr, opt_settings},
    {"calibration", required_argument, nullptr, opt_calibration},
    {"shd", required_argument, nullptr, opt_shd},
    {"abh", required_argument, nullptr, opt_abh},
    {"raw", required_argument, nullptr, opt_raw},
    {"speed-law", required_argument, nullptr, opt_speed_law},
    {"speed-tolerance", required_argument, nullptr, opt_speed_tolerance},
    {nullptr, 0, nullptr, 0},
};

/// The string a value option sets.
std::string* value_of(options* o, int code) {
  switch (code) {
    case opt_plot: return &o->plot;
    case opt_out: return &o->out;
    case opt_netcdf: return &o->netcdf;
    case opt_minute_csv: return &o->minute_csv;
    case opt_settings: return &o->settings;
    case opt_calibration: return &o->calibration;
    case opt_shd: return &o->shd;
    case opt_abh: return &o->abh;
    case opt_raw: return &o->raw;
    case opt_speed_law: return &o->law_text;
    case opt_speed_tolerance: return &o->tolerance_text;
  }
  return nullptr;
}

/// False for a long option cut short: getopt_long takes any unambiguous abbreviation (--chec for
/// --check), snodump only the whole name.
bool whole_name(const char* arg) { return dp::whole_option_name(arg, k_long_options, true); }

/// The usage error of a value option given none, or an empty one.
int missing_value(int code) {
  const std::string name = dp::option_name(k_long_options, code);
  const bool file = code != opt_speed_law && code != opt_speed_tolerance;
  return usage_error("option --" + name + (file ? " needs a file name" : " needs a value"));
}

/// Reads the command line into *o from left to right: --help and --version end the run where they
/// stand, and so does the first usage error. Options may follow the particle file. Returns
/// k_go_on, or the exit status of a run that ends here.
int parse_options(int argc, char** argv, options* o) {
  opterr = 0;  // the messages are snodump's own
  // "-": an argument that is no option comes back in its place, as the value of code 1 (the order
  // holds, so the first error met is the one told); ":": a value option at the end returns ':'.
  for (int at = optind;; at = optind) {
    const int code = getopt_long(argc, argv, "-:h", k_long_options, nullptr);
    if (code == -1) {
      // getopt_long ends the options at "--"; to snodump that is an unknown option like any other.
      if (at < argc) return usage_error("unknown option " + std::string(argv[at]));
      return k_go_on;
    }
    const std::string arg = argv[at];  // the argument read, with its "=value"
    if (code != 1 && !whole_name(argv[at])) return usage_error("unknown option " + arg);
    switch (code) {
      case 1:
        if (!o->sno.empty()) return usage_error("more than one particle file given (" + o->sno + ", " + optarg + ")");
        o->sno = optarg;  // an empty argument leaves the place free
        break;
      case 'h':
        if (arg != "-h") return usage_error("unknown option " + arg);  // -hx
        [[fallthrough]];
      case opt_help:
        std::fputs(k_usage, stdout);
        return 0;
      case opt_version:
        std::printf("snodump %s (commit %s)\n", DROPPAIR_VERSION, DROPPAIR_COMMIT);
        return 0;
      case opt_csv: o->csv = true; break;
      case opt_check: o->check = true; break;
      case opt_salvage: o->salvage = true; break;
      case opt_keep_implausible: o->keep_implausible = true; break;
      case ':':  // a value option at the end
        return missing_value(optopt);
      case '?':  // unknown, or a value given to an option that takes none (--csv=1)
        return usage_error("unknown option " + arg);
      default:
        if (*optarg == '\0') return missing_value(code);
        *value_of(o, code) = optarg;
        break;
    }
  }
}

/// Checks the options against each other and fills in what follows from them: the speed check and
/// the .shd and .abh beside the particle file. Returns k_go_on, or the exit status of a usage error.
int check_options(options* o) {
  if (o->sno.empty()) return usage_error("no particle file given");
  if (!o->law_text.empty() && !dp::parse_speed_law(o->law_text, &o->speed.law))
    return usage_error("--speed-law takes atlas or beard, not " + o->law_text);
  if (!o->tolerance_text.empty() && !dp::parse_speed_tolerance(o->tolerance_text, &o->speed))
    return usage_error("--speed-tolerance takes a share such as 50% or a speed such as 0.5m/s, not " + o->tolerance_text);
  const bool products = !o->netcdf.empty() || !o->minute_csv.empty() || o->keep_implausible || !o->law_text.empty() ||
                        !o->tolerance_text.empty() || !o->settings.empty() || !o->calibration.empty();
  if (o->check && (o->csv || !o->plot.empty() || !o->out.empty() || products))
    return usage_error("--check cannot be combined with --csv, --plot, --out or the product options");
  if (o->check && o->salvage) return usage_error("--salvage is for the summary, the CSV and the products, not for --check");
#ifndef SNODUMP_NETCDF
  if (!o->netcdf.empty()) return usage_error("--netcdf: this snodump was built without the netCDF library");
#endif
  if (!o->check && !o->raw.empty()) return usage_error("--raw is used only by --check");

  o->shd_default = o->shd.empty();
  o->abh_default = o->abh.empty();
  if (o->shd_default) o->shd = sibling(o->sno, ".shd");
  if (o->abh_default) o->abh = sibling(o->sno, ".abh");
  if (o->check) return k_go_on;

  // An output must not name an input: it would be truncated before it is read.
  const std::string clash = output_clash(
      {{"--out", o->out}, {"--plot", o->plot}, {"--netcdf", o->netcdf}, {"--minute-csv", o->minute_csv}},
      {o->sno, o->shd, o->abh});
  if (!clash.empty()) return usage_error(clash);
  return k_go_on;
}

/// --check: the files against each other.
int check_run(const options& o) {
  progress_line progress;
  progress.on = SNODUMP_ISATTY(stderr) != 0;
  const dp::progress_fn tick = [&progress](const char* stage, int64_t done, int64_t total) {
    progress.update(stage, done, total);
  };
  const dp::check_paths paths{o.sno, o.shd, o.abh, o.raw};
  dp::check_report report;
  dp::sno_fault fault;
  const bool ok = dp::check_files(paths, &report, &fault, tick);
  progress.clear();
  if (!ok) return data_error(dp::fault_text(fault));
  std::printf("%s\n", dp::check_ok_line(paths, report).c_str());
  return 0;
}

/// The summary or the CSV, and the plot and the products asked for. The command line goes into
/// the netCDF file's history.
int dump(const options& o, [[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
  progress_line progress;
  progress.on = SNODUMP_ISATTY(stderr) != 0;
  const dp::progress_fn tick = [&progress](const char* stage, int64_t done, int64_t total) {
    progress.update(stage, done, total);
  };
  const std::string& sno = o.sno;
  const std::string& shd = o.shd;
  const std::string& abh = o.abh;
  const std::string& out = o.out;
  const std::string& netcdf = o.netcdf;
  const dp::speed_check& speed = o.speed;

  // The structure first: the particle file must open, and the files must pass the check (the
  // .shd and .abh where they are) before anything is read from them.
  dp::sno_fault fault;
  {
    dp::sno_walker w;
    if (!dp::walker_open(w, sno, &fault)) return data_error(dp::fault_text(fault));
    dp::walker_close(w);
  }
  std::error_code ec;
  const bool shd_there = !o.shd_default || std::filesystem::exists(shd, ec);
  const bool abh_there = !o.abh_default || std::filesystem::exists(abh, ec);
  dp::check_report report;
  const bool sound =
      dp::check_files({sno, shd_there ? shd : "", abh_there ? abh : "", ""}, &report, &fault, tick);
  progress.clear();
  if (!sound) {
    std::string text = dp::fault_text(fault);
    if (fault.file == sno && fault.offset == 0) return data_error(text + " (is this a particle file?)");
    std::fprintf(stderr, "snodump: %s\n", text.c_str());
    if (!o.salvage)
      return data_error("refused: the files fail the consistency check (snodump --check tells the first fault); "
                        "--salvage reads what can be read");
    std::fprintf(stderr, "snodump: --salvage: reading what can be read\n");
  }

  dp::run_summary summary;
  summary.sno_path = sno;
  summary.shd_path = shd;
  summary.abh_path = abh;
  bool cut_short = false;  // --salvage: the walk stops at a record that cannot be framed
  if (sound) {
    summary.scan = report.scan;
  } else if (!dp::scan_sno(sno, &summary.scan, &fault, tick)) {
    progress.clear();
    if (fault.offset < 0) return data_error(dp::fault_text(fault));
    std::fprintf(stderr, "snodump: --salvage: the records before byte offset %lld are read\n",
                 static_cast<long long>(fault.offset));
    cut_short = true;
  }
  if (!o.csv) {
    if (shd_there) {
      summary.have_shd = dp::read_shd(shd, &summary.shd, &fault);
      if (!summary.have_shd && !o.shd_default) return data_error(dp::fault_text(fault));
      if (!summary.have_shd) summary.shd_note = dp::fault_text(fault);
    } else {
      summary.shd_note = shd + ": not found";
    }
    if (abh_there) {
      summary.have_abh = dp::read_abh(abh, &summary.abh, &fault);
      if (!summary.have_abh && !o.abh_default) return data_error(dp::fault_text(fault));
      if (!summary.have_abh) summary.abh_note = dp::fault_text(fault);
    } else {
      summary.abh_note = abh + ": not found";
    }
  }

  output_file text_out;  // the summary or the CSV, when --out is given
  std::FILE* os = stdout;
  if (!out.empty()) {
    if (!output_open(text_out, out)) return data_error("cannot write " + out + ": " + std::strerror(errno));
    os = text_out.fp;
  }
  if (o.csv) std::fprintf(os, "%s\n", dp::k_csv_columns);

  const double start = summary.scan.headers.empty() ? NAN : static_cast<double>(summary.scan.headers.front().hd.main_time);
  summary.speed_rule = dp::speed_check_text(speed);
  dp::minute_table minutes;
  // The detection-efficiency model needs the run's settings; without them the corrected columns
  // stay empty, which is said when they are asked for. The summary alone does not use it (the
  // model takes over a second to build).
  dp::efficiency_set efficiency;
  if (o.csv || !netcdf.empty() || !o.minute_csv.empty()) {
    const std::string settings = o.settings.empty() ? dp::file_beside(sno, "DROPPAIR.SET") : o.settings;
    const std::string calibration = o.calibration.empty() ? dp::file_beside(sno, "corrfact.dat") : o.calibration;
    std::string why;
    const bool asked = !netcdf.empty() || !o.minute_csv.empty();
    if (!dp::load_efficiency_set(settings, calibration, speed, &efficiency, &why) && asked)
      std::fprintf(stderr, "snodump: %s: no detection efficiency, the corrected products are left empty (%s)\n",
                   sno.c_str(), why.c_str());
    else if (efficiency.have_rules && calibration.empty() && asked)
      std::fprintf(stderr, "snodump: no corrfact.dat found: the detection efficiency assumes no width deviations\n");
  }
#ifdef SNODUMP_NETCDF
  dp::netcdf_file nc;
  std::string nc_error;
  int64_t nc_rows = 0;
  const std::string nc_temp = netcdf.empty() ? "" : temp_name(netcdf);
  // After a failed write the netCDF-4 library keeps the file in its tables, and its exit handler
  // crashes closing it again (seen on a full disk): the process then ends without exit handlers.
  const auto netcdf_failed = [&](const std::string& why) {
    dp::netcdf_abandon(nc);
    if (nc_temp != netcdf) std::remove(nc_temp.c_str());
    output_discard(text_out);
    std::fprintf(stderr, "snodump: cannot write %s\n", why.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(1);
  };
  if (!netcdf.empty()) {
    dp::netcdf_meta meta;
    meta.sno_name = std::filesystem::path(sno).filename().string();
    for (int i = 0; i < argc; ++i) meta.history += (i > 0 ? " " : "") + std::string(i == 0 ? "snodump" : argv[i]);
    meta.created = dp::creation_time();
    meta.check = speed;
    meta.keep_implausible = o.keep_implausible;
    if (!dp::netcdf_begin(nc, netcdf, summary.scan.particles, summary.scan, meta, &nc_error, nc_temp))
      netcdf_failed(nc_error);
  }
#endif

  // A particle's efficiency depends on its minute (the rain rate, the counts of small drops around
  // it): a first pass finds them (a file that fails here fails the same way below).
  dp::file_corrections first =
      efficiency.have_rules ? dp::first_walk(sno, summary.scan, speed, o.keep_implausible) : dp::file_corrections{};
  damage_log damage;
  const auto each = [&](const dp::particle_values& v) {
    dp::particle_products p = dp::derive_products(v, summary.scan.headers, speed, o.keep_implausible);
    dp::correct_particle(p, v.eq_diam_mm, dp::efficiency_for(efficiency, summary.scan.headers, v.header), first);
    if (o.csv) std::fprintf(os, "%s\n", dp::csv_row(v, p).c_str());
    dp::summary_add(summary, v);
    dp::summary_add_products(summary, p);
    dp::minute_add(minutes, v, p);
#ifdef SNODUMP_NETCDF
    // The table has the rows the first pass counted; a file that grew since then keeps them.
    if (nc.ncid >= 0 && nc_error.empty() && nc_rows < summary.scan.particles) {
      ++nc_rows;
      dp::netcdf_particle(nc, v, p, &nc_error);
    }
#endif
    const std::string at = sno + ": byte offset " + std::to_string(v.offset) + ": ";
    if (v.header < 0) damage.note(progress, at + "particle record before every main header: no time or fall speed");
    if (v.height_a_lines < 0) damage.note(progress, at + "img_A does not decode");
    if (v.height_b_lines < 0) damage.note(progress, at + "img_B does not decode");
  };
  const bool walked = dp::for_each_particle(sno, summary.scan, each, &fault, tick) || cut_short;
  progress.clear();
  if (!walked) {
    output_discard(text_out);
#ifdef SNODUMP_NETCDF
    if (!nc_error.empty()) netcdf_failed(nc_error);
    dp::netcdf_abandon(nc);
    if (nc_temp != netcdf) std::remove(nc_temp.c_str());
#endif
    return data_error(dp::fault_text(fault));
  }
  if (!o.csv) print_summary(os, summary);
  if (os == stdout) {
    if (std::fflush(os) != 0 || std::ferror(os)) return data_error("cannot write standard output");
  } else {
    std::string why;
    if (!output_commit(text_out, &why)) return data_error("cannot write " + out + ": " + why);
  }

  if (!o.plot.empty()) {
    const std::string title = "Particles of " + std::filesystem::path(sno).filename().string();
    const std::string svg = dp::svg_plot(summary.diam_mm, summary.speed_m_s, title, speed);
    output_file f;
    if (!output_open(f, o.plot)) return data_error("cannot write " + o.plot + ": " + std::strerror(errno));
    std::string why;
    if (std::fwrite(svg.data(), 1, svg.size(), f.fp) != svg.size()) {
      why = std::strerror(errno);
      output_discard(f);
      return data_error("cannot write " + o.plot + ": " + why);
    }
    if (!output_commit(f, &why)) return data_error("cannot write " + o.plot + ": " + why);
  }
#ifdef SNODUMP_NETCDF
  if (nc.ncid >= 0) {
    if (!nc_error.empty() || !dp::netcdf_end(nc, minutes, dp::efficiency_for(efficiency, summary.scan.headers, 0), &nc_error)) netcdf_failed(nc_error);
    std::error_code moved;
    if (nc_temp != netcdf) std::filesystem::rename(nc_temp, netcdf, moved);
    if (moved) {
      std::remove(nc_temp.c_str());
      return data_error("cannot write " + netcdf + ": " + moved.message());
    }
  }
#endif
  if (!o.minute_csv.empty()) {
    output_file f;
    if (!output_open(f, o.minute_csv)) return data_error("cannot write " + o.minute_csv + ": " + std::strerror(errno));
    dp::write_minute_csv(f.fp, minutes, start, dp::efficiency_for(efficiency, summary.scan.headers, 0), &first);
    std::string why;
    if (!output_commit(f, &why)) return data_error("cannot write " + o.minute_csv + ": " + why);
  }
  if (damage.count > 10) std::fprintf(stderr, "snodump: %lld damaged particle records in all\n", static_cast<long long>(damage.count));
  return (damage.count > 0 || !sound) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (const int status = parse_options(argc, argv, &o); status != k_go_on) return status;
  if (const int status = check_options(&o); status != k_go_on) return status;
  if (o.check) return check_run(o);
  return dump(o, argc, argv);
}
