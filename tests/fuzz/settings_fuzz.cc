// Fuzz target of the settings file parser: the bytes are written as "DROPPAIR.SET" in the scratch
// directory and read with get_settings. A missing key or a value the run cannot use ends through
// the fatal path; after a successful read every path is empty or one word ending in the
// separator, and WA_WB lies in (0, 1] (the matching divides by it).
#include <cctype>
#include <string>

#include "control/settings.h"
#include "fuzz/fuzz_harness.h"
#include "platform/paths.h"

namespace dp_fuzz {

int fuzz_settings(const uint8_t* data, size_t size) {
  init();
  write_file("DROPPAIR.SET", data, size);
  dp::reset_settings();
  if (!guarded([] { dp::get_settings(); })) return 0;
  if (!(dp::set_par.WA_WB > 0.0f && dp::set_par.WA_WB <= 1.0f))
    finding("WA_WB %g was taken\n", static_cast<double>(dp::set_par.WA_WB));
  for (const std::string* path : {&dp::set_par.HARDC_P, &dp::set_par.RAW_PATH, &dp::set_par.HYD_PATH}) {
    if (!path->empty() && path->back() != dp::path_separator()) finding("a path lacks its separator\n");
    for (const char c : *path)
      if (c == '\0' || std::isspace(static_cast<unsigned char>(c)) != 0) finding("a path holds a blank\n");
  }
  return 0;
}

}  // namespace dp_fuzz
