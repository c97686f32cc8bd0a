#include "headers/main_header.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/byte_order.h"
#include "base/messages.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/paths.h"

namespace dp {

main_header_state main_header;

void encode_main_hd(const main_hd& h, uint8_t out[k_main_hd_size]) {
  store_le16(out + 0, static_cast<uint16_t>(h.indic));
  store_le16(out + 2, static_cast<uint16_t>(h.len_prev));
  std::memcpy(out + 4, h.sno_name, sizeof h.sno_name);
  store_le32(out + 18, h.main_time);
  store_f64(out + 22, h.line_fr);
  store_f32(out + 30, h.HBL);
  store_f32(out + 34, h.HBR);
  store_f32(out + 38, h.HFR);
  store_le16(out + 42, static_cast<uint16_t>(h.x_center));
  store_le16(out + 44, static_cast<uint16_t>(h.gate1));
  store_le16(out + 46, static_cast<uint16_t>(h.gate2));
  store_f32(out + 48, h.XSCALE0_1);
  store_f32(out + 52, h.XSCALE0_2);
  store_f32(out + 56, h.L0_1);
  store_f32(out + 60, h.L0_2);
  store_le16(out + 64, static_cast<uint16_t>(h.oeu_nr));
  store_le16(out + 66, static_cast<uint16_t>(h.hd_const_a));
  store_le16(out + 68, static_cast<uint16_t>(h.hd_const_b));
  store_le16(out + 70, static_cast<uint16_t>(h.hd_const_c));
  store_le16(out + 72, static_cast<uint16_t>(h.ratio_pct));
}

main_hd decode_main_hd(const uint8_t in[k_main_hd_size]) {
  main_hd h;
  h.indic = load_les16(in + 0);
  h.len_prev = load_les16(in + 2);
  std::memcpy(h.sno_name, in + 4, sizeof h.sno_name);
  h.main_time = load_le32(in + 18);
  h.line_fr = load_f64(in + 22);
  h.HBL = load_f32(in + 30);
  h.HBR = load_f32(in + 34);
  h.HFR = load_f32(in + 38);
  h.x_center = load_les16(in + 42);
  h.gate1 = load_les16(in + 44);
  h.gate2 = load_les16(in + 46);
  h.XSCALE0_1 = load_f32(in + 48);
  h.XSCALE0_2 = load_f32(in + 52);
  h.L0_1 = load_f32(in + 56);
  h.L0_2 = load_f32(in + 60);
  h.oeu_nr = load_les16(in + 64);
  h.hd_const_a = load_les16(in + 66);
  h.hd_const_b = load_les16(in + 68);
  h.hd_const_c = load_les16(in + 70);
  h.ratio_pct = load_les16(in + 72);
  return h;
}

int16_t ratio_pct(int16_t ratio_num, int16_t ratio_den) {
  if (ratio_den == 0) return 0;
  const double q = std::trunc(ratio_num * 100.0 / ratio_den);
  // |q| <= 3276800, so it always fits 32 bits; the check keeps that explicit.
  if (!std::isfinite(q) || q < -2147483648.0 || q > 2147483647.0) return 0;
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(q))));
}

int16_t main_hr01(const uint8_t* p, int32_t len, int16_t format, hd_par* par) {
  int32_t need = 0;
  if (format == 1) need = 38;
  else if (format == 2) need = 54;
  else if (format == 3) need = 56;
  else {
    log_printf("main_hr: wrong format\n");
    std::fflush(stderr);
    con_printf("main_hr: wrong format");
    return 0;
  }
  if (p == nullptr || len < need) {
    log_printf("main_hr01: could not read parameter\n");
    errno = 0;
    report_syserr(format == 1 ? "main_hr01: could not read parameter " : " main_hr01: could not read parameter ");
    return 0;
  }

  if (format == 1) {
    par->data_format = load_les16(p + 0);
    par->oeu_nr = load_les16(p + 2);
    const int32_t divisor = load_les16(p + 4);
    // A divisor of 0 gives base_frequ 0, which main_hr refuses with its own messages.
    par->base_frequ = divisor == 0 ? 0.0 : static_cast<double>(int32_t{1193180} / divisor);
    par->gate1 = load_les16(p + 6);
    par->gate2 = load_les16(p + 8);
    par->HBL = par->HBR = par->HFR = load_f32(p + 10);
    par->XSCALE0_1 = load_f32(p + 14);
    par->XSCALE0_2 = load_f32(p + 18);
    par->L0_1 = load_f32(p + 22);
    par->L0_2 = load_f32(p + 26);
    par->ratio_den = load_les16(p + 30);
    par->ratio_num = load_les16(p + 32);
    par->valid_since = load_le32(p + 34);
    par->x_center = 256;
    return 1;
  }

  par->spare0 = load_les16(p + 0);
  par->data_format = load_les16(p + 2);
  par->oeu_nr = load_les16(p + 4);
  par->base_frequ = load_f64(p + 6);
  int32_t at = 14;
  if (format == 3) {
    par->x_center = load_les16(p + at);
    at += 2;
  } else {
    par->x_center = 256;
  }
  par->gate1 = load_les16(p + at);
  par->gate2 = load_les16(p + at + 2);
  par->HBL = load_f32(p + at + 4);
  par->HBR = load_f32(p + at + 8);
  par->HFR = load_f32(p + at + 12);
  par->XSCALE0_1 = load_f32(p + at + 16);
  par->XSCALE0_2 = load_f32(p + at + 20);
  par->L0_1 = load_f32(p + at + 24);
  par->L0_2 = load_f32(p + at + 28);
  par->ratio_den = load_les16(p + at + 32);
  par->ratio_num = load_les16(p + at + 34);
  par->valid_since = load_le32(p + at + 36);
  return 1;
}

namespace {

// The .sno name into sno_name: at most 13 characters and the terminator; the bytes behind the
// terminator keep what an earlier header left there.
void set_sno_name(char (&dst)[14], const std::string& name) {
  const size_t n = name.size() < sizeof dst - 1 ? name.size() : sizeof dst - 1;
  std::memcpy(dst, name.data(), n);
  dst[n] = '\0';
}

}  // namespace

bool main_hr(const uint8_t* p, int32_t len, int16_t format, const header_files& files, int16_t len_prev) {
  const path_parts sno_parts = split_path(files.sno_path);
  hprintf("main_hr: \n");

  hd_par loc_hd_par;
  if (main_hr01(p, len, format, &loc_hd_par) != 1) fatal_end();

  main_header.base_frequ = loc_hd_par.base_frequ;
  if (loc_hd_par.base_frequ == 0.0) fatal_log_first("main_hr: base_frequ = 0!\n", "main_hr: base_frequ = 0");

  if (main_header.first_header) {
    main_header.first_header = false;
    con_printf("file V*.AB : %s\n\n", files.ab_path.c_str());
    con_printf("file V*.SNO: %s\n", files.sno_path.c_str());
    con_printf("file V*.SHD : %s\n", files.shd_path.c_str());
    con_printf("file V*.ABH: %s\n", files.abh_path.c_str());
    if (loc_hd_par.oeu_nr == 0) con_printf("\ndata acquired by OEU : ???\n");
    else con_printf("\ndata acquired by OEU : %4d\n", loc_hd_par.oeu_nr);
    con_printf("data format          : %4d\n", loc_hd_par.data_format);
    // The pause keeps the overview readable; a redirected run has no one to read it.
    if (console_is_tty()) {
      std::fflush(stdout);
      clock_wait_seconds(2);
    }
  }

  for (int32_t i = 0; i < main_header.n_maint; ++i) {
    hprintf("i=%d maint=%ld loc_hd_par.valid_since=%ld \n", i, static_cast<int32_t>(main_header.maint[i]),
            static_cast<int32_t>(loc_hd_par.valid_since));
    if (main_header.maint[i] == loc_hd_par.valid_since) {
      hprintf("identical found \n");
      return false;
    }
  }
  if (main_header.n_maint >= k_max_headers)
    fatal_log_first("main_hr: more than 100 mainheaders !\n", " more than 100 mainheaders ! \n");
  main_header.maint[main_header.n_maint++] = loc_hd_par.valid_since;

  main_hd& hd = main_header.current;
  hd.indic = -k_main_hd_size;
  hd.len_prev = len_prev;
  set_sno_name(hd.sno_name, sno_parts.name + sno_parts.ext);
  hd.main_time = loc_hd_par.valid_since;
  hprintf("now writing oldlen=%d main_time=%lu \n", static_cast<int32_t>(len_prev), hd.main_time);
  hd.oeu_nr = loc_hd_par.oeu_nr;
  hd.hd_const_a = 7080;
  hd.hd_const_b = 2;
  hd.hd_const_c = 0;
  hd.line_fr = loc_hd_par.base_frequ;
  hd.HBL = loc_hd_par.HBL;
  hd.HBR = loc_hd_par.HBR;
  hd.HFR = loc_hd_par.HFR;
  hd.XSCALE0_1 = loc_hd_par.XSCALE0_1;
  hd.XSCALE0_2 = loc_hd_par.XSCALE0_2;
  hd.L0_1 = loc_hd_par.L0_1;
  hd.L0_2 = loc_hd_par.L0_2;
  hd.x_center = loc_hd_par.x_center;
  hd.gate1 = loc_hd_par.gate1;
  hd.gate2 = loc_hd_par.gate2;
  hd.ratio_pct = ratio_pct(loc_hd_par.ratio_num, loc_hd_par.ratio_den);

  return true;
}

void reset_main_header() { main_header = main_header_state{}; }

}  // namespace dp
