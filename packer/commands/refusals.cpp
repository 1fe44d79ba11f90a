// The reader's refusals in words. The reader keeps only a reason and the entry or the
// number it is about, so that the installer carries no texts; the words live here.
#include "packer/commands/refusals.h"

#include <cinttypes>
#include <cstdio>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/names.h"
#include "packer/packer.h"
#include "packer/system/system.h"
#include "packer/system/terminal.h"
#include "resources/strings.h"

namespace kelvra::pack {

namespace {

// "entry 3", counted from 1 as the table of list counts.
std::string entry_words(std::uint32_t index) { return "entry " + std::to_string(index + 1); }

std::string not_an_archive(const std::string& what) { return what + " (not an archive, or a damaged one)"; }

}  // namespace

std::string describe_refusal(const std::string& path, unsigned codepage) {
  switch (archive.refusal) {
    case Refusal::not_opened: {
      // The reader only learns that the file didn't open; opening it again tells why.
      std::FILE* file = system::open_file(path, "rb");
      if (file == nullptr) return "cannot open " + in_quotes(path) + ": " + system::last_error();
      std::fclose(file);
      return "cannot open " + in_quotes(path);
    }
    case Refusal::size_unknown:
      return "cannot read " + in_quotes(path);
    case Refusal::shorter_than_trailer:
      return "the file is " + std::to_string(archive.archive_end) + " bytes, shorter than the " +
             std::to_string(format::trailer_size) + "-byte trailer of an archive";
    case Refusal::trailer_unreadable:
      return "cannot read the trailer of " + in_quotes(path);
    case Refusal::too_many_entries:
      return not_an_archive("the trailer counts " + std::to_string(archive.entry_count) + " entries; the limit is " +
                            std::to_string(format::max_entries));
    case Refusal::directory_too_large:
      return not_an_archive("the trailer's directory size, " + std::to_string(archive.directory_size) +
                            " bytes, does not fit the file");
    case Refusal::directory_unreadable:
      return "cannot read the directory of " + in_quotes(path);
    case Refusal::record_past_end:
      return entry_words(archive.refused_entry) + ": its record runs past the end of the directory";
    case Refusal::unsafe_name: {
      const DirectoryEntry& entry = archive.entries[archive.refused_entry];
      return entry_words(archive.refused_entry) + " " + in_quotes(printable(from_codepage(entry.name, codepage))) +
             ": " + describe_name_problem(check_entry_name(entry.name, sizeof entry.name));
    }
    case Refusal::strings_past_end:
      return "the directory ends inside its strings";
    case Refusal::digest_too_long:
      return "the password digest is " + std::to_string(archive.refusal_value) + " bytes; the limit is " +
             std::to_string(format::max_digest_length);
    case Refusal::directory_left_over:
      return std::to_string(archive.refusal_value) + " bytes of the directory are left over";
    case Refusal::payload_too_large: {
      // The whole sum, which may pass the 32 bits payload_size keeps.
      std::uint64_t sum = 0;
      for (std::uint32_t i = 0; i < archive.entry_count; ++i) sum += archive.entries[i].stored_size;
      return "the entries' stored sizes add up to " + std::to_string(sum) +
             " bytes, more than the file holds before its directory";
    }
    case Refusal::payload_unreadable:
      return "cannot read the payload";
    case Refusal::checksum_mismatch: {
      char text[96];
      std::snprintf(text, sizeof text, "checksum mismatch: the trailer says %08" PRIX32 ", the data gives %08" PRIX32,
                    archive.checksum, archive.refusal_value);
      return text;
    }
    case Refusal::out_of_memory:
      return std::string("the reader refused it: ") + TEXT_OUT_OF_MEMORY;
    case Refusal::none:
      break;
  }
  return std::string("the reader refused it: ") + TEXT_CORRUPTED;
}

}  // namespace kelvra::pack
