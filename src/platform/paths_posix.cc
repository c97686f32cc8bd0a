#include <sys/stat.h>

#include "platform/paths.h"

namespace dp {

path_parts split_path(const std::string& path) {
  path_parts p;
  const size_t slash = path.rfind('/');
  const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  p.dir = path.substr(0, name_at);
  split_name(path.substr(name_at), &p);
  return p;
}

char path_separator() { return '/'; }

bool dir_exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool make_dir(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

}  // namespace dp
