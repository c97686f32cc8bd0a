#include <direct.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/paths.h"

namespace dp {

path_parts split_path(const std::string& path) {
  path_parts p;
  size_t at = 0;
  if (path.size() >= 2 && path[1] == ':') {
    p.drive = path.substr(0, 2);
    at = 2;
  }
  const size_t sep = path.find_last_of("\\/");
  const size_t name_at = (sep == std::string::npos || sep < at) ? at : sep + 1;
  p.dir = path.substr(at, name_at - at);
  split_name(path.substr(name_at), &p);
  return p;
}

char path_separator() { return '\\'; }

bool dir_exists(const std::string& path) {
  std::string probe = path;
  while (probe.size() > 1 && (probe.back() == '\\' || probe.back() == '/') &&
         !(probe.size() == 3 && probe[1] == ':'))
    probe.pop_back();
  struct _stat st {};
  return _stat(probe.c_str(), &st) == 0 && (st.st_mode & _S_IFDIR) != 0;
}

bool make_dir(const std::string& path) { return _mkdir(path.c_str()) == 0; }

}  // namespace dp
