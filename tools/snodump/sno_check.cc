#include "sno_check.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "base/byte_order.h"

namespace dp {

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[768];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

bool fail(sno_fault* f, const std::string& file, int64_t offset, std::string what) {
  *f = sno_fault{file, offset, std::move(what)};
  return false;
}

/// A line number as text: "%.1f" when it is a whole number, else all its digits.
std::string line_text(double y) {
  if (std::isfinite(y) && y == std::trunc(y) && std::fabs(y) < 1e15) return format("%.1f", y);
  return format("%.17g", y);
}

std::string base_name(const std::string& path) { return std::filesystem::path(path).filename().string(); }

/// One particle record as the index checks need it.
struct particle_at {
  int64_t offset;
  double y_start;
  int32_t length;
};

/// The copies of main header k: the first byte where they differ, blamed on the file that
/// disagrees with the other two (on the .shd when all three differ). A side file left out of the
/// check (empty path) takes no part; with one side file, a difference is blamed on it.
bool compare_headers(const check_paths& paths, size_t k, const sno_header_rec& sno, const shd_tables& shd,
                     const abh_tables& abh, sno_fault* fault) {
  const int n = static_cast<int>(k) + 1;
  const bool with_shd = !paths.shd.empty(), with_abh = !paths.abh.empty();
  if (with_shd && k >= shd.headers.size())
    return fail(fault, paths.shd, k_shd_tables + static_cast<int64_t>(k) * k_main_hd_size,
                format("main header %d: expected the record of %s at byte offset %lld, found the end of the file", n,
                       base_name(paths.sno).c_str(), static_cast<long long>(sno.offset)));
  if (with_abh && k >= abh.headers.size())
    return fail(fault, paths.abh, k_abh_tables + static_cast<int64_t>(k) * k_main_hd_size,
                format("main header %d: expected the record of %s at byte offset %lld, found the end of the file", n,
                       base_name(paths.sno).c_str(), static_cast<long long>(sno.offset)));
  const uint8_t* s = sno.bytes;
  if (!with_shd || !with_abh) {
    if (!with_shd && !with_abh) return true;
    const std::string& other = with_shd ? paths.shd : paths.abh;
    const sno_header_rec& o = with_shd ? shd.headers[k] : abh.headers[k];
    for (int i = 0; i < k_main_hd_size; ++i)
      if (s[i] != o.bytes[i])
        return fail(fault, other, o.offset + i,
                    format("main header %d (%s, byte %d of the record): expected 0x%02x as in %s, found 0x%02x", n,
                           main_hd_field(i), i, s[i], base_name(paths.sno).c_str(), o.bytes[i]));
    return true;
  }
  const uint8_t* h = shd.headers[k].bytes;
  const uint8_t* a = abh.headers[k].bytes;
  for (int i = 0; i < k_main_hd_size; ++i) {
    if (s[i] == h[i] && h[i] == a[i]) continue;
    const std::string field = format("main header %d (%s, byte %d of the record)", n, main_hd_field(i), i);
    if (h[i] == a[i])
      return fail(fault, paths.sno, sno.offset + i,
                  format("%s: expected 0x%02x as in %s and %s, found 0x%02x", field.c_str(), h[i],
                         base_name(paths.shd).c_str(), base_name(paths.abh).c_str(), s[i]));
    if (s[i] == h[i])
      return fail(fault, paths.abh, abh.headers[k].offset + i,
                  format("%s: expected 0x%02x as in %s and %s, found 0x%02x", field.c_str(), s[i],
                         base_name(paths.sno).c_str(), base_name(paths.shd).c_str(), a[i]));
    if (s[i] == a[i])
      return fail(fault, paths.shd, shd.headers[k].offset + i,
                  format("%s: expected 0x%02x as in %s and %s, found 0x%02x", field.c_str(), s[i],
                         base_name(paths.sno).c_str(), base_name(paths.abh).c_str(), h[i]));
    return fail(fault, paths.shd, shd.headers[k].offset + i,
                format("%s: expected 0x%02x as in %s at byte offset %lld, found 0x%02x (and 0x%02x in %s)", field.c_str(),
                       s[i], base_name(paths.sno).c_str(), static_cast<long long>(sno.offset + i), h[i], a[i],
                       base_name(paths.abh).c_str()));
  }
  return true;
}

/// A particle record against the one before it: the writer hands pairs over in the order of their
/// A particles' first lines, so y_start never falls; two particles on the same line differ at
/// least in their column, so a record that repeats the one before from y_start on is a copy.
bool check_order(const std::string& file, const sno_record& rec, const particle_at& before,
                 const std::vector<uint8_t>& before_body, sno_fault* fault) {
  const double y = load_f64(rec.p + 4);
  if (y < before.y_start)
    return fail(fault, file, rec.offset + 4,
                format("y_start: expected at least %s (y_start of the particle record before, at byte offset %lld), "
                       "found %s (records out of order)",
                       line_text(before.y_start).c_str(), static_cast<long long>(before.offset), line_text(y).c_str()));
  if (rec.length == before.length && std::equal(before_body.begin(), before_body.end(), rec.p + 4))
    return fail(fault, file, rec.offset,
                format("particle record: expected another particle than the record before (at byte offset %lld), "
                       "found the same %d bytes from y_start on (a duplicated record)",
                       static_cast<long long>(before.offset), rec.length - 4));
  return true;
}

/// The image and head checks of one particle record.
bool check_particle(const std::string& file, const sno_record& rec, sno_fault* fault) {
  const sno_head h = decode_sno_head(rec.p);
  const int64_t at = rec.offset;
  const image_shape a = decode_image(rec.p + 32, h.img_len_A);
  if (!a.ok)
    return fail(fault, file, at + 32,
                format("img_A (%d bytes): expected an image the line decoder accepts, found one it rejects", h.img_len_A));
  const image_shape b = decode_image(rec.p + 34 + h.img_len_A, h.img_len_B);
  if (!b.ok)
    return fail(fault, file, at + 34 + h.img_len_A,
                format("img_B (%d bytes): expected an image the line decoder accepts, found one it rejects", h.img_len_B));
  if (a.lines != h.line_no_A)
    return fail(fault, file, at + 14, format("line_no_A: expected %d (lines of img_A), found %d", a.lines, h.line_no_A));
  const auto diff = static_cast<int16_t>(static_cast<int8_t>(static_cast<uint8_t>(b.lines - h.line_no_A)));
  if (diff != h.line_no_diff)
    return fail(fault, file, at + 16,
                format("line_no_diff: expected %d (low byte of %d lines of img_B - line_no_A %d), found %d", diff,
                       b.lines, h.line_no_A, h.line_no_diff));
  if (!(a.first_y == h.y_start))
    return fail(fault, file, at + 4,
                format("y_start: expected %s (first line of img_A), found %s", line_text(a.first_y).c_str(),
                       line_text(h.y_start).c_str()));
  if (a.x_min != h.x_min_A)
    return fail(fault, file, at + 20, format("x_min_A: expected %d (first column of img_A), found %d", a.x_min, h.x_min_A));
  if (b.x_min != h.x_min_B)
    return fail(fault, file, at + 22, format("x_min_B: expected %d (first column of img_B), found %d", b.x_min, h.x_min_B));
  // Both particles span their images' lines: y_end = y_start + lines spanned.
  const double span_a = a.last_y - a.first_y + 1.0;
  const double span_b = b.last_y - b.first_y + 1.0;
  const double d_start = std::trunc(b.first_y - a.first_y);
  const double d_end = std::trunc((b.first_y + span_b) - (a.first_y + span_a));
  const double sum = d_start + d_end;
  const auto want = static_cast<int16_t>(std::fabs(sum) < 1e9 ? static_cast<int64_t>(sum) : 0);
  if (want != h.diff_lins)
    return fail(fault, file, at + 18,
                format("diff_lins: expected %d (from the first lines and spans of img_A and img_B), found %d", want,
                       h.diff_lins));
  return true;
}

/// A per-minute raw-file position table against the raw file's record starts.
bool check_positions(const check_paths& paths, const char* name, const int32_t* table, int64_t table_at,
                     const std::vector<int64_t>* starts, int32_t* set, sno_fault* fault) {
  for (int m = 0; m < k_table_minutes; ++m) {
    const int32_t v = table[m];
    if (v == 0) continue;
    ++*set;
    const int64_t at = table_at + 4 * m;
    if (v < 0)
      return fail(fault, paths.abh, at, format("%s[%d]: expected 0 or a raw-file position, found %d", name, m, v));
    if (starts == nullptr) continue;
    if (std::binary_search(starts->begin(), starts->end(), static_cast<int64_t>(v))) continue;
    const auto it = std::upper_bound(starts->begin(), starts->end(), static_cast<int64_t>(v));
    const std::string raw = base_name(paths.raw);
    if (it == starts->end() && (starts->empty() || v >= starts->back()))
      return fail(fault, paths.abh, at,
                  format("%s[%d]: expected the byte offset of a record of %s, found %d (beyond its last record%s)", name,
                         m, raw.c_str(), v,
                         starts->empty() ? "; it has none" : format(", which starts at %lld", static_cast<long long>(starts->back())).c_str()));
    return fail(fault, paths.abh, at,
                format("%s[%d]: expected the byte offset of a record of %s, found %d (inside the record at %lld)", name,
                       m, raw.c_str(), v, static_cast<long long>(*(it - 1))));
  }
  return true;
}

/// The .shd's oldlen and pix_bf as the last flush that wrote particle records left them.
bool check_shd_tables(const check_paths& paths, const shd_tables& shd, const std::vector<sno_header_rec>& headers,
                      const std::vector<particle_at>& particles, int64_t sno_size, check_report* report,
                      sno_fault* fault) {
  int32_t want_oldlen = 0;
  std::string why_oldlen = "no particle record in " + base_name(paths.sno);
  if (!particles.empty()) {
    want_oldlen = particles.back().length;
    why_oldlen = format("length of the last particle record, at %s byte offset %lld", base_name(paths.sno).c_str(),
                        static_cast<long long>(particles.back().offset));
  }
  if (shd.oldlen != want_oldlen)
    return fail(fault, paths.shd, 5768, format("oldlen: expected %d (%s), found %d", want_oldlen, why_oldlen.c_str(), shd.oldlen));
  if (shd.pix_bf[0] != 0) return fail(fault, paths.shd, 0, format("pix_bf[0]: expected 0, found %d", shd.pix_bf[0]));
  report->minutes_indexed = 1;
  int first_unset = -1;
  int32_t prev = 0;
  for (int k = 1; k < k_table_minutes; ++k) {
    const int32_t v = shd.pix_bf[k];
    const int64_t at = 4 * k;
    if (v == -1) {
      if (first_unset < 0) first_unset = k;
      continue;
    }
    if (first_unset >= 0)
      return fail(fault, paths.shd, at,
                  format("pix_bf[%d]: expected -1 after the unset pix_bf[%d] (minutes are indexed without gaps), found %d",
                         k, first_unset, v));
    const auto it = std::lower_bound(particles.begin(), particles.end(), static_cast<int64_t>(v),
                                     [](const particle_at& p, int64_t off) { return p.offset < off; });
    if (it == particles.end() || it->offset != v) {
      bool on_header = false;
      for (const sno_header_rec& h : headers) on_header |= h.offset == v;
      return fail(fault, paths.shd, at,
                  format("pix_bf[%d]: expected the byte offset of a particle record of minute %d or later, found %d (%s)", k,
                         k, v,
                         on_header ? "a main header record starts there"
                         : v >= sno_size ? "beyond the end of the .sno"
                                         : "no record starts there"));
    }
    // The writer took the minute under the line frequency of the header read last, which is the
    // holding one unless the frequency changed during the run: any header's frequency will do.
    const double f = headers[static_cast<size_t>(holding_header(headers, it->y_start))].hd.line_fr;
    const double q = it->y_start / (f * 60.0);
    bool reached = !std::isfinite(q) || q >= k;
    for (const sno_header_rec& h : headers) {
      const double qh = it->y_start / (h.hd.line_fr * 60.0);
      reached |= !std::isfinite(qh) || qh >= k;
    }
    if (!reached)
      return fail(fault, paths.shd, at,
                  format("pix_bf[%d]: expected the byte offset of a particle record of minute %d or later, found %d (a "
                         "record of minute %lld)",
                         k, k, v, static_cast<long long>(std::trunc(q))));
    if (v < prev)
      return fail(fault, paths.shd, at, format("pix_bf[%d]: expected at least %d (pix_bf[%d]), found %d", k, prev, k - 1, v));
    prev = v;
    ++report->minutes_indexed;
  }
  return true;
}

/// The .abh's lastpix_y and raw-file positions (against the raw file's record starts when raw is set).
bool check_abh_tables(const check_paths& paths, const abh_tables& abh, const std::vector<particle_at>& particles,
                      const std::vector<int64_t>* raw, check_report* report, sno_fault* fault) {
  const double want_y = particles.empty() ? 0.0 : particles.back().y_start;
  if (!(abh.lastpix_y == want_y))
    return fail(fault, paths.abh, 11536,
                particles.empty()
                    ? format("lastpix_y: expected 0.0 (no particle record in %s), found %s", base_name(paths.sno).c_str(),
                             line_text(abh.lastpix_y).c_str())
                    : format("lastpix_y: expected %s (y_start of the last particle record, at %s byte offset %lld), found %s",
                             line_text(want_y).c_str(), base_name(paths.sno).c_str(),
                             static_cast<long long>(particles.back().offset), line_text(abh.lastpix_y).c_str()));
  report->lastpix_y = abh.lastpix_y;
  if (!check_positions(paths, "posa_bf", abh.posa_bf, 0, raw, &report->raw_positions, fault)) return false;
  if (!check_positions(paths, "posb_bf", abh.posb_bf, 5768, raw, &report->raw_positions, fault)) return false;
  return true;
}

}  // namespace

const char* main_hd_field(const int i) {
  static const struct {
    int from;
    const char* name;
  } fields[] = {{0, "indic"},      {2, "len_prev"},   {4, "sno_name"},    {18, "main_time"},  {22, "line_fr"},
                {30, "HBL"},        {34, "HBR"},       {38, "HFR"},        {42, "x_center"},   {44, "gate1"},
                {46, "gate2"},      {48, "XSCALE0_1"}, {52, "XSCALE0_2"},  {56, "L0_1"},       {60, "L0_2"},
                {64, "oeu_nr"},     {66, "hd_const_a"}, {68, "hd_const_b"}, {70, "hd_const_c"}, {72, "ratio_pct"}};
  const char* name = "?";
  for (const auto& f : fields)
    if (i >= f.from) name = f.name;
  return name;
}

bool check_files(const check_paths& paths, check_report* report, sno_fault* fault, const progress_fn& progress) {
  *report = check_report{};
  shd_tables shd;
  abh_tables abh;
  const bool with_shd = !paths.shd.empty(), with_abh = !paths.abh.empty();
  if ((with_shd && !read_shd(paths.shd, &shd, fault)) || (with_abh && !read_abh(paths.abh, &abh, fault))) return false;
  if (with_shd && (shd.size - k_shd_tables) % k_main_hd_size != 0) {
    const int64_t whole = (shd.size - k_shd_tables) / k_main_hd_size;
    return fail(fault, paths.shd, k_shd_tables + whole * k_main_hd_size,
                format("size: expected 5770 + 74 x n bytes, found %lld (%lld bytes after %lld main header records)",
                       static_cast<long long>(shd.size), static_cast<long long>((shd.size - k_shd_tables) % k_main_hd_size),
                       static_cast<long long>(whole)));
  }
  if (with_abh && (abh.size - k_abh_tables) % k_main_hd_size != 0) {
    const int64_t whole = (abh.size - k_abh_tables) / k_main_hd_size;
    return fail(fault, paths.abh, k_abh_tables + whole * k_main_hd_size,
                format("size: expected 11544 + 74 x n bytes, found %lld (%lld bytes after %lld main header records)",
                       static_cast<long long>(abh.size), static_cast<long long>((abh.size - k_abh_tables) % k_main_hd_size),
                       static_cast<long long>(whole)));
  }
  std::vector<int64_t> starts;
  if (!paths.raw.empty()) {
    if (!raw_record_starts(paths.raw, &starts, fault, progress)) return false;
    report->raw_checked = true;
  }

  // The .sno, record by record.
  sno_walker w;
  if (!walker_open(w, paths.sno, fault)) return false;
  std::vector<sno_header_rec> headers;
  std::vector<particle_at> particles;
  std::vector<uint8_t> last_body;  // the last particle record from y_start on
  sno_scan& scan = report->scan;
  scan.size = w.win.size;
  sno_record rec;
  walk_status st;
  while ((st = walk_next(w, &rec, fault)) == walk_status::record) {
    ++report->records;
    ++scan.records;
    // Before len_prev: a copied record usually breaks the chain too, but is better named a copy.
    if (rec.indic != -k_main_hd_size && !particles.empty() &&
        !check_order(paths.sno, rec, particles.back(), last_body, fault)) {
      walker_close(w);
      return false;
    }
    if (rec.len_prev != rec.before) {
      walker_close(w);
      return fail(fault, paths.sno, rec.offset + 2,
                  rec.offset == 0 ? format("len_prev: expected 0 (first record), found %d", rec.len_prev)
                                  : format("len_prev: expected %d (length of the record before), found %d", rec.before,
                                           rec.len_prev));
    }
    if (rec.indic == -k_main_hd_size) {
      headers.push_back(make_header_rec(rec.p, rec.offset));
      scan.headers.push_back(headers.back());
      if (!compare_headers(paths, headers.size() - 1, headers.back(), shd, abh, fault)) {
        walker_close(w);
        return false;
      }
    } else {
      if (!check_particle(paths.sno, rec, fault)) {
        walker_close(w);
        return false;
      }
      particles.push_back({rec.offset, load_f64(rec.p + 4), rec.length});
      last_body.assign(rec.p + 4, rec.p + rec.length);
      ++scan.particles;
      scan.last_particle_len = rec.length;
      scan.last_particle_y = particles.back().y_start;
    }
    if (progress && report->records % 1024 == 0) progress("checking", w.at, w.win.size);
  }
  walker_close(w);
  if (st != walk_status::end) return false;
  report->headers = static_cast<int64_t>(headers.size());
  report->particles = static_cast<int64_t>(particles.size());

  // Main headers: no more of them in the .shd and .abh than in the .sno, each later in the day
  // than the one before, one holding for every particle.
  if (with_shd && shd.headers.size() > headers.size())
    return fail(fault, paths.shd, shd.headers[headers.size()].offset,
                format("main header %d: expected none (%s holds %d), found one", static_cast<int>(headers.size()) + 1,
                       base_name(paths.sno).c_str(), static_cast<int>(headers.size())));
  if (with_abh && abh.headers.size() > headers.size())
    return fail(fault, paths.abh, abh.headers[headers.size()].offset,
                format("main header %d: expected none (%s holds %d), found one", static_cast<int>(headers.size()) + 1,
                       base_name(paths.sno).c_str(), static_cast<int>(headers.size())));
  for (size_t i = 1; i < headers.size(); ++i)
    if (!(headers[i].start_line > headers[i - 1].start_line))
      return fail(fault, paths.sno, headers[i].offset + 18,
                  format("main header %d: expected a start line after %s (main header %d), found %s (main_time %u)",
                         static_cast<int>(i) + 1, line_text(headers[i - 1].start_line).c_str(), static_cast<int>(i), line_text(headers[i].start_line).c_str(),
                         headers[i].hd.main_time));
  for (const particle_at& p : particles)
    if (holding_header(headers, p.y_start) < 0)
      return fail(fault, paths.sno, p.offset + 4,
                  headers.empty()
                      ? format("y_start: expected a main header before the particle record, found none in the file")
                      : format("y_start: expected a line at or after %s (start of main header 1), found %s",
                               line_text(headers[0].start_line).c_str(), line_text(p.y_start).c_str()));

  if (with_shd && !check_shd_tables(paths, shd, headers, particles, w.win.size, report, fault)) return false;
  if (with_abh && !check_abh_tables(paths, abh, particles, report->raw_checked ? &starts : nullptr, report, fault))
    return false;
  return true;
}

std::string check_ok_line(const check_paths& paths, const check_report& r) {
  const auto count = [](int64_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
  };
  std::string line = "OK " + base_name(paths.sno) + ": " + count(r.records, "record") + " (" +
                     count(r.headers, "main header") + ", " + count(r.particles, "particle") + ", " +
                     count(2 * r.particles, "image") + " decoded); " + base_name(paths.shd) + ": " +
                     count(r.minutes_indexed, "minute") + " indexed; " + base_name(paths.abh) + ": lastpix_y " +
                     line_text(r.lastpix_y) + ", " + count(r.raw_positions, "raw-file position");
  if (r.raw_checked) line += " (all record starts of " + base_name(paths.raw) + ")";
  return line;
}

}  // namespace dp
