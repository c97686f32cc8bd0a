// snodump: reads what a run left behind (the particle file with its header and raw-header index
// files) and shows it as a summary, as CSV rows, or as a plot, writes its products (netCDF,
// per-minute CSV), or checks the files against each other. Exit status 0 on success, 1 for bad or
// inconsistent data, 2 for a usage error.
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

#ifdef _WIN32
#include <io.h>
#define SNODUMP_ISATTY(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define SNODUMP_ISATTY(f) isatty(fileno(f))
#endif

#include "sno_check.h"
#include "sno_csv.h"
#ifdef SNODUMP_NETCDF
#include "sno_netcdf.h"
#endif
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
    "diameter and fall speed.\n"
    "\n"
    "options:\n"
    "  --csv            one row per particle instead of the summary; columns: time (UTC, ISO 8601,\n"
    "                   to the millisecond), time_unix_s (seconds since 1970-01-01 UTC),\n"
    "                   seconds_of_day (line number / line frequency), y_start, eq_diam_mm,\n"
    "                   speed_m_s, scale_a_mm, scale_b_mm, scale_h_mm, x_min_a, x_min_b, lines_a,\n"
    "                   lines_b, width_a_px, width_b_px, height_a_lines, height_b_lines, diff_lins,\n"
    "                   fall_speed_flag (0 plausible, 1 too slow, 2 too fast, 3 not checked) and\n"
    "                   product_flag (0 used, 1 implausible speed, 2 cut at a line end, 3 10 mm or\n"
    "                   more, 4 incomplete)\n"
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
    "                   lwc_g_per_m3, and per 0.125 mm bin count_<lo>_<hi> and nd_per_m3_mm_<lo>_<hi>\n"
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
    "  --help           show this text\n"
    "An option's value may also follow an equals sign: --netcdf=out.nc.\n"
    "\n"
    "exit status: 0 success, 1 bad or inconsistent data, 2 usage error\n";

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


}  // namespace

int main(int argc, char** argv) {
  std::string sno, shd, abh, raw, out, plot, netcdf, minute_csv, law_text, tolerance_text;
  bool csv = false, check = false, keep_implausible = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string value;
    const size_t eq = a.find('=');
    const bool has_value = a.rfind("--", 0) == 0 && eq != std::string::npos;
    if (has_value) {
      value = a.substr(eq + 1);
      a = a.substr(0, eq);
    }
    const auto take = [&](std::string* dst) {
      if (has_value) {
        *dst = value;
      } else if (i + 1 < argc) {
        *dst = argv[++i];
      } else {
        return false;
      }
      return !dst->empty();
    };
    if (a == "--help" || a == "-h") {
      std::fputs(k_usage, stdout);
      return 0;
    } else if (a == "--csv" && !has_value) {
      csv = true;
    } else if (a == "--check" && !has_value) {
      check = true;
    } else if (a == "--keep-implausible" && !has_value) {
      keep_implausible = true;
    } else if (a == "--plot" || a == "--out" || a == "--shd" || a == "--abh" || a == "--raw" || a == "--netcdf" ||
               a == "--minute-csv") {
      std::string* dst = a == "--plot" ? &plot : a == "--out" ? &out : a == "--shd" ? &shd : a == "--abh" ? &abh
                         : a == "--raw" ? &raw : a == "--netcdf" ? &netcdf : &minute_csv;
      if (!take(dst)) return usage_error("option " + a + " needs a file name");
    } else if (a == "--speed-law" || a == "--speed-tolerance") {
      if (!take(a == "--speed-law" ? &law_text : &tolerance_text)) return usage_error("option " + a + " needs a value");
    } else if (a.size() > 1 && a[0] == '-') {
      return usage_error("unknown option " + std::string(argv[i]));
    } else if (sno.empty()) {
      sno = a;
    } else {
      return usage_error("more than one particle file given (" + sno + ", " + a + ")");
    }
  }
  if (sno.empty()) return usage_error("no particle file given");
  dp::speed_check speed;
  if (!law_text.empty() && !dp::parse_speed_law(law_text, &speed.law))
    return usage_error("--speed-law takes atlas or beard, not " + law_text);
  if (!tolerance_text.empty() && !dp::parse_speed_tolerance(tolerance_text, &speed))
    return usage_error("--speed-tolerance takes a share such as 50% or a speed such as 0.5m/s, not " + tolerance_text);
  const bool products = !netcdf.empty() || !minute_csv.empty() || keep_implausible || !law_text.empty() ||
                        !tolerance_text.empty();
  if (check && (csv || !plot.empty() || !out.empty() || products))
    return usage_error("--check cannot be combined with --csv, --plot, --out or the product options");
#ifndef SNODUMP_NETCDF
  if (!netcdf.empty()) return usage_error("--netcdf: this snodump was built without the netCDF library");
#endif
  if (!check && !raw.empty()) return usage_error("--raw is used only by --check");

  const bool shd_default = shd.empty(), abh_default = abh.empty();
  if (shd_default) shd = sibling(sno, ".shd");
  if (abh_default) abh = sibling(sno, ".abh");

  progress_line progress;
  progress.on = SNODUMP_ISATTY(stderr) != 0;
  const dp::progress_fn tick = [&progress](const char* stage, int64_t done, int64_t total) {
    progress.update(stage, done, total);
  };

  dp::sno_fault fault;
  if (check) {
    const dp::check_paths paths{sno, shd, abh, raw};
    dp::check_report report;
    const bool ok = dp::check_files(paths, &report, &fault, tick);
    progress.clear();
    if (!ok) return data_error(dp::fault_text(fault));
    std::printf("%s\n", dp::check_ok_line(paths, report).c_str());
    return 0;
  }

  dp::run_summary summary;
  summary.sno_path = sno;
  summary.shd_path = shd;
  summary.abh_path = abh;
  if (!dp::scan_sno(sno, &summary.scan, &fault, tick)) {
    progress.clear();
    std::string text = dp::fault_text(fault);
    if (fault.offset == 0) text += " (is this a particle file?)";
    return data_error(text);
  }
  if (!csv) {
    std::error_code ec;
    if (!shd_default || std::filesystem::exists(shd, ec)) {
      summary.have_shd = dp::read_shd(shd, &summary.shd, &fault);
      if (!summary.have_shd && !shd_default) return data_error(dp::fault_text(fault));
      if (!summary.have_shd) summary.shd_note = dp::fault_text(fault);
    } else {
      summary.shd_note = shd + ": not found";
    }
    if (!abh_default || std::filesystem::exists(abh, ec)) {
      summary.have_abh = dp::read_abh(abh, &summary.abh, &fault);
      if (!summary.have_abh && !abh_default) return data_error(dp::fault_text(fault));
      if (!summary.have_abh) summary.abh_note = dp::fault_text(fault);
    } else {
      summary.abh_note = abh + ": not found";
    }
  }

  std::FILE* os = stdout;
  if (!out.empty()) {
    os = std::fopen(out.c_str(), "wb");
    if (os == nullptr) return data_error("cannot write " + out + ": " + std::strerror(errno));
  }
  if (csv) std::fprintf(os, "%s\n", dp::k_csv_columns);

  const double start = summary.scan.headers.empty() ? NAN : static_cast<double>(summary.scan.headers.front().hd.main_time);
  summary.speed_rule = dp::speed_check_text(speed);
  dp::minute_table minutes;
#ifdef SNODUMP_NETCDF
  dp::netcdf_file nc;
  std::string nc_error;
  int64_t nc_rows = 0;
  if (!netcdf.empty()) {
    dp::netcdf_meta meta;
    meta.sno_name = std::filesystem::path(sno).filename().string();
    for (int i = 0; i < argc; ++i) meta.history += (i > 0 ? " " : "") + std::string(i == 0 ? "snodump" : argv[i]);
    meta.created = dp::creation_time();
    meta.check = speed;
    meta.keep_implausible = keep_implausible;
    if (!dp::netcdf_begin(nc, netcdf, summary.scan.particles, summary.scan, meta, &nc_error)) {
      if (os != stdout) std::fclose(os);
      return data_error("cannot write " + nc_error);
    }
  }
#endif

  damage_log damage;
  const auto each = [&](const dp::particle_values& v) {
    const dp::particle_products p = dp::derive_products(v, summary.scan.headers, speed, keep_implausible);
    if (csv) std::fprintf(os, "%s\n", dp::csv_row(v, p).c_str());
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
  const bool walked = dp::for_each_particle(sno, summary.scan, each, &fault, tick);
  progress.clear();
  if (!walked) {
    if (os != stdout) std::fclose(os);
#ifdef SNODUMP_NETCDF
    dp::netcdf_abandon(nc);
#endif
    return data_error(dp::fault_text(fault));
  }
  if (!csv) print_summary(os, summary);
  const bool wrote = std::fflush(os) == 0 && !std::ferror(os);
  if (os != stdout && std::fclose(os) != 0) return data_error("cannot write " + out + ": " + std::strerror(errno));
  if (!wrote) return data_error("cannot write " + (out.empty() ? std::string("standard output") : out));

  if (!plot.empty()) {
    const std::string title = "Particles of " + std::filesystem::path(sno).filename().string();
    const std::string svg = dp::svg_plot(summary.diam_mm, summary.speed_m_s, title, speed);
    std::FILE* f = std::fopen(plot.c_str(), "wb");
    if (f == nullptr) return data_error("cannot write " + plot + ": " + std::strerror(errno));
    const bool ok = std::fwrite(svg.data(), 1, svg.size(), f) == svg.size();
    if (std::fclose(f) != 0 || !ok) return data_error("cannot write " + plot + ": " + std::strerror(errno));
  }
#ifdef SNODUMP_NETCDF
  if (nc.ncid >= 0 && nc_error.empty()) dp::netcdf_end(nc, minutes, &nc_error);
  dp::netcdf_abandon(nc);
  if (!nc_error.empty()) return data_error("cannot write " + nc_error);
#endif
  if (!minute_csv.empty()) {
    std::FILE* f = std::fopen(minute_csv.c_str(), "wb");
    if (f == nullptr) return data_error("cannot write " + minute_csv + ": " + std::strerror(errno));
    dp::write_minute_csv(f, minutes, start);
    const bool ok = std::fflush(f) == 0 && !std::ferror(f);
    if (std::fclose(f) != 0 || !ok) return data_error("cannot write " + minute_csv + ": " + std::strerror(errno));
  }
  if (damage.count > 10) std::fprintf(stderr, "snodump: %lld damaged particle records in all\n", static_cast<long long>(damage.count));
  return damage.count > 0 ? 1 : 0;
}
