// Path splitting and directory services. On POSIX a path's directory runs up to and including
// its last '/' and there is no drive; on Windows the split follows the system's own (drive
// letter and colon, '\\' or '/' as separators).
#pragma once

#include <string>

namespace dp {

/// The four parts of a path; joined back in order they give the path again.
struct path_parts {
  std::string drive;  ///< "C:" or empty
  std::string dir;    ///< directory with its trailing separator, or empty
  std::string name;   ///< base name without extension
  std::string ext;    ///< extension from the last point of the last component on, or empty
};

/// Splits the last component of a path into base name and extension (from its last point on).
void split_name(const std::string& last, path_parts* parts);
/// Splits path into drive, directory, base name and extension.
path_parts split_path(const std::string& path);
/// The separator that add_sep appends ('/' on POSIX, '\\' on Windows).
char path_separator();
/// True when path names an existing directory.
bool dir_exists(const std::string& path);
/// Creates the directory path (one level); true on success.
bool make_dir(const std::string& path);

}  // namespace dp
