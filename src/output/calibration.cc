// STUB
#include "output/calibration.h"
namespace dp {
calibration_state calib;
void tables() {}
void reset_calibration() { calib = calibration_state{}; }
}  // namespace dp
