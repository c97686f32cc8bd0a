// Main header records (type 3): reading the payload of each of the three formats into hd_par,
// recognising a header met again (by valid_since), and, for a new header, building the 74-byte
// main_hd, entering it into the header list and appending it to the .shd, .abh and .sno.
// Owns base_frequ (line frequency of the header read last), the table of headers seen and the
// first-header flag.
#pragma once

#include <cstdint>

namespace dp {

inline constexpr int k_main_hd_size = 74;

/// The header parameters, fields as in the format-3 payload.
struct hd_par {
  int16_t spare0 = 0;
  int16_t data_format = 0;
  int16_t oeu_nr = 0;
  double base_frequ = 0;
  int16_t x_center = 0;
  int16_t gate1 = 0;
  int16_t gate2 = 0;
  float HBL = 0, HBR = 0, HFR = 0;
  float XSCALE0_1 = 0, XSCALE0_2 = 0;
  float L0_1 = 0, L0_2 = 0;
  int16_t ratio_den = 0;
  int16_t ratio_num = 0;
  uint32_t valid_since = 0;
};

/// The main header output record, written to the .shd, .abh and .sno (74 bytes, see encode).
struct main_hd {
  int16_t indic = -74;
  int16_t len_prev = 0;
  char sno_name[14] = {};
  uint32_t main_time = 0;
  double line_fr = 0;
  float HBL = 0, HBR = 0, HFR = 0;
  int16_t x_center = 0;
  int16_t gate1 = 0;
  int16_t gate2 = 0;
  float XSCALE0_1 = 0, XSCALE0_2 = 0;
  float L0_1 = 0, L0_2 = 0;
  int16_t oeu_nr = 0;
  int16_t hd_const_a = 7080;
  int16_t hd_const_b = 2;
  int16_t hd_const_c = 0;
  int16_t ratio_pct = 0;
};

struct main_header_state {
  double base_frequ = 0;      ///< line frequency (lines per second) of the main header read last
  uint32_t maint[100] = {};   ///< valid_since of the headers already processed
  int16_t n_maint = 0;
  bool first_header = true;   ///< the console overview is still to be shown
  main_hd current;            ///< the record built for the newest header
};

extern main_header_state main_header;

/// The 74 bytes of h, little-endian, packed.
void encode_main_hd(const main_hd& h, uint8_t out[k_main_hd_size]);
/// h from its 74 bytes.
main_hd decode_main_hd(const uint8_t in[k_main_hd_size]);
/// Reads the payload p[0..len) of the raw file's format into *par; 1 on success, 0 after its report.
int16_t main_hr01(const uint8_t* p, int32_t len, hd_par* par);
/// Processes one main-header payload; returns or ends the program.
void main_hr(const uint8_t* p, int32_t len);
/// Back to the start-up state.
void reset_main_header();

}  // namespace dp
