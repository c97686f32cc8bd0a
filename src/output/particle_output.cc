// STUB
#include "output/particle_output.h"
namespace dp {
int pix_out(const particle_rec*, const particle_rec*, uint8_t*, uint8_t*) { return 0; }
}  // namespace dp
