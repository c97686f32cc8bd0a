// Where the record readers take their bytes from: an open file (the raw data file, read at
// offsets through its unbuffered stream) or bytes in memory (the tests and the fuzz targets). It
// reads a span at an offset and measures the length, and leaves errno as the failed operation set
// it (0 where there is no stream or the data simply end) so that its caller reports under its own
// labels; it never reports by itself. Owns nothing: the stream stays its opener's to close, the
// memory its owner's, and both must outlive every read through the source.
#pragma once

#include <cstdint>
#include <cstdio>

namespace dp {

enum class source_kind { file, memory };

/// A file source with no stream (the default) fails every seek, as the raw file does before it
/// is opened.
struct byte_source {
  source_kind kind = source_kind::file;
  std::FILE* fp = nullptr;        ///< file: the open stream
  const uint8_t* data = nullptr;  ///< memory: the bytes
  int64_t size = 0;               ///< memory: their count
};

/// What a read or a measurement came to.
enum class source_status {
  ok,
  seek_failed,  ///< the stream could not be positioned (or there is none)
  tell_failed,  ///< measuring: the position at the end could not be had
};

/// The source that reads the open stream fp (which may be null: no file yet).
byte_source file_source(std::FILE* fp);
/// The source that reads the size bytes at data.
byte_source memory_source(const uint8_t* data, int64_t size);
/// Copies up to want bytes from offset off into dst and stores their count in *got, fewer
/// where the data end first (errno 0) or a read fails (errno as the read left it).
source_status source_read(const byte_source& s, int64_t off, uint8_t* dst, int32_t want, int32_t* got);
/// Stores the source's present length in *len.
source_status source_length(const byte_source& s, int64_t* len);

}  // namespace dp
