// libFuzzer entry for the writer followed by the reader and the extraction.
// The body lives in targets.cpp, which the replay test runs as well.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kelvra::fuzz::round_trip_target(data, size);
}
