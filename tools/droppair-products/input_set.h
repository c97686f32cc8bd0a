// The particle files of one station, made ready for daily products: found (files, or directories
// searched for *.sno), fingerprinted (size and SHA-256), checked (the .sno against its .shd and
// .abh; a file that fails is left out and named), tested to come from one instrument (OEU and
// geometry of every main header), placed in time and cut so that no moment is counted twice.
//
// Time covered by a file: from its first main header's valid_since to the later of its last
// particle and the last minute the .abh marks for a camera frame. Files are taken in order of
// their start; a file identical to an earlier one (same SHA-256) is left out; where a file starts
// before the ones before it end, only its particles after their end are counted, and a file whose
// span lies wholly inside theirs is left out. The spans counted are therefore disjoint.
//
// Settings and calibration of a file are the DROPPAIR.SET and corrfact.dat beside it (same
// directory, then its parent), unless given. Keeps no state beyond the records it fills; never
// prints: notes and refusals come back as text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sno_reader.h"

namespace dp {

/// One particle file and what is known of it.
struct input_file {
  std::string path;          ///< as found
  std::string name;          ///< file name
  int64_t size = 0;
  std::string sha256;        ///< lower-case hex
  sno_scan scan;             ///< main headers and counts
  double begin = 0, end = 0;      ///< span covered, s since 1970
  double count_after = 0;         ///< particles at or before this time belong to an earlier file
  std::string settings_path, settings_text;        ///< empty when none found
  std::string calibration_path, calibration_text;
};

/// Where the texts of settings and calibration come from.
struct provenance_source {
  std::string settings, calibration;  ///< paths given for every file; empty: look beside each
};

/// The inputs of a products call.
struct input_set {
  std::vector<input_file> files;   ///< usable files in order of start, spans disjoint
  std::vector<std::string> notes;  ///< files left out or cut, one line each
};

/// The particle files named by args (files, or directories searched recursively for *.sno),
/// each once, sorted by path; false with a reason when an argument names nothing usable.
bool find_particle_files(const std::vector<std::string>& args, std::vector<std::string>* paths, std::string* why);

/// Reads, checks and orders the particle files. False (with the reason) when two files come from
/// different instruments or when a file cannot be read at all; a file failing the consistency
/// check is left out with a note.
bool build_input_set(const std::vector<std::string>& paths, const provenance_source& given, input_set* set,
                     std::string* why);

/// SHA-256 of the file at path as lower-case hex; false with the system's text.
bool file_sha256(const std::string& path, std::string* hex, std::string* why);
/// SHA-256 of text as lower-case hex.
std::string text_sha256(const std::string& text);

/// Seconds since 1970 of line y under the header that holds for it.
double line_time(const main_hd& hd, double y);

}  // namespace dp
