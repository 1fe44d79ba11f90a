// What the fuzz targets share. Only the targets that write files call fresh_folder(): the
// reader and the names run many times faster without it.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "archive/extract.h"
#include "archive/names.h"
#include "fuzz/targets.h"
#include "output/output.h"
#include "platform/posix_testing.h"
#include "tests/unit/archive_builder.h"

namespace kelvra::fuzz {

namespace fs = std::filesystem;
using test::Bytes;
inline std::error_code ignored;  // for file operations whose failure the invariants show anyway

#define KELVRA_TARGET_ROW(name) Target{#name, name##_target},
inline const Target targets[] = {KELVRA_FUZZ_TARGETS(KELVRA_TARGET_ROW)};
inline const std::size_t target_count = std::size(targets);

inline void (*failure_handler)(const char* target, const char* what) = nullptr;  // null: print and abort
inline void set_failure_handler(decltype(failure_handler) handler) { failure_handler = handler; }
inline const char* current_target = "";
inline std::string scratch_root;  // memory-backed where the system has it: most inputs write files
inline std::string work_folder;

inline void expect(bool holds, const char* what) {
  if (holds) return;
  if (failure_handler != nullptr) return failure_handler(current_target, what);
  std::fprintf(stderr, "fuzz target %s: invariant broken: %s\n", current_target, what);
  std::abort();
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

inline void fresh_folder() {
  fs::remove_all(work_folder, ignored);
  fs::create_directories(work_folder, ignored);
}

// FUZZ_TARGET(name) defines <name>_target: its body, with the run's globals put back before
// it and the archive and working folder after it.
inline int run_target(const char* name, const std::uint8_t* data, std::size_t size, void (*body)(Cursor& in)) {
  current_target = name;
  if (scratch_root.empty()) {
    const fs::path base = access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    scratch_root = (base / "kelvra-fuzz-XXXXXX").string();
    expect(mkdtemp(scratch_root.data()) != nullptr, "cannot make a scratch folder");
    std::atexit([] { fs::remove_all(scratch_root, ignored); });
  }
  cancel_requested = 0;
  overwrite_policy = OverwritePolicy::ask;
  platform::testing::reset_starts();
  std::error_code error;
  const fs::path saved = fs::current_path(error);
  work_folder = scratch_root + "/" + name;
  Cursor in{data, size};
  body(in);
  platform::testing::fail_allocation_after(-1);
  release_archive();
  if (!error) fs::current_path(saved, error);
  expect(!error, "cannot return to the working folder");
  return 0;
}
#define FUZZ_TARGET(name)                                                                                              \
  static void name##_body(Cursor& in);                                                                                 \
  int name##_target(const std::uint8_t* data, std::size_t size) { return run_target(#name, data, size, name##_body); } \
  static void name##_body(Cursor& in)

inline bool read_whole(const std::string& path, std::string* content = nullptr) {
  if (content != nullptr) *content = test::read_all(path);
  return fs::is_regular_file(path, ignored);
}

inline std::string up_to_zero(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

inline std::string slashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// Whether a name is empty or leaves its folder: a leading separator, or a part of dots and
// blanks alone, which Windows reads as the folder or its parent. A loop: it runs on every name.
inline bool leaves_folder(const std::string& name) {
  if (name.empty() || name.find_first_of("\\/") == 0) return true;
  for (std::size_t start = 0, end = 0; start <= name.size(); start = end + 1) {
    end = std::min(name.find_first_of("\\/", start), name.size());
    if (end > start && name.find_first_not_of(". ", start) >= end) return true;
  }
  return false;
}

// open_archive's result on a stand-in stub followed by body, whose names are checked
// before anything is written, so that a fault can't touch the machine.
inline int open_stored(std::size_t stub_size, const Bytes& body, bool must_open = false) {
  Bytes stub(stub_size, 0);
  if (stub_size >= 2) stub[0] = 'M', stub[1] = 'Z';
  const std::string path = work_folder + ".bin";
  expect(test::write_file(path, stub, body), "cannot write the archive");
  const int result = open_archive(path.c_str());
  expect(!must_open || result == 0, "a sound archive was refused");
  for (std::uint32_t i = 0; result == 0 && i < archive.entry_count; ++i) {
    if (leaves_folder(archive.entries[i].name)) return expect(false, "a name that leaves the folder was accepted"), 1;
  }
  return result;
}

inline int extract_in(const std::string& folder, const std::vector<int>& answers = {},
                      const std::vector<NewName>& names = {}) {
  if (chdir(folder.c_str()) != 0) return expect(false, "cannot enter the target folder"), -1;
  script_questions(answers, names);
  const int result = extract_all();
  expect(fs::equivalent(fs::current_path(ignored), folder, ignored), "the run ended outside its folder");
  return result;
}

}  // namespace kelvra::fuzz
