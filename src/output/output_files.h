// The output file set: names the .sno, .shd and .abh after the raw data file (in the HYD_PATH and
// RAW_PATH directories), creates them with their initial contents and keeps all three streams
// open for the main header step and the particle file writer. Also the table rewrites and the
// header append that those writers share.
#pragma once

#include <cstdio>
#include <string>

namespace dp {

struct output_files_state {
  std::string pix_nam;  ///< path of the .sno
  std::string hd_nam;   ///< path of the .shd
  std::string abh_nam;  ///< path of the .abh
  std::FILE* sno_fp = nullptr;
  std::FILE* shd_fp = nullptr;
  std::FILE* abh_fp = nullptr;
};

extern output_files_state out_files;

/// Creates the three files; either all three streams are open afterwards or the program ended.
void pixfil();
/// Closes any open stream and forgets the names.
void reset_output_files();

}  // namespace dp
