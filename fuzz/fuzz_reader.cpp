// Fuzz target: the archive reader and its integrity check, against an independent
// reading of the same file by the format's rules.
#include <zlib.h>

#include "fuzz/support.h"
#include "resources/strings.h"

namespace kelvra::fuzz {

namespace {

struct Parsed {
  std::uint64_t payload_size = 0, payload_start = 0;
  std::vector<Record> entries;
  std::string strings[format::string_count];
};

// The whole file, stub and archive, with the bounds the installer's buffers set.
bool parse(const std::string& file, Parsed* out) {
  if (file.size() < format::trailer_size) return false;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(file.data());
  const std::size_t end = file.size() - format::trailer_size;
  Cursor trailer{bytes + end, format::trailer_size};
  const auto directory_size = static_cast<std::uint32_t>(trailer.little_endian(4));
  const std::uint64_t entry_count = trailer.little_endian(4);
  const std::uint64_t checksum = trailer.little_endian(4);
  if (entry_count > format::max_entries || directory_size > end) return false;

  Cursor directory{bytes + end - directory_size, directory_size};
  bool fits = true;
  for (std::uint64_t i = 0; i < entry_count; ++i) {
    const std::size_t name_length = directory.byte();
    // A braced list is read in order.
    out->entries.push_back({up_to_zero(directory.bytes(name_length)), name_length,
                            static_cast<std::uint32_t>(directory.little_endian(4)), directory.byte(),
                            directory.little_endian(8), directory.little_endian(8)});
    const std::string& name = out->entries.back().name;
    fits = fits && check_entry_name(name.c_str(), name.size() + 1) == NameProblem::none;
    out->payload_size += out->entries.back().stored_size;
  }
  for (std::size_t i = 0; i < format::string_count; ++i) {
    const std::size_t length = directory.byte();
    fits = fits && length < string_buffer_sizes[i];
    out->strings[i] = up_to_zero(directory.bytes(length));
  }
  const std::uint64_t archive_size = out->payload_size + directory_size + format::trailer_size;
  if (!fits || directory.overrun || directory.left() != 0 || out->payload_size > 0xFFFFFFFFu ||
      archive_size > file.size()) {
    return false;
  }
  out->payload_start = file.size() - archive_size;
  return checksum == crc32(0L, bytes + out->payload_start,
                           static_cast<uInt>(archive_size - format::checksum_field_size));
}

}  // namespace

// Input: one control byte (bit 0: fix up the checksum; bits 1-2: size of a stand-in
// stub; bits 3-7: allocations allowed before the reader runs out of memory, 31: no
// limit), then the archive.
FUZZ_TARGET(reader) {
  if (in.size < 1) return;
  const std::uint8_t control = in.byte();
  Bytes body = in.rest();
  if ((control & 1) && body.size() >= format::checksum_field_size) test::fix_checksum(body);
  const int allocations = control >> 3;
  if (allocations != 31) platform::testing::fail_allocation_after(allocations);
  const int result = open_stored(((control >> 1) & 3) * 24u, body);
  platform::testing::fail_allocation_after(-1);

  std::string file;
  Parsed parsed;
  const bool valid = read_whole(archive_path(), &file) && parse(file, &parsed);
  INVARIANT(result == 0 || result == 1, "open_archive returned %d", result);
  if (result != 0) {
    INVARIANT(!valid || allocations != 31, "a sound archive was refused");
    INVARIANT(archive.banner == nullptr || archive.banner[0] == '\0', "refused, but the banner is set");
    return;
  }
  INVARIANT(valid, "an archive that breaks the format's rules was accepted");
  INVARIANT(archive.file != platform::invalid_file, "accepted, but no descriptor");
  INVARIANT(archive.banner != nullptr && std::strcmp(archive.banner, TEXT_BANNER) == 0,
            "the banner is not the program's banner");
  if (!valid) return;
  INVARIANT(archive.entry_count == parsed.entries.size() && archive.payload_size == parsed.payload_size &&
                payload_start() == parsed.payload_start,
            "%u entries of %u bytes read, %zu stored; or the payload found elsewhere", archive.entry_count,
            archive.payload_size, parsed.entries.size());
  for (std::size_t i = 0; i < std::min<std::size_t>(archive.entry_count, parsed.entries.size()); ++i) {
    check_entry(i, parsed.entries[i]);
  }
  check_strings(parsed.strings);
}

}  // namespace kelvra::fuzz
