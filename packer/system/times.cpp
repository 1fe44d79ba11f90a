// UTC calendar arithmetic without the C library: its gmtime differs between systems in
// range (Windows refuses years before 1970) and a FILETIME reaches past year 60000.
#include "packer/system/times.h"

#include <cctype>

#include "packer/packer.h"

namespace kelvra::pack {

namespace {

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, counted in
// 400-year eras that start on 1 March so the leap day comes last.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

bool leap(std::int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

unsigned days_in_month(std::int64_t year, unsigned month) {
  static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap(year) ? 29 : days[month - 1];
}

// Reads exactly count digits at *at.
bool digits(const std::string& text, std::size_t* at, std::size_t count, unsigned* value) {
  *value = 0;
  for (std::size_t i = 0; i < count; ++i, ++*at) {
    if (*at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[*at]))) return false;
    *value = *value * 10 + static_cast<unsigned>(text[*at] - '0');
  }
  return true;
}

bool expect(const std::string& text, std::size_t* at, char c) {
  if (*at >= text.size() || text[*at] != c) return false;
  ++*at;
  return true;
}

// FILETIMEs are unsigned 64-bit counts of 100 ns from 1601.
constexpr std::int64_t latest_seconds =
    static_cast<std::int64_t>(0xFFFFFFFFFFFFFFFFull / filetime_per_second) - seconds_1601_to_1970;

const char* const time_forms =
    "a count of seconds since 1970-01-01 UTC, or an ISO 8601 UTC date such as 2024-05-01 or "
    "2024-05-01T12:00:00Z";

std::string parse_iso(const std::string& text, std::int64_t* seconds) {
  UtcTime t;
  std::size_t at = 0;
  unsigned year = 0;
  if (!digits(text, &at, 4, &year) || !expect(text, &at, '-') || !digits(text, &at, 2, &t.month) ||
      !expect(text, &at, '-') || !digits(text, &at, 2, &t.day)) {
    return "not " + std::string(time_forms);
  }
  t.year = year;
  if (at < text.size() && (text[at] == 'T' || text[at] == 't' || text[at] == ' ')) {
    ++at;
    if (!digits(text, &at, 2, &t.hour) || !expect(text, &at, ':') || !digits(text, &at, 2, &t.minute)) {
      return "not " + std::string(time_forms);
    }
    if (at < text.size() && text[at] == ':' && (++at, !digits(text, &at, 2, &t.second))) {
      return "not " + std::string(time_forms);
    }
  }
  if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
    ++at;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    return "only UTC times are taken (end it in Z, or leave the offset out)";
  }
  if (at != text.size()) return "not " + std::string(time_forms);
  if (t.year < 1601) return "the year is before 1601, where Windows file times begin";
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > days_in_month(t.year, t.month) ||
      t.hour > 23 || t.minute > 59 || t.second > 59) {
    return "no such date or time of day";
  }
  *seconds = days_from_civil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  return {};
}

}  // namespace

UtcTime utc_from_seconds(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  UtcTime t;
  t.hour = static_cast<unsigned>(rest / 3600);
  t.minute = static_cast<unsigned>(rest / 60 % 60);
  t.second = static_cast<unsigned>(rest % 60);

  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(z - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  t.day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  t.month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  t.year = static_cast<std::int64_t>(year_of_era) + era * 400 + (t.month <= 2 ? 1 : 0);
  return t;
}

std::string parse_time(const std::string& text, std::int64_t* seconds) {
  if (text.empty()) return "empty: give " + std::string(time_forms);
  bool all_digits = true;
  for (char c : text) all_digits = all_digits && std::isdigit(static_cast<unsigned char>(c));
  if (!all_digits) return parse_iso(text, seconds);
  std::int64_t value = 0;
  for (char c : text) {
    value = value * 10 + (c - '0');
    if (value > latest_seconds) return "later than the last time a Windows file time can hold";
  }
  *seconds = value;
  return {};
}

std::uint64_t filetime_from_seconds(std::int64_t seconds) {
  return static_cast<std::uint64_t>(seconds + seconds_1601_to_1970) * filetime_per_second;
}

}  // namespace kelvra::pack
