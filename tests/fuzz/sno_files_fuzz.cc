// Fuzz target of the tools' particle-file reader (tools/snodump): the bytes are up to three files,
// the .sno, the .shd and the .abh of one run, each as a little-endian uint32 length and that many
// bytes (a length past the input's end takes the rest; a file the input does not reach is absent).
// They go through what snodump and droppair-products do with them: the consistency check (with
// the side files present), the framing scan, the walk over every particle with its products, CSV
// row, summary and per-minute sums, and the table readers. Every reader must end with a result or
// a fault; files that pass the check must also read without a fault, with every particle under a
// main header and both images decodable.
#include <cstdio>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "fuzz/fuzz_harness.h"
#include "sno_check.h"
#include "sno_csv.h"
#include "sno_products.h"
#include "sno_reader.h"
#include "sno_summary.h"

namespace dp_fuzz {

int fuzz_sno_files(const uint8_t* data, size_t size) {
  init();
  static const char* const names[3] = {"V05123_1.sno", "V05123_1.shd", "V05123_1.abh"};
  bool present[3] = {false, false, false};
  size_t at = 0;
  for (int k = 0; k < 3 && at + 4 <= size; ++k) {
    const size_t want = dp::load_le32(data + at);
    at += 4;
    const size_t n = want < size - at ? want : size - at;
    write_file(names[k], data + at, n);
    present[k] = true;
    at += n;
  }
  for (int k = 0; k < 3; ++k)
    if (!present[k]) std::remove(names[k]);
  if (!present[0]) return 0;

  dp::check_report report;
  dp::sno_fault fault;
  const bool sound = dp::check_files({names[0], present[1] ? names[1] : "", present[2] ? names[2] : "", ""}, &report,
                                     &fault, nullptr);

  dp::run_summary summary;
  summary.sno_path = names[0];
  const bool scanned = dp::scan_sno(names[0], &summary.scan, &fault, nullptr);
  if (sound && !scanned) finding("the check passed a file the scan rejects: %s\n", dp::fault_text(fault).c_str());
  if (sound && (report.scan.records != summary.scan.records || report.scan.particles != summary.scan.particles ||
                report.scan.headers.size() != summary.scan.headers.size()))
    finding("the check's scan differs from scan_sno\n");
  if (present[1]) summary.have_shd = dp::read_shd(names[1], &summary.shd, &fault);
  if (present[2]) summary.have_abh = dp::read_abh(names[2], &summary.abh, &fault);

  dp::minute_table minutes;
  const dp::speed_check speed;
  int64_t damaged = 0;
  std::string row;
  const auto each = [&](const dp::particle_values& v) {
    const dp::particle_products p = dp::derive_products(v, summary.scan.headers, speed, false);
    row = dp::csv_row(v, p);
    dp::summary_add(summary, v);
    dp::summary_add_products(summary, p);
    dp::minute_add(minutes, v, p);
    damaged += v.header < 0 || v.height_a_lines < 0 || v.height_b_lines < 0;
  };
  const bool walked = dp::for_each_particle(names[0], summary.scan, each, &fault, nullptr);
  if (sound && !walked) finding("the check passed a file the walk rejects: %s\n", dp::fault_text(fault).c_str());
  if (sound && damaged > 0) finding("the check passed %lld damaged particle records\n", static_cast<long long>(damaged));

  static std::FILE* const sink = std::fopen("/dev/null", "w");
  if (sink == nullptr) finding("cannot open /dev/null\n");
  dp::print_summary(sink, summary);
  dp::write_minute_csv(sink, minutes, 0.0, nullptr);
  return 0;
}

}  // namespace dp_fuzz
