// Test-only: checks that the three output files a run left behind (.sno, .shd, .abh) agree with
// each other, whether the run ended normally, through its fatal path, or was killed: the .sno
// walks record by record with every backward link right and both images decodable; the main
// header records of the three files are the same ones in the same order (the .shd and the .abh
// may hold one header more than the .sno while a header is being appended); every table entry
// points at a complete particle record of the .sno (pix_bf, lastpix_y) or at a record of the raw
// data file (posa_bf, posb_bf). Optionally compares with the files of the complete run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "lines/line_decoder.h"
#include "lines/line_records.h"

namespace dp_test {

/// The output files of one run; a file that does not exist is absent.
struct run_outputs {
  bool has_sno = false, has_shd = false, has_abh = false;
  std::vector<uint8_t> sno, shd, abh;
};

/// Reads the three files named base + ".sno", ".shd", ".abh".
inline run_outputs read_outputs(const std::string& base) {
  run_outputs o;
  auto load = [](const std::string& path, bool* has, std::vector<uint8_t>* out) {
    std::FILE* const f = std::fopen(path.c_str(), "rb");
    *has = f != nullptr;
    if (f == nullptr) return;
    uint8_t chunk[65536];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) out->insert(out->end(), chunk, chunk + got);
    std::fclose(f);
  };
  load(base + ".sno", &o.has_sno, &o.sno);
  load(base + ".shd", &o.has_shd, &o.shd);
  load(base + ".abh", &o.has_abh, &o.abh);
  return o;
}

struct output_expectations {
  /// The raw data file the run read (or the part of it that existed): posa_bf and posb_bf may
  /// only hold offsets of its records. Null: not checked.
  const std::vector<uint8_t>* raw = nullptr;
  /// The run ended normally: all three files exist and hold the same headers.
  bool finished = true;
  /// The run was killed at an arbitrary moment: the .sno may end inside a record (the system
  /// can cut a large write short when the process dies in it); nothing may point there.
  bool torn_tail_allowed = false;
  /// Files of the complete run: the .sno must be a byte prefix of its .sno, the header
  /// records a prefix of its header records. Null: not compared.
  const run_outputs* complete = nullptr;
};

namespace output_check_detail {

constexpr size_t k_hd = 74;
constexpr size_t k_shd_table = 5770;
constexpr size_t k_abh_table = 11544;
constexpr int k_minutes = 1442;

inline std::string at(const char* what, size_t off) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s at offset %zu", what, off);
  return buf;
}

inline uint64_t bits64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// One image block of a particle record decodes (the first line count, capped as the decoder caps).
inline bool image_decodes(const uint8_t* p, int len) {
  static dp::line_rec decoded[dp::k_line_buf_size];
  int16_t n = 0;
  const int16_t ok = dp::decmpr(p, len, 3, decoded, &n, -1);
  return ok == 1 && n > 0;
}

}  // namespace output_check_detail

/// The walk of a .sno: record starts of particle records with their lengths and y_start bits,
/// and the main header records in order.
struct sno_walk {
  std::string error;              ///< empty when the file walks
  size_t whole = 0;               ///< bytes up to the end of the last whole record
  std::set<size_t> particle_at;   ///< offsets of complete particle records
  std::set<uint64_t> particle_y;  ///< y_start bit patterns of complete particle records
  std::set<int> lengths;          ///< lengths of complete records
  std::vector<std::vector<uint8_t>> headers;
};

inline sno_walk walk_sno(const std::vector<uint8_t>& sno, bool torn_tail_allowed) {
  using namespace output_check_detail;
  sno_walk w;
  size_t off = 0;
  int prev_len = 0;
  while (off < sno.size()) {
    const size_t left = sno.size() - off;
    if (left < 4) {
      if (!torn_tail_allowed) w.error = at(".sno ends inside a record head", off);
      break;
    }
    const int16_t indic = dp::load_les16(&sno[off]);
    const int16_t len_prev = dp::load_les16(&sno[off + 2]);
    if (len_prev != prev_len) {
      w.error = at(".sno len_prev does not give the length of the record before", off);
      break;
    }
    const size_t len = indic == -74 ? k_hd : static_cast<size_t>(indic < 0 ? 0 : indic);
    if (indic != -74 && indic < 38) {
      w.error = at(".sno record of impossible length", off);
      break;
    }
    if (len > left) {
      if (!torn_tail_allowed) w.error = at(".sno ends inside a record", off);
      break;
    }
    if (indic == -74) {
      w.headers.emplace_back(sno.begin() + static_cast<long>(off), sno.begin() + static_cast<long>(off + len));
    } else {
      const int len_a = dp::load_les16(&sno[off + 30]);
      if (len_a < 2 || 34 + static_cast<size_t>(len_a) + 2 > len) {
        w.error = at(".sno image A length does not fit its record", off);
        break;
      }
      const int len_b = dp::load_les16(&sno[off + 32 + len_a]);
      if (len_b < 2 || 34 + static_cast<size_t>(len_a) + static_cast<size_t>(len_b) != len) {
        w.error = at(".sno image lengths do not add up to the record length", off);
        break;
      }
      if (!image_decodes(&sno[off + 32], len_a) || !image_decodes(&sno[off + 34 + len_a], len_b)) {
        w.error = at(".sno image does not decode", off);
        break;
      }
      w.particle_at.insert(off);
      w.particle_y.insert(bits64(&sno[off + 4]));
    }
    w.lengths.insert(static_cast<int>(len));
    prev_len = static_cast<int>(len);
    off += len;
    w.whole = off;
  }
  return w;
}

/// Offsets of the records of a raw data file, as the scans read them: complete records from
/// offset 0 until one is incomplete or has a negative length.
inline std::set<int32_t> raw_record_starts(const std::vector<uint8_t>& raw) {
  std::set<int32_t> starts;
  size_t off = 0;
  while (off + 4 <= raw.size()) {
    const int16_t len = dp::load_les16(&raw[off + 2]);
    if (len < 0 || off + 4 + static_cast<size_t>(len) > raw.size()) break;
    starts.insert(static_cast<int32_t>(off));
    off += 4 + static_cast<size_t>(len);
  }
  return starts;
}

/// Empty when the files are consistent, else the first thing found wrong.
inline std::string check_outputs(const run_outputs& o, const output_expectations& e) {
  using namespace output_check_detail;
  if (e.finished && !(o.has_sno && o.has_shd && o.has_abh)) return "an output file is missing after a normal end";
  if (!o.has_sno && (o.has_shd || o.has_abh)) return ".shd or .abh exists without the .sno";
  if (!o.has_sno) return "";

  const sno_walk w = walk_sno(o.sno, e.torn_tail_allowed && !e.finished);
  if (!w.error.empty()) return w.error;
  if (e.complete != nullptr) {
    const auto& full = e.complete->sno;
    if (o.sno.size() > full.size() || !std::equal(o.sno.begin(), o.sno.end(), full.begin()))
      return ".sno is not a prefix of the complete run's .sno";
  }

  // Header records: the .sno's are a prefix of the .abh's, which are a prefix of the .shd's,
  // which hold at most one more than the .sno.
  std::vector<std::vector<uint8_t>> shd_headers, abh_headers;
  auto headers_of = [](const std::vector<uint8_t>& f, size_t table, std::vector<std::vector<uint8_t>>* out,
                       const char* name) -> std::string {
    if ((f.size() - table) % k_hd != 0) return std::string(name) + " ends inside a main header record";
    for (size_t off = table; off < f.size(); off += k_hd)
      out->emplace_back(f.begin() + static_cast<long>(off), f.begin() + static_cast<long>(off + k_hd));
    return "";
  };
  // A table file under creation is empty until its table part is written in one piece.
  const bool shd_tables = o.has_shd && !o.shd.empty();
  const bool abh_tables = o.has_abh && !o.abh.empty();
  if ((!shd_tables || !abh_tables) && (e.finished || !o.sno.empty()))
    return "the .shd or .abh has no table part while the .sno has records";
  if (shd_tables) {
    if (o.shd.size() < k_shd_table) return ".shd shorter than its table part";
    const std::string err = headers_of(o.shd, k_shd_table, &shd_headers, ".shd");
    if (!err.empty()) return err;
  }
  if (abh_tables) {
    if (o.abh.size() < k_abh_table) return ".abh shorter than its table part";
    const std::string err = headers_of(o.abh, k_abh_table, &abh_headers, ".abh");
    if (!err.empty()) return err;
  }
  auto is_prefix = [](const std::vector<std::vector<uint8_t>>& a, const std::vector<std::vector<uint8_t>>& b) {
    return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
  };
  if (shd_tables && abh_tables) {
    if (!is_prefix(w.headers, abh_headers) || !is_prefix(abh_headers, shd_headers))
      return "main header records of .sno, .abh and .shd differ";
    if (shd_headers.size() > w.headers.size() + 1) return ".shd holds more than one main header beyond the .sno";
    if (e.finished && shd_headers.size() != w.headers.size())
      return "after a normal end the three files do not hold the same main headers";
  }
  if (e.complete != nullptr && e.complete->has_shd && shd_tables) {
    std::vector<std::vector<uint8_t>> full;
    headers_of(e.complete->shd, k_shd_table, &full, ".shd");
    if (!is_prefix(shd_headers, full)) return ".shd main headers are not a prefix of the complete run's";
  }

  if (shd_tables) {
    if (dp::load_le32(&o.shd[0]) != 0) return "pix_bf[0] is not 0";
    int32_t last = 0;
    for (int k = 1; k < k_minutes; ++k) {
      const int32_t v = static_cast<int32_t>(dp::load_le32(&o.shd[4 * static_cast<size_t>(k)]));
      if (v == -1) continue;
      if (v < 0 || w.particle_at.count(static_cast<size_t>(v)) == 0)
        return at("pix_bf entry points at no complete particle record", 4 * static_cast<size_t>(k));
      if (v < last) return at("pix_bf entries go backwards", 4 * static_cast<size_t>(k));
      last = v;
    }
    const int16_t oldlen = dp::load_les16(&o.shd[5768]);
    if (oldlen != 0 && w.lengths.count(oldlen) == 0) return ".shd oldlen is the length of no record of the .sno";
  }
  if (abh_tables) {
    if (e.raw != nullptr) {
      const std::set<int32_t> starts = raw_record_starts(*e.raw);
      for (size_t k = 0; k < 2 * static_cast<size_t>(k_minutes); ++k) {
        const int32_t v = static_cast<int32_t>(dp::load_le32(&o.abh[4 * k]));
        if (v != 0 && starts.count(v) == 0) return at("posa_bf/posb_bf entry points at no raw record", 4 * k);
      }
    }
    const uint64_t y = bits64(&o.abh[11536]);
    if (y != 0 && w.particle_y.count(y) == 0) return ".abh lastpix_y is the y_start of no complete particle record";
  }
  return "";
}

}  // namespace dp_test
