#include "ab_writer.h"

#include <algorithm>
#include <climits>

#include "base/byte_order.h"

namespace dp::abgen {

namespace {

constexpr int32_t k_max_payload = 32767;
constexpr int32_t k_max_block = 16383;
constexpr int32_t k_block_overhead = 18;  // header, 8-byte line number, end code, padding, spare
constexpr size_t k_out_chunk = 1 << 20;

// Codes packed least significant bit first into 16-bit little-endian words appended to out.
struct bit_sink {
  std::vector<uint8_t>* out;
  uint64_t acc = 0;
  int count = 0;
};

void put_code(bit_sink& w, uint32_t value, int width, bool flag) {
  const uint64_t code = (value & ((1u << (width - 1)) - 1u)) | (static_cast<uint64_t>(flag) << (width - 1));
  w.acc |= code << w.count;
  w.count += width;
  while (w.count >= 16) {
    w.out->push_back(static_cast<uint8_t>(w.acc));
    w.out->push_back(static_cast<uint8_t>(w.acc >> 8));
    w.acc >>= 16;
    w.count -= 16;
  }
}

// The last word, its unused bits zero.
void end_codes(bit_sink& w) {
  if (w.count > 0) {
    w.out->push_back(static_cast<uint8_t>(w.acc));
    w.out->push_back(static_cast<uint8_t>(w.acc >> 8));
  }
  w.acc = 0;
  w.count = 0;
}

int bits_for(uint32_t v) {
  int n = 0;
  for (; v != 0; v >>= 1) ++n;
  return n;
}

bool same_pieces(const line_rec& a, const line_rec& b) {
  if (a.n_pieces != b.n_pieces) return false;
  for (int j = 0; j < a.n_pieces; ++j)
    if (a.piece[j].x_beg != b.piece[j].x_beg || a.piece[j].x_end != b.piece[j].x_end) return false;
  return true;
}

// Bound of the code bits of one line: at most 15 bits a code, two codes a piece.
int32_t line_bits(const line_rec& l, bool repeat) { return repeat ? 15 : 30 * l.n_pieces; }

// Codes lines[i..j) as one block at the end of out. False when it cannot be coded.
bool put_block(const line_rec* lines, const std::vector<char>& rep, int i, int j, int16_t format,
               const encode_style& style, rng& r, std::vector<uint8_t>& out, encode_stats* stats) {
  int min_x = INT_MAX;
  for (int k = i; k < j; ++k)
    if (!rep[k]) min_x = std::min<int>(min_x, lines[k].piece[0].x_beg);
  int x_off = 0;
  if (min_x == INT_MAX) {
    if (rng_chance(r, style.slack)) x_off = rng_int(r, 0, 1023);
  } else {
    x_off = min_x;
    if (rng_chance(r, style.slack)) x_off -= rng_int(r, 0, std::min(min_x, 40));
  }
  if (x_off < 0 || x_off > 1023) return false;

  uint32_t max_light = 1, max_dark = 1;
  for (int k = i; k < j; ++k) {
    if (rep[k]) continue;
    const line_rec& l = lines[k];
    if (l.n_pieces < 1 || l.n_pieces > k_max_pieces) return false;
    int prev_end = x_off;
    for (int p = 0; p < l.n_pieces; ++p) {
      const int gap = l.piece[p].x_beg - prev_end, len = l.piece[p].x_end - l.piece[p].x_beg;
      if (gap < 0 || len < 1) return false;
      max_light = std::max<uint32_t>(max_light, static_cast<uint32_t>(gap));
      max_dark = std::max<uint32_t>(max_dark, static_cast<uint32_t>(len));
      prev_end = l.piece[p].x_end;
    }
  }
  int nb_light = std::max(2, bits_for(max_light) + 1);
  int nb_dark = std::max(2, bits_for(max_dark) + 1);
  if (rng_chance(r, style.wider)) nb_light = std::min(15, nb_light + rng_int(r, 1, 3));
  if (rng_chance(r, style.wider)) nb_dark = std::min(15, nb_dark + rng_int(r, 1, 3));
  if (nb_light > 15 || nb_dark > 15) return false;
  const uint32_t max_rep = (1u << (nb_light - 1)) - 1u;

  const size_t start = out.size();
  out.resize(start + 4);
  const double y = lines[i].y_count;
  if (format == 3) {
    out.resize(out.size() + 8);
    store_f64(out.data() + start + 4, y);
  } else {
    if (y < 1.0 || y > 4294967295.0) return false;
    out.resize(out.size() + 4);
    store_le32(out.data() + start + 4, static_cast<uint32_t>(y));
  }
  bit_sink w{&out};
  for (int k = i; k < j;) {
    if (rep[k]) {
      int run = 0;
      while (k < j && rep[k]) ++run, ++k;
      stats->repeated_lines += run;
      while (run > 0) {
        const int c = std::min<int>(run, static_cast<int>(max_rep));
        put_code(w, static_cast<uint32_t>(c), nb_light, true);
        ++stats->repetitions;
        run -= c;
      }
      continue;
    }
    const line_rec& l = lines[k++];
    int prev_end = x_off;
    for (int p = 0; p < l.n_pieces; ++p) {
      put_code(w, static_cast<uint32_t>(l.piece[p].x_beg - prev_end), nb_light, false);
      put_code(w, static_cast<uint32_t>(l.piece[p].x_end - l.piece[p].x_beg), nb_dark,
               p == l.n_pieces - 1);
      prev_end = l.piece[p].x_end;
    }
  }
  put_code(w, 0, nb_light, true);
  end_codes(w);
  if (rng_chance(r, style.spare)) out.insert(out.end(), 2, 0);
  const size_t len = out.size() - start;
  if (len > static_cast<size_t>(k_max_block)) return false;
  store_le32(out.data() + start, static_cast<uint32_t>(len) | (static_cast<uint32_t>(x_off) << 14) |
                                     (static_cast<uint32_t>(nb_dark) << 24) |
                                     (static_cast<uint32_t>(nb_light) << 28));
  ++stats->blocks;
  ++stats->width_used[nb_light];
  ++stats->width_used[nb_dark];
  return true;
}

void write_camera(oeu_state& s, int cam, double stamp) {
  oeu_camera& c = s.cam[cam];
  if (c.lines.empty()) return;
  timed_record rec;
  rec.stamp = stamp;
  rec.rank = c.type;
  s.payload.clear();
  if (encode_payload(c.lines.data(), static_cast<int>(c.lines.size()), s.in.format, s.style, s.r,
                     s.payload, &s.stats))
    put_record(c.type, s.payload, rec.bytes);
  else
    s.uncodable = true;
  if (!rec.bytes.empty()) s.waiting.push_back(std::move(rec));
  c.lines.clear();
  c.bound = 2;
  c.max_lines = rng_int(s.r, s.min_lines, k_record_lines);
}

void flush_out(oeu_state& s) {
  if (s.out.empty()) return;
  if (s.f == nullptr || std::fwrite(s.out.data(), 1, s.out.size(), s.f) != s.out.size()) s.failed = true;
  s.bytes += s.out.size();
  s.out.clear();
}

// Headers due before limit join the waiting records; then every record before limit goes out.
void release(oeu_state& s, double limit, bool all) {
  while (s.next_header < s.header_lines.size() &&
         (all || s.header_lines[s.next_header] < limit)) {
    timed_record h;
    h.stamp = s.header_lines[s.next_header];
    h.rank = 0;
    std::vector<uint8_t> payload;
    header_payload(s.in, s.header_times[s.next_header], payload);
    put_record(3, payload, h.bytes);
    s.waiting.push_back(std::move(h));
    ++s.next_header;
  }
  std::stable_sort(s.waiting.begin(), s.waiting.end(), [](const timed_record& a, const timed_record& b) {
    return a.stamp < b.stamp || (a.stamp == b.stamp && a.rank < b.rank);
  });
  size_t n = 0;
  for (; n < s.waiting.size() && (all || s.waiting[n].stamp < limit); ++n) {
    const timed_record& rec = s.waiting[n];
    s.out.insert(s.out.end(), rec.bytes.begin(), rec.bytes.end());
    if (rec.rank == 0) ++s.headers_written;
  }
  s.waiting.erase(s.waiting.begin(), s.waiting.begin() + static_cast<std::ptrdiff_t>(n));
  if (s.out.size() >= k_out_chunk || all) flush_out(s);
}

}  // namespace

bool encode_payload(const line_rec* lines, int n, int16_t format, const encode_style& style,
                    rng& r, std::vector<uint8_t>& out, encode_stats* stats) {
  if (n < 1 || n > k_line_buf_size) return false;
  for (int k = 0; k < n; ++k)
    if (lines[k].n_pieces < 1 || lines[k].n_pieces > k_max_pieces) return false;
  encode_stats local = *stats;
  const size_t base = out.size();
  out.reserve(base + 2 + static_cast<size_t>(n) * 8);
  out.resize(base + 2);
  store_le16(out.data() + base, static_cast<uint16_t>(n));
  std::vector<char> rep(static_cast<size_t>(n), 0);
  int last = -1;
  for (int k = 0; k < n; ++k) {
    rep[k] = last >= 0 && same_pieces(lines[k], lines[last]);
    if (!rep[k]) last = k;
  }
  int blocks = 0;
  for (int i = 0; i < n;) {
    int32_t bits = line_bits(lines[i], rep[i]);
    int j = i + 1;
    while (j < n && lines[j].y_count == lines[j - 1].y_count + 1.0 &&
           (bits + line_bits(lines[j], rep[j])) / 8 + k_block_overhead <= k_block_bytes &&
           !rng_chance(r, style.split)) {
      bits += line_bits(lines[j], rep[j]);
      ++j;
    }
    if (i > 0 && lines[i].y_count == lines[i - 1].y_count + 1.0) ++local.split_blocks;
    if (!put_block(lines, rep, i, j, format, style, r, out, &local)) {
      out.resize(base);
      return false;
    }
    ++blocks;
    i = j;
  }
  if (out.size() - base > static_cast<size_t>(k_max_payload)) {
    out.resize(base);
    return false;
  }
  ++local.records;
  if (blocks > 1) ++local.multi_block;
  *stats = local;
  return true;
}

void header_payload(const instrument& in, uint32_t valid_since, std::vector<uint8_t>& out) {
  const size_t b = out.size();
  if (in.format == 1) {
    out.resize(b + 38, 0);
    uint8_t* p = out.data() + b;
    store_le16(p + 0, 1);
    store_le16(p + 2, static_cast<uint16_t>(in.oeu_nr));
    store_le16(p + 4, static_cast<uint16_t>(in.divisor));
    store_le16(p + 6, static_cast<uint16_t>(in.gate1));
    store_le16(p + 8, static_cast<uint16_t>(in.gate2));
    store_f32(p + 10, in.HBL);
    store_f32(p + 14, in.XSCALE0_1);
    store_f32(p + 18, in.XSCALE0_2);
    store_f32(p + 22, in.L0_1);
    store_f32(p + 26, in.L0_2);
    store_le16(p + 30, static_cast<uint16_t>(in.ratio_den));
    store_le16(p + 32, static_cast<uint16_t>(in.ratio_num));
    store_le32(p + 34, valid_since);
    return;
  }
  const int x = in.format == 3 ? 2 : 0;  // format 3 has x_center at 14, later fields move by 2
  out.resize(b + 54 + static_cast<size_t>(x), 0);
  uint8_t* p = out.data() + b;
  store_le16(p + 2, static_cast<uint16_t>(in.format));
  store_le16(p + 4, static_cast<uint16_t>(in.oeu_nr));
  store_f64(p + 6, in.freq);
  if (x != 0) store_le16(p + 14, static_cast<uint16_t>(in.x_center));
  store_le16(p + 14 + x, static_cast<uint16_t>(in.gate1));
  store_le16(p + 16 + x, static_cast<uint16_t>(in.gate2));
  store_f32(p + 18 + x, in.HBL);
  store_f32(p + 22 + x, in.HBR);
  store_f32(p + 26 + x, in.HFR);
  store_f32(p + 30 + x, in.XSCALE0_1);
  store_f32(p + 34 + x, in.XSCALE0_2);
  store_f32(p + 38 + x, in.L0_1);
  store_f32(p + 42 + x, in.L0_2);
  store_le16(p + 46 + x, static_cast<uint16_t>(in.ratio_den));
  store_le16(p + 48 + x, static_cast<uint16_t>(in.ratio_num));
  store_le32(p + 50 + x, valid_since);
}

void put_record(int16_t type, const std::vector<uint8_t>& payload, std::vector<uint8_t>& out) {
  const size_t b = out.size();
  out.resize(b + 4);
  store_le16(out.data() + b, static_cast<uint16_t>(type));
  store_le16(out.data() + b + 2, static_cast<uint16_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
}

void oeu_init(oeu_state& s, const instrument& in, std::FILE* f, uint64_t seed,
              const std::vector<double>& header_lines, const std::vector<uint32_t>& header_times) {
  const encode_style style = s.style;
  const int64_t idle = s.idle_lines, span = s.span_lines;
  const int32_t min_lines = s.min_lines;
  s = oeu_state{};
  s.style = style;
  s.idle_lines = idle;
  s.span_lines = span;
  s.min_lines = min_lines;
  s.in = in;
  s.f = f;
  rng_seed(s.r, seed);
  s.header_lines = header_lines;
  s.header_times = header_times;
  for (int c = 0; c < 2; ++c) {
    s.cam[c].type = static_cast<int16_t>(c + 1);
    s.cam[c].bound = 2;
    s.cam[c].max_lines = rng_int(s.r, s.min_lines, k_record_lines);
  }
}

void oeu_line(oeu_state& s, int cam, const line_rec& line) {
  oeu_camera& c = s.cam[cam];
  // A piece costs at most two 15-bit codes; a new block its header, line number and end.
  const auto cost = [&] {
    const bool joins = !c.lines.empty() && line.y_count == c.lines.back().y_count + 1.0;
    return 4 * line.n_pieces + (joins ? 0 : k_block_overhead);
  };
  if (!c.lines.empty()) {
    const double due = c.lines.front().y_count + static_cast<double>(s.span_lines);
    if (due <= line.y_count) write_camera(s, cam, due);
    else if (c.bound + cost() > k_record_bytes) write_camera(s, cam, line.y_count);
  }
  c.bound += cost();
  c.lines.push_back(line);
  if (static_cast<int32_t>(c.lines.size()) >= c.max_lines) write_camera(s, cam, line.y_count + 1.0);
}

void oeu_advance(oeu_state& s, double frontier) {
  for (int c = 0; c < 2; ++c) {
    const oeu_camera& cm = s.cam[c];
    if (cm.lines.empty()) continue;
    // The earlier of the two moments: the camera fell idle, or the record grew too old.
    const double due = std::min(cm.lines.back().y_count + static_cast<double>(s.idle_lines),
                                cm.lines.front().y_count + static_cast<double>(s.span_lines));
    if (due <= frontier) write_camera(s, c, due);
  }
  release(s, frontier, false);
}

void oeu_finish(oeu_state& s, double end_line) {
  while (!s.header_lines.empty() && s.header_lines.back() > end_line && s.header_lines.size() > s.next_header)
    s.header_lines.pop_back();
  s.header_times.resize(s.header_lines.size());
  for (int c = 0; c < 2; ++c)
    if (!s.cam[c].lines.empty())
      write_camera(s, c, s.cam[c].lines.back().y_count + static_cast<double>(s.idle_lines));
  release(s, 0.0, true);
}

}  // namespace dp::abgen
