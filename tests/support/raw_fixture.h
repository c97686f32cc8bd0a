// Test-only fixture builder for raw data files: main-header payloads of the three formats and
// line-data payloads from plain line descriptions, written record by record. Encodes on its own
// (fixed 11-bit codes, explicit lines only), independently of the production compressor.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/byte_builder.h"

namespace dp_test {

/// Main header values; defaults describe a plausible instrument.
struct header_values {
  int16_t data_format = 3;
  int16_t oeu_nr = 7;
  double base_frequ = 34000.0;
  int16_t divisor = 34;  // format 1 only
  int16_t x_center = 320;
  int16_t gate1 = 11, gate2 = 22;
  float HBL = 6.0f, HBR = 6.0f, HFR = 6.0f;
  float XSCALE0_1 = 0.15f, XSCALE0_2 = 0.15f;
  float L0_1 = 300.0f, L0_2 = 300.0f;
  int16_t ratio_den = 200, ratio_num = 37;
  uint32_t valid_since = 1115164800u;  // 2005-05-04 00:00:00 UTC
};

/// Main-header payload of the format (1: 38 bytes, 2: 54 bytes, 3: 56 bytes).
inline bytes header_payload(int format, const header_values& h = {}) {
  byte_builder b;
  if (format == 1) {
    b.le16(h.data_format).le16(h.oeu_nr).le16(h.divisor).le16(h.gate1).le16(h.gate2).f32(h.HBL);
  } else {
    b.le16(0).le16(h.data_format).le16(h.oeu_nr).f64(h.base_frequ);
    if (format == 3) b.le16(h.x_center);
    b.le16(h.gate1).le16(h.gate2).f32(h.HBL).f32(h.HBR).f32(h.HFR);
  }
  b.f32(h.XSCALE0_1).f32(h.XSCALE0_2).f32(h.L0_1).f32(h.L0_2).le16(h.ratio_den).le16(h.ratio_num);
  b.le32(h.valid_since);
  return b.out;
}

/// One line of a fixture: its line number and its pieces as (x_beg, x_end) pairs.
struct fixture_line {
  double y = 0;
  std::vector<std::pair<int, int>> pieces;
};

/// Line-data payload of the lines (format 3 uses 8-byte line numbers, 1 and 2 four bytes): one
/// block per run of consecutive line numbers, x offset 0, 11-bit light and dark codes.
inline bytes line_payload(int format, const std::vector<fixture_line>& ls) {
  byte_builder b;
  b.le16(static_cast<int>(ls.size()));
  size_t i = 0;
  while (i < ls.size()) {
    size_t j = i + 1;
    while (j < ls.size() && ls[j].y == ls[i].y + static_cast<double>(j - i)) ++j;
    bit_builder bits;
    for (size_t k = i; k < j; ++k) {
      int prev_end = 0;
      const auto& ps = ls[k].pieces;
      for (size_t p = 0; p < ps.size(); ++p) {
        bits.code(static_cast<uint32_t>(ps[p].first - prev_end), 11, 0);
        bits.code(static_cast<uint32_t>(ps[p].second - ps[p].first), 11, p + 1 == ps.size() ? 1 : 0);
        prev_end = ps[p].second;
      }
    }
    bits.code(0, 11, 1);
    const bytes code = bits.words(1);
    const int head = format == 3 ? 12 : 8;
    const uint32_t len = static_cast<uint32_t>(head + code.size());
    b.le32(len | (0u << 14) | (11u << 24) | (11u << 28));
    if (format == 3) b.f64(ls[i].y);
    else b.le32(static_cast<uint32_t>(ls[i].y));
    b.raw(code);
    i = j;
  }
  return b.out;
}

/// Writes bytes to path (replacing it).
inline void write_file(const std::string& path, const bytes& b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

/// Reads the whole file at path (empty when missing).
inline bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

}  // namespace dp_test
