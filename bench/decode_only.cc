// Decoding alone (a benchmark, not a test): reads a raw data file into memory, frames its records
// and decodes every line-data record (types 1 and 2) with the program's decoder into one fixed
// line array, doing nothing else with the lines. bench/ratio_bench.sh sets its whole-process time
// beside that of a droppair run on the same file. Framing stops where droppair's readers stop: at
// an incomplete record header, a negative length or a record running past the end of the file.
// Prints the counts, the time of the read and the time of the decoding (steady clock).
// Usage: decode_only FILE
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/byte_order.h"
#include "lines/line_decoder.h"
#include "lines/line_records.h"

namespace {

struct decode_counts {
  int64_t records = 0;       ///< records framed, of any type
  int64_t line_records = 0;  ///< records of type 1 or 2
  int64_t empty = 0;         ///< line-data records that gave no lines (empty or rejected)
  int64_t lines = 0;         ///< lines decoded
  int64_t framed_bytes = 0;  ///< bytes up to the end of the last record framed
};

bool read_file(const char* path, std::vector<uint8_t>* bytes) {
  std::FILE* fp = std::fopen(path, "rb");
  if (fp == nullptr) return false;
  bool ok = std::fseek(fp, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(fp) : -1;
  ok = ok && size >= 0 && std::fseek(fp, 0, SEEK_SET) == 0;
  if (ok) {
    bytes->resize(static_cast<size_t>(size));
    ok = std::fread(bytes->data(), 1, bytes->size(), fp) == bytes->size();
  }
  std::fclose(fp);
  return ok;
}

// The hot loop lives in its own function: GCC compiles code reachable only from main as cold.
decode_counts decode_all(const std::vector<uint8_t>& bytes, int16_t format, dp::line_rec* lines) {
  decode_counts c;
  const int64_t size = static_cast<int64_t>(bytes.size());
  int64_t pos = 0;
  while (pos + 4 <= size) {
    const int16_t type = dp::load_les16(bytes.data() + pos);
    const int16_t length = dp::load_les16(bytes.data() + pos + 2);
    if (length < 0 || pos + 4 + length > size) break;
    ++c.records;
    if (type == 1 || type == 2) {
      ++c.line_records;
      int16_t n_lin = 0;
      if (dp::decmpr(bytes.data() + pos + 4, length, format, lines, &n_lin, pos) == 1) c.lines += n_lin;
      else ++c.empty;
    }
    pos += 4 + length;
  }
  c.framed_bytes = pos;
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: decode_only FILE\n");
    return 2;
  }
  using clock = std::chrono::steady_clock;
  const auto t0 = clock::now();
  std::vector<uint8_t> bytes;
  if (!read_file(argv[1], &bytes)) {
    std::perror(argv[1]);
    return 1;
  }
  const auto t1 = clock::now();
  // The first record is a main header; its length gives the format, as droppair takes it.
  int16_t format = 0;
  if (bytes.size() >= 4 && dp::load_les16(bytes.data()) == 3) {
    const int16_t length = dp::load_les16(bytes.data() + 2);
    format = length == 38 ? 1 : length == 54 ? 2 : length == 56 ? 3 : 0;
  }
  if (format == 0) {
    std::fprintf(stderr, "%s: the first record is not a main header of format 1, 2 or 3\n", argv[1]);
    return 1;
  }
  std::vector<dp::line_rec> lines(dp::k_line_buf_size);
  const decode_counts c = decode_all(bytes, format, lines.data());
  const auto t2 = clock::now();
  const double read_s = std::chrono::duration<double>(t1 - t0).count();
  const double decode_s = std::chrono::duration<double>(t2 - t1).count();
  std::printf("file: %lld bytes, format %d, framed up to byte %lld\n", static_cast<long long>(bytes.size()),
              format, static_cast<long long>(c.framed_bytes));
  std::printf("records: %lld, line-data records: %lld (%lld without lines), lines decoded: %lld\n",
              static_cast<long long>(c.records), static_cast<long long>(c.line_records),
              static_cast<long long>(c.empty), static_cast<long long>(c.lines));
  std::printf("read: %.4f s, decode: %.4f s (%.1f MB/s), read and decode: %.4f s\n", read_s, decode_s,
              decode_s > 0 ? static_cast<double>(bytes.size()) / 1e6 / decode_s : 0.0, read_s + decode_s);
  return 0;
}
