// Fuzz target of the main-header payload reader: the first byte picks the raw file's format
// (byte % 5: 1, 2 and 3 are formats, 0 and 4 are not), the rest is the payload. main_hr01 must
// take exactly the payloads long enough for the format, and the main_hd built from what it read
// must come back unchanged through its 74-byte layout.
#include <cstring>

#include "fuzz/fuzz_harness.h"
#include "headers/main_header.h"

namespace dp_fuzz {

int fuzz_main_header(const uint8_t* data, size_t size) {
  init();
  if (size < 1) return 0;
  const int format = data[0] % 5;
  const auto len = static_cast<int32_t>(size - 1 > 4096 ? 4096 : size - 1);
  dp::hd_par par;
  const int16_t ok = dp::main_hr01(data + 1, len, static_cast<int16_t>(format), &par);
  const int32_t need = format == 1 ? 38 : format == 2 ? 54 : format == 3 ? 56 : -1;
  if ((ok == 1) != (need > 0 && len >= need))
    finding("main_hr01 gave %d for %d bytes of format %d\n", ok, len, format);
  if (ok != 1) return 0;
  if (format != 3 && par.x_center != 256) finding("format %d: x_center %d\n", format, par.x_center);

  dp::main_hd hd;
  hd.len_prev = static_cast<int16_t>(len);
  std::memcpy(hd.sno_name, "V05123_1.sno", 13);
  hd.main_time = par.valid_since;
  hd.line_fr = par.base_frequ;
  hd.HBL = par.HBL;
  hd.HBR = par.HBR;
  hd.HFR = par.HFR;
  hd.x_center = par.x_center;
  hd.gate1 = par.gate1;
  hd.gate2 = par.gate2;
  hd.XSCALE0_1 = par.XSCALE0_1;
  hd.XSCALE0_2 = par.XSCALE0_2;
  hd.L0_1 = par.L0_1;
  hd.L0_2 = par.L0_2;
  hd.oeu_nr = par.oeu_nr;
  hd.ratio_pct = dp::ratio_pct(par.ratio_num, par.ratio_den);
  uint8_t once[dp::k_main_hd_size];
  uint8_t twice[dp::k_main_hd_size];
  dp::encode_main_hd(hd, once);
  dp::encode_main_hd(dp::decode_main_hd(once), twice);
  if (std::memcmp(once, twice, sizeof once) != 0) finding("main_hd does not survive its layout\n");
  return 0;
}

}  // namespace dp_fuzz
