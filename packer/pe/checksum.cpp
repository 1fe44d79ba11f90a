#include "packer/pe/checksum.h"

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <vector>

#include "archive/format.h"
#include "packer/packer.h"
#include "packer/pe/image.h"
#include "packer/system/system.h"

namespace kelvra::pack {

namespace {

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08" PRIX32, value);
  return text;
}

}  // namespace

bool read_pe_facts(std::FILE* file, std::uint64_t file_size, PeFacts* facts) {
  *facts = PeFacts{};
  std::uint8_t dos[pe::dos_header_size];
  if (file_size < sizeof dos) return true;
  if (!system::read_at(file, 0, dos, sizeof dos)) return false;
  std::uint64_t pe = 0;
  if (!pe::pe_header_at(dos, &pe)) return true;
  // The PE header, and the optional header up to the end of the security entry.
  constexpr std::size_t security_end_in_optional =
      pe::data_directories_in_optional(pe::magic_pe32_plus) + (pe::directory_security + 1) * pe::data_directory_size;
  std::uint8_t headers[pe::pe_header_size + security_end_in_optional];
  if (pe + pe::pe_header_size + 2 > file_size) return true;
  const std::size_t available =
      static_cast<std::size_t>(std::min<std::uint64_t>(sizeof headers, file_size - pe));
  std::fill(headers, headers + sizeof headers, 0);
  if (!system::read_at(file, pe, headers, available)) return false;
  pe::FileHeader file_header;
  if (!pe::read_file_header(headers, &file_header)) return true;
  const std::uint32_t optional_size = file_header.optional_size;
  const std::uint8_t* optional = headers + pe::pe_header_size;
  const std::size_t directories = pe::data_directories_in_optional(format::read_u16(optional + pe::optional_magic));
  if (directories == 0) return true;
  if (optional_size < pe::optional_checksum + 4 || pe::pe_header_size + pe::optional_checksum + 4 > available) {
    return true;
  }
  facts->is_pe = true;
  facts->checksum_offset = pe + pe::pe_header_size + pe::optional_checksum;
  facts->stored_checksum = format::read_u32(optional + pe::optional_checksum);
  const std::size_t security_end = directories + (pe::directory_security + 1) * pe::data_directory_size;
  if (optional_size >= security_end && pe::pe_header_size + security_end <= available &&
      format::read_u32(optional + directories - 4) > pe::directory_security) {
    const std::uint8_t* security = optional + directories + pe::directory_security * pe::data_directory_size;
    facts->certificate_offset = format::read_u32(security);
    facts->certificate_size = format::read_u32(security + 4);
    facts->has_certificate_entry = facts->certificate_offset != 0 || facts->certificate_size != 0;
  }
  return true;
}

bool compute_pe_checksum(std::FILE* file, std::uint64_t file_size, std::uint64_t checksum_offset,
                         std::uint32_t* checksum) {
  // The sum of little-endian 16-bit words with the carry folded back in; an odd last
  // byte counts as a word with a zero high byte. Since 65536 is 1 modulo 65535, 32-bit
  // words summed wide and folded at the end give the same value at a fraction of the
  // cost: this runs over every byte of the installer on every create and test.
  // The field's own word-aligned bytes count as zero.
  const std::uint64_t field = checksum_offset + (checksum_offset & 1);
  if (!system::seek_file(file, 0)) return false;
  std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
  std::uint64_t sum = 0;
  std::uint64_t position = 0;
  while (position < file_size) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file_size - position));
    if (std::fread(buffer.data(), 1, piece, file) != piece) return false;
    for (std::uint64_t at = std::max(field, position); at < field + 4 && at < position + piece; ++at) {
      buffer[static_cast<std::size_t>(at - position)] = 0;
    }
    const std::size_t whole = piece & ~std::size_t{3};
    for (std::size_t i = 0; i < whole; i += 4) sum += format::read_u32(buffer.data() + i);
    for (std::size_t i = whole; i < piece; ++i) sum += static_cast<std::uint64_t>(buffer[i]) << (8 * (i - whole));
    sum = (sum & 0xFFFFFFFF) + (sum >> 32);  // a megabyte of words can't overflow 64 bits
    position += piece;
  }
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  *checksum = static_cast<std::uint32_t>(sum + file_size);
  return true;
}

std::string write_pe_checksum(const std::string& path) {
  system::File file(system::open_file(path, "r+b"));
  if (!file) return "cannot open " + in_quotes(path) + ": " + system::last_error();
  std::uint64_t size = 0;
  PeFacts facts;
  if (!system::file_end(file.get(), &size) || !read_pe_facts(file.get(), size, &facts)) {
    return "cannot read " + in_quotes(path) + ": " + system::last_error();
  }
  if (!facts.is_pe) return {};
  std::uint32_t checksum = 0;
  if (!compute_pe_checksum(file.get(), size, facts.checksum_offset, &checksum)) {
    return "cannot read " + in_quotes(path) + ": " + system::last_error();
  }
  std::uint8_t field[4];
  for (int i = 0; i < 4; ++i) field[i] = static_cast<std::uint8_t>(checksum >> (8 * i));
  if (!system::seek_file(file.get(), facts.checksum_offset) ||
      std::fwrite(field, 1, sizeof field, file.get()) != sizeof field || std::fflush(file.get()) != 0) {
    return "cannot write the PE checksum into " + in_quotes(path) + ": " + system::last_error();
  }
  std::FILE* raw = file.release();
  if (std::fclose(raw) != 0) {
    return "cannot write the PE checksum into " + in_quotes(path) + ": " + system::last_error();
  }
  return {};
}

std::string describe_pe(const std::string& path, std::uint64_t archive_start, std::uint64_t archive_end,
                        bool* fault) {
  *fault = false;
  system::File file(system::open_file(path, "rb"));
  std::uint64_t size = 0;
  PeFacts facts;
  if (!file || !system::file_end(file.get(), &size) || !read_pe_facts(file.get(), size, &facts)) {
    *fault = true;
    return "cannot read the PE headers: " + system::last_error();
  }
  if (!facts.is_pe) return "not a PE image (an archive without a stub)";

  std::string text;
  std::uint32_t computed = 0;
  if (!compute_pe_checksum(file.get(), size, facts.checksum_offset, &computed)) {
    *fault = true;
    return "cannot read the file to check its PE checksum";
  }
  if (facts.stored_checksum == computed) {
    text = "PE checksum " + hex(computed) + " is right";
  } else if (facts.stored_checksum == 0) {
    text = "PE checksum not set (the file gives " + hex(computed) + ")";
  } else {
    text = "PE checksum is wrong: the header says " + hex(facts.stored_checksum) + ", the file gives " +
           hex(computed) + " (changed after it was made?)";
  }

  if (!facts.has_certificate_entry) return text + "; not signed";
  const std::uint64_t table = facts.certificate_offset;
  const std::uint64_t table_end = table + facts.certificate_size;
  if (facts.certificate_size < 8 || table_end > size || table % 8 != 0) {
    *fault = true;
    return text + "; the certificate table (" + std::to_string(facts.certificate_size) + " bytes at " +
           std::to_string(table) + ") does not lie within the file's " + std::to_string(size) + " bytes";
  }
  if (table_end <= archive_start) {
    // What a stub signed before packing leaves: harmless to the archive, but the
    // signature covers the stub alone and no longer verifies.
    return text + "; a certificate table of " + std::to_string(facts.certificate_size) + " bytes at " +
           std::to_string(table) +
           " lies in front of the archive, so its signature does not cover this "
           "installer (was the stub signed before packing? sign the finished installer instead)";
  }
  if (archive_end > table) {
    *fault = true;
    return text + "; the certificate table at " + std::to_string(table) + " overlaps the archive, which ends at " +
           std::to_string(archive_end);
  }
  return text + "; signed: certificate table of " + std::to_string(facts.certificate_size) + " bytes at " +
         std::to_string(table) + ", the archive in front of it" +
         (table_end == size ? "" : ", " + std::to_string(size - table_end) + " bytes after it");
}

}  // namespace kelvra::pack
