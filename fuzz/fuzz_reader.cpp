// Fuzz target: the archive reader, memory running out at any step. What it accepts fits
// its buffers and the file; what it refuses leaves no banner.
#include "fuzz/support.h"

namespace kelvra::fuzz {

// Input: one control byte (bit 0: fix up the checksum; bits 1-2: size of a stand-in
// stub; bits 3-7: allocations allowed before the reader runs out of memory, 31: no
// limit), then the archive.
FUZZ_TARGET(reader) {
  const std::uint8_t control = in.byte();
  Bytes body = in.rest();
  if ((control & 1) && body.size() >= format::checksum_field_size) test::fix_checksum(body);
  if (control >> 3 != 31) platform::testing::fail_allocation_after(control >> 3);
  const int result = open_stored(((control >> 1) & 3) * 24u, body);
  expect(result == 0 || archive.banner == nullptr || archive.banner[0] == '\0', "refused, but the banner is set");
  if (result != 0) return;
  std::uint64_t stored = 0;
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) stored += archive.entries[i].stored_size;
  expect(stored == archive.payload_size &&
             payload_start() + stored + archive.directory_size + format::trailer_size == archive.archive_end,
         "the entries' data doesn't fit between the stub and the directory");
  const char* const strings[] = {archive.reserved_string, archive.run_program, archive.run_arg1, archive.run_arg2,
                                 archive.prompt, archive.password_digest, archive.default_dir};
  for (std::size_t i = 0; i < format::string_count; ++i) {
    expect(strings[i] != nullptr && std::memchr(strings[i], 0, format::string_layout[i].buffer_size) != nullptr,
           "a string is not terminated in its buffer");
  }
}

}  // namespace kelvra::fuzz
