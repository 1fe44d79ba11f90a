#include "fuzz/support.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace kelvra::fuzz {

const Target targets[] = {
    {"reader", reader_target},
    {"chunks", chunks_target},
    {"names", names_target},
    {"extract", extract_target},
    {"after_run", after_run_target},
    {"round_trip", round_trip_target},
};
const std::size_t target_count = sizeof targets / sizeof targets[0];

namespace {

const char* current_target = "";
std::string root_path;

void abort_on_failure(const char* target, const char* what) {
  std::fprintf(stderr, "fuzz target %s: invariant broken: %s\n", target, what);
  std::abort();
}
FailureHandler failure_handler = abort_on_failure;

bool terminated(const char* buffer, std::size_t size) {
  return buffer != nullptr && std::memchr(buffer, 0, size) != nullptr;
}

}  // namespace

void set_failure_handler(FailureHandler handler) { failure_handler = handler != nullptr ? handler : abort_on_failure; }

void fail(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  failure_handler(current_target, text);
}

int run_target(const char* name, const std::uint8_t* data, std::size_t size, void (*body)(Cursor& in)) {
  current_target = name;
  cancel_requested = 0;
  overwrite_policy = OverwritePolicy::ask;
  std::memset(current_path, 0, sizeof current_path);
  platform::testing::reset_starts();
  platform::testing::fail_allocation_after(-1);
  std::error_code error;
  const fs::path saved = fs::current_path(error);
  Cursor in{data, size};
  body(in);
  release_archive();
  if (!error && chdir(saved.c_str()) != 0) fail("cannot return to %s", saved.c_str());
  return 0;
}

const std::string& scratch_root() {
  if (!root_path.empty()) return root_path;
  // Memory-backed when the system has it: extraction writes for every input.
  const fs::path base = access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (base / "kelvra-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) abort_on_failure("scratch", "cannot make a scratch folder");
  root_path = pattern;
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(root_path, ignored);
  });
  return root_path;
}

std::string fresh_folder() {
  const std::string path = scratch_root() + "/" + current_target;
  std::error_code ignored;
  fs::remove_all(path, ignored);
  fs::create_directories(path, ignored);
  return path;
}

std::string archive_path() { return scratch_root() + "/" + current_target + ".bin"; }

bool read_whole(const std::string& path, std::string* content) {
  std::error_code error;
  *content = test::read_all(path);
  return fs::is_regular_file(path, error);
}

std::string up_to_zero(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

std::string local_path(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

bool leaves_folder(const std::string& name) {
  return name.find_first_of("\\/") == 0 || ("/" + local_path(name) + "/").find("/../") != std::string::npos;
}

int open_stored(std::size_t stub_size, const Bytes& body, bool must_open) {
  Bytes stub(stub_size, 0);
  if (stub_size >= 2) stub[0] = 'M', stub[1] = 'Z';
  const bool written = test::write_file(archive_path(), stub, body);
  INVARIANT(written, "cannot write %s", archive_path().c_str());
  const int result = written ? open_archive(archive_path().c_str()) : -1;
  INVARIANT(!must_open || result == 0, "a sound archive was refused (%d)", result);
  return result;
}

bool enter(const std::string& folder) {
  const bool entered = chdir(folder.c_str()) == 0;
  INVARIANT(entered, "cannot enter %s", folder.c_str());
  return entered;
}

int extract_in(const std::string& folder) {
  if (!enter(folder)) return -1;
  const int result = extract_all();
  std::error_code error;
  const fs::path ended = fs::current_path(error);
  INVARIANT(fs::equivalent(ended, folder, error), "the run ended in %s instead of %s", ended.c_str(), folder.c_str());
  return result;
}

void check_entry(std::size_t i, const Record& want) {
  const DirectoryEntry& got = archive.entries[i];
  INVARIANT(terminated(got.name, sizeof got.name) && got.name == want.name && got.name_length == want.name_length &&
                got.stored_size == want.stored_size && got.attributes == want.attributes &&
                got.last_write_time == want.last_write_time && got.creation_time == want.creation_time,
            "entry %zu (%.80s) differs from the stored record", i, want.name.c_str());
}

void check_strings(const std::string (&want)[format::string_count]) {
  const char* const got[] = {archive.reserved_string, archive.run_program, archive.run_arg1, archive.run_arg2,
                             archive.prompt, archive.password_digest, archive.default_dir};
  for (std::size_t i = 0; i < format::string_count; ++i) {
    INVARIANT(terminated(got[i], string_buffer_sizes[i]) && want[i] == got[i],
              "string %zu is not the stored one, or not terminated in its buffer", i);
  }
}

void check_file(const std::string& path, const std::string& want) {
  std::string got;
  INVARIANT(read_whole(path, &got) && got == want, "%s holds %zu bytes, expected %zu", path.c_str(), got.size(),
            want.size());
}

void check_run(int result, std::size_t failure_reports) {
  INVARIANT(result == 0, "extract_all returned %d with nothing to ask", result);
  INVARIANT(write_failure_count() == failure_reports, "%zu failure reports, expected %zu", write_failure_count(),
            failure_reports);
}

}  // namespace kelvra::fuzz
