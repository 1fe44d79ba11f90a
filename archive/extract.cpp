// The extraction run: each entry's chunks inflated into a new file in the working
// directory, progress told to the host, cancellation between entries.
#include "archive/extract.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "archive/names.h"
#include "output/output.h"
#include "platform/platform.h"

namespace kelvra {

volatile int cancel_requested = 0;

namespace {

voidpf inflater_alloc(voidpf, uInt items, uInt size) {
  std::size_t bytes;
  if (__builtin_mul_overflow(items, size, &bytes)) return Z_NULL;
  return platform::allocate_zeroed(bytes);
}

void inflater_free(voidpf, voidpf block) { platform::release(block); }

// One inflate stream for the whole run, reset per chunk, so that memory stays the
// same whatever the number and size of the chunks. Each run starts it with
// inflateInit and ends it with inflateEnd, which leave the allocator fields as set
// here; when it can't be started it has no state and every chunk fails to inflate.
z_stream inflater = {nullptr, 0, 0, nullptr, 0, 0, nullptr,
                     nullptr, inflater_alloc, inflater_free, nullptr, 0, 0, 0};

// Read-ahead: input_buffer is filled by large reads, and chunk headers and chunks are
// taken from it instead of two small reads per chunk. Between entries the descriptor
// stands after the last entry's payload and the bytes read past it stay held (nothing
// else reads the archive during a run); during an entry it stands after them. A run
// starts and ends with none held.
std::uint32_t held_from = 0;  // first byte of input_buffer not yet used
std::uint32_t held_to = 0;    // end of the bytes read into input_buffer

std::uint32_t held() { return held_to - held_from; }

// Every payload byte the run takes goes through this CRC, so that a payload changed on
// disk after the opening check is found; a read that failed leaves the check undone.
uLong payload_crc = 0;
bool read_short = false;

// Out of line: three calls to it cost the stub fewer bytes than three seeks.
__attribute__((noinline)) void move_by(std::int64_t delta) { platform::seek_by(archive.file, delta); }

// Takes the next count payload bytes (at most max_chunk_length). Returns where they
// are held, good until the next take, or null when the file ends or fails first.
const std::uint8_t* take(std::uint32_t count) {
  if (held() < count) {
    // What is held moves to the front, so that a whole chunk fits behind it.
    held_to = held();
    std::memmove(archive.input_buffer, archive.input_buffer + held_from, held_to);
    held_from = 0;
    while (held_to < count) {
      const std::uint32_t room = format::max_chunk_length - held_to;
      const std::int32_t got = platform::read_file(archive.file, archive.input_buffer + held_to, room);
      if (got <= 0 || static_cast<std::uint32_t>(got) > room) {
        read_short = true;
        return nullptr;
      }
      held_to += static_cast<std::uint32_t>(got);
    }
  }
  const std::uint8_t* taken = archive.input_buffer + held_from;
  held_from += count;
  payload_crc = crc32(payload_crc, taken, count);
  return taken;
}

// Moves count payload bytes on. They are read, not sought past, so that the payload's
// CRC covers skipped entries too; only after a failed read does it seek.
void skip_payload(std::uint32_t count) {
  if (archive.input_buffer == nullptr) read_short = true;
  while (count > 0 && !read_short) {
    const std::uint32_t piece = count < format::max_chunk_length ? count : format::max_chunk_length;
    if (take(piece) == nullptr) break;
    count -= piece;
  }
  if (count <= held()) {
    held_from += count;
  } else {
    move_by(std::int64_t{count} - held());
    held_from = held_to;
  }
}

// Inflates one complete zlib stream into output_buffer. Refuses anything but a whole
// stream that uses every input byte and fits the buffer.
bool inflate_chunk(const std::uint8_t* chunk, std::uint32_t length, std::uint32_t* produced) {
  inflateReset(&inflater);
  inflater.next_in = const_cast<std::uint8_t*>(chunk);
  inflater.avail_in = length;
  inflater.next_out = archive.output_buffer;
  inflater.avail_out = format::max_inflated_chunk;
  // Z_STREAM_END is the only good outcome: Z_BUF_ERROR means more than the buffer
  // holds (or a cut stream), Z_DATA_ERROR and Z_NEED_DICT a damaged one.
  int result = inflate(&inflater, Z_FINISH);
  if (result != Z_STREAM_END || inflater.avail_in != 0) return false;
  *produced = format::max_inflated_chunk - inflater.avail_out;
  return true;
}

// Whether a write of the entry being written failed.
bool write_failed = false;

// Inflates the entry's chunks into file. Returns false when the data stopped making
// sense; *remaining is left at the payload bytes not yet used.
bool write_chunks(platform::file_t file, std::uint32_t* remaining) {
  while (*remaining > 0) {
    if (*remaining < format::chunk_header_size) return false;
    const std::uint8_t* header = take(format::chunk_header_size);
    if (header == nullptr) return false;
    *remaining -= format::chunk_header_size;

    const std::uint32_t length = format::read_u16(header);
    if (length > *remaining) return false;
    const std::uint8_t* chunk = take(length);
    if (chunk == nullptr) return false;
    *remaining -= length;

    std::uint32_t produced = 0;
    if (!inflate_chunk(chunk, length, &produced)) return false;
    std::uint32_t error = 0;
    if (produced > 0 && !platform::write_file(file, archive.output_buffer, produced, &error)) {
      // Reported chunk by chunk; the run goes on and a new file stays.
      report_write_failure(current_path, error);
      write_failed = true;
    }
  }
  return true;
}

// Writes the entry's file unless it is skipped; *remaining is left at the payload
// bytes not used.
void write_entry(const DirectoryEntry& entry, std::uint32_t* remaining) {
  if (check_entry_name(current_path, sizeof current_path) != NameProblem::none) {
    report_write_failure(current_path, platform::error_damaged_data);
    return;
  }
  OutputFile out = create_output_file(entry.attributes);
  if (out.result == OutputResult::skip) return;
  if (out.result == OutputResult::failed) {
    // Every write would fail alike: one report for the entry instead of one per chunk.
    report_write_failure(current_path, out.error);
    return;
  }
  entry_started(current_path);
  write_failed = false;
  const bool decoded = write_chunks(out.file, remaining);
  // A file cut short under the run is said once, for the whole run, at its end.
  if (!decoded && !read_short) report_write_failure(current_path, platform::error_damaged_data);
  static_assert(offsetof(DirectoryEntry, creation_time) == offsetof(DirectoryEntry, last_write_time) + 8);
  finish_output_file(out, decoded && !write_failed, &entry.last_write_time);
}

// A replaced file's temporary must never be the name of one of this archive's entries,
// which would be deleted as a leftover: the suffix is ".kelvra-new" or, when an entry's
// name ends so (less the trailing dots and blanks Windows drops, ASCII letters in
// either case), the first of ".kelvra-new0001", ".kelvra-new0002", ... none ends with.
// A name ends with at most one of them, so one of the first max_entries + 1 is free.
void choose_replacement_suffix() {
  constexpr std::size_t base_length = sizeof ".kelvra-new" - 1;
  for (std::uint32_t n = 0;; ++n) {
    char* const digits = replacement_suffix + base_length;
    std::uint32_t length = base_length;
    if (n > 0) {
      length += 4;
      for (std::uint32_t i = 4, rest = n; i-- > 0; rest /= 10) digits[i] = static_cast<char>('0' + rest % 10);
    }
    replacement_suffix[length] = '\0';
    bool taken = false;
    for (std::uint32_t e = 0; e < archive.entry_count; ++e) {
      const char* const name = archive.entries[e].name;
      std::size_t end = std::strlen(name);
      while (end > 0 && (name[end - 1] == '.' || name[end - 1] == ' ')) --end;
      if (end < length) continue;
      std::uint32_t same = 0;
      while (same < length && (name[end - length + same] | 0x20) == (replacement_suffix[same] | 0x20)) ++same;
      taken = taken || same == length;
    }
    if (!taken) return;
  }
}

}  // namespace

void extract_entry(const DirectoryEntry& entry) {
  std::memset(current_path, 0, sizeof current_path);
  std::size_t length = entry.name_length;
  if (length > sizeof current_path - 1) length = sizeof current_path - 1;
  for (std::size_t i = 0; i < length && entry.name[i] != '\0'; ++i) current_path[i] = entry.name[i];

  // Reads go on from the end of the held bytes; the descriptor is put back after the
  // entry's payload once the bytes not used are skipped.
  std::uint32_t remaining = entry.stored_size;
  move_by(held());
  if (archive.input_buffer != nullptr && archive.output_buffer != nullptr) write_entry(entry, &remaining);
  skip_payload(remaining);
  move_by(-std::int64_t{held()});
}

int extract_all() {
  held_from = held_to;
  payload_crc = crc32(0L, Z_NULL, 0);
  read_short = false;
  inflateInit(&inflater);
  choose_replacement_suffix();
  platform::seek_to(archive.file, payload_start());
  int result = 0;
  // A read that fell short (the file cut or changed under the run) would fail every
  // later read too: the run ends there with one report.
  for (std::uint32_t i = 0; i < archive.entry_count && !read_short; ++i) {
    const DirectoryEntry& entry = archive.entries[i];
    extract_entry(entry);
    entry_done(entry);
    platform::yield();
    if (cancel_requested) {
      result = 1;
      break;
    }
  }
  held_from = held_to;
  inflateEnd(&inflater);
  if (result == 0 && (read_short || payload_crc != archive.payload_crc)) result = 2;
  extraction_ended(result);
  return result;
}

}  // namespace kelvra
