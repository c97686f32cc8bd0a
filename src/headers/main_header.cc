// STUB
#include "headers/main_header.h"
namespace dp {
main_header_state main_header;
void encode_main_hd(const main_hd&, uint8_t*) {}
main_hd decode_main_hd(const uint8_t*) { return main_hd{}; }
int16_t main_hr01(const uint8_t*, int32_t, hd_par*) { return 0; }
void main_hr(const uint8_t*, int32_t) {}
void reset_main_header() { main_header = main_header_state{}; }
}  // namespace dp
