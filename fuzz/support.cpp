// What the fuzz targets share: failures, scratch space, the archive under test and the
// run's reset between inputs.
#include "fuzz/support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/extract.h"
#include "output/output.h"
#include "platform/posix_testing.h"

namespace kelvra::fuzz {

namespace {

void abort_on_failure(const char* target, const char* what) {
  std::fprintf(stderr, "fuzz target %s: invariant broken: %s\n", target, what);
  std::fflush(stderr);
  std::abort();
}

FailureHandler failure_handler = abort_on_failure;

std::string root_path;

void remove_root() {
  std::error_code ignored;
  if (!root_path.empty()) fs::remove_all(root_path, ignored);
}

}  // namespace

const char* current_target = "";

void fail(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  failure_handler(current_target, text);
}

std::string fresh_folder(const char* name) {
  std::string path = scratch_root() + "/" + name;
  std::error_code ignored;
  fs::remove_all(path, ignored);
  fs::create_directories(path, ignored);
  return path;
}

bool read_whole(const std::string& path, std::string* content) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  content->clear();
  char buffer[8192];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content->append(buffer, n);
  std::fclose(file);
  return true;
}

std::string local_path(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

Bytes stub_prefix(std::size_t size) {
  Bytes prefix(size, 0);
  if (size >= 2) {
    prefix[0] = 'M';
    prefix[1] = 'Z';
  }
  return prefix;
}

std::string archive_path(const char* target) { return scratch_root() + "/" + target + ".bin"; }

bool store(const std::string& path, const Bytes& prefix, const Bytes& bytes) {
  if (!test::write_file(path, prefix, bytes)) {
    fail("cannot write %s", path.c_str());
    return false;
  }
  return true;
}

bool terminated(const char* buffer, std::size_t size) {
  return buffer != nullptr && std::memchr(buffer, 0, size) != nullptr;
}

std::string up_to_zero(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

const char* archive_strings(std::size_t i) {
  const char* const strings[format::string_count] = {
      archive.reserved_string, archive.run_program, archive.run_arg1,   archive.run_arg2,
      archive.prompt,          archive.password_digest, archive.default_dir};
  return strings[i];
}

bool leaves_folder(const std::string& name) {
  const std::string path = local_path(name);
  if (!path.empty() && path[0] == '/') return true;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (path.compare(start, i - start, "..") == 0 && i - start == 2) return true;
      start = i + 1;
    }
  }
  return false;
}

void reset_run_state() {
  cancel_requested = 0;
  overwrite_policy = OverwritePolicy::ask;
  std::memset(current_path, 0, sizeof current_path);
  platform::testing::reset_starts();
  platform::testing::fail_allocation_after(-1);
}

void set_failure_handler(FailureHandler handler) {
  failure_handler = handler != nullptr ? handler : abort_on_failure;
}

const std::string& scratch_root() {
  if (root_path.empty()) {
    const char* bases[] = {"/dev/shm", std::getenv("TMPDIR"), "/tmp"};
    for (const char* base : bases) {
      if (base == nullptr || access(base, W_OK) != 0) continue;
      std::string pattern = std::string(base) + "/kelvra-fuzz-XXXXXX";
      if (mkdtemp(pattern.data()) != nullptr) {
        root_path = pattern;
        std::atexit(remove_root);
        break;
      }
    }
    if (root_path.empty()) abort_on_failure("scratch", "cannot make a scratch folder");
  }
  return root_path;
}

}  // namespace kelvra::fuzz
