// Camera matching: pairs each camera-A particle on its wait queue with the first camera-B
// particle within the window after it that passes the match test, hands the pair to the particle
// file writer and releases both; discards particles that can no longer find a partner.
// Keeps no state between calls.
#pragma once

#include <cstdint>

#include "lines/line_records.h"

namespace dp {

/// 1 when a and b can show the same particle, 0 otherwise.
int match_test(const particle_rec* a, const particle_rec* b);
/// One matching pass over both wait queues; *total counts accepted pairs over the run.
/// match_limit is the line number of camera A's newest line (+infinity at the end of the data).
void find_m(int32_t* total, double match_limit);

}  // namespace dp
