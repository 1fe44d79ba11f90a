// kelvra-pack list and test: the archive as the reader sees it, every chunk inflated
// and held to the format's bounds, and when the reader refuses a file, the reason why.
#include <zlib.h>

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
#include "packer/packer.h"
#include "packer/pe_checksum.h"
#include "packer/progress.h"
#include "packer/system.h"
#include "packer/test_parallel.h"
#include "packer/times.h"
#include "password/password.h"
#include "ui/message_area.h"

namespace kelvra::pack {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool read_at(std::FILE* file, std::uint64_t position, void* buffer, std::size_t size) {
  return system::seek_file(file, position) &&
         std::fread(buffer, 1, size, file) == size;
}

// Walks the file the way the reader does, but stops at the first fault with words for
// it. Only called once the reader has refused the file.
std::string diagnose(const std::string& path, unsigned codepage) {
  File file(system::open_file(path, "rb"));
  if (!file) return "cannot open " + in_quotes(path) + ": " + system::last_error();
  std::uint64_t file_size = 0;
  if (!system::file_end(file.get(), &file_size)) return "cannot read " + in_quotes(path);
  // A signed installer's archive ends where its certificate table begins: look where
  // the reader looked.
  const std::uint64_t size = archive.archive_end != 0 ? archive.archive_end : file_size;
  if (size < format::trailer_size) {
    return "the file is " + std::to_string(size) + " bytes, shorter than the " +
           std::to_string(format::trailer_size) + "-byte trailer of an archive";
  }
  std::uint8_t trailer[format::trailer_size];
  if (!read_at(file.get(), size - format::trailer_size, trailer, sizeof trailer)) {
    return "cannot read the trailer of " + in_quotes(path);
  }
  const std::uint32_t directory_size = format::read_u32(trailer + format::trailer_directory_size_offset);
  const std::uint32_t entry_count = format::read_u32(trailer + format::trailer_entry_count_offset);
  const std::uint32_t checksum = format::read_u32(trailer + format::trailer_checksum_offset);
  if (entry_count > format::max_entries) {
    return "the trailer counts " + std::to_string(entry_count) + " entries; the limit is " +
           std::to_string(format::max_entries) + " (not an archive, or a damaged one)";
  }
  if (directory_size > format::max_directory_size || directory_size + format::trailer_size > size) {
    return "the trailer's directory size, " + std::to_string(directory_size) +
           " bytes, does not fit the file (not an archive, or a damaged one)";
  }

  std::vector<std::uint8_t> directory(directory_size);
  const std::uint64_t directory_start = size - format::trailer_size - directory_size;
  if (!read_at(file.get(), directory_start, directory.data(), directory.size())) {
    return "cannot read the directory of " + in_quotes(path);
  }
  std::size_t at = 0;
  std::uint64_t payload_size = 0;
  for (std::uint32_t i = 0; i < entry_count; ++i) {
    const std::string which = "entry " + std::to_string(i + 1);
    if (at + format::record_name_offset > directory.size() ||
        at + format::record_fixed_size + directory[at] > directory.size()) {
      return which + ": its record runs past the end of the directory";
    }
    const std::string name(reinterpret_cast<const char*>(&directory[at + format::record_name_offset]), directory[at]);
    const NameProblem problem = check_entry_name(name.data(), name.size());
    if (problem != NameProblem::none) {
      return which + " " + in_quotes(printable(from_codepage(name.c_str(), codepage))) + ": " +
             describe_name_problem(problem);
    }
    payload_size +=
        format::read_u32(&directory[at + format::record_name_offset + directory[at] + format::tail_stored_size_offset]);
    at += format::record_fixed_size + directory[at];
  }
  for (std::uint32_t s = 0; s < format::string_count; ++s) {
    if (at + format::string_length_size > directory.size() ||
        at + format::string_length_size + directory[at] > directory.size()) {
      return "the directory ends inside its strings";
    }
    if (s == format::string_password_digest && directory[at] > format::string_layout[s].limit) {
      return "the password digest is " + std::to_string(directory[at]) + " bytes; the limit is " +
             std::to_string(format::string_layout[s].limit);
    }
    at += format::string_length_size + directory[at];
  }
  if (at != directory.size()) {
    return std::to_string(directory.size() - at) + " bytes of the directory are left over";
  }
  if (payload_size > 0xFFFFFFFFu || payload_size > directory_start) {
    return "the entries' stored sizes add up to " + std::to_string(payload_size) +
           " bytes, more than the file holds before its directory";
  }

  uLong crc = crc32(0L, Z_NULL, 0);
  std::uint64_t position = directory_start - payload_size;
  std::uint64_t left = size - format::checksum_field_size - position;
  std::vector<std::uint8_t> buffer(1 << 16);
  if (!system::seek_file(file.get(), position)) return "cannot read the payload";
  while (left > 0) {
    const std::size_t piece = left < buffer.size() ? static_cast<std::size_t>(left) : buffer.size();
    if (std::fread(buffer.data(), 1, piece, file.get()) != piece) return "cannot read the payload";
    crc = crc32(crc, buffer.data(), static_cast<uInt>(piece));
    left -= piece;
  }
  if (static_cast<std::uint32_t>(crc) != checksum) {
    char text[96];
    std::snprintf(text, sizeof text, "checksum mismatch: the trailer says %08" PRIX32 ", the data gives %08" PRIX32,
                  checksum, static_cast<std::uint32_t>(crc));
    return text;
  }
  char message[message_area_size];
  read_message(message, sizeof message);
  return std::string("the reader refused it: ") + message;
}

std::string entry_name(const DirectoryEntry& entry, unsigned codepage) {
  return from_codepage(entry.name, codepage);
}

// What the table and the messages show of an archive's text.
std::string shown(const char* bytes, unsigned codepage) { return printable(from_codepage(bytes, codepage)); }

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
  File file(system::open_file(path, "rb"));
  if (!file || size > largest) return bytes;
  bytes.resize(static_cast<std::size_t>(size));
  if (!read_at(file.get(), 0, bytes.data(), bytes.size())) bytes.clear();
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
                minute_time(entry.last_write_time).c_str(), shown(entry.name, codepage).c_str());
  }
  std::printf("----------                          -------\n");
  std::printf("%10" PRIu32 "                          %" PRIu32 " file%s\n", archive.payload_size,
              archive.entry_count, archive.entry_count == 1 ? "" : "s");
  const std::string program = shown(archive.run_program, codepage);
  std::printf("\nProgram to run:     %s\n", program.empty() ? "(none)" : program.c_str());
  std::printf("First argument:     %s\n", shown(archive.run_arg1, codepage).c_str());
  std::printf("Second argument:    %s\n", shown(archive.run_arg2, codepage).c_str());
  std::printf("Prompt:             %s\n", shown(archive.prompt, codepage).c_str());
  const std::string directory = shown(archive.default_dir, codepage);
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
        {"product_name", "Product name:"}, {"product_version", "Product version:"},
        {"file_version", "File version:"}, {"company", "Company:"},
        {"copyright", "Copyright:"},       {"description", "Description:"}};
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
  return diagnose(path, codepage);
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

namespace {

// With late_checksum, the archive's CRC-32 is summed by the threads that test the
// payload instead of in a pass of its own before them. Until it is known to match,
// nothing is said: an archive with any fault at all is tested again the usual way, so
// that every report is the one a test that checks the CRC-32 first would give.
int test_archive(const std::string& path, unsigned codepage, unsigned jobs, bool late_checksum) {
  const std::string problem = open_for_reading(path, codepage, !late_checksum);
  if (!problem.empty()) {
    complain(path + ": " + problem);
    return exit_failed;
  }
  // The reader lets through names that extraction still can't make (a folder part
  // lost to mixed separators, a trailing separator, a file that is also a folder);
  // the writer's own rules find them all.
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) names.emplace_back(archive.entries[i].name);
  std::vector<std::string> faults = writer::name_faults(names);
  const std::vector<std::string> read_faults = codepage_name_faults(names, codepage, true);
  for (std::size_t i = 0; i < faults.size(); ++i) {
    if (faults[i].empty()) faults[i] = read_faults[i];
  }
  bool unmakeable = false;
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) {
    if (faults[i].empty()) continue;
    if (late_checksum) return test_archive(path, codepage, jobs, false);
    complain(path + ": entry " + std::to_string(i + 1) + " " + in_quotes(shown(archive.entries[i].name, codepage)) +
             ": " + faults[i] + "; extract can't make it");
    unmakeable = true;
  }
  if (unmakeable) return exit_failed;

  std::uint32_t chunks = 0;
  std::uint64_t inflated = 0;
  if (!platform::seek_to(archive.file, payload_start())) {
    complain(path + ": cannot read the payload");
    return exit_failed;
  }
  // The PE checksum reads the whole file once more: with cores to spare, beside the
  // payload's test rather than after it.
  bool pe_fault = false;
  std::string pe;
  const auto check_pe = [&] { pe = describe_pe(path, payload_start(), archive.archive_end, &pe_fault); };
  std::thread pe_beside;
  if (jobs > 1) pe_beside = std::thread(check_pe);
  progress_start("testing", archive.payload_size, archive.entry_count);
  std::uint32_t payload_crc = 0;
  const PayloadFault fault = test_payload(jobs, &chunks, &inflated, late_checksum ? &payload_crc : nullptr);
  if (pe_beside.joinable()) {
    pe_beside.join();
  } else if (fault.text.empty()) {
    check_pe();
  }
  if (late_checksum && (!fault.text.empty() || !checksum_matches_after(payload_crc))) {
    progress_finish(false);
    return test_archive(path, codepage, jobs, false);
  }
  if (!fault.text.empty()) {
    progress_finish(false);
    complain(path + ": entry " + std::to_string(fault.entry + 1) + " " +
             in_quotes(shown(archive.entries[fault.entry].name, codepage)) + ", " + fault.text);
    return exit_failed;
  }
  progress_update(archive.payload_size, archive.entry_count);
  progress_finish(true);
  if (pe_fault) {
    complain(path + ": " + pe);
    return exit_failed;
  }
  std::printf("OK: %s: checksum matches; %" PRIu32 " entries, %" PRIu32
              " chunks, %" PRIu64 " bytes inflated\n",
              path.c_str(), archive.entry_count, chunks, inflated);
  std::printf("%s: %s\n", path.c_str(), pe.c_str());
  return exit_ok;
}

}  // namespace

bool codepage_keeps_ascii(unsigned codepage) {
  std::string ascii;
  for (char c = 0x20; c < 0x7F; ++c) ascii += c;
  std::string bytes;
  return to_codepage(ascii, codepage, &bytes) && bytes == ascii && from_codepage(ascii, codepage) == ascii;
}

std::vector<std::string> codepage_name_faults(const std::vector<std::string>& stored, unsigned codepage, bool here,
                                              std::vector<std::size_t>* clashes_with) {
  std::vector<std::string> faults(stored.size());
  std::vector<std::size_t> with(stored.size());
  for (std::size_t i = 0; i < with.size(); ++i) with[i] = i;
  std::vector<std::string> folded(stored.size());
  std::map<std::string, std::size_t> first;  // folded name -> its first entry
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const std::string text = from_codepage(stored[i], codepage);
    folded[i] = system::fold_case(text);
    const auto [earlier, fresh] = first.emplace(folded[i], i);
    if (!fresh) {
      with[i] = earlier->second;
      faults[i] = "read in code page " + std::to_string(codepage) + " it is " + in_quotes(printable(text)) +
                  ", the same name as entry " + std::to_string(earlier->second + 1) +
                  "'s (names ignore case on Windows)";
    } else if (here) {
      std::string name;
      faults[i] = name_for_this_system(stored[i], codepage, &name);
    }
  }
  // A file can't also be a folder of another entry.
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const std::string text = from_codepage(stored[i], codepage);
    std::size_t text_at = 0;  // folding may change a character's length: the same separator in text
    for (std::size_t at = folded[i].find('\\'); faults[i].empty() && at != std::string::npos;
         at = folded[i].find('\\', at + 1)) {
      text_at = text.find('\\', text_at == 0 ? 0 : text_at + 1);
      const auto file = first.find(folded[i].substr(0, at));
      if (file != first.end()) {
        with[i] = file->second;
        faults[i] = "read in code page " + std::to_string(codepage) + ", its folder " +
                    in_quotes(printable(text.substr(0, text_at))) +
                    " is also stored as a file (names ignore case on Windows)";
      }
    }
  }
  if (clashes_with != nullptr) *clashes_with = with;
  return faults;
}

int run_test(const std::string& path, unsigned codepage, unsigned jobs) {
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  // On one thread the CRC-32 pass first is as fast as any, and is the installer's own.
  return test_archive(path, codepage, jobs, jobs > 1);
}

}  // namespace kelvra::pack
