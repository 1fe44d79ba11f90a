// The stub as a Windows program file: its headers, walked from the start of the file
// (for every part of the packer that reads them: the checksum, signing, branding), and
// its resource tree read and written again, with the one section a linker puts after
// it (the base relocations) moved in front of it, so the new tree can take any size.
// Only what create, list and test need. The installer's own reader keeps a small walk
// of its own, for its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace kelvra::pack::pe {

// A resource type, name or language: a number, or (named) a UTF-16 name.
struct ResourceId {
  bool named = false;
  std::uint16_t id = 0;
  std::u16string name;
  bool operator<(const ResourceId& other) const {
    // The order the tree keeps: named entries first, by name, then numbers.
    if (named != other.named) return named;
    return named ? name < other.name : id < other.id;
  }
  bool operator==(const ResourceId& other) const {
    return named == other.named && id == other.id && name == other.name;
  }
  bool operator!=(const ResourceId& other) const { return !(*this == other); }
};
inline ResourceId number(std::uint16_t id) { return ResourceId{false, id, {}}; }

using ResourceKey = std::tuple<ResourceId, ResourceId, ResourceId>;  // type, name, language
using Resources = std::map<ResourceKey, std::vector<std::uint8_t>>;

// ---- the headers

// The DOS header ("MZ"), which says where the PE header stands.
constexpr std::size_t dos_header_size = 64;
// The PE header's offset in the file, from the DOS header's dos_header_size bytes;
// false when they aren't a DOS header.
bool pe_header_at(const std::uint8_t* dos_header, std::uint64_t* offset);

// The PE header: the signature "PE\0\0" and the file header; the optional header
// follows it.
constexpr std::size_t pe_header_size = 24;
struct FileHeader {
  std::uint16_t section_count = 0;
  std::uint16_t optional_size = 0;  // the optional header's, as the file header says
};
// From the pe_header_size bytes at the PE header; false without the signature.
bool read_file_header(const std::uint8_t* pe_header, FileHeader* header);

// Fields of the optional header, by their offset in it (the same in PE32 and PE32+).
constexpr std::size_t optional_magic = 0;                  // u16
constexpr std::size_t optional_initialized_data_size = 8;  // u32
constexpr std::size_t optional_section_alignment = 32;     // u32
constexpr std::size_t optional_file_alignment = 36;        // u32
constexpr std::size_t optional_image_size = 56;            // u32
constexpr std::size_t optional_checksum = 64;              // u32
constexpr std::uint16_t magic_pe32 = 0x10B;
constexpr std::uint16_t magic_pe32_plus = 0x20B;
// Where the data directories begin in an optional header of this magic (PE32 or
// PE32+), their count in the u32 just before; 0 for any other magic.
constexpr std::size_t data_directories_in_optional(std::uint16_t magic) {
  return magic == magic_pe32 ? 96 : magic == magic_pe32_plus ? 112
                                                             : 0;
}
// Each data directory: a u32 address (a file offset for the security directory) and a
// u32 size.
constexpr std::size_t data_directory_size = 8;
constexpr std::uint32_t directory_resource = 2;
constexpr std::uint32_t directory_security = 4;
constexpr std::uint32_t directory_base_relocations = 5;

// ---- the resources

constexpr std::uint16_t type_icon = 3;
constexpr std::uint16_t type_string = 6;
constexpr std::uint16_t type_group_icon = 14;
constexpr std::uint16_t type_version = 16;
constexpr std::uint16_t type_manifest = 24;

// The resource tree of a PE image (or of the start of one: the bytes up to the end of
// its resource section are enough). Empty on success, else the reason.
std::string read_resources(const std::vector<std::uint8_t>& image, Resources* resources);

// The image with its resource section rebuilt from resources and made its last
// section; base relocations that followed it move in front of it. SizeOfImage, the
// section sizes and the data directories follow; the PE checksum is zeroed (it is
// set once the installer is whole). Empty on success, else the reason, and the image
// is left as it was.
std::string replace_resources(std::vector<std::uint8_t>* image, const Resources& resources);

}  // namespace kelvra::pack::pe
