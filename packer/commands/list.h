// kelvra-pack list, and opening an archive with the reason it was refused.
#pragma once

#include <cstdint>
#include <string>

namespace kelvra::pack {

int run_list(const std::string& path, bool json, unsigned codepage);

// Opens path with the reader. Empty on success, else the most precise reason found:
// the system's, a bound of the format, an entry name's, or the checksum's. With
// verify false, the archive's CRC-32 is left to the caller (open_archive_unverified).
std::string open_for_reading(const std::string& path, unsigned codepage, bool verify = true);

// A FILETIME as UTC ISO 8601 ("2000-01-01T00:00:00Z"), with the 100 ns fraction when
// there is one.
std::string iso_time(std::uint64_t filetime);

}  // namespace kelvra::pack
