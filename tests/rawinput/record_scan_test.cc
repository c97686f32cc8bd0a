#include "rawinput/record_scan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "support/byte_builder.h"
#include "support/raw_fixture.h"
#include "support/temp_cwd.h"

namespace {

using dp_test::byte_builder;
using dp_test::bytes;

constexpr dp::scan_labels k_labels{"t01", "t02", "t03"};

class RecordScan : public testing::Test {
 protected:
  void SetUp() override { dp::reset_scans(); }
  void TearDown() override { dp::reset_scans(); }
};

/// What one read found: its result, the record's type and payload, and what was reported.
struct found {
  dp::scan_result result = dp::scan_result::failed;
  int16_t type = 0;
  bytes payload;
  std::string log;
};

found read(dp::scan_reader& r) {
  found f;
  dp::raw_record rec;
  testing::internal::CaptureStderr();
  f.result = dp::scan_record(r, k_labels, "t71", "t32", &rec);
  f.log = testing::internal::GetCapturedStderr();
  if (f.result == dp::scan_result::record) {
    f.type = rec.type;
    f.payload.assign(rec.payload, rec.payload + rec.length);
  }
  return f;
}

/// The first n bytes of data as the readers' source.
void expose(const bytes& data, size_t n) { dp::scan_from(dp::memory_source(data.data(), static_cast<int64_t>(n))); }

bool at_end(dp::scan_reader& r) { return dp::scan_at_end(r, "t71", "t32"); }

std::pair<dp::unread_reason, int16_t> unread(const dp::scan_reader& r) {
  int16_t length = -99;
  const dp::unread_reason why = dp::scan_unread(r, &length);
  return {why, length};
}

TEST_F(RecordScan, WholeRecordsAreTakenThenTheReaderStandsAtTheEnd) {
  const bytes data = byte_builder().record(1, {1, 2, 3}).record(3, {}).record(-7, {9}).out;
  expose(data, data.size());
  const found first = read(dp::scans.a);
  EXPECT_EQ(first.result, dp::scan_result::record);
  EXPECT_EQ(first.type, 1);
  EXPECT_EQ(first.payload, (bytes{1, 2, 3}));
  EXPECT_EQ(first.log, "");
  const found empty = read(dp::scans.a);  // a zero-length payload is a record too
  EXPECT_EQ(std::make_pair(empty.type, empty.payload), std::make_pair(int16_t{3}, bytes{}));
  EXPECT_EQ(std::make_pair(dp::scans.a.prev, dp::scans.a.pos), std::make_pair(7, 11));
  EXPECT_EQ(read(dp::scans.a).type, -7);
  EXPECT_EQ(read(dp::scans.a).result, dp::scan_result::end);
  EXPECT_EQ(std::make_pair(dp::scans.a.prev, dp::scans.a.pos), std::make_pair(11, 16));
  EXPECT_TRUE(at_end(dp::scans.a));
  EXPECT_EQ(unread(dp::scans.a), std::make_pair(dp::unread_reason::none, int16_t{0}));
  // Scan B reads on its own from the start; A's record stays where A left it.
  dp::reset_scans();
  expose(data, data.size());
  dp::raw_record a;
  ASSERT_EQ(dp::scan_record(dp::scans.a, k_labels, "t71", "t32", &a), dp::scan_result::record);
  EXPECT_EQ(read(dp::scans.b).type, 1);
  EXPECT_EQ(read(dp::scans.b).type, 3);
  EXPECT_EQ(std::make_pair(dp::scans.a.pos, dp::scans.b.pos), std::make_pair(7, 11));
  EXPECT_EQ(bytes(a.payload, a.payload + a.length), (bytes{1, 2, 3}));
}

TEST_F(RecordScan, UnreadableTailStopsTheReaderBeforeIt) {
  const struct {
    bytes tail;
    dp::unread_reason why;
    int16_t length;
  } cases[] = {
      {{7, 0, 5}, dp::unread_reason::incomplete_header, 0},
      {byte_builder().le16(1).le16(-2).zeros(10).out, dp::unread_reason::negative_length, -2},
      {byte_builder().le16(1).le16(100).zeros(20).out, dp::unread_reason::runs_past_end, 100},
  };
  for (const auto& c : cases) {
    dp::reset_scans();
    const bytes data = byte_builder().record(2, {5, 6}).raw(c.tail).out;
    expose(data, data.size());
    ASSERT_EQ(read(dp::scans.a).result, dp::scan_result::record) << c.length;
    for (int again = 0; again < 2; ++again) {  // standing at the end consumes nothing
      const found f = read(dp::scans.a);
      EXPECT_EQ(f.result, dp::scan_result::end) << c.length;
      EXPECT_EQ(f.log, "") << c.length;
      EXPECT_EQ(std::make_pair(dp::scans.a.prev, dp::scans.a.pos), std::make_pair(0, 6)) << c.length;
    }
    EXPECT_TRUE(at_end(dp::scans.a)) << c.length;
    EXPECT_EQ(unread(dp::scans.a), std::make_pair(c.why, c.length));
  }
}

TEST_F(RecordScan, GrowingSourceIsMeasuredAgainOnlyWhereAReaderReachesItsEnd) {
  const bytes data = byte_builder().record(1, {1}).record(2, bytes(40, 2)).record(3, {3, 3}).out;  // 5, 44, 6
  expose(data, 5 + 20);
  ASSERT_EQ(read(dp::scans.a).result, dp::scan_result::record);
  EXPECT_EQ(read(dp::scans.a).result, dp::scan_result::end);
  EXPECT_EQ(unread(dp::scans.a), std::make_pair(dp::unread_reason::runs_past_end, int16_t{40}));
  // Grown to two whole records: A measures again and takes the second.
  expose(data, 5 + 44);
  EXPECT_FALSE(at_end(dp::scans.a));
  EXPECT_EQ(read(dp::scans.a).payload, bytes(40, 2));
  EXPECT_EQ(dp::scans.ab_len, 49);
  // Grown again: B's first record lies within the length measured last, A's next beyond it.
  expose(data, data.size());
  ASSERT_EQ(read(dp::scans.b).result, dp::scan_result::record);
  EXPECT_EQ(dp::scans.ab_len, 49);
  EXPECT_EQ(read(dp::scans.a).type, 3);
  EXPECT_EQ(dp::scans.ab_len, 55);
}

TEST_F(RecordScan, FailuresAreReportedUnderTheCallersLabels) {
  // No source yet: measuring fails under the seek label, as with no file open.
  EXPECT_EQ(read(dp::scans.a).log, "t71: unexpected end of file\n");
  // A file whose stream cannot be read: the type read fails with the system's text.
  dp_test::temp_cwd tmp;
  dp_test::write_file(tmp.path("x.ab"), byte_builder().record(1, {1}).out);
  std::FILE* const fp = std::fopen(tmp.path("x.ab").c_str(), "ab");
  ASSERT_NE(fp, nullptr);
  dp::scan_from(dp::file_source(fp));
  const found f = read(dp::scans.a);
  EXPECT_EQ(f.result, dp::scan_result::failed);
  EXPECT_EQ(f.log, "t02: Bad file descriptor\n");
  EXPECT_EQ(dp::scans.a.pos, 0);
  std::fclose(fp);
}

TEST_F(RecordScan, CutAtEveryLengthYieldsTheWholeRecordsBeforeTheCut) {
  const bytes data = byte_builder()
                         .record(3, dp_test::header_payload(3))
                         .record(1, dp_test::line_payload(3, {{100, {{3, 9}}}, {101, {{4, 8}}}}))
                         .record(9, {})
                         .record(2, dp_test::line_payload(3, {{102, {{500, 530}}}}))
                         .record(1, bytes(3, 0))
                         .out;
  std::vector<int32_t> ends;  // where each record ends
  for (size_t at = 0; at < data.size(); ends.push_back(static_cast<int32_t>(at)))
    at += 4 + static_cast<size_t>(data[at + 2] | (data[at + 3] << 8));

  testing::internal::CaptureStderr();
  for (int32_t cut = 0; cut <= static_cast<int32_t>(data.size()); ++cut) {
    dp::reset_scans();
    const bytes part(data.begin(), data.begin() + cut);  // exactly sized, for the sanitizers
    expose(part, part.size());
    size_t n = 0;
    dp::raw_record rec;
    while (dp::scan_record(dp::scans.a, k_labels, "t71", "t32", &rec) == dp::scan_result::record) {
      ASSERT_LT(n, ends.size()) << "cut " << cut;
      EXPECT_EQ(dp::scans.a.prev, n == 0 ? 0 : ends[n - 1]) << "cut " << cut;
      EXPECT_EQ(dp::scans.a.pos, ends[n++]) << "cut " << cut;
    }
    const int32_t pos = n == 0 ? 0 : ends[n - 1];
    EXPECT_TRUE(n == ends.size() || ends[n] > cut) << "cut " << cut;
    EXPECT_EQ(dp::scans.a.pos, pos) << "cut " << cut;
    EXPECT_TRUE(at_end(dp::scans.a)) << "cut " << cut;
    const dp::unread_reason why = cut == pos      ? dp::unread_reason::none
                                  : cut - pos < 4 ? dp::unread_reason::incomplete_header
                                                  : dp::unread_reason::runs_past_end;
    EXPECT_EQ(unread(dp::scans.a).first, why) << "cut " << cut;
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
