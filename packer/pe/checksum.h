// The PE image's own checksum (the optional header's CheckSum), which Windows checks
// only for drivers but scanners look at: computed over the whole installer, stub,
// archive and trailer, once it is written; and what a finished installer's headers
// say about it and about a signature.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kelvra::pack {

struct PeFacts {
  bool is_pe = false;                 // MZ and PE headers present and in bounds
  std::uint64_t checksum_offset = 0;  // file offset of the CheckSum field
  std::uint32_t stored_checksum = 0;
  bool has_certificate_entry = false;    // the security directory is non-empty
  std::uint32_t certificate_offset = 0;  // a file offset, not an address
  std::uint32_t certificate_size = 0;
};

// Reads the headers of the file_size-byte file. Not a PE image is not an error: is_pe
// stays false. Returns false only when the file can't be read.
bool read_pe_facts(std::FILE* file, std::uint64_t file_size, PeFacts* facts);

// The checksum of the whole file, its CheckSum field counted as zero.
bool compute_pe_checksum(std::FILE* file, std::uint64_t file_size, std::uint64_t checksum_offset,
                         std::uint32_t* checksum);

// Writes the right checksum into the PE image at path. Empty on success (also when
// the file is no PE image: nothing to fix), else the reason, naming the file.
std::string write_pe_checksum(const std::string& path);

// One line for `test`: whether the checksum is right, and whether the file is signed
// with its certificate table after the archive (which spans archive_start to
// archive_end). *fault is set when the table lies outside the file or overlaps the
// archive.
std::string describe_pe(const std::string& path, std::uint64_t archive_start, std::uint64_t archive_end,
                        bool* fault);

}  // namespace kelvra::pack
