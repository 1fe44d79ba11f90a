// What the fuzz targets share: the run around each input, the input read byte by byte,
// the archive and the folders they work in.
#pragma once

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include "archive/archive.h"
#include "archive/extract.h"
#include "archive/names.h"
#include "fuzz/targets.h"
#include "output/output.h"
#include "platform/posix_testing.h"
#include "tests/unit/archive_builder.h"

namespace kelvra::fuzz {

namespace fs = std::filesystem;
using test::Bytes;

void fail(const char* what);  // the input that broke it says the rest
inline void expect(bool holds, const char* what) {
  if (!holds) fail(what);
}

// Takes bytes off the front of the input; past its end it gives zeros.
struct Cursor {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;

  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  std::uint64_t little_endian(int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= std::uint64_t{byte()} << (8 * i);
    return v;
  }
  std::string bytes(std::size_t n) {
    const std::size_t from = std::exchange(at, std::min(size, at + n));
    return std::string(reinterpret_cast<const char*>(data + from), at - from);
  }
  Bytes rest() { return Bytes(data + std::exchange(at, size), data + size); }
};

// Defines <name>_target: the run's globals put back before each input; the archive
// released and the working folder restored after it.
int run_target(const char* name, const std::uint8_t* data, std::size_t size, void (*body)(Cursor& in));
#define FUZZ_TARGET(name)                                         \
  static void name##_body(Cursor& in);                            \
  int name##_target(const std::uint8_t* data, std::size_t size) { \
    return run_target(#name, data, size, name##_body);            \
  }                                                               \
  static void name##_body(Cursor& in)

std::string fresh_folder();  // the running target's, emptied
bool read_whole(const std::string& path, std::string* content);
std::string up_to_zero(const std::string& bytes);
std::string slashes(std::string path);  // \ read as /
// Whether a name is empty or leaves its folder: a leading separator, or a part that is
// dots and blanks alone.
bool leaves_folder(const std::string& name);
// Opens a stand-in stub followed by body: open_archive's result. An accepted archive's
// names must all stay in the folder; must_open: the archive is sound by construction.
int open_stored(std::size_t stub_size, const Bytes& body, bool must_open = false);
// extract_all() in folder, which it must end in, with the questions' answers.
int extract_in(const std::string& folder, const std::vector<int>& answers = {}, const std::vector<NewName>& names = {});
void check_file(const std::string& path, const std::string& want);

}  // namespace kelvra::fuzz
