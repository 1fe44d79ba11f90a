// What the fuzz targets (fuzz/fuzz_*.cpp) share: a broken invariant reported through the
// failure handler, a scratch folder per process, the input read byte by byte, the
// archive under test written there, and the run's globals put back between inputs.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/targets.h"
#include "tests/unit/archive_builder.h"

namespace kelvra::fuzz {

namespace fs = std::filesystem;
using test::Bytes;

// The target now running, named in failure reports.
extern const char* current_target;

// Hands a description of what broke to the failure handler.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void fail(const char* format, ...);

#define INVARIANT(condition, ...)          \
  do {                                     \
    if (!(condition)) fail(__VA_ARGS__);   \
  } while (0)

// The folder for one target, emptied for each input.
std::string fresh_folder(const char* name);
bool read_whole(const std::string& path, std::string* content);
// A stored name with \ read as /.
std::string local_path(std::string path);
// A stand-in for the stub in front of the archive: the reader must not care.
Bytes stub_prefix(std::size_t size);
std::string archive_path(const char* target);
// Writes prefix + bytes to path; a failure to write is a broken invariant.
bool store(const std::string& path, const Bytes& prefix, const Bytes& bytes);
bool terminated(const char* buffer, std::size_t size);
// The string as the reader keeps it: up to the first zero byte.
std::string up_to_zero(const std::string& bytes);
// The opened archive's seven strings, in the stored order.
const char* archive_strings(std::size_t i);
// On this platform a name leaves the folder only by a leading separator or a ".."
// part, once \ is read as /.
bool leaves_folder(const std::string& name);
// The globals a run leaves behind (cancel, overwrite policy, current path, test hooks).
void reset_run_state();

// Keeps the process's working directory across a run that changes it.
class InFolder {
 public:
  explicit InFolder(const std::string& path) {
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer) != nullptr) saved_ = buffer;
    entered_ = chdir(path.c_str()) == 0;
  }
  ~InFolder() {
    if (!saved_.empty() && chdir(saved_.c_str()) != 0) fail("cannot return to %s", saved_.c_str());
  }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;
  bool entered() const { return entered_; }

 private:
  std::string saved_;
  bool entered_ = false;
};

// Takes bytes off the front of the input; past its end every read gives zeros.
struct Cursor {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;

  std::size_t left() const { return size - at; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(byte()) << (8 * i);
    return v;
  }
  std::string bytes(std::size_t n) {
    n = std::min(n, left());
    std::string out(reinterpret_cast<const char*>(data + at), n);
    at += n;
    return out;
  }
  Bytes rest() {
    Bytes out(data + at, data + size);
    at = size;
    return out;
  }
};

}  // namespace kelvra::fuzz
