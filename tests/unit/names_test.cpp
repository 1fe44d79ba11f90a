// The entry-name check against names that would escape the target directory or open
// a Windows device, and against ordinary names that must pass.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/names.h"

namespace kelvra {
namespace {

struct NameCase {
  std::string name;
  NameProblem expected;
};

std::string show(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

TEST(EntryNames, HostileNamesAreRefusedWithTheirReason) {
  const NameCase cases[] = {
      {"", NameProblem::empty},
      {std::string("\0a.txt", 6), NameProblem::empty},
      {"\\x.txt", NameProblem::absolute},
      {"/etc/passwd", NameProblem::absolute},
      {"\\\\?\\C:\\x", NameProblem::absolute},
      {"\\\\server\\share\\x", NameProblem::absolute},
      {"//./nul", NameProblem::absolute},
      {"C:x.txt", NameProblem::colon},
      {"C:\\Windows\\x.dll", NameProblem::colon},
      {"x::$DATA", NameProblem::colon},
      {"a\\b:stream", NameProblem::colon},
      {"a/nul:", NameProblem::colon},
      {"..", NameProblem::parent_component},
      {"..\\a", NameProblem::parent_component},
      {"a/../../b", NameProblem::parent_component},
      {"a\\..", NameProblem::parent_component},
      {"a\\.\\b", NameProblem::parent_component},
      {"a\\. \\x", NameProblem::parent_component},
      {".. \\x", NameProblem::parent_component},
      {"...\\x", NameProblem::parent_component},
      {"a\\ \\b", NameProblem::parent_component},
      // Names are single-byte: a byte that would lead a double-byte character in
      // Shift-JIS never hides the 0x5C after it, which stays a separator.
      {"\x83\\..\\x", NameProblem::parent_component},
      {"\x83\\CON", NameProblem::device_name},
      {"CON", NameProblem::device_name},
      {"con.txt", NameProblem::device_name},
      {"Con.tar.gz", NameProblem::device_name},
      {"nul ", NameProblem::device_name},
      {"nul.", NameProblem::device_name},
      {"nul .txt", NameProblem::device_name},
      {"PRN", NameProblem::device_name},
      {"aux\\x.txt", NameProblem::device_name},
      {"dir\\NUL", NameProblem::device_name},
      {"COM1", NameProblem::device_name},
      {"cOm9.log", NameProblem::device_name},
      {"LPT1", NameProblem::device_name},
      {"lpt5 .x", NameProblem::device_name},
      {"COM\xB9", NameProblem::device_name},
      {"com\xB2.txt", NameProblem::device_name},
      {"LPT\xB3", NameProblem::device_name},
      {"CONIN$", NameProblem::device_name},
      {"conout$.txt", NameProblem::device_name},
      // Current Windows opens COM0 and LPT0 as devices as well.
      {"COM0", NameProblem::device_name},
      {"lpt0", NameProblem::device_name},
      {"COM0.txt", NameProblem::device_name},
      {"a\\Lpt0 .log", NameProblem::device_name},
      // A terminal acts on these when the name is printed, and Windows can't hold them.
      {"\x1b]0;title\x07.txt", NameProblem::control_character},
      {"a\nb.txt", NameProblem::control_character},
      {"dir\\\tx", NameProblem::control_character},
      {"x\r", NameProblem::control_character},
      {"\x01", NameProblem::control_character},
      {"\x1f.txt", NameProblem::control_character},
      // The scan stops at the first problem from the left, whichever kind it is.
      {"a\x1b\\..", NameProblem::control_character},
      {"..\\\x1b", NameProblem::parent_component},
      // The first problem met from the left is the one named.
      {"con\\a:b", NameProblem::device_name},
      {"a:b\\con", NameProblem::colon},
      {"..\\con", NameProblem::parent_component},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(check_entry_name(c.name.data(), c.name.size()), c.expected) << show(c.name);
  }
}

TEST(EntryNames, OrdinaryNamesPass) {
  const char* const names[] = {
      "a.txt",    "a\\b\\c.txt", "a/b/c.txt", "a/b\\c.txt", "console.txt", "com10",
      "lpt00",    "COM0x.txt",   "conx",      "nullable",   "a..b",        "..a",
      "a..",      ".hidden",     "dir.\\x",   "a\\\\b",     "dir\\",       "dollar$",
      "CON_x",    "prn1.txt",    "x\\aux1",   " con",       "\xE9t\xE9.txt",
      "a b.txt",  "\x7f",        "\xA0x",
  };
  for (const char* name : names) {
    EXPECT_EQ(check_entry_name(name, std::strlen(name)), NameProblem::none) << show(name);
  }
}

TEST(EntryNames, OnlyTheBytesBeforeTheLengthOrFirstZeroCount) {
  // The check stops at the length it is given and at the first zero byte.
  EXPECT_EQ(check_entry_name("a.txt\\..", 5), NameProblem::none);
  EXPECT_EQ(check_entry_name("con", 2), NameProblem::none);
  EXPECT_EQ(check_entry_name("ok\0..\\x", 7), NameProblem::none);
  EXPECT_EQ(check_entry_name("co\0", 3), NameProblem::none);
}

TEST(EntryNames, EveryProblemHasItsOwnDescription) {
  const NameProblem problems[] = {NameProblem::none, NameProblem::empty, NameProblem::absolute,
                                  NameProblem::colon, NameProblem::parent_component,
                                  NameProblem::device_name, NameProblem::control_character};
  for (NameProblem a : problems) {
    ASSERT_NE(describe_name_problem(a), nullptr);
    for (NameProblem b : problems) {
      if (a != b) EXPECT_STRNE(describe_name_problem(a), describe_name_problem(b));
    }
  }
}

}  // namespace
}  // namespace kelvra
