// STUB
#include "output/particle_writer.h"
namespace dp {
particle_writer_state writer;
void net_wr(const particle_rec*, const particle_rec*) {}
void reset_particle_writer() {}
}  // namespace dp
