// kelvra-pack list and test: the archive as the reader sees it, every chunk inflated
// and held to the format's bounds, and when the reader refuses a file, the reason it
// kept (refusals.cpp has the words).
#include "packer/commands/list.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/names.h"
#include "archive/writer.h"
#include "packer/commands/refusals.h"
#include "packer/packer.h"
#include "packer/pe/checksum.h"
#include "packer/pe/resources.h"
#include "packer/project/languages.h"
#include "packer/system/codepages.h"
#include "packer/system/progress.h"
#include "packer/system/system.h"
#include "packer/system/terminal.h"
#include "packer/system/times.h"
#include "password/password.h"

namespace kelvra::pack {

namespace {

std::string entry_name(const DirectoryEntry& entry, unsigned codepage) {
  return from_codepage(entry.name, codepage);
}

// What the table and the messages show of an archive's text.

std::string attribute_letters(std::uint8_t attributes) {
  std::string letters = "....";
  if (attributes & format::attribute_read_only) letters[0] = 'R';
  if (attributes & format::attribute_hidden) letters[1] = 'H';
  if (attributes & format::attribute_system) letters[2] = 'S';
  if (attributes & format::attribute_archive) letters[3] = 'A';
  return letters;
}

// The installer's bytes in front of its archive: the stub, whose resources list shows.
// A stub larger than any real one is not read.
std::vector<std::uint8_t> stub_bytes(const std::string& path) {
  constexpr std::uint64_t largest = 64u << 20;
  const std::uint64_t size = payload_start();
  std::vector<std::uint8_t> bytes;
  system::File file(system::open_file(path, "rb"));
  if (!file || size > largest) return bytes;
  bytes.resize(static_cast<std::size_t>(size));
  if (!system::read_at(file.get(), 0, bytes.data(), bytes.size())) bytes.clear();
  return bytes;
}

std::string icon_text(const std::vector<IconSize>& sizes) {
  std::string text;
  for (const IconSize& size : sizes) {
    text += (text.empty() ? "" : ", ") + std::to_string(size.width) + "x" + std::to_string(size.height) + " " +
            std::to_string(size.bit_count) + "-bit";
  }
  return text;
}

void print_json(const std::string& path, unsigned codepage) {
  nlohmann::ordered_json out;
  // Keys keep their names, types and meanings while the schema stays 2; keys may be
  // added. docs/kelvra-pack.md describes each.
  out["schema"] = 2;
  out["archive"] = path;
  out["codepage"] = codepage;
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) {
    const DirectoryEntry& entry = archive.entries[i];
    entries.push_back({{"name", entry_name(entry, codepage)},
                       {"stored_size", entry.stored_size},
                       {"attributes", entry.attributes},
                       {"last_write_time", iso_time(entry.last_write_time)},
                       {"creation_time", iso_time(entry.creation_time)}});
  }
  out["entries"] = entries;
  out["payload_size"] = archive.payload_size;
  out["run_program"] = from_codepage(archive.run_program, codepage);
  out["run_arg1"] = from_codepage(archive.run_arg1, codepage);
  out["run_arg2"] = from_codepage(archive.run_arg2, codepage);
  out["prompt"] = from_codepage(archive.prompt, codepage);
  out["default_dir"] = from_codepage(archive.default_dir, codepage);
  out["password"] = has_password();
  // What the stub's resources say where create's defaults were changed; each key
  // only when it was.
  const BrandingFacts facts = describe_branding(stub_bytes(path));
  nlohmann::ordered_json resources = nlohmann::ordered_json::object();
  if (!facts.icon.empty()) {
    nlohmann::ordered_json icon = nlohmann::ordered_json::array();
    for (const IconSize& size : facts.icon) {
      icon.push_back({{"width", size.width}, {"height", size.height}, {"bit_count", size.bit_count}});
    }
    resources["icon"] = icon;
  }
  if (!facts.link.empty()) resources["link"] = facts.link;
  if (!facts.execution_level.empty()) resources["execution_level"] = facts.execution_level;
  if (facts.dpi_unaware) resources["dpi_aware"] = false;
  if (!facts.version.empty()) {
    nlohmann::ordered_json version = nlohmann::ordered_json::object();
    for (const auto& [key, value] : facts.version) version[key] = value;
    resources["version"] = version;
  }
  out["resources"] = resources;
  // The languages its texts are in, English first (empty for a stub without resources).
  out["languages"] = describe_languages(stub_bytes(path));
  // The path comes from the command line and need not be UTF-8.
  std::printf("%s\n", out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

// "2000-01-01 00:00", as unzip -l shows times, but in UTC: the archive keeps UTC.
std::string minute_time(std::uint64_t filetime) {
  const UtcTime t = utc_from_seconds(static_cast<std::int64_t>(filetime / filetime_per_second) -
                                     seconds_1601_to_1970);
  char text[48];
  std::snprintf(text, sizeof text, "%04" PRId64 "-%02u-%02u %02u:%02u", t.year, t.month, t.day, t.hour, t.minute);
  return text;
}

// Laid out like unzip -l: the size, the time, the name, and a total line; the
// installer's texts follow.
void print_table(const std::string& path, unsigned codepage) {
  std::printf("Archive:  %s\n", path.c_str());
  std::printf("    Stored  Attr  Modified (UTC)    Name\n");
  std::printf("----------  ----  ----------------  ----\n");
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) {
    const DirectoryEntry& entry = archive.entries[i];
    std::printf("%10" PRIu32 "  %s  %-16s  %s\n", entry.stored_size, attribute_letters(entry.attributes).c_str(),
                minute_time(entry.last_write_time).c_str(), printable_stored(entry.name, codepage).c_str());
  }
  std::printf("----------                          -------\n");
  std::printf("%10" PRIu32 "                          %" PRIu32 " file%s\n", archive.payload_size,
              archive.entry_count, archive.entry_count == 1 ? "" : "s");
  const std::string program = printable_stored(archive.run_program, codepage);
  std::printf("\nProgram to run:     %s\n", program.empty() ? "(none)" : program.c_str());
  std::printf("First argument:     %s\n", printable_stored(archive.run_arg1, codepage).c_str());
  std::printf("Second argument:    %s\n", printable_stored(archive.run_arg2, codepage).c_str());
  std::printf("Prompt:             %s\n", printable_stored(archive.prompt, codepage).c_str());
  const std::string directory = printable_stored(archive.default_dir, codepage);
  std::printf("Default directory:  %s\n", directory.empty() ? "(TEMP or TMP)" : directory.c_str());
  std::printf("Password:           %s\n",
              has_password() ? "set (it gates the installer only; the files are not encrypted)"
                             : "none");
  std::string languages;
  for (const std::string& tag : describe_languages(stub_bytes(path))) languages += (languages.empty() ? "" : ", ") + tag;
  std::printf("Languages:          %s\n", languages.empty() ? "(unknown)" : languages.c_str());
  const BrandingFacts facts = describe_branding(stub_bytes(path));
  if (!facts.icon.empty()) std::printf("Icon:               %s\n", icon_text(facts.icon).c_str());
  if (!facts.link.empty()) std::printf("Link:               %s\n", printable(facts.link).c_str());
  if (!facts.execution_level.empty()) std::printf("Execution level:    %s\n", facts.execution_level.c_str());
  if (facts.dpi_unaware) std::printf("DPI aware:          no\n");
  for (const auto& [key, value] : facts.version) {
    static const std::map<std::string, std::string> labels = {
        {"product_name", "Product name:"}, {"product_version", "Product version:"}, {"file_version", "File version:"}, {"company", "Company:"}, {"copyright", "Copyright:"}, {"description", "Description:"}};
    const std::string label = labels.at(key);
    std::printf("%-20s%s\n", label.c_str(), printable(value).c_str());
  }
}

}  // namespace

std::string iso_time(std::uint64_t filetime) {
  const UtcTime t = utc_from_seconds(static_cast<std::int64_t>(filetime / filetime_per_second) -
                                     seconds_1601_to_1970);
  char text[64];
  std::snprintf(text, sizeof text, "%04" PRId64 "-%02u-%02uT%02u:%02u:%02u", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  std::string out = text;
  const unsigned fraction = static_cast<unsigned>(filetime % filetime_per_second);
  if (fraction != 0) {
    char digits[16];
    std::snprintf(digits, sizeof digits, ".%07u", fraction);
    out += digits;
  }
  return out + "Z";
}

std::string open_for_reading(const std::string& path, unsigned codepage, bool verify) {
  // The reader would wait forever on a FIFO's open, and read a device without end.
  const std::string irregular = system::regular_file_problem(path);
  if (!irregular.empty()) return irregular;
  if (open_archive_file(system::open_installer(path), verify) == 0) return {};
  return describe_refusal(path, codepage);
}

int run_list(const std::string& path, bool json, unsigned codepage) {
  const std::string problem = open_for_reading(path, codepage);
  if (!problem.empty()) {
    complain(path + ": " + problem);
    return exit_failed;
  }
  if (json) {
    print_json(path, codepage);
  } else {
    print_table(path, codepage);
  }
  return exit_ok;
}

}  // namespace kelvra::pack
