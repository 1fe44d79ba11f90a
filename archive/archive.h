// The opened archive: the reader that finds the archive at the end of the program's
// own file, reads its directory and strings, and proves it intact with one CRC-32.
// One archive per process; extraction and the window read it directly.
#pragma once

#include <cstdint>

#include "archive/format.h"
#include "platform/platform.h"

namespace kelvra {

struct DirectoryEntry {
  std::uint8_t name_length;
  char name[format::name_field_size];  // zero-filled, so always terminated
  std::uint32_t stored_size;
  std::uint8_t attributes;
  std::uint64_t last_write_time;
  std::uint64_t creation_time;
};

// Why the reader refused a file, kept where it refused. The installer says "This file
// is corrupted." whatever the reason; the packer has words for each.
enum class Refusal : std::uint8_t {
  none,
  out_of_memory,
  not_opened,            // no file to read
  size_unknown,          // the system wouldn't say the file's size
  shorter_than_trailer,  // archive_end is less than a trailer
  trailer_unreadable,
  too_many_entries,     // entry_count above format::max_entries
  directory_too_large,  // directory_size beyond the largest directory, or the file
  directory_unreadable,
  record_past_end,      // refused_entry's record runs past the directory's end
  unsafe_name,          // refused_entry's name fails check_entry_name
  strings_past_end,     // the directory ends inside its strings
  digest_too_long,      // refusal_value: the digest's length
  directory_left_over,  // refusal_value: the bytes after the strings
  // From here on the trailer and the whole directory were read.
  payload_too_large,  // the stored sizes add up to more than the file holds before the directory
  payload_unreadable,
  checksum_mismatch,  // refusal_value: the CRC-32 the file gives
};

struct Archive {
  platform::file_t file = platform::invalid_file;  // left open until the process ends
  std::uint32_t directory_size = 0;
  std::uint32_t entry_count = 0;
  std::uint32_t checksum = 0;
  std::uint32_t payload_size = 0;  // sum of all stored sizes
  std::uint32_t payload_crc = 0;   // CRC-32 of the payload alone, taken while checking
  // File position just past the trailer: the file's end, or where a code signature's
  // certificate table begins. After a refused opening, where the reader looked for the
  // trailer (0 when it got no further than opening the file).
  std::uint64_t archive_end = 0;
  // After a refused opening: why, at archive_end; the entry it is about, counted from 0
  // (record_past_end, unsafe_name), and the number the reason names.
  Refusal refusal = Refusal::none;
  std::uint32_t refused_entry = 0;
  std::uint32_t refusal_value = 0;

  DirectoryEntry* entries = nullptr;  // room for format::max_entries

  char* reserved_string = nullptr;  // read, not used by the extractor
  char* run_program = nullptr;
  char* run_arg1 = nullptr;
  char* run_arg2 = nullptr;
  char* prompt = nullptr;
  char* password_digest = nullptr;  // raw digest bytes, zero-terminated
  char* default_dir = nullptr;

  char* banner = nullptr;
  std::uint8_t* input_buffer = nullptr;   // format::max_chunk_length bytes
  std::uint8_t* output_buffer = nullptr;  // format::max_inflated_chunk bytes
};

extern Archive archive;

// 0: open and verified, 1: not usable (the message area says so, archive.refusal why).
int open_archive(const char* own_path);
// The same for the running program's own file (the installer), and for a file opened
// by the caller (the reader takes it over, refused or not).
int open_running_archive();
int open_archive_file(platform::file_t file, bool verify);
// The same without the pass over the whole file for archive.checksum (payload_crc
// stays 0): for a caller that reads everything anyway and checks the CRC-32 itself.
int open_archive_unverified(const char* own_path);
// After open_archive_unverified: whether the archive's CRC-32, given that of its
// payload, matches the trailer's.
bool checksum_matches_after(std::uint32_t payload_crc);
// Releases every buffer that exists; the descriptor stays open until process exit.
void close_archive();
// The same, and the descriptor closed: for a caller that opens many archives, or must
// rename the file it opened.
void release_archive();

// First payload byte, counted from the start of the file.
std::uint64_t payload_start();

}  // namespace kelvra
