#include "lines/work_pool.h"

#include <cstdint>
#include <cstdlib>

#include "base/messages.h"

namespace dp {

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

work_pool_state pool;

namespace {

// Resizes rec's line list to cap records, contents kept; false (list untouched) when refused.
bool resize_lines(particle_rec* rec, int32_t cap) {
  void* const block = std::realloc(rec->lines, sizeof(line_rec) * static_cast<size_t>(cap));
  if (block == nullptr) return false;
  rec->lines = static_cast<line_rec*>(block);
  rec->lines_cap = cap;
  return true;
}

void release_lines(particle_rec* rec) {
  std::free(rec->lines);
  rec->lines = nullptr;
  rec->lines_cap = 0;
}

// Gives back the lists kept by free slots; the last resort before a refused line list is fatal.
void release_kept_lines() {
  for (particle_rec& slot : pool.w_pool) {
    if (slot.tag == 0) release_lines(&slot);
  }
}

// Empties one queue from its head, freeing every record.
void empty_queue(particle_rec** head, particle_rec** tail) {
  while (*head != nullptr) {
    particle_rec* const old = *head;
    particle_rec* const neighbour = old->next;
    if (neighbour != nullptr) neighbour->prev = old->prev;
    *head = neighbour;
    w_free(old);
  }
  *tail = nullptr;
}

}  // namespace

particle_rec* w_alloc() {
  for (;;) {
    // A slot on the stack or below n_used may have been taken by other means than w_alloc (the
    // tests do): such a slot is passed over, and comes back on the stack when it is given back.
    int16_t slot = 0;
    if (pool.n_free > 0) slot = pool.free_stack[pool.n_free - 1];
    else if (pool.n_used < k_pool_slots) slot = pool.n_used;
    else break;
    particle_rec* const rec = &pool.w_pool[slot];
    if (rec->tag == 0 && rec->lines == nullptr && !resize_lines(rec, k_min_lines)) {
      hprintf2("** w_alloc: malloc unsucc. !\n");
      hprintf2("** w_alloc: Out of space\n");
      return nullptr;
    }
    if (pool.n_free > 0) --pool.n_free;
    else ++pool.n_used;
    if (rec->tag != 0) continue;
    rec->tag = 1;
    rec->next = nullptr;
    rec->prev = nullptr;
    return rec;
  }
  hprintf2("** w_alloc: Out of space\n");
  return nullptr;
}

void w_free(particle_rec* rec) {
  // Address arithmetic instead of a search: a slot is any record boundary inside the array.
  const uintptr_t offset = reinterpret_cast<uintptr_t>(rec) - reinterpret_cast<uintptr_t>(pool.w_pool);
  if (offset >= sizeof(pool.w_pool) || offset % sizeof(particle_rec) != 0) {
    fatal_announced("** w_free: Illegal input adress %p!\n", static_cast<const void*>(rec));
  }
  particle_rec* const slot = &pool.w_pool[offset / sizeof(particle_rec)];
  if (slot->tag != 0 && pool.n_free < k_pool_slots)
    pool.free_stack[pool.n_free++] = static_cast<int16_t>(offset / sizeof(particle_rec));
  slot->tag = 0;
  slot->next = nullptr;
  slot->prev = nullptr;
  if (slot->lines_cap > k_keep_lines) release_lines(slot);
}

particle_rec* new_particle(double y, cam_queues* cam) {
  particle_rec* rec = w_alloc();
  if (rec == nullptr) {
    empty_queue(&pool.cam_a.wait_head, &pool.cam_a.wait_tail);
    empty_queue(&pool.cam_b.wait_head, &pool.cam_b.wait_tail);
    empty_queue(&pool.cam_a.assign_head, &pool.cam_a.assign_tail);
    empty_queue(&pool.cam_b.assign_head, &pool.cam_b.assign_tail);
    rec = w_alloc();
    if (rec == nullptr) {
      // Every queue is empty: only a heap that refuses even a small list, or records taken
      // outside the queues, can leave the pool without a slot. Retrying would never end.
      bool any_free = false;
      for (const particle_rec& slot : pool.w_pool) any_free = any_free || slot.tag == 0;
      if (any_free) fatal_announced("new_particle: out of memory for particle line lists\n");
      fatal_announced("new_particle: no free slot in the work pool\n");
    }
  }
  rec->tag = static_cast<int16_t>(cam->assign_tag);
  rec->width = 0;
  rec->line_no = 1;
  rec->y_start = y;
  rec->y_end = y;
  rec->next = cam->assign_head;
  rec->prev = nullptr;
  if (cam->assign_head == nullptr) cam->assign_tail = rec;
  else cam->assign_head->prev = rec;
  cam->assign_head = rec;
  return rec;
}

void reserve_lines(particle_rec* rec, int32_t n) {
  if (n <= rec->lines_cap) return;
  // Rounded up so that a slot that meets slightly longer drops does not grow by every one.
  int32_t cap = (n + 31) / 32 * 32;
  if (cap > k_frame_size && n <= k_frame_size) cap = k_frame_size;
  if (resize_lines(rec, cap)) return;
  release_kept_lines();
  if (resize_lines(rec, cap)) return;
  fatal_announced("reserve_lines: out of memory for particle line lists\n");
}

void shrink(particle_rec* rec) {
  const int32_t used = rec->line_no > 0 ? rec->line_no : 1;
  if (rec->lines_cap <= k_keep_lines || used >= rec->lines_cap) return;
  if (!resize_lines(rec, used)) {
    hprintf2("*** shrink: _expand problem\n");
    log_printf("*** shrink: _expand problem\n");
  }
}

void chain_queues(cam_queues* cam) {
  if (cam->assign_head == nullptr) return;
  check_queue("Assign-queue", cam->assign_tag, cam->assign_tail);

  particle_rec* const old_wait_head = cam->wait_head;
  cam->assign_head->prev = nullptr;
  cam->assign_tail->next = old_wait_head;
  if (old_wait_head != nullptr) old_wait_head->prev = cam->assign_tail;
  else cam->wait_tail = cam->assign_tail;
  for (particle_rec* rec = cam->assign_head; rec != old_wait_head; rec = rec->next) {
    shrink(rec);
    rec->tag = static_cast<int16_t>(cam->wait_tag);
  }
  cam->wait_head = cam->assign_head;
  cam->assign_head = nullptr;
  cam->assign_tail = nullptr;

  hprintf2("** chain_queues: ");
  w_map();
  check_queue("Wait-queue", cam->wait_tag, cam->wait_tail);
}

namespace {

void unlink_from(particle_rec* rec, particle_rec** head, particle_rec** tail) {
  if (rec->next != nullptr) rec->next->prev = rec->prev;
  if (rec->prev != nullptr) rec->prev->next = rec->next;
  if (rec == *head) *head = rec->next;
  if (rec == *tail) *tail = rec->prev;
  w_free(rec);
}

}  // namespace

void w_unlink(particle_rec* rec, cam_queues* cam) {
  unlink_from(rec, &cam->wait_head, &cam->wait_tail);
}

void w_map() {
  if constexpr (k_trace2_on == 1) {
    char map[k_pool_slots + 1];
    for (int s = 0; s < k_pool_slots; ++s) {
      const int16_t tag = pool.w_pool[s].tag;
      map[s] = tag == 0 ? '.' : static_cast<char>(tag);
    }
    map[k_pool_slots] = '\0';
    hprintf2("%s\n", static_cast<const char*>(map));
  }
}

void reset_work_pool() {
  for (particle_rec& slot : pool.w_pool) release_lines(&slot);
  pool = work_pool_state{};
}

}  // namespace dp
