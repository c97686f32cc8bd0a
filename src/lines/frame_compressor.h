// Compressor of a particle's line list into a line-data payload with 8-byte line numbers (the
// layout the decoder reads for format 3), one block per run of consecutive line numbers.
// Owns its output buffer, valid until the next call.
#pragma once

#include <cstdint>

#include "lines/line_records.h"

namespace dp {

/// Compresses lines[0..n); *len receives the output length (2-byte count included), *buf the
/// output. Returns 1, or 0 when a value cannot be coded (nothing is written then; the caller
/// reports it). A frame longer than 16381 bytes ends the program with "cmpr_frm exceede \n".
int16_t cmpr_frm(int16_t n, const line_rec* lines, int16_t* len, const uint8_t** buf);

}  // namespace dp
