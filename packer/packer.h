// What every part of the packer shares: exit statuses, the default code page, FILETIME
// units, quoting for messages, and the stub built in (the generated embedded_stub.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::pack {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;  // a bad archive or a failed operation
constexpr int exit_usage = 2;   // the command line itself is wrong

constexpr unsigned default_codepage = 1252;

// FILETIMEs count 100 ns steps from 1601-01-01 UTC.
constexpr std::uint64_t filetime_per_second = 10000000;
constexpr std::int64_t seconds_1601_to_1970 = 11644473600;

inline std::string in_quotes(const std::string& text) { return "'" + text + "'"; }

// The stub built into this program; empty when none was at build time.
std::vector<std::uint8_t> embedded_stub();

}  // namespace kelvra::pack
