// Code pages: what each keeps of ASCII, and stored names as this system and Windows
// read them: clashes once converted and case-folded, and names this system can't make.
#include "packer/system/codepages.h"

#include <map>

#include "archive/format.h"
#include "packer/packer.h"
#include "packer/system/system.h"
#include "packer/system/terminal.h"

namespace kelvra::pack {

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

std::string printable_stored(const char* bytes, unsigned codepage) { return printable(from_codepage(bytes, codepage)); }

std::string name_for_this_system(const std::string& stored, unsigned codepage, std::string* name) {
  if (!system::stored_name_to_core(stored, codepage, name)) return "this system can't name a file so";
  // The name goes back into the entry's field, whose length byte stops here.
  if (name->size() > format::max_name_length) {
    return "its name is " + std::to_string(name->size()) + " bytes in this system's encoding; extract can make " +
           "names of at most " + std::to_string(format::max_name_length) + " (the installer on Windows can)";
  }
  return {};
}

}  // namespace kelvra::pack
