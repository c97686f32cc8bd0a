// The raw data file (".ab"): its name rebuilt from the command line, its opening and the check of
// its first record, which must be a main header whose length gives the file's format number.
// Owns the open stream and the format number; the record framing lives in record_scan, which
// reads the stream from the opening on.
//
// Record framing (all fields little-endian, records back to back from offset 0, no file header):
//   offset  width  type    meaning
//   0       2      int16   type: 1 line data camera A, 2 line data camera B, 3 main header,
//                          any other value a record that is passed over
//   2       2      int16   length of the payload that follows (the 4 header bytes not counted)
//   4       length bytes   payload
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace dp {

struct raw_file_state {
  std::string ab_path;         ///< ab_dir + "V%02d%03d_%01d.ab" rebuilt from sno_base
  std::FILE* ab_fp = nullptr;  ///< the raw data file, read as raw bytes
  int16_t ab_format = 0;       ///< 1, 2 or 3 from the first record's length (38, 54, 56)
};

extern raw_file_state raw_file;

/// Opens and checks the raw data file named by the argument's directory ab_dir and base name
/// sno_base (see raw_file_name); ends the program on failure.
void rawfil(const std::string& sno_base, const std::string& ab_dir);
/// The first half of rawfil: opens the file (ab_fp, ab_path) and hands it to the record readers
/// (scan_from), or ends the program, saying how the name was rebuilt when it differs from the
/// argument's.
void rawfil_open(const std::string& sno_base, const std::string& ab_dir);
/// The second half of rawfil: checks the first record of the open file and sets ab_format, or
/// ends the program.
void rawfil_check();
/// The file name rebuilt from a base name (characters 1-2, 3-5 and 7 taken like atoi).
std::string raw_file_name(const std::string& sno_base);
/// Back to "no file open" (closes an open stream).
void reset_raw_file();

}  // namespace dp
