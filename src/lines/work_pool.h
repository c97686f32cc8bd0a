// The fixed work pool of 250 particle records and each camera's two queues: the assign queue,
// which collects the particles of the frame being assembled, and the wait queue, where whole
// frames' particles wait for matching. Queues are doubly linked from head (newest) to tail (oldest)
// along next, and back along prev. Owns the pool, its stack of free slots and both cameras' queues.
// A new particle takes the slot given back last, whose line list is likely still in the cache
// (which slot a particle gets changes no output).
// A taken slot owns a line list from the heap; a slot keeps a small list across uses (so a drop
// costs no allocation once the pool is warm) and gives large lists back in w_free and shrink.
// An exhausted pool empties every queue of both cameras and goes on. Particle records never come
// from the heap; no operation here prints except the traces and the fatal w_free of a stranger.
#pragma once

#include <cstdint>

#include "lines/line_records.h"

namespace dp {

inline constexpr int k_pool_slots = 250;
/// Line records a slot is first given by w_alloc.
inline constexpr int32_t k_min_lines = 32;
/// Largest line list a free slot keeps for its next particle (24 KB); larger lists are released,
/// so the kept lists of the whole pool stay below 6 MB.
inline constexpr int32_t k_keep_lines = 512;

/// One camera's queues. The tags are set once before the first frame ('1','V' camera A,
/// '2','W' camera B); every record on a queue carries that queue's tag in its `tag`.
///
///   assign_head -> newest ... -> oldest = assign_tail      (next points to the older record)
///   wait_head   -> newest ... -> oldest = wait_tail        (prev points to the newer record)
///
/// Head and tail are both null or both set; a record is on at most one queue.
struct cam_queues {
  char assign_tag = 0;  ///< '1' camera A, '2' camera B
  char wait_tag = 0;    ///< 'V' camera A, 'W' camera B
  particle_rec* assign_head = nullptr;  ///< newest record of the frame being assembled
  particle_rec* assign_tail = nullptr;  ///< oldest record of the frame being assembled
  particle_rec* wait_head = nullptr;    ///< newest record waiting for matching
  particle_rec* wait_tail = nullptr;    ///< oldest record waiting for matching
};

/// Slot states, kept in particle_rec::tag:
///   0          free (may still hold a kept line list of at most k_keep_lines records)
///   1          taken by w_alloc, on no queue yet
///   '1' / '2'  on camera A's / B's assign queue
///   'V' / 'W'  on camera A's / B's wait queue
struct work_pool_state {
  particle_rec w_pool[k_pool_slots];
  int16_t free_stack[k_pool_slots] = {};  ///< slots given back, the one given back last on top
  int16_t n_free = 0;                     ///< entries of free_stack
  int16_t n_used = 0;  ///< slots below this have been taken at some time; the others come in order
  cam_queues cam_a;
  cam_queues cam_b;
};

extern work_pool_state pool;

/// Takes the slot given back last, or when none waits the lowest slot never taken yet, with a
/// line list of at least k_min_lines; null when all 250 are taken or the heap refuses the list
/// (the slot then stays free).
particle_rec* w_alloc();
/// Returns rec's slot to the pool (large line lists released); a foreign reference is fatal.
void w_free(particle_rec* rec);
/// A new record for a particle starting at line y, pushed on cam's assign queue; an exhausted
/// pool first empties all four queues (A wait, B wait, A assign, B assign); fatal if even then
/// no line list can be had.
particle_rec* new_particle(double y, cam_queues* cam);
/// Makes sure rec's line list has room for n line records (contents kept); fatal when the heap
/// refuses it even after the lists kept by free slots were given back.
void reserve_lines(particle_rec* rec, int32_t n);
/// Trims a large line list of rec to line_no records (contents kept; small lists stay as they are).
void shrink(particle_rec* rec);
/// Walks from oldest along prev; returns only if no record starts before oldest. Otherwise
/// "<name> <tag> -> Chronology - Error <y_start> <oldest y_start>\n" in the error log, fatal.
void check_queue(const char* name, char tag, const particle_rec* oldest);
/// Moves cam's whole assign queue in front of its wait queue, with the queue order checks.
void chain_queues(cam_queues* cam);
/// Removes rec from cam's wait queue and frees it.
void w_unlink(particle_rec* rec, cam_queues* cam);
/// Trace: the pool occupancy, one character per slot ('.' free, else the tag).
void w_map();
/// Releases every line list and returns to the start-up state (tags cleared, no slot taken yet).
void reset_work_pool();

}  // namespace dp
