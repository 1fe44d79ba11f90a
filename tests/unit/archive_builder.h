// Test helper: builds archives byte by byte in memory, independently of the packer's
// writer, so tests can forge any field (counts, length bytes, sizes) and still give the
// archive a matching CRC-32, making the forged field, not the checksum, what is tested.
//
// Typical use:
//   Bytes payload, directory;
//   std::uint32_t size = put_chunks(payload, "abc");
//   put_record(directory, "a.txt", size);
//   put_strings(directory, {"", "setup.exe"});          // the rest empty
//   Bytes archive = finish_archive(payload, directory, 1);
// or, for ordinary archives, build_archive({{"a.txt", "abc"}}, {"", "setup.exe"}).
// Archives are stub-free; write_file puts any prefix (a stand-in stub) in front, and
// TempDir gives each test a fresh directory to write into.
#pragma once

#include <zlib.h>

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace kelvra::test {

using Bytes = std::vector<std::uint8_t>;

// 2000-01-01 00:00 UTC as a FILETIME (100 ns steps since 1601).
constexpr std::uint64_t y2k_filetime = 125911584000000000ull;

// Pseudo-random but fixed bytes, so that a failure repeats. They don't compress: every
// piece becomes a stored block, a chunk of 10,011 bytes.
inline std::string noise(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  for (char& c : out) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  return out;
}

// A whole file's bytes; empty when it can't be read.
inline std::string read_all(const std::string& path) {
  std::string out;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[8192];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
  }
  return out;
}

inline void put_u8(Bytes& out, std::uint8_t value) { out.push_back(value); }
inline void put_u16(Bytes& out, std::uint16_t value) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
inline void put_u32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
inline void put_u64(Bytes& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
// Raw bytes, no length in front (may hold zero bytes).
inline void put_bytes(Bytes& out, const std::string& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// Appends content as the format stores an entry: pieces of at most 10,000 bytes, each a
// u16 length and one zlib stream at zlib's default level. Returns the bytes added (the
// entry's stored size); empty content adds nothing.
inline std::uint32_t put_chunks(Bytes& payload, const std::string& content) {
  const std::size_t before = payload.size();
  for (std::size_t at = 0; at < content.size(); at += 10000) {
    const std::size_t piece = content.size() - at < 10000 ? content.size() - at : 10000;
    uLongf length = compressBound(static_cast<uLong>(piece));
    std::vector<Bytef> stream(length);
    compress2(stream.data(), &length, reinterpret_cast<const Bytef*>(content.data() + at),
              static_cast<uLong>(piece), Z_DEFAULT_COMPRESSION);
    put_u16(payload, static_cast<std::uint16_t>(length));
    payload.insert(payload.end(), stream.begin(), stream.begin() + static_cast<long>(length));
  }
  return static_cast<std::uint32_t>(payload.size() - before);
}

// One entry record; the length byte is the name's own size (at most 255). To forge a
// length byte, write the record by hand with put_u8 / put_bytes / put_u32 / put_u64.
inline void put_record(Bytes& directory, const std::string& name, std::uint32_t stored_size,
                       std::uint8_t attributes = 0x20, std::uint64_t last_write_time = y2k_filetime,
                       std::uint64_t creation_time = y2k_filetime) {
  put_u8(directory, static_cast<std::uint8_t>(name.size()));
  put_bytes(directory, name);
  put_u32(directory, stored_size);
  put_u8(directory, attributes);
  put_u64(directory, last_write_time);
  put_u64(directory, creation_time);
}

// One archive string: its length byte, then its bytes.
inline void put_string(Bytes& directory, const std::string& text) {
  put_u8(directory, static_cast<std::uint8_t>(text.size()));
  put_bytes(directory, text);
}

// The seven archive strings in order (reserved, run_program, run_arg1, run_arg2,
// prompt, password_digest, default_dir); those not given are empty.
inline void put_strings(Bytes& directory, const std::vector<std::string>& strings = {}) {
  for (std::size_t i = 0; i < 7; ++i) put_string(directory, i < strings.size() ? strings[i] : "");
}

// Recomputes the last four bytes of a stub-free archive: the CRC-32 of all before them.
inline void fix_checksum(Bytes& archive) {
  const uLong crc = crc32(0L, archive.data(), static_cast<uInt>(archive.size() - 4));
  for (int i = 0; i < 4; ++i) archive[archive.size() - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

// Payload, directory and trailer with a matching checksum. directory_size defaults to
// the directory's real size; pass another to forge it.
inline Bytes finish_archive(const Bytes& payload, const Bytes& directory, std::uint32_t entry_count,
                            std::uint32_t directory_size) {
  Bytes archive(payload);
  archive.insert(archive.end(), directory.begin(), directory.end());
  put_u32(archive, directory_size);
  put_u32(archive, entry_count);
  put_u32(archive, 0);
  fix_checksum(archive);
  return archive;
}
inline Bytes finish_archive(const Bytes& payload, const Bytes& directory, std::uint32_t entry_count) {
  return finish_archive(payload, directory, entry_count, static_cast<std::uint32_t>(directory.size()));
}

struct FileSpec {
  std::string name;
  std::string content;
  std::uint8_t attributes = 0x20;
  std::uint64_t time = y2k_filetime;  // both last-write and creation
};

// An ordinary, valid archive of the given files and strings.
inline Bytes build_archive(const std::vector<FileSpec>& files, const std::vector<std::string>& strings = {}) {
  Bytes payload, directory;
  for (const FileSpec& file : files) {
    put_record(directory, file.name, put_chunks(payload, file.content), file.attributes, file.time, file.time);
  }
  put_strings(directory, strings);
  return finish_archive(payload, directory, static_cast<std::uint32_t>(files.size()));
}

// Writes prefix (a stand-in stub, may be empty) then bytes to path; false on failure.
inline bool write_file(const std::string& path, const Bytes& prefix, const Bytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  // An empty vector's data() may be null, which fwrite must not be given.
  const bool written = (prefix.empty() || std::fwrite(prefix.data(), 1, prefix.size(), file) == prefix.size()) &&
                       (bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  return std::fclose(file) == 0 && written;
}

// A fresh directory under the system's temporary directory, removed with everything
// in it when the object goes; path() is empty if it couldn't be made.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvra-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace kelvra::test
