// libFuzzer entry for the after-run program's command line and lookup.
// The body lives in targets.cpp, which the replay test runs as well.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kelvra::fuzz::after_run_target(data, size);
}
