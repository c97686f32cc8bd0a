// STUB
#include "lines/particle_assembly.h"
namespace dp {
int16_t assign_pieces(frame_rec*, cam_queues*) { return 0; }
void flood_lab(line_rec*, int, int, int, int16_t) {}
int32_t span_lab(const line_rec*, int, int16_t) { return 0; }
int16_t width_lab(const line_rec*, int, int16_t) { return 0; }
void fill_lins(const line_rec*, particle_rec*, int, int16_t) {}
void xrange_lins(particle_rec*) {}
}  // namespace dp
