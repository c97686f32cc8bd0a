// STUB
#include "headers/chronology.h"
namespace dp {
chronology_state chronology;
void check_queue(const char*, char, const particle_rec*) {}
int check_match(const particle_rec*) { return 1; }
void reset_chronology() { chronology = chronology_state{}; }
}  // namespace dp
