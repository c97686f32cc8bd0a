// The output file set: names the .sno, .shd and .abh after the raw data file (the .sno and .shd in
// the HYD_PATH directory, created when missing; the .abh in RAW_PATH), creates them with their
// initial contents and keeps all three streams open for the main header step and the particle
// file writer. Also the block writes of the two table parts and the reopen by name that those
// writers share, so that every table reaches a file in one layout.
// Owns the three streams and their names; the tables it writes belong to the timing model
// (posa_bf, posb_bf) and the particle writer (pix_bf, oldlen, lastpix_y, sno_size, pix_end),
// which pixfil sets to their start values. Never reads a file back.
// The streams are unbuffered and every record, block of records or table part goes to its file
// in one system call: so a run killed between two of them never leaves half a record or a table
// part that is half old, half new; and the tables only ever point at records written before them.
// Earlier results are kept until the run can write: pixfil creates the missing levels of HYD_PATH
// and opens all three files without emptying them before it empties any; a failure there leaves
// every existing file as it was. A block that a failed write left in part is cut off again.
//
// Header file (.shd), little-endian, packed:
//   offset  width     type         meaning
//   0       5768      int32[1442]  pix_bf: per minute of the day, .sno offset of its first
//                                  particle record (or of the next later minute's); -1 none yet;
//                                  entry 0 always 0
//   5768    2         int16        oldlen at the last table rewrite
//   5770    74 each   main_hd      main header records, in the order first met
//
// Raw-header index file (.abh), little-endian, packed:
//   offset  width     type         meaning
//   0       5768      int32[1442]  posa_bf: per minute, raw-file position for camera A; 0 none
//   5768    5768      int32[1442]  posb_bf: the same for camera B
//   11536   8         float64      lastpix_y: line number of the last particle record written
//   11544   74 each   main_hd      main header records, the same bytes as in the .shd
//
// Particle file (.sno): created empty; records described by the particle writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace dp {

inline constexpr int32_t k_pix_bf_bytes = 5768;      ///< 1442 int32 of pix_bf, posa_bf or posb_bf
inline constexpr int32_t k_shd_table_bytes = 5770;   ///< pix_bf and oldlen: offset of the first header
inline constexpr int32_t k_abh_table_bytes = 11544;  ///< posa_bf, posb_bf, lastpix_y

struct output_files_state {
  std::string pix_nam;  ///< path of the .sno: HYD_PATH + base name + ".sno"
  std::string hd_nam;   ///< path of the .shd: HYD_PATH + base name + ".shd"
  std::string abh_nam;  ///< path of the .abh: RAW_PATH + base name + ".abh"
  std::FILE* sno_fp = nullptr;
  std::FILE* shd_fp = nullptr;
  std::FILE* abh_fp = nullptr;
};

extern output_files_state out_files;

/// Creates the three files, named after the raw data file: the .sno and .shd in hyd_path, the
/// .abh in raw_path (each empty or ending in a separator); either all three streams are open
/// afterwards or the program ended (the step's texts, each followed by a line naming the file or
/// directory and the reason).
void pixfil(const std::string& hyd_path, const std::string& raw_path);
/// Closes fp when open and reopens name in "r+b" (unbuffered, positioned at the start); false,
/// with fp null and errno from the close or the open, when either fails (a failed close can be
/// the report of an earlier write that did not reach the disk).
bool reopen_output(std::FILE*& fp, const std::string& name);
/// After a failed write of a block that began at offset at of the file name: cuts the file back
/// to at when it is longer, so that no part of the block stays behind the last whole one. Keeps
/// errno; does nothing for a negative at or a file whose size cannot be changed (a device).
void cut_back(const std::string& name, long at);
/// Creates every missing level of the directory dir (empty: the working directory); false on
/// failure, with the level that could not be made (up to its separator) in *failed and errno set.
bool make_dirs(const std::string& dir, std::string* failed);
/// Writes the 1442 entries of a per-minute table (pix_bf, posa_bf or posb_bf) at the stream's
/// position as one 5768-byte block; false unless the whole block was written.
bool write_minute_table(std::FILE* fp, const int32_t* table);
/// Writes oldlen (the int16 behind pix_bf in the .shd) as one block; false unless written.
bool write_oldlen(std::FILE* fp, int16_t oldlen);
/// Writes lastpix_y (the float64 behind posb_bf in the .abh) as one block; false unless written.
bool write_lastpix_y(std::FILE* fp, double lastpix_y);
/// Writes the table part of the .shd (pix_bf, then oldlen; 5770 bytes) at the stream's position
/// in one write; returns the bytes written (0 for a null stream, errno EBADF).
size_t write_shd_table(std::FILE* fp, const int32_t* pix_bf, int16_t oldlen);
/// Writes the table part of the .abh (posa_bf, posb_bf, then lastpix_y; 11544 bytes) at the
/// stream's position in one write; returns the bytes written (0 for a null stream, errno EBADF).
size_t write_abh_table(std::FILE* fp, const int32_t* posa_bf, const int32_t* posb_bf, double lastpix_y);
/// Writes n bytes as one block at the stream's position; false unless all n were written (a null
/// stream fails with EBADF).
bool write_block(std::FILE* fp, const uint8_t* bytes, size_t n);
/// Opens name in mode as an unbuffered stream (null, with errno from the open, on failure).
std::FILE* open_output(const std::string& name, const char* mode);
/// Closes any open stream and forgets the names.
void reset_output_files();

}  // namespace dp
