// fuzz_make_corpus: writes the seed corpora of the fuzz targets, small inputs that reach every
// branch worth starting from: payloads of all three formats (from the test fixture builder and
// from the production compressor, so with fixed and with fitted code widths and repetitions),
// every record type, repeated and renewed main headers, records of unknown type, a truncated last
// record, raw files cut or ending in a record that cannot be read, an exhausted work pool, and the
// documented rejections of each reader. For the tools' readers: station files, and, from runs of
// the program that RUN_DIR holds (each in a folder of its own with its V*.sno, .shd and .abh;
// make_corpus.sh makes them), the three files of each run packed as the sno_files target reads
// them: whole, without side files, and with the .shd and the damage the consistency check looks
// for.
// Usage: fuzz_make_corpus CORPUS_DIR [RUN_DIR]   (writes CORPUS_DIR/<target>/<name>; make_corpus.sh)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lines/frame_compressor.h"
#include "lines/line_records.h"
#include "support/byte_builder.h"
#include "support/raw_fixture.h"
#include "support/storm_fixture.h"

namespace {

using dp_test::bit_builder;
using dp_test::byte_builder;
using dp_test::bytes;
using dp_test::fixture_line;

std::string g_root;
int g_written = 0;

void put(const std::string& target, const std::string& name, const bytes& b) {
  const std::filesystem::path dir = std::filesystem::path(g_root) / target;
  std::filesystem::create_directories(dir);
  std::ofstream f(dir / name, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  ++g_written;
}

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

bytes with_selector(int selector, const bytes& payload) {
  bytes b{static_cast<uint8_t>(selector)};
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

// The lines of an elliptic drop from line y.
std::vector<fixture_line> drop(double y, int x, int radius, int height) {
  std::vector<fixture_line> ls;
  for (int k = 0; k < height; ++k) {
    const int half = 1 + radius * (height - std::abs(2 * k - height + 1)) / height;
    ls.push_back({y + k, {{x - half, x + half}}});
  }
  return ls;
}

// The same lines through the production compressor (format 3, fitted widths, repetitions).
bytes compressed(const std::vector<fixture_line>& ls) {
  std::vector<dp::line_rec> recs;
  for (const auto& l : ls) {
    dp::line_rec r{};
    r.y_count = l.y;
    r.n_pieces = static_cast<int16_t>(l.pieces.size());
    for (size_t k = 0; k < l.pieces.size(); ++k) {
      r.piece[k].x_beg = static_cast<int16_t>(l.pieces[k].first);
      r.piece[k].x_end = static_cast<int16_t>(l.pieces[k].second);
    }
    recs.push_back(r);
  }
  int16_t len = 0;
  const uint8_t* buf = nullptr;
  if (dp::cmpr_frm(static_cast<int16_t>(recs.size()), recs.data(), &len, &buf) != 1) return {};
  return bytes(buf, buf + len);
}

// One format-3 block by hand: header fields, first line, code stream.
bytes block3(int x_off, int nb_dark, int nb_light, double y, const bit_builder& codes) {
  const bytes words = codes.words(1);
  byte_builder b;
  b.le32(static_cast<uint32_t>(12 + words.size()) | (static_cast<uint32_t>(x_off) << 14) |
         (static_cast<uint32_t>(nb_dark) << 24) | (static_cast<uint32_t>(nb_light) << 28));
  b.f64(y).raw(words);
  return b.out;
}

void line_decoder() {
  // The documented example: one line, one piece 100-104 at line 5.
  put("line_decoder", "f3-example",
      with_selector(2, {0x01, 0x00, 0x10, 0x00, 0x19, 0x24, 0, 0, 0, 0, 0, 0, 0x14, 0x40, 0xB0, 0x00, 0x00, 0x00}));
  auto ls = drop(1000, 300, 12, 9);
  auto two = drop(1020, 500, 5, 4);  // a second block after a jump
  ls.insert(ls.end(), two.begin(), two.end());
  for (int f = 1; f <= 3; ++f) put("line_decoder", "fixture-f" + std::to_string(f), with_selector(f - 1, dp_test::line_payload(f, ls)));
  // Identical lines (repetition codes) and six pieces on a line.
  std::vector<fixture_line> reps(5, fixture_line{0, {{10, 20}, {25, 30}, {40, 41}, {50, 60}, {70, 80}, {90, 95}}});
  for (size_t k = 0; k < reps.size(); ++k) reps[k].y = 77 + static_cast<double>(k);
  reps.push_back({82, {{0, 1023}}});
  put("line_decoder", "compressed-repeats", with_selector(2, compressed(reps)));
  put("line_decoder", "compressed-drop", with_selector(2, compressed(drop(5000, 600, 30, 20))));
  put("line_decoder", "no-lines", with_selector(2, {0, 0}));
  put("line_decoder", "negative-count", with_selector(2, {0x00, 0x80}));
  {  // a repetition as the first line
    bit_builder c;
    c.code(3, 5, 1).code(0, 5, 1);
    byte_builder b;
    b.le16(3).raw(block3(0, 5, 5, 10, c));
    put("line_decoder", "repeat-first", with_selector(2, b.out));
  }
  {  // a seventh piece
    bit_builder c;
    c.code(1, 5, 0);
    for (int k = 0; k < 7; ++k) c.code(2, 5, k == 6 ? 1 : 0).code(1, 5, 0);
    c.code(0, 5, 1);
    byte_builder b;
    b.le16(1).raw(block3(0, 5, 5, 10, c));
    put("line_decoder", "seven-pieces", with_selector(2, b.out));
  }
  {  // a light code with its flag set where a gap belongs
    bit_builder c;
    c.code(1, 5, 0).code(2, 5, 0).code(3, 5, 1).code(0, 5, 1);
    byte_builder b;
    b.le16(1).raw(block3(0, 5, 5, 10, c));
    put("line_decoder", "flag-in-gap", with_selector(2, b.out));
  }
  {  // more lines coded than counted, and a count beyond 2000 (repetitions of 1023)
    bit_builder c;
    c.code(4, 11, 0).code(3, 11, 1).code(1023, 11, 1).code(1023, 11, 1).code(60, 11, 1).code(0, 11, 1);
    byte_builder few, many;
    few.le16(2).raw(block3(0, 11, 11, 100, c));
    many.le16(2100).raw(block3(0, 11, 11, 100, c));
    put("line_decoder", "more-than-counted", with_selector(2, few.out));
    put("line_decoder", "beyond-2000", with_selector(2, many.out));
  }
  {  // format 1: the largest first line number, and a payload cut inside its block
    const bytes p = dp_test::line_payload(1, {{4294967295.0, {{3, 9}}}});
    put("line_decoder", "f1-largest-line", with_selector(0, p));
    put("line_decoder", "f1-cut", with_selector(0, bytes(p.begin(), p.end() - 3)));
  }
}

// Input of the compressor target: uint32 first line, then a control byte per line and its values.
void compressor() {
  byte_builder drop_shape;
  drop_shape.le32(4000);
  for (int k = 0; k < 12; ++k) drop_shape.u8(0).u8(static_cast<uint8_t>(70 - k)).u8(static_cast<uint8_t>(10 + 2 * k));
  put("compressor", "drop", drop_shape.out);
  byte_builder repeats;
  repeats.le32(77).u8(5 << 2).u8(10).u8(3).u8(2).u8(3).u8(2).u8(3).u8(2).u8(3).u8(2).u8(3).u8(2).u8(3);
  for (int k = 0; k < 40; ++k) repeats.u8(1);
  repeats.u8(2).u8(9).u8(0).u8(200).u8(255);
  put("compressor", "repeats-and-jump", repeats.out);
  byte_builder wide;
  wide.le32(123456).u8(0x20).le16(1000).le16(30).u8(0x20 | (1 << 2)).le16(5).le16(100).le16(-20).le16(8);
  put("compressor", "wide-not-codable", wide.out);
  byte_builder edge;
  edge.le32(1).u8(0x20).le16(1023).le16(1).u8(0x20 | (1 << 2)).le16(0).le16(512).le16(511).le16(1);
  put("compressor", "column-1024", edge.out);
}

void main_header() {
  for (int f = 1; f <= 3; ++f) put("main_header", "f" + std::to_string(f), with_selector(f, dp_test::header_payload(f)));
  dp_test::header_values zero_div;
  zero_div.divisor = 0;
  zero_div.ratio_den = 0;
  put("main_header", "f1-divisor-0", with_selector(1, dp_test::header_payload(1, zero_div)));
  const bytes f3 = dp_test::header_payload(3);
  put("main_header", "f3-short", with_selector(3, bytes(f3.begin(), f3.end() - 1)));
  put("main_header", "format-0", with_selector(0, f3));
}

std::string settings_line(const std::string& key, const std::string& value) {
  std::string line = key + "  text";
  line.append(60 - line.size(), ' ');
  return line + value + "\n";
}

void settings() {
  const char* keys[][2] = {{"HARDC_P", ""},     {"RAW_PATH", "raw"},  {"HYD_PATH", "hyd/"}, {"DELTA_HGT", "10"},
                           {"VEL_MIN", "0.5"},  {"F_VMIN", "0.6"},    {"VEL_MAX", "12.0"},  {"F_VMAX", "1.4"},
                           {"OBL_MIN", "0.5"},  {"F_OMIN", "0.8"},    {"OBL_MAX", "1.1"},   {"F_OMAX", "1.2"},
                           {"WA_WB", "0.7"},    {"RANK_ATLAS", "3"},  {"RANK_PB", "-2"}};
  std::string all = "settings of a fuzzed run\n";
  for (const auto& k : keys) all += settings_line(k[0], k[1]);
  put("settings", "complete", text(all));
  put("settings", "missing-last", text(all.substr(0, all.rfind("RANK_PB"))));
  std::string odd = "WA_WB_OLD   an older line read first" + std::string(30, ' ') + "1e3\n" + all;
  odd += "DELTA_HGT  a second line" + std::string(40, ' ') + "99999999\n";
  odd += settings_line("HYD_PATH", "a/path/longer/than/nineteen/characters with blank");
  put("settings", "prefix-and-long-values", text(odd));
  // Values the run refuses or warns about: a NUL in DELTA_HGT, WA_WB out of range and glued to the
  // text before column 61, trailing words, a key from column 80 on.
  std::string doubtful = std::string(79, '-') + settings_line("HYD_PATH", "past/column/79");
  doubtful += settings_line("DELTA_HGT", std::string("1\0" "2 lines", 8));
  doubtful += "WA_WB  glued to the text before column 61" + std::string(18, '.') + "10.5\n";
  doubtful += settings_line("RANK_ATLAS", "70000 and more") + all;
  put("settings", "doubtful-values", text(doubtful));
}

void calibration() {
  const std::string head =
      "Correction factors in percent for relative threshold\n"
      "fuzzing instrument, calibration no.                   17\n"
      "diameter:    0.30   0.50   0.75   1.00   1.50   2.00   3.00   4.00   5.50   7.00\n"
      "deviation of the measured from the true size in percent\n";
  const std::string rows =
      "height A:    5.00   4.00   3.00   2.50   2.00   1.50   1.00   0.50   0.00   0.00\n"
      "height B:    4.00   3.50   3.00   2.00   1.50   1.00   0.50   0.00   0.00  -0.50\n"
      "width A :    8.00   6.00   4.50   3.50   2.50   2.00   1.00   0.50   0.00  -1.00\n"
      "width B :    7.00   5.50   4.00   3.00   2.00   1.50   1.00   0.00  -0.50  -1.00\n";
  put("calibration", "complete", text(head + rows));
  put("calibration", "four-lines", text(head));
  std::string equal = head + rows;
  equal.replace(equal.find("0.50   0.75"), 11, "0.50   0.50");
  put("calibration", "equal-anchors", text(equal));
  put("calibration", "short-rows", text(head.substr(0, head.find("4.00")) + "\n\nheight A: 1e9\n"));
  // Fields that are not finite, blank or not numbers; diameters falling; a first line past 97.
  std::string bad = std::string(120, '#') + "\n" + head.substr(head.find('\n') + 1) + rows;
  bad.replace(bad.find("5.00"), 4, " nan");
  bad.replace(bad.find("3.50"), 4, "    ");
  bad.replace(bad.find("8.00"), 4, "abc!");
  bad.replace(bad.find("5.50   7.00"), 11, "5.50   5.00");
  put("calibration", "bad-fields", text(bad));
}

void whole_run() {
  for (int f = 1; f <= 3; ++f) {
    dp_test::storm_options o;
    o.format = f;
    o.windows = 30;
    o.seed = static_cast<unsigned>(f);
    o.repeat_header_every = 3;
    o.new_header_every = 5;
    o.junk_every = 4;
    put("whole_run", "rain-f" + std::to_string(f), dp_test::make_storm(o).raw);
  }
  dp_test::storm_options o;
  o.windows = 6;
  o.gap_min = 5;
  o.gap_max = 60;
  o.radius_min = 20;
  o.radius_max = 60;
  const bytes dense = dp_test::make_storm(o).raw;
  put("whole_run", "dense-rain", dense);
  put("whole_run", "cut-in-record", bytes(dense.begin(), dense.end() - 17));

  byte_builder only_header;
  only_header.record(3, dp_test::header_payload(3));
  put("whole_run", "only-header", only_header.out);
  byte_builder not_header;
  not_header.record(1, dp_test::line_payload(3, drop(100, 50, 3, 3)));
  put("whole_run", "first-not-header", not_header.out);

  // Every line its own particle: more than the 250 slots of the work pool in one frame.
  std::vector<fixture_line> specks;
  for (int k = 0; k < 300; ++k) specks.push_back({3000.0 + k, {{8 * (k % 60), 8 * (k % 60) + 3}}});
  byte_builder pool;
  pool.record(3, dp_test::header_payload(3));
  pool.record(1, dp_test::line_payload(3, specks));
  pool.record(2, dp_test::line_payload(3, specks));
  pool.record(1, dp_test::line_payload(3, drop(4000, 100, 5, 4)));
  pool.record(2, dp_test::line_payload(3, drop(4020, 100, 5, 4)));
  pool.record(1, dp_test::line_payload(3, drop(2000, 100, 5, 4)));  // line numbers going back
  put("whole_run", "pool-exhausted-then-back", pool.out);

  byte_builder negative;
  negative.record(3, dp_test::header_payload(2));
  negative.record(1, dp_test::line_payload(2, drop(5000, 200, 6, 5)));
  negative.record(2, dp_test::line_payload(2, drop(5015, 202, 6, 5)));
  negative.le16(1).le16(-8).zeros(8);
  put("whole_run", "negative-length", negative.out);
}

// Raw files for the record framing; the first byte, here the first record's type, also picks where
// the file stands before it grows (type 3: at about a hundredth, 0x80: at half, 0xff: whole).
void record_scan() {
  byte_builder good;
  good.record(3, dp_test::header_payload(3));
  good.record(1, dp_test::line_payload(3, drop(100, 50, 3, 3)));
  good.record(7, {});
  good.record(2, dp_test::line_payload(3, drop(104, 52, 3, 3)));
  put("record_scan", "records", good.out);
  put("record_scan", "empty", {});
  put("record_scan", "cut-in-record", bytes(good.out.begin(), good.out.end() - 9));
  put("record_scan", "cut-in-header", byte_builder(good).le16(1).u8(4).out);
  put("record_scan", "negative-length", byte_builder(good).le16(1).le16(-8).zeros(8).out);
  put("record_scan", "runs-past-end", byte_builder(good).le16(2).le16(500).zeros(10).out);
  byte_builder halves;
  for (int k = 0; k < 8; ++k) halves.record(0x80 + 0x100 * k, bytes(static_cast<size_t>(3 * k), 0x5a));
  put("record_scan", "grows-at-half", halves.out);
  byte_builder whole;
  whole.record(0xff, bytes(6, 1)).record(1, bytes(32767, 2)).record(2, bytes(1, 3));
  put("record_scan", "longest-record", whole.out);
  dp_test::storm_options o;
  o.windows = 20;
  o.repeat_header_every = 4;
  o.junk_every = 3;
  put("record_scan", "rain", dp_test::make_storm(o).raw);
}

bytes file_bytes(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The files of one run as the sno_files target takes them: each as uint32 length and bytes.
bytes packed(const std::vector<bytes>& files) {
  byte_builder b;
  for (const bytes& f : files) b.le32(static_cast<uint32_t>(f.size())).raw(f);
  return b.out;
}

// The records of a particle file, each as its bytes.
std::vector<bytes> records(const bytes& sno) {
  std::vector<bytes> recs;
  for (size_t at = 0; at + 4 <= sno.size();) {
    const int indic = static_cast<int16_t>(sno[at] | (sno[at + 1] << 8));
    const size_t len = indic == -74 ? 74 : static_cast<size_t>(indic);
    if (len < 34 || at + len > sno.size()) break;
    recs.emplace_back(sno.begin() + static_cast<std::ptrdiff_t>(at), sno.begin() + static_cast<std::ptrdiff_t>(at + len));
    at += len;
  }
  return recs;
}

bytes joined(const std::vector<bytes>& recs) {
  bytes out;
  for (const bytes& r : recs) out.insert(out.end(), r.begin(), r.end());
  return out;
}

void sno_files(const std::string& run_dir) {
  std::vector<std::filesystem::path> snos;
  for (const auto& e : std::filesystem::recursive_directory_iterator(run_dir))
    if (e.path().extension() == ".sno") snos.push_back(e.path());
  std::sort(snos.begin(), snos.end());
  for (const auto& path : snos) {
    const std::string run = path.parent_path().filename().string();
    const bytes sno = file_bytes(path);
    const bytes shd = file_bytes(std::filesystem::path(path).replace_extension(".shd"));
    const bytes abh = file_bytes(std::filesystem::path(path).replace_extension(".abh"));
    put("sno_files", run + "-whole", packed({sno, shd, abh}));
    put("sno_files", run + "-sno-only", packed({sno}));
    put("sno_files", run + "-without-abh", packed({sno, shd}));
    const std::vector<bytes> recs = records(sno);
    if (recs.size() < 4) continue;
    // Cut after a record and inside one; len_prev flipped; a record deleted, repeated, moved back.
    // The .shd is enough to find each (and keeps the seeds small).
    const size_t mid = recs.size() / 2;
    std::vector<bytes> head(recs.begin(), recs.begin() + static_cast<std::ptrdiff_t>(mid));
    put("sno_files", run + "-cut-at-record", packed({joined(head), shd}));
    bytes inside = joined(head);
    inside.insert(inside.end(), recs[mid].begin(), recs[mid].begin() + 9);
    put("sno_files", run + "-cut-in-record", packed({inside, shd}));
    std::vector<bytes> v = recs;
    v[mid][2] ^= 1;
    put("sno_files", run + "-len-prev", packed({joined(v), shd}));
    v = recs;
    v.erase(v.begin() + static_cast<std::ptrdiff_t>(mid));
    put("sno_files", run + "-deleted", packed({joined(v), shd}));
    v = recs;
    v.insert(v.begin() + static_cast<std::ptrdiff_t>(mid), recs[mid]);
    put("sno_files", run + "-repeated", packed({joined(v), shd}));
    v = recs;
    std::swap(v[mid], v[mid + 1]);
    put("sno_files", run + "-swapped", packed({joined(v), shd}));
  }
  put("sno_files", "empty-sno", packed({{}}));
  put("sno_files", "text", text(std::string("\x0e\0\0\0just some text", 18)));
}

void station() {
  put("station", "full",
      text("station_name: Test field\nstation_id: TF01\nlatitude: 47.8\nlongitude: 11.0\naltitude: 977\n"
           "sensor_name: two-camera distrometer\nsensor_serial_number: \"0042\"\ninstitution: somewhere\n"
           "license: CC-BY-4.0\ncontact: name <mail@example.org>\ntitle: t\nsummary: s\nkeywords: [rain, drops]\n"
           "site: {roof: yes}\nnote: ~\n"));
  put("station", "minimal", text("station_name: a b/c\nlatitude: -90\nlongitude: 359.5\naltitude: -500\n"));
  put("station", "flow", text("{station_name: x, latitude: 1e1, longitude: -1.5e2, altitude: 0x10}\n"));
  put("station", "missing-key", text("station_name: x\nlatitude: 1\nlongitude: 2\n"));
  put("station", "bad-number", text("station_name: x\nlatitude: north\nlongitude: 2\naltitude: 3\n"));
  put("station", "out-of-range", text("station_name: x\nlatitude: 91\nlongitude: 2\naltitude: 3\n"));
  put("station", "not-a-map", text("- station_name\n- latitude\n"));
  put("station", "anchors", text("a: &n 5\nstation_name: *n\nlatitude: *n\nlongitude: *n\naltitude: *n\n? [k]\n: v\n"));
  put("station", "bad-yaml", text("station_name: [unclosed\n  latitude: \"\n"));
  put("station", "deep", text(std::string(300, '[') + std::string(300, ']') + "\n"));
  put("station", "empty", text(""));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: fuzz_make_corpus CORPUS_DIR [RUN_DIR]\n");
    return 2;
  }
  g_root = argv[1];
  line_decoder();
  compressor();
  main_header();
  settings();
  calibration();
  record_scan();
  whole_run();
  station();
  if (argc == 3) sno_files(argv[2]);
  std::printf("%d seed inputs written to %s\n", g_written, g_root.c_str());
  return 0;
}
