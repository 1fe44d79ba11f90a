// libFuzzer entry for the whole extraction run into a throw-away folder.
// The body lives in targets.cpp, which the replay test runs as well.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kelvra::fuzz::extract_target(data, size);
}
