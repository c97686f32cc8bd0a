#include "headers/chronology.h"

#include "control/messages.h"

namespace dp {

chronology_state chronology;

void check_queue(const char* name, char tag, const particle_rec* oldest) {
  if (oldest == nullptr) return;
  // Every record is compared with the oldest one, not with its neighbour.
  const double first = oldest->y_start;
  for (const particle_rec* rec = oldest; rec != nullptr; rec = rec->prev) {
    if (rec->y_start < first) {
      fatal_announced("%s %c -> Chronology - Error %lu %lu\n", name, tag, line_lu(rec->y_start),
                      line_lu(first));
    }
  }
}

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
