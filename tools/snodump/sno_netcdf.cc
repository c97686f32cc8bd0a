#include "sno_netcdf.h"

#include <netcdf.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

namespace dp {

namespace {

constexpr size_t k_block_rows = 4096;
constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();
constexpr const char* k_time_units = "seconds since 1970-01-01 00:00:00";

/// x, or NaN when a float cannot hold it (values of a damaged file).
double for_float(double x) { return std::fabs(x) > 3.0e38 ? k_nan : x; }

double px(int32_t v) { return v >= 0 ? v : -1; }

const particle_column k_columns[] = {
    {"particle_time", NC_DOUBLE, k_time_units, "time at which the particle's lowest point reaches the plane of camera A",
     "time", [](const particle_values&, const particle_products& p) { return p.time; }},
    {"line_number", NC_DOUBLE, "1", "camera line of the particle's first line in camera A, counted from midnight",
     nullptr, [](const particle_values& v, const particle_products&) { return v.y_start; }},
    {"equivalent_diameter", NC_FLOAT, "mm", "diameter of the sphere of the particle's volume", nullptr,
     [](const particle_values& v, const particle_products&) { return v.eq_diam_mm; }},
    {"fall_speed", NC_FLOAT, "m s-1",
     "fall speed from the delay between the light planes, with the size-dependent height correction "
     "(used by the per-minute products)",
     nullptr, [](const particle_values& v, const particle_products&) { return v.speed_m_s; }},
    {"fall_speed_delay_only", NC_FLOAT, "m s-1", "fall speed from the plane distance and the delay alone", nullptr,
     [](const particle_values&, const particle_products& p) { return p.speed_delay_m_s; }},
    {"reference_fall_speed", NC_FLOAT, "m s-1", "fall speed of a rain drop of the particle's diameter", nullptr,
     [](const particle_values&, const particle_products& p) { return p.speed_ref_m_s; }},
    {"fall_speed_flag", NC_BYTE, nullptr, "fall speed against the reference law", nullptr,
     [](const particle_values&, const particle_products& p) { return static_cast<double>(p.verdict); }},
    {"product_flag", NC_BYTE, nullptr, "whether the particle is in the per-minute products, and why not", nullptr,
     [](const particle_values&, const particle_products& p) { return static_cast<double>(p.use); }},
    {"detection_efficiency", NC_FLOAT, "1", "probability that the pairing keeps a drop of the particle's diameter",
     nullptr, [](const particle_values&, const particle_products& p) { return p.efficiency; }},
    {"efficiency_flag", NC_BYTE, nullptr, "whether the particle's count is corrected for the drops the pairing loses",
     nullptr, [](const particle_values&, const particle_products& p) { return static_cast<double>(p.efficiency_flag); }},
    {"scale_a", NC_FLOAT, "mm", "pixel size of camera A at the particle, with the size correction", nullptr,
     [](const particle_values& v, const particle_products&) { return v.scale_a_mm; }},
    {"scale_b", NC_FLOAT, "mm", "pixel size of camera B at the particle, with the size correction", nullptr,
     [](const particle_values& v, const particle_products&) { return v.scale_b_mm; }},
    {"scale_h", NC_FLOAT, "mm", "distance the particle falls during one camera line", nullptr,
     [](const particle_values& v, const particle_products&) { return v.scale_h_mm; }},
    {"pixel_size_a", NC_FLOAT, "mm", "pixel size of camera A at the particle from the geometry alone", nullptr,
     [](const particle_values&, const particle_products& p) { return p.pixel_a_mm; }},
    {"pixel_size_b", NC_FLOAT, "mm", "pixel size of camera B at the particle from the geometry alone", nullptr,
     [](const particle_values&, const particle_products& p) { return p.pixel_b_mm; }},
    {"sampling_area", NC_FLOAT, "m2", "area in which both cameras see a particle of this size whole", nullptr,
     [](const particle_values&, const particle_products& p) { return p.area_m2; }},
    {"plane_distance", NC_FLOAT, "mm", "distance between the light planes at the particle", nullptr,
     [](const particle_values&, const particle_products& p) { return p.plane_dist_mm; }},
    {"x_min_a", NC_SHORT, "1", "first column of the particle in camera A", nullptr,
     [](const particle_values& v, const particle_products&) { return static_cast<double>(v.x_min_a); }},
    {"x_min_b", NC_SHORT, "1", "first column of the particle in camera B", nullptr,
     [](const particle_values& v, const particle_products&) { return static_cast<double>(v.x_min_b); }},
    {"x_centre_a", NC_FLOAT, "1", "centre column of the particle in camera A", nullptr,
     [](const particle_values&, const particle_products& p) { return p.centre_a; }},
    {"x_centre_b", NC_FLOAT, "1", "centre column of the particle in camera B", nullptr,
     [](const particle_values&, const particle_products& p) { return p.centre_b; }},
    {"width_a_px", NC_SHORT, "1", "width of the shadow in camera A, pixels", nullptr,
     [](const particle_values& v, const particle_products&) { return px(v.width_a_px); }},
    {"width_b_px", NC_SHORT, "1", "width of the shadow in camera B, pixels", nullptr,
     [](const particle_values& v, const particle_products&) { return px(v.width_b_px); }},
    {"height_a_lines", NC_SHORT, "1", "camera lines of the shadow in camera A", nullptr,
     [](const particle_values& v, const particle_products&) { return px(v.height_a_lines); }},
    {"height_b_lines", NC_SHORT, "1", "camera lines of the shadow in camera B", nullptr,
     [](const particle_values& v, const particle_products&) { return px(v.height_b_lines); }},
    {"width_a", NC_FLOAT, "mm", "width of the particle in camera A", nullptr,
     [](const particle_values&, const particle_products& p) { return p.width_a_mm; }},
    {"width_b", NC_FLOAT, "mm", "width of the particle in camera B", nullptr,
     [](const particle_values&, const particle_products& p) { return p.width_b_mm; }},
    {"height_a", NC_FLOAT, "mm", "height of the particle in camera A", nullptr,
     [](const particle_values&, const particle_products& p) { return p.height_a_mm; }},
    {"height_b", NC_FLOAT, "mm", "height of the particle in camera B", nullptr,
     [](const particle_values&, const particle_products& p) { return p.height_b_mm; }},
    {"axis_ratio", NC_FLOAT, "1", "mean height over mean width of the particle", nullptr,
     [](const particle_values&, const particle_products& p) { return p.axis_ratio; }},
    {"diff_lins", NC_SHORT, "1", "lines by which camera B sees the particle after camera A, start and end summed",
     nullptr, [](const particle_values& v, const particle_products&) { return static_cast<double>(v.diff_lins); }},
};
constexpr size_t k_ncols = sizeof k_columns / sizeof k_columns[0];

}  // namespace

const particle_column* particle_columns(size_t* n) {
  *n = k_ncols;
  return k_columns;
}

int64_t creation_time() {
  const char* fixed = std::getenv("SOURCE_DATE_EPOCH");
  if (fixed != nullptr && *fixed != '\0') {
    char* end = nullptr;
    const long long t = std::strtoll(fixed, &end, 10);
    if (*end == '\0' && t >= 0 && t <= 4294967295LL) return t;
  }
  return static_cast<int64_t>(std::time(nullptr));
}

bool nc_run::fail(const std::string& path, std::string* why) const {
  *why = path + ": " + where + ": " + nc_strerror(status);
  return false;
}

void nc_text_att(nc_run& nc, int ncid, int var, const char* name, const std::string& value) {
  nc(nc_put_att_text(ncid, var, name, value.size(), value.c_str()), name);
}

int nc_def_column(nc_run& nc, int ncid, const char* name, int type, int ndims, const int* dims, const char* units,
                  const char* long_name, const char* standard_name, bool deflate, bool coordinate) {
  int id = -1;
  if (!nc(nc_def_var(ncid, name, type, ndims, dims, &id), name)) return -1;
  if (deflate) nc(nc_def_var_deflate(ncid, id, 1, 1, 4), name);
  if (units != nullptr) nc_text_att(nc, ncid, id, "units", units);
  nc_text_att(nc, ncid, id, "long_name", long_name);
  if (standard_name != nullptr) nc_text_att(nc, ncid, id, "standard_name", standard_name);
  if (coordinate) return id;
  if (type == NC_FLOAT) {
    const float fill = std::numeric_limits<float>::quiet_NaN();
    nc(nc_put_att_float(ncid, id, "_FillValue", NC_FLOAT, 1, &fill), name);
  } else if (type == NC_DOUBLE) {
    nc(nc_put_att_double(ncid, id, "_FillValue", NC_DOUBLE, 1, &k_nan), name);
  }
  return id;
}

void nc_flag_atts(nc_run& nc, int ncid, int id, const std::vector<signed char>& values, const char* meanings) {
  nc(nc_put_att_schar(ncid, id, "flag_values", NC_BYTE, values.size(), values.data()), "flag_values");
  nc_text_att(nc, ncid, id, "flag_meanings", meanings);
}

void nc_efficiency_flag_atts(nc_run& nc, int ncid, int id) {
  nc_flag_atts(nc, ncid, id, {0, 1, 2}, "corrected efficiency_below_0.2_not_corrected no_model");
}

std::string efficiency_comment() {
  return "The *_corrected products weight each particle by 1 / detection_efficiency: below 1 mm the drops "
         "recorded at its diameter over the drops truly of it (the pairing loses small drops and moves them "
         "between recorded diameters), from 1 mm the probability that the pairing keeps a drop of its diameter; "
         "a model of the pairing from the header geometry, the calibration's width deviations, WA_WB and "
         "DELTA_HGT of the settings and the fall-speed law, for rain of the size distribution that explains the "
         "counts of small drops of the particle's minute and those around it (exp(-2.5 D) refined by one round "
         "of expectation maximisation; bin_detection_efficiency: exp(-2.5 D)); times the stream "
         "factor of the particle's minute (up to 3 mm): the share of drops the products count when drops of "
         "Marshall-Palmer rain of the minute's uncorrected rain rate arrive together over the share when they "
         "come one at a time (a drop whose own pair fails takes another drop's image: larger bins lose drops, "
         "the smallest gains the wrong pairs). Particles and bins whose efficiency is under 0.2 are not corrected "
         "and are flagged.";
}

namespace {

bool flush_block(netcdf_file& f, std::string* why) {
  if (f.filled == 0) return true;
  nc_run nc;
  const size_t start[1] = {f.written}, count[1] = {f.filled};
  for (size_t c = 0; c < k_ncols; ++c)
    if (!nc(nc_put_vara_double(f.ncid, f.varids[c], start, count, f.block[c].data()), k_columns[c].name))
      return nc.fail(f.path, why);
  f.written += f.filled;
  f.filled = 0;
  return true;
}

std::string speed_comment(const netcdf_meta& m) {
  return "Fall speeds are checked against " + speed_check_text(m.check) + "; implausible particles are " +
         (m.keep_implausible ? "kept in" : "left out of") +
         " the per-minute products. The sampling area of a particle is A_eff = (L_A - w_A) (L_B - w_B), L the "
         "width of a camera line and w the particle's shadow on it, both in mm at the particle's position from the "
         "header geometry; only particles seen whole by both cameras are counted. Per minute (dt = 60 s): "
         "N(D) = sum 1 / (A_eff v dt dD), R = pi/6 sum D^3 / (A_eff dt), Z = sum D^6 / (A_eff v dt), "
         "LWC = pi/6 rho_w sum D^3 / (A_eff v dt), Dm = M4 / M3, Nw = 4^4 / (pi rho_w) 10^3 LWC / Dm^4.";
}

}  // namespace

bool netcdf_begin(netcdf_file& f, const std::string& path, const int64_t particles, const sno_scan& scan,
                  const netcdf_meta& meta, std::string* why, const std::string& create_as) {
  f = netcdf_file{};
  f.path = path;
  f.meta = meta;
  f.start = scan.headers.empty() ? k_nan : static_cast<double>(scan.headers.front().hd.main_time);
  nc_run nc;
  const std::string& created = create_as.empty() ? path : create_as;
  if (!nc(nc_create(created.c_str(), NC_NETCDF4 | NC_CLOBBER, &f.ncid), "cannot create")) {
    f.ncid = -1;
    return nc.fail(f.path, why);
  }
  const int g = NC_GLOBAL;
  nc(nc_def_dim(f.ncid, "particle", static_cast<size_t>(particles), &f.dim_particle), "particle");
  nc(nc_def_dim(f.ncid, "nv", 2, &f.dim_nv), "nv");
  for (const particle_column& c : k_columns) {
    const int id = nc_def_column(nc, f.ncid, c.name, c.type, 1, &f.dim_particle, c.units, c.long_name, c.standard_name,
                           particles > 0);
    f.varids.push_back(id);
    if (id < 0) break;
    if (std::strcmp(c.name, "particle_time") == 0) {
      nc_text_att(nc, f.ncid, id, "calendar", "standard");
    } else {
      nc_text_att(nc, f.ncid, id, "coordinates", "particle_time");
    }
    if (std::strstr(c.name, "_px") != nullptr || std::strstr(c.name, "_lines") != nullptr) {
      const short fill = -1;
      nc(nc_put_att_short(f.ncid, id, "_FillValue", NC_SHORT, 1, &fill), c.name);
    }
    if (std::strcmp(c.name, "fall_speed_flag") == 0) {
      nc_flag_atts(nc, f.ncid, id, {0, 1, 2, 3}, "plausible too_slow too_fast not_checked");
      nc_text_att(nc, f.ncid, id, "comment", "reference: " + speed_check_text(meta.check));
    } else if (std::strcmp(c.name, "product_flag") == 0) {
      nc_flag_atts(nc, f.ncid, id, {0, 1, 2, 3, 4},
                "used implausible_fall_speed cut_at_line_end diameter_out_of_range incomplete_record");
    } else if (std::strcmp(c.name, "reference_fall_speed") == 0) {
      nc_text_att(nc, f.ncid, id, "comment", speed_check_text(meta.check));
    } else if (std::strcmp(c.name, "efficiency_flag") == 0) {
      nc_efficiency_flag_atts(nc, f.ncid, id);
    }
  }

  nc_text_att(nc, f.ncid, g, "Conventions", "CF-1.8, ACDD-1.3");
  nc_text_att(nc, f.ncid, g, "featureType", "point");
  nc_text_att(nc, f.ncid, g, "cdm_data_type", "Point");
  nc_text_att(nc, f.ncid, g, "title", "Precipitation particles and per-minute drop size distribution of " + meta.sno_name);
  nc_text_att(nc, f.ncid, g, "summary",
           "Every particle that a two-camera optical distrometer recorded in " + meta.sno_name +
               " with its time, equivalent diameter, fall speed, scales, shape and camera positions, and per "
               "minute of UTC the drop size distribution in 0.125 mm bins with rain rate, concentration, "
               "mass-weighted mean diameter, normalized intercept, reflectivity factor and liquid water content.");
  nc_text_att(nc, f.ncid, g, "keywords",
           "precipitation, rain, drop size distribution, fall speed, rain rate, radar reflectivity, disdrometer");
  nc_text_att(nc, f.ncid, g, "standard_name_vocabulary", "CF Standard Name Table v79");
  nc_text_att(nc, f.ncid, g, "source", "two-camera optical distrometer; particle file " + meta.sno_name);
  nc_text_att(nc, f.ncid, g, "instrument", "two-camera optical distrometer (line-scan cameras across two light planes)");
  nc_text_att(nc, f.ncid, g, "processing_level", "particles paired and evaluated; per-minute products derived");
  nc_text_att(nc, f.ncid, g, "date_created", iso_time(static_cast<double>(meta.created)));
  nc_text_att(nc, f.ncid, g, "history", iso_time(static_cast<double>(meta.created)) + " " + meta.history);
  nc_text_att(nc, f.ncid, g, "comment", speed_comment(meta) + " " + efficiency_comment());
  nc_text_att(nc, f.ncid, g, "fall_speed_reference", speed_check_text(meta.check));
  if (!scan.headers.empty()) {
    const main_hd& hd = scan.headers.front().hd;
    const short oeu = hd.oeu_nr;
    nc(nc_put_att_short(f.ncid, g, "oeu_number", NC_SHORT, 1, &oeu), "oeu_number");
    nc(nc_put_att_double(f.ncid, g, "line_frequency_hz", NC_DOUBLE, 1, &hd.line_fr), "line_frequency_hz");
  }
  nc(nc_enddef(f.ncid), "enddef");
  if (nc.status != NC_NOERR) {
    netcdf_abandon(f);
    return nc.fail(f.path, why);
  }
  f.block.assign(k_ncols, std::vector<double>(k_block_rows, 0.0));
  return true;
}

bool netcdf_particle(netcdf_file& f, const particle_values& v, const particle_products& p, std::string* why) {
  for (size_t c = 0; c < k_ncols; ++c) {
    const double x = k_columns[c].get(v, p);
    // A damaged header can make a value that a float cannot hold; it is written as missing.
    f.block[c][f.filled] = k_columns[c].type == NC_FLOAT ? for_float(x) : x;
  }
  if (++f.filled == k_block_rows) return flush_block(f, why);
  return true;
}

bool netcdf_end(netcdf_file& f, const minute_table& t, const efficiency_table* eff, std::string* why) {
  if (!flush_block(f, why)) return false;
  const std::vector<int64_t> axis = minute_axis(t, f.start);
  const size_t n = axis.size();
  nc_run nc;
  const int id = f.ncid, g = NC_GLOBAL;
  nc(nc_redef(id), "redef");
  int dim_time = -1, dim_bin = -1;
  nc(nc_def_dim(id, "time", n, &dim_time), "time");
  nc(nc_def_dim(id, "diameter_bin", k_diam_bins, &dim_bin), "diameter_bin");
  const int tb[2] = {dim_time, f.dim_nv}, bb[2] = {dim_bin, f.dim_nv}, tbin[2] = {dim_time, dim_bin};
  const bool z = n > 0;
  const int v_time = nc_def_column(nc, id, "time", NC_DOUBLE, 1, &dim_time, k_time_units, "start of the minute", "time", false, true);
  nc_text_att(nc, id, v_time, "calendar", "standard");
  nc_text_att(nc, id, v_time, "axis", "T");
  nc_text_att(nc, id, v_time, "bounds", "time_bnds");
  const int v_time_b = nc_def_column(nc, id, "time_bnds", NC_DOUBLE, 2, tb, k_time_units, "bounds of the minute", nullptr, false, true);
  const int v_bin = nc_def_column(nc, id, "diameter_bin", NC_FLOAT, 1, &dim_bin, "mm", "centre of the diameter bin", nullptr, false, true);
  nc_text_att(nc, id, v_bin, "bounds", "diameter_bin_bnds");
  const int v_bin_b =
      nc_def_column(nc, id, "diameter_bin_bnds", NC_FLOAT, 2, bb, "mm", "bounds of the diameter bin", nullptr, false, true);
  const int v_full = nc_def_column(nc, id, "full_minute", NC_BYTE, 1, &dim_time, nullptr,
                             "whether the minute lies wholly within the recording", nullptr, false);
  nc_flag_atts(nc, id, v_full, {0, 1}, "partial complete");
  const int v_part = nc_def_column(nc, id, "particles", NC_INT, 1, &dim_time, "1", "particle records in the minute", nullptr, false);
  const int v_used =
      nc_def_column(nc, id, "particles_used", NC_INT, 1, &dim_time, "1", "particles in the per-minute products", nullptr, false);
  const int v_impl = nc_def_column(nc, id, "particles_implausible", NC_INT, 1, &dim_time, "1",
                             "particles with an implausible fall speed", nullptr, false);
  const int v_counts =
      nc_def_column(nc, id, "counts", NC_INT, 2, tbin, "1", "particles used per diameter bin", nullptr, z);
  const int v_nd = nc_def_column(nc, id, "drop_size_distribution", NC_FLOAT, 2, tbin, "m-3 mm-1",
                           "number concentration of drops per diameter interval, N(D)", nullptr, z);
  const int v_rr = nc_def_column(nc, id, "rain_rate", NC_FLOAT, 1, &dim_time, "mm h-1", "rain rate", "rainfall_rate", false);
  const int v_nt = nc_def_column(nc, id, "total_concentration", NC_FLOAT, 1, &dim_time, "m-3",
                           "number concentration of drops", nullptr, false);
  const int v_dm = nc_def_column(nc, id, "mass_weighted_mean_diameter", NC_FLOAT, 1, &dim_time, "mm",
                           "mass-weighted mean diameter Dm = M4 / M3", nullptr, false);
  const int v_nw = nc_def_column(nc, id, "normalized_intercept", NC_FLOAT, 1, &dim_time, "m-3 mm-1",
                           "normalized intercept parameter Nw (Testud et al. 2001)", nullptr, false);
  const int v_z = nc_def_column(nc, id, "reflectivity_factor", NC_FLOAT, 1, &dim_time, "mm6 m-3",
                          "radar reflectivity factor Z = sum of D^6 per volume", nullptr, false);
  const int v_lwc = nc_def_column(nc, id, "liquid_water_content", NC_FLOAT, 1, &dim_time, "g m-3",
                            "mass concentration of liquid water in the drops", nullptr, false);
  const int v_unc = nc_def_column(nc, id, "particles_uncorrected", NC_INT, 1, &dim_time, "1",
                                  "used particles whose detection efficiency is under 0.2, counted as seen", nullptr, false);
  const int v_nd_c = nc_def_column(nc, id, "drop_size_distribution_corrected", NC_FLOAT, 2, tbin, "m-3 mm-1",
                                   "N(D) corrected for the drops the pairing loses", nullptr, z);
  const int v_rr_c = nc_def_column(nc, id, "rain_rate_corrected", NC_FLOAT, 1, &dim_time, "mm h-1",
                                   "rain rate corrected for the drops the pairing loses", "rainfall_rate", false);
  const int v_nt_c = nc_def_column(nc, id, "total_concentration_corrected", NC_FLOAT, 1, &dim_time, "m-3",
                                   "number concentration of drops, corrected", nullptr, false);
  const int v_dm_c = nc_def_column(nc, id, "mass_weighted_mean_diameter_corrected", NC_FLOAT, 1, &dim_time, "mm",
                                   "mass-weighted mean diameter, corrected", nullptr, false);
  const int v_nw_c = nc_def_column(nc, id, "normalized_intercept_corrected", NC_FLOAT, 1, &dim_time, "m-3 mm-1",
                                   "normalized intercept parameter Nw, corrected", nullptr, false);
  const int v_z_c = nc_def_column(nc, id, "reflectivity_factor_corrected", NC_FLOAT, 1, &dim_time, "mm6 m-3",
                                  "radar reflectivity factor, corrected", nullptr, false);
  const int v_lwc_c = nc_def_column(nc, id, "liquid_water_content_corrected", NC_FLOAT, 1, &dim_time, "g m-3",
                                    "liquid water content, corrected", nullptr, false);
  const int v_eff = nc_def_column(nc, id, "bin_detection_efficiency", NC_FLOAT, 1, &dim_bin, "1",
                                  "mean probability over the bin that the pairing keeps a drop", nullptr, false);
  const int v_eff_f = nc_def_column(nc, id, "bin_efficiency_flag", NC_BYTE, 1, &dim_bin, nullptr,
                                    "whether the bin's particles are corrected", nullptr, false);
  nc_efficiency_flag_atts(nc, id, v_eff_f);
  nc_text_att(nc, id, v_eff, "comment", efficiency_comment() + " From the file's first main header, for drops one at a time (without the stream factor).");
  for (const int v : {v_counts, v_part, v_used, v_impl, v_unc}) nc_text_att(nc, id, v, "cell_methods", "time: sum");
  for (const int v : {v_nd, v_rr, v_nt, v_dm, v_nw, v_z, v_lwc, v_nd_c, v_rr_c, v_nt_c, v_dm_c, v_nw_c, v_z_c, v_lwc_c})
    nc_text_att(nc, id, v, "cell_methods", "time: mean");
  if (t.any) {
    nc_text_att(nc, id, g, "time_coverage_start", iso_time(std::isfinite(f.start) && f.start < t.first_time ? f.start : t.first_time));
    nc_text_att(nc, id, g, "time_coverage_end", iso_time(t.last_time));
  }
  nc_text_att(nc, id, g, "time_coverage_resolution", "PT1M");
  nc(nc_enddef(id), "enddef");
  if (nc.status != NC_NOERR) {
    netcdf_abandon(f);
    return nc.fail(f.path, why);
  }

  std::vector<float> bins(k_diam_bins), bin_b(2 * k_diam_bins);
  for (int k = 0; k < k_diam_bins; ++k) {
    bins[k] = static_cast<float>(bin_lower(k) + k_diam_bin_mm / 2);
    bin_b[2 * k] = static_cast<float>(bin_lower(k));
    bin_b[2 * k + 1] = static_cast<float>(bin_lower(k + 1));
  }
  nc(nc_put_var_float(id, v_bin, bins.data()), "diameter_bin");
  nc(nc_put_var_float(id, v_bin_b, bin_b.data()), "diameter_bin_bnds");
  {
    std::vector<double> e(k_diam_bins, k_nan);
    std::vector<signed char> ef(k_diam_bins, 2);
    for (int k = 0; eff != nullptr && k < k_diam_bins; ++k) {
      e[k] = eff->bin[k];
      ef[k] = eff->bin[k] >= k_efficiency_floor ? 0 : 1;
    }
    nc(nc_put_var_double(id, v_eff, e.data()), "bin_detection_efficiency");
    nc(nc_put_var_schar(id, v_eff_f, ef.data()), "bin_efficiency_flag");
  }
  if (n > 0) {
    std::vector<double> time(n), time_b(2 * n), rr(n), nt(n), dm(n), nw(n), zz(n), lwc(n), nd(n * k_diam_bins);
    std::vector<double> rr_c(n), nt_c(n), dm_c(n), nw_c(n), zz_c(n), lwc_c(n), nd_c(n * k_diam_bins);
    std::vector<int> part(n), used(n), impl(n), counts(n * k_diam_bins), unc(n);
    std::vector<signed char> full(n);
    const minute_sums none;
    for (size_t i = 0; i < n; ++i) {
      const auto found = t.minutes.find(axis[i]);
      const minute_sums& s = found != t.minutes.end() ? found->second : none;
      const minute_values mv = minute_finish(s);
      time[i] = static_cast<double>(axis[i]) * k_minute_s;
      time_b[2 * i] = time[i];
      time_b[2 * i + 1] = time[i] + k_minute_s;
      full[i] = minute_complete(t, f.start, axis[i]) ? 1 : 0;
      part[i] = static_cast<int>(s.particles);
      used[i] = static_cast<int>(s.used);
      impl[i] = static_cast<int>(s.implausible);
      for (int k = 0; k < k_diam_bins; ++k) {
        counts[i * k_diam_bins + k] = static_cast<int>(s.counts[k]);
        nd[i * k_diam_bins + k] = for_float(mv.nd[k]);
        nd_c[i * k_diam_bins + k] = for_float(mv.nd_c[k]);
      }
      unc[i] = static_cast<int>(s.below_floor);
      rr_c[i] = for_float(mv.rain_rate_c);
      nt_c[i] = for_float(mv.concentration_c);
      dm_c[i] = for_float(mv.dm_c);
      nw_c[i] = for_float(mv.nw_c);
      zz_c[i] = for_float(mv.z_c);
      lwc_c[i] = for_float(mv.lwc_c);
      rr[i] = for_float(mv.rain_rate);
      nt[i] = for_float(mv.concentration);
      dm[i] = for_float(mv.dm);
      nw[i] = for_float(mv.nw);
      zz[i] = for_float(mv.z);
      lwc[i] = for_float(mv.lwc);
    }
    nc(nc_put_var_double(id, v_time, time.data()), "time");
    nc(nc_put_var_double(id, v_time_b, time_b.data()), "time_bnds");
    nc(nc_put_var_schar(id, v_full, full.data()), "full_minute");
    nc(nc_put_var_int(id, v_part, part.data()), "particles");
    nc(nc_put_var_int(id, v_used, used.data()), "particles_used");
    nc(nc_put_var_int(id, v_impl, impl.data()), "particles_implausible");
    nc(nc_put_var_int(id, v_counts, counts.data()), "counts");
    nc(nc_put_var_double(id, v_nd, nd.data()), "drop_size_distribution");
    nc(nc_put_var_double(id, v_rr, rr.data()), "rain_rate");
    nc(nc_put_var_double(id, v_nt, nt.data()), "total_concentration");
    nc(nc_put_var_double(id, v_dm, dm.data()), "mass_weighted_mean_diameter");
    nc(nc_put_var_double(id, v_nw, nw.data()), "normalized_intercept");
    nc(nc_put_var_double(id, v_z, zz.data()), "reflectivity_factor");
    nc(nc_put_var_double(id, v_lwc, lwc.data()), "liquid_water_content");
    nc(nc_put_var_int(id, v_unc, unc.data()), "particles_uncorrected");
    nc(nc_put_var_double(id, v_nd_c, nd_c.data()), "drop_size_distribution_corrected");
    nc(nc_put_var_double(id, v_rr_c, rr_c.data()), "rain_rate_corrected");
    nc(nc_put_var_double(id, v_nt_c, nt_c.data()), "total_concentration_corrected");
    nc(nc_put_var_double(id, v_dm_c, dm_c.data()), "mass_weighted_mean_diameter_corrected");
    nc(nc_put_var_double(id, v_nw_c, nw_c.data()), "normalized_intercept_corrected");
    nc(nc_put_var_double(id, v_z_c, zz_c.data()), "reflectivity_factor_corrected");
    nc(nc_put_var_double(id, v_lwc_c, lwc_c.data()), "liquid_water_content_corrected");
  }
  const int closed = nc_close(id);
  f.ncid = -1;
  nc(closed, "close");
  if (nc.status != NC_NOERR) return nc.fail(f.path, why);
  return true;
}

void netcdf_abandon(netcdf_file& f) {
  if (f.ncid >= 0) nc_close(f.ncid);
  f.ncid = -1;
}

}  // namespace dp
