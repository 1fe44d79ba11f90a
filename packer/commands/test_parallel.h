// kelvra-pack test's inflating of every chunk, on one thread or several.
#pragma once

#include <cstdint>
#include <string>

namespace kelvra::pack {

struct PayloadFault {
  std::uint32_t entry = 0;  // 0-based index of the entry holding the faulty chunk
  std::string text;         // "chunk N: ..."; empty when every chunk is sound
};

// Reads the opened archive's payload from its current position, entry by entry, and
// inflates each chunk on `jobs` threads (1: on this one; 0: one per core). The fault reported is always
// the first in archive order, whatever the number of threads; *chunks, *inflated and
// the progress shown are as a single thread would leave them. On more than one thread,
// *crc (when given) gets the CRC-32 of the payload's bytes read, which is the whole
// payload's when no fault comes back.
PayloadFault test_payload(unsigned jobs, std::uint32_t* chunks, std::uint64_t* inflated,
                          std::uint32_t* crc = nullptr);

}  // namespace kelvra::pack
