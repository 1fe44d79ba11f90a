// The entry-name check: one scan that decides whether a stored name stays inside the
// target directory, and names its reason when it doesn't.
#pragma once

#include <cstddef>

namespace kelvra {

enum class NameProblem {
  none,
  empty,              // nothing before the first zero byte
  absolute,           // starts with \ or /
  colon,              // a drive letter or an alternate data stream
  parent_component,   // a .. component
  device_name,        // CON, PRN, AUX, NUL, COM0-9, LPT0-9 (any case, any extension)
  control_character,  // a byte below 0x20: a terminal would act on it, Windows refuses it
};

// Checks the name up to length bytes or its first zero byte, whichever comes first.
NameProblem check_entry_name(const char* name, std::size_t length);
// A short English reason, for the packer's messages.
const char* describe_name_problem(NameProblem problem);

// Where text (up to length bytes or its first zero byte) first holds a byte below 0x20
// that allowed (one bit per byte value) doesn't let through; length when none does.
std::size_t refused_control(const char* text, std::size_t length, unsigned long allowed);

}  // namespace kelvra
