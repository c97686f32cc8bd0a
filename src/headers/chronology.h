// The two order checks of particles by their first line: the queue check, run when a camera's
// assign queue is moved onto its wait queue (a violation ends the run), and the matched-pair check,
// run before a pair is written (a violation drops the pair and writes one 'C' to the error log, so
// repeated drops show as a run of 'C' on one line).
// Owns prev_match, the first line of the A particle of the last pair that passed; the queue check
// keeps no state and never changes a queue.
#pragma once

#include "lines/line_records.h"

namespace dp {

struct chronology_state {
  double prev_match = 0.0;  ///< y_start of the last A particle that passed check_match; only grows
};

extern chronology_state chronology;

/// Walks from oldest along prev; returns only if no record starts before oldest. Otherwise
/// "<name> <tag> -> Chronology - Error <y_start> <oldest y_start>\n" in the error log, fatal.
void check_queue(const char* name, char tag, const particle_rec* oldest);
/// 1 when the pair with A particle a may be written (a starts at or after prev_match), else 0.
int check_match(const particle_rec* a);
/// prev_match back to 0.
void reset_chronology();

}  // namespace dp
