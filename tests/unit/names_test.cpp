// The entry-name check against names that would escape the target directory or open
// a Windows device, and against ordinary names that must pass.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive/names.h"

namespace kelvra {
namespace {

struct NameCase {
  std::string name;
  NameProblem expected;
};

// Names in failure messages with their control and high bytes escaped.
std::string show(const std::string& name) { return ::testing::PrintToString(name); }

TEST(EntryNames, HostileNamesAreRefusedWithTheirReason) {
  // One row per branch of the check.
  const NameCase cases[] = {
      {"", NameProblem::empty},
      {std::string("\0a.txt", 6), NameProblem::empty},
      {"\\x.txt", NameProblem::absolute},
      {"/etc/passwd", NameProblem::absolute},
      {"C:x.txt", NameProblem::colon},
      {"a\\b:stream", NameProblem::colon},
      {"..", NameProblem::parent_component},
      {"a/../../b", NameProblem::parent_component},
      {"a\\.\\b", NameProblem::parent_component},
      {"a\\. \\x", NameProblem::parent_component},
      {"a\\ \\b", NameProblem::parent_component},
      // Names are single-byte: a byte that would lead a double-byte character in
      // Shift-JIS never hides the 0x5C after it, which stays a separator.
      {"\x83\\..\\x", NameProblem::parent_component},
      {"CON", NameProblem::device_name},
      {"Con.tar.gz", NameProblem::device_name},
      {"nul .txt", NameProblem::device_name},
      {"aux\\x.txt", NameProblem::device_name},
      {"dir\\NUL", NameProblem::device_name},
      {"cOm9.log", NameProblem::device_name},
      {"LPT\xB3", NameProblem::device_name},
      {"conout$.txt", NameProblem::device_name},
      // Current Windows opens COM0 and LPT0 as devices as well.
      {"COM0", NameProblem::device_name},
      {"a\\Lpt0 .log", NameProblem::device_name},
      // A terminal acts on these when the name is printed, and Windows can't hold them.
      {"\x1b]0;title\x07.txt", NameProblem::control_character},
      {"\x1f.txt", NameProblem::control_character},
      // The first problem met from the left is the one named.
      {"a\x1b\\..", NameProblem::control_character},
      {"..\\\x1b", NameProblem::parent_component},
      {"con\\a:b", NameProblem::device_name},
      {"a:b\\con", NameProblem::colon},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(check_entry_name(c.name.data(), c.name.size()), c.expected) << show(c.name);
  }
}

TEST(EntryNames, OrdinaryNamesPass) {
  // Each a near miss of one refusal.
  const char* const names[] = {
      "a\\b/c.txt",
      "console.txt",
      "com10",
      "COM0x.txt",
      "nullable",
      "a..b",
      "..a",
      "a..",
      ".hidden",
      "dir.\\x",
      "a\\\\b",
      "dollar$",
      " con",
      "\xE9t\xE9.txt",
      "\x7f",
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

}  // namespace
}  // namespace kelvra
