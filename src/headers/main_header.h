// Main header records (type 3): reading the payload of each of the three formats into hd_par,
// recognising a header met again (by valid_since alone; both scans meet every header), and, for
// a new header, building the 74-byte main_hd that its caller enters into the header list and
// hands to the particle writer.
// Owns base_frequ (line frequency of the header read last, set even for a repeated header), the
// table of headers seen, the first-header flag and the main_hd buffer. Gets the payload in
// memory; never touches the raw file itself.
//
// Payload, format 3 (56 bytes), little-endian, packed; also the field order of hd_par:
//   offset  width  type     field
//   0       2      int16    spare0 (not interpreted)
//   2       2      int16    data_format (shown on the console)
//   4       2      int16    oeu_nr (0: none given)
//   6       8      float64  base_frequ: line frequency, lines per second
//   14      2      int16    x_center: centre pixel of a camera line
//   16      2      int16    gate1
//   18      2      int16    gate2
//   20      4      float32  HBL: distance between the light planes at one corner
//   24      4      float32  HBR: the same at a second corner
//   28      4      float32  HFR: the same at a third corner
//   32      4      float32  XSCALE0_1, XSCALE0_2 (36): horizontal pixel sizes of cameras A, B
//   40      4      float32  L0_1, L0_2 (44): distance parameters of cameras A, B
//   48      2      int16    ratio_den
//   50      2      int16    ratio_num
//   52      4      uint32   valid_since: seconds since 1970-01-01 00:00
// Format 2 (54 bytes): format 3 without x_center, the fields from gate1 on 2 bytes earlier;
// x_center becomes 256.
// Format 1 (38 bytes):
//   0 int16 data_format | 2 int16 oeu_nr | 4 int16 timer divisor d | 6 int16 gate1 |
//   8 int16 gate2 | 10 float32 height (HBL = HBR = HFR) | 14 XSCALE0_1 | 18 XSCALE0_2 |
//   22 L0_1 | 26 L0_2 | 30 int16 ratio_den | 32 int16 ratio_num | 34 uint32 valid_since
// with base_frequ = 1193180 / d (32-bit integer division; d = 0 gives base_frequ 0, which
// main_hr refuses) and x_center 256; spare0 stays 0.
//
// main_hd, 74 bytes, little-endian, packed; the same bytes go to the .shd, the .abh and the .sno:
//   offset  width  type     field
//   0       2      int16    indic: -74 (0xFFB6), the negated length marks a header in the .sno
//   2       2      int16    len_prev: oldlen, length of the .sno record before this one
//   4       14     char     sno_name: .sno file name and extension, NUL-terminated; bytes after
//                           the terminator keep what the previous header left there
//   18      4      uint32   main_time: valid_since
//   22      8      float64  line_fr: base_frequ
//   30      4      float32  HBL, HBR (34), HFR (38)
//   42      2      int16    x_center
//   44      2      int16    gate1, gate2 (46)
//   48      4      float32  XSCALE0_1, XSCALE0_2 (52), L0_1 (56), L0_2 (60)
//   64      2      int16    oeu_nr
//   66      2      int16    hd_const_a 7080, hd_const_b 2 (68), hd_const_c 0 (70)
//   72      2      int16    ratio_pct: trunc(ratio_num * 100.0 / ratio_den); 0 when ratio_den 0
#pragma once

#include <cstdint>
#include <string>

namespace dp {

inline constexpr int k_main_hd_size = 74;
inline constexpr int k_max_headers = 100;  ///< distinct main headers a run can take

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

/// The main header output record, written to the .shd, .abh and .sno (74 bytes, see above).
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
  double base_frequ = 0;               ///< line frequency (lines per second) of the header read last
  uint32_t maint[k_max_headers] = {};  ///< valid_since of the headers already processed, in order
  int16_t n_maint = 0;
  bool first_header = true;            ///< the console overview is still to be shown
  main_hd current;                     ///< the record built for the newest header
};

extern main_header_state main_header;

/// The 74 bytes of h, little-endian, packed.
void encode_main_hd(const main_hd& h, uint8_t out[k_main_hd_size]);
/// h from its 74 bytes.
main_hd decode_main_hd(const uint8_t in[k_main_hd_size]);
/// ratio_num * 100 / ratio_den truncated toward zero, low 16 bits; 0 for ratio_den 0.
int16_t ratio_pct(int16_t ratio_num, int16_t ratio_den);
/// Reads the payload p[0..len) of raw-file format `format` into *par; 1 on success, 0 after its
/// report.
int16_t main_hr01(const uint8_t* p, int32_t len, int16_t format, hd_par* par);
/// The run's files, as the first header's overview names them and the record's sno_name holds.
struct header_files {
  std::string ab_path, sno_path, shd_path, abh_path;
};

/// Processes one main-header payload of raw-file format `format`: true when it is a header not met before, built into
/// current (len_prev: the length of the .sno record before it), false for a repeat; ends the
/// program on a payload it cannot take.
bool main_hr(const uint8_t* p, int32_t len, int16_t format, const header_files& files, int16_t len_prev);
/// Back to the start-up state.
void reset_main_header();

}  // namespace dp
