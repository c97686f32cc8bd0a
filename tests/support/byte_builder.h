// Test-only byte builder: makes binary inputs readable in tests. It encodes independently of the
// production code (no shared helpers), so decoding tests are real round trips.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace dp_test {

using bytes = std::vector<uint8_t>;

struct byte_builder {
  bytes out;

  byte_builder& u8(uint8_t v) { out.push_back(v); return *this; }
  byte_builder& le16(int v) {
    out.push_back(static_cast<uint8_t>(v & 0xff));
    out.push_back(static_cast<uint8_t>((v >> 8) & 0xff));
    return *this;
  }
  byte_builder& le32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xff));
    return *this;
  }
  byte_builder& f32(float f) { uint32_t u; std::memcpy(&u, &f, 4); return le32(u); }
  byte_builder& f64(double d) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>((u >> (8 * i)) & 0xff));
    return *this;
  }
  byte_builder& raw(const bytes& b) { out.insert(out.end(), b.begin(), b.end()); return *this; }
  byte_builder& text(const std::string& s) { out.insert(out.end(), s.begin(), s.end()); return *this; }
  byte_builder& zeros(size_t n) { out.insert(out.end(), n, 0); return *this; }
  /// A raw-file record: 2-byte type, 2-byte payload length, payload.
  byte_builder& record(int type, const bytes& payload) {
    le16(type);
    le16(static_cast<int>(payload.size()));
    return raw(payload);
  }
  size_t size() const { return out.size(); }
};

/// Packs codes least significant bit first into 16-bit little-endian words, as the line-data
/// code stream stores them: bits(value, width) appends `width` bits of value.
struct bit_builder {
  std::vector<int> stream;  // one entry per bit
  bit_builder& bits(uint32_t value, int width) {
    for (int i = 0; i < width; ++i) stream.push_back(static_cast<int>((value >> i) & 1u));
    return *this;
  }
  /// A code of width n: n-1 value bits, then the flag bit.
  bit_builder& code(uint32_t value, int width, int flag) {
    bits(value, width - 1);
    return bits(static_cast<uint32_t>(flag), 1);
  }
  /// The stream as bytes, padded with zero bits to whole 16-bit words plus `extra_words` words.
  bytes words(int extra_words = 0) const {
    size_t n_words = (stream.size() + 15) / 16 + static_cast<size_t>(extra_words);
    bytes b(n_words * 2, 0);
    for (size_t k = 0; k < stream.size(); ++k)
      if (stream[k]) b[(k / 16) * 2 + (k % 16) / 8] |= static_cast<uint8_t>(1u << (k % 8));
    return b;
  }
};

}  // namespace dp_test
