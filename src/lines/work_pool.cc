// STUB: replaced by the work pool implementation.
#include "lines/work_pool.h"
namespace dp {
work_pool_state pool;
particle_rec* w_alloc() { return nullptr; }
void w_free(particle_rec*) {}
particle_rec* new_particle(double, cam_queues*) { return nullptr; }
void reserve_lines(particle_rec*, int32_t) {}
void shrink(particle_rec*) {}
void chain_queues(cam_queues*) {}
void w_unlink(particle_rec*, cam_queues*) {}
void w_unlink_assign(particle_rec*, cam_queues*) {}
void clear_w(cam_queues*) {}
void w_map() {}
void reset_work_pool() {}
}  // namespace dp
