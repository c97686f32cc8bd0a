// Decoder of a line-data payload (record types 1 and 2) into line_buf. Reads only the payload
// it is given; a record that is damaged or truncated is rejected with one error-log line.
// (Layout tables and bit diagram: see the unit's documentation below.)
#pragma once

#include <cstdint>

namespace dp {

/// Decodes the payload p[0..len) into lines.line_buf, the raw file's format number selecting the
/// width of the line numbers; stores the line count in *n_lin. Returns 1 when line_buf[0..*n_lin)
/// is valid, 0 when the record holds no lines or is rejected.
int16_t decmpr(const uint8_t* p, int32_t len, int16_t* n_lin);

}  // namespace dp
