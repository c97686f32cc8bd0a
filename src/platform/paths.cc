#include "platform/paths.h"

namespace dp {

void split_name(const std::string& last, path_parts* parts) {
  const size_t dot = last.rfind('.');
  parts->name = dot == std::string::npos ? last : last.substr(0, dot);
  parts->ext = dot == std::string::npos ? std::string() : last.substr(dot);
}

}  // namespace dp
