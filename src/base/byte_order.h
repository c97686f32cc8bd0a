// Little-endian loads and stores of the fixed-width fields of every file this program reads or
// writes. Files are always read and written field by field through these helpers, never by
// copying a host integer or a struct, so the layouts hold on any host.
#pragma once

#include <cstdint>
#include <cstring>

namespace dp {

/// 16-bit unsigned value at p.
inline uint16_t load_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
/// 16-bit signed value at p.
inline int16_t load_les16(const uint8_t* p) { return static_cast<int16_t>(load_le16(p)); }
/// 32-bit unsigned value at p.
inline uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
/// 32-bit signed value at p.
inline int32_t load_les32(const uint8_t* p) { return static_cast<int32_t>(load_le32(p)); }
/// 64-bit unsigned value at p.
inline uint64_t load_le64(const uint8_t* p) {
  return static_cast<uint64_t>(load_le32(p)) | (static_cast<uint64_t>(load_le32(p + 4)) << 32);
}
/// IEEE single at p.
inline float load_f32(const uint8_t* p) {
  const uint32_t u = load_le32(p);
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}
/// IEEE double at p.
inline double load_f64(const uint8_t* p) {
  const uint64_t u = load_le64(p);
  double d;
  std::memcpy(&d, &u, 8);
  return d;
}

/// Stores the low 16 bits of v at p.
inline void store_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
// The stores are written out byte by byte rather than as loops: GCC at -O2 merges written-out
// byte stores into one store, but keeps a loop a loop (a shift and a byte store per byte).
/// Stores v at p.
inline void store_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
/// Stores v at p.
inline void store_le64(uint8_t* p, uint64_t v) {
  store_le32(p, static_cast<uint32_t>(v));
  store_le32(p + 4, static_cast<uint32_t>(v >> 32));
}
/// Stores the IEEE single f at p.
inline void store_f32(uint8_t* p, float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  store_le32(p, u);
}
/// Stores the IEEE double d at p.
inline void store_f64(uint8_t* p, double d) {
  uint64_t u;
  std::memcpy(&u, &d, 8);
  store_le64(p, u);
}

}  // namespace dp
