// The output file set, the one owner of the bytes of the .sno, .shd and .abh: names them after the
// raw data file (the .sno and .shd in the HYD_PATH directory, created when missing; the .abh in
// RAW_PATH), creates them with their initial contents, appends main header records and blocks of
// particle records, and rewrites the table parts; the layouts below are the only description of
// the three files (snodump reads them with these constants). The particle writer decides what
// to write and when.
// Owns the three streams and their names; the tables it writes belong to the timing model
// (posa_bf, posb_bf) and the particle writer (pix_bf, oldlen, lastpix_y), which hand them over.
// Never reads a file back.
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
// Particle file (.sno): created empty; records back to back, no file header. Each starts with
// int16 indic (-74: a main header record, layout in headers/main_header.h; else the particle
// record's length, layout in output/particle_output.h) and int16 len_prev, the length of the
// record before it (0 for the first).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "headers/main_header.h"

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

/// Creates the three files, named after the raw data file ab_path: the .sno and .shd in
/// hyd_path, the .abh in raw_path (each empty or ending in a separator); either all three streams
/// are open afterwards or the program ended (the step's texts, each followed by a line naming the
/// file or directory and the reason). The .abh starts with empty position tables.
void pixfil(const std::string& hyd_path, const std::string& raw_path, const std::string& ab_path);
/// True while the .sno is open.
bool sno_open();
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

/// Appends a main header record to the .shd and then the .abh, each made durable; a record
/// written in part is cut off again. Ends the program on a failure (main_hr02..04, the file and
/// the system's reason named).
void append_header_record(const uint8_t bytes[k_main_hd_size]);
/// Appends a main header record to the .sno behind everything written so far, keeping the
/// stream's position; returns the .sno's end after it. Ends the program on a failure (main_hr05..08,
/// 31, 33).
int32_t append_header_to_sno(const uint8_t bytes[k_main_hd_size]);
/// Appends a block of n bytes of particle records to the .sno in one write and makes it durable,
/// keeping the stream's position (*pos_before). *end is the .sno's end before the write, and
/// after it once it succeeded. Ends the program on a failure (net_wr00..04, 20); a block written
/// in part is cut off again.
void append_particle_block(const uint8_t* block, int32_t n, int32_t* pos_before, int32_t* end);
/// Rewrites the table parts at the head of the .shd (pix_bf, oldlen) and the .abh (posa_bf,
/// posb_bf, lastpix_y), each in one write, and makes them durable. Ends the program on a failure
/// (net_wr05..12).
void rewrite_tables(const int32_t* pix_bf, int16_t oldlen, const int32_t* posa_bf, const int32_t* posb_bf,
                    double lastpix_y);
/// Closes any open stream and forgets the names.
void reset_output_files();

}  // namespace dp
