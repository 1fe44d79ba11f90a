// Fuzz target: the archive reader and its integrity check, against an independent
// reading of the same bytes by the format's rules.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/names.h"
#include "fuzz/support.h"
#include "platform/platform.h"
#include "platform/posix_testing.h"
#include "resources/strings.h"

namespace kelvra::fuzz {

namespace {

// An independent reading of a whole file (stub and archive) by the format's rules,
// with the bounds the reader's buffers set.
struct Parsed {
  std::uint32_t directory_size = 0, entry_count = 0, checksum = 0;
  std::uint64_t payload_size = 0, payload_start = 0;
  struct Entry {
    std::uint8_t name_length;
    std::string name;  // up to the first zero byte
    std::uint32_t stored_size;
    std::uint8_t attributes;
    std::uint64_t last_write_time, creation_time;
  };
  std::vector<Entry> entries;
  std::string strings[format::string_count];
};

const std::size_t string_sizes[format::string_count] = {
    format::string_buffer_size, format::string_buffer_size, format::string_buffer_size,
    format::string_buffer_size, format::string_buffer_size, format::digest_buffer_size,
    format::default_dir_buffer_size};

bool parse(const Bytes& file, Parsed* out) {
  const std::size_t size = file.size();
  if (size < format::trailer_size) return false;
  const std::uint8_t* trailer = file.data() + size - format::trailer_size;
  out->directory_size = format::read_u32(trailer);
  out->entry_count = format::read_u32(trailer + 4);
  out->checksum = format::read_u32(trailer + 8);
  if (out->entry_count > format::max_entries) return false;
  if (std::uint64_t{out->directory_size} + format::trailer_size > size) return false;

  std::size_t at = size - format::trailer_size - out->directory_size;
  const std::size_t end = size - format::trailer_size;
  for (std::uint32_t i = 0; i < out->entry_count; ++i) {
    if (at + 1 > end) return false;
    Parsed::Entry entry;
    entry.name_length = file[at++];
    if (at + entry.name_length + format::record_fixed_size - 1 > end) return false;
    entry.name = up_to_zero(std::string(reinterpret_cast<const char*>(&file[at]), entry.name_length));
    at += entry.name_length;
    if (check_entry_name(entry.name.c_str(), entry.name.size() + 1) != NameProblem::none) return false;
    entry.stored_size = format::read_u32(&file[at]);
    entry.attributes = file[at + 4];
    entry.last_write_time = format::read_u64(&file[at + 5]);
    entry.creation_time = format::read_u64(&file[at + 13]);
    at += format::record_fixed_size - 1;
    out->payload_size += entry.stored_size;
    if (out->payload_size > 0xFFFFFFFFu) return false;
    out->entries.push_back(entry);
  }
  for (std::size_t i = 0; i < format::string_count; ++i) {
    if (at + 1 > end) return false;
    const std::size_t length = file[at++];
    if (at + length > end || length >= string_sizes[i]) return false;
    out->strings[i] = up_to_zero(std::string(reinterpret_cast<const char*>(&file[at]), length));
    at += length;
  }
  if (at != end) return false;

  const std::uint64_t archive_size = out->payload_size + out->directory_size + format::trailer_size;
  if (archive_size > size) return false;
  out->payload_start = size - archive_size;
  const uLong crc = crc32(0L, file.data() + out->payload_start,
                          static_cast<uInt>(archive_size - format::checksum_field_size));
  return static_cast<std::uint32_t>(crc) == out->checksum;
}

// The opened archive against the independent reading.
void compare_with(const Parsed& parsed) {
  INVARIANT(archive.entry_count == parsed.entry_count, "entry count %u, expected %u",
              archive.entry_count, parsed.entry_count);
  INVARIANT(archive.payload_size == parsed.payload_size, "payload size %u, expected %llu",
              archive.payload_size, static_cast<unsigned long long>(parsed.payload_size));
  INVARIANT(payload_start() == parsed.payload_start, "payload starts at %llu, expected %llu",
              static_cast<unsigned long long>(payload_start()),
              static_cast<unsigned long long>(parsed.payload_start));
  const std::size_t count = std::min<std::size_t>(archive.entry_count, parsed.entries.size());
  for (std::size_t i = 0; i < count; ++i) {
    const DirectoryEntry& got = archive.entries[i];
    const Parsed::Entry& want = parsed.entries[i];
    INVARIANT(terminated(got.name, sizeof got.name), "entry %zu: name not terminated", i);
    INVARIANT(got.name_length == want.name_length && want.name == got.name &&
                    got.stored_size == want.stored_size && got.attributes == want.attributes &&
                    got.last_write_time == want.last_write_time &&
                    got.creation_time == want.creation_time,
                "entry %zu (%s) differs from the stored record", i, want.name.c_str());
  }
  for (std::size_t i = 0; i < format::string_count; ++i) {
    const char* got = archive_strings(i);
    INVARIANT(terminated(got, string_sizes[i]), "string %zu not terminated in its buffer", i);
    INVARIANT(terminated(got, string_sizes[i]) && parsed.strings[i] == got,
                "string %zu differs from the stored one", i);
  }
  INVARIANT(archive.banner != nullptr && std::strcmp(archive.banner, TEXT_BANNER) == 0,
              "banner is not the program's banner");
}

}  // namespace

// Input: one control byte (bit 0: fix up the checksum; bits 1-2: size of a stand-in
// stub; bits 3-7: allocations allowed before the reader runs out of memory, 31: no
// limit), then the archive.
int reader_target(const std::uint8_t* data, std::size_t size) {
  current_target = "reader";
  if (size < 1) return 0;
  reset_run_state();
  Cursor in{data, size};
  const std::uint8_t control = in.byte();
  Bytes body = in.rest();
  if ((control & 1) && body.size() >= format::checksum_field_size) test::fix_checksum(body);
  const Bytes prefix = stub_prefix(((control >> 1) & 3) * 24u);
  const int allocations = control >> 3;

  const std::string path = archive_path("reader");
  if (!store(path, prefix, body)) return 0;
  if (allocations != 31) platform::testing::fail_allocation_after(allocations);
  const int result = open_archive(path.c_str());
  platform::testing::fail_allocation_after(-1);

  Bytes file(prefix);
  file.insert(file.end(), body.begin(), body.end());
  Parsed parsed;
  const bool valid = parse(file, &parsed);
  INVARIANT(result == 0 || result == 1, "open_archive returned %d", result);
  if (result == 0) {
    INVARIANT(valid, "an archive that breaks the format's rules was accepted");
    if (valid) compare_with(parsed);
    INVARIANT(archive.file != platform::invalid_file, "accepted, but no descriptor");
  } else {
    INVARIANT(!valid || allocations != 31, "a sound archive was refused");
    INVARIANT(archive.banner == nullptr || archive.banner[0] == '\0',
                "refused, but the banner is set");
  }
  release_archive();
  return 0;
}

}  // namespace kelvra::fuzz
