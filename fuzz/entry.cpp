// libFuzzer's entry, built once per program with KELVRA_FUZZ_TARGET naming its target.
#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kelvra::fuzz::KELVRA_FUZZ_TARGET(data, size);
}
