// Fuzz target: the archive reader, memory running out at any step; no name it accepts
// leaves the folder (open_stored). Input: one control byte (bit 0: fix up the checksum;
// bits 1-2: size of a stand-in stub; bits 3-7: allocations allowed, 31: no limit), then
// the archive.
#include "fuzz/support.h"

namespace kelvra::fuzz {

FUZZ_TARGET(reader) {
  const std::uint8_t control = in.byte();
  Bytes body = in.rest();
  if ((control & 1) && body.size() >= format::checksum_field_size) test::fix_checksum(body);
  if (control >> 3 != 31) platform::testing::fail_allocation_after(control >> 3);
  open_stored(((control >> 1) & 3) * 24u, body);
}

}  // namespace kelvra::fuzz
