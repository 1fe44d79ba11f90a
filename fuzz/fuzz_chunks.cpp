// libFuzzer entry for the chunk loop of one entry.
// The body lives in targets.cpp, which the replay test runs as well.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kelvra::fuzz::chunks_target(data, size);
}
