// The libFuzzer entry of one fuzz target, named by DROPPAIR_FUZZ_TARGET at compile time.
#include "fuzz/fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return dp_fuzz::DROPPAIR_FUZZ_TARGET(data, size);
}
