// The order check of matched pairs by the first line of their A particle, run before a pair is
// written: a violation drops the pair and writes one 'C' to the error log, so repeated drops show
// as a run of 'C' on one line. (The order check of the queues lives with the work pool.)
// Owns prev_match, the first line of the A particle of the last pair that passed.
#pragma once

#include "lines/line_records.h"

namespace dp {

struct chronology_state {
  double prev_match = 0.0;  ///< y_start of the last A particle that passed check_match; only grows
};

extern chronology_state chronology;

/// 1 when the pair with A particle a may be written (a starts at or after prev_match), else 0.
int check_match(const particle_rec* a);
/// prev_match back to 0.
void reset_chronology();

}  // namespace dp
