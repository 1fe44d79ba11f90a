// The extraction run: each entry's chunks inflated into a new file in the working
// directory, progress in the message area, cancellation between entries.
#include "archive/extract.h"

#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "archive/names.h"
#include "output/output.h"
#include "platform/platform.h"
#include "resources/strings.h"
#include "ui/message_area.h"

namespace kelvra {

volatile int cancel_requested = 0;

namespace {

// Reported for an entry whose data no longer decodes (the archive changed after the
// check, or a name that would leave the target directory).
#ifdef _WIN32
constexpr std::uint32_t damaged_data_error = 13;  // ERROR_INVALID_DATA
#else
constexpr std::uint32_t damaged_data_error = EBADMSG;
#endif

// One inflate stream for the whole run, reset per chunk, so that memory stays the
// same whatever the number and size of the chunks.
z_stream inflater;
bool inflater_ready = false;

voidpf inflater_alloc(voidpf, uInt items, uInt size) {
  if (size != 0 && items > SIZE_MAX / size) return Z_NULL;
  return platform::allocate_zeroed(static_cast<std::size_t>(items) * size);
}

void inflater_free(voidpf, voidpf block) { platform::release(block); }

void end_inflater() {
  if (inflater_ready) inflateEnd(&inflater);
  inflater_ready = false;
}

// Inflates one complete zlib stream into output_buffer. Refuses anything but a whole
// stream that uses every input byte and fits the buffer.
bool inflate_chunk(std::uint32_t length, std::uint32_t* produced) {
  if (!inflater_ready) {
    std::memset(&inflater, 0, sizeof inflater);
    inflater.zalloc = inflater_alloc;
    inflater.zfree = inflater_free;
    if (inflateInit(&inflater) != Z_OK) return false;
    inflater_ready = true;
  } else if (inflateReset(&inflater) != Z_OK) {
    return false;
  }
  inflater.next_in = archive.input_buffer;
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

// Reads count bytes unless the file ends or fails first; returns how many arrived.
std::uint32_t read_fully(void* buffer, std::uint32_t count) {
  std::uint8_t* p = static_cast<std::uint8_t*>(buffer);
  std::uint32_t done = 0;
  while (done < count) {
    std::int32_t got = platform::read_file(archive.file, p + done, count - done);
    if (got <= 0) break;
    done += static_cast<std::uint32_t>(got);
  }
  return done;
}

void skip_payload(std::uint32_t remaining) {
  if (remaining > 0) platform::seek_by(archive.file, remaining);
}

void show_inflating() {
  char text[message_area_size] = {};
  platform::load_string(IDS_INFLATING, text, sizeof text);
  std::size_t used = std::strlen(text);
  std::size_t room = sizeof text - 1 - used;
  std::size_t length = std::strlen(current_path);
  // The message area holds 259 characters: a long path loses its end.
  std::memcpy(text + used, current_path, length < room ? length : room);
  show_message(text);
}

// Inflates the entry's chunks into file. Returns false when the data stopped making
// sense; *remaining is left at the payload bytes not yet read.
bool write_chunks(platform::file_t file, std::uint32_t* remaining) {
  while (*remaining > 0) {
    if (*remaining < format::chunk_header_size) return false;
    std::uint8_t header[format::chunk_header_size];
    std::uint32_t got = read_fully(header, sizeof header);
    *remaining -= got;
    if (got < sizeof header) return false;

    std::uint32_t length = format::read_u16(header);
    if (length > *remaining || length > format::max_chunk_length) return false;
    got = read_fully(archive.input_buffer, length);
    *remaining -= got;
    if (got < length) return false;

    std::uint32_t produced = 0;
    if (!inflate_chunk(length, &produced)) return false;
    std::uint32_t error = 0;
    if (produced > 0 && !platform::write_file(file, archive.output_buffer, produced, &error)) {
      // Reported chunk by chunk; the run goes on and the file stays.
      report_write_failure(current_path, error);
    }
  }
  return true;
}

}  // namespace

void extract_entry(const DirectoryEntry& entry) {
  std::uint32_t remaining = entry.stored_size;

  std::memset(current_path, 0, sizeof current_path);
  std::size_t length = entry.name_length;
  if (length > sizeof current_path - 1) length = sizeof current_path - 1;
  for (std::size_t i = 0; i < length && entry.name[i] != '\0'; ++i) current_path[i] = entry.name[i];

  if (archive.input_buffer == nullptr || archive.output_buffer == nullptr) {
    skip_payload(remaining);
    return;
  }
  if (check_entry_name(current_path, std::strlen(current_path)) != NameProblem::none) {
    report_write_failure(current_path, damaged_data_error);
    skip_payload(remaining);
    return;
  }

  OutputFile out = create_output_file(entry.attributes);
  if (out.result == OutputResult::skip) {
    skip_payload(remaining);
    return;
  }
  if (out.result == OutputResult::failed) {
    // Every write would fail alike: one report for the entry instead of one per chunk.
    report_write_failure(current_path, out.error);
    skip_payload(remaining);
    return;
  }

  show_inflating();
  if (!write_chunks(out.file, &remaining)) report_write_failure(current_path, damaged_data_error);
  skip_payload(remaining);

  platform::set_file_times(out.file, entry.creation_time, entry.last_write_time);
  platform::close_file(out.file);
}

int extract_all() {
  platform::seek_to(archive.file, payload_start());
  int result = 0;
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) {
    const DirectoryEntry& entry = archive.entries[i];
    extract_entry(entry);
    show_message(entry.name);
    platform::yield();
    if (cancel_requested) {
      char text[message_area_size] = {};
      platform::load_string(IDS_CANCELLED, text, sizeof text);
      show_message(text);
      result = 1;
      break;
    }
  }
  end_inflater();
  if (result == 0) start_run_program();
  return result;
}

}  // namespace kelvra
