#include <gtest/gtest.h>

#include <vector>

#include "headers/chronology.h"
#include "lines/work_pool.h"

namespace {

// Frees every record of cam's wait queue.
void clear_wait(dp::cam_queues* cam) {
  while (cam->wait_head != nullptr) dp::w_unlink(cam->wait_head, cam);
}

using dp::particle_rec;
using dp::pool;

class WorkPool : public testing::Test {
 protected:
  void SetUp() override {
    dp::reset_work_pool();
    dp::reset_chronology();
    pool.cam_a.assign_tag = '1';
    pool.cam_a.wait_tag = 'V';
    pool.cam_b.assign_tag = '2';
    pool.cam_b.wait_tag = 'W';
  }
  void TearDown() override { dp::reset_work_pool(); }
};

int slot_of(const particle_rec* rec) { return static_cast<int>(rec - pool.w_pool); }

// The queue from its oldest record to its newest, checking both link directions on the way.
std::vector<double> starts_oldest_first(particle_rec* head, particle_rec* tail) {
  std::vector<double> out;
  const particle_rec* older = nullptr;
  for (const particle_rec* rec = tail; rec != nullptr; rec = rec->prev) {
    EXPECT_EQ(rec->next, older);
    out.push_back(rec->y_start);
    older = rec;
  }
  EXPECT_EQ(older, head);
  std::vector<double> forward;
  for (const particle_rec* rec = head; rec != nullptr; rec = rec->next) forward.insert(forward.begin(), rec->y_start);
  EXPECT_EQ(forward, out);
  return out;
}

int taken_slots() {
  int n = 0;
  for (const particle_rec& slot : pool.w_pool) n += slot.tag != 0;
  return n;
}

TEST_F(WorkPool, TakesTheSlotGivenBackLastElseTheLowestNeverTaken) {
  std::vector<particle_rec*> taken;
  for (int s = 0; s < 100; ++s) taken.push_back(dp::w_alloc());
  EXPECT_EQ(slot_of(taken[1]), 1);
  EXPECT_EQ(taken[1]->tag, 1);
  EXPECT_GE(taken[1]->lines_cap, dp::k_min_lines);
  dp::w_free(taken[5]);
  dp::w_free(taken[7]);
  dp::w_free(taken[7]);  // given back twice: still one free slot
  EXPECT_EQ(slot_of(dp::w_alloc()), 7);
  EXPECT_EQ(slot_of(dp::w_alloc()), 5);
  pool.w_pool[100].tag = 1;  // taken by other means: passed over
  for (int s = 101; s < 250; ++s) EXPECT_EQ(slot_of(dp::w_alloc()), s);
  EXPECT_EQ(dp::w_alloc(), nullptr);  // all 250 taken
  EXPECT_EQ(taken_slots(), 250);
  dp::w_free(&pool.w_pool[100]);
  EXPECT_EQ(slot_of(dp::w_alloc()), 100);
}

TEST_F(WorkPool, NewParticleIsPushedAtTheHeadOfTheAssignQueue) {
  particle_rec* const first = dp::new_particle(100.0, &pool.cam_b);
  particle_rec* const second = dp::new_particle(105.0, &pool.cam_b);
  EXPECT_EQ(pool.cam_b.assign_head, second);
  EXPECT_EQ(pool.cam_b.assign_tail, first);
  EXPECT_EQ(second->next, first);
  EXPECT_EQ(first->prev, second);
  EXPECT_EQ(second->prev, nullptr);
  EXPECT_EQ(first->next, nullptr);
  EXPECT_EQ(second->tag, '2');
  EXPECT_EQ(second->line_no, 1);
  EXPECT_EQ(second->width, 0);
  EXPECT_EQ(second->y_start, 105.0);
  EXPECT_EQ(second->y_end, 105.0);
  EXPECT_EQ(pool.cam_a.assign_head, nullptr);
}

TEST_F(WorkPool, The251stLiveParticleEmptiesEveryQueueAndTakesTheNextSlot) {
  double y = 1000.0;
  // 100 waiting on A, 50 waiting on B, 60 assembling on A, 40 assembling on B.
  for (int n = 0; n < 100; ++n) dp::new_particle(y++, &pool.cam_a);
  dp::chain_queues(&pool.cam_a);
  for (int n = 0; n < 50; ++n) dp::new_particle(y++, &pool.cam_b);
  dp::chain_queues(&pool.cam_b);
  for (int n = 0; n < 60; ++n) dp::new_particle(y++, &pool.cam_a);
  for (int n = 0; n < 40; ++n) dp::new_particle(y++, &pool.cam_b);
  ASSERT_EQ(taken_slots(), 250);
  // Free three slots and take them again (the one given back last first).
  for (const int s : {7, 8, 9}) dp::w_unlink(&pool.w_pool[s], &pool.cam_a);
  for (const int s : {9, 8, 7}) EXPECT_EQ(slot_of(dp::new_particle(y++, &pool.cam_b)), s);

  // The queues are emptied in the order A wait, B wait, A assign, B assign, each from its
  // newest record: the slot given back last is B's oldest assembling particle, slot 210.
  particle_rec* const rec = dp::new_particle(5000.0, &pool.cam_a);
  EXPECT_EQ(slot_of(rec), 210);
  EXPECT_EQ(taken_slots(), 1);
  EXPECT_EQ(pool.cam_a.assign_head, rec);
  EXPECT_EQ(pool.cam_a.assign_tail, rec);
  EXPECT_EQ(rec->next, nullptr);
  EXPECT_EQ(rec->prev, nullptr);
  for (const dp::cam_queues* cam : {&pool.cam_a, &pool.cam_b}) {
    EXPECT_EQ(cam->wait_head, nullptr);
    EXPECT_EQ(cam->wait_tail, nullptr);
  }
  EXPECT_EQ(pool.cam_b.assign_head, nullptr);
  EXPECT_EQ(pool.cam_b.assign_tail, nullptr);
}

TEST_F(WorkPool, ChainOntoAnEmptyWaitQueueMovesBothEnds) {
  particle_rec* const oldest = dp::new_particle(10.0, &pool.cam_a);
  dp::new_particle(11.0, &pool.cam_a);
  particle_rec* const newest = dp::new_particle(12.0, &pool.cam_a);
  dp::chain_queues(&pool.cam_a);
  EXPECT_EQ(pool.cam_a.wait_head, newest);
  EXPECT_EQ(pool.cam_a.wait_tail, oldest);
  EXPECT_EQ(pool.cam_a.assign_head, nullptr);
  EXPECT_EQ(pool.cam_a.assign_tail, nullptr);
  EXPECT_EQ(starts_oldest_first(pool.cam_a.wait_head, pool.cam_a.wait_tail), (std::vector<double>{10, 11, 12}));
  for (const particle_rec* rec = newest; rec != nullptr; rec = rec->next) EXPECT_EQ(rec->tag, 'V');
}

TEST_F(WorkPool, ChainPutsTheNewFrameInFrontOfTheWaitingOnes) {
  dp::new_particle(10.0, &pool.cam_b);
  dp::new_particle(20.0, &pool.cam_b);
  dp::chain_queues(&pool.cam_b);
  particle_rec* const old_head = pool.cam_b.wait_head;
  particle_rec* const first_new = dp::new_particle(30.0, &pool.cam_b);
  dp::new_particle(40.0, &pool.cam_b);
  dp::chain_queues(&pool.cam_b);
  EXPECT_EQ(old_head->prev, first_new);
  EXPECT_EQ(first_new->next, old_head);
  EXPECT_EQ(starts_oldest_first(pool.cam_b.wait_head, pool.cam_b.wait_tail), (std::vector<double>{10, 20, 30, 40}));
  for (const particle_rec* rec = pool.cam_b.wait_head; rec != nullptr; rec = rec->next) EXPECT_EQ(rec->tag, 'W');
}

TEST_F(WorkPool, ChainOfAnEmptyAssignQueueChangesNothing) {
  // Out of order on purpose: a check that ran would end the test.
  particle_rec* const a = dp::new_particle(50.0, &pool.cam_a);
  particle_rec* const b = dp::new_particle(40.0, &pool.cam_a);
  pool.cam_a.wait_head = b;
  pool.cam_a.wait_tail = a;
  pool.cam_a.assign_head = pool.cam_a.assign_tail = nullptr;
  testing::internal::CaptureStderr();
  dp::chain_queues(&pool.cam_a);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(pool.cam_a.wait_head, b);
  EXPECT_EQ(pool.cam_a.wait_tail, a);
  EXPECT_EQ(a->tag, '1');
}

TEST_F(WorkPool, ChainOfAFrameStartingBeforeTheWaitingOnesIsFatal) {
  dp::new_particle(100.0, &pool.cam_a);
  dp::chain_queues(&pool.cam_a);
  dp::new_particle(90.0, &pool.cam_a);
  EXPECT_EXIT(dp::chain_queues(&pool.cam_a), testing::ExitedWithCode(1),
              "^Wait-queue V -> Chronology - Error 90 100\n$");
}

TEST_F(WorkPool, UnlinkKeepsTheQueueLinked) {
  std::vector<particle_rec*> recs;
  for (int n = 0; n < 4; ++n) recs.push_back(dp::new_particle(n, &pool.cam_a));
  dp::chain_queues(&pool.cam_a);
  dp::w_unlink(recs[1], &pool.cam_a);  // middle
  EXPECT_EQ(starts_oldest_first(pool.cam_a.wait_head, pool.cam_a.wait_tail), (std::vector<double>{0, 2, 3}));
  dp::w_unlink(recs[0], &pool.cam_a);  // tail
  dp::w_unlink(recs[3], &pool.cam_a);  // head
  EXPECT_EQ(pool.cam_a.wait_head, recs[2]);
  EXPECT_EQ(pool.cam_a.wait_tail, recs[2]);
  EXPECT_EQ(recs[2]->next, nullptr);
  EXPECT_EQ(recs[2]->prev, nullptr);
  dp::w_unlink(recs[2], &pool.cam_a);  // the only one
  EXPECT_EQ(pool.cam_a.wait_head, nullptr);
  EXPECT_EQ(pool.cam_a.wait_tail, nullptr);
  EXPECT_EQ(taken_slots(), 0);
  EXPECT_EQ(recs[2]->next, nullptr);
  EXPECT_EQ(recs[2]->prev, nullptr);
}

TEST_F(WorkPool, ClearFreesTheWaitQueueOnly) {
  for (int n = 0; n < 5; ++n) dp::new_particle(n, &pool.cam_a);
  dp::chain_queues(&pool.cam_a);
  particle_rec* const assembling = dp::new_particle(9.0, &pool.cam_a);
  clear_wait(&pool.cam_a);
  EXPECT_EQ(pool.cam_a.wait_head, nullptr);
  EXPECT_EQ(pool.cam_a.wait_tail, nullptr);
  EXPECT_EQ(pool.cam_a.assign_head, assembling);
  EXPECT_EQ(taken_slots(), 1);
}

TEST_F(WorkPool, FreeOfAForeignReferenceIsFatal) {
  particle_rec stranger;
  EXPECT_EXIT(dp::w_free(&stranger), testing::ExitedWithCode(1),
              "^\\*\\* w_free: Illegal input adress 0x[0-9a-f]+!\n$");
  // Inside the pool's array but not at a record boundary.
  auto* const inside = reinterpret_cast<particle_rec*>(reinterpret_cast<char*>(&pool.w_pool[3]) + 8);
  EXPECT_EXIT(dp::w_free(inside), testing::ExitedWithCode(1), "Illegal input adress");
  EXPECT_EXIT(dp::w_free(pool.w_pool + dp::k_pool_slots), testing::ExitedWithCode(1), "Illegal input adress");
}

TEST_F(WorkPool, LineListsGrowKeepTheirContentsAndLargeOnesAreGivenBack) {
  particle_rec* const rec = dp::new_particle(1.0, &pool.cam_a);
  rec->lines[0].y_count = 77.0;
  rec->lines[0].n_pieces = 1;
  rec->lines[0].piece[0] = {3, 9, 1};
  dp::reserve_lines(rec, 5000);
  ASSERT_GE(rec->lines_cap, 5000);
  EXPECT_EQ(rec->lines[0].y_count, 77.0);
  EXPECT_EQ(rec->lines[0].piece[0].x_end, 9);
  rec->lines[4999].y_count = 99.0;
  rec->line_no = 5000;
  dp::shrink(rec);  // already the used size
  EXPECT_EQ(rec->lines[4999].y_count, 99.0);
  rec->line_no = 600;
  dp::chain_queues(&pool.cam_a);  // trims the list of a large particle
  EXPECT_EQ(rec->lines_cap, 600);
  EXPECT_EQ(rec->lines[0].y_count, 77.0);
  dp::w_unlink(rec, &pool.cam_a);
  EXPECT_EQ(rec->lines, nullptr);  // above the size a free slot keeps

  particle_rec* const small = dp::new_particle(2.0, &pool.cam_a);
  dp::reserve_lines(small, 150);
  ASSERT_GE(small->lines_cap, 150);
  ASSERT_LE(small->lines_cap, dp::k_keep_lines);
  const dp::line_rec* const block = small->lines;
  small->line_no = 20;
  dp::shrink(small);
  EXPECT_EQ(small->lines, block);  // small lists are left alone
  dp::chain_queues(&pool.cam_a);
  dp::w_unlink(small, &pool.cam_a);
  EXPECT_EQ(small->lines, block);  // and kept for the slot's next particle
}

TEST_F(WorkPool, ResetReturnsToStartUp) {
  for (int n = 0; n < 10; ++n) dp::new_particle(n, &pool.cam_a);
  dp::reserve_lines(pool.cam_a.assign_head, 3000);
  dp::reset_work_pool();
  EXPECT_EQ(pool.n_free, 0);
  EXPECT_EQ(pool.n_used, 0);
  EXPECT_EQ(pool.cam_a.assign_tag, 0);
  EXPECT_EQ(pool.cam_a.assign_head, nullptr);
  for (const particle_rec& slot : pool.w_pool) {
    EXPECT_EQ(slot.tag, 0);
    EXPECT_EQ(slot.lines, nullptr);
    EXPECT_EQ(slot.lines_cap, 0);
  }
}

}  // namespace
