// A realistic raw data file (several hundred records: main headers, repeated and renewed, both
// cameras, frames that span records, records of unknown type) cut at every record boundary and at
// a seeded sample of other lengths. Every run ends by itself, normally or, when not even the first
// record header is there, with its documented fatal error; it never crashes or hangs; and it leaves
// output files that agree with each other and with what the cut file holds, and that match the
// run on the whole file wherever the cut cannot have changed the result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "support/output_check.h"
#include "support/scratch_run.h"
#include "support/spawn_run.h"
#include "support/storm_fixture.h"

namespace {

using dp_test::bytes;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool k_sanitized = true;  // runs are several times slower: fewer cuts between records
#else
constexpr bool k_sanitized = false;
#endif

constexpr double k_limit_s = 60.0;  // a run of the whole file takes a few milliseconds
constexpr double k_window = 600.0;  // matching window of format 3, lines

std::string log_tail(const std::string& log) {
  const size_t first = log.find('\n');
  const size_t second = first == std::string::npos ? first : log.find('\n', first + 1);
  return second == std::string::npos ? "" : log.substr(second + 1);
}

// The error-log line of a run whose file ends inside the record at offset at.
std::string unread_line(const bytes& raw, size_t at) {
  char buf[200];
  if (raw.size() - at < 4) {
    std::snprintf(buf, sizeof buf, "mp80: record at offset %zu not read: incomplete record header\n", at);
  } else {
    std::snprintf(buf, sizeof buf,
                  "mp80: record at offset %zu not read: record of length %d runs past the end of the file (%zu bytes)\n",
                  at, dp::load_les16(&raw[at + 2]), raw.size());
  }
  return buf;
}

// Where the .sno of a run on a cut file first departs from the .sno of the whole run: the offset
// of the first record that differs, or the length of the shorter file.
size_t departure(const bytes& cut, const bytes& whole) {
  size_t at = 0;
  while (at + 4 <= cut.size() && at + 4 <= whole.size()) {
    const int16_t indic = dp::load_les16(&cut[at]);
    const size_t len = indic == -74 ? 74 : static_cast<size_t>(indic);
    if (at + len > cut.size() || at + len > whole.size() ||
        !std::equal(cut.begin() + static_cast<long>(at), cut.begin() + static_cast<long>(at + len),
                    whole.begin() + static_cast<long>(at)))
      break;
    at += len;
  }
  return at;
}

// True when the record at `at` is a particle record starting at line bound or later, or a main
// header whose valid_since is not among `kept`.
bool explained(const bytes& sno, size_t at, double bound, const std::vector<uint32_t>& kept) {
  if (at + 22 > sno.size()) return false;
  if (dp::load_les16(&sno[at]) == -74)
    return std::find(kept.begin(), kept.end(), dp::load_le32(&sno[at + 18])) == kept.end();
  return dp::load_f64(&sno[at + 4]) >= bound;
}

TEST(Truncation, EveryCutEndsWithOutputsConsistentWithWhatWasRead) {
  dp_test::storm_options o;
  o.windows = 200;
  o.gap_max = 300;
  o.seed = 11;
  o.repeat_header_every = 6;
  o.new_header_every = 50;
  o.junk_every = 20;
  const dp_test::storm_file storm = dp_test::make_storm(o);
  ASSERT_GT(storm.records.size(), 300u);

  dp_test::scratch_dir dir;
  dp_test::write_text(dir.file("DROPPAIR.SET"), dp_test::settings_text());
  dp_test::write_text(dir.file("corrfact.dat"), dp_test::neutral_corrfact());
  const std::string ab = dir.file("V05123_1.ab");
  const std::string base = dir.file("V05123_1");

  dp_test::write_file(ab, storm.raw);
  const dp_test::child_end whole = dp_test::run_droppair_in(dir.path.string(), "V05123_1.ab", k_limit_s);
  ASSERT_TRUE(whole.exited && whole.status == 0) << "signal " << whole.signal;
  const dp_test::run_outputs complete = dp_test::read_outputs(base);
  dp_test::output_expectations expect_whole;
  expect_whole.raw = &storm.raw;
  ASSERT_EQ(dp_test::check_outputs(complete, expect_whole), "");
  ASSERT_GT(dp_test::walk_sno(complete.sno, false).particle_at.size(), 100u);

  // Every record boundary (every fifth under the sanitizers) and a seeded sample of other lengths.
  std::vector<size_t> cuts = {0, 1, 2, 3, 4, 5, 59, 60, 61, storm.raw.size()};
  for (size_t k = 0; k < storm.records.size(); ++k)
    if (!k_sanitized || k % 5 == 0) cuts.push_back(storm.records[k].offset);
  std::mt19937 rng(2024);
  std::uniform_int_distribution<size_t> any(0, storm.raw.size() - 1);
  for (int k = 0; k < (k_sanitized ? 30 : 60); ++k) cuts.push_back(any(rng));
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

  int compared = 0;
  for (const size_t cut : cuts) {
    SCOPED_TRACE("file cut at " + std::to_string(cut) + " of " + std::to_string(storm.raw.size()) + " bytes");
    const bytes raw(storm.raw.begin(), storm.raw.begin() + static_cast<long>(cut));
    for (const char* ext : {".sno", ".shd", ".abh"}) std::remove((base + ext).c_str());
    dp_test::write_file(ab, raw);
    const dp_test::child_end end = dp_test::run_droppair_in(dir.path.string(), "V05123_1.ab", k_limit_s);
    ASSERT_FALSE(end.timed_out);
    ASSERT_TRUE(end.exited) << "ended by signal " << end.signal;
    const std::string tail = log_tail(dp_test::read_text(dir.file("DROPPAIR.ERR")));

    if (cut < 4) {  // not even the first record header: the file is refused
      EXPECT_EQ(end.status, 1);
      const std::string last = cut < 2 ? "rawfil: corrupted ab-file\n" : "rawfil: wrong ab-format\n";
      EXPECT_TRUE(tail.size() >= last.size() && tail.compare(tail.size() - last.size(), last.size(), last) == 0)
          << tail;
      continue;
    }
    EXPECT_EQ(end.status, 0);
    // The record the cut falls into, if any, is named with its offset; nothing else is reported.
    const auto inside = std::find_if(storm.records.begin(), storm.records.end(), [&](const dp_test::storm_record& r) {
      return r.offset < cut && cut < r.offset + 4 + static_cast<size_t>(dp::load_les16(&storm.raw[r.offset + 2]));
    });
    EXPECT_EQ(tail, inside == storm.records.end() ? "" : unread_line(raw, inside->offset));

    const dp_test::run_outputs out = dp_test::read_outputs(base);
    dp_test::output_expectations expect;
    expect.raw = &raw;
    ASSERT_EQ(dp_test::check_outputs(out, expect), "");

    // The run on the cut file writes what the whole run writes until the cut can make a
    // difference: at a particle whose partner in camera B may lie beyond the first line the cut
    // took away, or at a main header that lies beyond the cut.
    double first_lost = std::numeric_limits<double>::infinity();
    std::vector<uint32_t> kept_headers;
    for (const auto& r : storm.records) {
      const size_t end_of_record = r.offset + 4 + static_cast<size_t>(dp::load_les16(&storm.raw[r.offset + 2]));
      if ((r.type == 1 || r.type == 2) && end_of_record > cut) first_lost = std::min(first_lost, r.first_y);
      if (r.type == 3 && end_of_record <= cut) kept_headers.push_back(dp::load_le32(&storm.raw[r.offset + 4 + 52]));
    }
    const double bound = first_lost - k_window - 100.0;
    const size_t same = departure(out.sno, complete.sno);
    if (same < out.sno.size()) {
      EXPECT_TRUE(explained(out.sno, same, bound, kept_headers) || explained(complete.sno, same, bound, kept_headers))
          << "the run on the cut file departs from the whole run at .sno offset " << same;
    } else if (same < complete.sno.size()) {
      EXPECT_TRUE(explained(complete.sno, same, bound, kept_headers))
          << "the run on the cut file stops short of the whole run at .sno offset " << same;
    }
    if (same > 0) ++compared;
  }
  EXPECT_GT(compared, static_cast<int>(cuts.size()) / 2);
}

}  // namespace
