// Why the reader refused an installer, in words for the maker: list, test and extract
// say it where the installer itself says only "This file is corrupted.".
#pragma once

#include <string>

namespace kelvra::pack {

// What the reader kept at its refusal of path (archive.refusal, the entry or the number
// it names, where it looked) said in one line; names read in codepage.
std::string describe_refusal(const std::string& path, unsigned codepage);

}  // namespace kelvra::pack
