#include "sno_reader.h"

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "base/byte_order.h"
#include "lines/line_decoder.h"
#include "lines/line_records.h"
#include "platform/clock.h"

namespace dp {

namespace {

constexpr int64_t k_window = 1 << 20;
constexpr int64_t k_table_file_max = 64 << 20;  // far beyond 100 headers; refuses absurd files
constexpr int64_t k_progress_every = 1024;      // records between two progress calls

bool seek_to(std::FILE* fp, int64_t off) {
#ifdef _WIN32
  return _fseeki64(fp, off, SEEK_SET) == 0;
#else
  return fseeko(fp, static_cast<off_t>(off), SEEK_SET) == 0;
#endif
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

bool set_fault(sno_fault* f, const std::string& file, int64_t offset, std::string what) {
  if (f != nullptr) *f = sno_fault{file, offset, std::move(what)};
  return false;
}

std::string read_error_text(const file_window& w) {
  return std::string("read error: ") + (w.err != 0 ? std::strerror(w.err) : "unexpected end of file");
}

/// The whole file at path (at most max bytes), or a fault.
bool read_whole(const std::string& path, int64_t max, std::vector<uint8_t>* out, sno_fault* fault) {
  file_window w;
  std::string why;
  if (!window_open(w, path, &why)) return set_fault(fault, path, -1, "cannot open: " + why);
  if (w.size > max) {
    window_close(w);
    return set_fault(fault, path, -1, format("size: expected at most %lld bytes, found %lld",
                                             static_cast<long long>(max), static_cast<long long>(w.size)));
  }
  out->assign(static_cast<size_t>(w.size), 0);
  if (w.size > 0 && std::fread(out->data(), 1, out->size(), w.fp) != out->size()) {
    w.err = errno;
    const std::string text = read_error_text(w);
    window_close(w);
    return set_fault(fault, path, -1, text);
  }
  window_close(w);
  return true;
}

void headers_from(const std::vector<uint8_t>& b, int64_t from, std::vector<sno_header_rec>* out) {
  out->clear();
  for (int64_t at = from; at + k_main_hd_size <= static_cast<int64_t>(b.size()); at += k_main_hd_size)
    out->push_back(make_header_rec(b.data() + at, at));
}

}  // namespace

std::string fault_text(const sno_fault& f) {
  if (f.offset < 0) return f.file + ": " + f.what;
  return f.file + ": byte offset " + std::to_string(f.offset) + ": " + f.what;
}

bool window_open(file_window& w, const std::string& path, std::string* why) {
  w = file_window{};
#ifdef _WIN32
  std::error_code ec;
  const auto kind = std::filesystem::status(path, ec).type();
  if (kind == std::filesystem::file_type::directory) {
    *why = "is a directory";
    return false;
  }
  if (!ec && kind != std::filesystem::file_type::regular) {
    *why = "not a regular file";
    return false;
  }
  w.fp = std::fopen(path.c_str(), "rb");
  if (w.fp == nullptr) {
    *why = std::strerror(errno);
    return false;
  }
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) {
    *why = ec.message();
    window_close(w);
    return false;
  }
  w.size = static_cast<int64_t>(size);
#else
  // Opened without blocking and judged by what was opened: a FIFO would otherwise wait for a
  // writer, and a name checked before the opening may name something else by then.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why = std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *why = std::strerror(errno);
    close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *why = S_ISDIR(st.st_mode)                          ? "is a directory"
           : S_ISFIFO(st.st_mode)                       ? "is a FIFO, not a regular file"
           : S_ISSOCK(st.st_mode)                       ? "is a socket, not a regular file"
           : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "is a device, not a regular file"
                                                        : "not a regular file";
    close(fd);
    return false;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  w.fp = fdopen(fd, "rb");
  if (w.fp == nullptr) {
    *why = std::strerror(errno);
    close(fd);
    return false;
  }
  w.size = static_cast<int64_t>(st.st_size);
#endif
  w.buf.resize(static_cast<size_t>(w.size < k_window ? (w.size > 0 ? w.size : 1) : k_window));
  return true;
}

const uint8_t* window_get(file_window& w, const int64_t off, const int64_t n) {
  const auto cap = static_cast<int64_t>(w.buf.size());
  if (w.fp == nullptr || w.failed || off < 0 || n < 0 || n > cap || off > w.size - n) return nullptr;
  if (off >= w.buf_at && off + n <= w.buf_at + w.buf_len) return w.buf.data() + (off - w.buf_at);
  if (off >= w.buf_at && off <= w.buf_at + w.buf_len) {
    const int64_t keep = w.buf_at + w.buf_len - off;
    std::memmove(w.buf.data(), w.buf.data() + (off - w.buf_at), static_cast<size_t>(keep));
    w.buf_len = keep;
  } else {
    if (!seek_to(w.fp, off)) {
      w.failed = true;
      w.err = errno;
      return nullptr;
    }
    w.buf_len = 0;
  }
  w.buf_at = off;
  while (w.buf_len < n) {
    const int64_t room = cap - w.buf_len;
    const int64_t left = w.size - (w.buf_at + w.buf_len);
    const int64_t want = room < left ? room : left;
    errno = 0;
    const size_t got = std::fread(w.buf.data() + w.buf_len, 1, static_cast<size_t>(want), w.fp);
    if (got == 0) {
      w.failed = true;
      w.err = errno;
      return nullptr;
    }
    w.buf_len += static_cast<int64_t>(got);
  }
  return w.buf.data();
}

void window_close(file_window& w) {
  if (w.fp != nullptr) std::fclose(w.fp);
  w.fp = nullptr;
}

sno_header_rec make_header_rec(const uint8_t* p, const int64_t offset) {
  sno_header_rec h;
  h.offset = offset;
  std::memcpy(h.bytes, p, k_main_hd_size);
  h.hd = decode_main_hd(p);
  h.start_line = static_cast<double>(h.hd.main_time % 86400u) * h.hd.line_fr;
  return h;
}

int holding_header(const std::vector<sno_header_rec>& headers, const double t) {
  const int n = static_cast<int>(headers.size());
  if (n == 0) return -1;
  for (int i = 0; i + 1 < n; ++i)
    if (headers[i].start_line <= t && t <= headers[i + 1].start_line) return i;
  return t >= headers[n - 1].start_line ? n - 1 : -1;
}

sno_head decode_sno_head(const uint8_t* p) {
  sno_head h;
  h.indic = load_les16(p);
  h.len_prev = load_les16(p + 2);
  h.y_start = load_f64(p + 4);
  h.eq_diam = load_les16(p + 12);
  h.line_no_A = load_les16(p + 14);
  h.line_no_diff = load_les16(p + 16);
  h.diff_lins = load_les16(p + 18);
  h.x_min_A = load_les16(p + 20);
  h.x_min_B = load_les16(p + 22);
  h.scale_h = load_les16(p + 24);
  h.scale_a = load_les16(p + 26);
  h.scale_b = load_les16(p + 28);
  h.img_len_A = load_les16(p + 30);
  h.img_len_B = load_les16(p + 32 + h.img_len_A);
  return h;
}

bool walker_open(sno_walker& w, const std::string& path, sno_fault* fault) {
  w = sno_walker{};
  w.path = path;
  std::string why;
  if (!window_open(w.win, path, &why)) return set_fault(fault, path, -1, "cannot open: " + why);
  return true;
}

walk_status walk_next(sno_walker& w, sno_record* rec, sno_fault* fault) {
  const int64_t at = w.at;
  const int64_t left = w.win.size - at;
  if (left <= 0) return walk_status::end;
  if (left < 4) {
    set_fault(fault, w.path, at, format("record head: expected 4 bytes, found %lld before the end of the file",
                                        static_cast<long long>(left)));
    return walk_status::fault;
  }
  const uint8_t* p = window_get(w.win, at, 4);
  if (p == nullptr) {
    set_fault(fault, w.path, at, read_error_text(w.win));
    return walk_status::fault;
  }
  const int16_t indic = load_les16(p);
  int32_t length = 0;
  if (indic == -k_main_hd_size) {
    length = k_main_hd_size;
  } else if (indic >= k_sno_min_particle && indic <= k_sno_max_particle) {
    length = indic;
  } else {
    set_fault(fault, w.path, at,
              format("indic: expected -74 (main header) or a particle record length of %d to %d, found %d",
                     k_sno_min_particle, k_sno_max_particle, indic));
    return walk_status::fault;
  }
  if (length > left) {
    set_fault(fault, w.path, at, format("record of %d bytes runs past the end of the file: expected %d bytes from here, found %lld",
                                        length, length, static_cast<long long>(left)));
    return walk_status::fault;
  }
  p = window_get(w.win, at, length);
  if (p == nullptr) {
    set_fault(fault, w.path, at, read_error_text(w.win));
    return walk_status::fault;
  }
  if (indic != -k_main_hd_size) {
    const int32_t len_a = load_les16(p + 30);
    if (len_a < 0 || len_a > length - k_sno_min_particle) {
      set_fault(fault, w.path, at + 30, format("img_len_A: expected 0 to %d (indic %d - 34), found %d",
                                               length - k_sno_min_particle, length, len_a));
      return walk_status::fault;
    }
    const int32_t len_b = load_les16(p + 32 + len_a);
    if (len_b != length - k_sno_min_particle - len_a) {
      set_fault(fault, w.path, at + 32 + len_a,
                format("img_len_B: expected %d (indic %d - 34 - img_len_A %d), found %d",
                       length - k_sno_min_particle - len_a, length, len_a, len_b));
      return walk_status::fault;
    }
  }
  rec->offset = at;
  rec->indic = indic;
  rec->len_prev = load_les16(p + 2);
  rec->length = length;
  rec->before = at == 0 ? 0 : w.last_len;
  rec->p = p;
  w.at = at + length;
  w.last_len = length;
  return walk_status::record;
}

void walker_close(sno_walker& w) { window_close(w.win); }

image_shape decode_image(const uint8_t* p, const int32_t len) {
  image_shape s;
  if (len < 2) return s;
  static line_rec decoded[k_line_buf_size];  // images are read one at a time
  int16_t n = 0;
  const int16_t r = decmpr(p, len, 3, decoded, &n, -1);
  if (r != 1 || n <= 0) return s;
  s.ok = true;
  s.lines = n;
  s.x_min = INT_MAX;
  s.x_max = INT_MIN;
  for (int32_t i = 0; i < n; ++i) {
    const line_rec& l = decoded[i];
    for (int j = 0; j < l.n_pieces && j < k_max_pieces; ++j) {
      if (l.piece[j].x_beg < s.x_min) s.x_min = l.piece[j].x_beg;
      if (l.piece[j].x_end > s.x_max) s.x_max = l.piece[j].x_end;
    }
  }
  if (s.x_min > s.x_max) s.x_min = s.x_max = 0;
  s.first_y = decoded[0].y_count;
  s.last_y = decoded[n - 1].y_count;
  return s;
}

int32_t lines_of_b(const sno_head& h, const image_shape& b) {
  if (b.ok && static_cast<int8_t>(static_cast<uint8_t>(b.lines - h.line_no_A)) == h.line_no_diff) return b.lines;
  return h.line_no_A + h.line_no_diff;
}

particle_values values_of(const uint8_t* p, const int64_t offset, const std::vector<sno_header_rec>& headers) {
  const sno_head h = decode_sno_head(p);
  particle_values v;
  v.offset = offset;
  v.y_start = h.y_start;
  v.header = holding_header(headers, h.y_start);
  const double freq = v.header >= 0 ? headers[static_cast<size_t>(v.header)].hd.line_fr
                                    : std::numeric_limits<double>::quiet_NaN();
  v.eq_diam_mm = h.eq_diam / 100.0;
  v.scale_a_mm = h.scale_a / 10000.0;
  v.scale_b_mm = h.scale_b / 10000.0;
  v.scale_h_mm = h.scale_h / 10000.0;
  v.time_s = h.y_start / freq;
  v.speed_m_s = v.scale_h_mm * freq / 1000.0;
  v.x_min_a = h.x_min_A;
  v.x_min_b = h.x_min_B;
  v.diff_lins = h.diff_lins;
  const image_shape a = decode_image(p + 32, h.img_len_A);
  const image_shape b = decode_image(p + 34 + h.img_len_A, h.img_len_B);
  v.lines_a = h.line_no_A;
  v.lines_b = lines_of_b(h, b);
  if (a.ok) {
    v.width_a_px = a.x_max - a.x_min;
    v.height_a_lines = a.lines;
  }
  if (b.ok) {
    v.width_b_px = b.x_max - b.x_min;
    v.height_b_lines = b.lines;
  }
  return v;
}

bool scan_sno(const std::string& path, sno_scan* scan, sno_fault* fault, const progress_fn& progress) {
  *scan = sno_scan{};
  sno_walker w;
  if (!walker_open(w, path, fault)) return false;
  scan->size = w.win.size;
  sno_record rec;
  walk_status st;
  while ((st = walk_next(w, &rec, fault)) == walk_status::record) {
    ++scan->records;
    if (rec.indic == -k_main_hd_size) {
      scan->headers.push_back(make_header_rec(rec.p, rec.offset));
    } else {
      ++scan->particles;
      scan->last_particle_len = rec.length;
      scan->last_particle_y = load_f64(rec.p + 4);
    }
    if (progress && scan->records % k_progress_every == 0) progress("reading", w.at, w.win.size);
  }
  walker_close(w);
  return st == walk_status::end;
}

bool for_each_particle(const std::string& path, const sno_scan& scan,
                       const std::function<void(const particle_values&)>& each, sno_fault* fault,
                       const progress_fn& progress) {
  sno_walker w;
  if (!walker_open(w, path, fault)) return false;
  sno_record rec;
  walk_status st;
  int64_t n = 0;
  while ((st = walk_next(w, &rec, fault)) == walk_status::record) {
    if (rec.indic != -k_main_hd_size) each(values_of(rec.p, rec.offset, scan.headers));
    if (progress && ++n % k_progress_every == 0) progress("decoding", w.at, w.win.size);
  }
  walker_close(w);
  return st == walk_status::end;
}

bool read_shd(const std::string& path, shd_tables* t, sno_fault* fault) {
  std::vector<uint8_t> b;
  if (!read_whole(path, k_table_file_max, &b, fault)) return false;
  t->size = static_cast<int64_t>(b.size());
  if (t->size < k_shd_tables)
    return set_fault(fault, path, -1, format("size: expected at least %d bytes (pix_bf and oldlen), found %lld",
                                             k_shd_tables, static_cast<long long>(t->size)));
  for (int k = 0; k < k_table_minutes; ++k) t->pix_bf[k] = load_les32(b.data() + 4 * k);
  t->oldlen = load_les16(b.data() + 5768);
  headers_from(b, k_shd_tables, &t->headers);
  return true;
}

bool read_abh(const std::string& path, abh_tables* t, sno_fault* fault) {
  std::vector<uint8_t> b;
  if (!read_whole(path, k_table_file_max, &b, fault)) return false;
  t->size = static_cast<int64_t>(b.size());
  if (t->size < k_abh_tables)
    return set_fault(fault, path, -1,
                     format("size: expected at least %d bytes (posa_bf, posb_bf and lastpix_y), found %lld",
                            k_abh_tables, static_cast<long long>(t->size)));
  for (int k = 0; k < k_table_minutes; ++k) {
    t->posa_bf[k] = load_les32(b.data() + 4 * k);
    t->posb_bf[k] = load_les32(b.data() + 5768 + 4 * k);
  }
  t->lastpix_y = load_f64(b.data() + 11536);
  headers_from(b, k_abh_tables, &t->headers);
  return true;
}

bool raw_record_starts(const std::string& path, std::vector<int64_t>* starts, sno_fault* fault,
                       const progress_fn& progress) {
  starts->clear();
  file_window w;
  std::string why;
  if (!window_open(w, path, &why)) return set_fault(fault, path, -1, "cannot open: " + why);
  int64_t at = 0;
  while (w.size - at >= 4) {
    const uint8_t* p = window_get(w, at, 4);
    if (p == nullptr) {
      const std::string text = read_error_text(w);
      window_close(w);
      return set_fault(fault, path, at, text);
    }
    const int32_t len = load_les16(p + 2);
    if (len < 0 || at + 4 + len > w.size) break;
    starts->push_back(at);
    at += 4 + len;
    if (progress && starts->size() % k_progress_every == 0) progress("reading raw file", at, w.size);
  }
  window_close(w);
  return true;
}

std::string utc_text(const uint32_t t) {
  const civil_time c = clock_civil(t);
  return format("%04lld-%02d-%02d %02d:%02d:%02d", static_cast<long long>(c.year), c.month, c.day, c.hour, c.minute,
                c.second);
}

}  // namespace dp
