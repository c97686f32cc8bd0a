// The fixed work pool of 250 particle records and each camera's two queues: the assign queue,
// which collects the particles of the frame being assembled, and the wait queue, where they wait
// for matching. Queues are doubly linked from head (newest) to tail (oldest) along next.
// Owns the pool, its rotating cursor and both cameras' queues; the line lists of taken slots come
// from the heap and are released only by w_free. An exhausted pool empties every queue of both
// cameras and goes on.
#pragma once

#include <cstdint>

#include "lines/line_records.h"

namespace dp {

inline constexpr int k_pool_slots = 250;

/// One camera's queues.
struct cam_queues {
  char assign_tag = 0;  ///< '1' camera A, '2' camera B
  char wait_tag = 0;    ///< 'V' camera A, 'W' camera B
  particle_rec* assign_head = nullptr;
  particle_rec* assign_tail = nullptr;
  particle_rec* wait_head = nullptr;
  particle_rec* wait_tail = nullptr;
};

struct work_pool_state {
  particle_rec w_pool[k_pool_slots];
  int16_t cursor = 0;  ///< slot at which the next search starts
  cam_queues cam_a;
  cam_queues cam_b;
};

extern work_pool_state pool;

/// Takes a free slot from the cursor on (rotating); null when all 250 are taken.
particle_rec* w_alloc();
/// Returns rec's slot to the pool and releases its line list; a foreign reference is fatal.
void w_free(particle_rec* rec);
/// A new record for a particle starting at line y, pushed on cam's assign queue.
particle_rec* new_particle(double y, cam_queues* cam);
/// Makes sure rec's line list has room for n line records (contents kept); used by assembly.
void reserve_lines(particle_rec* rec, int32_t n);
/// Trims rec's line list to line_no records.
void shrink(particle_rec* rec);
/// Moves cam's whole assign queue in front of its wait queue (with the queue order checks).
void chain_queues(cam_queues* cam);
/// Removes rec from cam's wait queue and frees it.
void w_unlink(particle_rec* rec, cam_queues* cam);
/// Removes rec from cam's assign queue and frees it.
void w_unlink_assign(particle_rec* rec, cam_queues* cam);
/// Frees every record of cam's wait queue.
void clear_w(cam_queues* cam);
/// Trace: the pool occupancy, one character per slot.
void w_map();
/// Frees everything and returns to the start-up state (tags cleared, cursor 0).
void reset_work_pool();

}  // namespace dp
