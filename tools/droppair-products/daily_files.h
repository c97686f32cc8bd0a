// The daily product files of a station, netCDF-4 (compressed), CF-1.8 and ACDD-1.3. Per UTC day
// two files, so that gridded products and particles never share a dimension:
//   <station_id>_<YYYYMMDD>_dsd_<step>s.nc   gridded products, featureType "timeSeries"
//   <station_id>_<YYYYMMDD>_particles.nc     particle table, featureType "point"
// station_id comes from the station file, else "oeu<nr>" from the main headers. Owns the open
// files in the writer records its caller keeps; never prints.
//
// Gridded file. Dimensions: time (UNLIMITED, the record dimension), diameter_bin, nv = 2.
// Every interval of the day is present, whether recorded or not, so that daily files concatenate
// along time into one regular axis.
//   time(time)                    double  seconds since 1970-01-01 00:00:00 UTC, start of the interval;
//                                         standard_name time, axis T, calendar standard, bounds time_bnds
//   time_bnds(time, nv)           double  [start, end) of the interval
//   diameter_bin(diameter_bin)    float   mm, centre of the bin; bounds diameter_bin_bnds
//   diameter_bin_bnds(diameter_bin, nv)  float mm, lower and upper edge
//   diameter_bin_width(diameter_bin)     float mm
//   station_id                    string  scalar, cf_role timeseries_id
//   station_name                  string  scalar
//   latitude, longitude, altitude double  scalar coordinates: degrees_north, degrees_east, m (positive up);
//                                         _FillValue NaN when no station file gives them
//   data_flag(time)               byte    0 complete, 1 partly recorded, 2 not recorded
//                                         (flag_values, flag_meanings "complete partly_recorded not_recorded")
//   recorded_fraction(time)       float   1: seconds of the interval covered by a particle file / step
//   particles(time)               int     particle records timed in the interval (each counted once)
//   particles_used(time)          int     of them in the products
//   particles_implausible(time)   int     of them with an implausible fall speed (used or not)
//   particles_cut(time)           int     of them cut at a line end (left out)
//   counts(time, diameter_bin)    int     particles used per bin
//   drop_size_distribution(time, diameter_bin)  float  m-3 mm-1, N(D)
//   mean_fall_speed(time, diameter_bin)         float  m s-1, NaN where the bin is empty
//   rain_rate(time)               float   mm h-1, standard_name lwe_precipitation_rate
//   rain_amount(time)             float   mm, rain in the interval; standard_name
//                                         lwe_thickness_of_precipitation_amount, cell_methods "time: sum"
//   rain_accumulation(time)       float   mm, accumulated since 00:00 UTC of the day (end of the interval)
//   total_concentration(time)     float   m-3
//   mass_weighted_mean_diameter(time)  float mm      normalized_intercept(time)  float m-3 mm-1
//   reflectivity_factor(time)     float   mm6 m-3    equivalent_reflectivity_factor(time) float dBZ
//   liquid_water_content(time)    float   g m-3
// The same corrected for the drops the pairing loses (day_grid.h), named as snodump names them:
//   particles_uncorrected(time)   int     used particles under the efficiency floor, counted as seen
//   drop_size_distribution_corrected(time, diameter_bin), rain_rate_corrected, rain_amount_corrected,
//   rain_accumulation_corrected, total_concentration_corrected, mass_weighted_mean_diameter_corrected,
//   normalized_intercept_corrected, reflectivity_factor_corrected,
//   equivalent_reflectivity_factor_corrected, liquid_water_content_corrected   float, units as above;
//                                         NaN where an interval holds a particle without a model
//   bin_detection_efficiency(diameter_bin)   float 1, mean over the bin (its comment says from which files)
//   bin_efficiency_flag(diameter_bin)  byte  0 corrected, 1 under 0.2 (not corrected), 2 no model
// Intervals not recorded hold 0 counts and NaN (_FillValue) products; a partly recorded interval is
// normalised by the seconds recorded, its rain amount is what fell in them.
//
// Particle file. Dimension particle (UNLIMITED); scalar coordinates as above; every variable has
// coordinates "time latitude longitude altitude".
//   time(particle)                double  seconds since 1970-01-01 00:00:00 UTC
//   source_file(particle)         short   index into the input_files attribute (0-based line)
//   line_number                   double  y_start, camera lines since midnight of the recording day
//   equivalent_diameter           float   mm
//   fall_speed, fall_speed_delay_only, reference_fall_speed  float m s-1
//   fall_speed_flag               byte    0 plausible, 1 too slow, 2 too fast, 3 not checked
//   product_flag                  byte    0 used, 1 implausible fall speed, 2 cut at a line end,
//                                         3 diameter outside the bins, 4 incomplete record
//   detection_efficiency          float   1, drops recorded at its diameter per drop truly of it
//   efficiency_flag               byte    0 corrected, 1 under 0.2 (not corrected), 2 no model
//   scale_a, scale_b, scale_h, pixel_size_a, pixel_size_b, plane_distance, width_a, width_b,
//   height_a, height_b            float   mm        sampling_area float m2    axis_ratio float 1
//   x_min_a, x_min_b, width_a_px, width_b_px, height_a_lines, height_b_lines, diff_lins  short
//
// Global attributes of both: Conventions "CF-1.8, ACDD-1.3", featureType, title, summary, id,
// institution, license, creator_name, creator_email (the station file's contact), station_id,
// station_name, sensor_name, sensor_serial_number, oeu_nr, geospatial_lat_min/max,
// geospatial_lon_min/max, geospatial_vertical_min/max, geospatial_vertical_positive "up",
// time_coverage_start/end (ISO 8601), time_coverage_duration "P1D", time_coverage_resolution
// ("PT60S" for the step), date_created, history (the command line), software_name,
// software_version, software_commit, product_options (time step, bins, speed check),
// fall_speed_law ("atlas" or "beard"), fall_speed_tolerance ("50%" or "0.5m/s"),
// keep_implausible (0/1), input_files (one line per input used for the day:
// "<name> <bytes> <sha256>"), settings and calibration (the texts the particle files were made
// with, each preceded by the input names it applies to), source_fingerprint (SHA-256 over the
// inputs and options; equal fingerprints mean equal products).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "day_grid.h"
#include "input_set.h"
#include "sno_netcdf.h"
#include "station_file.h"

namespace dp {

/// What every product file of a call says about where it comes from.
struct product_meta {
  station_info station;
  int16_t oeu_nr = 0;
  double line_fr = 0;
  speed_check check;
  grid_layout layout;
  std::string history;       ///< the command line
  int64_t created = 0;       ///< seconds since 1970 of date_created
  std::string options;       ///< the options that shape the products, as text
  std::string station_id;    ///< of the file names
  int particle_deflate = 0;  ///< deflate level of the particle tables, 0: none
};

/// The inputs of one day: the files that cover some of it, in order.
struct day_inputs {
  std::vector<const input_file*> files;
  std::string fingerprint;  ///< SHA-256 over the files (name, size, SHA-256, cut, settings and
                            ///< calibration texts), the options and the efficiency model's version
};

/// The fingerprint of a day's inputs under the options.
std::string day_fingerprint(const std::vector<const input_file*>& files, const product_meta& meta);

/// "<id>_<YYYYMMDD>_dsd_<step>s.nc" and "<id>_<YYYYMMDD>_particles.nc".
std::string grid_file_name(const std::string& id, int64_t day, int32_t step_s);
std::string particle_file_name(const std::string& id, int64_t day);
/// "YYYY-MM-DD" of a day since 1970.
std::string day_text(int64_t day);

/// The source_fingerprint attribute of an existing product file, empty when it has none.
std::string read_fingerprint(const std::string& path);

/// A particle table being written, in a temporary file renamed into place at the end.
struct particle_table {
  int ncid = -1;
  std::string path, tmp;
  std::vector<int> varids;                  ///< time, source_file, then one per particle column
  std::vector<std::vector<double>> block;   ///< rows not yet written, per variable
  size_t filled = 0, written = 0;
};

/// Creates the particle table of day at path.
bool table_begin(particle_table& t, const std::string& path, int64_t day, const product_meta& meta,
                 const day_inputs& in, std::string* why);
/// Adds one particle row; source is the index of its file in the day's inputs.
bool table_add(particle_table& t, const particle_values& v, const particle_products& p, int source, std::string* why);
/// Writes what is left and moves the file into place.
bool table_end(particle_table& t, std::string* why);
/// Closes and removes an unfinished table.
void table_abandon(particle_table& t);

/// What a day adds up to; kept in its gridded file (day_particles, day_particles_used,
/// day_rain_total_mm, day_recorded_fraction) so that a day left alone can still be reported.
struct day_totals {
  int64_t particles = 0, used = 0;
  double rain_mm = 0, recorded = 0;
};

/// Writes the gridded file of a day (through a temporary file renamed into place).
bool write_grid_file(const std::string& path, const day_grid& g, const day_products& r, const product_meta& meta,
                     const day_inputs& in, const day_totals& totals, std::string* why);

}  // namespace dp
