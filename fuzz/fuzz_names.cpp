// libFuzzer entry for the entry-name check.
// The body lives in targets.cpp, which the replay test runs as well.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kelvra::fuzz::names_target(data, size);
}
