// Test helper: archives built byte by byte, apart from the packer's writer, so that a
// test can forge any field and still give the archive a matching CRC-32: what gets
// refused is then the forged field, not the checksum.
#pragma once

#include <zlib.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kelvra::test {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t y2k_filetime = 125911584000000000ull;

// Fixed pseudo-random bytes, so a failure repeats. They don't compress: each piece of
// them becomes a stored block, a chunk of 10,011 bytes.
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
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void put_le(Bytes& out, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
inline void put_u16(Bytes& out, std::uint16_t value) { put_le(out, value, 2); }
inline void put_u32(Bytes& out, std::uint32_t value) { put_le(out, value, 4); }
inline void put_bytes(Bytes& out, const std::string& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// An entry's data as the format stores it: pieces of at most 10,000 bytes, each a u16
// length and one zlib stream. Returns the bytes added, the entry's stored size.
inline std::uint32_t put_chunks(Bytes& payload, const std::string& content) {
  const std::size_t before = payload.size();
  for (std::size_t at = 0; at < content.size(); at += 10000) {
    const uLong piece = static_cast<uLong>(std::min<std::size_t>(content.size() - at, 10000));
    uLongf length = compressBound(piece);
    std::vector<Bytef> stream(length);
    compress2(stream.data(), &length, reinterpret_cast<const Bytef*>(content.data() + at), piece, Z_DEFAULT_COMPRESSION);
    put_u16(payload, static_cast<std::uint16_t>(length));
    payload.insert(payload.end(), stream.begin(), stream.begin() + static_cast<long>(length));
  }
  return static_cast<std::uint32_t>(payload.size() - before);
}

// One entry record, its length byte the name's own size.
inline void put_record(Bytes& directory, const std::string& name, std::uint32_t stored_size,
                       std::uint8_t attributes = 0x20, std::uint64_t last_write_time = y2k_filetime,
                       std::uint64_t creation_time = y2k_filetime) {
  put_le(directory, name.size(), 1);
  put_bytes(directory, name);
  put_le(directory, stored_size, 4);
  put_le(directory, attributes, 1);
  put_le(directory, last_write_time, 8);
  put_le(directory, creation_time, 8);
}

// The seven archive strings in the directory's order; those not given are empty.
inline void put_strings(Bytes& directory, std::vector<std::string> strings = {}) {
  strings.resize(7);
  for (const std::string& text : strings) {
    put_le(directory, text.size(), 1);
    put_bytes(directory, text);
  }
}

// The last four bytes of a stub-free archive: the CRC-32 of all before them.
inline void fix_checksum(Bytes& archive) {
  const uLong crc = crc32(0L, archive.data(), static_cast<uInt>(archive.size() - 4));
  archive.resize(archive.size() - 4);
  put_le(archive, crc, 4);
}

// Payload, directory and trailer with a matching checksum; a directory_size of 0 or
// more forges the trailer's.
inline Bytes finish_archive(const Bytes& payload, const Bytes& directory, std::uint32_t entry_count,
                            std::int64_t directory_size = -1) {
  Bytes archive(payload);
  archive.insert(archive.end(), directory.begin(), directory.end());
  put_le(archive, directory_size < 0 ? directory.size() : static_cast<std::uint64_t>(directory_size), 4);
  put_le(archive, entry_count, 4);
  put_le(archive, 0, 4);  // the checksum's place
  fix_checksum(archive);
  return archive;
}

struct FileSpec {
  std::string name;
  std::string content;
  std::uint8_t attributes = 0x20;
  std::uint64_t time = y2k_filetime;  // both last-write and creation
};

inline Bytes build_archive(const std::vector<FileSpec>& files, const std::vector<std::string>& strings = {}) {
  Bytes payload, directory;
  for (const FileSpec& file : files) {
    put_record(directory, file.name, put_chunks(payload, file.content), file.attributes, file.time, file.time);
  }
  put_strings(directory, strings);
  return finish_archive(payload, directory, static_cast<std::uint32_t>(files.size()));
}

// Writes prefix (a stand-in stub, may be empty) then bytes to path; false on failure.
inline bool write_file(const std::string& path, Bytes prefix, const Bytes& bytes) {
  prefix.insert(prefix.end(), bytes.begin(), bytes.end());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(prefix.data()), static_cast<std::streamsize>(prefix.size()));
  return static_cast<bool>(out.flush());
}

// A fresh directory under the system's temporary directory, removed with everything in
// it when the object goes; path() is empty if it couldn't be made.
class TempDir {
 public:
  TempDir() : path_((std::filesystem::temp_directory_path() / "kelvra-test-XXXXXX").string()) {
    if (mkdtemp(path_.data()) == nullptr) path_.clear();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace kelvra::test
