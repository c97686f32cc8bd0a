#include "control/processing_loop.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <utility>

#include "base/messages.h"
#include "control/clean_up.h"
#include "control/settings.h"
#include "headers/camera_matching.h"
#include "headers/main_header.h"
#include "headers/timing_model.h"
#include "lines/line_decoder.h"
#include "lines/line_records.h"
#include "lines/particle_assembly.h"
#include "lines/work_pool.h"
#include "output/calibration.h"
#include "output/output_files.h"
#include "output/particle_writer.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "rawinput/raw_file.h"
#include "rawinput/record_scan.h"

namespace dp {

step_state_rec step_state;

namespace {

// The matching pass's context: the pair settings, the raw file's format, the particle writer and
// both cameras' queues.
match_context match_settings() {
  return {set_par.WA_WB, set_par.DELTA_HGT, raw_file.ab_format, &net_wr, &pool.cam_a, &pool.cam_b};
}

constexpr scan_labels k_labels_a{"mp01", "mp02", "mp03"};
constexpr scan_labels k_labels_b{"mp31", "mp04", "mp05"};
// Following a live file, a reader at the end of the readable data looks again after this pause.
constexpr int k_follow_pause_ms = 50;

loop_options g_options;

// Per camera, the store gathering its frame and the store its next record is decoded into.
struct frame_stores {
  frame_rec* gather;
  frame_rec* next;
};
frame_stores g_stores_a{&lines.frame_a, &lines.spare_a};
frame_stores g_stores_b{&lines.frame_b, &lines.spare_b};

/// One camera's share of the loop state.
struct camera_view {
  frame_stores& stores;
  double& last;
  int16_t& count;
  int16_t& fresh;
  cam_queues& queues;
  int16_t kind;
  int32_t prev_pos;
};

camera_view camera_a() {
  return {g_stores_a, step_state.last_a, step_state.n_frm_a, step_state.fresh_a, pool.cam_a, 1, scans.a.prev};
}
camera_view camera_b() {
  return {g_stores_b, step_state.last_b, step_state.n_frm_b, step_state.fresh_b, pool.cam_b, 2, scans.b.prev};
}

// The frame in the camera's store is complete: particles, queues, minute bookkeeping.
void hand_over(const camera_view& c) {
  assign_pieces(c.stores.gather, &c.queues);
  chain_queues(&c.queues);
  book_minute(c.kind, c.stores.gather, c.prev_pos, main_header.base_frequ);
}

// Appends the n lines decoded last (at the start of the camera's next store) to its frame. A
// record whose first line number is more than one above the last line gathered, or that would
// fill the store to 15000 lines, closes the frame gathered so far and begins the next one: the
// next store becomes the gathering one, with the record's lines where they are.
void append(const camera_view& c, int16_t n) {
  const line_rec* src = c.stores.next->lines;
  const double last = src[n - 1].y_count;
  if (src[0].y_count > c.last + 1.0 || c.count + n >= k_frame_size) c.count = 0;
  if (c.count == 0) {
    if (c.fresh == 0) hand_over(c);
    std::swap(c.stores.gather, c.stores.next);
  } else {
    std::memcpy(&c.stores.gather->lines[c.count], src, sizeof(line_rec) * static_cast<size_t>(n));
  }
  c.count = static_cast<int16_t>(c.count + n);
  c.stores.gather->n_lines = c.count;
  c.fresh = 0;
  c.last = last;
}

// Decodes a line-data record into the camera's next store and appends its lines; true when
// lines were appended.
bool take_line_record(const raw_record& rec, const camera_view& c) {
  int16_t n = 0;
  if (decmpr(rec.payload, rec.length, raw_file.ab_format, c.stores.next->lines, &n, c.prev_pos) != 1 || n <= 0)
    return false;
  append(c, n);
  return true;
}

// The user's stop: one log line says by what and where the readers stood, the files are closed,
// and the process ends with status 0 after Escape, 128 + the signal's number after a signal.
[[noreturn]] void user_stop() {
  const int sig = console_stop_signal();
  log_printf("mp81: run stopped by %s; reader A at offset %ld, reader B at offset %ld of %s (%ld bytes)\n",
             sig == 0 ? "Escape" : console_signal_name(sig), static_cast<long>(scans.a.pos),
             static_cast<long>(scans.b.pos), raw_file.ab_path.c_str(), static_cast<long>(scans.ab_len));
  clean_up();
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(sig == 0 ? 0 : 128 + sig);
}

void poll_or_stop() {
  if (kb_poll(0) == 0) user_stop();
}

// Asks the particle writer to write out what it holds when more than 3 clock seconds have passed
// since the last such request.
void timed_flush() {
  const uint32_t now = clock_now_seconds();
  if (now > step_state.last_force + 3u) {
    step_state.last_force = now;
    flush_particles();
  }
}

// Following a live file: a length that differs from the one seen before restarts the follow clock.
void note_length() {
  if (scans.ab_len == step_state.seen_len) return;
  step_state.seen_len = scans.ab_len;
  step_state.seen_at_ms = clock_steady_ms();
}

// Following a live file whose readable data are used up: true after a pause (in which Escape or a
// stop signal ends the run) while the file may still grow; false once it has not grown for the
// follow period (from then on it counts as complete), and always when not following.
bool follow_on() {
  if (g_options.follow_seconds <= 0 || step_state.complete) return false;
  note_length();
  if (clock_steady_ms() - step_state.seen_at_ms >= static_cast<int64_t>(g_options.follow_seconds) * 1000) {
    step_state.complete = true;
    return false;
  }
  clock_sleep_ms(k_follow_pause_ms);
  if (console_stop_signal() != 0 || console_read_key() == k_key_escape) user_stop();
  return true;
}

// Reader r stands at the end of the readable data. True when it should look again: the file is
// followed and may still complete the record at r.pos (meanwhile the writer flushes on the clock
// and the progress display goes on). A negative record length is final: no growth mends it.
bool wait_for_growth(const scan_reader& r) {
  if (g_options.follow_seconds <= 0 || step_state.complete) return false;
  int16_t length = 0;
  if (scan_unread(r, &length) == unread_reason::negative_length) return false;
  if (!follow_on()) return false;
  timed_flush();
  poll_or_stop();
  return true;
}

// True when r stands at the end of the readable data; following a live file, only once the file
// counts as complete (until then this waits for the record at r.pos to arrive).
bool at_end(scan_reader& r, const char* seek_label, const char* tell_label) {
  while (scan_at_end(r, seek_label, tell_label))
    if (!wait_for_growth(r)) return true;
  return false;
}

// Opens and checks the raw data file; a followed file may not hold its first record header yet.
void open_raw_file() {
  if (g_options.follow_seconds <= 0) {
    rawfil(g_options.sno_base, g_options.ab_dir);
    return;
  }
  rawfil_open(g_options.sno_base, g_options.ab_dir);
  while (measure_length("mp71", "mp32")) {
    if (scans.ab_len >= 4) {
      note_length();
      break;
    }
    if (!follow_on()) break;
  }
  rawfil_check();
}

// One error-log line for each distinct offset at which a scan stands before bytes it could not
// take as a record, in increasing offset order.
void report_unread() {
  std::set<int32_t> offsets;
  for (const scan_reader* r : {&scans.a, &scans.b}) offsets.insert(r->pos);
  for (const int32_t at : offsets) {
    const scan_reader& r = scans.a.pos == at ? scans.a : scans.b;
    int16_t length = 0;
    switch (scan_unread(r, &length)) {
      case unread_reason::none: break;
      case unread_reason::incomplete_header:
        log_printf("mp80: record at offset %ld not read: incomplete record header\n", static_cast<long>(at));
        break;
      case unread_reason::negative_length:
        log_printf("mp80: record at offset %ld not read: negative record length %d\n", static_cast<long>(at),
                   length);
        break;
      case unread_reason::runs_past_end:
        log_printf("mp80: record at offset %ld not read: record of length %d runs past the end of the file "
                   "(%ld bytes)\n",
                   static_cast<long>(at), length, static_cast<long>(scans.ab_len));
        break;
    }
  }
}

// Both scans stand at the end of the data: the last frames of both cameras are assembled, every
// waiting camera-A particle gets its chance to be matched, and the writer flushes.
void end_of_data() {
  report_unread();
  if (step_state.fresh_a == 0) hand_over(camera_a());
  if (step_state.fresh_b == 0) hand_over(camera_b());
  if (pool.cam_a.wait_head != nullptr && pool.cam_b.wait_head != nullptr) {
    step_state.match_limit = std::numeric_limits<double>::infinity();
    find_m(&step_state.total, step_state.match_limit, match_settings());
  }
  flush_particles();
  kb_poll(1);
  console_set_cursor(0, 24);
  con_printf("*********** end of ab-file ***********");
  std::fflush(stdout);
}


}  // namespace

void start_processing() {
  tables();
  pool.cam_a.assign_tag = '1';
  pool.cam_a.wait_tag = 'V';
  pool.cam_b.assign_tag = '2';
  pool.cam_b.wait_tag = 'W';
  while (raw_file.ab_fp == nullptr) {
    poll_or_stop();
    hprintf(" no OEU files ? \n");
  }
  reset_particle_writer();  // the writer starts with the tables pixfil writes
  connect_writer({&timing, &calib});
  pixfil(set_par.HYD_PATH, set_par.RAW_PATH, raw_file.ab_path);
}

void take_main_header(const uint8_t* p, int32_t len) {
  const header_files files{raw_file.ab_path, out_files.pix_nam, out_files.hd_nam, out_files.abh_nam};
  const bool is_new = main_hr(p, len, raw_file.ab_format, files, writer.oldlen);
  set_writer_line_frequency(main_header.base_frequ);  // a repeated header's frequency holds too
  if (!is_new) return;
  main_tim(main_header.current, main_header.base_frequ);
  write_main_header(main_header.current);
}

int16_t process_step() {
  timed_flush();
  poll_or_stop();

  // Scan A: main headers, and at most one camera-A line-data record per step.
  bool consumed = false;
  bool got_a = false;
  raw_record rec;
  for (;;) {
    const scan_result got = scan_record(scans.a, k_labels_a, "mp71", "mp32", &rec);
    if (got == scan_result::end && wait_for_growth(scans.a)) continue;
    if (got != scan_result::record) break;
    consumed = true;
    if (rec.type == 3) {
      take_main_header(rec.payload, rec.length);
      continue;
    }
    if (rec.type == 1) {
      got_a = take_line_record(rec, camera_a());
      break;
    }
  }
  const bool a_done = !got_a && at_end(scans.a, "mp71", "mp32");

  // Scan B: record after record until camera B has caught up with camera A.
  for (;;) {
    if (step_state.last_b >= step_state.last_a && !a_done) {
      step_state.match_limit = step_state.last_a;
      hprintf("calling findmatch\n");
      if (pool.cam_a.wait_head != nullptr && pool.cam_b.wait_head != nullptr)
        find_m(&step_state.total, step_state.match_limit, match_settings());
      if (scans.a.pos == scans.ab_len) hprintf("EOF reading A \n");
      return 1;
    }
    poll_or_stop();
    if (at_end(scans.b, "mp72", "mp33")) {
      hprintf("feof found reading B\n");
      if (at_end(scans.a, "mp72", "mp33")) {
        end_of_data();
        return 0;
      }
      if (!consumed) clock_sleep_ms(20);  // a growing file: wait for more data
      return 1;
    }
    if (scan_record(scans.b, k_labels_b, "mp72", "mp33", &rec) != scan_result::record) {
      if (!consumed) clock_sleep_ms(20);
      return 1;
    }
    consumed = true;
    // Guarded here as well: the arguments would cost two library calls per record even with the
    // trace off.
    if constexpr (k_trace_on == 1) {
      hprintf("hd_nam=%s pos_b=%ld last_b=%lu pos_a=%ld last_a=%lu \n", out_files.hd_nam.c_str(), scans.b.prev,
              static_cast<uint32_t>(line_lu(step_state.last_b)), scans.a.prev,
              static_cast<uint32_t>(line_lu(step_state.last_a)));
    }
    if (rec.type == 3) take_main_header(rec.payload, rec.length);
    else if (rec.type == 2) take_line_record(rec, camera_b());
  }
}

int16_t kb_poll(int16_t force) {
  if (!step_state.polled) {
    step_state.polled = true;
    console_init_input();
    open_raw_file();
  }
  if (!g_options.quiet && (force != 0 || (step_state.polls >= 3 && step_state.polls % 100 == 0))) {
    console_set_cursor(0, 20);
    con_printf("%s:%9ld\n%s:%9ld\nA:%9ld\nB:%9ld\n", out_files.pix_nam.c_str(), static_cast<long>(writer.pix_end),
               raw_file.ab_path.c_str(), static_cast<long>(scans.ab_len), static_cast<long>(scans.a.pos),
               static_cast<long>(scans.b.pos));
  }
  ++step_state.polls;
  if (console_stop_signal() != 0) return 0;
  // Looking for a key costs a system call; every 32nd poll is still far quicker than a keystroke.
  if (force == 0 && step_state.polls % 32 != 1) return 1;
  return console_read_key() == k_key_escape ? 0 : 1;
}

void set_loop_options(const loop_options& options) { g_options = options; }

void reset_processing_loop() {
  step_state = step_state_rec{};
  g_stores_a = {&lines.frame_a, &lines.spare_a};
  g_stores_b = {&lines.frame_b, &lines.spare_b};
}

}  // namespace dp
