#include "rawinput/byte_source.h"

#include <cerrno>
#include <cstring>

namespace dp {

byte_source file_source(std::FILE* fp) {
  byte_source s;
  s.fp = fp;
  return s;
}

byte_source memory_source(const uint8_t* data, int64_t size) {
  byte_source s;
  s.kind = source_kind::memory;
  s.data = data;
  s.size = size;
  return s;
}

source_status source_read(const byte_source& s, int64_t off, uint8_t* dst, int32_t want, int32_t* got) {
  *got = 0;
  errno = 0;
  if (s.kind == source_kind::memory) {
    if (off < 0) return source_status::seek_failed;
    const int64_t left = off < s.size ? s.size - off : 0;
    const int64_t n = left < want ? left : want;
    if (n > 0) std::memcpy(dst, s.data + off, static_cast<size_t>(n));
    *got = static_cast<int32_t>(n);
    return source_status::ok;
  }
  if (s.fp == nullptr || std::fseek(s.fp, static_cast<long>(off), SEEK_SET) != 0) return source_status::seek_failed;
  errno = 0;
  *got = static_cast<int32_t>(std::fread(dst, 1, static_cast<size_t>(want), s.fp));
  return source_status::ok;
}

source_status source_length(const byte_source& s, int64_t* len) {
  errno = 0;
  if (s.kind == source_kind::memory) {
    *len = s.size;
    return source_status::ok;
  }
  if (s.fp == nullptr || std::fseek(s.fp, 0, SEEK_END) != 0) return source_status::seek_failed;
  errno = 0;
  const long at = std::ftell(s.fp);
  if (at < 0) return source_status::tell_failed;
  *len = at;
  return source_status::ok;
}

}  // namespace dp
