// Fuzz target of the whole run: the bytes are a raw data file, processed from the first step to
// the end with real settings and calibration, all output in the scratch directory. The run ends
// normally or through its fatal path; either way the three output files must agree with each
// other and with the raw file (support/output_check.h). The replay driver runs each input twice
// and wants the same files both times, which checks that reset_run_state resets every unit.
#include <cstdio>
#include <string>
#include <vector>

#include "control/processing_loop.h"
#include "control/settings.h"
#include "control/startup.h"
#include "fuzz/fuzz_harness.h"
#include "support/output_check.h"

namespace dp_fuzz {

namespace {

constexpr const char* k_settings =
    "settings of the fuzzed runs             (values from column 61 on)\n"
    "HARDC_P  directory for hard copies\n"
    "RAW_PATH  directory of the raw-header index file\n"
    "HYD_PATH  directory of particle and header files\n"
    "DELTA_HGT  max. difference of line counts A/B               10\n"
    "VEL_MIN  lowest plausible fall speed (m/s)                  0.5\n"
    "F_VMIN  factor for VEL_MIN                                  0.6\n"
    "VEL_MAX  highest plausible fall speed (m/s)                 12.0\n"
    "F_VMAX  factor for VEL_MAX                                  1.4\n"
    "OBL_MIN  lowest plausible oblateness                        0.5\n"
    "F_OMIN  factor for OBL_MIN                                  0.8\n"
    "OBL_MAX  highest plausible oblateness                       1.1\n"
    "F_OMAX  factor for OBL_MAX                                  1.2\n"
    "WA_WB  lower bound of width ratio A/B                       0.7\n"
    "RANK_ATLAS  rank of the speed relation                      3\n"
    "RANK_PB  rank of the shape relation                         2\n";

constexpr const char* k_corrfact =
    "Correction factors in percent for relative threshold\n"
    "fuzzing instrument, calibration no.                   17\n"
    "diameter:    0.30   0.50   0.75   1.00   1.50   2.00   3.00   4.00   5.50   7.00\n"
    "deviation of the measured from the true size in percent\n"
    "height A:    5.00   4.00   3.00   2.50   2.00   1.50   1.00   0.50   0.00   0.00\n"
    "height B:    4.00   3.50   3.00   2.00   1.50   1.00   0.50   0.00   0.00  -0.50\n"
    "width A :    8.00   6.00   4.50   3.50   2.50   2.00   1.00   0.50   0.00  -1.00\n"
    "width B :    7.00   5.50   4.00   3.00   2.00   1.50   1.00   0.00  -0.50  -1.00\n";

void write_text(const char* name, const char* text) {
  write_file(name, reinterpret_cast<const uint8_t*>(text), std::char_traits<char>::length(text));
}

// One run of the raw file written from data; true when it ended normally.
bool run_once(const uint8_t* data, size_t size) {
  for (const char* name : {"V05123_1.sno", "V05123_1.shd", "V05123_1.abh"}) std::remove(name);
  write_file("V05123_1.ab", data, size);
  dp::reset_run_state();
  const char* const argv[] = {"droppair", "V05123_1.ab"};
  bool finished = false;
  guarded([&] {
    dp::EvaluateArg(2, argv);
    dp::set_loop_options({false, 0, dp::startup.sno_base, dp::startup.ab_dir});
    dp::start_processing();
    while (dp::process_step() != 0) {
    }
    finished = true;
  });
  std::fflush(nullptr);
  return finished;
}

}  // namespace

int fuzz_whole_run(const uint8_t* data, size_t size) {
  init();
  static bool ready = false;
  if (!ready) {
    ready = true;
    write_text("DROPPAIR.SET", k_settings);
    write_text("corrfact.dat", k_corrfact);
    dp::reset_settings();
    if (!guarded([] { dp::get_settings(); })) finding("the settings of the whole run do not read\n");
  }
  const bool finished = run_once(data, size);
  const dp_test::run_outputs out = dp_test::read_outputs("V05123_1");
  const std::vector<uint8_t> raw(data, data + size);
  dp_test::output_expectations expect;
  expect.raw = &raw;
  expect.finished = finished;
  const std::string why = dp_test::check_outputs(out, expect);
  if (!why.empty()) finding("after a %s end: %s\n", finished ? "normal" : "fatal", why.c_str());
#ifndef DROPPAIR_LIBFUZZER
  // Replaying: the same input once more gives the same files, or reset_run_state missed some state.
  const bool again = run_once(data, size);
  const dp_test::run_outputs out2 = dp_test::read_outputs("V05123_1");
  if (again != finished || out2.sno != out.sno || out2.shd != out.shd || out2.abh != out.abh)
    finding("a second run of the same input in the same process wrote other files\n");
#endif
  return 0;
}

}  // namespace dp_fuzz
