// The archive reader: finds the archive at the end of the program's own file, reads
// the trailer, the directory and the seven strings into fixed zero-filled buffers, and
// accepts the archive only when its CRC-32 matches and every bound holds. Each step
// returns why it refused (Refusal::none when it didn't), which the opening keeps.
#include <cstring>

#include <zlib.h>

#include "archive/archive.h"
#include "archive/names.h"
#include "output/message_area.h"
#include "output/output.h"
#include "resources/strings.h"

namespace kelvra {

Archive archive;

namespace {

// The archive's string buffers, in the directory's order.
char** const string_buffers[format::string_count] = {
    &archive.reserved_string,
    &archive.run_program,
    &archive.run_arg1,
    &archive.run_arg2,
    &archive.prompt,
    &archive.password_digest,
    &archive.default_dir,
};

// A short read (the end of the file, or a failure) is as bad as a wrong byte.
bool read_exact(void* buffer, std::uint32_t count) {
  std::uint8_t* out = static_cast<std::uint8_t*>(buffer);
  while (count > 0) {
    const std::int32_t got = platform::read_file(archive.file, out, count);
    if (got <= 0 || static_cast<std::uint32_t>(got) > count) return false;
    out += got;
    count -= static_cast<std::uint32_t>(got);
  }
  return true;
}

// The directory is read front to back through input_buffer, a large piece at a time.
// Nothing beyond directory_size is ever handed out, so a length byte that runs past
// the directory fails here instead of reading into the trailer or beyond.
struct DirectoryCursor {
  std::uint32_t unread;    // directory bytes still in the file
  std::uint32_t filled;    // bytes of input_buffer holding directory data
  std::uint32_t position;  // next of those bytes to hand out
};

// Refuses with record_past_end when the directory ends first.
Refusal take(DirectoryCursor& cursor, void* destination, std::uint32_t count) {
  std::uint8_t* out = static_cast<std::uint8_t*>(destination);
  while (count > 0) {
    if (cursor.position == cursor.filled) {
      if (cursor.unread == 0) return Refusal::record_past_end;
      const std::uint32_t piece =
          cursor.unread < format::max_chunk_length ? cursor.unread : format::max_chunk_length;
      if (!read_exact(archive.input_buffer, piece)) return Refusal::directory_unreadable;
      cursor.unread -= piece;
      cursor.filled = piece;
      cursor.position = 0;
    }
    std::uint32_t n = cursor.filled - cursor.position;
    if (n > count) n = count;
    std::memcpy(out, archive.input_buffer + cursor.position, n);
    cursor.position += n;
    out += n;
    count -= n;
  }
  return Refusal::none;
}

// A stored string ends at its length or its first zero byte; the buffer is zero-filled
// past it, so it is always terminated. Control bytes are kept: the installer shows the
// strings only in its own window and hands them to the system, where they do no harm
// (a name's are refused by the name check).
void bounded_copy(char* buffer, std::size_t size, const std::uint8_t* bytes, std::size_t length) {
  std::memset(buffer, 0, size);
  for (std::size_t i = 0; i < length && i + 1 < size && bytes[i] != 0; ++i) {
    buffer[i] = static_cast<char>(bytes[i]);
  }
}

bool allocate_buffers() {
  archive.entries = static_cast<DirectoryEntry*>(
      platform::allocate_zeroed(format::max_entries * sizeof(DirectoryEntry)));
  if (archive.entries == nullptr) return false;

  for (std::uint32_t i = 0; i < format::string_count; ++i) {
    *string_buffers[i] = static_cast<char*>(platform::allocate_zeroed(format::string_layout[i].buffer_size));
    if (*string_buffers[i] == nullptr) return false;
  }
  archive.banner = static_cast<char*>(platform::allocate_zeroed(format::banner_buffer_size));
  if (archive.banner == nullptr) return false;

  archive.input_buffer =
      static_cast<std::uint8_t*>(platform::allocate_zeroed(format::max_chunk_length));
  if (archive.input_buffer == nullptr) return false;
  archive.output_buffer =
      static_cast<std::uint8_t*>(platform::allocate_zeroed(format::max_inflated_chunk));
  return archive.output_buffer != nullptr;
}

Refusal read_trailer() {
  if (archive.archive_end < format::trailer_size) return Refusal::shorter_than_trailer;
  std::uint8_t trailer[format::trailer_size];
  if (!platform::seek_to(archive.file, archive.archive_end - format::trailer_size) ||
      !read_exact(trailer, sizeof trailer)) {
    return Refusal::trailer_unreadable;
  }
  archive.directory_size = format::read_u32(trailer + format::trailer_directory_size_offset);
  archive.entry_count = format::read_u32(trailer + format::trailer_entry_count_offset);
  archive.checksum = format::read_u32(trailer + format::trailer_checksum_offset);
  if (archive.entry_count > format::max_entries) return Refusal::too_many_entries;
  if (archive.directory_size > format::max_directory_size ||
      archive.directory_size + std::uint64_t{format::trailer_size} > archive.archive_end) {
    return Refusal::directory_too_large;
  }
  return Refusal::none;
}

Refusal read_entry(DirectoryCursor& cursor, DirectoryEntry& entry, std::uint64_t& payload_size) {
  std::uint8_t name_length;
  std::uint8_t name[format::max_name_length + format::record_tail_size];  // and the rest of the record
  Refusal refusal = take(cursor, &name_length, format::record_name_length_size);
  if (refusal == Refusal::none) refusal = take(cursor, name, name_length + format::record_tail_size);
  if (refusal != Refusal::none) return refusal;
  const std::uint8_t* const tail = name + name_length;
  entry.name_length = name_length;
  // The name check below names the reason for a control character in a name.
  bounded_copy(entry.name, sizeof entry.name, name, name_length);
  // One name that would land outside the target directory refuses the whole archive,
  // before anything is written.
  if (check_entry_name(entry.name, sizeof entry.name) != NameProblem::none) return Refusal::unsafe_name;

  entry.stored_size = format::read_u32(tail + format::tail_stored_size_offset);
  entry.attributes = tail[format::tail_attributes_offset];
  entry.last_write_time = format::read_u64(tail + format::tail_last_write_offset);
  entry.creation_time = format::read_u64(tail + format::tail_creation_offset);
  payload_size += entry.stored_size;
  return Refusal::none;
}

Refusal read_strings(DirectoryCursor& cursor) {
  for (std::uint32_t i = 0; i < format::string_count; ++i) {
    const std::uint32_t size = format::string_layout[i].buffer_size;
    std::uint8_t length;
    std::uint8_t bytes[format::max_string_length];
    Refusal refusal = take(cursor, &length, format::string_length_size);
    if (refusal == Refusal::none) refusal = take(cursor, bytes, length);
    if (refusal != Refusal::none) return refusal;
    // Only the digest can be too long for its buffer (its limit and the terminator).
    if (length >= size) {
      archive.refusal_value = length;
      return Refusal::digest_too_long;
    }
    bounded_copy(*string_buffers[i], size, bytes, length);
  }
  return Refusal::none;
}

// Records and strings must fill the directory exactly: bytes left over mean the
// directory isn't what its trailer says.
Refusal read_directory() {
  if (!platform::seek_to(archive.file,
                         archive.archive_end - format::trailer_size - archive.directory_size)) {
    return Refusal::directory_unreadable;
  }
  DirectoryCursor cursor = {archive.directory_size, 0, 0};
  std::uint64_t payload_size = 0;
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) {
    const Refusal refusal = read_entry(cursor, archive.entries[i], payload_size);
    if (refusal != Refusal::none) {
      archive.refused_entry = i;
      return refusal;
    }
  }
  archive.payload_size = static_cast<std::uint32_t>(payload_size);
  const Refusal refusal = read_strings(cursor);
  // The directory ended past the records, inside the strings.
  if (refusal == Refusal::record_past_end) return Refusal::strings_past_end;
  if (refusal != Refusal::none) return refusal;
  archive.refusal_value = cursor.unread + cursor.filled - cursor.position;
  if (archive.refusal_value != 0) return Refusal::directory_left_over;
  // Summed whole first, so that a sum past 32 bits is told as such.
  return payload_size > 0xFFFFFFFFu ? Refusal::payload_too_large : Refusal::none;
}

// Adds the next count bytes of the file to *crc; false when the file ends or fails first.
bool add_to_crc(std::uint64_t count, uLong* crc) {
  while (count > 0) {
    const std::uint32_t piece =
        count < format::checksum_read_size ? static_cast<std::uint32_t>(count) : format::checksum_read_size;
    const std::int32_t got = platform::read_file(archive.file, archive.input_buffer, piece);
    if (got <= 0 || static_cast<std::uint32_t>(got) > piece) return false;
    *crc = crc32(*crc, archive.input_buffer, static_cast<uInt>(got));
    count -= static_cast<std::uint32_t>(got);
  }
  return true;
}

// Ends the CRC-32 of the payload, crc, with the directory and the trailer up to the
// checksum, from the file's position at the payload's end, and holds it to the trailer's.
Refusal rest_of_checksum(uLong crc) {
  const std::uint64_t rest = std::uint64_t{archive.directory_size} + format::trailer_size - format::checksum_field_size;
  if (!add_to_crc(rest, &crc)) return Refusal::payload_unreadable;
  archive.refusal_value = static_cast<std::uint32_t>(crc);
  return archive.refusal_value == archive.checksum ? Refusal::none : Refusal::checksum_mismatch;
}

// Whether the payload the directory claims fits in front of it. Both openings ask, so
// that a caller who sums the CRC-32 later never reads a payload that isn't there.
bool archive_fits() {
  const std::uint64_t archive_size =
      std::uint64_t{archive.payload_size} + archive.directory_size + format::trailer_size;
  return archive_size <= archive.archive_end;
}

// The CRC-32 of everything from the first payload byte through the entry count.
Refusal check_checksum() {
  if (!platform::seek_to(archive.file, payload_start())) return Refusal::payload_unreadable;

  uLong crc = crc32(0L, Z_NULL, 0);
  // The payload's own CRC is kept on the way, so that the extraction can check the
  // payload again as it reads it.
  if (!add_to_crc(archive.payload_size, &crc)) return Refusal::payload_unreadable;
  archive.payload_crc = static_cast<std::uint32_t>(crc);
  return rest_of_checksum(crc);
}

// Where the archive ends. Signing an installer (Authenticode) appends a certificate
// table after our trailer and points the image's security directory at it, so the
// trailer is no longer the file's last bytes. A table counts only when it is whole and
// ends exactly at the end of the file; a stub signed before packing (its table inside
// the stub) or anything odd here reads as unsigned, and the file's end is the archive's.
// The signer pads the file with zero bytes so its table starts 8-aligned: *padding
// tells how many zero bytes stand before the table, any of which may be that padding.
// A few small reads of headers, input_buffer as scratch: nothing next to the checksum.
std::uint64_t find_archive_end(std::uint64_t file_size, std::uint32_t* padding) {
  *padding = 0;
  std::uint8_t* const scratch = archive.input_buffer;

  constexpr std::uint32_t dos_header_size = 64;
  constexpr std::uint32_t lfanew_offset = 0x3C;
  if (file_size < dos_header_size || !platform::seek_to(archive.file, 0) ||
      !read_exact(scratch, dos_header_size) || scratch[0] != 'M' || scratch[1] != 'Z') {
    return file_size;
  }
  const std::uint64_t pe_offset = format::read_u32(scratch + lfanew_offset);

  // Signature (4), file header (20), then the optional header up to and including the
  // security entry, the fifth data directory: 112 + 5 * 8 bytes at most (PE32+).
  constexpr std::uint32_t file_header_size = 20;
  constexpr std::uint32_t security_index = 4;
  constexpr std::uint32_t headers_read = 4 + file_header_size + 112 + (security_index + 1) * 8;
  if (pe_offset + headers_read > file_size || !platform::seek_to(archive.file, pe_offset) ||
      !read_exact(scratch, headers_read) || format::read_u32(scratch) != 0x4550 /* "PE\0\0" */) {
    return file_size;
  }
  const std::uint32_t optional_size = format::read_u16(scratch + 4 + 16);
  const std::uint8_t* const optional = scratch + 4 + file_header_size;
  const std::uint16_t magic = format::read_u16(optional);
  std::uint32_t directories;  // offset of the data directories in the optional header
  if (magic == 0x10b) {
    directories = 96;
  } else if (magic == 0x20b) {
    directories = 112;
  } else {
    return file_size;
  }
  const std::uint32_t security_end = directories + (security_index + 1) * 8;
  if (format::read_u32(optional + directories - 4) <= security_index || optional_size < security_end) {
    return file_size;
  }
  // The security entry holds a file offset, not an address in the image.
  const std::uint64_t table = format::read_u32(optional + directories + security_index * 8);
  const std::uint64_t table_size = format::read_u32(optional + directories + security_index * 8 + 4);
  const std::uint64_t headers_end = pe_offset + 4 + file_header_size + optional_size;
  if (table + table_size != file_size || table_size < 8 || table % 8 != 0 ||
      table < headers_end + format::trailer_size) {
    return file_size;
  }

  // The table is a run of WIN_CERTIFICATE records (u32 length, u16 revision, u16 type
  // 2: PKCS#7 signed data), each 8-aligned, filling it exactly.
  constexpr std::uint32_t max_certificates = 8;
  std::uint64_t at = table;
  for (std::uint32_t i = 0; at < file_size; ++i) {
    std::uint8_t record[8];
    if (i == max_certificates || !platform::seek_to(archive.file, at) || !read_exact(record, sizeof record)) {
      return file_size;
    }
    const std::uint64_t length = format::read_u32(record);
    const std::uint16_t revision = format::read_u16(record + 4);
    if (length < sizeof record || length > file_size - at || (revision != 0x0100 && revision != 0x0200) ||
        format::read_u16(record + 6) != 2) {
      return file_size;
    }
    at += length;
    if (at < file_size) at = (at + 7) / 8 * 8;
  }
  if (at != file_size) return file_size;

  std::uint8_t before[7];
  if (!platform::seek_to(archive.file, table - sizeof before) || !read_exact(before, sizeof before)) {
    return file_size;
  }
  while (*padding < sizeof before && before[sizeof before - 1 - *padding] == 0) ++*padding;
  return table;
}

// One try at archive.archive_end: why the archive there is refused, none when it opens.
__attribute__((always_inline)) inline Refusal read_at_end(bool verify) {
  Refusal refusal = read_trailer();
  if (refusal == Refusal::none) refusal = read_directory();
  if (refusal != Refusal::none) return refusal;
  if (!archive_fits()) return Refusal::payload_too_large;
  if (verify) {
    refusal = check_checksum();
    if (refusal != Refusal::none) return refusal;
  }
  return platform::seek_to(archive.file, payload_start()) ? Refusal::none : Refusal::payload_unreadable;
}

// Why the file is refused, none when it opens. With explain, a refusal that followed
// tries at other ends is looked at once more at the end kept, so that the reason is
// that end's (the installer, which only says that it refused, leaves that out).
__attribute__((always_inline)) inline Refusal read_and_verify(platform::file_t file, bool verify, bool explain) {
  archive.file = file;
  if (archive.file == platform::invalid_file) return Refusal::not_opened;
  std::uint64_t file_size;
  if (!platform::file_size(archive.file, &file_size)) return Refusal::size_unknown;
  std::uint32_t padding;
  const std::uint64_t end = find_archive_end(file_size, &padding);

  // Every position below is counted back from archive_end, never from a fresh look at
  // the file's end. Where among a signer's zero padding our trailer ends only the
  // directory can tell (a checksum may end in zero bytes itself); last comes the file's
  // end, so an archive that merely looks signed opens as it always did.
  const std::uint32_t tries = padding + 1 + (end != file_size ? 1 : 0);
  std::uint64_t parsed_end = 0;
  Refusal refusal = Refusal::none;
  for (std::uint32_t i = 0; i < tries; ++i) {
    if (i > 0) std::memset(archive.entries, 0, format::max_entries * sizeof(DirectoryEntry));
    archive.archive_end = i <= padding ? end - i : file_size;
    refusal = read_at_end(verify);
    if (refusal == Refusal::none) return refusal;
    if (refusal >= Refusal::payload_too_large && parsed_end == 0) parsed_end = archive.archive_end;
  }
  // A refused archive keeps the end that made the most sense, the one its reason is about.
  archive.archive_end = parsed_end != 0 ? parsed_end : end;
  if (explain && tries > 1) {
    std::memset(archive.entries, 0, format::max_entries * sizeof(DirectoryEntry));
    refusal = read_at_end(verify);
  }
  return refusal;
}

template <typename T>
void release_buffer(T*& buffer) {
  platform::release(buffer);
  buffer = nullptr;
}

// Inlined into every opening, so that the installer, which only ever verifies its own
// file, carries no trace of the others. Takes the file just opened, or invalid_file.
__attribute__((always_inline)) inline int open_with(platform::file_t file, bool verify, bool explain = true) {
  // A second opening (the tests, the packer) replaces the first whole.
  close_archive();
  if (archive.file != platform::invalid_file) platform::close_file(archive.file);
  archive = Archive{};
  std::memset(current_path, 0, sizeof current_path);

  if (!allocate_buffers()) {
    platform::close_file(file);
    archive.refusal = Refusal::out_of_memory;
    show_string(IDS_OUT_OF_MEMORY);
    return 1;
  }
  archive.refusal = read_and_verify(file, verify, explain);
  if (archive.refusal != Refusal::none) {
    // The descriptor of an archive we refused is of no further use.
    if (archive.file != platform::invalid_file) platform::close_file(archive.file);
    archive.file = platform::invalid_file;
    show_string(IDS_CORRUPTED);
    return 1;
  }
  platform::load_string(IDS_BANNER, archive.banner, format::banner_buffer_size);
  return 0;
}

}  // namespace

int open_archive(const char* own_path) { return open_with(platform::open_own_file(own_path), true); }

int open_running_archive() { return open_with(platform::open_running_program(), true, false); }

int open_archive_file(platform::file_t file, bool verify) {
  return verify ? open_with(file, true) : open_with(file, false);
}

int open_archive_unverified(const char* own_path) {
  return open_with(platform::open_own_file(own_path), false);
}

bool checksum_matches_after(std::uint32_t payload_crc) {
  return platform::seek_to(archive.file, payload_start() + archive.payload_size) &&
         rest_of_checksum(payload_crc) == Refusal::none;
}

void close_archive() {
  release_buffer(archive.entries);
  for (char** buffer : string_buffers) release_buffer(*buffer);
  release_buffer(archive.banner);
  release_buffer(archive.input_buffer);
  release_buffer(archive.output_buffer);
}

void release_archive() {
  close_archive();
  if (archive.file != platform::invalid_file) platform::close_file(archive.file);
  archive.file = platform::invalid_file;
}

std::uint64_t payload_start() {
  const std::uint64_t archive_size =
      std::uint64_t{archive.payload_size} + archive.directory_size + format::trailer_size;
  return archive_size <= archive.archive_end ? archive.archive_end - archive_size : 0;
}

}  // namespace kelvra
