// The entry-name check: one left-to-right scan over a stored name that refuses
// anything Windows would resolve outside the target directory or to a device, and
// says which rule refused it.
#include "archive/names.h"

namespace kelvra {

namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Compares text[0, length) with an upper-case word, ignoring the case of ASCII letters.
bool equals_word(const char* text, std::size_t length, const char* word) {
  std::size_t i = 0;
  for (; i < length; ++i) {
    if (word[i] == '\0' || upper(text[i]) != word[i]) return false;
  }
  return word[i] == '\0';
}

// Windows takes a component's device name from the part before its first dot, with
// trailing blanks dropped: "nul", "NUL.txt", "com1 .log" and "Con.tar.gz" all open the
// device. COM0 and LPT0 are devices too on current Windows. The digits include the
// code-page-1252 superscripts that Windows maps to 1-3.
bool is_device_name(const char* component, std::size_t length) {
  std::size_t base = 0;
  while (base < length && component[base] != '.') ++base;
  while (base > 0 && component[base - 1] == ' ') --base;

  static const char* const plain_names[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* name : plain_names) {
    if (equals_word(component, base, name)) return true;
  }
  if (base != 4) return false;
  if (!equals_word(component, 3, "COM") && !equals_word(component, 3, "LPT")) return false;
  const unsigned char digit = static_cast<unsigned char>(component[3]);
  return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// Windows drops trailing dots and blanks from a component, so "..", ". ", "... " and
// " " all collapse to nothing or to a relative step; none of them names a file.
bool is_dots_and_blanks_only(const char* component, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (component[i] != '.' && component[i] != ' ') return false;
  }
  return true;
}

// An empty component ("a\\b", or a trailing separator) is let through: Windows folds
// it away and it can't climb out of the directory.
NameProblem check_component(const char* component, std::size_t length) {
  if (length == 0) return NameProblem::none;
  if (is_dots_and_blanks_only(component, length)) return NameProblem::parent_component;
  if (is_device_name(component, length)) return NameProblem::device_name;
  return NameProblem::none;
}

}  // namespace

NameProblem check_entry_name(const char* name, std::size_t length) {
  if (length == 0 || name[0] == '\0') return NameProblem::empty;
  // Covers \\?\ and \\.\ prefixes and UNC paths as well as rooted ones.
  if (is_separator(name[0])) return NameProblem::absolute;

  std::size_t start = 0;
  for (std::size_t i = 0;; ++i) {
    const bool at_end = i == length || name[i] == '\0';
    if (at_end || is_separator(name[i])) {
      const NameProblem problem = check_component(name + start, i - start);
      if (problem != NameProblem::none || at_end) return problem;
      start = i + 1;
    } else if (name[i] == ':') {
      // Drive letters ("C:x"), streams ("a::$DATA") and "nul:" alike.
      return NameProblem::colon;
    } else if (static_cast<unsigned char>(name[i]) < 0x20) {
      return NameProblem::control_character;
    }
  }
}

std::size_t refused_control(const char* text, std::size_t length, unsigned long allowed) {
  for (std::size_t i = 0; i < length && text[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && ((allowed >> c) & 1) == 0) return i;
  }
  return length;
}

}  // namespace kelvra
