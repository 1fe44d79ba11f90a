// The format's writing side: the packer's way of appending an archive to a stub.
// Not part of the stub; it may use the standard library freely.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/format.h"

namespace kelvra::writer {

// One file to store. stored_name is already in the archive's code page, its parts
// separated by backslashes.
struct Input {
  std::string stored_name;
  std::string source_path;
  std::uint8_t attributes = 0x20;
  std::uint64_t last_write_time = 0;  // FILETIME
  std::uint64_t creation_time = 0;    // FILETIME
  // Bytes the file held when it was gathered; exactly these are stored, and a file that
  // then holds more or fewer is refused as changed. size_unknown: as found on opening.
  std::uint64_t size = size_unknown;
  static constexpr std::uint64_t size_unknown = ~0ull;
};

// The seven archive strings, as raw bytes (code page already applied).
struct Strings {
  std::string reserved;
  std::string run_program;
  std::string run_arg1;
  std::string run_arg2;
  std::string prompt;
  std::string password_digest;  // raw SHA-1 bytes, or empty for no password
  std::string default_dir;

  // All seven in the directory's order (format::StringIndex).
  std::array<const std::string*, format::string_count> in_order() const {
    return {&reserved, &run_program, &run_arg1, &run_arg2, &prompt, &password_digest, &default_dir};
  }
};

// Compression: zlib levels 1..9; level_max and level_ultra use stronger encoders that
// still write standard zlib streams.
constexpr int level_max = 10;
constexpr int level_ultra = 11;
constexpr int default_level = 9;

struct Progress {
  std::uint64_t bytes_done = 0, bytes_total = 0;
  std::uint32_t files_done = 0, files_total = 0;  // done: wholly written
};

struct Options {
  int level = default_level;
  unsigned jobs = 0;  // 0: all cores
  // The payload's u32 sizes stop at 4 GiB; lowered only by tests.
  std::uint64_t payload_limit = 0xFFFFFFFFu;
  std::function<void(const Progress&)> progress;  // may be empty
  // Run on the complete temporary file before it takes the output's name, so what it
  // changes (the PE checksum) is in place when the installer appears. Returns an empty
  // string or the reason it failed, which fails the write. May be empty.
  std::function<std::string(const std::string& path)> finish;
};

// Compresses one piece into a complete zlib stream; empty when the encoder failed.
// The thread's encoder is kept for its next piece: a thread of the caller's own that
// calls this frees it with release_thread_compressors() before it ends (the writer's
// workers do; the main thread's go at exit).
std::vector<std::uint8_t> compress_piece(const std::uint8_t* data, std::size_t size, int level);
void release_thread_compressors();

// The name rules an installer can be made by: each stored name's first fault, empty
// for a name that is fine. Also what kelvra-pack test holds a finished archive to.
std::vector<std::string> name_faults(const std::vector<std::string>& stored_names);

// Checks everything the reader would refuse (count, names, strings, sizes) before any
// byte is written. Returns an empty string when the inputs are fine, else the reason.
std::string validate(const std::vector<Input>& inputs, const Strings& strings);

// All that write_installer refuses before it creates a file (the options too), with
// the same words: what create --dry-run checks.
std::string check_before_writing(const std::vector<Input>& inputs, const Strings& strings, const Options& options);

// Writes stub followed by the archive to out_path. The output appears whole or not at
// all (written to a temporary file beside it, then renamed). Returns an empty string
// on success, else the reason, naming the file concerned.
std::string write_installer(const std::string& out_path, const std::vector<std::uint8_t>& stub,
                            const std::vector<Input>& inputs, const Strings& strings,
                            const Options& options);

// The temporary file write_installer is writing, zero-terminated; empty when none.
// A fixed buffer, so a signal handler may read it and remove the file.
const char* temporary_path();

// Appends the archive alone to out (for tests: the golden vector is stub-free).
std::string write_archive(std::vector<std::uint8_t>& out, const std::vector<Input>& inputs,
                          const Strings& strings, const Options& options);

}  // namespace kelvra::writer
