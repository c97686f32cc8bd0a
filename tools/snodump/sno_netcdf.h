// The netCDF form of a run's products (netCDF-4, compressed), following the CF conventions 1.8
// and the attribute conventions for data discovery 1.3: a per-particle table as discrete sampling
// geometry of feature type "point" along the dimension `particle`, and the per-minute products on
// `time` x `diameter_bin` (0.125 mm bins to 10 mm, with bounds). The particle table is written
// in blocks while the caller walks the .sno; the minute part and the time coverage are added at
// the end. Owns the open file in the writer record its caller keeps; never prints.
//
// Per particle (dimension particle; coordinates "particle_time"):
//   particle_time          double  s since 1970-01-01 00:00:00 UTC (day of the header + line / line_fr)
//   line_number            double  y_start, camera lines since midnight of the recording day
//   equivalent_diameter    float   mm          fall_speed, fall_speed_delay_only, reference_fall_speed  m s-1
//   fall_speed_flag        byte    0 plausible, 1 too slow, 2 too fast, 3 not checked
//   product_flag           byte    0 used, 1 implausible fall speed, 2 cut at a line end,
//                                  3 diameter out of the bins, 4 incomplete record
//   scale_a, scale_b, scale_h        float mm (the record's, corrected)
//   pixel_size_a, pixel_size_b       float mm (geometric, at the particle)
//   sampling_area                    float m2 (A_eff)      plane_distance  float mm
//   x_min_a, x_min_b                 short columns          x_centre_a, x_centre_b  float columns
//   width_a_px, width_b_px, height_a_lines, height_b_lines  short (-1: image not decodable)
//   width_a, width_b, height_a, height_b  float mm           axis_ratio  float 1
//   diff_lins                        short lines
// Per minute (dimension time; bounds time_bnds) and per bin (dimension diameter_bin):
//   full_minute byte, particles, particles_used, particles_implausible int,
//   counts(time, diameter_bin) int, drop_size_distribution(time, diameter_bin) float m-3 mm-1,
//   rain_rate mm h-1, total_concentration m-3, mass_weighted_mean_diameter mm,
//   normalized_intercept m-3 mm-1, reflectivity_factor mm6 m-3, liquid_water_content g m-3
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sno_efficiency.h"
#include "sno_products.h"
#include "sno_reader.h"

namespace dp {

/// Value of one particle column for a particle.
using column_getter = double (*)(const particle_values&, const particle_products&);

/// One variable of the particle table: its netCDF type (nc_type), units, names and getter.
struct particle_column {
  const char* name;
  int type;
  const char* units;  ///< null: none
  const char* long_name;
  const char* standard_name;  ///< null: CF has none
  column_getter get;
};

/// The particle table's columns, particle_time first; *n gets their number.
const particle_column* particle_columns(size_t* n);

/// Runs the netCDF calls of one stage; the first failure stops it with its text.
struct nc_run {
  int status = 0;
  std::string where;
  bool operator()(int s, const char* what) {
    if (status == 0 && s != 0) {
      status = s;
      where = what;
    }
    return status == 0;
  }
  /// "path: where: the library's text", into *why; false.
  bool fail(const std::string& path, std::string* why) const;
};

/// A text attribute of var (NC_GLOBAL for the file).
void nc_text_att(nc_run& nc, int ncid, int var, const char* name, const std::string& value);
/// A variable with its units, names and (floating point, unless a coordinate) NaN as missing value.
int nc_def_column(nc_run& nc, int ncid, const char* name, int type, int ndims, const int* dims, const char* units,
                  const char* long_name, const char* standard_name, bool deflate, bool coordinate = false);
/// flag_values and flag_meanings of a byte flag variable.
void nc_flag_atts(nc_run& nc, int ncid, int id, const std::vector<signed char>& values, const char* meanings);
/// flag_values and flag_meanings of an efficiency_use variable.
void nc_efficiency_flag_atts(nc_run& nc, int ncid, int id);
/// What the corrected products are, for a comment attribute.
std::string efficiency_comment();

/// date_created of a product file: SOURCE_DATE_EPOCH when set (reproducible products), else now.
int64_t creation_time();

/// What the file says about where it comes from.
struct netcdf_meta {
  std::string sno_name;  ///< file name of the particle file
  std::string history;   ///< the command line
  int64_t created = 0;   ///< seconds since 1970 of date_created
  speed_check check;
  bool keep_implausible = false;
};

/// An open netCDF file being written.
struct netcdf_file {
  int ncid = -1;
  std::string path;
  int dim_particle = -1, dim_nv = -1;
  std::vector<int> varids;                  ///< one per particle column
  std::vector<std::vector<double>> block;   ///< values not yet written, per column
  size_t filled = 0;                        ///< rows in block
  size_t written = 0;                       ///< rows in the file
  double start = 0;                         ///< valid_since of the first main header (NaN: none)
  netcdf_meta meta;
};

/// Creates path (replacing it) for a particle table of particles rows under the headers of scan;
/// with create_as, creates that file instead (a temporary name the caller renames to path once
/// netcdf_end succeeded), and messages still name path. After a failure here or later the
/// library may crash in its exit handler: the caller ends the process without running them.
bool netcdf_begin(netcdf_file& f, const std::string& path, int64_t particles, const sno_scan& scan,
                  const netcdf_meta& meta, std::string* why, const std::string& create_as = "");
/// Adds one particle's row.
bool netcdf_particle(netcdf_file& f, const particle_values& v, const particle_products& p, std::string* why);
/// Writes the last rows, the per-minute part and the time coverage, and closes the file.
bool netcdf_end(netcdf_file& f, const minute_table& t, const efficiency_table* eff, std::string* why);
/// Closes the file without finishing it (after a failure).
void netcdf_abandon(netcdf_file& f);

}  // namespace dp
