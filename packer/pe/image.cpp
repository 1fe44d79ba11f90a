// Reading and rewriting a PE image's resources. Every offset read from the file is
// checked against the bytes it points into before it is used; integers are decoded
// byte by byte, so the result is the same on every host.
#include "packer/pe/image.h"

#include <algorithm>

#include "archive/format.h"

namespace kelvra::pack::pe {

namespace {

using format::read_u16;
using format::read_u32;
using format::write_u16;
using format::write_u32;

constexpr std::uint32_t scn_initialized_data = 0x00000040;
constexpr std::size_t section_header_size = 40;
// More entries than any real program's tree (an icon of 65,535 images makes two per
// image): a forged tree whose directories all point at one another can't make reading
// it take forever.
constexpr std::uint32_t most_tree_entries = 1 << 18;

std::uint32_t align_up(std::uint32_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

struct Section {
  std::size_t header = 0;  // offset of its header in the file
  std::uint32_t virtual_size = 0, virtual_address = 0, raw_size = 0, raw_pointer = 0;
};

struct Layout {
  std::size_t optional_header = 0;
  std::size_t data_directories = 0;  // offset of the first data directory
  std::uint32_t directory_count = 0;
  std::uint32_t file_alignment = 0, section_alignment = 0;
  std::vector<Section> sections;
};

bool within(const std::vector<std::uint8_t>& bytes, std::uint64_t offset, std::uint64_t size) {
  return offset <= bytes.size() && size <= bytes.size() - offset;
}

std::string read_layout(const std::vector<std::uint8_t>& bytes, Layout* layout) {
  std::uint64_t pe = 0;
  if (!within(bytes, 0, dos_header_size) || !pe_header_at(bytes.data(), &pe)) return "not a PE program: no MZ header";
  FileHeader file_header;
  if (!within(bytes, pe, pe_header_size) || !read_file_header(&bytes[pe], &file_header)) {
    return "not a PE program: no PE header";
  }
  const std::uint16_t section_count = file_header.section_count;
  const std::uint16_t optional_size = file_header.optional_size;
  const std::size_t optional = pe + pe_header_size;
  if (!within(bytes, optional, optional_size) || optional_size < 2) {
    return "not a PE program: its optional header is cut";
  }
  const std::size_t directories_offset = data_directories_in_optional(read_u16(&bytes[optional + optional_magic]));
  if (directories_offset == 0) return "not a PE program: unknown optional header";
  const std::size_t directories = optional + directories_offset;
  if (directories > optional + optional_size) return "not a PE program: its optional header is cut";
  layout->optional_header = optional;
  layout->data_directories = directories;
  layout->directory_count = read_u32(&bytes[directories - 4]);
  if (directories + std::uint64_t{data_directory_size} * layout->directory_count > optional + optional_size) {
    return "not a PE program: its data directories are cut";
  }
  layout->section_alignment = read_u32(&bytes[optional + optional_section_alignment]);
  layout->file_alignment = read_u32(&bytes[optional + optional_file_alignment]);
  if (layout->file_alignment == 0 || layout->section_alignment == 0) return "not a PE program: no alignment";
  const std::size_t table = optional + optional_size;
  if (!within(bytes, table, section_header_size * section_count)) return "not a PE program: its section table is cut";
  layout->sections.clear();
  for (std::uint16_t i = 0; i < section_count; ++i) {
    const std::uint8_t* h = &bytes[table + section_header_size * i];
    Section s;
    s.header = table + section_header_size * i;
    s.virtual_size = read_u32(h + 8);
    s.virtual_address = read_u32(h + 12);
    s.raw_size = read_u32(h + 16);
    s.raw_pointer = read_u32(h + 20);
    layout->sections.push_back(s);
  }
  return {};
}

std::uint32_t directory_field(const std::vector<std::uint8_t>& bytes, const Layout& layout, std::uint32_t index,
                              int field) {
  if (index >= layout.directory_count) return 0;
  return read_u32(&bytes[layout.data_directories + data_directory_size * index + 4 * field]);
}

// ---- reading the resource tree

struct TreeReader {
  const std::vector<std::uint8_t>& bytes;
  std::size_t base;  // the section's file offset
  std::uint32_t size;
  std::uint32_t rva;
  Resources* out;
  std::uint32_t entries_left = most_tree_entries;
  // Leaves are copied out one by one; together they can hold no more than the section
  // does, unless a forged tree points many keys at the same bytes (65,025 keys at one
  // megabyte would ask for 64 GiB).
  std::uint64_t data_left = size;

  bool in_tree(std::uint32_t offset, std::uint64_t length) const { return offset <= size && length <= size - offset; }

  bool id_at(std::uint32_t field, ResourceId* id) const {
    if ((field & 0x80000000u) == 0) {
      if (field > 0xFFFF) return false;
      *id = number(static_cast<std::uint16_t>(field));
      return true;
    }
    const std::uint32_t at = field & 0x7FFFFFFFu;
    if (!in_tree(at, 2)) return false;
    const std::uint16_t length = read_u16(&bytes[base + at]);
    if (!in_tree(at + 2, 2u * length)) return false;
    id->named = true;
    id->id = 0;
    id->name.clear();
    for (std::uint16_t i = 0; i < length; ++i) {
      id->name += static_cast<char16_t>(read_u16(&bytes[base + at + 2 + 2 * i]));
    }
    return true;
  }

  // level 0: types, 1: names, 2: languages.
  bool directory(std::uint32_t at, int level, ResourceKey key) {
    if (!in_tree(at, 16)) return false;
    const std::uint32_t count = read_u16(&bytes[base + at + 12]) + read_u16(&bytes[base + at + 14]);
    if (!in_tree(at + 16, 8ull * count) || count > entries_left) return false;
    entries_left -= count;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::size_t entry = base + at + 16 + 8 * i;
      ResourceId id;
      if (!id_at(read_u32(&bytes[entry]), &id)) return false;
      if (level == 0) std::get<0>(key) = id;
      if (level == 1) std::get<1>(key) = id;
      if (level == 2) std::get<2>(key) = id;
      const std::uint32_t target = read_u32(&bytes[entry + 4]);
      const bool subdirectory = (target & 0x80000000u) != 0;
      if (subdirectory != (level < 2)) return false;
      if (subdirectory) {
        if (!directory(target & 0x7FFFFFFFu, level + 1, key)) return false;
        continue;
      }
      if (!in_tree(target, 16)) return false;
      const std::uint32_t data_rva = read_u32(&bytes[base + target]);
      const std::uint32_t data_size = read_u32(&bytes[base + target + 4]);
      if (data_rva < rva || !in_tree(data_rva - rva, data_size) || data_size > data_left) return false;
      data_left -= data_size;
      const std::size_t from = base + (data_rva - rva);
      (*out)[key].assign(bytes.begin() + from, bytes.begin() + from + data_size);
    }
    return true;
  }
};

// ---- writing it

// Every directory table, then the names, then the data entries, then the data (each
// item 8-aligned), each piece at an offset fixed before it is written.
std::vector<std::uint8_t> build_tree(const Resources& resources, std::uint32_t rva) {
  using Languages = std::map<ResourceId, const std::vector<std::uint8_t>*>;
  using Names = std::map<ResourceId, Languages>;
  std::map<ResourceId, Names> tree;
  for (const auto& [key, data] : resources) tree[std::get<0>(key)][std::get<1>(key)][std::get<2>(key)] = &data;

  auto table_size = [](std::size_t entries) { return static_cast<std::uint32_t>(16 + 8 * entries); };
  std::uint32_t tables = table_size(tree.size());
  std::uint32_t leaves = 0;
  std::vector<const ResourceId*> named;
  for (const auto& [type, names] : tree) {
    if (type.named) named.push_back(&type);
    tables += table_size(names.size());
    for (const auto& [name, languages] : names) {
      if (name.named) named.push_back(&name);
      tables += table_size(languages.size());
      for (const auto& language : languages) {
        if (language.first.named) named.push_back(&language.first);
        ++leaves;
      }
    }
  }
  std::map<const ResourceId*, std::uint32_t> name_at;
  std::uint32_t strings = tables;
  for (const ResourceId* id : named) {
    name_at[id] = strings;
    strings += 2 + 2 * static_cast<std::uint32_t>(id->name.size());
  }
  const std::uint32_t entries = align_up(strings, 8);
  std::vector<std::uint8_t> out(entries + 16 * leaves, 0);
  for (const auto& [id, at] : name_at) {
    write_u16(&out[at], static_cast<std::uint16_t>(id->name.size()));
    for (std::size_t i = 0; i < id->name.size(); ++i) write_u16(&out[at + 2 + 2 * i], id->name[i]);
  }

  std::uint32_t next_table = table_size(tree.size());
  std::uint32_t next_leaf = entries;
  auto put_table = [&](std::uint32_t at, const auto& map) {
    std::size_t named_count = 0;
    for (const auto& item : map) named_count += item.first.named ? 1 : 0;
    write_u16(&out[at + 12], static_cast<std::uint16_t>(named_count));
    write_u16(&out[at + 14], static_cast<std::uint16_t>(map.size() - named_count));
  };
  auto put_entry = [&](std::uint32_t at, const ResourceId& id, std::uint32_t target) {
    write_u32(&out[at], id.named ? (name_at.at(&id) | 0x80000000u) : id.id);
    write_u32(&out[at + 4], target);
  };
  // Points the entry at *at to a new table for map, moves *at to the next entry and
  // returns where the new table's own entries start.
  auto put_subtable = [&](std::uint32_t* at, const ResourceId& id, const auto& map) {
    const std::uint32_t table = next_table;
    next_table += table_size(map.size());
    put_entry(*at, id, table | 0x80000000u);
    *at += 8;
    put_table(table, map);
    return table + 16;
  };
  put_table(0, tree);
  std::uint32_t root_entry = 16;
  for (const auto& [type, names] : tree) {
    std::uint32_t type_entry = put_subtable(&root_entry, type, names);
    for (const auto& [name, languages] : names) {
      std::uint32_t name_entry = put_subtable(&type_entry, name, languages);
      for (const auto& [language, data] : languages) {
        put_entry(name_entry, language, next_leaf);
        name_entry += 8;
        const std::uint32_t offset = align_up(static_cast<std::uint32_t>(out.size()), 8);
        out.resize(offset, 0);
        out.insert(out.end(), data->begin(), data->end());
        write_u32(&out[next_leaf], rva + offset);
        write_u32(&out[next_leaf + 4], static_cast<std::uint32_t>(data->size()));
        next_leaf += 16;
      }
    }
  }
  return out;
}

}  // namespace

bool pe_header_at(const std::uint8_t* dos_header, std::uint64_t* offset) {
  if (dos_header[0] != 'M' || dos_header[1] != 'Z') return false;
  *offset = read_u32(dos_header + 0x3C);  // e_lfanew
  return true;
}

bool read_file_header(const std::uint8_t* pe_header, FileHeader* header) {
  if (read_u32(pe_header) != 0x00004550) return false;  // "PE\0\0"
  header->section_count = read_u16(pe_header + 4 + 2);
  header->optional_size = read_u16(pe_header + 4 + 16);
  return true;
}

std::string read_resources(const std::vector<std::uint8_t>& image, Resources* resources) {
  Layout layout;
  const std::string problem = read_layout(image, &layout);
  if (!problem.empty()) return problem;
  const std::uint32_t rva = directory_field(image, layout, directory_resource, 0);
  const auto section = std::find_if(layout.sections.begin(), layout.sections.end(),
                                    [&](const Section& s) { return s.virtual_address == rva; });
  if (rva == 0 || section == layout.sections.end()) return "it has no resource section";
  const std::uint32_t size = std::min(section->virtual_size, section->raw_size);
  if (!within(image, section->raw_pointer, size)) return "its resource section is cut";
  TreeReader reader{image, section->raw_pointer, size, rva, resources};
  resources->clear();
  if (!reader.directory(0, 0, {})) {
    resources->clear();
    return "its resource tree is damaged";
  }
  return {};
}

std::string replace_resources(std::vector<std::uint8_t>* image_bytes, const Resources& resources) {
  std::vector<std::uint8_t>& image = *image_bytes;
  Layout layout;
  const std::string problem = read_layout(image, &layout);
  if (!problem.empty()) return problem;
  if (directory_field(image, layout, directory_security, 0) != 0 ||
      directory_field(image, layout, directory_security, 1) != 0) {
    return "the stub is signed, and changing it would break the signature: give an unsigned stub, and sign "
           "the finished installer instead (sign)";
  }
  const std::uint32_t rsrc_rva = directory_field(image, layout, directory_resource, 0);
  const std::uint32_t reloc_rva = directory_field(image, layout, directory_base_relocations, 0);
  const std::vector<Section>& sections = layout.sections;
  std::size_t r = 0;
  while (r < sections.size() && sections[r].virtual_address != rsrc_rva) ++r;
  if (rsrc_rva == 0 || r == sections.size()) return "the stub has no resource section";
  // Only the base relocations may follow: nothing refers to where they lie but their
  // data directory, and the addresses they list are in other sections.
  const bool reloc_after = r + 2 == sections.size() && reloc_rva != 0 && sections[r + 1].virtual_address == reloc_rva;
  if (r + 1 != sections.size() && !reloc_after) return "the stub has sections after its resources that can't move";
  for (std::size_t i = r; i < sections.size(); ++i) {
    const Section& s = sections[i];
    if (s.raw_size % layout.file_alignment != 0 || !within(image, s.raw_pointer, s.raw_size) ||
        (i > r && s.raw_pointer != sections[i - 1].raw_pointer + sections[i - 1].raw_size)) {
      return "the stub's last sections are not laid out one after the other";
    }
  }
  const Section& last = sections.back();
  if (static_cast<std::uint64_t>(last.raw_pointer) + last.raw_size != image.size()) {
    return "the stub has data after its last section";
  }

  const Section old_rsrc = sections[r];
  std::uint32_t next_rva = old_rsrc.virtual_address;
  std::uint32_t next_raw = old_rsrc.raw_pointer;
  std::vector<std::uint8_t> tail;
  std::vector<std::uint8_t> rsrc_header(image.begin() + old_rsrc.header,
                                        image.begin() + old_rsrc.header + section_header_size);
  if (reloc_after) {
    // The relocations take the resources' place, header and all.
    const Section& reloc = sections[r + 1];
    const std::vector<std::uint8_t> reloc_header(image.begin() + reloc.header,
                                                 image.begin() + reloc.header + section_header_size);
    tail.assign(image.begin() + reloc.raw_pointer, image.begin() + reloc.raw_pointer + reloc.raw_size);
    std::copy(reloc_header.begin(), reloc_header.end(), image.begin() + old_rsrc.header);
    write_u32(&image[old_rsrc.header + 12], next_rva);
    write_u32(&image[old_rsrc.header + 20], next_raw);
    write_u32(&image[layout.data_directories + data_directory_size * directory_base_relocations], next_rva);
    next_rva = align_up(next_rva + std::max(reloc.virtual_size, 1u), layout.section_alignment);
    next_raw += reloc.raw_size;
  }
  std::vector<std::uint8_t> tree = build_tree(resources, next_rva);
  const std::uint32_t tree_size = static_cast<std::uint32_t>(tree.size());
  const std::uint32_t raw_size = align_up(tree_size, layout.file_alignment);
  tree.resize(raw_size, 0);
  tail.insert(tail.end(), tree.begin(), tree.end());

  const std::size_t header = reloc_after ? sections[r + 1].header : old_rsrc.header;
  std::copy(rsrc_header.begin(), rsrc_header.end(), image.begin() + header);
  write_u32(&image[header + 8], tree_size);
  write_u32(&image[header + 12], next_rva);
  write_u32(&image[header + 16], raw_size);
  write_u32(&image[header + 20], next_raw);
  image.resize(old_rsrc.raw_pointer);
  image.insert(image.end(), tail.begin(), tail.end());

  const std::size_t optional = layout.optional_header;
  write_u32(&image[layout.data_directories + data_directory_size * directory_resource], next_rva);
  write_u32(&image[layout.data_directories + data_directory_size * directory_resource + 4], tree_size);
  // SizeOfInitializedData: the resources' share of it changes by what their raw size did.
  if (read_u32(&rsrc_header[36]) & scn_initialized_data) {
    const std::size_t field = optional + optional_initialized_data_size;
    write_u32(&image[field], read_u32(&image[field]) - old_rsrc.raw_size + raw_size);
  }
  write_u32(&image[optional + optional_image_size], align_up(next_rva + tree_size, layout.section_alignment));
  write_u32(&image[optional + optional_checksum], 0);
  return {};
}

}  // namespace kelvra::pack::pe
