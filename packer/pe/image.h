// The stub as a Windows program file: its resource tree read and written again, with
// the one section a linker puts after it (the base relocations) moved in front of it,
// so the new tree can take any size. Only what create and list need.
#pragma once

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
