#include "input_set.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <system_error>
#include <thread>

#include "sno_check.h"
#include "sno_efficiency.h"
#include "sno_products.h"

namespace dp {

namespace fs = std::filesystem;

namespace {

using md_ctx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

std::string hex(const unsigned char* p, unsigned n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (unsigned i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

/// The text of path, or empty when it cannot be read.
/// Why two headers cannot be of one instrument, or empty when they can.
std::string instrument_difference(const main_hd& a, const main_hd& b) {
  char buf[160];
  if (a.oeu_nr != b.oeu_nr) {
    std::snprintf(buf, sizeof buf, "OEU %d against %d", b.oeu_nr, a.oeu_nr);
    return buf;
  }
  const struct {
    const char* name;
    double x, y;
  } fields[] = {{"x_center", double(a.x_center), double(b.x_center)}, {"XSCALE0_1", a.XSCALE0_1, b.XSCALE0_1},
                {"XSCALE0_2", a.XSCALE0_2, b.XSCALE0_2},             {"L0_1", a.L0_1, b.L0_1},
                {"L0_2", a.L0_2, b.L0_2},                            {"HBL", a.HBL, b.HBL},
                {"HBR", a.HBR, b.HBR},                               {"HFR", a.HFR, b.HFR}};
  for (const auto& f : fields) {
    if (f.x != f.y) {
      std::snprintf(buf, sizeof buf, "geometry: %s %g against %g", f.name, f.y, f.x);
      return buf;
    }
  }
  return {};
}

/// The span a file covers, from its headers, its last particle and its .abh minute marks.
void place_in_time(input_file& f) {
  const std::vector<sno_header_rec>& hs = f.scan.headers;
  f.begin = f.end = static_cast<double>(hs.front().hd.main_time);
  if (f.scan.particles > 0) {
    const int h = holding_header(hs, f.scan.last_particle_y);
    if (h >= 0) f.end = std::max(f.end, line_time(hs[static_cast<size_t>(h)].hd, f.scan.last_particle_y));
  }
  abh_tables abh;
  sno_fault fault;
  if (read_abh(fs::path(f.path).replace_extension(".abh").string(), &abh, &fault)) {
    const double day = static_cast<double>(hs.front().hd.main_time - hs.front().hd.main_time % 86400u);
    for (int m = k_table_minutes - 1; m >= 0; --m) {
      if (abh.posa_bf[m] != 0 || abh.posb_bf[m] != 0) {
        f.end = std::max(f.end, day + 60.0 * m);
        break;
      }
    }
  }
}

}  // namespace

double line_time(const main_hd& hd, const double y) {
  return static_cast<double>(hd.main_time - hd.main_time % 86400u) + y / hd.line_fr;
}

bool file_sha256(const std::string& path, std::string* out, std::string* why) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *why = path + ": " + std::strerror(errno);
    return false;
  }
  md_ctx ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
  std::vector<unsigned char> buf(1 << 20);
  size_t n = 0;
  while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) EVP_DigestUpdate(ctx.get(), buf.data(), n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    *why = path + ": read error";
    return false;
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_DigestFinal_ex(ctx.get(), md, &len);
  *out = hex(md, len);
  return true;
}

std::string text_sha256(const std::string& text) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr);
  return hex(md, len);
}

bool find_particle_files(const std::vector<std::string>& args, std::vector<std::string>* paths, std::string* why) {
  paths->clear();
  for (const std::string& a : args) {
    std::error_code ec;
    if (fs::is_directory(a, ec)) {
      const size_t before = paths->size();
      for (fs::recursive_directory_iterator it(a, fs::directory_options::skip_permission_denied, ec), end;
           !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec) && it->path().extension() == ".sno") paths->push_back(it->path().string());
      }
      if (ec) {
        *why = a + ": " + ec.message();
        return false;
      }
      if (paths->size() == before) {
        *why = a + ": no particle file (*.sno) in it";
        return false;
      }
    } else if (fs::is_regular_file(a, ec)) {
      paths->push_back(a);
    } else {
      *why = a + ": no such particle file or directory";
      return false;
    }
  }
  // One file named twice (directly and through its directory) is one input.
  std::map<std::string, std::string> unique;
  for (const std::string& p : *paths) {
    std::error_code ec;
    const fs::path key = fs::weakly_canonical(p, ec);
    unique.emplace(ec ? p : key.string(), p);
  }
  paths->clear();
  for (const auto& [key, p] : unique) paths->push_back(p);
  std::sort(paths->begin(), paths->end());
  return true;
}

bool build_input_set(const std::vector<std::string>& paths, const provenance_source& given, input_set* set,
                     std::string* why) {
  *set = input_set{};
  std::vector<input_file> found;
  for (const std::string& path : paths) {
    input_file f;
    f.path = path;
    f.name = fs::path(path).filename().string();
    // The consistency check walks and decodes the whole file; it runs on a second core while
    // this one hashes and scans the same file.
    sno_fault check_fault;
    bool checked = false;
    std::thread checker([&] {
      const check_paths cp{path, fs::path(path).replace_extension(".shd").string(),
                           fs::path(path).replace_extension(".abh").string(), ""};
      check_report report;
      checked = check_files(cp, &report, &check_fault, nullptr);
    });
    sno_fault fault;
    std::string hash_why;
    const bool hashed = file_sha256(path, &f.sha256, &hash_why);
    const bool scanned = hashed && scan_sno(path, &f.scan, &fault, nullptr);
    checker.join();
    if (!hashed) {
      *why = hash_why;
      return false;
    }
    if (!checked) {
      set->notes.push_back(path + ": left out, it fails the consistency check: " + fault_text(check_fault));
      continue;
    }
    if (!scanned) {
      set->notes.push_back(path + ": left out: " + fault_text(fault));
      continue;
    }
    if (f.scan.headers.empty()) {
      set->notes.push_back(path + ": left out, it holds no main header");
      continue;
    }
    f.size = f.scan.size;
    f.settings_path = given.settings.empty() ? file_beside(path, "DROPPAIR.SET") : given.settings;
    f.calibration_path = given.calibration.empty() ? file_beside(path, "corrfact.dat") : given.calibration;
    if (!f.settings_path.empty()) f.settings_text = file_text(f.settings_path);
    if (!f.calibration_path.empty()) f.calibration_text = file_text(f.calibration_path);
    place_in_time(f);
    found.push_back(std::move(f));
  }

  // One instrument: every header of every file against the first file's first header.
  if (!found.empty()) {
    const main_hd& ref = found.front().scan.headers.front().hd;
    for (const input_file& f : found) {
      for (const sno_header_rec& h : f.scan.headers) {
        const std::string diff = instrument_difference(ref, h.hd);
        if (!diff.empty()) {
          *why = f.path + " is not from the instrument of " + found.front().path + " (" + diff +
                 "); give the particle files of one station per call";
          return false;
        }
      }
    }
  }

  std::stable_sort(found.begin(), found.end(), [](const input_file& a, const input_file& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.name < b.name;
  });
  double covered_until = -INFINITY;
  std::string covering;
  std::map<std::string, std::string> seen;  // sha256 -> path
  for (input_file& f : found) {
    const auto [it, fresh] = seen.emplace(f.sha256, f.path);
    if (!fresh) {
      set->notes.push_back(f.path + ": left out, the same bytes as " + it->second);
      continue;
    }
    if (f.end <= covered_until) {
      set->notes.push_back(f.path + ": left out, its time (" + iso_time(f.begin) + " to " + iso_time(f.end) +
                           ") lies within that of " + covering);
      continue;
    }
    f.count_after = std::isfinite(covered_until) ? covered_until : -INFINITY;
    if (f.begin < covered_until)
      set->notes.push_back(f.path + ": starts before " + covering + " ends; only its particles after " +
                           iso_time(covered_until) + " are counted");
    covered_until = f.end;
    covering = f.path;
    set->files.push_back(std::move(f));
  }
  return true;
}

}  // namespace dp
