// The libFuzzer entry of one target, named by QX_FUZZ_TARGET at compile time.
#include "harness.h"

#ifndef QX_FUZZ_TARGET
#error "QX_FUZZ_TARGET must name the target function"
#endif

// Starts the console before the first input, so that every input finds it.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  QxFuzzStart();
  return 0;
}

// Runs one input through the target.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return QX_FUZZ_TARGET(data, size);
}
