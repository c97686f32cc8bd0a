// Fuzz target of the calibration file parser: the bytes are written as "corrfact.dat" in the
// scratch directory and loaded with tables. Anchors that cannot form a table end through the
// fatal path; anything else must load without touching memory it does not own.
#include "fuzz/fuzz_harness.h"
#include "output/calibration.h"

namespace dp_fuzz {

int fuzz_calibration(const uint8_t* data, size_t size) {
  init();
  write_file("corrfact.dat", data, size);
  dp::reset_calibration();
  guarded([] { dp::tables(); });
  return 0;
}

}  // namespace dp_fuzz
