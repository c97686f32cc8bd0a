#include "headers/chronology.h"

#include "base/messages.h"

namespace dp {

chronology_state chronology;

int check_match(const particle_rec* a) {
  if (a->y_start < chronology.prev_match) {
    hprintf2("\nFind_m -> Chronology - Error ");
    log_printf("C");
    return 0;
  }
  chronology.prev_match = a->y_start;
  return 1;
}

void reset_chronology() { chronology = chronology_state{}; }

}  // namespace dp
