// The two order checks of particles: the queue check run when a camera's assign queue is moved
// onto its wait queue (a violation ends the run), and the matched-pair check run before a pair is
// written (a violation drops the pair and writes one 'C' to the error log).
// Owns prev_match, the first line of the A particle of the last pair that passed.
#pragma once

#include "lines/line_records.h"

namespace dp {

struct chronology_state {
  double prev_match = 0.0;
};

extern chronology_state chronology;

/// Returns only if no particle of the queue whose oldest record is oldest starts before it.
void check_queue(const char* name, char tag, const particle_rec* oldest);
/// 1 when the pair with A particle a may be written, 0 when it is out of order.
int check_match(const particle_rec* a);
/// prev_match back to 0.
void reset_chronology();

}  // namespace dp
