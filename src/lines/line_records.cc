#include "lines/line_records.h"

namespace dp {

line_store lines;

void reset_line_store() {
  static const line_store empty{};
  lines = empty;
}

}  // namespace dp
