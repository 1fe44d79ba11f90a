// Calendar arithmetic in UTC for kelvra-pack: ISO 8601 texts for listings and the
// --mtime / SOURCE_DATE_EPOCH clamp, the same on every system and for every year.
#pragma once

#include <cstdint>
#include <string>

namespace kelvra::pack {

struct UtcTime {
  std::int64_t year = 1970;
  unsigned month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

UtcTime utc_from_seconds(std::int64_t seconds);

// Seconds since 1970 from a decimal count of them ("946684800") or an ISO 8601 UTC
// date ("2000-01-01", "2000-01-01T00:00:00Z", "2000-01-01 00:00"). Only times a
// FILETIME holds are taken (1601 on). Empty on success, else what is wrong.
std::string parse_time(const std::string& text, std::int64_t* seconds);

// The FILETIME of a time parse_time took.
std::uint64_t filetime_from_seconds(std::int64_t seconds);

}  // namespace kelvra::pack
