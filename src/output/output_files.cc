// STUB
#include "output/output_files.h"
namespace dp {
output_files_state out_files;
void pixfil() {}
void reset_output_files() {}
}  // namespace dp
