// Code pages: what each keeps of ASCII, and stored names as this system and Windows
// read them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kelvra::pack {

// Whether every printable ASCII character is its own single byte in the code page, both
// ways, as in every code page Windows names files in.
bool codepage_keeps_ascii(unsigned codepage);

// Stored names read as this system and Windows will: each one's first fault, empty for
// a name that is fine. A name the code page turns into the same text as an earlier one
// (undefined bytes all become U+FFFD), also once case is folded as Windows folds it,
// or whose folder is such a name; with here, also a name extract on this system
// can't make (name_for_this_system).
// *clashes_with (when given) gets, for each name, the entry it clashes with (or its own index).
std::vector<std::string> codepage_name_faults(const std::vector<std::string>& stored, unsigned codepage, bool here,
                                              std::vector<std::size_t>* clashes_with = nullptr);
// Bytes from an archive (a name, a string) as they may be printed: read in the code
// page, control characters escaped (printable).
std::string printable_stored(const char* bytes, unsigned codepage);
// The stored name as extract names the file here (*name); empty, or why it can't.
std::string name_for_this_system(const std::string& stored, unsigned codepage, std::string* name);

}  // namespace kelvra::pack
