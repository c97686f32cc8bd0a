// The run's settings, read once at start-up from "DROPPAIR.SET" in the working directory, before
// the error log exists (failures go to the console's standard error). Each key is looked up by
// reopening the file and reading it from the top in pieces of 79 characters; the first line that
// begins with the key counts and its value starts at column 61. Every key is required.
#pragma once

#include <cstdint>
#include <string>

namespace dp {

/// The settings record; each field is named like its key. Paths end in the platform separator
/// (or are empty) once get_settings has run.
struct set_par_rec {
  std::string HARDC_P;
  std::string RAW_PATH;   ///< directory of the .abh file
  std::string HYD_PATH;   ///< directory of the .sno and .shd files (created when missing)
  int16_t DELTA_HGT = 0;  ///< largest line-count difference of a matched pair
  float VEL_MIN = 0, F_VMIN = 0, VEL_MAX = 0, F_VMAX = 0;
  float OBL_MIN = 0, F_OMIN = 0, OBL_MAX = 0, F_OMAX = 0;
  float WA_WB = 0;  ///< lower bound of width(A)/width(B); its reciprocal is the upper bound
  int16_t RANK_ATLAS = 0;
  int16_t RANK_PB = 0;
};

extern set_par_rec set_par;

/// How rd_set converts the value field.
enum class set_conv { word, int16, real };

/// Fills set_par from "DROPPAIR.SET" or ends the program.
void get_settings();
/// Reads one key into *field (a std::string, int16_t or float, by conv); returns only when found.
void rd_set(const char* key, void* field, set_conv conv);
/// Appends the separator to a non-empty path that lacks it; returns 1 when it appended one.
int add_sep(std::string& path);
/// Converts a value field (the text from column 61 on) as rd_set does; exposed for tests.
void convert_value(const char* text, void* field, set_conv conv);
/// Back to the initial (empty) settings.
void reset_settings();

}  // namespace dp
