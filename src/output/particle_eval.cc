// STUB
#include "output/particle_eval.h"
namespace dp {
bool eval_dr(const particle_rec*, const particle_rec*, eval_result*) { return false; }
}  // namespace dp
