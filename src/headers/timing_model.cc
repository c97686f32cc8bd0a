// STUB
#include "headers/timing_model.h"
namespace dp {
timing_state timing;
void main_tim() {}
void book_minute(int16_t, const frame_rec*, int32_t) {}
bool minute_of(double, double, int32_t*) { return false; }
void reset_timing() {}
}  // namespace dp
