// The maker's icon, version information, execution level and web address in the
// stub's resources. Icons are taken from an .ico file whole (every image), checked
// entry by entry; the version information is built as Windows lays it out.
#include "packer/pe/resources.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "archive/format.h"
#include "packer/commands/create.h"
#include "packer/packer.h"
#include "packer/pe/image.h"
#include "packer/system/system.h"
#include "resources/strings.h"

namespace kelvra::pack {

const char* const version_keys[6] = {"product_name", "product_version", "file_version",
                                     "company", "copyright", "description"};

namespace {

using format::read_u16;
using format::read_u32;

// The window paints the address from a 60-byte buffer and opens it from an 80-byte
// one; what it shows must be all of what it opens.
constexpr std::size_t link_limit = 59;
// Far beyond any real icon (a full set of 256-pixel PNGs is a few hundred kilobytes).
constexpr std::uint64_t largest_icon = 16 << 20;
constexpr std::size_t version_text_limit = 255;
const char* const levels[] = {"asInvoker", "highestAvailable", "requireAdministrator"};
const char* const level_mark = "requestedExecutionLevel level=\"";
// The stub's DPI settings, one element that dpi_aware = false takes out whole.
const char* const dpi_settings_start = "<application xmlns=\"urn:schemas-microsoft-com:asm.v3\">";
const char* const dpi_settings_end = "</application>";

// What every installer says of itself in its properties when the maker says nothing.
const std::map<std::string, std::string> default_version = {
    {"product_name", "Kelvra self-installer"},
    {"product_version", "1.3.0"},
    {"file_version", "1.3.0.0"},
    {"description", "Kelvra self-installer"},
};

// The version-information string names, by key.
const std::pair<const char*, const char16_t*> version_names[] = {
    {"product_name", u"ProductName"}, {"product_version", u"ProductVersion"}, {"file_version", u"FileVersion"}, {"company", u"CompanyName"}, {"copyright", u"LegalCopyright"}, {"description", u"FileDescription"}};

bool is_level(const std::string& level) {
  return std::any_of(std::begin(levels), std::end(levels), [&](const char* known) { return level == known; });
}

bool is_version_key(const std::string& key) {
  return std::any_of(std::begin(version_keys), std::end(version_keys), [&](const char* known) { return key == known; });
}

}  // namespace

bool to_utf16(const std::string& utf8, std::u16string* out) {
  out->clear();
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    const int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1
                                 : (c >> 4) == 14  ? 2
                                 : (c >> 3) == 30  ? 3
                                                   : -1;
    if (extra < 0 || i + extra >= utf8.size() + (extra == 0 ? 1 : 0)) return false;
    std::uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      const unsigned char next = static_cast<unsigned char>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    i += extra + 1;
    if (code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      *out += static_cast<char16_t>(0xD800 + (code >> 10));
      *out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      *out += static_cast<char16_t>(code);
    }
  }
  return true;
}

void append_utf8(std::string* out, std::uint32_t c) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

namespace {

std::string from_utf16(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // half a pair
    }
    append_utf8(&out, c);
  }
  return out;
}

}  // namespace

void put16(std::vector<std::uint8_t>* out, std::uint16_t v) {
  out->push_back(static_cast<std::uint8_t>(v));
  out->push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>* out, std::uint32_t v) {
  put16(out, static_cast<std::uint16_t>(v));
  put16(out, static_cast<std::uint16_t>(v >> 16));
}

namespace {

// ---- icons

struct IconImage {
  std::uint8_t width, height, colors;
  std::uint16_t planes, bit_count;
  std::vector<std::uint8_t> data;
};

std::string read_icon(const std::string& path, std::vector<IconImage>* images) {
  images->clear();
  std::vector<std::uint8_t> file;
  const std::string unread = read_named_file(path, largest_icon, &file);
  if (!unread.empty()) return unread;
  const std::string bad = in_quotes(path) + " is not a valid .ico file: ";
  if (file.size() < 6 || read_u16(&file[0]) != 0 || read_u16(&file[2]) != 1) {
    return bad + "it does not start with an icon header";
  }
  const std::uint16_t count = read_u16(&file[4]);
  if (count == 0) return bad + "it holds no images";
  if (file.size() < 6 + 16u * count) {
    return bad + "its directory of " + std::to_string(count) + " images is cut short";
  }
  // Images copied out one by one: together no larger than the file, or entries that
  // all name the same bytes could ask for gigabytes.
  std::uint64_t bytes_left = file.size();
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = &file[6 + 16 * i];
    const std::uint32_t size = read_u32(entry + 8), offset = read_u32(entry + 12);
    const std::string which = "image " + std::to_string(i + 1) + " ";
    if (size == 0 || offset < 6 + 16u * count || offset > file.size() || size > file.size() - offset) {
      return bad + which + "lies outside the file";
    }
    if (size > bytes_left) return bad + "its images together are larger than the file: they share bytes";
    bytes_left -= size;
    const std::uint8_t* data = &file[offset];
    static const std::uint8_t png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    IconImage image{entry[0], entry[1], entry[2], read_u16(entry + 4), read_u16(entry + 6),
                    std::vector<std::uint8_t>(data, data + size)};
    if (size >= 8 && std::equal(png, png + 8, data)) {
      if (image.bit_count == 0) image.bit_count = 32;
    } else if (size >= 40 && read_u32(data) == 40) {
      if (image.bit_count == 0) image.bit_count = read_u16(data + 14);
    } else {
      return bad + which + "is neither a PNG nor a bitmap";
    }
    if (image.planes == 0) image.planes = 1;
    images->push_back(std::move(image));
  }
  return {};
}

// ---- version information

struct Node {
  std::u16string key;
  std::vector<std::uint8_t> value;
  bool text = false;
  std::vector<Node> children;
};

void pad4(std::vector<std::uint8_t>* out) {
  while (out->size() % 4 != 0) out->push_back(0);
}

// Each block: its length, its value's length (in characters for text), its type, its
// key, padding, the value, padding, the children.
std::vector<std::uint8_t> serialize(const Node& node) {
  std::vector<std::uint8_t> out(6, 0);
  for (char16_t c : node.key) put16(&out, c);
  put16(&out, 0);
  pad4(&out);
  out.insert(out.end(), node.value.begin(), node.value.end());
  for (const Node& child : node.children) {
    pad4(&out);
    const std::vector<std::uint8_t> bytes = serialize(child);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  const std::size_t value_length = node.text ? node.value.size() / 2 : node.value.size();
  format::write_u16(&out[0], static_cast<std::uint16_t>(out.size()));
  format::write_u16(&out[2], static_cast<std::uint16_t>(value_length));
  format::write_u16(&out[4], node.text ? 1 : 0);
  return out;
}

// "1.2.3.4": one to four numbers of 0..65535, the missing ones 0.
bool parse_version(const std::string& text, std::uint16_t parts[4]) {
  std::size_t count = 0, at = 0;
  for (;;) {
    std::size_t end = at;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end == at || end - at > 5 || count == 4) return false;
    const unsigned long value = std::stoul(text.substr(at, end - at));
    if (value > 65535) return false;
    parts[count++] = static_cast<std::uint16_t>(value);
    if (end == text.size()) break;
    if (text[end] != '.') return false;
    at = end + 1;
  }
  for (; count < 4; ++count) parts[count] = 0;
  return true;
}

// Only digits and dots: meant as a version number, so held to the same form.
bool looks_numeric(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos;
}

std::vector<std::uint8_t> version_resource(const std::map<std::string, std::string>& given) {
  // The maker's fields replace ours as a whole: a product of theirs with our version
  // number would say something false.
  const std::map<std::string, std::string>& fields = given.empty() ? default_version : given;
  std::uint16_t file[4] = {}, product[4] = {};
  const auto file_text = fields.find("file_version");
  if (file_text != fields.end()) parse_version(file_text->second, file);
  std::copy(file, file + 4, product);
  const auto product_text = fields.find("product_version");
  if (product_text != fields.end() && looks_numeric(product_text->second)) parse_version(product_text->second, product);

  Node root;
  root.key = u"VS_VERSION_INFO";
  std::vector<std::uint8_t>& fixed = root.value;
  put32(&fixed, 0xFEEF04BD);  // the fixed part's signature
  put32(&fixed, 0x00010000);  // its layout's version
  put32(&fixed, (static_cast<std::uint32_t>(file[0]) << 16) | file[1]);
  put32(&fixed, (static_cast<std::uint32_t>(file[2]) << 16) | file[3]);
  put32(&fixed, (static_cast<std::uint32_t>(product[0]) << 16) | product[1]);
  put32(&fixed, (static_cast<std::uint32_t>(product[2]) << 16) | product[3]);
  put32(&fixed, 0x3F);        // the flags that mean something
  put32(&fixed, 0);           // none set: a release build
  put32(&fixed, 0x00040004);  // for 32-bit Windows NT
  put32(&fixed, 1);           // an application
  put32(&fixed, 0);           // no subtype
  put32(&fixed, 0);           // no date
  put32(&fixed, 0);

  Node table;
  table.key = u"040904B0";  // US English, UTF-16
  table.text = true;
  for (const auto& [key, name] : version_names) {
    const auto found = fields.find(key);
    if (found == fields.end() || found->second.empty()) continue;
    Node entry;
    entry.key = name;
    entry.text = true;
    std::u16string value;
    to_utf16(found->second, &value);
    for (char16_t c : value) put16(&entry.value, c);
    put16(&entry.value, 0);
    table.children.push_back(entry);
  }
  Node strings;
  strings.key = u"StringFileInfo";
  strings.text = true;
  strings.children.push_back(table);
  Node translation;
  translation.key = u"Translation";
  put16(&translation.value, 0x0409);
  put16(&translation.value, 1200);
  Node variables;
  variables.key = u"VarFileInfo";
  variables.text = true;
  variables.children.push_back(translation);
  root.children = {strings, variables};
  return serialize(root);
}

// The name: value strings of a version resource (depth 3: root, StringFileInfo,
// table, string), every length held to the block it is in.
void read_version_strings(const std::uint8_t* at, std::size_t size, std::map<std::u16string, std::string>* out,
                          int depth = 0) {
  if (size < 6 || depth > 3) return;
  const std::size_t length = std::min<std::size_t>(read_u16(at), size);
  const std::size_t value_length = read_u16(at + 2);
  const bool text = read_u16(at + 4) == 1;
  std::u16string key;
  std::size_t i = 6;
  for (; i + 1 < length && read_u16(at + i) != 0; i += 2) key += static_cast<char16_t>(read_u16(at + i));
  i = (i + 2 + 3) / 4 * 4;
  const std::size_t value_bytes = text ? 2 * value_length : value_length;
  if (depth == 3) {
    if (!text || i + value_bytes > length) return;
    std::u16string value;
    for (std::size_t k = 0; k + 1 < value_bytes && read_u16(at + i + k) != 0; k += 2) {
      value += static_cast<char16_t>(read_u16(at + i + k));
    }
    (*out)[key] = from_utf16(value);
    return;
  }
  i = (i + value_bytes + 3) / 4 * 4;
  while (i + 6 <= length) {
    const std::size_t child = read_u16(at + i);
    if (child < 6 || i + child > length) return;
    read_version_strings(at + i, child, out, depth + 1);
    i = (i + child + 3) / 4 * 4;
  }
}

// ---- the manifest and the string table

// Where the DPI settings lie in manifest: [*start, *end), or false without them.
bool dpi_settings(const std::string& manifest, std::size_t* start, std::size_t* end) {
  *start = manifest.find(dpi_settings_start);
  if (*start == std::string::npos) return false;
  const std::size_t close = manifest.find(dpi_settings_end, *start);
  if (close == std::string::npos) return false;
  *end = close + std::string(dpi_settings_end).size();
  return true;
}

std::string level_of(const std::string& manifest, std::size_t* start = nullptr, std::size_t* end = nullptr) {
  const std::string mark = level_mark;
  const std::size_t at = manifest.find(mark);
  if (at == std::string::npos) return {};
  const std::size_t close = manifest.find('"', at + mark.size());
  if (close == std::string::npos) return {};
  if (start != nullptr) *start = at + mark.size();
  if (end != nullptr) *end = close;
  return manifest.substr(at + mark.size(), close - at - mark.size());
}

// String-table blocks hold sixteen counted UTF-16 strings; id n is string n % 16 of
// block n / 16 + 1.
constexpr std::uint16_t link_block = IDS_WEB_ADDRESS / 16 + 1;
constexpr std::size_t link_index = IDS_WEB_ADDRESS % 16;

}  // namespace

std::vector<std::u16string> read_block(const std::vector<std::uint8_t>& block) {
  std::vector<std::u16string> strings(16);
  std::size_t at = 0;
  for (auto& text : strings) {
    if (at + 2 > block.size()) break;
    const std::size_t length = read_u16(&block[at]);
    at += 2;
    for (std::size_t k = 0; k < length && at + 2 <= block.size(); ++k, at += 2) {
      text += static_cast<char16_t>(read_u16(&block[at]));
    }
  }
  return strings;
}

std::vector<std::uint8_t> write_block(const std::vector<std::u16string>& strings) {
  std::vector<std::uint8_t> out;
  for (const std::u16string& text : strings) {
    put16(&out, static_cast<std::uint16_t>(text.size()));
    for (char16_t c : text) put16(&out, c);
  }
  return out;
}

namespace {

// The resources of type, whatever their names and languages.
std::vector<pe::Resources::iterator> of_type(pe::Resources& resources, std::uint16_t type) {
  std::vector<pe::Resources::iterator> found;
  for (auto it = resources.begin(); it != resources.end(); ++it) {
    if (std::get<0>(it->first) == pe::number(type)) found.push_back(it);
  }
  return found;
}

// Looked up, not searched: an icon of thousands of images asks once per image.
std::vector<pe::Resources::iterator> named(pe::Resources& resources, std::uint16_t type, std::uint16_t name) {
  std::vector<pe::Resources::iterator> found;
  const pe::ResourceId first_language{true, 0, {}};  // named ids sort before numbers
  for (auto it = resources.lower_bound({pe::number(type), pe::number(name), first_language});
       it != resources.end() && std::get<0>(it->first) == pe::number(type) &&
       std::get<1>(it->first) == pe::number(name);
       ++it) {
    found.push_back(it);
  }
  return found;
}

bool nothing_asked(const Branding& branding) {
  return branding.icon.empty() && branding.link.empty() && branding.execution_level.empty() &&
         branding.version.empty() && branding.dpi_aware;
}

std::string check_link(const std::string& link, unsigned codepage) {
  const bool https = link.rfind("https://", 0) == 0;
  if (!https && link.rfind("http://", 0) != 0) return in_quotes(link) + " is not an http:// or https:// address";
  const std::string rest = link.substr(https ? 8 : 7);
  if (rest.empty() || rest[0] == '/' || rest[0] == '?' || rest[0] == '#') {
    return in_quotes(link) + " names no host after the scheme";
  }
  for (char c : link) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '"') {
      return in_quotes(link) + " holds a blank, a double quote or a control character";
    }
  }
  std::string bytes;
  if (!to_codepage(link, codepage, &bytes)) {
    return in_quotes(link) + " can't be written in code page " + std::to_string(codepage);
  }
  if (bytes.size() > link_limit) {
    return "the address is " + std::to_string(bytes.size()) + " characters; the installer's window shows at most " +
           std::to_string(link_limit);
  }
  return {};
}

std::string check_version_field(const std::string& key, const std::string& value) {
  if (!is_version_key(key)) {
    return "unknown key " + in_quotes(key) +
           " (known: product_name, product_version, file_version, company, copyright, description)";
  }
  std::u16string text;
  if (!to_utf16(value, &text)) return "not valid UTF-8";
  if (text.size() > version_text_limit) {
    return "longer than " + std::to_string(version_text_limit) + " characters";
  }
  for (char16_t c : text) {
    if (c < 0x20 || c == 0x7F) return "holds a control character";
  }
  std::uint16_t parts[4];
  if (key == "file_version" && !parse_version(value, parts)) {
    return in_quotes(value) + " is not one to four numbers of 0..65535 joined by dots, like 1.2.3.4";
  }
  if (key == "product_version" && looks_numeric(value) && !parse_version(value, parts)) {
    return in_quotes(value) + " is not one to four numbers of 0..65535 joined by dots, like 1.2.3";
  }
  return {};
}

}  // namespace

BrandingProblem check_branding(const Branding& branding, unsigned codepage) {
  if (!branding.link.empty()) {
    const std::string problem = check_link(branding.link, codepage);
    if (!problem.empty()) return {"--link", problem};
  }
  if (!branding.execution_level.empty() && !is_level(branding.execution_level)) {
    return {"--execution-level",
            in_quotes(branding.execution_level) + " is not asInvoker, highestAvailable or requireAdministrator"};
  }
  for (const auto& [key, value] : branding.version) {
    const std::string problem = check_version_field(key, value);
    if (!problem.empty()) return {is_version_key(key) ? "--version-info " + key : "--version-info", problem};
  }
  if (!branding.icon.empty()) {
    std::vector<IconImage> images;
    const std::string problem = read_icon(branding.icon, &images);
    if (!problem.empty()) return {"--icon", problem, true};
  }
  return {};
}

std::string apply_branding(const Branding& branding, std::vector<std::uint8_t>* stub) {
  pe::Resources resources;
  const std::string problem = pe::read_resources(*stub, &resources);
  if (!problem.empty()) {
    if (nothing_asked(branding)) return {};  // a stub of the maker's own, left alone
    return "the stub's resources can't be rewritten: " + problem;
  }

  if (!branding.icon.empty()) {
    std::vector<IconImage> images;
    const std::string icon_problem = read_icon(branding.icon, &images);
    if (!icon_problem.empty()) return icon_problem;
    // The images the old group named go with it; the new ones take the lowest free ids.
    for (auto group : named(resources, pe::type_group_icon, IDI_PROGRAM)) {
      const std::vector<std::uint8_t>& g = group->second;
      for (std::size_t i = 0; g.size() >= 6 && i < read_u16(&g[4]) && 6 + 14 * (i + 1) <= g.size(); ++i) {
        for (auto image : named(resources, pe::type_icon, read_u16(&g[6 + 14 * i + 12]))) resources.erase(image);
      }
      resources.erase(group);
    }
    std::vector<std::uint8_t> group;
    put16(&group, 0);
    put16(&group, 1);
    put16(&group, static_cast<std::uint16_t>(images.size()));
    // Taken ids gathered once: a search of the whole tree for each image would take
    // minutes for an icon of thousands.
    std::vector<bool> taken(0x10000, false);
    taken[0] = true;
    for (auto image : of_type(resources, pe::type_icon)) {
      if (!std::get<1>(image->first).named) taken[std::get<1>(image->first).id] = true;
    }
    std::uint32_t id = 0;
    for (const IconImage& image : images) {
      while (id < taken.size() && taken[id]) ++id;
      if (id == taken.size()) {
        return in_quotes(branding.icon) + " has more images than the stub has free icon numbers for";
      }
      taken[id] = true;
      group.push_back(image.width);
      group.push_back(image.height);
      group.push_back(image.colors);
      group.push_back(0);
      put16(&group, image.planes);
      put16(&group, image.bit_count);
      put32(&group, static_cast<std::uint32_t>(image.data.size()));
      put16(&group, static_cast<std::uint16_t>(id));
      resources[{pe::number(pe::type_icon), pe::number(static_cast<std::uint16_t>(id)), pe::number(0)}] = image.data;
    }
    resources[{pe::number(pe::type_group_icon), pe::number(IDI_PROGRAM), pe::number(0)}] = group;
  }

  if (!branding.execution_level.empty()) {
    const auto manifests = of_type(resources, pe::type_manifest);
    if (manifests.empty()) return "the stub has no manifest to set the execution level in";
    for (auto it : manifests) {
      std::string text(it->second.begin(), it->second.end());
      std::size_t start = 0, end = 0;
      if (level_of(text, &start, &end).empty()) return "the stub's manifest names no execution level";
      text.replace(start, end - start, branding.execution_level);
      it->second.assign(text.begin(), text.end());
    }
  }

  if (!branding.dpi_aware) {
    // A stub of the maker's own without the settings is already what was asked for.
    for (auto it : of_type(resources, pe::type_manifest)) {
      std::string text(it->second.begin(), it->second.end());
      std::size_t start = 0, end = 0;
      if (!dpi_settings(text, &start, &end)) continue;
      text.erase(start, end - start);
      it->second.assign(text.begin(), text.end());
    }
  }

  if (!branding.link.empty()) {
    const auto blocks = named(resources, pe::type_string, link_block);
    if (blocks.empty()) return "the stub has no web address in its string table";
    for (auto it : blocks) {
      std::vector<std::u16string> strings = read_block(it->second);
      to_utf16(branding.link, &strings[link_index]);
      it->second = write_block(strings);
    }
  }

  for (auto it : of_type(resources, pe::type_version)) resources.erase(it);
  resources[{pe::number(pe::type_version), pe::number(1), pe::number(0)}] = version_resource(branding.version);
  const std::string replaced = pe::replace_resources(stub, resources);
  if (!replaced.empty() && !nothing_asked(branding)) return "the stub's resources can't be rewritten: " + replaced;
  return {};
}

BrandingFacts describe_branding(const std::vector<std::uint8_t>& image) {
  BrandingFacts facts;
  pe::Resources resources, defaults;
  if (!pe::read_resources(image, &resources).empty()) return facts;
  const std::vector<std::uint8_t> stub = embedded_stub();
  if (!stub.empty()) pe::read_resources(stub, &defaults);

  const auto group = named(resources, pe::type_group_icon, IDI_PROGRAM);
  const auto default_group = named(defaults, pe::type_group_icon, IDI_PROGRAM);
  if (!group.empty()) {
    const std::vector<std::uint8_t>& g = group.front()->second;
    // The default icon's images, whatever ids they were given.
    std::vector<std::vector<std::uint8_t>> images, default_images;
    auto images_of = [](pe::Resources& in, const std::vector<std::uint8_t>& of, std::vector<IconSize>* sizes,
                        std::vector<std::vector<std::uint8_t>>* data) {
      for (std::size_t i = 0; of.size() >= 6 && i < read_u16(&of[4]) && 6 + 14 * (i + 1) <= of.size(); ++i) {
        const std::uint8_t* e = &of[6 + 14 * i];
        if (sizes != nullptr) sizes->push_back({e[0] ? e[0] : 256u, e[1] ? e[1] : 256u, read_u16(e + 6)});
        for (auto it : named(in, pe::type_icon, read_u16(e + 12))) data->push_back(it->second);
      }
    };
    std::vector<IconSize> sizes;
    images_of(resources, g, &sizes, &images);
    if (!default_group.empty()) images_of(defaults, default_group.front()->second, nullptr, &default_images);
    if (default_group.empty() || images != default_images) facts.icon = sizes;
  }

  for (auto it : of_type(resources, pe::type_manifest)) {
    const std::string text(it->second.begin(), it->second.end());
    const std::string level = level_of(text);
    if (!level.empty() && level != "asInvoker") facts.execution_level = level;
    std::size_t start = 0, end = 0;
    if (!dpi_settings(text, &start, &end)) facts.dpi_unaware = true;
  }

  std::u16string default_link;
  to_utf16(TEXT_WEB_ADDRESS, &default_link);
  for (auto it : named(resources, pe::type_string, link_block)) {
    const std::u16string link = read_block(it->second)[link_index];
    if (link != default_link) facts.link = from_utf16(link);
  }

  for (auto it : of_type(resources, pe::type_version)) {
    std::map<std::u16string, std::string> fields;
    read_version_strings(it->second.data(), it->second.size(), &fields);
    std::map<std::string, std::string> found;
    for (const auto& [key, name] : version_names) {
      const auto field = fields.find(name);
      if (field != fields.end()) found[key] = field->second;
    }
    if (found == default_version) continue;
    for (const char* key : version_keys) {
      if (found.count(key) != 0) facts.version.emplace_back(key, found[key]);
    }
  }
  return facts;
}

}  // namespace kelvra::pack
