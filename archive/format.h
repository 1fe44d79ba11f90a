// The container's layout, said once. Every reader and writer of the format takes its
// offsets and bounds from here.
//
// Format notes. The installer is the stub program followed by the archive:
//
//   payload    entries' data, in directory order; each entry is a run of chunks,
//              every chunk a u16 length then one complete zlib stream
//   directory  entry_count records (u8 name length, name, u32 stored size,
//              u8 attributes, u64 last-write FILETIME, u64 creation FILETIME),
//              then seven strings (u8 length, bytes, no terminator)
//   trailer    u32 directory size, u32 entry count, u32 CRC-32 of everything from the
//              first payload byte through the entry count
//
// All integers are little-endian and unaligned; positions are found from the end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvra::format {

// The trailer: three u32 fields.
constexpr std::uint32_t trailer_directory_size_offset = 0;
constexpr std::uint32_t trailer_entry_count_offset = 4;
constexpr std::uint32_t trailer_checksum_offset = 8;
constexpr std::uint32_t checksum_field_size = 4;
constexpr std::uint32_t trailer_size = trailer_checksum_offset + checksum_field_size;

// A directory record: its name's length and the name, then a tail of fixed size.
// Tail offsets count from the first byte after the name.
constexpr std::uint32_t record_name_length_size = 1;  // u8
constexpr std::uint32_t record_name_offset = record_name_length_size;
constexpr std::uint32_t tail_stored_size_offset = 0;  // u32
constexpr std::uint32_t tail_attributes_offset = 4;   // u8
constexpr std::uint32_t tail_last_write_offset = 5;   // u64 FILETIME
constexpr std::uint32_t tail_creation_offset = 13;    // u64 FILETIME
constexpr std::uint32_t record_tail_size = tail_creation_offset + 8;
constexpr std::uint32_t record_fixed_size = record_name_offset + record_tail_size;  // all but the name
// Every string is stored as a u8 length, then its bytes.
constexpr std::uint32_t string_length_size = 1;

constexpr std::uint32_t string_count = 7;
constexpr std::uint32_t chunk_header_size = 2;

constexpr std::uint32_t max_entries = 1000;
constexpr std::uint32_t max_name_length = 255;
// A length byte's largest value: the longest any string can be stored.
constexpr std::uint32_t max_string_length = 255;
constexpr std::uint32_t max_digest_length = 23;  // password digest buffer is 24

// The largest directory the bounds allow: every record with a 255-byte name, then seven
// 255-byte strings. Anything larger can't be a directory we would accept.
constexpr std::uint32_t max_directory_size =
    max_entries * (record_fixed_size + max_name_length) +
    string_count * (string_length_size + max_string_length);

// Writers cut entry data into pieces of this size; each piece compresses on its own.
constexpr std::uint32_t piece_size = 10000;
// Bounds of the extraction buffers: one whole chunk in, one piece (plus slack) out.
constexpr std::uint32_t max_chunk_length = 65535;
constexpr std::uint32_t max_inflated_chunk = 10100;
// The integrity check reads the archive in pieces of this size.
constexpr std::uint32_t checksum_read_size = 10000;

// Buffer sizes of the opened archive (zero-terminated strings).
constexpr std::size_t path_buffer_size = 260;
constexpr std::size_t name_field_size = 259;
constexpr std::size_t string_buffer_size = 256;
constexpr std::size_t digest_buffer_size = max_digest_length + 1;
// The field holds a whole path of 259 characters, though a string's length byte stops
// at 255.
constexpr std::size_t default_dir_buffer_size = path_buffer_size;
constexpr std::size_t banner_buffer_size = 80;

// Windows attribute bits that the format stores.
constexpr std::uint8_t attribute_read_only = 0x01;
constexpr std::uint8_t attribute_hidden = 0x02;
constexpr std::uint8_t attribute_system = 0x04;
constexpr std::uint8_t attribute_archive = 0x20;

// Order of the seven archive strings.
enum StringIndex : std::uint32_t {
  string_reserved = 0,
  string_run_program,
  string_run_arg1,
  string_run_arg2,
  string_prompt,
  string_password_digest,
  string_default_dir,
};
static_assert(string_default_dir + 1 == string_count, "one index for each string");

// Bytes below 0x20 a string may be written with, one bit per byte value. The prompt
// is text for the message area, where tabs and line breaks lay it out; the digest is raw
// bytes. The program, its arguments and the default directory are a command line and a
// path, and are written with none. The installer reads any string whatever it holds;
// what prints one escapes its control bytes.
constexpr std::uint32_t text_layout_controls = (1u << '\t') | (1u << '\n') | (1u << '\r');
constexpr std::uint32_t any_control = 0xFFFFFFFFu;

// Each string, in StringIndex order: the longest a writer may store, the reader's
// zero-terminated buffer for it, and the control bytes it may be written with.
struct StringLayout {
  std::uint32_t limit;
  std::uint32_t buffer_size;
  std::uint32_t controls;
};
constexpr StringLayout string_layout[string_count] = {
    {max_string_length, string_buffer_size, 0},                     // reserved
    {max_string_length, string_buffer_size, 0},                     // run_program
    {max_string_length, string_buffer_size, 0},                     // run_arg1
    {max_string_length, string_buffer_size, 0},                     // run_arg2
    {max_string_length, string_buffer_size, text_layout_controls},  // prompt
    {max_digest_length, digest_buffer_size, any_control},           // password_digest
    {max_string_length, default_dir_buffer_size, 0},                // default_dir
};
constexpr std::uint32_t allowed_controls(std::uint32_t index) { return string_layout[index].controls; }

// Every string that fits its limit fits its buffer with a terminator; only the digest's
// limit is below what its length byte can say.
constexpr bool limits_fit_buffers() {
  for (const StringLayout& layout : string_layout) {
    if (layout.limit >= layout.buffer_size || layout.limit > max_string_length) return false;
  }
  return true;
}
static_assert(limits_fit_buffers(), "a string's limit must leave room for its terminator");
static_assert(name_field_size > max_name_length, "a name must leave room for its terminator");

inline std::uint16_t read_u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t read_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t read_u64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(read_u32(p)) |
         (static_cast<std::uint64_t>(read_u32(p + 4)) << 32);
}
inline void write_u16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void write_u32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void write_u64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace kelvra::format
