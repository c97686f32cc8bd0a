// STUB
#include "lines/frame_compressor.h"
namespace dp {
int16_t cmpr_frm(int16_t, const line_rec*, int16_t* len, const uint8_t** buf) { *len = 0; *buf = nullptr; return 0; }
}  // namespace dp
