// What the fuzz targets share: the code under test, the run around each input, the input
// read byte by byte, the archive and folders they work in, one check per invariant kind.
#pragma once

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/extract.h"
#include "archive/format.h"
#include "archive/names.h"
#include "fuzz/targets.h"
#include "output/output.h"
#include "platform/posix_testing.h"
#include "tests/unit/archive_builder.h"

namespace kelvra::fuzz {

namespace fs = std::filesystem;
using test::Bytes;

__attribute__((format(printf, 1, 2))) void fail(const char* format, ...);
#define INVARIANT(condition, ...)        \
  do {                                   \
    if (!(condition)) fail(__VA_ARGS__); \
  } while (0)

// Takes bytes off the front of the input; a read past its end gives zeros and sets overrun.
struct Cursor {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool overrun = false;

  std::size_t left() const { return size - at; }
  std::uint8_t byte() { return at < size ? data[at++] : (overrun = true, 0); }
  std::uint64_t little_endian(int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= std::uint64_t{byte()} << (8 * i);
    return v;
  }
  std::string bytes(std::size_t n) {
    overrun = overrun || n > left();
    const std::size_t from = std::exchange(at, at + std::min(n, left()));
    return std::string(reinterpret_cast<const char*>(data + from), at - from);
  }
  Bytes rest() { return Bytes(data + std::exchange(at, size), data + size); }
};

// Defines <name>_target: the run's globals put back before each input, and the archive
// closed and the working folder restored after it.
int run_target(const char* name, const std::uint8_t* data, std::size_t size, void (*body)(Cursor& in));
#define FUZZ_TARGET(name)                                         \
  static void name##_body(Cursor& in);                            \
  int name##_target(const std::uint8_t* data, std::size_t size) { \
    return run_target(#name, data, size, name##_body);            \
  }                                                               \
  static void name##_body(Cursor& in)

const std::string& scratch_root();
std::string fresh_folder();  // the running target's, emptied
std::string archive_path();  // the running target's
bool read_whole(const std::string& path, std::string* content);
std::string up_to_zero(const std::string& bytes);
std::string local_path(std::string path);  // \ read as /
// Whether a name leaves its folder: a leading separator or a ".." part, \ read as /.
bool leaves_folder(const std::string& name);
// Stores a stand-in stub then the body and opens that: open_archive's result, -1 when
// it couldn't be written. must_open: the archive is sound by construction.
int open_stored(std::size_t stub_size, const Bytes& body, bool must_open = false);
bool enter(const std::string& folder);  // until the input's run ends
// extract_all() in folder, which it must end in; -1 when folder can't be entered.
int extract_in(const std::string& folder);

// The invariants that several targets check.
struct Record {
  std::string name;
  std::size_t name_length;
  std::uint32_t stored_size;
  std::uint8_t attributes;
  std::uint64_t last_write_time, creation_time;
};
void check_entry(std::size_t i, const Record& want);
constexpr std::size_t string_buffer_sizes[format::string_count] = {
    format::string_buffer_size, format::string_buffer_size, format::string_buffer_size, format::string_buffer_size,
    format::string_buffer_size, format::digest_buffer_size, format::default_dir_buffer_size};
void check_strings(const std::string (&want)[format::string_count]);  // each terminated in its buffer
void check_file(const std::string& path, const std::string& want);
void check_run(int result, std::size_t failure_reports);

}  // namespace kelvra::fuzz
