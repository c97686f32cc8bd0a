#include "daily_files.h"

#include <netcdf.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>

#if __has_include("droppair_version.h")
#include "droppair_version.h"
#endif
#ifndef DROPPAIR_VERSION
#define DROPPAIR_VERSION "unknown"
#endif
#ifndef DROPPAIR_COMMIT
#define DROPPAIR_COMMIT "unknown"
#endif

namespace dp {

namespace {

constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();
constexpr const char* k_time_units = "seconds since 1970-01-01 00:00:00";
constexpr size_t k_table_rows = 65536;  // rows per write and per chunk of the particle table

double for_float(double x) { return std::fabs(x) > 3.0e38 ? k_nan : x; }

std::string step_text(int32_t s) {
  // ISO 8601 duration of the step.
  char buf[32];
  if (s % 86400 == 0) std::snprintf(buf, sizeof buf, "P%dD", s / 86400);
  else if (s % 3600 == 0) std::snprintf(buf, sizeof buf, "PT%dH", s / 3600);
  else if (s % 60 == 0) std::snprintf(buf, sizeof buf, "PT%dM", s / 60);
  else std::snprintf(buf, sizeof buf, "PT%dS", s);
  return buf;
}

/// Texts of settings or calibration, each once, after the names of the files made with it.
std::string grouped(const day_inputs& in, std::string input_file::*text, std::string input_file::*where) {
  std::map<std::string, std::string> names;  // text -> names
  std::vector<std::string> order;
  for (const input_file* f : in.files) {
    const std::string& t = f->*text;
    if (names.find(t) == names.end()) order.push_back(t);
    std::string& n = names[t];
    n += (n.empty() ? "" : " ") + f->name + ((f->*where).empty() ? "" : " (" + (f->*where) + ")");
  }
  std::string out;
  for (const std::string& t : order) {
    out += "# " + names[t] + "\n";
    out += t.empty() ? "(not found beside the particle file)\n" : t;
    if (!out.empty() && out.back() != '\n') out += '\n';
  }
  return out;
}

void double_att(nc_run& nc, int ncid, int var, const char* name, double x) {
  if (std::isfinite(x)) nc(nc_put_att_double(ncid, var, name, NC_DOUBLE, 1, &x), name);
}

/// The station as scalar coordinate variables; its id is the time series' identity in a gridded file.
void station_vars(nc_run& nc, int id, bool grid, int* v_lat, int* v_lon, int* v_alt, int* v_sid, int* v_sname) {
  *v_lat = nc_def_column(nc, id, "latitude", NC_DOUBLE, 0, nullptr, "degrees_north", "latitude of the instrument",
                         "latitude", false);
  *v_lon = nc_def_column(nc, id, "longitude", NC_DOUBLE, 0, nullptr, "degrees_east", "longitude of the instrument",
                         "longitude", false);
  *v_alt = nc_def_column(nc, id, "altitude", NC_DOUBLE, 0, nullptr, "m", "altitude of the instrument above mean sea level",
                         "altitude", false);
  nc_text_att(nc, id, *v_alt, "positive", "up");
  nc(nc_def_var(id, "station_id", NC_STRING, 0, nullptr, v_sid), "station_id");
  nc_text_att(nc, id, *v_sid, "long_name", "station identifier");
  if (grid) nc_text_att(nc, id, *v_sid, "cf_role", "timeseries_id");
  nc(nc_def_var(id, "station_name", NC_STRING, 0, nullptr, v_sname), "station_name");
  nc_text_att(nc, id, *v_sname, "long_name", "station name");
}

void put_station(nc_run& nc, int id, const product_meta& m, int v_lat, int v_lon, int v_alt, int v_sid, int v_sname) {
  nc(nc_put_var_double(id, v_lat, &m.station.latitude), "latitude");
  nc(nc_put_var_double(id, v_lon, &m.station.longitude), "longitude");
  nc(nc_put_var_double(id, v_alt, &m.station.altitude), "altitude");
  const char* sid = m.station_id.c_str();
  const char* name = m.station.station_name.empty() ? sid : m.station.station_name.c_str();
  nc(nc_put_var_string(id, v_sid, &sid), "station_id");
  nc(nc_put_var_string(id, v_sname, &name), "station_name");
}

/// The global attributes both files share.
void global_atts(nc_run& nc, int id, const product_meta& m, int64_t day, const day_inputs& in, bool grid) {
  const int g = NC_GLOBAL;
  const station_info& s = m.station;
  const std::string name = s.station_name.empty() ? m.station_id : s.station_name;
  const std::string what = grid ? "drop size distribution and rain products" : "precipitation particles";
  nc_text_att(nc, id, g, "Conventions", "CF-1.8, ACDD-1.3");
  nc_text_att(nc, id, g, "featureType", grid ? "timeSeries" : "point");
  nc_text_att(nc, id, g, "cdm_data_type", grid ? "Station" : "Point");
  nc_text_att(nc, id, g, "title", (s.title.empty() ? "Two-camera optical distrometer" : s.title) + ": " + what + " of " +
                                      name + " on " + day_text(day));
  nc_text_att(nc, id, g, "summary",
              (s.summary.empty() ? "" : s.summary + " ") +
                  (grid ? "Per interval of " + std::to_string(m.layout.step_s) +
                              " s of one UTC day: the drop size distribution N(D), counts and mean fall speed per "
                              "diameter bin, rain rate, rain amount and its accumulation over the day, concentration, "
                              "mass-weighted mean diameter, normalized intercept, reflectivity factor (also in dBZ) and "
                              "liquid water content, with the share of the interval recorded; each also corrected "
                              "for the drops the pairing loses (*_corrected), with the detection efficiency per bin."
                        : "Every particle of one UTC day that both cameras of a two-camera optical distrometer saw, "
                          "with its time, equivalent diameter, fall speed, flags, scales, shape and camera positions."));
  nc_text_att(nc, id, g, "keywords",
              "precipitation, rain, drop size distribution, fall speed, rain rate, radar reflectivity, disdrometer");
  nc_text_att(nc, id, g, "id", m.station_id + "_" + day_text(day) + (grid ? "_dsd_" + std::to_string(m.layout.step_s) + "s" : "_particles"));
  nc_text_att(nc, id, g, "naming_authority", "droppair");
  nc_text_att(nc, id, g, "standard_name_vocabulary", "CF Standard Name Table v79");
  if (!s.institution.empty()) nc_text_att(nc, id, g, "institution", s.institution);
  if (!s.license.empty()) nc_text_att(nc, id, g, "license", s.license);
  if (!s.contact.empty()) {
    const size_t lt = s.contact.find('<'), gt = s.contact.find('>');
    std::string who = s.contact, mail;
    if (lt != std::string::npos && gt != std::string::npos && gt > lt) {
      mail = s.contact.substr(lt + 1, gt - lt - 1);
      who = s.contact.substr(0, lt);
      while (!who.empty() && who.back() == ' ') who.pop_back();
    } else if (s.contact.find('@') != std::string::npos) {
      mail = s.contact;
    }
    nc_text_att(nc, id, g, "creator_name", who);
    if (!mail.empty()) nc_text_att(nc, id, g, "creator_email", mail);
  }
  nc_text_att(nc, id, g, "station_id", m.station_id);
  nc_text_att(nc, id, g, "station_name", name);
  if (!s.path.empty()) nc_text_att(nc, id, g, "station_file", s.path);
  if (!s.sensor_name.empty()) nc_text_att(nc, id, g, "sensor_name", s.sensor_name);
  if (!s.sensor_serial_number.empty()) nc_text_att(nc, id, g, "sensor_serial_number", s.sensor_serial_number);
  for (const auto& [key, value] : s.extra) nc_text_att(nc, id, g, ("station_" + key).c_str(), value);
  nc_text_att(nc, id, g, "instrument", s.sensor_name.empty() ? "two-camera optical distrometer" : s.sensor_name);
  nc_text_att(nc, id, g, "source", "two-camera optical distrometer, OEU " + std::to_string(m.oeu_nr) + "; particle files paired by droppair");
  const short oeu = m.oeu_nr;
  nc(nc_put_att_short(id, g, "oeu_nr", NC_SHORT, 1, &oeu), "oeu_nr");
  double_att(nc, id, g, "line_frequency_hz", m.line_fr);
  double_att(nc, id, g, "geospatial_lat_min", s.latitude);
  double_att(nc, id, g, "geospatial_lat_max", s.latitude);
  double_att(nc, id, g, "geospatial_lon_min", s.longitude);
  double_att(nc, id, g, "geospatial_lon_max", s.longitude);
  double_att(nc, id, g, "geospatial_vertical_min", s.altitude);
  double_att(nc, id, g, "geospatial_vertical_max", s.altitude);
  if (std::isfinite(s.latitude)) {
    nc_text_att(nc, id, g, "geospatial_lat_units", "degrees_north");
    nc_text_att(nc, id, g, "geospatial_lon_units", "degrees_east");
    nc_text_att(nc, id, g, "geospatial_vertical_units", "m");
    nc_text_att(nc, id, g, "geospatial_vertical_positive", "up");
  }
  const double t0 = static_cast<double>(day * k_day_s);
  nc_text_att(nc, id, g, "time_coverage_start", iso_time(t0));
  nc_text_att(nc, id, g, "time_coverage_end", iso_time(t0 + k_day_s));
  nc_text_att(nc, id, g, "time_coverage_duration", "P1D");
  if (grid) nc_text_att(nc, id, g, "time_coverage_resolution", step_text(m.layout.step_s));
  nc_text_att(nc, id, g, "date_created", iso_time(static_cast<double>(m.created)));
  nc_text_att(nc, id, g, "history", iso_time(static_cast<double>(m.created)) + " " + m.history);
  nc_text_att(nc, id, g, "software_name", "droppair-products");
  nc_text_att(nc, id, g, "software_version", DROPPAIR_VERSION);
  nc_text_att(nc, id, g, "software_commit", DROPPAIR_COMMIT);
  nc_text_att(nc, id, g, "product_options", m.options);
  nc_text_att(nc, id, g, "fall_speed_law", m.check.law == speed_law::atlas ? "atlas" : "beard");
  char tol[32];
  if (m.check.relative) std::snprintf(tol, sizeof tol, "%.6g%%", m.check.tolerance * 100.0);
  else std::snprintf(tol, sizeof tol, "%.6gm/s", m.check.tolerance);
  nc_text_att(nc, id, g, "fall_speed_tolerance", tol);
  nc_text_att(nc, id, g, "fall_speed_reference", speed_check_text(m.check));
  const signed char keep = m.layout.keep_implausible ? 1 : 0;
  nc(nc_put_att_schar(id, g, "keep_implausible", NC_BYTE, 1, &keep), "keep_implausible");
  std::string files;
  for (const input_file* f : in.files)
    files += f->name + " " + std::to_string(f->size) + " " + f->sha256 + "\n";
  nc_text_att(nc, id, g, "input_files", files);
  nc_text_att(nc, id, g, "settings", grouped(in, &input_file::settings_text, &input_file::settings_path));
  nc_text_att(nc, id, g, "calibration", grouped(in, &input_file::calibration_text, &input_file::calibration_path));
  nc_text_att(nc, id, g, "source_fingerprint", in.fingerprint);
}

/// Where the detection efficiency of a day's bins comes from, for its comment.
std::string efficiency_source(const day_products& r, const day_inputs& in) {
  std::string text;
  if (r.efficiency_flag.empty() || r.efficiency_flag.front() == static_cast<int8_t>(efficiency_use::no_model))
    text = "No particle file of the day has settings to build the model from: no efficiency, no correction.";
  else if (r.efficiency_mixed)
    text = "The efficiencies of the day's particle files differ (other settings or calibration): the mean over "
           "the files, each weighted by the seconds it covers in the day.";
  else
    text = "From the first main header of the day's first particle file with a model.";
  if (r.files_without_model > 0 && r.files_without_model < static_cast<int>(in.files.size()))
    text += " " + std::to_string(r.files_without_model) + " of the day's particle files have no model (no settings): "
            "the corrected values of their intervals are missing.";
  return text;
}

/// Creates a netCDF-4 file at a temporary name beside path.
bool create(const std::string& path, std::string* tmp, int* ncid, std::string* why) {
  *tmp = path + ".part";
  nc_run nc;
  if (!nc(nc_create(tmp->c_str(), NC_NETCDF4 | NC_CLOBBER, ncid), "cannot create")) {
    *ncid = -1;
    return nc.fail(*tmp, why);
  }
  return true;
}

/// Closes the file and moves it into place; on failure removes it.
bool finish(int ncid, const std::string& tmp, const std::string& path, nc_run& nc, std::string* why) {
  nc(nc_close(ncid), "close");
  if (nc.status != NC_NOERR) {
    std::remove(tmp.c_str());
    return nc.fail(path, why);
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    std::remove(tmp.c_str());
    *why = path + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

std::string day_text(const int64_t day) { return iso_time(static_cast<double>(day * k_day_s)).substr(0, 10); }

std::string grid_file_name(const std::string& id, const int64_t day, const int32_t step_s) {
  std::string d = day_text(day);
  d.erase(7, 1);
  d.erase(4, 1);
  return id + "_" + d + "_dsd_" + std::to_string(step_s) + "s.nc";
}

std::string particle_file_name(const std::string& id, const int64_t day) {
  std::string d = day_text(day);
  d.erase(7, 1);
  d.erase(4, 1);
  return id + "_" + d + "_particles.nc";
}

std::string day_fingerprint(const std::vector<const input_file*>& files, const product_meta& meta) {
  std::string text = meta.options + "\n" + meta.station_id + "\n" + k_efficiency_model_version + "\n";
  char cut[64];
  for (const input_file* f : files) {
    std::snprintf(cut, sizeof cut, " %.6f", f->count_after);
    // The settings and the calibration shape the corrected products.
    text += f->name + " " + std::to_string(f->size) + " " + f->sha256 + cut + " " + text_sha256(f->settings_text) +
            " " + text_sha256(f->calibration_text) + "\n";
  }
  return text_sha256(text);
}

std::string read_fingerprint(const std::string& path) {
  int id = -1;
  if (nc_open(path.c_str(), NC_NOWRITE, &id) != NC_NOERR) return {};
  size_t len = 0;
  std::string value;
  if (nc_inq_attlen(id, NC_GLOBAL, "source_fingerprint", &len) == NC_NOERR && len < 256) {
    value.resize(len);
    if (nc_get_att_text(id, NC_GLOBAL, "source_fingerprint", value.data()) != NC_NOERR) value.clear();
  }
  nc_close(id);
  return value;
}

bool table_begin(particle_table& t, const std::string& path, const int64_t day, const product_meta& meta,
                 const day_inputs& in, std::string* why) {
  t = particle_table{};
  t.path = path;
  if (!create(path, &t.tmp, &t.ncid, why)) return false;
  nc_run nc;
  const int id = t.ncid;
  int dim = -1;
  nc(nc_def_dim(id, "particle", NC_UNLIMITED, &dim), "particle");
  int v_lat, v_lon, v_alt, v_sid, v_sname;
  station_vars(nc, id, false, &v_lat, &v_lon, &v_alt, &v_sid, &v_sname);
  const size_t chunk = k_table_rows;
  const auto column = [&](const char* name, int type, const char* units, const char* long_name, const char* std_name) {
    const int v = nc_def_column(nc, id, name, type, 1, &dim, units, long_name, std_name, false, std::strcmp(name, "time") == 0);
    if (v >= 0) {
      nc(nc_def_var_chunking(id, v, NC_CHUNKED, &chunk), name);
      if (meta.particle_deflate > 0) nc(nc_def_var_deflate(id, v, 1, 1, meta.particle_deflate), name);
      // Rows arrive in whole chunks, each written once: a cache of one chunk is all it takes
      // (the library's default of 16 MB a variable would grow to half a gigabyte).
      nc(nc_set_var_chunk_cache(id, v, chunk * 8 + 4096, 11, 1.0f), name);
    }
    t.varids.push_back(v);
    return v;
  };
  const int v_time = column("time", NC_DOUBLE, k_time_units,
                            "time at which the particle's lowest point reaches the plane of camera A", "time");
  nc_text_att(nc, id, v_time, "calendar", "standard");
  const int v_src = column("source_file", NC_SHORT, nullptr, "particle file of the particle: line of input_files, from 0", nullptr);
  nc_text_att(nc, id, v_src, "coordinates", "time latitude longitude altitude");
  size_t n = 0;
  const particle_column* cols = particle_columns(&n);
  for (size_t c = 1; c < n; ++c) {
    const int v = column(cols[c].name, cols[c].type, cols[c].units, cols[c].long_name, cols[c].standard_name);
    nc_text_att(nc, id, v, "coordinates", "time latitude longitude altitude");
    if (std::strstr(cols[c].name, "_px") != nullptr || std::strstr(cols[c].name, "_lines") != nullptr) {
      const short fill = -1;
      nc(nc_put_att_short(id, v, "_FillValue", NC_SHORT, 1, &fill), cols[c].name);
    }
    if (std::strcmp(cols[c].name, "fall_speed_flag") == 0) {
      nc_flag_atts(nc, id, v, {0, 1, 2, 3}, "plausible too_slow too_fast not_checked");
      nc_text_att(nc, id, v, "comment", "reference: " + speed_check_text(meta.check));
    } else if (std::strcmp(cols[c].name, "product_flag") == 0) {
      nc_flag_atts(nc, id, v, {0, 1, 2, 3, 4},
                   "used implausible_fall_speed cut_at_line_end diameter_out_of_range incomplete_record");
    } else if (std::strcmp(cols[c].name, "efficiency_flag") == 0) {
      nc_efficiency_flag_atts(nc, id, v);
    } else if (std::strcmp(cols[c].name, "detection_efficiency") == 0) {
      nc_text_att(nc, id, v, "comment", efficiency_comment());
    }
  }
  global_atts(nc, id, meta, day, in, false);
  nc(nc_enddef(id), "enddef");
  put_station(nc, id, meta, v_lat, v_lon, v_alt, v_sid, v_sname);
  if (nc.status != NC_NOERR) {
    nc.fail(t.tmp, why);
    table_abandon(t);
    return false;
  }
  t.block.assign(t.varids.size(), std::vector<double>(k_table_rows, 0.0));
  return true;
}

namespace {

bool flush_rows(particle_table& t, std::string* why) {
  if (t.filled == 0) return true;
  nc_run nc;
  const size_t start[1] = {t.written}, count[1] = {t.filled};
  for (size_t c = 0; c < t.varids.size(); ++c)
    if (!nc(nc_put_vara_double(t.ncid, t.varids[c], start, count, t.block[c].data()), "particle rows"))
      return nc.fail(t.tmp, why);
  t.written += t.filled;
  t.filled = 0;
  return true;
}

}  // namespace

bool table_add(particle_table& t, const particle_values& v, const particle_products& p, const int source,
               std::string* why) {
  size_t n = 0;
  const particle_column* cols = particle_columns(&n);
  t.block[0][t.filled] = p.time;
  t.block[1][t.filled] = source;
  for (size_t c = 1; c < n; ++c) {
    const double x = cols[c].get(v, p);
    t.block[c + 1][t.filled] = cols[c].type == NC_FLOAT ? for_float(x) : x;
  }
  if (++t.filled == k_table_rows) return flush_rows(t, why);
  return true;
}

bool table_end(particle_table& t, std::string* why) {
  if (!flush_rows(t, why)) {
    table_abandon(t);
    return false;
  }
  nc_run nc;
  const bool ok = finish(t.ncid, t.tmp, t.path, nc, why);
  t.ncid = -1;
  return ok;
}

void table_abandon(particle_table& t) {
  if (t.ncid >= 0) nc_close(t.ncid);
  t.ncid = -1;
  if (!t.tmp.empty()) std::remove(t.tmp.c_str());
}

bool write_grid_file(const std::string& path, const day_grid& g, const day_products& r, const product_meta& meta,
                     const day_inputs& in, const day_totals& totals, std::string* why) {
  std::string tmp;
  int id = -1;
  if (!create(path, &tmp, &id, why)) return false;
  nc_run nc;
  const size_t n = static_cast<size_t>(g.n_iv), nb = static_cast<size_t>(g.n_bins);
  int dim_time = -1, dim_bin = -1, dim_nv = -1;
  nc(nc_def_dim(id, "time", NC_UNLIMITED, &dim_time), "time");
  nc(nc_def_dim(id, "diameter_bin", nb, &dim_bin), "diameter_bin");
  nc(nc_def_dim(id, "nv", 2, &dim_nv), "nv");
  const int tb[2] = {dim_time, dim_nv}, bb[2] = {dim_bin, dim_nv}, tbin[2] = {dim_time, dim_bin};
  // A day per chunk: the time axis grows only from file to file.
  const size_t chunk[2] = {n, nb};
  const auto series = [&](const char* name, int type, const char* units, const char* long_name, const char* std_name,
                          const char* method) {
    const int v = nc_def_column(nc, id, name, type, 1, &dim_time, units, long_name, std_name, true);
    nc(nc_def_var_chunking(id, v, NC_CHUNKED, chunk), name);
    nc_text_att(nc, id, v, "coordinates", "time latitude longitude altitude station_id station_name");
    if (method != nullptr) nc_text_att(nc, id, v, "cell_methods", method);
    return v;
  };
  const auto spectrum = [&](const char* name, int type, const char* units, const char* long_name, const char* method) {
    const int v = nc_def_column(nc, id, name, type, 2, tbin, units, long_name, nullptr, true);
    nc(nc_def_var_chunking(id, v, NC_CHUNKED, chunk), name);
    nc_text_att(nc, id, v, "coordinates", "time diameter_bin diameter_bin_width latitude longitude altitude station_id station_name");
    nc_text_att(nc, id, v, "cell_methods", method);
    return v;
  };

  const int v_time = nc_def_column(nc, id, "time", NC_DOUBLE, 1, &dim_time, k_time_units, "start of the interval",
                                   "time", false, true);
  nc_text_att(nc, id, v_time, "calendar", "standard");
  nc_text_att(nc, id, v_time, "axis", "T");
  nc_text_att(nc, id, v_time, "bounds", "time_bnds");
  const int v_time_b = nc_def_column(nc, id, "time_bnds", NC_DOUBLE, 2, tb, k_time_units, "bounds of the interval",
                                     nullptr, false, true);
  const int v_bin = nc_def_column(nc, id, "diameter_bin", NC_FLOAT, 1, &dim_bin, "mm",
                                  "centre of the equivalent-volume diameter bin", nullptr, false, true);
  nc_text_att(nc, id, v_bin, "bounds", "diameter_bin_bnds");
  const int v_bin_b = nc_def_column(nc, id, "diameter_bin_bnds", NC_FLOAT, 2, bb, "mm", "bounds of the diameter bin",
                                    nullptr, false, true);
  const int v_width = nc_def_column(nc, id, "diameter_bin_width", NC_FLOAT, 1, &dim_bin, "mm",
                                    "width of the diameter bin", nullptr, false, true);
  int v_lat, v_lon, v_alt, v_sid, v_sname;
  station_vars(nc, id, true, &v_lat, &v_lon, &v_alt, &v_sid, &v_sname);

  const int v_flag = series("data_flag", NC_BYTE, nullptr, "whether the interval was recorded", nullptr, nullptr);
  nc_flag_atts(nc, id, v_flag, {0, 1, 2}, "complete partly_recorded not_recorded");
  const int v_frac = series("recorded_fraction", NC_FLOAT, "1", "share of the interval covered by a particle file",
                            nullptr, nullptr);
  const int v_part = series("particles", NC_INT, "1", "particle records in the interval", nullptr, "time: sum");
  const int v_used = series("particles_used", NC_INT, "1", "particles in the products", nullptr, "time: sum");
  const int v_impl = series("particles_implausible", NC_INT, "1",
                            "particles with an implausible fall speed (used or not)", nullptr, "time: sum");
  const int v_cut = series("particles_cut", NC_INT, "1", "particles cut at a line end (not used)", nullptr, "time: sum");
  const int v_counts = spectrum("counts", NC_INT, "1", "particles used per diameter bin", "time: sum");
  const int v_nd = spectrum("drop_size_distribution", NC_FLOAT, "m-3 mm-1",
                            "number concentration of drops per diameter interval, N(D)", "time: mean");
  const int v_vbin = spectrum("mean_fall_speed", NC_FLOAT, "m s-1", "mean fall speed of the drops of the bin",
                              "time: mean");
  const int v_rr = series("rain_rate", NC_FLOAT, "mm h-1", "rain rate", "lwe_precipitation_rate", "time: mean");
  const int v_amount = series("rain_amount", NC_FLOAT, "mm", "rain amount in the interval",
                              "lwe_thickness_of_precipitation_amount", "time: sum");
  const int v_acc = series("rain_accumulation", NC_FLOAT, "mm",
                           "rain amount accumulated from 00:00 UTC of the day to the end of the interval", nullptr,
                           nullptr);
  const int v_nt = series("total_concentration", NC_FLOAT, "m-3", "number concentration of drops", nullptr, "time: mean");
  const int v_dm = series("mass_weighted_mean_diameter", NC_FLOAT, "mm", "mass-weighted mean diameter Dm = M4 / M3",
                          nullptr, "time: mean");
  const int v_nw = series("normalized_intercept", NC_FLOAT, "m-3 mm-1",
                          "normalized intercept parameter Nw (Testud et al. 2001)", nullptr, "time: mean");
  const int v_z = series("reflectivity_factor", NC_FLOAT, "mm6 m-3", "radar reflectivity factor Z = sum of D^6 per volume",
                         nullptr, "time: mean");
  const int v_dbz = series("equivalent_reflectivity_factor", NC_FLOAT, "dBZ", "radar reflectivity factor, 10 log10 Z",
                           "equivalent_reflectivity_factor", "time: mean");
  const int v_lwc = series("liquid_water_content", NC_FLOAT, "g m-3", "mass concentration of liquid water in the drops",
                           nullptr, "time: mean");
  const int v_unc = series("particles_uncorrected", NC_INT, "1",
                           "used particles whose detection efficiency is under 0.2, counted as seen", nullptr,
                           "time: sum");
  const int v_nd_c = spectrum("drop_size_distribution_corrected", NC_FLOAT, "m-3 mm-1",
                              "N(D) corrected for the drops the pairing loses", "time: mean");
  const int v_rr_c = series("rain_rate_corrected", NC_FLOAT, "mm h-1", "rain rate corrected for the drops the pairing loses",
                            "lwe_precipitation_rate", "time: mean");
  const int v_amount_c = series("rain_amount_corrected", NC_FLOAT, "mm", "rain amount in the interval, corrected",
                                "lwe_thickness_of_precipitation_amount", "time: sum");
  const int v_acc_c = series("rain_accumulation_corrected", NC_FLOAT, "mm",
                             "corrected rain amount accumulated from 00:00 UTC of the day to the end of the interval "
                             "(missing from an interval without a detection efficiency on)",
                             nullptr, nullptr);
  const int v_nt_c = series("total_concentration_corrected", NC_FLOAT, "m-3", "number concentration of drops, corrected",
                            nullptr, "time: mean");
  const int v_dm_c = series("mass_weighted_mean_diameter_corrected", NC_FLOAT, "mm",
                            "mass-weighted mean diameter, corrected", nullptr, "time: mean");
  const int v_nw_c = series("normalized_intercept_corrected", NC_FLOAT, "m-3 mm-1",
                            "normalized intercept parameter Nw, corrected", nullptr, "time: mean");
  const int v_z_c = series("reflectivity_factor_corrected", NC_FLOAT, "mm6 m-3", "radar reflectivity factor, corrected",
                           nullptr, "time: mean");
  const int v_dbz_c = series("equivalent_reflectivity_factor_corrected", NC_FLOAT, "dBZ",
                             "radar reflectivity factor, 10 log10 Z, corrected", "equivalent_reflectivity_factor",
                             "time: mean");
  const int v_lwc_c = series("liquid_water_content_corrected", NC_FLOAT, "g m-3", "liquid water content, corrected",
                             nullptr, "time: mean");
  const int v_eff = nc_def_column(nc, id, "bin_detection_efficiency", NC_FLOAT, 1, &dim_bin, "1",
                                  "mean probability over the bin that the pairing keeps a drop", nullptr, false);
  const int v_eff_f = nc_def_column(nc, id, "bin_efficiency_flag", NC_BYTE, 1, &dim_bin, nullptr,
                                    "whether the bin's particles are corrected", nullptr, false);
  nc_efficiency_flag_atts(nc, id, v_eff_f);
  nc_text_att(nc, id, v_eff, "comment",
              efficiency_comment() + " " + efficiency_source(r, in) + " For drops one at a time (without the stream factor).");
  global_atts(nc, id, meta, g.day, in, true);
  const long long parts[2] = {totals.particles, totals.used};
  nc(nc_put_att_longlong(id, NC_GLOBAL, "day_particles", NC_INT64, 1, &parts[0]), "day_particles");
  nc(nc_put_att_longlong(id, NC_GLOBAL, "day_particles_used", NC_INT64, 1, &parts[1]), "day_particles_used");
  nc(nc_put_att_double(id, NC_GLOBAL, "day_rain_total_mm", NC_DOUBLE, 1, &totals.rain_mm), "day_rain_total_mm");
  nc(nc_put_att_double(id, NC_GLOBAL, "day_recorded_fraction", NC_DOUBLE, 1, &totals.recorded), "day_recorded_fraction");
  nc(nc_enddef(id), "enddef");

  std::vector<double> time(n), time_b(2 * n);
  const double t0 = static_cast<double>(g.day * k_day_s);
  for (size_t i = 0; i < n; ++i) {
    time[i] = t0 + static_cast<double>(i) * g.step_s;
    time_b[2 * i] = time[i];
    time_b[2 * i + 1] = time[i] + g.step_s;
  }
  std::vector<double> bins(nb), bin_b(2 * nb), widths(nb);
  for (size_t k = 0; k < nb; ++k) {
    bins[k] = (meta.layout.edges[k] + meta.layout.edges[k + 1]) / 2;
    bin_b[2 * k] = meta.layout.edges[k];
    bin_b[2 * k + 1] = meta.layout.edges[k + 1];
    widths[k] = meta.layout.edges[k + 1] - meta.layout.edges[k];
  }
  const size_t start[2] = {0, 0}, count_t[1] = {n}, count_tb[2] = {n, 2}, count_tbin[2] = {n, nb};
  // Per interval, or per interval and bin (2-D: count_tbin).
  const auto put = [&](int v, const std::vector<double>& x, const char* name, const size_t* count) {
    std::vector<double> y(x.size());
    for (size_t i = 0; i < x.size(); ++i) y[i] = for_float(x[i]);
    nc(nc_put_vara_double(id, v, start, count, y.data()), name);
  };
  const auto put_int = [&](int v, const std::vector<int32_t>& x, const char* name, const size_t* count) {
    nc(nc_put_vara_int(id, v, start, count, x.data()), name);
  };
  nc(nc_put_vara_double(id, v_time, start, count_t, time.data()), "time");
  nc(nc_put_vara_double(id, v_time_b, start, count_tb, time_b.data()), "time_bnds");
  nc(nc_put_var_double(id, v_bin, bins.data()), "diameter_bin");
  nc(nc_put_var_double(id, v_bin_b, bin_b.data()), "diameter_bin_bnds");
  nc(nc_put_var_double(id, v_width, widths.data()), "diameter_bin_width");
  put_station(nc, id, meta, v_lat, v_lon, v_alt, v_sid, v_sname);
  nc(nc_put_vara_schar(id, v_flag, start, count_t, reinterpret_cast<const signed char*>(r.flag.data())), "data_flag");
  put(v_frac, r.fraction, "recorded_fraction", count_t);
  put_int(v_part, g.particles, "particles", count_t);
  put_int(v_used, g.used, "particles_used", count_t);
  put_int(v_impl, g.implausible, "particles_implausible", count_t);
  put_int(v_cut, g.cut, "particles_cut", count_t);
  put_int(v_counts, g.counts, "counts", count_tbin);
  put(v_nd, r.nd, "drop_size_distribution", count_tbin);
  put(v_vbin, r.mean_speed, "mean_fall_speed", count_tbin);
  put(v_rr, r.rain_rate, "rain_rate", count_t);
  put(v_amount, r.amount, "rain_amount", count_t);
  put(v_acc, r.accumulation, "rain_accumulation", count_t);
  put(v_nt, r.nt, "total_concentration", count_t);
  put(v_dm, r.dm, "mass_weighted_mean_diameter", count_t);
  put(v_nw, r.nw, "normalized_intercept", count_t);
  put(v_z, r.z, "reflectivity_factor", count_t);
  put(v_dbz, r.dbz, "equivalent_reflectivity_factor", count_t);
  put(v_lwc, r.lwc, "liquid_water_content", count_t);
  put_int(v_unc, g.below_floor, "particles_uncorrected", count_t);
  put(v_nd_c, r.nd_c, "drop_size_distribution_corrected", count_tbin);
  put(v_rr_c, r.rain_rate_c, "rain_rate_corrected", count_t);
  put(v_amount_c, r.amount_c, "rain_amount_corrected", count_t);
  put(v_acc_c, r.accumulation_c, "rain_accumulation_corrected", count_t);
  put(v_nt_c, r.nt_c, "total_concentration_corrected", count_t);
  put(v_dm_c, r.dm_c, "mass_weighted_mean_diameter_corrected", count_t);
  put(v_nw_c, r.nw_c, "normalized_intercept_corrected", count_t);
  put(v_z_c, r.z_c, "reflectivity_factor_corrected", count_t);
  put(v_dbz_c, r.dbz_c, "equivalent_reflectivity_factor_corrected", count_t);
  put(v_lwc_c, r.lwc_c, "liquid_water_content_corrected", count_t);
  {
    std::vector<double> e(nb);
    for (size_t k = 0; k < nb; ++k) e[k] = for_float(r.efficiency[k]);
    nc(nc_put_var_double(id, v_eff, e.data()), "bin_detection_efficiency");
    nc(nc_put_var_schar(id, v_eff_f, reinterpret_cast<const signed char*>(r.efficiency_flag.data())),
       "bin_efficiency_flag");
  }
  if (nc.status != NC_NOERR) {
    nc_close(id);
    std::remove(tmp.c_str());
    return nc.fail(path, why);
  }
  return finish(id, tmp, path, nc, why);
}

}  // namespace dp
