// The run's settings, read once at start-up from "DROPPAIR.SET" in the working directory, before
// the error log exists. A setting's line begins with its key in column 1 (the first such line
// counts) and its value field runs from column 61 to column 79; values are converted as the
// program always has (see convert_value). Text past column 79 is never taken as a key or a value.
// A value the run cannot use as written ends the run; a value that is used as today but holds
// more than is read, or a key no step consults, gives a warning. Every text this unit writes to
// standard error is also kept, so that the error log, opened later, can hold it (settings_to_log).
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

/// What the reading said: every text written to standard error, and whether it failed.
struct settings_read_rec {
  std::string notes;
  bool failed = false;
};

extern settings_read_rec settings_read;

/// How a value field is converted.
enum class set_conv { word, int16, real };

/// Fills set_par from "DROPPAIR.SET". A failure writes its texts (the announcement on the
/// console where the text says so) and returns false; warnings are written and the read goes on.
bool read_settings();
/// read_settings, ending the run (exit 1) when it fails.
void get_settings();
/// Writes the kept texts into the error log (call it once the log is open); ends the run when
/// the read failed, so that the announcement "written to DROPPAIR.ERR" is true.
void settings_to_log();
/// Appends the separator to a non-empty path that lacks it; returns 1 when it appended one.
int add_sep(std::string& path);
/// Converts a value field (the text from column 61 on) into *field (a std::string, int16_t or
/// float, by conv): word, the first run of non-blanks; int16, an optional sign and digits, the
/// low 16 bits kept; real, the longest decimal prefix rounded once to single precision. A field
/// with no value leaves *field as it was.
void convert_value(const char* text, void* field, set_conv conv);
/// Back to the initial (empty) settings and notes.
void reset_settings();

}  // namespace dp
