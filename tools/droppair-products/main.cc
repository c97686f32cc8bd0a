// droppair-products: the daily products of one station from its particle files. Reads the .sno
// files given (or found in the directories given) with their .shd and .abh, leaves out and names
// the ones that fail the consistency check, refuses files of two instruments, counts every moment
// once however the files overlap, and writes per UTC day a gridded product file and a particle
// table (daily_files.h). Exit status 0 success, 1 bad data or a file that cannot be written,
// 2 usage error.
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <getopt.h>
#include <netcdf.h>

#include "common/long_options.h"
#include "daily_files.h"
#include "day_grid.h"
#include "droppair_version.h"
#include "input_set.h"
#include "sno_efficiency.h"
#include "sno_products.h"
#include "sno_reader.h"
#include "station_file.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* k_usage =
    "usage: droppair-products --out DIR [options] INPUT...\n"
    "\n"
    "Makes the daily products of one station from its particle files: per UTC day a gridded file\n"
    "DIR/<station>_<YYYYMMDD>_dsd_<step>s.nc (drop size distribution, rain rate and amount,\n"
    "concentration, Dm, Nw, Z and dBZ, liquid water content, per interval of the time step, every\n"
    "interval of the day present and flagged when not recorded; each product also corrected for\n"
    "the drops the pairing loses, from the detection efficiency of the files' settings and\n"
    "calibration) and a particle table DIR/<station>_<YYYYMMDD>_particles.nc, netCDF-4 after\n"
    "CF-1.8 and ACDD-1.3. INPUT is a particle file (.sno, with its .shd and .abh beside it) or a\n"
    "directory searched for them. Files that fail the consistency check are left out and named; a\n"
    "file repeated or overlapping another is counted only where the others do not reach; files of\n"
    "two instruments are refused.\n"
    "\n"
    "options:\n"
    "  --out DIR          where the daily files go (created when missing)\n"
    "  --step T           time step: seconds (10 to 86400, dividing the day) or 5min, 1h, 1d;\n"
    "                     default 60\n"
    "  --bins EDGES       diameter bin edges in mm, comma-separated, increasing; default 80 bins of\n"
    "                     0.125 mm from 0 to 10 mm\n"
    "  --station FILE     station metadata (YAML: station_name, station_id, latitude, longitude,\n"
    "                     altitude, sensor_name, sensor_serial_number, institution, license, contact)\n"
    "  --settings FILE    the settings the particle files were made with, WA_WB and DELTA_HGT for\n"
    "                     the detection efficiency (default: DROPPAIR.SET beside each particle file,\n"
    "                     or in the directory above it); without them the corrected products are empty\n"
    "  --calibration FILE the calibration, its width deviations for the detection efficiency\n"
    "                     (default: corrfact.dat beside each particle file, or above)\n"
    "  --speed-law atlas|beard  reference fall speed of the plausibility check (default atlas)\n"
    "  --speed-tolerance T  how far a fall speed may lie from it: 50% (default) or 0.5m/s\n"
    "  --keep-implausible keep particles with an implausible fall speed in the products\n"
    "  --no-particles     write no particle tables\n"
    "  --compress-particles  deflate the particle tables: about half the size, twice the time\n"
    "                     (the gridded files are always compressed)\n"
    "  --only-changed     leave a day alone when its files already hold the same inputs and options\n"
    "  --summary FILE     one CSV row per day: day, status, files, particles, particles_used,\n"
    "                     rain_mm, recorded_fraction, grid_file, particle_file\n"
    "  --quiet            print nothing but problems\n"
    "  --help             show this text\n"
    "  --version          show the version and the commit of this build\n"
    "An option's value may also follow an equals sign: --step=5min.\n"
    "\n"
    "exit status: 0 success, 1 bad data or an output that cannot be written, 2 usage error\n";

int usage_error(const std::string& what) {
  std::fprintf(stderr, "droppair-products: %s\nTry 'droppair-products --help'.\n", what.c_str());
  return 2;
}

int data_error(const std::string& what) {
  std::fprintf(stderr, "droppair-products: %s\n", what.c_str());
  return 1;
}

/// Ends the run after a product file could not be written. The netCDF library's exit handler
/// crashes once a write has failed (a full disk), so the process ends without running it; the
/// unfinished files are already removed.
[[noreturn]] void end_after_write_failure(const std::string& what) {
  std::fprintf(stderr, "droppair-products: %s\n", what.c_str());
  std::fflush(nullptr);
  std::_Exit(1);
}

int64_t day_of(double t) { return static_cast<int64_t>(std::floor(t / static_cast<double>(dp::k_day_s))); }

/// First moment a file's particles are counted from.
double counted_from(const dp::input_file& f) { return std::max(f.begin, f.count_after); }

/// What a day's row of the summary says.
struct day_result {
  std::string status;  ///< written, unchanged
  size_t files = 0;
  int64_t particles = 0, used = 0;
  double rain = 0, recorded = 0;
  std::string grid, table;
};

/// One day being made.
struct day_work {
  dp::day_inputs in;
  bool skip = false;
  dp::day_grid grid;
  dp::particle_table table;
  int64_t particles = 0, used = 0;
};

/// The day totals stored in an existing gridded file, for a day left alone.
void read_totals(const std::string& path, day_result* r) {
  int id = -1;
  if (nc_open(path.c_str(), NC_NOWRITE, &id) != NC_NOERR) return;
  double x = 0;
  long long n = 0;
  if (nc_get_att_double(id, NC_GLOBAL, "day_rain_total_mm", &x) == NC_NOERR) r->rain = x;
  if (nc_get_att_double(id, NC_GLOBAL, "day_recorded_fraction", &x) == NC_NOERR) r->recorded = x;
  if (nc_get_att_longlong(id, NC_GLOBAL, "day_particles", &n) == NC_NOERR) r->particles = n;
  if (nc_get_att_longlong(id, NC_GLOBAL, "day_particles_used", &n) == NC_NOERR) r->used = n;
  nc_close(id);
}

/// The detection-efficiency models of the input files. Files whose settings and calibration read
/// alike share one: a model takes over a second per geometry, and an archive may hold
/// thousands of files made with the same settings.
struct efficiency_models {
  std::map<std::string, dp::efficiency_set> sets;  ///< by settings and calibration; nodes never move
  std::map<std::string, std::string> why;          ///< why a set has no model
};

/// The model of file f (have_rules false, with the reason in *why, when it has none).
dp::efficiency_set& efficiency_of(efficiency_models& m, const dp::input_file& f, const dp::speed_check& check,
                                  std::string* why) {
  // An unreadable file reads as empty text: its path tells it apart.
  const std::string key = f.settings_text + '\0' + f.calibration_text + '\0' +
                          (f.settings_text.empty() ? f.settings_path : "") + '\0' +
                          (f.calibration_text.empty() ? f.calibration_path : "");
  const auto found = m.sets.find(key);
  if (found != m.sets.end()) {
    *why = m.why[key];
    return found->second;
  }
  dp::efficiency_set& s = m.sets[key];
  why->clear();
  if (!dp::load_efficiency_set(f.settings_path, f.calibration_path, check, &s, why)) m.why[key] = *why;
  return s;
}

std::string csv_field(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string q = "\"";
  for (const char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

/// What the command line asks for.
struct options {
  std::string out;                  ///< the directory of the daily files
  std::vector<std::string> inputs;  ///< particle files and directories, in the order given
  std::string step_text, bins_text, law_text, tolerance_text;  ///< values as given
  std::string station_path, summary_path;
  dp::provenance_source given;  ///< --settings and --calibration
  bool keep_implausible = false, no_particles = false, compress_particles = false, only_changed = false, quiet = false;
  // Set by check_options.
  dp::grid_layout layout;
  dp::speed_check check;
};

/// What parse_options and check_options return when the run goes on.
constexpr int k_go_on = -1;

// The codes getopt_long returns for the long options, above every character.
enum {
  opt_help = 256, opt_version, opt_keep_implausible, opt_no_particles, opt_compress_particles, opt_only_changed,
  opt_quiet, opt_out, opt_step, opt_bins, opt_station, opt_settings, opt_calibration, opt_speed_law,
  opt_speed_tolerance, opt_summary,
};

const option k_long_options[] = {
    {"help", optional_argument, nullptr, opt_help},  // --help=anything shows the text as well
    {"version", no_argument, nullptr, opt_version},
    {"keep-implausible", no_argument, nullptr, opt_keep_implausible},
    {"no-particles", no_argument, nullptr, opt_no_particles},
    {"compress-particles", no_argument, nullptr, opt_compress_particles},
    {"only-changed", no_argument, nullptr, opt_only_changed},
    {"quiet", no_argument, nullptr, opt_quiet},
    {"out", required_argument, nullptr, opt_out},
    {"step", required_argument, nullptr, opt_step},
    {"bins", required_argument, nullptr, opt_bins},
    {"station", required_argument, nullptr, opt_station},
    {"settings", required_argument, nullptr, opt_settings},
    {"calibration", required_argument, nullptr, opt_calibration},
    {"speed-law", required_argument, nullptr, opt_speed_law},
    {"speed-tolerance", required_argument, nullptr, opt_speed_tolerance},
    {"summary", required_argument, nullptr, opt_summary},
    {nullptr, 0, nullptr, 0},
};

/// The string a value option sets.
std::string* value_of(options* o, int code) {
  switch (code) {
    case opt_out: return &o->out;
    case opt_step: return &o->step_text;
    case opt_bins: return &o->bins_text;
    case opt_station: return &o->station_path;
    case opt_settings: return &o->given.settings;
    case opt_calibration: return &o->given.calibration;
    case opt_speed_law: return &o->law_text;
    case opt_speed_tolerance: return &o->tolerance_text;
    case opt_summary: return &o->summary_path;
  }
  return nullptr;
}

/// False for a long option cut short: getopt_long takes any unambiguous abbreviation (--qu for
/// --quiet), droppair-products only the whole name.
bool whole_name(const char* arg) { return dp::whole_option_name(arg, k_long_options, true); }

/// The usage error of a value option given none, or an empty one.
int missing_value(int code) {
  const std::string name = dp::option_name(k_long_options, code);
  return usage_error("option --" + name + " needs a value");
}

/// Reads the command line into *o from left to right: --help and --version end the run where they
/// stand, and so does the first usage error. Options and inputs may be mixed. Returns k_go_on, or
/// the exit status of a run that ends here.
int parse_options(int argc, char** argv, options* o) {
  opterr = 0;  // the messages are droppair-products' own
  // "-": an argument that is no option comes back in its place, as the value of code 1 (the order
  // holds, so the first error met is the one told); ":": a value option at the end returns ':'.
  for (int at = optind;; at = optind) {
    const int code = getopt_long(argc, argv, "-:h", k_long_options, nullptr);
    if (code == -1) {
      // getopt_long ends the options at "--"; to droppair-products that is an unknown option.
      if (at < argc) return usage_error("unknown option " + std::string(argv[at]));
      return k_go_on;
    }
    const std::string arg = argv[at];  // the argument read, with its "=value"
    if (code != 1 && !whole_name(argv[at])) return usage_error("unknown option " + arg);
    switch (code) {
      case 1: o->inputs.push_back(optarg); break;
      case 'h':
        if (arg != "-h") return usage_error("unknown option " + arg);  // -hx
        [[fallthrough]];
      case opt_help:
        std::fputs(k_usage, stdout);
        return 0;
      case opt_version:
        std::printf("droppair-products %s (commit %s)\n", DROPPAIR_VERSION, DROPPAIR_COMMIT);
        return 0;
      case opt_keep_implausible: o->keep_implausible = true; break;
      case opt_no_particles: o->no_particles = true; break;
      case opt_compress_particles: o->compress_particles = true; break;
      case opt_only_changed: o->only_changed = true; break;
      case opt_quiet: o->quiet = true; break;
      case ':':  // a value option at the end
        return missing_value(optopt);
      case '?':  // unknown, or a value given to an option that takes none (--quiet=1)
        return usage_error("unknown option " + arg);
      default:
        if (*optarg == '\0') return missing_value(code);
        *value_of(o, code) = optarg;
        break;
    }
  }
}

/// Checks the options and reads the grid layout and the speed check from them. Returns k_go_on,
/// or the exit status of a usage error.
int check_options(options* o) {
  if (o->out.empty()) return usage_error("no output directory given (--out DIR)");
  if (o->inputs.empty()) return usage_error("no particle file or directory given");
  o->layout.edges = dp::default_edges();
  o->layout.keep_implausible = o->keep_implausible;
  std::string why;
  if (!o->step_text.empty() && !dp::parse_step(o->step_text, &o->layout.step_s, &why)) return usage_error(why);
  if (!o->bins_text.empty() && !dp::parse_edges(o->bins_text, &o->layout.edges, &why)) return usage_error(why);
  if (!o->law_text.empty() && !dp::parse_speed_law(o->law_text, &o->check.law))
    return usage_error("--speed-law takes atlas or beard, not " + o->law_text);
  if (!o->tolerance_text.empty() && !dp::parse_speed_tolerance(o->tolerance_text, &o->check))
    return usage_error("--speed-tolerance takes a share such as 50% or a speed such as 0.5m/s, not " + o->tolerance_text);
  return k_go_on;
}

/// The daily files of the inputs, and the summary when asked for. The command line goes into the
/// files' history.
int make_products(const options& o, int argc, char** argv) {
  const std::string& out = o.out;
  const bool keep_implausible = o.keep_implausible, no_particles = o.no_particles, quiet = o.quiet;
  dp::product_meta meta;
  meta.layout = o.layout;
  meta.check = o.check;
  meta.particle_deflate = o.compress_particles ? 1 : 0;
  meta.station = dp::no_station();
  std::string why;
  std::string station_sha;
  if (!o.station_path.empty()) {
    if (!dp::read_station(o.station_path, &meta.station, &why)) return data_error(why);
    if (!dp::file_sha256(o.station_path, &station_sha, &why)) return data_error(why);
  }

  std::vector<std::string> paths;
  if (!dp::find_particle_files(o.inputs, &paths, &why)) return data_error(why);
  dp::input_set set;
  if (!dp::build_input_set(paths, o.given, &set, &why)) return data_error(why);
  for (const std::string& note : set.notes) std::fprintf(stderr, "droppair-products: %s\n", note.c_str());
  if (set.files.empty()) return data_error("no usable particle file");

  const dp::main_hd& first = set.files.front().scan.headers.front().hd;
  meta.oeu_nr = first.oeu_nr;
  meta.line_fr = first.line_fr;
  meta.station_id = meta.station.station_id.empty() ? "oeu" + std::to_string(first.oeu_nr) : meta.station.station_id;
  meta.created = dp::creation_time();
  for (int i = 0; i < argc; ++i) meta.history += (i > 0 ? " " : "") + std::string(i == 0 ? "droppair-products" : argv[i]);
  char tol[32];
  if (meta.check.relative) std::snprintf(tol, sizeof tol, "%.6g%%", meta.check.tolerance * 100.0);
  else std::snprintf(tol, sizeof tol, "%.6gm/s", meta.check.tolerance);
  std::string edges;
  for (const double e : meta.layout.edges) edges += (edges.empty() ? "" : ",") + std::to_string(e);
  meta.options = "step=" + std::to_string(meta.layout.step_s) + "s bins=" + edges +
                 " speed_law=" + (meta.check.law == dp::speed_law::atlas ? "atlas" : "beard") +
                 " speed_tolerance=" + tol + " keep_implausible=" + (keep_implausible ? "1" : "0") +
                 " particles=" + (no_particles ? "0" : o.compress_particles ? "deflate" : "1") +
                 (station_sha.empty() ? "" : " station_sha256=" + station_sha);

  std::error_code ec;
  fs::create_directories(out, ec);
  if (ec || !fs::is_directory(out, ec)) return data_error(out + ": cannot create the directory: " + ec.message());

  // The days and the files that feed each; every day from the first to the last is made.
  std::map<int64_t, day_work> days;
  const int64_t first_day = day_of(counted_from(set.files.front()));
  int64_t last_day = first_day;
  for (const dp::input_file& f : set.files) last_day = std::max(last_day, day_of(f.end));
  for (int64_t d = first_day; d <= last_day; ++d) days[d];
  for (const dp::input_file& f : set.files)
    for (int64_t d = day_of(counted_from(f)); d <= day_of(f.end); ++d) days[d].in.files.push_back(&f);
  for (auto& [d, w] : days) {
    w.in.fingerprint = dp::day_fingerprint(w.in.files, meta);
    if (!o.only_changed) continue;
    const std::string grid = (fs::path(out) / dp::grid_file_name(meta.station_id, d, meta.layout.step_s)).string();
    const std::string table = (fs::path(out) / dp::particle_file_name(meta.station_id, d)).string();
    w.skip = dp::read_fingerprint(grid) == w.in.fingerprint &&
             (no_particles || dp::read_fingerprint(table) == w.in.fingerprint);
  }

  std::vector<day_result> results;
  int status = 0;
  // Finishes day d: products computed and written, its row of the summary made.
  const auto finish_day = [&](int64_t d, day_work& w) {
    day_result r;
    r.files = w.in.files.size();
    r.grid = (fs::path(out) / dp::grid_file_name(meta.station_id, d, meta.layout.step_s)).string();
    r.table = no_particles ? "" : (fs::path(out) / dp::particle_file_name(meta.station_id, d)).string();
    if (w.skip) {
      r.status = "unchanged";
      read_totals(r.grid, &r);
    } else {
      if (w.grid.n_iv == 0) dp::grid_init(w.grid, d, meta.layout);
      const dp::day_products p = dp::grid_finish(w.grid, meta.layout);
      r.status = "written";
      r.particles = w.particles;
      r.used = w.used;
      r.rain = p.rain_total;
      r.recorded = p.recorded;
      dp::day_totals totals{r.particles, r.used, r.rain, r.recorded};
      std::string e;
      if (!no_particles) {
        if ((w.table.ncid < 0 && !dp::table_begin(w.table, r.table, d, meta, w.in, &e)) || !dp::table_end(w.table, &e)) {
          status = 1;
          r.status = "failed";
          std::fprintf(stderr, "droppair-products: cannot write %s\n", e.c_str());
        }
      }
      if (!dp::write_grid_file(r.grid, w.grid, p, meta, w.in, totals, &e)) {
        status = 1;
        r.status = "failed";
        std::fprintf(stderr, "droppair-products: cannot write %s\n", e.c_str());
      }
    }
    if (!quiet)
      std::printf("%s  %-9s  %zu file%s  %lld particles  %.3f mm  %.1f %% recorded  %s\n", dp::day_text(d).c_str(),
                  r.status.c_str(), r.files, r.files == 1 ? "" : "s", static_cast<long long>(r.particles), r.rain,
                  r.recorded * 100.0, r.grid.c_str());
    results.push_back(r);
    w = day_work{};
  };

  // Files in order of time: a day is finished as soon as no later file can reach it.
  efficiency_models models;
  auto next = days.begin();
  for (const dp::input_file& f : set.files) {
    const int64_t from = day_of(counted_from(f)), to = day_of(f.end);
    while (next != days.end() && next->first < from) {
      finish_day(next->first, next->second);
      ++next;
    }
    bool needed = false;
    for (int64_t d = from; d <= to; ++d) needed = needed || !days[d].skip;
    if (!needed) continue;
    std::string no_model;
    dp::efficiency_set& efficiency = efficiency_of(models, f, meta.check, &no_model);
    if (!efficiency.have_rules)
      std::fprintf(stderr, "droppair-products: %s: no detection efficiency, the corrected products are left empty (%s)\n",
                   f.path.c_str(), no_model.c_str());
    else if (f.calibration_path.empty())
      std::fprintf(stderr, "droppair-products: %s: no corrfact.dat found: the detection efficiency assumes no width "
                   "deviations\n", f.path.c_str());
    const dp::efficiency_table* first_table = dp::efficiency_for(efficiency, f.scan.headers, 0);
    for (int64_t d = from; d <= to; ++d) {
      day_work& w = days[d];
      if (w.skip) continue;
      if (w.grid.n_iv == 0) dp::grid_init(w.grid, d, meta.layout);
      dp::grid_cover(w.grid, counted_from(f), f.end, first_table);
      if (!no_particles && w.table.ncid < 0) {
        const std::string path = (fs::path(out) / dp::particle_file_name(meta.station_id, d)).string();
        if (!dp::table_begin(w.table, path, d, meta, w.in, &why)) {
          for (auto& day : days) dp::table_abandon(day.second.table);
          end_after_write_failure("cannot write " + why);
        }
      }
    }
    // A particle's efficiency depends on its minute (the rain rate, the counts of small drops
    // around it): a first pass over the file finds them (a file that fails here fails below).
    dp::file_corrections first = efficiency.have_rules ? dp::first_walk(f.path, f.scan, meta.check, keep_implausible)
                                                       : dp::file_corrections{};
    int64_t untimed = 0;
    std::string failure;
    const auto each = [&](const dp::particle_values& v) {
      dp::particle_products p = dp::derive_products(v, f.scan.headers, meta.check, keep_implausible);
      if (!std::isfinite(p.time)) {
        ++untimed;
        return;
      }
      if (!(p.time > f.count_after)) return;
      const auto it = days.find(day_of(p.time));
      if (it == days.end() || it->second.skip) return;
      day_work& w = it->second;
      if (w.grid.n_iv == 0) dp::grid_init(w.grid, it->first, meta.layout);
      dp::correct_particle(p, v.eq_diam_mm, dp::efficiency_for(efficiency, f.scan.headers, v.header), first);
      const dp::product_use use = dp::grid_use(p, v.eq_diam_mm, meta.layout);
      dp::grid_add(w.grid, meta.layout, v, p, use);
      ++w.particles;
      if (use == dp::product_use::used) ++w.used;
      if (!no_particles && failure.empty()) {
        int source = 0;
        while (source < static_cast<int>(w.in.files.size()) && w.in.files[static_cast<size_t>(source)] != &f) ++source;
        dp::particle_products kept = p;
        kept.use = use;
        if (!dp::table_add(w.table, v, kept, source, &failure)) failure = "cannot write " + failure;
      }
    };
    dp::sno_fault fault;
    if (!dp::for_each_particle(f.path, f.scan, each, &fault, nullptr)) return data_error(dp::fault_text(fault));
    if (!failure.empty()) {
      for (auto& day : days) dp::table_abandon(day.second.table);
      end_after_write_failure(failure);
    }
    if (untimed > 0)
      std::fprintf(stderr, "droppair-products: %s: %lld particle records before every main header left out\n",
                   f.path.c_str(), static_cast<long long>(untimed));
  }
  for (; next != days.end(); ++next) finish_day(next->first, next->second);

  if (!o.summary_path.empty()) {
    std::FILE* s = std::fopen(o.summary_path.c_str(), "wb");
    if (s == nullptr) return data_error("cannot write " + o.summary_path);
    std::fprintf(s, "day,status,files,particles,particles_used,rain_mm,recorded_fraction,grid_file,particle_file\n");
    for (size_t i = 0; i < results.size(); ++i) {
      const day_result& r = results[i];
      std::fprintf(s, "%s,%s,%zu,%lld,%lld,%.3f,%.4f,%s,%s\n", dp::day_text(first_day + static_cast<int64_t>(i)).c_str(),
                   r.status.c_str(), r.files, static_cast<long long>(r.particles), static_cast<long long>(r.used), r.rain,
                   r.recorded, csv_field(r.grid).c_str(), csv_field(r.table).c_str());
    }
    if (std::fclose(s) != 0) return data_error("cannot write " + o.summary_path);
  }
  if (status != 0) end_after_write_failure("some product files were not written");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGXFSZ
  // Past a file-size limit a write should fail with its reason, not kill the run.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  options o;
  if (const int status = parse_options(argc, argv, &o); status != k_go_on) return status;
  if (const int status = check_options(&o); status != k_go_on) return status;
  return make_products(o, argc, argv);
}
